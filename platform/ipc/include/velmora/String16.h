// UTF-16 text. Lengths count UTF-16 code units, not characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace velmora {

class String8;

class String16 {
public:
    String16() = default;
    // Decodes UTF-8. Each byte that does not start a valid, complete,
    // shortest-form sequence becomes one U+FFFD; characters outside the
    // BMP become surrogate pairs. A null pointer gives an empty string.
    String16(const char* utf8);
    String16(const char* utf8, size_t len);
    String16(const char16_t* units, size_t len);
    explicit String16(std::u16string_view units);
    explicit String16(std::u16string&& units) : units_(std::move(units)) {}
    explicit String16(const String8& utf8);

    size_t size() const { return units_.size(); }
    size_t length() const { return units_.size(); }
    bool empty() const { return units_.empty(); }
    // Terminated with a 0 code unit (not counted in size()).
    const char16_t* c_str() const { return units_.c_str(); }
    const char16_t* string() const { return units_.c_str(); }
    std::u16string_view view() const { return units_; }
    char16_t operator[](size_t i) const { return units_[i]; }

    String16& append(const String16& other) {
        units_ += other.units_;
        return *this;
    }

    bool operator==(const String16& other) const = default;
    auto operator<=>(const String16& other) const = default;

private:
    std::u16string units_;
};

}  // namespace velmora
