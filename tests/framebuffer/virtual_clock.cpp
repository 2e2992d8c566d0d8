// Preloaded with the emulated device: a monotonic clock that moves only when
// the program sleeps. An absolute sleep on it returns at once, with the
// clock set VIRTUAL_CLOCK_LATE_NS (default 0) past the deadline, as if every
// wake-up came exactly that late; the program's own work takes no time. So
// the pace of a flip loop is the device's arithmetic alone, whatever the
// machine's load.
#include <dlfcn.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>

namespace {

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int64_t toNs(const timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

// Starts at the real clock's first reading; single-threaded programs only.
int64_t& virtualNs() {
    static int64_t now = [] {
        timespec t{};
        next<int (*)(clockid_t, timespec*)>("clock_gettime")(CLOCK_MONOTONIC, &t);
        return toNs(t);
    }();
    return now;
}

int64_t lateNs() {
    static const int64_t late = [] {
        const char* text = getenv("VIRTUAL_CLOCK_LATE_NS");
        return text ? std::strtoll(text, nullptr, 10) : 0;
    }();
    return late;
}

}  // namespace

extern "C" int clock_gettime(clockid_t clock, timespec* t) {
    static auto real = next<int (*)(clockid_t, timespec*)>("clock_gettime");
    if (clock != CLOCK_MONOTONIC) return real(clock, t);
    const int64_t now = virtualNs();
    t->tv_sec = time_t(now / 1000000000);
    t->tv_nsec = long(now % 1000000000);
    return 0;
}

extern "C" int clock_nanosleep(clockid_t clock, int flags, const timespec* request, timespec* remain) {
    static auto real = next<int (*)(clockid_t, int, const timespec*, timespec*)>("clock_nanosleep");
    if (clock != CLOCK_MONOTONIC) return real(clock, flags, request, remain);
    int64_t& now = virtualNs();
    const int64_t until = (flags & TIMER_ABSTIME) ? toNs(*request) : now + toNs(*request);
    // A deadline already past returns at once, as the real call does.
    if (until > now) now = until + lateNs();
    return 0;
}
