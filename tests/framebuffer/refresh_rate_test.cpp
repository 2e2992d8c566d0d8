// The rate refresh measures against the emulated vertical-blank rate. Kept
// apart from the other tests so that it can run on its own (RUN_SERIAL).
#include "refresh_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "process.h"

using namespace fbtest;

namespace {

// Runs refresh against a 240 Hz device, the clock shifted when `lateClock`;
// its rate lines.
void expectTheVblankRate(bool lateClock)
{
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
    // some lines read low, none reads high. So the fastest line is one that
    // met every blank and must show the display's rate. The first line is left
    // out: it starts anywhere within a frame and reads up to 1/119 high.
    double fastest = *std::max_element(rates.begin() + 1, rates.end());
    EXPECT_NEAR(fastest, hz, hz * 0.01) << o.out;
    for (size_t i = 1; i < rates.size(); ++i)
        EXPECT_TRUE(rates[i] > 0 && rates[i] <= hz * 1.01) << "line " << i + 1 << ":\n" << o.out;
}

} // namespace

TEST(RefreshRate, MeasuredRateIsTheVblankRateWithinOnePercent)
{
    expectTheVblankRate(false);
}

// Seconds times 10^9 no longer fit 32 bits (armhf's time_t): the rate must
// not change.
TEST(RefreshRate, StaysRightFiveWeeksIntoTheMonotonicClock)
{
    expectTheVblankRate(true);
}
