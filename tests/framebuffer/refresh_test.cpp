// The real refresh binary against the emulated framebuffer device.
#include "refresh_run.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

using namespace fbtest;

namespace {

// The report of the test panel (see RefreshRun's defaults).
const std::string kPanelReport =
    "using (fd=3)\n"
    "id           = velmora-test\n"
    "xres         = 480 px\n"
    "yres         = 800 px\n"
    "xres_virtual = 480 px\n"
    "yres_virtual = 1600 px\n"
    "bpp          = 16\n"
    "r            = 11:5\n"
    "g            =  5:6\n"
    "b            =  0:5\n"
    "width        = 52 mm (234.461533 dpi)\n"
    "height       = 87 mm (233.563217 dpi)\n"
    "refresh rate = 60.00 Hz\n"
    "upper_margin=8, lower_margin=8, left_margin=16, right_margin=16, "
    "pixclock=39894, finfo.smem_len=3072000\n";

// The output up to the first rate line.
std::string reportPart(const std::string& out) {
    size_t end = 0;
    for (const std::string& line : splitLines(out)) {
        if (countRateLines(line + "\n")) break;
        end += line.size() + 1;
    }
    return out.substr(0, std::min(end, out.size()));
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

std::vector<std::string> vblPans(const std::vector<std::string>& log) {
    std::vector<std::string> pans;
    for (const std::string& line : log)
        if (startsWith(line, "put_var ") && line.find(" activate=16 ") != std::string::npos) pans.push_back(line);
    return pans;
}

// Runs until the first rate line and checks the report printed before it.
void expectReport(RefreshRun& run, const std::string& expected) {
    Outcome o = run.runForRateLines(1);
    EXPECT_EQ(reportPart(o.out), expected);
    EXPECT_EQ(countRateLines(o.out), 1u) << o.out;
    EXPECT_EQ(o.signal, SIGTERM) << "status " << o.status;
    EXPECT_EQ(o.err, "");
}

}  // namespace

// ---- the three report blocks --------------------------------------------

TEST(RefreshReport, PanelModeByteExact) {
    RefreshRun run;
    expectReport(run, kPanelReport);
}

TEST(RefreshReport, ShowsTheDepthAndLayoutTheDriverSet) {
    RefreshRun run;
    run.set({{"FBEMU_DEPTHS", "24,32"},  // asked for 16, the driver rounds up to 24
             {"FBEMU_LAYOUT_24", "16:8,8:8,0:8"},
             {"FBEMU_XRES", "1080"},
             {"FBEMU_YRES", "1920"},
             {"FBEMU_XRES_VIRTUAL", "1080"},
             {"FBEMU_YRES_VIRTUAL", "3840"},
             {"FBEMU_WIDTH_MM", "68"},
             {"FBEMU_HEIGHT_MM", "121"},
             {"FBEMU_PIXCLOCK", "7000"},
             {"FBEMU_LEFT_MARGIN", "40"},
             {"FBEMU_RIGHT_MARGIN", "20"},
             {"FBEMU_UPPER_MARGIN", "16"},
             {"FBEMU_LOWER_MARGIN", "4"},
             {"FBEMU_SMEM_LEN", "16588800"}});
    expectReport(run,
                 "using (fd=3)\n"
                 "id           = velmora-test\n"
                 "xres         = 1080 px\n"
                 "yres         = 1920 px\n"
                 "xres_virtual = 1080 px\n"
                 "yres_virtual = 3840 px\n"
                 "bpp          = 24\n"
                 "r            = 16:8\n"
                 "g            =  8:8\n"
                 "b            =  0:8\n"
                 "width        = 68 mm (403.411774 dpi)\n"
                 "height       = 121 mm (403.041321 dpi)\n"
                 "refresh rate = 64.59 Hz\n"
                 "upper_margin=16, lower_margin=4, left_margin=40, right_margin=20, pixclock=7000, "
                 "finfo.smem_len=16588800\n");
}

TEST(RefreshReport, ZeroMillimetresPrintInfinityOrNanAndRunOn) {
    RefreshRun run;
    run.set("FBEMU_WIDTH_MM", "0");
    run.set("FBEMU_YRES", "0");
    run.set("FBEMU_HEIGHT_MM", "0");
    Outcome o = run.runForRateLines(1);
    std::vector<std::string> lines = splitLines(o.out);
    ASSERT_GE(lines.size(), 13u) << o.out;
    EXPECT_EQ(lines[3], "yres         = 0 px");
    EXPECT_EQ(lines[10], "width        = 0 mm (inf dpi)");
    // 0/0: the sign of the NaN is the processor's (x86-64: -nan, ARM: nan).
    EXPECT_TRUE(lines[11] == "height       = 0 mm (-nan dpi)" || lines[11] == "height       = 0 mm (nan dpi)")
        << lines[11];
    EXPECT_EQ(countRateLines(o.out), 1u);
}

TEST(RefreshReport, OddVirtualHeightAndMemoryLengthBeforeTheModeSet) {
    RefreshRun run;
    run.set("FBEMU_YRES", "480");
    run.set("FBEMU_YRES_VIRTUAL", "961");
    run.set("FBEMU_HEIGHT_MM", "78");
    run.set("FBEMU_SMEM_LEN", "1000000");
    run.set("FBEMU_SMEM_LEN_SET", "1230080");
    Outcome o = run.runForRateLines(1);
    std::vector<std::string> lines = splitLines(reportPart(o.out));
    ASSERT_EQ(lines.size(), 14u) << o.out;
    EXPECT_EQ(lines[5], "yres_virtual = 961 px");
    EXPECT_EQ(lines[13],
              "upper_margin=8, lower_margin=8, left_margin=16, right_margin=16, pixclock=39894, "
              "finfo.smem_len=1000000");
    // The mapping uses the length read after the mode set.
    std::vector<std::string> log = run.logLines();
    EXPECT_EQ(std::count(log.begin(), log.end(), "mmap length=1230080 offset=0 smem_len=1230080 result=0"), 1);
}

TEST(RefreshReport, IdIsAtMost16Characters) {
    RefreshRun run;
    run.set("FBEMU_ID", "ABCDEFGHIJKLMNOPQRST");
    run.set("FBEMU_SMEM_START", "0x41424344");  // the bytes right after the id
    Outcome o = run.runForRateLines(1);
    std::vector<std::string> lines = splitLines(o.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], "id           = ABCDEFGHIJKLMNOP");
}

TEST(RefreshReport, RateKeepsTheLow32BitsOfTheQuotient) {
    RefreshRun run;
    // 8 x 8 with no margins at 1 ps: 10^15 / 64 does not fit in 32 bits.
    for (const char* name : {"FBEMU_XRES", "FBEMU_YRES", "FBEMU_XRES_VIRTUAL"}) run.set(name, "8");
    run.set("FBEMU_YRES_VIRTUAL", "16");
    for (const char* name : {"FBEMU_LEFT_MARGIN", "FBEMU_RIGHT_MARGIN", "FBEMU_UPPER_MARGIN", "FBEMU_LOWER_MARGIN"})
        run.set(name, "0");
    run.set("FBEMU_PIXCLOCK", "1");
    Outcome o = run.runForRateLines(1);
    std::vector<std::string> lines = splitLines(o.out);
    ASSERT_GE(lines.size(), 14u) << o.out;
    EXPECT_EQ(lines[12], "refresh rate = -91022.85 Hz");
    EXPECT_EQ(lines[13],
              "upper_margin=0, lower_margin=0, left_margin=0, right_margin=0, pixclock=1, "
              "finfo.smem_len=3072000");
}

TEST(RefreshReport, LargeUnsignedFieldsPrintAsSigned) {
    RefreshRun run;
    run.set("FBEMU_PIXCLOCK", "4294967295");
    run.set("FBEMU_UPPER_MARGIN", "2147483648");
    Outcome o = run.runForRateLines(1);
    std::vector<std::string> lines = splitLines(o.out);
    ASSERT_GE(lines.size(), 14u) << o.out;
    EXPECT_EQ(lines[13],
              "upper_margin=-2147483648, lower_margin=8, left_margin=16, right_margin=16, "
              "pixclock=-1, finfo.smem_len=3072000");
}

// No divisor for the computed rate: it reads 0 and the run goes on.
class RefreshNoTimings : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(RefreshNoTimings, RateIsZeroAndTheRunGoesOn) {
    RefreshRun run;
    run.set(GetParam().first, GetParam().second);
    Outcome o = run.runForRateLines(2);
    std::vector<std::string> lines = splitLines(o.out);
    ASSERT_GE(lines.size(), 13u) << o.out;
    EXPECT_EQ(lines[12], "refresh rate = 0.00 Hz");
    EXPECT_EQ(countRateLines(o.out), 2u);
    EXPECT_EQ(o.signal, SIGTERM) << o.err;
}

INSTANTIATE_TEST_SUITE_P(Timings, RefreshNoTimings,
                         ::testing::Values(std::make_pair("FBEMU_PIXCLOCK", "0"),
                                           // 800 + 8 + (2^32 - 808) lines wrap to 0
                                           std::make_pair("FBEMU_LOWER_MARGIN", "4294966488"),
                                           // 480 + 16 + (2^32 - 496) columns wrap to 0
                                           std::make_pair("FBEMU_RIGHT_MARGIN", "4294966800")));

// ---- start-up paths -------------------------------------------------------

namespace {

enum class Printed { Nothing, ModeSetMessage, Report };

struct StartUp {
    const char* name;
    RefreshRun::Settings env;
    int status;
    Printed printed;
};

void PrintTo(const StartUp& s, std::ostream* os) { *os << s.name; }

}  // namespace

class RefreshStartUp : public ::testing::TestWithParam<StartUp> {};

TEST_P(RefreshStartUp, StatusAndOutput) {
    RefreshRun run;
    run.set(GetParam().env);
    Outcome o = run.runToExit();
    ASSERT_TRUE(o.exited) << "signal " << o.signal << "\n" << o.out << o.err;
    EXPECT_EQ(o.status, GetParam().status);
    switch (GetParam().printed) {
    case Printed::Nothing:
        EXPECT_EQ(o.out, "");
        break;
    case Printed::ModeSetMessage:
        EXPECT_EQ(o.out, "FBIOPUT_VSCREENINFO failed (480 x 1600)\n");
        break;
    case Printed::Report:
        EXPECT_EQ(o.out, kPanelReport);
        break;
    }
    EXPECT_EQ(o.err, "");
    EXPECT_TRUE(vblPans(run.logLines()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RefreshStartUp,
    ::testing::Values(StartUp{"NoDevice", {{"FBEMU_NODES", ""}}, 254, Printed::Nothing},
                      StartUp{"NoPermission", {{"FBEMU_NODES", "/dev/fb0=EACCES"}}, 243, Printed::Nothing},
                      // the status is the last open's: /dev/fb0 is missing
                      StartUp{"LastOpenCounts", {{"FBEMU_NODES", "/dev/graphics/fb0=EACCES"}}, 254, Printed::Nothing},
                      StartUp{"FixedInfoFails", {{"FBEMU_FAIL", "get_fix.1=EIO"}}, 251, Printed::Nothing},
                      StartUp{"VariableInfoFails", {{"FBEMU_FAIL", "get_var.1=ENODEV"}}, 237, Printed::Nothing},
                      StartUp{"ModeSetFails", {{"FBEMU_FAIL", "put_var.1=EIO"}}, 0, Printed::ModeSetMessage},
                      StartUp{"DepthRefused", {{"FBEMU_DEPTHS", "8"}}, 0, Printed::ModeSetMessage},
                      StartUp{"SecondVariableInfoFails", {{"FBEMU_FAIL", "get_var.2=EIO"}}, 251, Printed::Nothing},
                      StartUp{"SecondFixedInfoFails", {{"FBEMU_FAIL", "get_fix.2=EBUSY"}}, 240, Printed::Report},
                      StartUp{"MapFails", {{"FBEMU_FAIL", "mmap=ENODEV"}}, 237, Printed::Report},
                      // ENOMEM, whatever errno held
                      StartUp{"NoMemoryAfterModeSet", {{"FBEMU_SMEM_LEN_SET", "0"}}, 244, Printed::Report}),
    [](const ::testing::TestParamInfo<StartUp>& info) { return std::string(info.param.name); });

TEST(RefreshDevice, GraphicsPathIsPreferred) {
    RefreshRun run;
    run.set("FBEMU_NODES", "/dev/graphics/fb0,/dev/fb0");
    run.runForRateLines(1);
    std::vector<std::string> log = run.logLines();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], "open path=/dev/graphics/fb0 result=3");
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return startsWith(l, "open "); }), 1);
}

TEST(RefreshDevice, FallsBackToDevFb0) {
    RefreshRun run;
    run.set("FBEMU_NODES", "/dev/fb0");
    Outcome o = run.runForRateLines(1);
    std::vector<std::string> log = run.logLines();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "open path=/dev/graphics/fb0 errno=2");
    EXPECT_EQ(log[1], "open path=/dev/fb0 result=3");
    EXPECT_EQ(reportPart(o.out), kPanelReport);
}

// Built with large-file offsets and _FORTIFY_SOURCE, refresh calls open64
// and mmap64 (or the checked variants) instead: the device must still be there.
TEST(RefreshDevice, ServedToALargeFileFortifiedBuild) {
    RefreshRun run(REFRESH_LFS_BIN);
    Outcome o = run.runForRateLines(1);
    EXPECT_EQ(reportPart(o.out), kPanelReport);
    EXPECT_EQ(countRateLines(o.out), 1u);
}

TEST(RefreshDevice, NoMemoryAfterModeSetIsNeverMapped) {
    RefreshRun run;
    run.set("FBEMU_SMEM_LEN_SET", "0");
    run.runToExit();
    for (const std::string& line : run.logLines()) EXPECT_FALSE(startsWith(line, "mmap ")) << line;
}

// A stand-in that silently ran some other device would make every test lie.
TEST(RefreshDevice, MalformedSettingStopsTheRunLoudly) {
    RefreshRun run;
    run.set("FBEMU_FAIL", "put_var.1=EWHATEVER");
    Outcome o = run.runToExit();
    EXPECT_EQ(o.status, 125);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "fbdev-emu: FBEMU_FAIL: not an errno name or number: \"EWHATEVER\"\n");
}

// The device's numbers are decimal or 0x hexadecimal, nothing else.
TEST(RefreshDevice, NumbersAreDecimalOrHex) {
    for (const auto& [text, width] : {std::pair{"010", "10"}, {"08", "8"}, {"0x3A", "58"}}) {
        RefreshRun run;
        run.set("FBEMU_WIDTH_MM", text);
        run.set("FBEMU_VBLANK_HZ", "1000.0");
        Outcome o = run.runForRateLines(1);
        std::vector<std::string> lines = splitLines(o.out);
        ASSERT_GE(lines.size(), 11u) << text << ": " << o.out << o.err;
        EXPECT_TRUE(startsWith(lines[10], std::string("width        = ") + width + " mm ("))
            << text << ": " << lines[10];
    }
}

namespace {

struct Refusal {
    const char* name;
    RefreshRun::Settings env;
    std::vector<const char*> unset;  // left to the device's defaults
    std::string err;
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

const std::string kNotANumber = "fbdev-emu: FBEMU_WIDTH_MM: not a 32-bit decimal or 0x hexadecimal number: ";
const std::string kTooMuchMemory =
    " bytes (the larger of FBEMU_SMEM_LEN and FBEMU_SMEM_LEN_SET), is more than the "
    "emulator makes: 268435456 bytes (256 MiB)\n";
const std::string kNotARate = "fbdev-emu: FBEMU_VBLANK_HZ: not 0 or a rate from 0.001 to 1000000 Hz: ";

}  // namespace

// A setting the device cannot honour ends the run before any memory is made.
class RefreshRefusedSetting : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefreshRefusedSetting, StopsTheRunBeforeTheMemoryIsMade) {
    RefreshRun run;
    run.set(GetParam().env);
    for (const char* name : GetParam().unset) run.unset(name);
    Outcome o = run.runToExit();
    EXPECT_EQ(o.status, 125) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, GetParam().err);
    EXPECT_EQ(run.memory(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Settings, RefreshRefusedSetting,
    ::testing::Values(
        Refusal{"Sign", {{"FBEMU_WIDTH_MM", "+52"}}, {}, kNotANumber + "\"+52\"\n"},
        Refusal{"Space", {{"FBEMU_WIDTH_MM", " 52"}}, {}, kNotANumber + "\" 52\"\n"},
        Refusal{"UpperCaseHexPrefix", {{"FBEMU_WIDTH_MM", "0X34"}}, {}, kNotANumber + "\"0X34\"\n"},
        Refusal{"HexPrefixAlone", {{"FBEMU_WIDTH_MM", "0x"}}, {}, kNotANumber + "\"0x\"\n"},
        Refusal{"Beyond32Bits", {{"FBEMU_WIDTH_MM", "0x100000000"}}, {}, kNotANumber + "\"0x100000000\"\n"},
        Refusal{"DefaultVirtualHeightOverflows",
                {{"FBEMU_YRES", "2147483648"}},
                {"FBEMU_YRES_VIRTUAL"},
                "fbdev-emu: FBEMU_YRES_VIRTUAL: the default, 2 x FBEMU_YRES = 2 x 2147483648, does not fit in 32 "
                "bits\n"},
        Refusal{"DefaultMemoryOverflows",
                {{"FBEMU_XRES", "65535"}, {"FBEMU_YRES", "65535"}},
                {"FBEMU_XRES_VIRTUAL", "FBEMU_YRES_VIRTUAL", "FBEMU_SMEM_LEN"},
                "fbdev-emu: FBEMU_SMEM_LEN: the default, FBEMU_XRES_VIRTUAL x FBEMU_YRES_VIRTUAL x 4 = 65535 x 131070 "
                "x 4, does not fit in 32 bits\n"},
        Refusal{"LineOverflows",
                {{"FBEMU_XRES_VIRTUAL", "4294967295"}},
                {},
                "fbdev-emu: FBEMU_XRES_VIRTUAL x FBEMU_BPP: a line of 17179869180 bytes does not fit in 32 bits\n"},
        Refusal{"MemoryOverTheLimit",
                {{"FBEMU_SMEM_LEN", "268435457"}},
                {},
                "fbdev-emu: the device's memory, 268435457" + kTooMuchMemory},
        Refusal{"MemoryAfterTheModeSetOverTheLimit",
                {{"FBEMU_SMEM_LEN_SET", "0xffffffff"}},
                {},
                "fbdev-emu: the device's memory, 4294967295" + kTooMuchMemory},
        Refusal{"RateWithExponent", {{"FBEMU_VBLANK_HZ", "1e3"}}, {}, kNotARate + "\"1e3\"\n"},
        Refusal{"RateTooHigh", {{"FBEMU_VBLANK_HZ", "1000001"}}, {}, kNotARate + "\"1000001\"\n"},
        Refusal{"RateTooLow", {{"FBEMU_VBLANK_HZ", "0.0001"}}, {}, kNotARate + "\"0.0001\"\n"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// ---- what the device receives ------------------------------------------

TEST(RefreshFlips, ModeSetThenPagesAlternateAtEveryVblank) {
    RefreshRun run;
    run.set("FBEMU_YOFFSET", "37");  // left panned by an earlier program
    run.runForRateLines(2);
    std::vector<std::string> log = run.logLines();
    ASSERT_GE(log.size(), 7u);
    EXPECT_EQ(log[1], "get_fix request=0x4602 smem_len=3072000 result=0");
    EXPECT_EQ(log[2],
              "get_var request=0x4600 xres=480 yres=800 xres_virtual=480 yres_virtual=1600 bpp=32 "
              "yoffset=37 result=0");
    // The mode set: 16 bpp, no pan, no update words, the geometry and timings
    // exactly as the driver reported them.
    EXPECT_EQ(log[3],
              "put_var request=0x4601 activate=0 xoffset=0 yoffset=0 bpp=16 geometry=480x800,480x1600 "
              "timings=39894,16,16,8,8 words=0x00000000,0x00000000,0x00000000 smem_len=3072000 result=0");
    EXPECT_TRUE(startsWith(log[4], "get_var request=0x4600 ")) << log[4];
    EXPECT_EQ(log[5], "get_fix request=0x4602 smem_len=3072000 result=0");
    EXPECT_EQ(log[6], "mmap length=3072000 offset=0 smem_len=3072000 result=0");

    std::vector<std::string> pans = vblPans(log);
    ASSERT_GE(pans.size(), 240u);
    EXPECT_EQ(pans.size(), log.size() - 7) << "only pans after the mapping";
    for (size_t i = 0; i < pans.size(); i++) {
        std::string expected = std::string("put_var request=0x4601 activate=16 xoffset=0 yoffset=") +
                               (i % 2 ? "800" : "0") +
                               " bpp=16 geometry=480x800,480x1600 timings=39894,16,16,8,8 "
                               "words=0x54445055,0x00000000,0x01e00140 smem_len=3072000 result=0";
        ASSERT_EQ(pans[i], expected) << "pan " << i;
    }
}

TEST(RefreshFlips, OddVirtualHeightUsesHalfRoundedDown) {
    RefreshRun run;
    run.set("FBEMU_YRES", "480");
    run.set("FBEMU_YRES_VIRTUAL", "961");
    run.set("FBEMU_SMEM_LEN", "922560");  // 480 x 961 x 2
    run.runForRateLines(1);
    std::vector<std::string> pans = vblPans(run.logLines());
    ASSERT_GE(pans.size(), 2u);
    EXPECT_NE(pans[1].find(" yoffset=480 "), std::string::npos) << pans[1];
    EXPECT_NE(pans[1].find(" result=0"), std::string::npos) << pans[1];
    std::string memory = run.memory();
    ASSERT_EQ(memory.size(), 925696u);  // page-rounded
    EXPECT_EQ(memory.find_first_not_of('\xFF'), 480u * 640);
}

TEST(RefreshFlips, MemoryIsBlackWithAWhiteFirstPart) {
    RefreshRun run;
    run.set("FBEMU_SMEM_LEN", "3072100");  // not a page multiple: the tail is beyond the device
    run.runForRateLines(1);
    std::string memory = run.memory();
    ASSERT_EQ(memory.size(), 3076096u);
    const size_t white = 800 * 640;
    EXPECT_EQ(memory.find_first_not_of('\xFF'), white);
    EXPECT_EQ(memory.find_first_not_of('\0', white), 3072100u);
    // Past smem_len the memory keeps what it held.
    EXPECT_EQ(memory.find_first_not_of('\xA5', 3072100), std::string::npos);
}

TEST(RefreshFlips, WhiteFillStaysWithinAShortMapping) {
    RefreshRun run;
    run.set("FBEMU_SMEM_LEN_SET", "100000");  // less than 800 lines of 640 bytes
    Outcome o = run.runForRateLines(1);
    EXPECT_EQ(o.signal, SIGTERM) << "status " << o.status << " " << o.err;
    std::string memory = run.memory();
    ASSERT_EQ(memory.size(), 3072000u);  // the larger of the two lengths
    EXPECT_EQ(memory.find_first_not_of('\xFF'), 100000u);
    EXPECT_EQ(memory.find_first_not_of('\xA5', 100000), std::string::npos);
}

TEST(RefreshFlips, RefusedSecondPageDoesNotStopTheLoop) {
    RefreshRun run;
    // No second page, and memory for exactly one 16 bpp page: the driver
    // cannot grow the virtual screen for the half-page pan (ENOMEM, as vfb).
    run.set("FBEMU_YRES_VIRTUAL", "800");
    run.set("FBEMU_SMEM_LEN", "768000");
    Outcome o = run.runForRateLines(2);
    EXPECT_EQ(countRateLines(o.out), 2u);
    std::vector<std::string> pans = vblPans(run.logLines());
    ASSERT_GE(pans.size(), 240u);
    EXPECT_NE(pans[0].find(" result=0"), std::string::npos) << pans[0];
    EXPECT_NE(pans[1].find(" yoffset=400 "), std::string::npos) << pans[1];
    EXPECT_NE(pans[1].find(" errno=12"), std::string::npos) << pans[1];
}

// ---- a device like the kernel's vfb ----------------------------------------

namespace {

// vfb as it loads (docs/framebuffer-kernel-check.md): only /dev/fb0, 640 x 480
// with a virtual screen of the same size (no second page), 8 bpp, 0 mm,
// pixclock 20000, margins 64/64/32/32, depths 1, 8, 16, 24 and 32 (16 with
// vfb's layout), `memory` bytes of memory, and FB_ACTIVATE_VBL pans that
// return at once. The rate lines then come fast: tests assert at least, not exactly,
// how many.
void setVfbLike(RefreshRun& run, const char* memory) {
    run.set({{"FBEMU_NODES", "/dev/fb0"},  {"FBEMU_ID", "Virtual FB"},       {"FBEMU_XRES", "640"},
             {"FBEMU_YRES", "480"},        {"FBEMU_XRES_VIRTUAL", "640"},    {"FBEMU_YRES_VIRTUAL", "480"},
             {"FBEMU_BPP", "8"},           {"FBEMU_DEPTHS", "1,8,16,24,32"}, {"FBEMU_LAYOUT_16", "0:5,5:6,11:5"},
             {"FBEMU_WIDTH_MM", "0"},      {"FBEMU_HEIGHT_MM", "0"},         {"FBEMU_PIXCLOCK", "20000"},
             {"FBEMU_LEFT_MARGIN", "64"},  {"FBEMU_RIGHT_MARGIN", "64"},     {"FBEMU_UPPER_MARGIN", "32"},
             {"FBEMU_LOWER_MARGIN", "32"}, {"FBEMU_HSYNC_LEN", "64"},        {"FBEMU_VSYNC_LEN", "2"},
             {"FBEMU_SMEM_LEN", memory},   {"FBEMU_VBLANK_HZ", "0"}});
}

std::string vfbReport(const std::string& smemLen) {
    return "using (fd=3)\n"
           "id           = Virtual FB\n"
           "xres         = 640 px\n"
           "yres         = 480 px\n"
           "xres_virtual = 640 px\n"
           "yres_virtual = 480 px\n"
           "bpp          = 16\n"
           "r            =  0:5\n"
           "g            =  5:6\n"
           "b            = 11:5\n"
           "width        = 0 mm (inf dpi)\n"
           "height       = 0 mm (inf dpi)\n"
           "refresh rate = 119.68 Hz\n"
           "upper_margin=32, lower_margin=32, left_margin=64, right_margin=64, pixclock=20000, finfo.smem_len=" +
           smemLen + "\n";
}

// The log line of a VBL pan on the vfb-like device, as refresh sends it.
std::string vfbPan(unsigned yoffset, unsigned yresVirtual, const std::string& smemLen, const std::string& outcome) {
    return "put_var request=0x4601 activate=16 xoffset=0 yoffset=" + std::to_string(yoffset) +
           " bpp=16 geometry=640x480,640x" + std::to_string(yresVirtual) +
           " timings=20000,64,64,32,32 words=0x54445055,0x00000000,0x01e00140 smem_len=" + smemLen + " " + outcome;
}

// Runs refresh on a vfb-like device with `memory` bytes (and any `extra`
// settings) until `rateLines` rate lines are out, checking the report and
// that only the stop ended the run.
Outcome runOnVfbLike(RefreshRun& run, const char* memory, size_t rateLines, const RefreshRun::Settings& extra = {}) {
    setVfbLike(run, memory);
    run.set(extra);
    Outcome o = run.runForRateLines(rateLines);
    EXPECT_EQ(reportPart(o.out), vfbReport(memory));
    EXPECT_GE(countRateLines(o.out), rateLines) << o.out;
    EXPECT_EQ(o.signal, SIGTERM) << "status " << o.status;
    return o;
}

}  // namespace

TEST(RefreshOnVfbLikeDevice, ReportAndModeSet) {
    RefreshRun run;
    Outcome o = runOnVfbLike(run, "2097152", 1);
    EXPECT_EQ(o.err, "");
    std::vector<std::string> log = run.logLines();
    ASSERT_GE(log.size(), 8u);
    EXPECT_EQ(log[0], "open path=/dev/graphics/fb0 errno=2");
    EXPECT_EQ(log[1], "open path=/dev/fb0 result=3");
    EXPECT_EQ(log[4],
              "put_var request=0x4601 activate=0 xoffset=0 yoffset=0 bpp=16 geometry=640x480,640x480 "
              "timings=20000,64,64,32,32 words=0x00000000,0x00000000,0x00000000 smem_len=2097152 result=0");
    EXPECT_EQ(log[5],
              "get_var request=0x4600 xres=640 yres=480 xres_virtual=640 yres_virtual=480 bpp=16 "
              "yoffset=0 result=0");
    EXPECT_EQ(log[7], "mmap length=2097152 offset=0 smem_len=2097152 result=0");
    // White: half of the 480-line virtual screen read after the mode set.
    std::string memory = run.memory();
    ASSERT_EQ(memory.size(), 2097152u);
    EXPECT_EQ(memory.find_first_not_of('\xFF'), 240u * 640);
    EXPECT_EQ(memory.find_first_not_of('\0', 240u * 640), std::string::npos);
}

// Each half-page pan asks for half the virtual height the previous one handed
// back; the driver grows the virtual screen to fit the pan and hands the grown
// height back, until it reaches 2 x 480 - 1.
TEST(RefreshOnVfbLikeDevice, HalfPagePansGrowTheVirtualHeightTo959) {
    RefreshRun run;
    runOnVfbLike(run, "2097152", 1);
    std::vector<std::string> pans = vblPans(run.logLines());
    ASSERT_GE(pans.size(), 120u);
    // Per pass: the half-page yoffset and the virtual height refresh sends
    // with both of the pass's pans.
    const std::vector<std::pair<unsigned, unsigned>> passes = {
        {240, 480}, {360, 720}, {420, 840}, {450, 900}, {465, 930}, {472, 945}, {476, 952}, {478, 956}, {479, 958}};
    for (size_t i = 0; i < pans.size(); i++) {
        size_t pass = i / 2;
        auto [half, height] = pass < passes.size() ? passes[pass] : std::make_pair(479u, 959u);
        ASSERT_EQ(pans[i], vfbPan(i % 2 ? half : 0, height, "2097152", "result=0")) << "pan " << i;
    }
}

// With vfb's default 1 MiB the first growth (to 720) fits, the second (to
// 840) does not: from the second pass on every half-page pan fails with ENOMEM
// and changes nothing, and refresh flips on.
TEST(RefreshOnVfbLikeDevice, WithoutMemoryToGrowHalfPagePansFailAndTheLoopGoesOn) {
    RefreshRun run;
    runOnVfbLike(run, "1048576", 2);
    std::vector<std::string> pans = vblPans(run.logLines());
    ASSERT_GE(pans.size(), 240u);
    EXPECT_EQ(pans[0], vfbPan(0, 480, "1048576", "result=0"));
    EXPECT_EQ(pans[1], vfbPan(240, 480, "1048576", "result=0"));
    for (size_t i = 2; i < pans.size(); i++)
        ASSERT_EQ(pans[i], vfbPan(i % 2 ? 360 : 0, 720, "1048576", i % 2 ? "errno=12" : "result=0")) << "pan " << i;
}

namespace {

// A mode set the driver refuses: refresh prints the size it asked for and
// ends with 0; the log shows which refusal the device gave.
struct RefusedMode {
    const char* name;
    const char* vfbMemory;  // a vfb-like device with this much memory, or the default one
    RefreshRun::Settings env;
    std::string out;
    size_t logLines;
    std::string lastLogLine;  // exact, or its ending when that starts with a space
};

void PrintTo(const RefusedMode& r, std::ostream* os) { *os << r.name; }

}  // namespace

class RefreshRefusedMode : public ::testing::TestWithParam<RefusedMode> {};

TEST_P(RefreshRefusedMode, ReportsTheSizeAndEndsWithZero) {
    const RefusedMode& mode = GetParam();
    RefreshRun run;
    if (mode.vfbMemory) setVfbLike(run, mode.vfbMemory);
    run.set(mode.env);
    Outcome o = run.runToExit();
    ASSERT_TRUE(o.exited) << "signal " << o.signal;
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, mode.out);
    std::vector<std::string> log = run.logLines();
    ASSERT_EQ(log.size(), mode.logLines);
    if (mode.lastLogLine.find(' ') == 0)
        EXPECT_TRUE(log.back().ends_with(mode.lastLogLine)) << log.back();
    else
        EXPECT_EQ(log.back(), mode.lastLogLine);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RefreshRefusedMode,
    ::testing::Values(
        // A 16 bpp screen that does not fit in the memory: ENOMEM.
        RefusedMode{"DoesNotFitTheMemory",
                    "307200",
                    {},
                    "FBIOPUT_VSCREENINFO failed (640 x 480)\n",
                    5,
                    "put_var request=0x4601 activate=0 xoffset=0 yoffset=0 bpp=16 geometry=640x480,640x480 "
                    "timings=20000,64,64,32,32 words=0x00000000,0x00000000,0x00000000 smem_len=307200 errno=12"},
        // An empty screen fits any memory, but a line of 2^32 16-bit pixels
        // has no line_length to report: refused like any that does not fit.
        RefusedMode{"LineLongerThanItsField",
                    nullptr,
                    {{"FBEMU_BPP", "1"},  // 512 MiB lines at 1 bpp, 8 GiB at 16
                     {"FBEMU_XRES", "4294967295"},
                     {"FBEMU_XRES_VIRTUAL", "4294967295"},
                     {"FBEMU_YRES", "0"},
                     {"FBEMU_YRES_VIRTUAL", "0"}},
                    "FBIOPUT_VSCREENINFO failed (-1 x 0)\n",
                    4,
                    " errno=12"},
        // A depth the driver cannot do at all stays EINVAL, not ENOMEM.
        RefusedMode{"DepthTheDriverLacks",
                    nullptr,
                    {{"FBEMU_DEPTHS", "8"}},
                    "FBIOPUT_VSCREENINFO failed (480 x 1600)\n",
                    4,
                    " errno=22"}),
    [](const ::testing::TestParamInfo<RefusedMode>& info) { return std::string(info.param.name); });

// A virtual screen smaller than the visible one is raised to it by the mode
// set, and refresh reports the raised size.
TEST(RefreshOnVfbLikeDevice, VirtualSizeBelowTheVisibleOneIsRaised) {
    RefreshRun run;
    runOnVfbLike(run, "2097152", 1, {{"FBEMU_XRES_VIRTUAL", "600"}, {"FBEMU_YRES_VIRTUAL", "400"}});
    std::vector<std::string> log = run.logLines();
    ASSERT_GE(log.size(), 5u);
    EXPECT_EQ(log[4],
              "put_var request=0x4601 activate=0 xoffset=0 yoffset=0 bpp=16 geometry=640x480,600x400 "
              "timings=20000,64,64,32,32 words=0x00000000,0x00000000,0x00000000 smem_len=2097152 result=0");
}

// ---- rate lines -----------------------------------------------------------

TEST(RefreshRate, OneLineAfterEvery120Flips) {
    RefreshRun run;
    // Log into the program's own standard output, so that the order of pans
    // and printed lines is the order in which they happened.
    run.set("FBEMU_LOG", "/dev/stdout");
    Outcome o = run.runForRateLines(3);
    std::vector<std::string> lines = splitLines(o.out);
    size_t pans = 0, rateLines = 0;
    bool mapped = false;
    for (const std::string& line : lines) {
        if (startsWith(line, "mmap "))
            mapped = true;
        else if (startsWith(line, "put_var ") && mapped)
            pans++;
        else if (startsWith(line, "refresh rate = ") && mapped) {
            EXPECT_EQ(countRateLines(line + "\n"), 1u) << "not six decimals: " << line;
            EXPECT_EQ(pans, 120u) << "before rate line " << rateLines;
            rateLines++;
            pans = 0;
        }
    }
    EXPECT_GE(rateLines, 3u);
}

TEST(RefreshStop, SigtermWithOutputInAPipeLosesNoLine) {
    RefreshRun run;
    size_t flips = 0;
    // Nobody reads the pipe until refresh is gone: whatever was not flushed
    // before the signal would be lost.
    Outcome o = run.stopAfterFlips(3 * 120 + 2, &flips);
    ASSERT_GE(flips, 362u);
    EXPECT_EQ(o.signal, SIGTERM);
    EXPECT_TRUE(startsWith(o.out, kPanelReport)) << o.out;
    size_t rateLines = countRateLines(o.out);
    // A pan logged means the one before it returned and its line was printed.
    EXPECT_GE(rateLines, (flips - 1) / 120);
    EXPECT_LE(rateLines, vblPans(run.logLines()).size() / 120);
    EXPECT_EQ(splitLines(o.out).size(), 14 + rateLines);
    EXPECT_EQ(o.out.back(), '\n');
}
