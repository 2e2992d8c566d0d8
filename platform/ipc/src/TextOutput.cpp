#include <velmora/String16.h>
#include <velmora/String8.h>
#include <velmora/TextOutput.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

namespace velmora {

void FdTextOutput::write(const char* text, size_t len) {
    while (len > 0) {
        const ssize_t n = ::write(mFd, text, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        len -= static_cast<size_t>(n);
    }
}

namespace {
FdTextOutput gOut(STDOUT_FILENO);
FdTextOutput gErr(STDERR_FILENO);

template <typename Number>
TextOutput& writeNumber(TextOutput& out, Number value) {
    const std::string digits = std::to_string(value);
    out.write(digits.data(), digits.size());
    return out;
}
}  // namespace

TextOutput& aout = gOut;
TextOutput& aerr = gErr;

TextOutput& endl(TextOutput& out) {
    out.write("\n", 1);
    return out;
}

TextOutput& operator<<(TextOutput& out, const char* text) {
    if (text) out.write(text, std::strlen(text));
    return out;
}
TextOutput& operator<<(TextOutput& out, std::string_view text) {
    out.write(text.data(), text.size());
    return out;
}
TextOutput& operator<<(TextOutput& out, const std::string& text) {
    out.write(text.data(), text.size());
    return out;
}
TextOutput& operator<<(TextOutput& out, char c) {
    out.write(&c, 1);
    return out;
}
TextOutput& operator<<(TextOutput& out, int value) { return writeNumber(out, value); }
TextOutput& operator<<(TextOutput& out, unsigned int value) { return writeNumber(out, value); }
TextOutput& operator<<(TextOutput& out, long value) { return writeNumber(out, value); }
TextOutput& operator<<(TextOutput& out, unsigned long value) { return writeNumber(out, value); }
TextOutput& operator<<(TextOutput& out, long long value) { return writeNumber(out, value); }
TextOutput& operator<<(TextOutput& out, unsigned long long value) { return writeNumber(out, value); }
TextOutput& operator<<(TextOutput& out, const String8& text) {
    out.write(text.c_str(), text.size());
    return out;
}
TextOutput& operator<<(TextOutput& out, const String16& text) { return out << String8(text); }

}  // namespace velmora
