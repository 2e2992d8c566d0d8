// Preloaded with the emulated device: puts the monotonic clock 3,000,000 s
// later, where a second count multiplied by 10^9 in 32 bits has long
// overflowed, as on a device that has been up for five weeks. Absolute
// sleeps on that clock are moved back by the same amount so that the
// device's vertical blank keeps its pace. LATE_CLOCK_LOG names a file that
// gets the first reading, so a test can tell the shift was in effect.
#include <dlfcn.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr time_t kShift = 3000000;

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int clock_gettime(clockid_t clock, timespec* t) {
    static auto real = next<int (*)(clockid_t, timespec*)>("clock_gettime");
    static bool logged = false;
    const int result = real(clock, t);
    if (result == 0 && clock == CLOCK_MONOTONIC) {
        t->tv_sec += kShift;
        const char* log = getenv("LATE_CLOCK_LOG");
        if (!logged && log && *log) {
            logged = true;
            if (FILE* file = fopen(log, "w")) {
                fprintf(file, "%lld\n", static_cast<long long>(t->tv_sec));
                fclose(file);
            }
        }
    }
    return result;
}

extern "C" int clock_nanosleep(clockid_t clock, int flags, const timespec* request, timespec* remain) {
    static auto real = next<int (*)(clockid_t, int, const timespec*, timespec*)>("clock_nanosleep");
    if (clock == CLOCK_MONOTONIC && (flags & TIMER_ABSTIME)) {
        timespec moved = *request;
        moved.tv_sec -= kShift;
        return real(clock, flags, &moved, remain);
    }
    return real(clock, flags, request, remain);
}
