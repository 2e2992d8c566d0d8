// How well refresh measures the emulated display's rate, and what a flip costs
// it in CPU time, at 60, 120 and 240 Hz.
//
// The floor is a loop on a thread of this process that waits for the next
// period boundary at the same rate, as the emulated device does for a flip:
// the best pacing and the least CPU per wake-up this machine gives a process
// right now. It runs while refresh runs, over the span of the rate lines
// counted, so that both meet the same load: a wake-up later than a period
// costs either of them a blank, and a blank refresh loses beyond what the
// floor loses in the same seconds is refresh's or the device's doing.
// Figures are printed next to it and as ratios to it.
#include "refresh_run.h"

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <thread>
#include <vector>

namespace {

double threadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int64_t nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

struct Figures {
    double rate;        // measured, Hz
    double lost;        // periods that passed without a flip or wake-up
    double cpuPerFlip;  // seconds
};

// Wakes `wakes` times at the next boundary of a `hz` clock, like a flip loop
// with nothing to do.
Figures floorLoop(double hz, int wakes) {
    double period = 1e9 / hz;
    double cpu = threadCpuSeconds();
    int64_t start = nowNs();
    for (int i = 1; i <= wakes; i++) {
        double next = std::floor(double(nowNs() - start) / period) + 1;
        int64_t due = start + int64_t(std::llround(next * period));
        timespec until{time_t(due / 1000000000), long(due % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    }
    double elapsed = double(nowNs() - start) / 1e9;
    return {wakes / elapsed, std::max(0.0, elapsed * hz - wakes), (threadCpuSeconds() - cpu) / wakes};
}

Figures refreshAt(double hz, size_t lines) {
    fbtest::RefreshRun run;
    run.set("FBEMU_VBLANK_HZ", std::to_string(hz));
    run.set("FBEMU_LOG", "");
    fbtest::Outcome o = run.runForRateLines(lines, std::chrono::seconds(60));
    std::vector<double> rates = fbtest::rateValues(o.out);
    if (rates.size() < 2) return {NAN, NAN, NAN};
    // The first line starts at an arbitrary point of a frame; skip it.
    double mean = std::accumulate(rates.begin() + 1, rates.end(), 0.0) / double(rates.size() - 1);
    double periods = 0;
    for (size_t i = 1; i < rates.size(); ++i) periods += 120 * hz / rates[i];
    // Wake-up jitter at the ends of the lines can make this a hair below 0.
    double lost = std::max(0.0, periods - 120.0 * double(rates.size() - 1));
    return {mean, lost, o.cpuSeconds / double(rates.size() * 120)};
}

}  // namespace

int main() {
    std::printf(
        "refresh on the emulated framebuffer: measured rate, blanks lost in about three seconds\n"
        "and CPU per flip, next to a floor loop run at the same time\n");
    std::printf("%6s  %12s %9s %6s  %12s %9s %6s  %14s %14s %7s\n", "Hz", "measured", "error%", "lost", "floor rate",
                "error%", "lost", "cpu/flip us", "floor cpu us", "ratio");
    for (double hz : {60.0, 120.0, 240.0}) {
        // About three seconds of rate lines after the first, and as many
        // periods for the floor, which starts when the first line is due.
        size_t lines = size_t(std::ceil(hz * 3 / 120)) + 1;
        int wakes = int((lines - 1) * 120);
        Figures floor{};
        std::thread floorThread([&] {
            std::this_thread::sleep_for(std::chrono::duration<double>(120 / hz));
            floor = floorLoop(hz, wakes);
        });
        Figures got = refreshAt(hz, lines);
        floorThread.join();
        double error = (got.rate - hz) / hz * 100;
        double floorError = (floor.rate - hz) / hz * 100;
        std::printf("%6.0f  %12.6f %+9.4f %6.1f  %12.6f %+9.4f %6.1f  %14.2f %14.2f %7.2f\n", hz, got.rate, error,
                    got.lost, floor.rate, floorError, floor.lost, got.cpuPerFlip * 1e6, floor.cpuPerFlip * 1e6,
                    got.cpuPerFlip / floor.cpuPerFlip);
        std::fflush(stdout);
    }
    return 0;
}
