// Text streams: aout writes to standard output, aerr to standard error.
// aerr is unbuffered. aout sends whole lines: on a pipe or a file it holds
// back an unfinished line until its line end (or until aerr is written, or
// the process exits), so a line costs one write; on a terminal every write
// goes out at once. aout and aerr never reorder against each other.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora {

class String8;
class String16;

class TextOutput {
public:
    virtual ~TextOutput() = default;
    // Writes len bytes. Output errors are not reported, as with a
    // diagnostic stream there is nobody left to tell.
    virtual void write(const char* text, size_t len) = 0;
    // Sends whatever the stream holds back; a no-op for unbuffered ones.
    virtual void flush() {}
};

// Collects everything written into a string.
class StringTextOutput : public TextOutput {
public:
    void write(const char* text, size_t len) override { text_.append(text, len); }
    const std::string& str() const { return text_; }
    void clear() { text_.clear(); }

private:
    std::string text_;
};

extern TextOutput& aout;
extern TextOutput& aerr;

// Writes one "\n".
TextOutput& endl(TextOutput& out);

inline TextOutput& operator<<(TextOutput& out, TextOutput& (*manip)(TextOutput&)) { return manip(out); }

// The bytes of a terminated string (its strlen); a null pointer writes nothing.
TextOutput& operator<<(TextOutput& out, const char* text);
TextOutput& operator<<(TextOutput& out, std::string_view text);
TextOutput& operator<<(TextOutput& out, const std::string& text);
TextOutput& operator<<(TextOutput& out, char c);
// Decimal digits.
TextOutput& operator<<(TextOutput& out, int value);
TextOutput& operator<<(TextOutput& out, unsigned int value);
TextOutput& operator<<(TextOutput& out, long value);
TextOutput& operator<<(TextOutput& out, unsigned long value);
TextOutput& operator<<(TextOutput& out, long long value);
TextOutput& operator<<(TextOutput& out, unsigned long long value);
TextOutput& operator<<(TextOutput& out, const String8& text);
// As UTF-8.
TextOutput& operator<<(TextOutput& out, const String16& text);

}  // namespace velmora
