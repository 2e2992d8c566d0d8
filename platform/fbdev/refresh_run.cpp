#include "refresh_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace fbtest {

using Clock = std::chrono::steady_clock;

namespace {

void check(bool ok, const char *what)
{
    if (!ok)
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// Reads what is available on fd into text; returns false at end of file.
bool drain(int fd, std::string &text)
{
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n > 0)
        text.append(buffer, size_t(n));
    return n > 0 || (n < 0 && errno == EINTR);
}

// The figure of a line "refresh rate = %f Hz" (six decimals), or none.
std::optional<std::string> rateFigure(const std::string &line)
{
    const std::string head = "refresh rate = ", tail = " Hz";
    if (line.size() < head.size() + tail.size() || line.rfind(head, 0) != 0 ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return std::nullopt;
    std::string figure = line.substr(head.size(), line.size() - head.size() - tail.size());
    if (figure == "inf" || figure == "nan" || figure == "-nan")
        return figure;
    size_t digits = figure.find_first_not_of("0123456789", figure[0] == '-' ? 1 : 0);
    bool sixDecimals = digits != std::string::npos && digits > (figure[0] == '-' ? 1u : 0u) && figure[digits] == '.' &&
                       figure.size() == digits + 7 &&
                       figure.find_first_not_of("0123456789", digits + 1) == std::string::npos;
    return sixDecimals ? std::optional<std::string>(figure) : std::nullopt;
}

size_t countVblPans(const std::vector<std::string> &log)
{
    size_t n = 0;
    for (const std::string &line : log)
        if (line.rfind("put_var ", 0) == 0 && line.find(" activate=16 ") != std::string::npos)
            n++;
    return n;
}

} // namespace

RefreshRun::RefreshRun()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "refresh-test-XXXXXX").string();
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    dir_ = pattern;
    env_ = {
        {"FBEMU_NODES", "/dev/graphics/fb0"},
        {"FBEMU_ID", "velmora-test"},
        {"FBEMU_XRES", "480"},
        {"FBEMU_YRES", "800"},
        {"FBEMU_XRES_VIRTUAL", "480"},
        {"FBEMU_YRES_VIRTUAL", "1600"},
        {"FBEMU_BPP", "32"},
        {"FBEMU_DEPTHS", "16,32"},
        {"FBEMU_LAYOUT_16", "11:5,5:6,0:5"},
        {"FBEMU_WIDTH_MM", "52"},
        {"FBEMU_HEIGHT_MM", "87"},
        {"FBEMU_PIXCLOCK", "39894"},
        {"FBEMU_LEFT_MARGIN", "16"},
        {"FBEMU_RIGHT_MARGIN", "16"},
        {"FBEMU_UPPER_MARGIN", "8"},
        {"FBEMU_LOWER_MARGIN", "8"},
        {"FBEMU_SMEM_LEN", "3072000"},
        {"FBEMU_VBLANK_HZ", "1000"},
        {"FBEMU_LOG", dir_ + "/device.log"},
        {"FBEMU_MEMORY", dir_ + "/memory"},
    };
}

RefreshRun::~RefreshRun()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

pid_t RefreshRun::start(int *outFd, int *errFd)
{
    std::vector<std::string> vars;
    std::string asan = "verify_asan_link_order=0";
    for (char **e = environ; *e; e++) {
        std::string var = *e;
        if (var.rfind("FBEMU_", 0) == 0 || var.rfind("LD_PRELOAD=", 0) == 0)
            continue;
        if (var.rfind("ASAN_OPTIONS=", 0) == 0) {
            asan = var.substr(13) + ":" + asan;
            continue;
        }
        vars.push_back(var);
    }
    // An ASan-built refresh sees the preloaded library ahead of its runtime.
    vars.push_back("ASAN_OPTIONS=" + asan);
    vars.push_back(std::string("LD_PRELOAD=") + FBDEV_EMU_LIB);
    for (const auto &[name, value] : env_)
        vars.push_back(name + "=" + value);
    std::vector<char *> envp;
    for (std::string &var : vars)
        envp.push_back(var.data());
    envp.push_back(nullptr);

    int out[2], err[2];
    check(pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0, "pipe2");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // Only 0, 1 and 2 open, as from a shell: the device then opens as fd 3.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    char *argv[] = {const_cast<char *>(REFRESH_BIN), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, REFRESH_BIN, &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    errno = rc;
    check(rc == 0, "posix_spawn");
    *outFd = out[0];
    *errFd = err[0];
    return pid;
}

Outcome RefreshRun::finish(pid_t pid, int outFd, int errFd, Outcome o, Clock::time_point deadline)
{
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) {
            kill(pid, SIGKILL);
            deadline = Clock::now() + std::chrono::seconds(5);
            o.err += "\n[test: refresh did not finish in time, killed]";
            continue;
        }
        pollfd fds[2] = {{outOpen ? outFd : -1, POLLIN, 0}, {errOpen ? errFd : -1, POLLIN, 0}};
        if (poll(fds, 2, left) <= 0)
            continue;
        if (fds[0].revents && !drain(outFd, o.out))
            outOpen = false;
        if (fds[1].revents && !drain(errFd, o.err))
            errOpen = false;
    }
    close(outFd);
    close(errFd);
    int status = 0;
    rusage usage{};
    check(wait4(pid, &status, 0, &usage) == pid, "wait4");
    o.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    o.exited = WIFEXITED(status);
    o.status = o.exited ? WEXITSTATUS(status) : -1;
    o.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return o;
}

Outcome RefreshRun::runToExit(std::chrono::seconds timeout)
{
    int outFd, errFd;
    pid_t pid = start(&outFd, &errFd);
    return finish(pid, outFd, errFd, Outcome{}, Clock::now() + timeout);
}

Outcome RefreshRun::runForRateLines(size_t rateLines, std::chrono::seconds timeout)
{
    int outFd, errFd;
    pid_t pid = start(&outFd, &errFd);
    Outcome o;
    auto deadline = Clock::now() + timeout;
    bool open = true;
    while (open && countRateLines(o.out) < rateLines && Clock::now() < deadline) {
        pollfd fd = {outFd, POLLIN, 0};
        if (poll(&fd, 1, 100) > 0)
            open = drain(outFd, o.out);
    }
    kill(pid, SIGTERM);
    return finish(pid, outFd, errFd, o, Clock::now() + std::chrono::seconds(5));
}

Outcome RefreshRun::stopAfterFlips(size_t flips, size_t *flipsBefore, std::chrono::seconds timeout)
{
    int outFd, errFd;
    pid_t pid = start(&outFd, &errFd);
    auto deadline = Clock::now() + timeout;
    size_t seen = 0;
    while ((seen = countVblPans(logLines())) < flips && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    *flipsBefore = seen;
    kill(pid, SIGTERM);
    return finish(pid, outFd, errFd, Outcome{}, Clock::now() + std::chrono::seconds(5));
}

std::vector<std::string> RefreshRun::logLines() const
{
    std::ifstream in(env_.at("FBEMU_LOG"));
    std::vector<std::string> result;
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

std::string RefreshRun::memory() const
{
    std::ifstream in(env_.at("FBEMU_MEMORY"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t countRateLines(const std::string &out) { return rateValues(out).size(); }

std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

std::vector<double> rateValues(const std::string &out)
{
    std::vector<double> values;
    for (const std::string &line : splitLines(out))
        if (std::optional<std::string> figure = rateFigure(line))
            values.push_back(std::strtod(figure->c_str(), nullptr));
    return values;
}

} // namespace fbtest
