#include "velmora/process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace velmora::proc {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds until(Clock::time_point deadline) {
    return std::max(0ms, std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()));
}

std::vector<char*> pointers(const std::vector<std::string>& words) {
    std::vector<char*> result;
    for (const std::string& word : words) result.push_back(const_cast<char*>(word.c_str()));
    result.push_back(nullptr);
    return result;
}

// Adds the file action that gives the child's `fd` its stream; a pipe's
// write end goes to *pipeWrite, its read end to *pipeRead.
void direct(posix_spawn_file_actions_t* actions, int fd, const Stream& stream, int* pipeRead, int* pipeWrite) {
    const int writing = O_WRONLY | O_CREAT;
    switch (stream.kind) {
    case Stream::Kind::inherit:
        break;
    case Stream::Kind::null:
        posix_spawn_file_actions_addopen(actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
        break;
    case Stream::Kind::file:
        if (fd == 0)
            posix_spawn_file_actions_addopen(actions, fd, stream.path.c_str(), O_RDONLY, 0);
        else
            posix_spawn_file_actions_addopen(actions, fd, stream.path.c_str(), writing | O_TRUNC, 0644);
        break;
    case Stream::Kind::append:
        posix_spawn_file_actions_addopen(actions, fd, stream.path.c_str(), writing | O_APPEND, 0644);
        break;
    case Stream::Kind::sameAsStdout:
        posix_spawn_file_actions_adddup2(actions, 1, fd);
        break;
    case Stream::Kind::pipe: {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
        *pipeRead = ends[0];
        *pipeWrite = ends[1];
        posix_spawn_file_actions_adddup2(actions, ends[1], fd);
        break;
    }
    }
}

// Children still running when the program exits (an exit() deep inside a
// test skips the destructors) get SIGTERM rather than living on.
std::mutex liveMutex;
std::vector<pid_t>* live;
pid_t liveOwner;

void terminateLive() {
    std::lock_guard lock(liveMutex);
    if (getpid() == liveOwner)  // not in a forked copy of this process
        for (pid_t pid : *live) kill(pid, SIGTERM);
}

void track(pid_t pid) {
    std::lock_guard lock(liveMutex);
    if (!live) {
        live = new std::vector<pid_t>;
        liveOwner = getpid();
        atexit(terminateLive);
    }
    live->push_back(pid);
}

void untrack(pid_t pid) {
    std::lock_guard lock(liveMutex);
    std::erase(*live, pid);
}

// A descriptor that polls readable once the child has ended; -1 on a kernel
// (or an emulator) without pidfds, where waiting falls back to short naps.
int pidfdOf(pid_t pid) {
#ifdef SYS_pidfd_open
    return int(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

}  // namespace

Exit exitedWith(int code) { return Exit{true, code}; }

Exit killedBy(int signal) { return Exit{false, signal}; }

std::string describe(const Exit& exit) {
    return exit.exited ? "exit status " + std::to_string(exit.code) : "killed by signal " + std::to_string(exit.code);
}

std::vector<std::string> environment(const std::function<bool(std::string_view name)>& drop) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        std::string_view text = *entry;
        if (!drop || !drop(text.substr(0, text.find('=')))) env.emplace_back(text);
    }
    return env;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Process::Process(const Command& command) {
    if (command.in.kind == Stream::Kind::pipe || command.in.kind == Stream::Kind::append ||
        command.in.kind == Stream::Kind::sameAsStdout || command.out.kind == Stream::Kind::sameAsStdout)
        throw std::invalid_argument("unsupported stream for " + command.argv.at(0));
    x_out.stream = command.out;
    x_err.stream = command.err;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int outWrite = -1, errWrite = -1;
    try {
        direct(&actions, 0, command.in, nullptr, nullptr);
        direct(&actions, 1, command.out, &x_out.fd, &outWrite);
        direct(&actions, 2, command.err, &x_err.fd, &errWrite);
        if (command.closeOtherFds) posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        const std::string& program = command.program.empty() ? command.argv.at(0) : command.program;
        std::vector<char*> argv = pointers(command.argv);
        std::vector<std::string> env = command.env ? *command.env : environment();
        std::vector<char*> envp = pointers(env);
        int error = posix_spawnp(&x_pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        if (error != 0) throw std::system_error(error, std::generic_category(), "cannot start " + program);
        track(x_pid);
    } catch (...) {
        posix_spawn_file_actions_destroy(&actions);
        for (int fd : {outWrite, errWrite, x_out.fd, x_err.fd})
            if (fd >= 0) close(fd);
        throw;
    }
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {outWrite, errWrite})
        if (fd >= 0) close(fd);
    x_pidfd = pidfdOf(x_pid);
}

Process::~Process() {
    if (!x_exit) {
        kill(x_pid, SIGKILL);
        kill(x_pid, SIGCONT);
        while (waitpid(x_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        untrack(x_pid);
    }
    for (int fd : {x_out.fd, x_err.fd, x_pidfd})
        if (fd >= 0) close(fd);
}

void Process::signal(int number) const {
    if (!x_exit) kill(x_pid, number);
}

// True once the child has been reaped, now or before.
bool Process::reap(int options) {
    if (x_exit) return true;
    int status;
    if (wait4(x_pid, &status, options, &x_usage) != x_pid) return false;
    x_exit = WIFEXITED(status) ? exitedWith(WEXITSTATUS(status)) : killedBy(WTERMSIG(status));
    untrack(x_pid);
    return true;
}

std::optional<Exit> Process::wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    // Without a pidfd, short naps first: a child that is about to end (its
    // output closed, say) is then reaped without a whole nap's delay.
    std::chrono::microseconds nap = 50us;
    while (!reap(WNOHANG)) {
        if (Clock::now() >= deadline) return std::nullopt;
        if (x_pidfd >= 0) {
            pollfd ended{x_pidfd, POLLIN, 0};
            poll(&ended, 1, int(until(deadline).count()));
        } else {
            std::this_thread::sleep_for(nap);
            nap = std::min<std::chrono::microseconds>(nap * 2, 5ms);
        }
    }
    return x_exit;
}

Exit Process::wait() {
    while (!reap(0))
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "wait4");
    return *x_exit;
}

Exit Process::stop(std::chrono::milliseconds grace) {
    signal(SIGTERM);
    if (auto exit = wait(grace)) return *exit;
    signal(SIGKILL);
    return wait();
}

bool Process::pump(std::chrono::milliseconds timeout) {
    Output* outputs[2] = {&x_out, &x_err};
    pollfd fds[2];
    nfds_t count = 0;
    for (Output* output : outputs)
        if (output->fd >= 0) fds[count++] = {output->fd, POLLIN, 0};
    if (count == 0) return false;
    if (poll(fds, count, int(timeout.count())) <= 0) return true;
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) continue;
        Output& output = x_out.fd == fds[i].fd ? x_out : x_err;
        char buffer[65536];
        ssize_t n = read(output.fd, buffer, sizeof buffer);
        if (n > 0) {
            output.text.append(buffer, size_t(n));
        } else if (n == 0 || errno != EINTR) {
            close(output.fd);
            output.fd = -1;
        }
    }
    return x_out.fd >= 0 || x_err.fd >= 0;
}

Exit Process::finish(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    auto overdue = [&] {
        if (Clock::now() < deadline) return false;
        if (x_killedAtDeadline) return true;
        signal(SIGKILL);
        x_killedAtDeadline = true;
        deadline = Clock::now() + 5s;
        return false;
    };
    // A descendant may keep a pipe open after the child is gone.
    while (pump(until(deadline)) && !overdue()) {
    }
    if (auto exit = wait(until(deadline))) return *exit;
    signal(SIGKILL);
    x_killedAtDeadline = true;
    return wait();
}

std::string Process::captured(const Output& output) const {
    switch (output.stream.kind) {
    case Stream::Kind::pipe:
        return output.text;
    case Stream::Kind::file:
    case Stream::Kind::append:
        return readFile(output.stream.path);
    case Stream::Kind::sameAsStdout:
        return captured(x_out);
    default:
        return {};
    }
}

bool Process::waitForOutput(const std::string& text, std::chrono::milliseconds timeout, bool onStderr) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if ((onStderr ? err() : out()).find(text) != std::string::npos) return true;
        if (Clock::now() >= deadline) return false;
        const Output& output = onStderr ? x_err : x_out;
        if (output.stream.kind == Stream::Kind::pipe && output.fd < 0) return false;  // it has said all it will
        if (output.fd < 0 || !pump(std::min(until(deadline), 5ms))) std::this_thread::sleep_for(5ms);
    }
}

long Process::residentKiB() const {
    std::istringstream status(readFile("/proc/" + std::to_string(x_pid) + "/status"));
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
    return -1;
}

}  // namespace velmora::proc
