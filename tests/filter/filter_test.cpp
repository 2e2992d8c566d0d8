// End-to-end tests of the unmodified filter binary under a private Xvfb with
// Mesa's software renderer: the preloaded capture library reads back each
// frame and logs the calls, and the pictures are compared with frames
// computed independently from the texel tables.

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "expected.h"
#include "harness.h"
#include "image.h"

namespace {

// llvmpipe filters with 8-bit weights; any real fault (format, byte order,
// orientation, nearest filtering, size) moves some pixel by far more.
constexpr int kTolerance = 4;

struct Screen {
  int width;
  int height;
};

struct FilterRun {
  Outcome outcome;
  std::vector<std::string> calls;  // as logged by the capture library
  std::optional<Image> picture;    // the frame at glFinish or eglSwapBuffers

  bool called(const std::string& line) const {
    for (const std::string& c : calls)
      if (c == line) return true;
    return false;
  }
  bool calledStartingWith(const std::string& prefix) const {
    for (const std::string& c : calls)
      if (c.rfind(prefix, 0) == 0) return true;
    return false;
  }
};

enum class Setting {
  normal,
  breakPbuffer,  // have the real EGL refuse the pbuffer
  noXServer,     // no DISPLAY at all
};

class FilterTest : public testing::Test {
 protected:
  // argv0: the invocation name, empty for the binary's path.
  FilterRun runFilter(const std::vector<std::string>& args, Screen screen,
                      Setting setting = Setting::normal, const std::string& argv0 = "") {
    std::optional<Xvfb> x;
    Command cmd{FILTER_BIN, args, argv0, {}, {}};
    cmd.setEnv = captureEnv("", CAPTURE_LIB, LSAN_SUPPRESSIONS);
    if (setting == Setting::noXServer) {
      cmd.setEnv.erase("DISPLAY");
      cmd.unsetEnv.push_back("DISPLAY");
    } else {
      x.emplace(screen.width, screen.height);
      EXPECT_FALSE(x->display().empty()) << "Xvfb did not start";
      cmd.setEnv["DISPLAY"] = x->display();
    }
    const auto capture = tmp_.path() / "frame.pam";
    const auto log = tmp_.path() / "calls.log";
    cmd.setEnv["FILTER_CAPTURE"] = capture;
    cmd.setEnv["FILTER_CAPTURE_LOG"] = log;
    if (setting == Setting::breakPbuffer) cmd.setEnv["FILTER_BREAK_PBUFFER"] = "1";

    FilterRun r;
    r.outcome = run(cmd, tmp_.path());
    std::istringstream lines(readFile(log));
    for (std::string line; std::getline(lines, line);) r.calls.push_back(line);
    r.picture = readPam(capture);
    return r;
  }

  TempDir tmp_;
};

const char* const kFormatNames[] = {"", "luminance", "rgb565", "rgba4444",
                                    "luminanceAlpha", "rgba5551", "rgba8888"};
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
// likely faults would have drawn instead.
void expectPicture(const FilterRun& r, int test, int dim) {
  ASSERT_TRUE(r.picture.has_value()) << "no frame captured";
  const Image& got = *r.picture;
  auto frame = [&](Drawing d) { return expectedFrame(d, got.width, got.height, got.hasAlpha); };
  const Drawing right{test, dim};
  EXPECT_LE(maxDifference(got, frame(right)), kTolerance);

  EXPECT_GT(maxDifference(got, frame({test, dim, false, true})), kTolerance) << "nearest filtering";
  EXPECT_GT(maxDifference(got, frame({test, dim, true, false})), kTolerance) << "row 0 at the bottom";
  EXPECT_GT(maxDifference(got, frame({test, dim + 8, true, true})), kTolerance) << "larger square";
  EXPECT_GT(maxDifference(got, frame({test, dim - 8, true, true})), kTolerance) << "smaller square";
  // Other formats, where the surface can tell them apart (without alpha,
  // luminance, 4-4-4-4 and luminance-alpha of these tables look the same).
  for (int other = 0; other <= 6; ++other) {
    const Drawing wrong{other, dim};
    if (maxDifference(frame(right), frame(wrong)) > 2 * kTolerance) {
      EXPECT_GT(maxDifference(got, frame(wrong)), kTolerance) << "format of test " << other;
    }
  }
}

class FilterFormats : public FilterTest, public testing::WithParamInterface<int> {};

TEST_P(FilterFormats, PbufferFrameIsTheMagnifiedTexture) {
  const int test = GetParam();
  const FilterRun r = runFilter({std::to_string(test), "pbuffer"}, {64, 48});
  EXPECT_EQ(r.outcome.status, 0);
  EXPECT_EQ(r.outcome.out, "using pbuffer\n");
  EXPECT_EQ(r.outcome.err, "");
  const std::vector<std::string> calls = {
      "eglGetDisplay", "eglCreatePbufferSurface 320x480", texImageCall(test),
      "glDrawTexiOES 0 0 0 320 320", "glFinish", "capture glFinish: 320x480", "eglTerminate"};
  EXPECT_EQ(r.calls, calls);
  expectPicture(r, test, 320);
}

TEST_P(FilterFormats, WindowFrameIsTheMagnifiedTexture) {
  const int test = GetParam();
  // Wider than tall: the square is as high as the window.
  const FilterRun r = runFilter({std::to_string(test)}, {112, 80});
  EXPECT_EQ(r.outcome.status, 0);
  EXPECT_EQ(r.outcome.out, "");
  EXPECT_EQ(r.outcome.err, "");
  const std::vector<std::string> calls = {
      "eglGetDisplay", "eglCreateWindowSurface", texImageCall(test), "glDrawTexiOES 0 0 0 80 80",
      "eglSwapBuffers", "capture eglSwapBuffers: 112x80", "eglTerminate"};
  EXPECT_EQ(r.calls, calls);
  expectPicture(r, test, 80);
}

INSTANTIATE_TEST_SUITE_P(Test, FilterFormats, testing::Range(1, 7),
                         [](const testing::TestParamInfo<int>& p) {
                           return std::string(kFormatNames[p.param]);
                         });

// Test numbers without an image leave the texture incomplete, so the square
// takes the primary colour, white.
class FilterNoImage : public FilterTest, public testing::WithParamInterface<const char*> {};

TEST_P(FilterNoImage, PbufferDrawsAPlainSquare) {
  const FilterRun r = runFilter({GetParam(), "pbuffer"}, {64, 48});
  EXPECT_EQ(r.outcome.status, 0);
  EXPECT_EQ(r.outcome.out, "using pbuffer\n");
  EXPECT_FALSE(r.calledStartingWith("glTexImage2D"));
  EXPECT_TRUE(r.called("glDrawTexiOES 0 0 0 320 320"));
  ASSERT_TRUE(r.picture.has_value());
  EXPECT_LE(maxDifference(*r.picture, expectedFrame({0, 320}, 320, 480, r.picture->hasAlpha)),
            kTolerance);
}

TEST_P(FilterNoImage, WindowDrawsAPlainSquare) {
  const FilterRun r = runFilter({GetParam()}, {72, 96});
  EXPECT_EQ(r.outcome.status, 0);
  EXPECT_EQ(r.outcome.out, "");
  EXPECT_FALSE(r.calledStartingWith("glTexImage2D"));
  EXPECT_TRUE(r.called("eglSwapBuffers"));
  ASSERT_TRUE(r.picture.has_value());
  EXPECT_LE(maxDifference(*r.picture, expectedFrame({0, 72}, 72, 96, r.picture->hasAlpha)),
            kTolerance);
}

INSTANTIATE_TEST_SUITE_P(Test, FilterNoImage, testing::Values("0", "7", "-1", "abc"),
                         [](const testing::TestParamInfo<const char*>& p) {
                           const std::string arg = p.param;
                           return arg == "-1" ? std::string("minus1") : "arg_" + arg;
                         });

TEST_F(FilterTest, SquareWindowIsFilledEdgeToEdge) {
  const FilterRun r = runFilter({"6"}, {88, 88});
  EXPECT_TRUE(r.called("glDrawTexiOES 0 0 0 88 88"));
  expectPicture(r, 6, 88);
}

TEST_F(FilterTest, TallWindowSquareIsAsWideAsTheWindow) {
  const FilterRun r = runFilter({"2"}, {64, 100});
  EXPECT_TRUE(r.called("glDrawTexiOES 0 0 0 64 64"));
  expectPicture(r, 2, 64);
}

TEST_F(FilterTest, NumberPrefixSelectsTheFormat) {
  const FilterRun r = runFilter({"5x", "pbuffer"}, {64, 48});
  EXPECT_TRUE(r.called(texImageCall(5)));
  expectPicture(r, 5, 320);
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
    const FilterRun r = runFilter({"6", word}, {96, 64});
    EXPECT_EQ(r.outcome.status, 0);
    EXPECT_EQ(r.outcome.out, "");
    EXPECT_TRUE(r.called("eglCreateWindowSurface"));
    EXPECT_FALSE(r.calledStartingWith("eglCreatePbufferSurface"));
    EXPECT_FALSE(r.called("glFinish"));
    ASSERT_TRUE(r.picture.has_value());
    EXPECT_EQ(r.picture->width, 96);
    EXPECT_EQ(r.picture->height, 64);
  }
}

// The pbuffer is refused by the real EGL (the capture library hands it a
// negative width): the error is reported in lower-case hex and the run goes
// on with no surface and an empty square.
TEST_F(FilterTest, RefusedPbufferIsReportedAndTheRunGoesOn) {
  const FilterRun r = runFilter({"6", "pbuffer"}, {64, 48}, Setting::breakPbuffer);
  EXPECT_EQ(r.outcome.status, 0);
  EXPECT_EQ(r.outcome.out, "using pbuffer\neglCreatePbufferSurface error 300c\n");  // EGL_BAD_PARAMETER
  EXPECT_TRUE(r.called(texImageCall(6)));
  EXPECT_TRUE(r.called("glDrawTexiOES 0 0 0 0 0"));
  EXPECT_TRUE(r.called("glFinish"));
  EXPECT_TRUE(r.called("eglTerminate"));
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
  EXPECT_TRUE(r.called("eglTerminate"));
}

TEST_F(FilterTest, WithoutXServerWindowPathIsSilent) {
  const FilterRun r = runFilter({"6"}, {0, 0}, Setting::noXServer);
  EXPECT_EQ(r.outcome.status, 0);
  EXPECT_EQ(r.outcome.out, "");
  EXPECT_TRUE(r.called("eglCreateWindowSurface"));
  EXPECT_TRUE(r.called("eglSwapBuffers"));
  EXPECT_TRUE(r.called("eglTerminate"));
  EXPECT_FALSE(r.picture.has_value());
}

}  // namespace
