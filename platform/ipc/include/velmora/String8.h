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
    String8(const char* text) : text_(text ? text : "") {}
    String8(const char* text, size_t len) : text_(text, len) {}
    explicit String8(std::string_view text) : text_(text) {}
    // Encodes as UTF-8; an unpaired surrogate becomes U+FFFD.
    explicit String8(const String16& utf16);

    String8& append(const char* text) {
        if (text) text_ += text;
        return *this;
    }
    String8& append(const char* text, size_t len) {
        text_.append(text, len);
        return *this;
    }
    String8& append(const String8& other) {
        text_ += other.text_;
        return *this;
    }

    size_t size() const { return text_.size(); }
    size_t length() const { return text_.size(); }
    bool empty() const { return text_.empty(); }
    const char* c_str() const { return text_.c_str(); }
    const char* string() const { return text_.c_str(); }
    operator const char*() const { return text_.c_str(); }
    std::string_view view() const { return text_; }

    bool operator==(const String8& other) const = default;
    auto operator<=>(const String8& other) const = default;

private:
    std::string text_;
};

}  // namespace velmora
