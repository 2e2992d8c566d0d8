// filter-verify end to end: the real tool runs the real filter on each of
// Mesa's rasterizers under a private Xvfb, on a driver with a known fault
// (a preloaded stand-in), and with bad input.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

const char* const kTypes[] = {"", "GL_UNSIGNED_BYTE", "GL_UNSIGNED_SHORT_5_6_5", "GL_UNSIGNED_SHORT_4_4_4_4",
                              "GL_UNSIGNED_BYTE", "GL_UNSIGNED_SHORT_5_5_5_1", "GL_UNSIGNED_BYTE"};

struct Row {
  int test = 0;
  std::string format, type, surface, max, mean, over, result, note;
};

// The table's rows: "TEST FORMAT TYPE SURFACE MAX MEAN OVER RESULT [NOTE]".
std::vector<Row> rows(const std::string& out) {
  std::vector<Row> found;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    Row r;
    if (!(words >> r.test) || r.test < 1 || r.test > 6) continue;
    words >> r.format >> r.type >> r.surface >> r.max >> r.mean >> r.over >> r.result >> std::ws;
    std::getline(words, r.note);
    found.push_back(r);
  }
  return found;
}

// Width and height from a PNG's header, or none when it is not one.
std::optional<std::pair<int, int>> pngSize(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char head[24] = {};
  if (!in.read(reinterpret_cast<char*>(head), sizeof head)) return std::nullopt;
  if (std::string(reinterpret_cast<char*>(head) + 1, 3) != "PNG" ||
      std::string(reinterpret_cast<char*>(head) + 12, 4) != "IHDR")
    return std::nullopt;
  auto be = [&](int at) { return head[at] << 24 | head[at + 1] << 16 | head[at + 2] << 8 | head[at + 3]; };
  return std::make_pair(be(16), be(20));
}

class FilterVerify : public testing::Test {
 protected:
  void SetUp() override {
    if (testsupport::emulated())
      GTEST_SKIP() << "filter-verify starts filter itself, and qemu-user cannot start a program of the "
                      "emulated machine from another without binfmt_misc";
  }

  // Runs filter-verify with args against a fresh Xvfb of 112 x 80 on the
  // rasterizer, with extra environment set (or unset where empty).
  Outcome verify(const std::vector<std::string>& args, const std::string& rasterizer = "llvmpipe",
                 std::map<std::string, std::string> extra = {}, const std::string& program = VERIFY_BIN) {
    Xvfb x(112, 80);
    EXPECT_FALSE(x.display().empty()) << "Xvfb did not start";
    Command cmd{program, args, "", {}, {}};
    // The sanitizer settings of a capture run, for filter and Mesa; the
    // preload is filter-verify's to set.
    cmd.setEnv = captureEnv(x.display(), "", LSAN_SUPPRESSIONS);
    cmd.setEnv.erase("LD_PRELOAD");
    cmd.unsetEnv.push_back("LD_PRELOAD");
    cmd.setEnv.merge(rasterizerEnv(rasterizer, tmp_.path()));
    for (const auto& [name, value] : extra) {
      cmd.setEnv.erase(name);
      if (value.empty()) {
        cmd.unsetEnv.push_back(name);
      } else {
        cmd.setEnv[name] = value;
      }
    }
    return run(cmd, tmp_.path());
  }

  // A failure before any test could be judged: one line on standard error.
  void expectRefusal(const Outcome& o, int status, const std::string& message) {
    EXPECT_EQ(o.status, status);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "filter-verify: " + message + "\n");
  }

  TempDir tmp_;
};

class FilterVerifyRasterizers
    : public FilterVerify,
      public testing::WithParamInterface<std::tuple<std::string, bool>> {};

// Every format passes on every rasterizer, and each gets its picture.
TEST_P(FilterVerifyRasterizers, AllSixFormatsPass) {
  const auto& [rasterizer, pbuffer] = GetParam();
  const fs::path pictures = tmp_.path() / "pictures";
  std::vector<std::string> args{"--png", pictures.string()};
  if (pbuffer) args.insert(args.begin(), "--pbuffer");
  const Outcome o = verify(args, rasterizer);
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  EXPECT_EQ(o.err, "");
  EXPECT_NE(o.out.find("\nrenderer " + rasterizer), std::string::npos) << o.out;

  const std::vector<Row> table = rows(o.out);
  ASSERT_EQ(table.size(), 6u) << o.out;
  const char* const names[] = {"", "luminance", "rgb565", "rgba4444", "luminance-alpha", "rgba5551", "rgba8888"};
  for (int test = 1; test <= 6; ++test) {
    const Row& r = table[static_cast<size_t>(test - 1)];
    SCOPED_TRACE("test " + std::to_string(test));
    EXPECT_EQ(r.test, test);
    EXPECT_EQ(r.type, kTypes[test]);
    EXPECT_EQ(r.surface, pbuffer ? "320x480" : "112x80");
    EXPECT_EQ(r.over, "0");
    EXPECT_EQ(r.result, "PASS");
    EXPECT_EQ(r.note, "");
    const auto size = pngSize(pictures / ("test-" + std::to_string(test) + "-" + names[test] + "-" +
                                          (pbuffer ? "pbuffer" : "window") + ".png"));
    ASSERT_TRUE(size.has_value());
    EXPECT_GT(size->first, 3 * (pbuffer ? 320 : 112));  // three panels side by side
    EXPECT_GT(size->second, pbuffer ? 480 : 80);
  }
}

INSTANTIATE_TEST_SUITE_P(Driver, FilterVerifyRasterizers,
                         testing::Combine(testing::ValuesIn(kRasterizers), testing::Bool()),
                         [](const auto& p) {
                           return std::get<0>(p.param) + (std::get<1>(p.param) ? "_pbuffer" : "_window");
                         });

// A driver that draws wrong: every affected row fails and names the fault.
TEST_F(FilterVerify, WrongDrawingsAreNamed) {
  const struct {
    const char* fault;
    const char* note;
  } cases[] = {
      {"nearest", "looks like nearest filtering"},
      {"no-flip", "looks like a lost crop flip"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    const Outcome o = verify({}, "llvmpipe", {{"LD_PRELOAD", FAULTY_LIB}, {"FAULTY_DRIVER", c.fault}});
    EXPECT_EQ(o.status, 1);
    const std::vector<Row> table = rows(o.out);
    ASSERT_EQ(table.size(), 6u) << o.out << o.err;
    for (const Row& r : table) {
      EXPECT_EQ(r.result, "FAIL") << r.test;
      EXPECT_NE(r.over, "0") << r.test;
      EXPECT_EQ(r.note, c.note) << r.test;
    }
  }
}

// Too tight a tolerance fails the right drawing without blaming a fault.
TEST_F(FilterVerify, ToleranceIsApplied) {
  const Outcome o = verify({"--tolerance", "0", "6"});
  EXPECT_EQ(o.status, 1);
  const std::vector<Row> table = rows(o.out);
  ASSERT_EQ(table.size(), 1u) << o.out;
  EXPECT_EQ(table[0].max, "1");  // llvmpipe's 8-bit filter weights
  EXPECT_NE(table[0].over, "0");
  EXPECT_EQ(table[0].result, "FAIL");
  EXPECT_EQ(table[0].note, "");
}

// A filter that dies on one format fails that row, and the others go on.
TEST_F(FilterVerify, CrashFailsItsRowOnly) {
  const Outcome o = verify({"2", "3", "6"}, "llvmpipe", {{"LD_PRELOAD", FAULTY_LIB}, {"FAULTY_DRIVER", "crash-4444"}});
  EXPECT_EQ(o.status, 1);
  const std::vector<Row> table = rows(o.out);
  ASSERT_EQ(table.size(), 3u) << o.out;
  EXPECT_EQ(table[0].result, "PASS");
  EXPECT_EQ(table[1].result, "FAIL");
  EXPECT_EQ(table[1].note, "filter was killed by signal 6 (Aborted)");
  EXPECT_EQ(table[2].result, "PASS");
}

TEST_F(FilterVerify, DriverWithoutDrawTextureIsNamed) {
  expectRefusal(verify({}, "llvmpipe", {{"LD_PRELOAD", FAULTY_LIB}, {"FAULTY_DRIVER", "no-draw-texture"}}), 1,
                "the driver has no GL_OES_draw_texture, so filter draws nothing");
}

TEST_F(FilterVerify, RefusedPbufferIsNamed) {
  expectRefusal(verify({"--pbuffer"}, "llvmpipe", {{"FILTER_BREAK_PBUFFER", "1"}}), 1,
                "the driver refused the 320x480 pbuffer (EGL_BAD_PARAMETER, 0x300c)");
}

TEST_F(FilterVerify, NoXServerIsNamed) {
  for (const char* surface : {"", "--pbuffer"}) {
    SCOPED_TRACE(surface);
    std::vector<std::string> args;
    if (*surface) args.push_back(surface);
    expectRefusal(verify(args, "llvmpipe", {{"DISPLAY", ""}}), 1,
                  "EGL did not initialise (EGL_NOT_INITIALIZED, 0x3001): DISPLAY is not set; is an X server running?");
  }
}

TEST_F(FilterVerify, BadInputIsRefusedBeforeAnyRun) {
  const fs::path plain = tmp_.path() / "plain";
  std::ofstream(plain) << "not a program\n";
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"0"}, "no test \"0\": the tests are 1 to 6"},
      {{"1", "7"}, "no test \"7\": the tests are 1 to 6"},
      {{"3x"}, "no test \"3x\": the tests are 1 to 6"},
      {{"--tolerance", "256"}, "--tolerance wants a whole number from 0 to 255, not \"256\""},
      {{"--tolerance", "-1"}, "--tolerance wants a whole number from 0 to 255, not \"-1\""},
      {{"--filter", (tmp_.path() / "missing").string()},
       "cannot run " + (tmp_.path() / "missing").string() + ": No such file or directory"},
      {{"--filter", plain.string()}, "cannot run " + plain.string() + ": not an executable file"},
      {{"--filter", tmp_.path().string()}, "cannot run " + tmp_.path().string() + ": not an executable file"},
      {{"--png", plain.string()}, "cannot write pictures to " + plain.string() + ": not a folder"},
      {{"--png", (plain / "sub").string()},
       "cannot create the folder " + (plain / "sub").string() + ": Not a directory"},
      {{"--png", ""}, "--png wants a folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    expectRefusal(verify(c.args), 2, c.message);
  }
}

// Installed, filter-verify finds the capture library under the library
// folder from its own path; copied away from it, it says so.
TEST_F(FilterVerify, FindsTheCaptureLibraryOnceInstalled) {
  const fs::path prefix = tmp_.path() / "prefix";
  const Outcome install = run({CMAKE_BIN, {"--install", BUILD_DIR, "--prefix", prefix.string(), "--component", "platform"}, "", {}, {}},
                              tmp_.path());
  ASSERT_EQ(install.status, 0) << install.out << install.err;
  const Outcome o = verify({"--filter", FILTER_BIN, "--pbuffer", "6"}, "llvmpipe", {}, (prefix / INSTALLED_VERIFY).string());
  EXPECT_EQ(o.status, 0) << o.out << o.err;
  ASSERT_EQ(rows(o.out).size(), 1u) << o.out;
  EXPECT_EQ(rows(o.out)[0].result, "PASS");

  const fs::path alone = tmp_.path() / "alone";
  fs::create_directory(alone);
  fs::copy_file(VERIFY_BIN, alone / "filter-verify");
  expectRefusal(verify({"--filter", FILTER_BIN}, "llvmpipe", {}, (alone / "filter-verify").string()), 2,
                "cannot find the capture library libfilter_capture.so beside " + alone.string());
}

}  // namespace
