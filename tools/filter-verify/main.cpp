// filter-verify: runs the unmodified filter for each test with the capture
// library preloaded, against whatever EGL/GLES driver the environment
// selects, and compares each frame with the one computed from the texel
// tables.

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

#include "capture_environment.h"
#include "expected.h"
#include "image.h"
#include "picture.h"
#include "report.h"
#include "velmora/process.h"
#include "velmora/temp_dir.h"

namespace fs = std::filesystem;

namespace {

// A driver that hangs must not hang the verdict with it.
constexpr auto kRunLimit = std::chrono::seconds(120);

// The surface formats --config takes: red, green, blue and alpha bits.
const char* const kConfigs[] = {"565", "888", "8888", "4444", "5551"};

struct Options {
    bool pbuffer = false;
    std::optional<int> tolerance;  // none: from the surface's depth
    std::string config;            // none: the config EGL returns first
    std::string pngDir;
    std::string junit;
    bool json = false;
    std::string filter;
    std::vector<int> tests;
};

void usage(FILE* to) {
    fputs(
        "usage: filter-verify [--pbuffer] [--config FORMAT] [--tolerance N] [--png DIR] [--junit FILE]\n"
        "                     [--json] [--filter PATH] [TEST ...]\n"
        "  FORMAT: 565, 888, 8888, 4444 or 5551; TEST: 1 to 6 (default: all)\n",
        to);
}

__attribute__((format(printf, 1, 2))) void complain(const char* fmt, ...) {
    fputs("filter-verify: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

// A whole decimal number within [low, high].
std::optional<int> number(const char* text, int low, int high) {
    errno = 0;
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return std::nullopt;
    return static_cast<int>(v);
}

std::optional<Options> parse(int argc, char** argv, int& status) {
    static const option longOptions[] = {
        {"pbuffer", no_argument, nullptr, 'p'},
        {"tolerance", required_argument, nullptr, 't'},
        {"config", required_argument, nullptr, 'c'},
        {"png", required_argument, nullptr, 'o'},
        {"junit", required_argument, nullptr, 'j'},
        {"json", no_argument, nullptr, 'J'},
        {"filter", required_argument, nullptr, 'f'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    status = 2;
    for (int c; (c = getopt_long(argc, argv, "+h", longOptions, nullptr)) != -1;) {
        switch (c) {
        case 'p':
            o.pbuffer = true;
            break;
        case 't': {
            const auto t = number(optarg, 0, 255);
            if (!t) {
                complain("--tolerance wants a whole number from 0 to 255, not \"%s\"", optarg);
                return std::nullopt;
            }
            o.tolerance = *t;
            break;
        }
        case 'c':
            if (std::find_if(std::begin(kConfigs), std::end(kConfigs),
                             [](const char* c) { return strcmp(c, optarg) == 0; }) == std::end(kConfigs)) {
                complain("--config wants 565, 888, 8888, 4444 or 5551, not \"%s\"", optarg);
                return std::nullopt;
            }
            o.config = optarg;
            break;
        case 'J':
            o.json = true;
            break;
        case 'j':
        case 'o':
            if (!*optarg) {
                complain("%s", c == 'j' ? "--junit wants a file" : "--png wants a folder");
                return std::nullopt;
            }
            (c == 'j' ? o.junit : o.pngDir) = optarg;
            break;
        case 'f':
            o.filter = optarg;
            break;
        case 'h':
            usage(stdout);
            status = 0;
            return std::nullopt;
        default:
            usage(stderr);
            return std::nullopt;
        }
    }
    for (int i = optind; i < argc; ++i) {
        const auto t = number(argv[i], 1, 6);
        if (!t) {
            complain("no test \"%s\": the tests are 1 to 6", argv[i]);
            return std::nullopt;
        }
        o.tests.push_back(*t);
    }
    if (o.tests.empty()) o.tests = {1, 2, 3, 4, 5, 6};
    return o;
}

fs::path ownDirectory() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path(".") : self.parent_path();
}

// Installed, the library lies under the library folder; in the build tree
// in lib/ beside bin/.
std::optional<std::string> captureLibrary() {
    const fs::path dir = ownDirectory();
    for (const char* relative : {VELMORA_CAPTURE_INSTALLED, VELMORA_CAPTURE_BUILT}) {
        const fs::path candidate = (dir / relative).lexically_normal();
        if (access(candidate.c_str(), R_OK) == 0) return candidate.string();
    }
    return std::nullopt;
}

// A failure that ends the run: its words, reported once, and the status.
struct Fault {
    std::string message;
    int status = 1;
    bool inSetup = false;  // of filter's runs, so that no test could be judged
};

std::optional<Fault> checkFilter(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return Fault{"cannot run " + path + ": " + strerror(errno), 2};
    if (!S_ISREG(st.st_mode) || access(path.c_str(), X_OK) != 0)
        return Fault{"cannot run " + path + ": not an executable file", 2};
    return std::nullopt;
}

std::optional<Fault> preparePngDir(const std::string& dir) {
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
        return Fault{"cannot create the folder " + dir + ": " + strerror(errno), 2};
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Fault{"cannot write pictures to " + dir + ": not a folder", 2};
    if (access(dir.c_str(), W_OK | X_OK) != 0)
        return Fault{"cannot write pictures to " + dir + ": " + strerror(errno), 2};
    return std::nullopt;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// One run of filter: how it ended, what it wrote and what it drew.
struct Run {
    bool timedOut = false;
    int status = -1;  // exit status, when it exited
    int signal = 0;   // the signal that ended it, if one did
    std::string out;
    std::string err;
    std::vector<std::string> log;  // the capture library's lines
    std::optional<Image> frame;
};

bool isSet(const char* name) {
    const char* v = getenv(name);
    return v && *v;
}

// A pbuffer needs no window system: without an X server to name, filter
// runs on Mesa's surfaceless platform, unless a platform was chosen.
bool surfaceless(const Options& o) { return o.pbuffer && !isSet("DISPLAY") && !isSet("EGL_PLATFORM"); }

// The environment filter runs in: ours, with the capture library preloaded
// ahead of whatever else is, and the config and platform chosen.
std::vector<std::string> filterEnvironment(const Options& o, const std::string& capture, const fs::path& dir) {
    const char* preloaded = getenv("LD_PRELOAD");
    const CaptureVariables variables = captureVariables(
        {capture, preloaded ? preloaded : "", dir / "frame.pam", dir / "calls.log", o.config, surfaceless(o)});
    std::vector<std::string> env = velmora::proc::environment([&](std::string_view name) {
        return isCaptureVariable(name) ||
               std::any_of(variables.begin(), variables.end(), [&](const auto& v) { return v.first == name; });
    });
    for (const auto& [name, value] : variables) env.push_back(name + "=" + value);
    return env;
}

// Filter drawing `test`, run to its end or the time limit with its output
// and captures in `dir`; one that cannot be started is a fault of the set-up.
std::variant<Run, Fault> runFilter(const std::string& filter, const Options& o, int test,
                                   const std::vector<std::string>& env, const fs::path& dir) {
    for (const char* name : {"frame.pam", "calls.log", "stdout", "stderr"}) {
        std::error_code ec;
        fs::remove(dir / name, ec);
    }
    velmora::proc::Command command({filter, std::to_string(test)});
    if (o.pbuffer) command.argv.push_back("pbuffer");
    // The path as given names a file, as for execve, not a program on PATH.
    command.program = filter.find('/') == std::string::npos ? "./" + filter : filter;
    command.env = env;
    command.out = velmora::proc::Stream::file((dir / "stdout").string());
    command.err = velmora::proc::Stream::file((dir / "stderr").string());
    Run r;
    try {
        velmora::proc::Process process(command);
        const velmora::proc::Exit exit = process.finish(kRunLimit);
        r.timedOut = process.killedAtDeadline();
        (exit.exited ? r.status : r.signal) = exit.code;
        r.out = process.out();
        r.err = process.err();
    } catch (const std::system_error& e) {
        return Fault{"cannot run " + filter + ": " + e.code().message(), 1, true};
    }
    r.log = splitLines(velmora::proc::readFile(dir / "calls.log"));
    r.frame = readPam(dir / "frame.pam");
    return r;
}

const char* eglErrorName(unsigned code) {
    static const char* const names[] = {
        "EGL_SUCCESS",       "EGL_NOT_INITIALIZED", "EGL_BAD_ACCESS",        "EGL_BAD_ALLOC",
        "EGL_BAD_ATTRIBUTE", "EGL_BAD_CONFIG",      "EGL_BAD_CONTEXT",       "EGL_BAD_CURRENT_SURFACE",
        "EGL_BAD_DISPLAY",   "EGL_BAD_MATCH",       "EGL_BAD_NATIVE_PIXMAP", "EGL_BAD_NATIVE_WINDOW",
        "EGL_BAD_PARAMETER", "EGL_BAD_SURFACE",     "EGL_CONTEXT_LOST",
    };
    return code >= 0x3000 && code <= 0x300E ? names[code - 0x3000] : "an unknown EGL error";
}

// The hexadecimal code after `prefix` in the first line that starts with it.
std::optional<unsigned> codeAfter(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const std::string& line : lines)
        if (line.rfind(prefix, 0) == 0)
            return static_cast<unsigned>(strtoul(line.c_str() + prefix.size(), nullptr, 16));
    return std::nullopt;
}

bool logged(const std::vector<std::string>& log, const std::string& prefix) {
    return std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

std::string displayNote(const Options& o) {
    if (surfaceless(o)) return "DISPLAY is not set, and EGL's surfaceless platform did not start either";
    const char* d = getenv("DISPLAY");
    return d && *d ? std::string("DISPLAY is ") + d + "; is that X server running?"
                   : std::string("DISPLAY is not set; is an X server running?");
}

// Why the run could not give a frame for any test, or empty when it could.
// These faults lie in the set-up, not in one format, so the other tests
// would only repeat them.
std::string setupFault(const Run& r, const std::string& filter, const Options& o) {
    if (r.signal == 0 && r.status == 127 && r.log.empty())
        return "cannot run " + filter + ": " + (r.err.empty() ? "exec failed" : splitLines(r.err).back());
    if (r.signal == 0 && !logged(r.log, "eglGetDisplay"))
        return "the capture library did not load into " + filter + " (a static or set-user-ID program cannot take it)";
    if (const auto code = codeAfter(r.log, "eglInitialize failed ")) {
        char text[160];
        snprintf(text, sizeof text, "EGL did not initialise (%s, 0x%x): ", eglErrorName(*code), *code);
        return text + displayNote(o);
    }
    if (!o.config.empty() && logged(r.log, "eglChooseConfig " + o.config + ": none")) {
        return o.pbuffer ? "the driver has no " + o.config + " config for a pbuffer"
                         : "the driver has no " + o.config +
                               " config for a window (on X, window configs follow the "
                               "screen's depth)";
    }
    if (o.pbuffer) {
        if (const auto code = codeAfter(splitLines(r.out), "eglCreatePbufferSurface error ")) {
            char text[160];
            snprintf(text, sizeof text, "the driver refused the 320x480 pbuffer (%s, 0x%x)", eglErrorName(*code),
                     *code);
            return text;
        }
    } else if (const auto code = codeAfter(r.log, "eglCreateWindowSurface failed ")) {
        char text[160];
        snprintf(text, sizeof text, "the driver refused the window surface (%s, 0x%x): ", eglErrorName(*code), *code);
        return text + displayNote(o);
    }
    if (logged(r.log, "GL_OES_draw_texture missing") || logged(r.log, "glDrawTexiOES missing"))
        return "the driver has no GL_OES_draw_texture, so filter draws nothing";
    return "";
}

std::string renderer(const Run& r) {
    for (const std::string& line : r.log)
        if (line.rfind("renderer ", 0) == 0) return line.substr(9);
    return "unknown";
}

// Each channel's difference, scaled so that a difference at the tolerance
// shows at half brightness and anything over it in full (at 8 bits and a
// tolerance of 2, one level is 64).
Image differencePicture(const Image& a, const Image& b, const Tolerance& t) {
    Image d = a;
    auto amp = [](int x, int y, int tolerance) {
        const int diff = std::abs(x - y);
        return static_cast<uint8_t>(tolerance > 0 ? std::min(255, 128 * diff / tolerance) : diff > 0 ? 255 : 0);
    };
    for (size_t i = 0; i < d.pixels.size(); ++i) {
        const Rgba &p = a.pixels[i], &q = b.pixels[i];
        d.pixels[i] = {amp(p.r, q.r, t.red), amp(p.g, q.g, t.green), amp(p.b, q.b, t.blue), 255};
    }
    return d;
}

std::string surfaceName(bool pbuffer) { return pbuffer ? "pbuffer" : "window"; }

std::optional<SurfaceFormat> surfaceFormat(const Run& r) {
    for (const std::string& line : r.log)
        if (const auto f = surfaceFormatOf(line)) return f;
    return std::nullopt;
}

// With no config known (filter died before the capture): none to print.
std::string toleranceText(const Options& o, const Tolerance& t, const std::optional<SurfaceFormat>& format) {
    if (o.tolerance) return std::to_string(*o.tolerance);
    if (!format) return "per channel from the surface's config";
    const SurfaceFormat& f = *format;
    std::string text =
        "red " + std::to_string(t.red) + ", green " + std::to_string(t.green) + ", blue " + std::to_string(t.blue);
    if (f.alpha > 0) text += ", alpha " + std::to_string(t.alpha);
    return text;
}

// The frame filter drew for `test`, judged.
Verdict judge(const Options& o, int test, const Run& r) {
    Verdict v;
    v.test = test;
    v.surface = surfaceName(o.pbuffer);
    v.format = surfaceFormat(r);
    // Without the capture library's word on the config, the frame's own
    // channels: 8 bits, alpha when it has one.
    const SurfaceFormat format = v.format.value_or(SurfaceFormat{8, 8, 8, r.frame && r.frame->hasAlpha ? 8 : 0});
    v.tolerance = o.tolerance ? uniformTolerance(*o.tolerance) : surfaceTolerance(format);
    if (r.timedOut) {
        v.note = "filter did not finish within " + std::to_string(kRunLimit.count()) + " s";
    } else if (r.signal != 0) {
        v.note =
            std::string("filter was killed by signal ") + std::to_string(r.signal) + " (" + strsignal(r.signal) + ")";
    } else if (r.status != 0) {
        v.note = "filter exited with status " + std::to_string(r.status);
    } else if (!r.frame) {
        v.note = "no frame was captured";
    } else if (const auto error = codeAfter(r.log, "glDrawTexiOES error ")) {
        char text[64];
        snprintf(text, sizeof text, "glDrawTexiOES raised GL error 0x%x", *error);
        v.note = text;
    }
    if (!v.note.empty()) {
        v.errors = splitLines(r.err);
        return v;
    }
    const Image& got = *r.frame;
    v.width = got.width;
    v.height = got.height;
    const Drawing right{test, std::min(got.width, got.height)};
    v.difference = compare(got, expectedFrame(right, got.width, got.height, format), v.tolerance);
    v.pass = v.difference->over == 0;
    if (!v.pass) {
        const std::string like = lookalike(got, right, format, v.tolerance);
        if (!like.empty()) v.note = "looks like " + like;
    }
    return v;
}

// frame | reference | difference, with the verdict above them.
std::optional<Fault> writeSheet(const Options& o, LabelFont& font, const Verdict& v, const Run& r,
                                const std::string& driver) {
    const Image& got = *r.frame;
    const SurfaceFormat format = v.format.value_or(SurfaceFormat{8, 8, 8, got.hasAlpha ? 8 : 0});
    const Image want = expectedFrame({v.test, std::min(got.width, got.height)}, got.width, got.height, format);
    const Format& f = formatOf(v.test);
    const Difference& d = *v.difference;
    char verdict[200];
    snprintf(verdict, sizeof verdict, "largest difference %d, mean %.3f, %ld pixels over the tolerance (%s): %s", d.max,
             d.mean, d.over, toleranceText(o, v.tolerance, format).c_str(), v.pass ? "PASS" : "FAIL");
    std::vector<std::string> title = {"test " + std::to_string(v.test) + ": " + f.format + " " + f.type + ", " +
                                          v.surface + " " + std::to_string(got.width) + "x" +
                                          std::to_string(got.height) + ", config " + formatName(format),
                                      driver, verdict};
    if (!v.note.empty()) title.push_back(v.note);
    if (v.test == 1 || v.test == 3 || v.test == 4)
        title.push_back("tests 1, 3 and 4 show the same colours by design of their texel tables");
    const Image sheet = font.sheet({{"frame", got},
                                    {"reference (" + formatName(format) + ")", want},
                                    {"difference (tolerance at half)", differencePicture(got, want, v.tolerance)}},
                                   title);
    const std::string path =
        (fs::path(o.pngDir) / ("test-" + std::to_string(v.test) + "-" + f.name + "-" + v.surface + ".png")).string();
    if (writePng(path, sheet)) return std::nullopt;
    return Fault{"cannot write " + path + ": " + strerror(errno)};
}

// Which surface and config the cases ran on, for the JUnit suite's name.
std::string suiteName(const Options& o) {
    return "filter-verify." + surfaceName(o.pbuffer) + (o.config.empty() ? "" : "." + o.config);
}

// Written once at the end; opened at the start, so that a file that cannot
// be written stops the run before it begins and no stale report stays.
class JunitReport {
public:
    std::optional<Fault> open(const std::string& path) {
        path_ = path;
        file_ = fopen(path.c_str(), "w");
        if (!file_) return Fault{"cannot write " + path + ": " + strerror(errno), 2};
        return std::nullopt;
    }
    ~JunitReport() {
        if (file_) fclose(file_);
    }
    std::optional<Fault> write(const std::string& document) {
        if (!file_) return std::nullopt;
        const bool ok = fputs(document.c_str(), file_) >= 0 && fflush(file_) == 0 && !ferror(file_);
        const bool closed = fclose(file_) == 0;
        file_ = nullptr;
        if (ok && closed) return std::nullopt;
        return Fault{"cannot write " + path_ + ": " + strerror(errno)};
    }

private:
    std::string path_;
    FILE* file_ = nullptr;
};

// What every run shares, made ready before the first, so that a fault in
// any of it stops the tool before filter runs at all.
struct Setup {
    std::string filter;
    std::optional<LabelFont> font;  // with --png
    JunitReport junit;
    std::optional<velmora::proc::TempDir> tmp;
    std::vector<std::string> env;
};

std::optional<Fault> prepare(const Options& o, Setup& s) {
    s.filter = o.filter.empty() ? (ownDirectory() / "filter").string() : o.filter;
    if (auto fault = checkFilter(s.filter)) return fault;
    const auto capture = captureLibrary();
    if (!capture)
        return Fault{"cannot find the capture library libfilter_capture.so beside " + ownDirectory().string(), 2};
    if (!o.pngDir.empty()) {
        if (auto fault = preparePngDir(o.pngDir)) return fault;
        s.font.emplace(VELMORA_LABEL_FONT);
        if (!s.font->ok())
            return Fault{std::string("cannot load the font ") + VELMORA_LABEL_FONT + " for the pictures' labels", 2};
    }
    if (!o.junit.empty())
        if (auto fault = s.junit.open(o.junit)) return fault;
    try {
        s.tmp.emplace("filter-verify");
    } catch (const std::system_error& e) {
        return Fault{"cannot make a temporary folder: " + e.code().message()};
    }
    s.env = filterEnvironment(o, *capture, s.tmp->path());
    return std::nullopt;
}

// One verdict, printed once: a JSON object, or a table row with what filter
// wrote to standard error under it, after the table's head for the first.
void print(const Options& o, const Setup& s, const Verdict& v, const std::string& driver, bool first) {
    if (o.json) {
        printf("%s\n", jsonObject(v, driver).c_str());
        return;
    }
    if (first) {
        printf("filter %s, %s surface%s, tolerance %s\n", s.filter.c_str(), v.surface.c_str(),
               surfaceless(o) ? " (surfaceless)" : "", toleranceText(o, v.tolerance, v.format).c_str());
        printf("renderer %s\n%s\n", driver.c_str(), tableHeader().c_str());
    }
    printf("%s\n", tableRow(v).c_str());
    for (const std::string& line : v.errors) printf("      | %s\n", line.c_str());
}

struct Results {
    std::vector<Verdict> verdicts;
    std::string driver;  // the renderer, as the first run named it

    bool allPass() const {
        return std::all_of(verdicts.begin(), verdicts.end(), [](const Verdict& v) { return v.pass; });
    }
};

// Each test in turn: filter's frame captured, judged, its row printed and
// its picture written. A fault of the set-up stops the whole run: the other
// tests would only repeat it.
std::optional<Fault> verifyAll(const Options& o, Setup& s, Results& results) {
    for (const int test : o.tests) {
        const auto start = std::chrono::steady_clock::now();
        const auto run = runFilter(s.filter, o, test, s.env, s.tmp->path());
        if (const Fault* fault = std::get_if<Fault>(&run)) return *fault;
        const Run& r = std::get<Run>(run);
        if (std::string fault = setupFault(r, s.filter, o); !fault.empty()) return Fault{fault, 1, true};
        Verdict v = judge(o, test, r);
        v.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const bool first = results.driver.empty();
        if (first) results.driver = renderer(r);
        print(o, s, v, results.driver, first);
        if (s.font && v.difference)
            if (auto fault = writeSheet(o, *s.font, v, r, results.driver)) return fault;
        results.verdicts.push_back(std::move(v));
    }
    if (fflush(stdout) != 0 || ferror(stdout))
        return Fault{std::string("cannot write the results: ") + strerror(errno)};
    return std::nullopt;
}

void report(const Fault& fault) {
    fflush(stdout);
    complain("%s", fault.message.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    int status = 0;
    const std::optional<Options> o = parse(argc, argv, status);
    if (!o) return status;

    Setup setup;
    Results results;
    std::optional<Fault> fault = prepare(*o, setup);
    if (!fault) fault = verifyAll(*o, setup, results);
    if (fault) report(*fault);

    // The report names a fault of the set-up in place of the cases; after any
    // other fault it stays empty rather than tell half the story.
    if (!fault || fault->inSetup) {
        const std::string setupFault = fault ? fault->message : "";
        if (auto failed =
                setup.junit.write(junitDocument(suiteName(*o), results.verdicts, results.driver, setupFault))) {
            report(*failed);
            return 1;
        }
    }
    return fault ? fault->status : results.allPass() ? 0 : 1;
}
