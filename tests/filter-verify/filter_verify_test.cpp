// filter-verify end to end: the real tool runs the real filter on Mesa's
// rasterizers, in a window on a private Xvfb of the depth the config needs
// or in a pbuffer with no X server at all, on drivers with a known fault (a
// preloaded stand-in), and with bad input.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace fs = std::filesystem;

namespace {

const char* const kNames[] = {"", "luminance", "rgb565", "rgba4444", "luminance-alpha", "rgba5551", "rgba8888"};
const char* const kTypes[] = {"",
                              "GL_UNSIGNED_BYTE",
                              "GL_UNSIGNED_SHORT_5_6_5",
                              "GL_UNSIGNED_SHORT_4_4_4_4",
                              "GL_UNSIGNED_BYTE",
                              "GL_UNSIGNED_SHORT_5_5_5_1",
                              "GL_UNSIGNED_BYTE"};

struct Row {
    int test = 0;
    std::string line, format, type, surface, config, max, mean, over, result, note;
};

// The table's rows: "TEST FORMAT TYPE SURFACE CONFIG MAX MEAN OVER RESULT [NOTE]".
std::vector<Row> rows(const std::string& out) {
    std::vector<Row> found;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        Row r;
        if (!(words >> r.test) || r.test < 1 || r.test > 6) continue;
        r.line = line;
        words >> r.format >> r.type >> r.surface >> r.config >> r.max >> r.mean >> r.over >> r.result >> std::ws;
        std::getline(words, r.note);
        found.push_back(r);
    }
    return found;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
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

constexpr int kWindowWidth = 112;
constexpr int kWindowHeight = 80;

struct Setting {
    std::string rasterizer = "llvmpipe";
    int screenDepth = 0;                          // of the Xvfb for a window; 0: no X server, DISPLAY unset
    std::map<std::string, std::string> env = {};  // extra, or unset where empty
    std::string program = VERIFY_BIN;
};

class FilterVerify : public testing::Test {
protected:
    void SetUp() override {
        if (testsupport::emulated())
            GTEST_SKIP() << "filter-verify starts filter itself, and qemu-user cannot start a program of the "
                            "emulated machine from another without binfmt_misc";
    }

    Outcome verify(const std::vector<std::string>& args, const Setting& s = {}) {
        std::optional<Xvfb> x;
        if (s.screenDepth > 0) {
            x.emplace(kWindowWidth, kWindowHeight, s.screenDepth);
            EXPECT_FALSE(x->display().empty()) << "Xvfb did not start";
        }
        Command cmd{s.program, args, "", {}, {}};
        // The sanitizer settings of a capture run, for filter and Mesa; the
        // preload is filter-verify's to set.
        cmd.setEnv = softwareEnv(x ? x->display() : "", LSAN_SUPPRESSIONS);
        cmd.unsetEnv.insert(cmd.unsetEnv.end(), {"LD_PRELOAD", "EGL_PLATFORM"});
        if (!x) {
            cmd.setEnv.erase("DISPLAY");
            cmd.unsetEnv.push_back("DISPLAY");
        }
        cmd.setEnv.merge(rasterizerEnv(s.rasterizer, tmp_.path()));
        for (const auto& [name, value] : s.env) {
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

// One run of filter-verify: a rasterizer, a config, a surface and a
// planted fault, and what each test's line must say.
struct Cell {
    std::string rasterizer;
    std::string config;  // --config; empty: the config EGL returns first
    bool pbuffer;
    std::string fault;  // FAULTY_DRIVER; empty: a sound driver
    std::vector<int> tests;
    std::vector<int> failing;  // the tests that fail, each with `note`
    std::string note;
};

void PrintTo(const Cell& c, std::ostream* os) {
    *os << c.rasterizer << " " << (c.config.empty() ? "first" : c.config) << " " << (c.pbuffer ? "pbuffer" : "window")
        << " " << (c.fault.empty() ? "sound" : c.fault);
}

const std::vector<int> kAll = {1, 2, 3, 4, 5, 6};

// 565 windows need a screen of depth 16; a pbuffer needs no X server.
const Cell kCells[] = {
    {"llvmpipe", "565", false, "", kAll, {}, ""},
    {"llvmpipe", "565", true, "", kAll, {}, ""},
    {"softpipe", "565", false, "", kAll, {}, ""},
    {"softpipe", "565", true, "", kAll, {}, ""},
    {"llvmpipe", "888", false, "", kAll, {}, ""},
    {"llvmpipe", "888", true, "", kAll, {}, ""},
    {"softpipe", "888", false, "", kAll, {}, ""},
    {"softpipe", "888", true, "", kAll, {}, ""},
    {"zink", "", false, "", kAll, {}, ""},
    {"zink", "", true, "", kAll, {}, ""},
    {"llvmpipe", "565", true, "nearest", kAll, kAll, "looks like nearest filtering"},
    {"softpipe", "565", false, "no-flip", {2, 5, 6}, {2, 5, 6}, "looks like a lost crop flip"},
    {"llvmpipe", "565", false, "short", {2, 6}, {2, 6}, "looks like another square size (79)"},
    // Without alpha the 4-4-4-4 picture is the luminance one.
    {"softpipe", "565", true, "4444-for-565", {2, 6}, {2}, "looks like another format (GL_LUMINANCE GL_UNSIGNED_BYTE)"},
};

class FilterVerifyCells : public FilterVerify, public testing::WithParamInterface<Cell> {};

// Every line passes or fails as the cell says, names the surface's config,
// and has its picture; the JUnit report agrees with the table.
TEST_P(FilterVerifyCells, VerdictsAreRight) {
    const Cell& c = GetParam();
    const fs::path pictures = tmp_.path() / "pictures";
    const fs::path junit = tmp_.path() / "junit.xml";
    std::vector<std::string> args{"--png", pictures.string(), "--junit", junit.string()};
    if (c.pbuffer) args.push_back("--pbuffer");
    if (!c.config.empty()) args.insert(args.end(), {"--config", c.config});
    for (int test : c.tests) args.push_back(std::to_string(test));
    Setting s{c.rasterizer, c.pbuffer ? 0 : (c.config == "565" ? 16 : 24), {}};
    if (!c.fault.empty()) s.env = {{"LD_PRELOAD", FAULTY_LIB}, {"FAULTY_DRIVER", c.fault}};

    const Outcome o = verify(args, s);
    EXPECT_EQ(o.status, c.failing.empty() ? 0 : 1) << o.out << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_NE(o.out.find(c.pbuffer ? " pbuffer surface (surfaceless), " : " window surface, "), std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("\nrenderer " + c.rasterizer), std::string::npos) << o.out;
    const std::vector<Row> table = rows(o.out);
    ASSERT_EQ(table.size(), c.tests.size()) << o.out;
    const std::string xml = readFile(junit);
    EXPECT_EQ(count(xml, "<testcase "), c.tests.size()) << xml;
    EXPECT_EQ(count(xml, "<failure "), c.failing.size()) << xml;
    for (size_t i = 0; i < table.size(); ++i) {
        const Row& r = table[i];
        const int test = c.tests[i];
        const bool fails = std::find(c.failing.begin(), c.failing.end(), test) != c.failing.end();
        SCOPED_TRACE(r.line);
        EXPECT_EQ(r.test, test);
        EXPECT_EQ(r.type, kTypes[test]);
        EXPECT_EQ(r.surface,
                  c.pbuffer ? "320x480" : std::to_string(kWindowWidth) + "x" + std::to_string(kWindowHeight));
        if (!c.config.empty()) {
            EXPECT_EQ(r.config, c.config);
        }
        EXPECT_EQ(r.result, fails ? "FAIL" : "PASS");
        EXPECT_EQ(r.over == "0", !fails);
        EXPECT_EQ(r.note, fails ? c.note : "");
        EXPECT_NE(xml.find("name=\"test " + std::to_string(test) + " " + kNames[test] + "\""), std::string::npos);
        if (fails) {
            EXPECT_NE(xml.find("<failure message=\"" + r.line + "\""), std::string::npos) << xml;
        }
        const auto size = pngSize(pictures / ("test-" + std::to_string(test) + "-" + kNames[test] + "-" +
                                              (c.pbuffer ? "pbuffer" : "window") + ".png"));
        ASSERT_TRUE(size.has_value());
        EXPECT_GT(size->first, 3 * (c.pbuffer ? 320 : kWindowWidth));  // three panels side by side
    }
}

INSTANTIATE_TEST_SUITE_P(Table, FilterVerifyCells, testing::ValuesIn(kCells), [](const auto& p) {
    const Cell& c = p.param;
    std::string name = c.rasterizer + "_" + (c.config.empty() ? "first" : c.config) + "_" +
                       (c.pbuffer ? "pbuffer" : "window") + "_" + (c.fault.empty() ? "sound" : c.fault);
    for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
});

// One object per test with the figures; softpipe stores a 5-6-5 frame
// exactly as the reference does, so every difference is 0.
TEST_F(FilterVerify, JsonGivesTheFigures) {
    const Outcome o = verify({"--json", "--pbuffer", "--config", "565", "2", "6"},
                             {"softpipe", 0, {{"LD_PRELOAD", FAULTY_LIB}, {"FAULTY_DRIVER", "4444-for-565"}}});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "");
    std::vector<std::string> lines;
    std::istringstream in(o.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u) << o.out;
    const std::string common =
        ",\"surface\":\"pbuffer\",\"width\":320,\"height\":480,\"config\":\"565\","
        "\"bits\":{\"red\":5,\"green\":6,\"blue\":5,\"alpha\":0},\"tolerance\":{\"red\":9,\"green\":5,\"blue\":9,"
        "\"alpha\":0},\"max\":";
    EXPECT_EQ(lines[0].rfind("{\"test\":2,\"format\":\"GL_RGB\",\"type\":\"GL_UNSIGNED_SHORT_5_6_5\",\"name\":"
                             "\"rgb565\"" +
                                 common,
                             0),
              0u)
        << lines[0];
    EXPECT_NE(lines[0].find(",\"result\":\"FAIL\",\"note\":\"looks like another format (GL_LUMINANCE "
                            "GL_UNSIGNED_BYTE)\",\"errors\":[],\"renderer\":\"softpipe\",\"seconds\":"),
              std::string::npos)
        << lines[0];
    EXPECT_EQ(lines[1].rfind(
                  "{\"test\":6,\"format\":\"GL_RGBA\",\"type\":\"GL_UNSIGNED_BYTE\",\"name\":\"rgba8888\"" + common +
                      "{\"red\":0,\"green\":0,\"blue\":0,\"alpha\":0},\"mean\":0.000,\"over\":0,"
                      "\"result\":\"PASS\",\"note\":\"\",\"errors\":[],\"renderer\":\"softpipe\",\"seconds\":",
                  0),
              0u)
        << lines[1];
}

// Rows that fail on their own, each with what its line says.
TEST_F(FilterVerify, RowsFailOnTheirOwn) {
    const struct {
        std::vector<std::string> args;
        Setting setting;
        std::string head;                  // how the output starts
        std::vector<std::string> results;  // each row's
        std::string max, config, note;     // the failing rows'
    } cases[] = {
        // --tolerance overrides the surface's: 0 fails llvmpipe's 8-bit
        // filtering without blaming a fault.
        {{"--pbuffer", "--config", "888", "--tolerance", "0", "6"},
         {},
         std::string("filter ") + FILTER_BIN + ", pbuffer surface (surfaceless), tolerance 0\n",
         {"FAIL"},
         "1",
         "888",
         ""},
        // A filter that dies on one format fails that row, and the others go on.
        {{"--pbuffer", "2", "3", "6"},
         {"llvmpipe", 0, {{"LD_PRELOAD", FAULTY_LIB}, {"FAULTY_DRIVER", "crash-4444"}}},
         "",
         {"PASS", "FAIL", "PASS"},
         "-",
         "-",
         "filter was killed by signal 6 (Aborted)"},
    };
    for (const auto& c : cases) {
        const Outcome o = verify(c.args, c.setting);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out.rfind(c.head, 0), 0u) << o.out;
        const std::vector<Row> table = rows(o.out);
        ASSERT_EQ(table.size(), c.results.size()) << o.out;
        for (size_t i = 0; i < table.size(); ++i) {
            SCOPED_TRACE(table[i].line);
            EXPECT_EQ(table[i].result, c.results[i]);
            if (c.results[i] == "FAIL") {
                EXPECT_EQ(table[i].max, c.max);
                EXPECT_NE(table[i].over, "0");
                EXPECT_EQ(table[i].config, c.config);
                EXPECT_EQ(table[i].note, c.note);
            }
        }
    }
}

// Refusals: one line on standard error and no verdict. Bad input stops
// the tool before any run with status 2; a fault of the set-up, found in
// the first run, with status 1, and a JUnit report says so rather than keep
// an older run's cases.
TEST_F(FilterVerify, RefusalsAreNamedOnce) {
    const fs::path plain = tmp_.path() / "plain";
    std::ofstream(plain) << "not a program\n";
    // Executable, but with no interpreter named: the exec itself fails.
    const fs::path script = tmp_.path() / "script";
    std::ofstream(script) << "echo drawn\n";
    fs::permissions(script, fs::perms::owner_all);
    const struct {
        std::vector<std::string> args;
        Setting setting;
        int status;
        std::string message;
    } cases[] = {
        {{"0"}, {}, 2, "no test \"0\": the tests are 1 to 6"},
        {{"1", "7"}, {}, 2, "no test \"7\": the tests are 1 to 6"},
        {{"3x"}, {}, 2, "no test \"3x\": the tests are 1 to 6"},
        {{"--tolerance", "256"}, {}, 2, "--tolerance wants a whole number from 0 to 255, not \"256\""},
        {{"--tolerance", "-1"}, {}, 2, "--tolerance wants a whole number from 0 to 255, not \"-1\""},
        {{"--config", "556"}, {}, 2, "--config wants 565, 888, 8888, 4444 or 5551, not \"556\""},
        {{"--config", ""}, {}, 2, "--config wants 565, 888, 8888, 4444 or 5551, not \"\""},
        {{"--filter", (tmp_.path() / "missing").string()},
         {},
         2,
         "cannot run " + (tmp_.path() / "missing").string() + ": No such file or directory"},
        {{"--filter", plain.string()}, {}, 2, "cannot run " + plain.string() + ": not an executable file"},
        {{"--filter", tmp_.path().string()}, {}, 2, "cannot run " + tmp_.path().string() + ": not an executable file"},
        {{"--png", plain.string()}, {}, 2, "cannot write pictures to " + plain.string() + ": not a folder"},
        {{"--png", (plain / "sub").string()},
         {},
         2,
         "cannot create the folder " + (plain / "sub").string() + ": Not a directory"},
        {{"--png", ""}, {}, 2, "--png wants a folder"},
        {{"--junit", ""}, {}, 2, "--junit wants a file"},
        {{"--junit", tmp_.path().string()}, {}, 2, "cannot write " + tmp_.path().string() + ": Is a directory"},
        {{"--pbuffer", "--config", "4444"}, {}, 1, "the driver has no 4444 config for a pbuffer"},
        {{"--config", "565"},
         {"llvmpipe", 24},
         1,
         "the driver has no 565 config for a window (on X, window configs follow the screen's depth)"},
        {{"--pbuffer"},
         {"llvmpipe", 0, {{"LD_PRELOAD", FAULTY_LIB}, {"FAULTY_DRIVER", "no-draw-texture"}}},
         1,
         "the driver has no GL_OES_draw_texture, so filter draws nothing"},
        {{"--pbuffer"},
         {"llvmpipe", 0, {{"FILTER_BREAK_PBUFFER", "1"}}},
         1,
         "the driver refused the 320x480 pbuffer (EGL_BAD_PARAMETER, 0x300c)"},
        {{"--filter", script.string()}, {}, 1, "cannot run " + script.string() + ": Exec format error"},
        {{},
         {},
         1,
         "EGL did not initialise (EGL_NOT_INITIALIZED, 0x3001): DISPLAY is not set; is an X server running?"},
    };
    const fs::path junit = tmp_.path() / "junit.xml";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const bool inSetup = c.status == 1;
        std::vector<std::string> args = c.args;
        if (inSetup) {
            std::ofstream(junit) << "stale";
            args.insert(args.end(), {"--junit", junit.string()});
        }
        expectRefusal(verify(args, c.setting), c.status, c.message);
        if (inSetup) {
            const std::string xml = readFile(junit);
            EXPECT_EQ(count(xml, "<testcase "), 1u) << xml;
            EXPECT_NE(xml.find("<error message=\"" + c.message + "\"/>"), std::string::npos) << xml;
        }
    }
}

// Installed, filter-verify finds the capture library under the library
// folder from its own path; copied away from it, it says so.
TEST_F(FilterVerify, FindsTheCaptureLibraryOnceInstalled) {
    const fs::path prefix = tmp_.path() / "prefix";
    const Outcome install =
        run({CMAKE_BIN, {"--install", BUILD_DIR, "--prefix", prefix.string(), "--component", "platform"}, "", {}, {}},
            tmp_.path());
    ASSERT_EQ(install.status, 0) << install.out << install.err;
    const Outcome o =
        verify({"--filter", FILTER_BIN, "--pbuffer", "6"}, {"llvmpipe", 0, {}, (prefix / INSTALLED_VERIFY).string()});
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    ASSERT_EQ(rows(o.out).size(), 1u) << o.out;
    EXPECT_EQ(rows(o.out)[0].result, "PASS");

    const fs::path alone = tmp_.path() / "alone";
    fs::create_directory(alone);
    fs::copy_file(VERIFY_BIN, alone / "filter-verify");
    expectRefusal(verify({"--filter", FILTER_BIN}, {"llvmpipe", 0, {}, (alone / "filter-verify").string()}), 2,
                  "cannot find the capture library libfilter_capture.so beside " + alone.string());
}

}  // namespace
