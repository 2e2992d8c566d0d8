// End-to-end tests of the unmodified filter binary under a private Xvfb with
// Mesa's software renderer: the preloaded capture library reads back each
// frame and logs the calls, and the pictures are compared with frames
// computed independently from the texel tables.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "expected.h"
#include "harness.h"
#include "image.h"

namespace {

// llvmpipe filters with 8-bit weights (softpipe in floating point, exact
// here); any real fault (format, byte order, orientation, nearest
// filtering, size) moves some pixel by far more.
constexpr int kTolerance = 4;

struct Screen {
    int width;
    int height;
};

struct FilterRun {
    Outcome outcome;
    std::vector<std::string> calls;  // as logged by the capture library
    std::string renderer;            // GL_RENDERER, as logged at the capture
    SurfaceFormat surface;           // the channel sizes of the surface read
    std::optional<Image> picture;    // the frame at glFinish or eglSwapBuffers
};

enum class Setting {
    normal,
    breakPbuffer,  // have the real EGL refuse the pbuffer
    noXServer,     // no DISPLAY at all
};

class FilterTest : public testing::Test {
protected:
    // argv0: the invocation name, empty for the binary's path.
    FilterRun runFilter(const std::vector<std::string>& args, Screen screen, Setting setting = Setting::normal,
                        const std::string& argv0 = "", const std::string& rasterizer = defaultRasterizer()) {
        std::optional<Xvfb> x;
        const auto capture = tmp_.path() / "frame.pam";
        const auto log = tmp_.path() / "calls.log";
        // Nothing left over from an earlier run in the same test.
        std::filesystem::remove(capture);
        std::filesystem::remove(log);
        Command cmd{FILTER_BIN, args, argv0, {}, {}};
        cmd.setEnv = captureEnv("", CAPTURE_LIB, LSAN_SUPPRESSIONS, capture, log);
        cmd.setEnv.merge(rasterizerEnv(rasterizer, tmp_.path()));
        if (setting == Setting::noXServer) {
            cmd.setEnv.erase("DISPLAY");
            cmd.unsetEnv.push_back("DISPLAY");
        } else {
            x.emplace(screen.width, screen.height);
            EXPECT_FALSE(x->display().empty()) << "Xvfb did not start";
            cmd.setEnv["DISPLAY"] = x->display();
        }
        if (setting == Setting::breakPbuffer) cmd.setEnv["FILTER_BREAK_PBUFFER"] = "1";

        FilterRun r;
        r.outcome = run(cmd, tmp_.path());
        std::istringstream lines(readFile(log));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("renderer ", 0) == 0) {
                r.renderer = line.substr(9);
            } else if (const auto format = surfaceFormatOf(line)) {
                r.surface = *format;
            } else {
                r.calls.push_back(line);
            }
        }
        r.picture = readPam(capture);
        return r;
    }

    TempDir tmp_;
};

const char* const kFormatNames[] = {"", "luminance", "rgb565", "rgba4444", "luminanceAlpha", "rgba5551", "rgba8888"};
const char* const kTexImageCalls[] = {
    "",
    "glTexImage2D 0x1909 0x1401 4x4",  // GL_LUMINANCE, GL_UNSIGNED_BYTE
    "glTexImage2D 0x1907 0x8363 4x4",  // GL_RGB, GL_UNSIGNED_SHORT_5_6_5
    "glTexImage2D 0x1908 0x8033 4x4",  // GL_RGBA, GL_UNSIGNED_SHORT_4_4_4_4
    "glTexImage2D 0x190a 0x1401 4x4",  // GL_LUMINANCE_ALPHA, GL_UNSIGNED_BYTE
    "glTexImage2D 0x1908 0x8034 4x4",  // GL_RGBA, GL_UNSIGNED_SHORT_5_5_5_1
    "glTexImage2D 0x1908 0x1401 4x4",  // GL_RGBA, GL_UNSIGNED_BYTE
};

std::string texImageCall(int test) {
    std::string call = std::string(kTexImageCalls[test]) + " ";
    for (uint8_t b : textureBytes(test)) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", b);
        call += hex;
    }
    return call;
}

// The picture must match the expected frame, and must not match what the
// likely faults would have drawn instead, wherever the surface can tell the
// two apart (without alpha, luminance, 4-4-4-4 and luminance-alpha of these
// tables look the same, and a plain square looks the same filtered or not).
void expectPicture(const FilterRun& r, int test, int dim) {
    ASSERT_TRUE(r.picture.has_value()) << "no frame captured";
    const Image& got = *r.picture;
    auto frame = [&](Drawing d) { return expectedFrame(d, got.width, got.height, r.surface); };
    const Image right = frame({test, dim});
    EXPECT_LE(maxDifference(got, right), kTolerance);

    for (const WrongDrawing& w : wrongDrawings({test, dim}, got.width, got.height)) {
        const Image wrong = frame(w.drawing);
        if (maxDifference(right, wrong) > 2 * kTolerance) {
            EXPECT_GT(maxDifference(got, wrong), kTolerance) << w.name;
        }
    }
}

enum class Path { window, pbuffer };
void PrintTo(Path p, std::ostream* os) { *os << (p == Path::pbuffer ? "pbuffer" : "window"); }

// The logged calls of a run to its end; surface is the captured size, or
// empty when there was no surface to read.
std::vector<std::string> expectedCalls(Path path, int test, int dim, const std::string& surface) {
    const bool pbuffer = path == Path::pbuffer;
    std::vector<std::string> calls = {"eglGetDisplay"};
    if (pbuffer) {
        calls.push_back("eglCreatePbufferSurface 320x480");
    } else {
        calls.insert(calls.end(), {"velmora_createDisplaySurface", "eglCreateWindowSurface"});
    }
    if (test >= 1 && test <= 6) calls.push_back(texImageCall(test));
    const std::string finish = pbuffer ? "glFinish" : "eglSwapBuffers";
    const std::string draw = "glDrawTexiOES 0 0 0 " + std::to_string(dim) + " " + std::to_string(dim);
    calls.insert(calls.end(), {draw, finish, "capture " + finish + ": " + (surface.empty() ? "no surface" : surface),
                               "eglTerminate"});
    return calls;
}

// One complete run: its messages, its calls in order and its picture.
// test is the format drawn (0 for none), surface the size drawn to.
void expectDrawing(const FilterRun& r, Path path, int test, Screen surface,
                   const std::string& rasterizer = defaultRasterizer()) {
    const int dim = std::min(surface.width, surface.height);
    // zink names the Vulkan driver it runs on after its own name.
    EXPECT_EQ(r.renderer.rfind(rasterizer, 0), 0u) << r.renderer;
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_EQ(r.outcome.out, path == Path::pbuffer ? "using pbuffer\n" : "");
    EXPECT_EQ(r.outcome.err, "");
    EXPECT_EQ(r.calls,
              expectedCalls(path, test, dim, std::to_string(surface.width) + "x" + std::to_string(surface.height)));
    expectPicture(r, test, dim);
}

constexpr Screen kPbuffer{320, 480};

// Every format on every rasterizer, to the window (wider than tall: the
// square is as high as the window) and to the pbuffer.
class FilterFormats : public FilterTest, public testing::WithParamInterface<std::tuple<std::string, int, Path>> {};

TEST_P(FilterFormats, FrameIsTheMagnifiedTexture) {
    const auto& [rasterizer, test, path] = GetParam();
    if (const std::string why = unusableRasterizer(rasterizer); !why.empty()) GTEST_SKIP() << why;
    if (path == Path::pbuffer) {
        expectDrawing(runFilter({std::to_string(test), "pbuffer"}, {64, 48}, Setting::normal, "", rasterizer), path,
                      test, kPbuffer, rasterizer);
    } else {
        expectDrawing(runFilter({std::to_string(test)}, {112, 80}, Setting::normal, "", rasterizer), path, test,
                      {112, 80}, rasterizer);
    }
}

INSTANTIATE_TEST_SUITE_P(Test, FilterFormats,
                         testing::Combine(testing::ValuesIn(kRasterizers), testing::Range(1, 7),
                                          testing::Values(Path::window, Path::pbuffer)),
                         [](const auto& p) {
                             return std::get<0>(p.param) + "_" + kFormatNames[std::get<1>(p.param)] +
                                    (std::get<2>(p.param) == Path::pbuffer ? "_pbuffer" : "_window");
                         });

// Test numbers without an image leave the texture incomplete, so the square
// takes the primary colour, white.
class FilterNoImage : public FilterTest, public testing::WithParamInterface<const char*> {};

TEST_P(FilterNoImage, PbufferDrawsAPlainSquare) {
    expectDrawing(runFilter({GetParam(), "pbuffer"}, {64, 48}), Path::pbuffer, 0, kPbuffer);
}

TEST_P(FilterNoImage, WindowDrawsAPlainSquare) {
    expectDrawing(runFilter({GetParam()}, {72, 96}), Path::window, 0, {72, 96});
}

INSTANTIATE_TEST_SUITE_P(Test, FilterNoImage, testing::Values("0", "7", "-1", "abc"),
                         [](const testing::TestParamInfo<const char*>& p) {
                             const std::string arg = p.param;
                             return arg == "-1" ? std::string("minus1") : "arg_" + arg;
                         });

TEST_F(FilterTest, SquareWindowIsFilledEdgeToEdge) {
    expectDrawing(runFilter({"6"}, {88, 88}), Path::window, 6, {88, 88});
}

TEST_F(FilterTest, TallWindowSquareIsAsWideAsTheWindow) {
    expectDrawing(runFilter({"2"}, {64, 100}), Path::window, 2, {64, 100});
}

TEST_F(FilterTest, NumberPrefixSelectsTheFormat) {
    expectDrawing(runFilter({"5x", "pbuffer"}, {64, 48}), Path::pbuffer, 5, kPbuffer);
}

TEST_F(FilterTest, WithoutArgumentsPrintsUsageAndTouchesNoEgl) {
    const FilterRun r = runFilter({}, {64, 48}, Setting::normal, "texfilter");
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_EQ(r.outcome.out, "usage: texfilter <0-6> [pbuffer]\n");
    EXPECT_EQ(r.outcome.err, "");
    EXPECT_TRUE(r.calls.empty());
}

TEST_F(FilterTest, ThreeArgumentsPrintUsageWithTheInvocationName) {
    const FilterRun r = runFilter({"6", "pbuffer", "extra"}, {64, 48}, Setting::normal, "./bin/filter");
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_EQ(r.outcome.out, "usage: ./bin/filter <0-6> [pbuffer]\n");
    EXPECT_TRUE(r.calls.empty());
    EXPECT_FALSE(r.picture.has_value());
}

TEST_F(FilterTest, OnlyTheExactWordPbufferSelectsThePbuffer) {
    for (const char* word : {"Pbuffer", "PBUFFER", "pbuffers", "pbuffe", "pbuffer ", ""}) {
        SCOPED_TRACE(std::string("second word \"") + word + "\"");
        expectDrawing(runFilter({"6", word}, {96, 64}), Path::window, 6, {96, 64});
    }
}

// The pbuffer is refused by the real EGL (the capture library hands it a
// negative width): the error is reported in lower-case hex and the run goes
// on to the end with no surface and an empty square.
TEST_F(FilterTest, RefusedPbufferIsReportedAndTheRunGoesOn) {
    const FilterRun r = runFilter({"6", "pbuffer"}, {64, 48}, Setting::breakPbuffer);
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_EQ(r.outcome.out, "using pbuffer\neglCreatePbufferSurface error 300c\n");  // EGL_BAD_PARAMETER
    std::vector<std::string> calls = expectedCalls(Path::pbuffer, 6, 0, "");
    // Drawing with no surface: GL_INVALID_FRAMEBUFFER_OPERATION.
    calls.insert(calls.begin() + 4, "glDrawTexiOES error 0x506");
    EXPECT_EQ(r.calls, calls);
    EXPECT_FALSE(r.picture.has_value());
}

TEST_F(FilterTest, WithoutXServerPbufferFailsQuietlyApartFromTheMessage) {
    const FilterRun r = runFilter({"3", "pbuffer"}, {0, 0}, Setting::noXServer);
    EXPECT_EQ(r.outcome.status, 0);
    const std::string prefix = "using pbuffer\neglCreatePbufferSurface error ";
    ASSERT_EQ(r.outcome.out.rfind(prefix, 0), 0u) << r.outcome.out;
    const std::string code = r.outcome.out.substr(prefix.size());
    EXPECT_NE(code, "3000\n");  // EGL_SUCCESS would be no error at all
    EXPECT_EQ(code.find_first_not_of("0123456789abcdef"), code.size() - 1) << code;
    std::vector<std::string> calls = expectedCalls(Path::pbuffer, 3, 0, "");
    calls.insert(calls.begin() + 1, "eglInitialize failed 0x3001");  // EGL_NOT_INITIALIZED
    EXPECT_EQ(r.calls, calls);
}

TEST_F(FilterTest, WithoutXServerWindowPathIsSilent) {
    const FilterRun r = runFilter({"6"}, {0, 0}, Setting::noXServer);
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_EQ(r.outcome.out, "");
    EXPECT_EQ(r.outcome.err, "");
    std::vector<std::string> calls = expectedCalls(Path::window, 6, 0, "");
    calls.insert(calls.begin() + 1, "eglInitialize failed 0x3001");  // EGL_NOT_INITIALIZED
    calls.insert(calls.begin() + 4, "eglCreateWindowSurface failed");
    // Which error a surface on a display that never initialised gets is the
    // driver's business.
    std::vector<std::string> got = r.calls;
    if (got.size() > 4 && got[4].rfind("eglCreateWindowSurface failed 0x", 0) == 0) got[4] = calls[4];
    EXPECT_EQ(got, calls);
    EXPECT_FALSE(r.picture.has_value());
}

}  // namespace
