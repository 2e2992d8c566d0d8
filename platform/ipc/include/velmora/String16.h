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
    explicit String16(std::u16string&& units) : mUnits(std::move(units)) {}
    explicit String16(const String8& utf8);

    size_t size() const { return mUnits.size(); }
    size_t length() const { return mUnits.size(); }
    bool empty() const { return mUnits.empty(); }
    // Terminated with a 0 code unit (not counted in size()).
    const char16_t* c_str() const { return mUnits.c_str(); }
    const char16_t* string() const { return mUnits.c_str(); }
    std::u16string_view view() const { return mUnits; }
    char16_t operator[](size_t i) const { return mUnits[i]; }

    String16& append(const String16& other) { mUnits += other.mUnits; return *this; }

    bool operator==(const String16& other) const = default;
    auto operator<=>(const String16& other) const = default;

private:
    std::u16string mUnits;
};

}  // namespace velmora
