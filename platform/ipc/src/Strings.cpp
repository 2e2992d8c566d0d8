// UTF-8 <-> UTF-16 conversion for String16 and String8, and status names.
#include <velmora/Errors.h>
#include <velmora/String16.h>
#include <velmora/String8.h>

#include <cstring>

namespace velmora {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

void appendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// Decodes one sequence at s[0..len). Returns its length, or 0 when s[0] does
// not start a valid, complete, shortest-form sequence.
size_t decodeUtf8(const unsigned char* s, size_t len, char32_t* cp) {
    const unsigned char b = s[0];
    size_t need;
    char32_t value;
    char32_t min;
    if (b < 0x80) {
        *cp = b;
        return 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
        need = 2, value = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 3, value = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 4, value = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (len < need) return 0;
    for (size_t i = 1; i < need; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (s[i] & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *cp = value;
    return need;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::u16string fromUtf8(const char* text, size_t len) {
    std::u16string out;
    out.reserve(len);
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < len) {
        char32_t cp;
        size_t n = decodeUtf8(s + i, len - i, &cp);
        if (n == 0) {
            cp = REPLACEMENT;
            n = 1;
        }
        appendUtf16(out, cp);
        i += n;
    }
    return out;
}

}  // namespace

String16::String16(const char* utf8) : String16(utf8, utf8 ? std::strlen(utf8) : 0) {}

String16::String16(const char* utf8, size_t len) {
    if (utf8) units_ = fromUtf8(utf8, len);
}

String16::String16(const char16_t* units, size_t len) {
    if (units) units_.assign(units, len);
}

String16::String16(std::u16string_view units) : units_(units) {}

String16::String16(const String8& utf8) : String16(utf8.c_str(), utf8.size()) {}

String8::String8(const String16& utf16) {
    const std::u16string_view units = utf16.view();
    text_.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = REPLACEMENT;
        }
        appendUtf8(text_, cp);
    }
}

const char* statusToString(status_t status) {
    switch (status) {
    case OK:
        return "OK";
    case UNKNOWN_ERROR:
        return "UNKNOWN_ERROR";
    case NO_MEMORY:
        return "NO_MEMORY";
    case INVALID_OPERATION:
        return "INVALID_OPERATION";
    case BAD_VALUE:
        return "BAD_VALUE";
    case NAME_NOT_FOUND:
        return "NAME_NOT_FOUND";
    case PERMISSION_DENIED:
        return "PERMISSION_DENIED";
    case ALREADY_EXISTS:
        return "ALREADY_EXISTS";
    case DEAD_OBJECT:
        return "DEAD_OBJECT";
    case NOT_ENOUGH_DATA:
        return "NOT_ENOUGH_DATA";
    case BAD_PARCEL:
        return "BAD_PARCEL";
    case UNKNOWN_TRANSACTION:
        return "UNKNOWN_TRANSACTION";
    case TOO_LARGE:
        return "TOO_LARGE";
    case TIMED_OUT:
        return "TIMED_OUT";
    default:
        return "UNKNOWN";
    }
}

}  // namespace velmora
