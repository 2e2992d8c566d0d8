// Whole-process time of "filter 6 pbuffer" next to a floor program that does
// only the same EGL start-up, pbuffer, context and eglTerminate, both run in
// turn against one private Xvfb with Mesa's software renderer.
//
//   filter-bench [RUNS]     (default 30 runs of each)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace {

double seconds(const Command& cmd, const TempDir& tmp) {
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = run(cmd, tmp.path());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (o.status != 0) {
        fprintf(stderr, "filter-bench: %s exited with %d: %s\n", cmd.program.c_str(), o.status, o.err.c_str());
        exit(1);
    }
    return took.count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 30;
    TempDir tmp;
    Xvfb x(320, 480);
    if (x.display().empty()) {
        fprintf(stderr, "filter-bench: Xvfb did not start\n");
        return 1;
    }
    // A private shader cache, warmed by the first runs, as on a device that
    // runs the test again.
    const std::map<std::string, std::string> env = {
        {"DISPLAY", x.display()},
        {"LIBGL_ALWAYS_SOFTWARE", "1"},
        {"XDG_CACHE_HOME", (tmp.path() / "cache").string()},
    };
    const Command filter{FILTER_BIN, {"6", "pbuffer"}, "", env, {}};
    const Command floor{FLOOR_BIN, {}, "", env, {}};
    seconds(filter, tmp);
    seconds(floor, tmp);

    std::vector<double> filterTimes, floorTimes;
    for (int i = 0; i < runs; ++i) {
        filterTimes.push_back(seconds(filter, tmp));
        floorTimes.push_back(seconds(floor, tmp));
    }
    const double f = median(filterTimes);
    const double base = median(floorTimes);
    printf("filter 6 pbuffer, whole process, median of %d runs (llvmpipe, Xvfb)\n", runs);
    printf("  floor (EGL init, pbuffer, context, terminate): %8.2f ms\n", base * 1e3);
    printf("  filter 6 pbuffer:                              %8.2f ms\n", f * 1e3);
    printf("  ratio to floor: %.3f  (target <= 1.10: %s)\n", f / base, f / base <= 1.10 ? "met" : "NOT met");
    return 0;
}
