// The rate refresh measures against the emulated vertical-blank rate. Kept
// apart from the other tests so that it can run on its own (RUN_SERIAL).
#include "refresh_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "process.h"

using namespace fbtest;

namespace {

// Runs refresh against a 240 Hz device on the real clock, shifted when
// `lateClock`, and checks what no load can change.
void expectNoFlipBeforeItsBlank(bool lateClock) {
    const double hz = 240;
    RefreshRun run;
    run.set("FBEMU_VBLANK_HZ", "240");
    run.set("FBEMU_LOG", "");
    const std::string clockLog = run.dir() + "/clock";
    if (lateClock) {
        run.preload(LATE_CLOCK_LIB);
        run.set("LATE_CLOCK_LOG", clockLog);
    }
    // 12 lines of 120 flips span more than 2^32 ns, so one of them holds a
    // wrap of a 32-bit nanosecond count, should refresh have one.
    const size_t lines = lateClock ? 12 : 7;
    Outcome o = run.runForRateLines(lines);
    if (lateClock) {
        ASSERT_GE(std::stoll("0" + testsupport::readFile(clockLog)), 3000000) << "the clock was not shifted";
    }
    std::vector<double> rates = rateValues(o.out);
    ASSERT_EQ(rates.size(), lines) << o.out << o.err;
    // A flip that comes late for its blank waits for the next one, as on a
    // real panel, and costs its line 1/120 of the figure: on a busy machine
    // lines read low, as many as the load makes them, but none reads high
    // (a line read just after a late wake-up at most 1/119 high). Whether
    // the pace is exact is checked below on a clock no load can disturb.
    // The first line is left out: it starts anywhere within a frame.
    for (size_t i = 1; i < rates.size(); ++i)
        EXPECT_TRUE(rates[i] > 0 && rates[i] <= hz * 1.01) << "line " << i + 1 << ":\n" << o.out;
}

}  // namespace

TEST(RefreshRate, NoLineReadsAboveTheVblankRate) { expectNoFlipBeforeItsBlank(false); }

// Seconds times 10^9 no longer fit 32 bits (armhf's time_t): the rate must
// not change.
TEST(RefreshRate, NoLineReadsAboveTheVblankRateFiveWeeksIntoTheMonotonicClock) { expectNoFlipBeforeItsBlank(true); }

// On a clock that moves only while the program sleeps, each flip returns a
// fixed time after its blank and no scheduler plays a part: a caller back
// within a frame meets every blank and reads the exact rate, a later one
// meets every other blank. Any other figure is the device's or refresh's
// arithmetic losing (or inventing) a blank.
TEST(RefreshRate, OnAVirtualClockEveryBlankMetCounts) {
    struct Case {
        const char* hz;
        double framesLate;  // how late every wake-up is, in frames
        bool lateClock;     // five weeks into the clock, as above
        double expected;
    };
    for (const Case& c : {Case{"240", 0, false, 240}, Case{"240", 0.999, false, 240}, Case{"240", 1.001, false, 120},
                          Case{"240", 0.5, true, 240}, Case{"59.94", 0, false, 59.94}, Case{"1000", 0, false, 1000}}) {
        RefreshRun run;
        const std::string clockLog = run.dir() + "/clock";
        run.preload(c.lateClock ? std::string(LATE_CLOCK_LIB) + ":" + VIRTUAL_CLOCK_LIB : VIRTUAL_CLOCK_LIB);
        run.set("LATE_CLOCK_LOG", clockLog);
        run.set("FBEMU_VBLANK_HZ", c.hz);
        run.set("FBEMU_LOG", "");
        run.set("VIRTUAL_CLOCK_LATE_NS", std::to_string(std::llround(c.framesLate * 1e9 / std::atof(c.hz))));
        std::string what = std::string(c.hz) + " Hz, wake-ups " + std::to_string(c.framesLate) + " frames late" +
                           (c.lateClock ? ", five weeks on" : "");
        // More than 2^32 ns of virtual time at 240 Hz, as above.
        Outcome o = run.runForRateLines(12);
        std::vector<double> rates = rateValues(o.out);
        ASSERT_GE(rates.size(), 12u) << what << "\n" << o.out << o.err;
        if (c.lateClock) {
            EXPECT_GE(std::stoll("0" + testsupport::readFile(clockLog)), 3000000) << "the clock was not shifted";
        }
        for (size_t i = 1; i < 12; ++i) EXPECT_NEAR(rates[i], c.expected, 1e-5) << what << ", line " << i + 1;
    }
}
