// filter-verify: runs the unmodified filter for each test with the capture
// library preloaded, against whatever EGL/GLES driver the environment
// selects, and compares each frame with the one computed from the texel
// tables.

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "expected.h"
#include "image.h"
#include "picture.h"
#include "report.h"

extern char** environ;

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
  fputs("usage: filter-verify [--pbuffer] [--config FORMAT] [--tolerance N] [--png DIR] [--junit FILE]\n"
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
      {"pbuffer", no_argument, nullptr, 'p'},     {"tolerance", required_argument, nullptr, 't'},
      {"config", required_argument, nullptr, 'c'}, {"png", required_argument, nullptr, 'o'},
      {"junit", required_argument, nullptr, 'j'}, {"json", no_argument, nullptr, 'J'},
      {"filter", required_argument, nullptr, 'f'}, {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  Options o;
  status = 2;
  for (int c; (c = getopt_long(argc, argv, "+h", longOptions, nullptr)) != -1;) {
    switch (c) {
      case 'p': o.pbuffer = true; break;
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
      case 'J': o.json = true; break;
      case 'j':
      case 'o':
        if (!*optarg) {
          complain("%s", c == 'j' ? "--junit wants a file" : "--png wants a folder");
          return std::nullopt;
        }
        (c == 'j' ? o.junit : o.pngDir) = optarg;
        break;
      case 'f': o.filter = optarg; break;
      case 'h': usage(stdout); status = 0; return std::nullopt;
      default: usage(stderr); return std::nullopt;
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

bool checkFilter(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    complain("cannot run %s: %s", path.c_str(), strerror(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode) || access(path.c_str(), X_OK) != 0) {
    complain("cannot run %s: not an executable file", path.c_str());
    return false;
  }
  return true;
}

bool preparePngDir(const std::string& dir) {
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
    complain("cannot create the folder %s: %s", dir.c_str(), strerror(errno));
    return false;
  }
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    complain("cannot write pictures to %s: not a folder", dir.c_str());
    return false;
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    complain("cannot write pictures to %s: %s", dir.c_str(), strerror(errno));
    return false;
  }
  return true;
}

class TempFolder {
 public:
  TempFolder() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/filter-verify.XXXXXX";
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Run {
  bool started = false;
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
  std::vector<std::string> env;
  std::string preload = capture;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (name == "LD_PRELOAD") {
      const std::string rest = entry.substr(name.size() + 1);
      if (!rest.empty()) preload += ":" + rest;
    } else if (name != "FILTER_CAPTURE" && name != "FILTER_CAPTURE_LOG" && name != "FILTER_CAPTURE_CONFIG" &&
               !(name == "EGL_PLATFORM" && surfaceless(o))) {
      env.push_back(entry);
    }
  }
  env.push_back("LD_PRELOAD=" + preload);
  env.push_back("FILTER_CAPTURE=" + (dir / "frame.pam").string());
  env.push_back("FILTER_CAPTURE_LOG=" + (dir / "calls.log").string());
  if (!o.config.empty()) env.push_back("FILTER_CAPTURE_CONFIG=" + o.config);
  if (surfaceless(o)) env.push_back("EGL_PLATFORM=surfaceless");
  return env;
}

Run runFilter(const std::string& filter, const std::vector<std::string>& args,
              const std::vector<std::string>& env, const fs::path& dir) {
  for (const char* name : {"frame.pam", "calls.log", "stdout", "stderr"}) {
    std::error_code ec;
    fs::remove(dir / name, ec);
  }
  std::vector<char*> argv{const_cast<char*>(filter.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const std::string outPath = (dir / "stdout").string();
  const std::string errPath = (dir / "stderr").string();

  Run r;
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    complain("cannot start %s: %s", filter.c_str(), strerror(errno));
    return r;
  }
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
      _exit(127);
    execve(filter.c_str(), argv.data(), envp.data());
    dprintf(2, "cannot run %s: %s\n", filter.c_str(), strerror(errno));
    _exit(127);
  }
  r.started = true;
  const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
  int wstatus = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &wstatus, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline && !r.timedOut) {
      r.timedOut = true;
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) r.signal = WTERMSIG(wstatus);
  r.out = slurp(outPath);
  r.err = slurp(errPath);
  std::istringstream lines(slurp(dir / "calls.log"));
  for (std::string line; std::getline(lines, line);) r.log.push_back(line);
  r.frame = readPam(dir / "frame.pam");
  return r;
}

const char* eglErrorName(unsigned code) {
  static const char* const names[] = {
      "EGL_SUCCESS",       "EGL_NOT_INITIALIZED", "EGL_BAD_ACCESS",         "EGL_BAD_ALLOC",
      "EGL_BAD_ATTRIBUTE", "EGL_BAD_CONFIG",      "EGL_BAD_CONTEXT",        "EGL_BAD_CURRENT_SURFACE",
      "EGL_BAD_DISPLAY",   "EGL_BAD_MATCH",       "EGL_BAD_NATIVE_PIXMAP",  "EGL_BAD_NATIVE_WINDOW",
      "EGL_BAD_PARAMETER", "EGL_BAD_SURFACE",     "EGL_CONTEXT_LOST",
  };
  return code >= 0x3000 && code <= 0x300E ? names[code - 0x3000] : "an unknown EGL error";
}

// The hexadecimal code after `prefix` in the first line that starts with it.
std::optional<unsigned> codeAfter(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const std::string& line : lines)
    if (line.rfind(prefix, 0) == 0) return static_cast<unsigned>(strtoul(line.c_str() + prefix.size(), nullptr, 16));
  return std::nullopt;
}

bool logged(const std::vector<std::string>& log, const std::string& prefix) {
  return std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
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
  if (!r.started) return "filter could not be started";
  if (r.signal == 0 && r.status == 127 && r.log.empty())
    return "cannot run " + filter + ": " + (r.err.empty() ? "exec failed" : splitLines(r.err).back());
  if (r.signal == 0 && !logged(r.log, "eglGetDisplay"))
    return "the capture library did not load into " + filter +
           " (a static or set-user-ID program cannot take it)";
  if (const auto code = codeAfter(r.log, "eglInitialize failed ")) {
    char text[160];
    snprintf(text, sizeof text, "EGL did not initialise (%s, 0x%x): ", eglErrorName(*code), *code);
    return text + displayNote(o);
  }
  if (!o.config.empty() && logged(r.log, "eglChooseConfig " + o.config + ": none")) {
    return o.pbuffer ? "the driver has no " + o.config + " config for a pbuffer"
                     : "the driver has no " + o.config + " config for a window (on X, window configs follow the "
                       "screen's depth)";
  }
  if (o.pbuffer) {
    if (const auto code = codeAfter(splitLines(r.out), "eglCreatePbufferSurface error ")) {
      char text[160];
      snprintf(text, sizeof text, "the driver refused the 320x480 pbuffer (%s, 0x%x)", eglErrorName(*code), *code);
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
  std::string text = "red " + std::to_string(t.red) + ", green " + std::to_string(t.green) + ", blue " +
                     std::to_string(t.blue);
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
  const SurfaceFormat format =
      v.format.value_or(SurfaceFormat{8, 8, 8, r.frame && r.frame->hasAlpha ? 8 : 0});
  v.tolerance = o.tolerance ? uniformTolerance(*o.tolerance) : surfaceTolerance(format);
  if (r.timedOut) {
    v.note = "filter did not finish within " + std::to_string(kRunLimit.count()) + " s";
  } else if (r.signal != 0) {
    v.note = std::string("filter was killed by signal ") + std::to_string(r.signal) + " (" + strsignal(r.signal) + ")";
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
bool writeSheet(const Options& o, LabelFont& font, const Verdict& v, const Run& r, const std::string& driver) {
  const Image& got = *r.frame;
  const SurfaceFormat format = v.format.value_or(SurfaceFormat{8, 8, 8, got.hasAlpha ? 8 : 0});
  const Image want = expectedFrame({v.test, std::min(got.width, got.height)}, got.width, got.height, format);
  const Format& f = formatOf(v.test);
  const Difference& d = *v.difference;
  char verdict[200];
  snprintf(verdict, sizeof verdict, "largest difference %d, mean %.3f, %ld pixels over the tolerance (%s): %s", d.max, d.mean,
           d.over, toleranceText(o, v.tolerance, format).c_str(), v.pass ? "PASS" : "FAIL");
  std::vector<std::string> title = {"test " + std::to_string(v.test) + ": " + f.format + " " + f.type + ", " +
                                        v.surface + " " + std::to_string(got.width) + "x" +
                                        std::to_string(got.height) + ", config " + formatName(format),
                                    driver, verdict};
  if (!v.note.empty()) title.push_back(v.note);
  if (v.test == 1 || v.test == 3 || v.test == 4)
    title.push_back("tests 1, 3 and 4 show the same colours by design of their texel tables");
  const Image sheet = font.sheet(
      {{"frame", got}, {"reference (" + formatName(format) + ")", want}, {"difference (tolerance at half)", differencePicture(got, want, v.tolerance)}},
      title);
  const std::string path =
      (fs::path(o.pngDir) / ("test-" + std::to_string(v.test) + "-" + f.name + "-" + v.surface + ".png")).string();
  if (writePng(path, sheet)) return true;
  fflush(stdout);
  complain("cannot write %s: %s", path.c_str(), strerror(errno));
  return false;
}

// Which surface and config the cases ran on, for the JUnit suite's name.
std::string suiteName(const Options& o) {
  return "filter-verify." + surfaceName(o.pbuffer) + (o.config.empty() ? "" : "." + o.config);
}

// Written once at the end; opened at the start, so that a file that cannot
// be written stops the run before it begins and no stale report stays.
class JunitReport {
 public:
  bool open(const std::string& path) {
    path_ = path;
    file_ = fopen(path.c_str(), "w");
    if (!file_) complain("cannot write %s: %s", path.c_str(), strerror(errno));
    return file_ != nullptr;
  }
  ~JunitReport() {
    if (file_) fclose(file_);
  }
  // False, with the reason on standard error, when the file did not take it.
  bool write(const std::string& document) {
    if (!file_) return true;
    const bool ok = fputs(document.c_str(), file_) >= 0 && fflush(file_) == 0 && !ferror(file_);
    const bool closed = fclose(file_) == 0;
    file_ = nullptr;
    if (ok && closed) return true;
    fflush(stdout);
    complain("cannot write %s: %s", path_.c_str(), strerror(errno));
    return false;
  }

 private:
  std::string path_;
  FILE* file_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  int status = 0;
  const auto parsed = parse(argc, argv, status);
  if (!parsed) return status;
  const Options o = *parsed;

  const std::string filter = o.filter.empty() ? (ownDirectory() / "filter").string() : o.filter;
  if (!checkFilter(filter)) return 2;
  const auto capture = captureLibrary();
  if (!capture) {
    complain("cannot find the capture library %s beside %s", "libfilter_capture.so", ownDirectory().c_str());
    return 2;
  }
  std::optional<LabelFont> font;
  if (!o.pngDir.empty()) {
    if (!preparePngDir(o.pngDir)) return 2;
    font.emplace(VELMORA_LABEL_FONT);
    if (!font->ok()) {
      complain("cannot load the font %s for the pictures' labels", VELMORA_LABEL_FONT);
      return 2;
    }
  }
  JunitReport junit;
  if (!o.junit.empty() && !junit.open(o.junit)) return 2;
  TempFolder tmp;
  if (tmp.path().empty()) {
    complain("cannot make a temporary folder: %s", strerror(errno));
    return 1;
  }
  const std::vector<std::string> env = filterEnvironment(o, *capture, tmp.path());

  std::vector<Verdict> verdicts;
  std::string driver;
  for (const int test : o.tests) {
    std::vector<std::string> args{std::to_string(test)};
    if (o.pbuffer) args.push_back("pbuffer");
    const auto start = std::chrono::steady_clock::now();
    const Run r = runFilter(filter, args, env, tmp.path());
    const std::string fault = setupFault(r, filter, o);
    if (!fault.empty()) {
      fflush(stdout);
      complain("%s", fault.c_str());
      junit.write(junitDocument(suiteName(o), verdicts, driver, fault));
      return 1;
    }
    Verdict v = judge(o, test, r);
    v.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (driver.empty()) {
      driver = renderer(r);
      if (!o.json) {
        printf("filter %s, %s surface%s, tolerance %s\n", filter.c_str(), v.surface.c_str(),
               surfaceless(o) ? " (surfaceless)" : "", toleranceText(o, v.tolerance, v.format).c_str());
        printf("renderer %s\n%s\n", driver.c_str(), tableHeader().c_str());
      }
    }
    if (o.json) {
      printf("%s\n", jsonObject(v, driver).c_str());
    } else {
      printf("%s\n", tableRow(v).c_str());
      for (const std::string& line : v.errors) printf("      | %s\n", line.c_str());
    }
    if (font && v.difference && !writeSheet(o, *font, v, r, driver)) return 1;
    verdicts.push_back(std::move(v));
  }
  if (fflush(stdout) != 0 || ferror(stdout)) {
    complain("cannot write the results: %s", strerror(errno));
    return 1;
  }
  if (!junit.write(junitDocument(suiteName(o), verdicts, driver, ""))) return 1;
  const bool allPass = std::all_of(verdicts.begin(), verdicts.end(), [](const Verdict& v) { return v.pass; });
  return allPass ? 0 : 1;
}
