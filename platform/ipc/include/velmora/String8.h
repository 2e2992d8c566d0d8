// 8-bit text, normally UTF-8, built by appending.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora {

class String16;

class String8 {
public:
    String8() = default;
    String8(const char* text) : mText(text ? text : "") {}
    String8(const char* text, size_t len) : mText(text, len) {}
    explicit String8(std::string_view text) : mText(text) {}
    // Encodes as UTF-8; an unpaired surrogate becomes U+FFFD.
    explicit String8(const String16& utf16);

    String8& append(const char* text) { if (text) mText += text; return *this; }
    String8& append(const char* text, size_t len) { mText.append(text, len); return *this; }
    String8& append(const String8& other) { mText += other.mText; return *this; }

    size_t size() const { return mText.size(); }
    size_t length() const { return mText.size(); }
    bool empty() const { return mText.empty(); }
    const char* c_str() const { return mText.c_str(); }
    const char* string() const { return mText.c_str(); }
    operator const char*() const { return mText.c_str(); }
    std::string_view view() const { return mText; }

    bool operator==(const String8& other) const = default;
    auto operator<=>(const String8& other) const = default;

private:
    std::string mText;
};

}  // namespace velmora
