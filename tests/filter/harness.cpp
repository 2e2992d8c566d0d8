#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

extern char** environ;

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/velmora-filter-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

Xvfb::Xvfb(int width, int height, int depth) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  const std::string screen =
      std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
  pid_ = fork();
  if (pid_ == 0) {
    // Xvfb writes the display number it chose to fd 3.
    dup2(fds[1], 3);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    execlp("Xvfb", "Xvfb", "-displayfd", "3", "-noreset", "-nolisten", "tcp", "-screen", "0",
           screen.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  pollfd pfd{fds[0], POLLIN, 0};
  while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
    if (poll(&pfd, 1, 100) <= 0) continue;
    char buf[32];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    number.append(buf, static_cast<size_t>(n));
    if (number.find('\n') != std::string::npos) {
      display_ = ":" + number.substr(0, number.find('\n'));
      break;
    }
  }
  close(fds[0]);
}

Xvfb::~Xvfb() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status;
  waitpid(pid_, &status, 0);
}

Outcome run(const Command& cmd, const fs::path& dir) {
  const fs::path outPath = dir / "stdout";
  const fs::path errPath = dir / "stderr";
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool drop = cmd.setEnv.contains(name);
    for (const std::string& u : cmd.unsetEnv) drop = drop || u == name;
    if (!drop) env.push_back(entry);
  }
  for (const auto& [name, value] : cmd.setEnv) env.push_back(name + "=" + value);

  std::vector<std::string> args{cmd.argv0.empty() ? cmd.program : cmd.argv0};
  args.insert(args.end(), cmd.args.begin(), cmd.args.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = open("/dev/null", O_RDONLY);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    execve(cmd.program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  Outcome result;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    result.status = WEXITSTATUS(status);
  result.out = readFile(outPath);
  result.err = readFile(errPath);
  return result;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::map<std::string, std::string> captureEnv(const std::string& display,
                                              const std::string& captureLib,
                                              const std::string& lsanSuppressions) {
  const char* asan = getenv("ASAN_OPTIONS");
  const char* lsan = getenv("LSAN_OPTIONS");
  return {
      {"DISPLAY", display},
      {"LIBGL_ALWAYS_SOFTWARE", "1"},
      {"MESA_SHADER_CACHE_DISABLE", "true"},
      {"LD_PRELOAD", captureLib},
      // A preloaded library comes before the ASan runtime in load order.
      {"ASAN_OPTIONS", std::string(asan ? asan : "") + (asan && *asan ? ":" : "") +
                           "verify_asan_link_order=0"},
      {"LSAN_OPTIONS", std::string(lsan ? lsan : "") + (lsan && *lsan ? ":" : "") +
                           "suppressions=" + lsanSuppressions},
  };
}
