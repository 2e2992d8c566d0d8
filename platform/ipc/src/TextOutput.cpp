#include <velmora/String16.h>
#include <velmora/String8.h>
#include <velmora/TextOutput.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unistd.h>

namespace velmora {

namespace {

void writeAll(int fd, const char* text, size_t len) {
    while (len > 0) {
        const ssize_t n = ::write(fd, text, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        len -= static_cast<size_t>(n);
    }
}

// Standard output. A listing line is written in pieces; sending each piece
// on its own costs a system call and a wake-up of the reader per piece, so
// on a pipe or file an unfinished line waits here for its line end. A
// terminal gets every piece at once, so that a line whose next piece is
// slow in coming (a service that does not answer) is seen while it waits.
// Constant-initialized and never destroyed: it works before and after
// every other static object's lifetime.
class StandardOutput : public TextOutput {
public:
    constexpr StandardOutput() = default;

    void write(const char* text, size_t len) override {
        std::lock_guard guard(lock_);
        if (mode_ == Mode::Undecided) mode_ = ::isatty(STDOUT_FILENO) ? Mode::Direct : Mode::Lines;
        if (mode_ == Mode::Direct) {
            writeAll(STDOUT_FILENO, text, len);
            return;
        }
        const void* lastEnd = ::memrchr(text, '\n', len);
        const size_t complete = lastEnd ? static_cast<const char*>(lastEnd) - text + 1 : 0;
        if (complete > 0) {
            // The held-back start of the line and its rest leave in one write.
            if (pendingLen_ + complete <= sizeof pending_) {
                std::memcpy(pending_ + pendingLen_, text, complete);
                pendingLen_ += complete;
                sendPending();
            } else {
                sendPending();
                writeAll(STDOUT_FILENO, text, complete);
            }
            text += complete;
            len -= complete;
        }
        if (len == 0) return;
        if (pendingLen_ + len > sizeof pending_) {
            sendPending();
            if (len > sizeof pending_) {  // too long to hold: no line end soon
                writeAll(STDOUT_FILENO, text, len);
                return;
            }
        }
        std::memcpy(pending_ + pendingLen_, text, len);
        pendingLen_ += len;
    }

    void flush() override {
        std::lock_guard guard(lock_);
        sendPending();
    }

    // From now on every write goes out at once (the process is exiting).
    void stopHolding() {
        std::lock_guard guard(lock_);
        sendPending();
        mode_ = Mode::Direct;
    }

private:
    enum class Mode { Undecided, Lines, Direct };

    void sendPending() {
        writeAll(STDOUT_FILENO, pending_, pendingLen_);
        pendingLen_ = 0;
    }

    std::mutex lock_;
    Mode mode_ = Mode::Undecided;
    size_t pendingLen_ = 0;
    char pending_[4096] = {};
};

// Standard error, unbuffered; what standard output holds back goes first.
class StandardError : public TextOutput {
public:
    constexpr explicit StandardError(StandardOutput& out) : out_(out) {}
    void write(const char* text, size_t len) override {
        out_.flush();
        writeAll(STDERR_FILENO, text, len);
    }

private:
    StandardOutput& out_;
};

// Both are constant-initialized; the union keeps their destructors from
// ever running, so that output written by other static objects' destructors
// still arrives.
union OutStorage {
    constexpr OutStorage() : out() {}
    ~OutStorage() {}
    StandardOutput out;
};
union ErrStorage {
    constexpr ErrStorage(StandardOutput& to) : err(to) {}
    ~ErrStorage() {}
    StandardError err;
};
constinit OutStorage gOut;
constinit ErrStorage gErr(gOut.out);

// Registered while statics are initialized: a line still held at exit is
// sent, and any output after this point (from destructors that run later)
// goes out at once.
const int gFlushAtExit = std::atexit([] { gOut.out.stopHolding(); });

template <typename Number>
TextOutput& writeNumber(TextOutput& out, Number value) {
    const std::string digits = std::to_string(value);
    out.write(digits.data(), digits.size());
    return out;
}
}  // namespace

TextOutput& aout = gOut.out;
TextOutput& aerr = gErr.err;

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
