// How well refresh measures the emulated display's rate, and what a flip costs
// it in CPU time, at 60, 120 and 240 Hz.
//
// The floor, measured in the same run, is a loop in this process that waits
// for the next period boundary at the same rate, as the emulated device does
// for a flip: the best pacing and the least CPU per wake-up this machine gives
// a process right now (a late wake-up costs it a period too). Figures are
// printed next to it and as ratios to it.
#include "refresh_run.h"

#include <sys/resource.h>
#include <time.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <vector>

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

struct Figures {
    double rate;       // measured, Hz
    double cpuPerFlip; // seconds
};

// Wakes `wakes` times at the next boundary of a `hz` clock, like a flip loop
// with nothing to do.
Figures floorLoop(double hz, int wakes)
{
    double period = 1e9 / hz;
    double cpu = cpuSeconds();
    int64_t start = nowNs();
    for (int i = 1; i <= wakes; i++) {
        double next = std::floor(double(nowNs() - start) / period) + 1;
        int64_t due = start + int64_t(std::llround(next * period));
        timespec until{time_t(due / 1000000000), long(due % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    }
    double elapsed = double(nowNs() - start) / 1e9;
    return {wakes / elapsed, (cpuSeconds() - cpu) / wakes};
}

Figures refreshAt(double hz, size_t lines)
{
    fbtest::RefreshRun run;
    run.set("FBEMU_VBLANK_HZ", std::to_string(hz));
    run.set("FBEMU_LOG", "");
    fbtest::Outcome o = run.runForRateLines(lines, std::chrono::seconds(60));
    std::vector<double> rates = fbtest::rateValues(o.out);
    if (rates.size() < 2)
        return {NAN, NAN};
    // The first line starts at an arbitrary point of a frame; skip it.
    double mean = std::accumulate(rates.begin() + 1, rates.end(), 0.0) / double(rates.size() - 1);
    return {mean, o.cpuSeconds / double(rates.size() * 120)};
}

} // namespace

int main()
{
    std::printf("refresh on the emulated framebuffer: measured rate and CPU per flip\n");
    std::printf("%6s  %12s %9s  %12s %9s  %14s %14s %7s\n", "Hz", "measured", "error%", "floor rate", "error%",
                "cpu/flip us", "floor cpu us", "ratio");
    for (double hz : {60.0, 120.0, 240.0}) {
        // About three seconds of rate lines (plus the first), and as many
        // periods for the floor.
        size_t lines = size_t(std::ceil(hz * 3 / 120)) + 1;
        Figures floor = floorLoop(hz, int(hz * 3));
        Figures got = refreshAt(hz, lines);
        double error = (got.rate - hz) / hz * 100;
        double floorError = (floor.rate - hz) / hz * 100;
        std::printf("%6.0f  %12.6f %+9.4f  %12.6f %+9.4f  %14.2f %14.2f %7.2f\n", hz, got.rate, error, floor.rate,
                    floorError, got.cpuPerFlip * 1e6, floor.cpuPerFlip * 1e6, got.cpuPerFlip / floor.cpuPerFlip);
        std::fflush(stdout);
    }
    return 0;
}
