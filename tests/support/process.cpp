#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <elf.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds until(Clock::time_point deadline)
{
    return std::max(0ms, std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()));
}

std::vector<char *> pointers(const std::vector<std::string> &words)
{
    std::vector<char *> result;
    for (const std::string &word : words)
        result.push_back(const_cast<char *>(word.c_str()));
    result.push_back(nullptr);
    return result;
}

// Adds the file action that gives the child's `fd` its stream; a pipe's
// write end goes to *pipeWrite, its read end to *pipeRead.
void direct(posix_spawn_file_actions_t *actions, int fd, const Stream &stream, int *pipeRead, int *pipeWrite)
{
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
        if (pipe2(ends, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe2: ") + strerror(errno));
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
std::vector<pid_t> *live;
pid_t liveOwner;

void terminateLive()
{
    std::lock_guard lock(liveMutex);
    if (getpid() == liveOwner) // not in a forked copy of this process
        for (pid_t pid : *live)
            kill(pid, SIGTERM);
}

void track(pid_t pid)
{
    std::lock_guard lock(liveMutex);
    if (!live) {
        live = new std::vector<pid_t>;
        liveOwner = getpid();
        atexit(terminateLive);
    }
    live->push_back(pid);
}

void untrack(pid_t pid)
{
    std::lock_guard lock(liveMutex);
    std::erase(*live, pid);
}

// The ELF machine this code was built for.
constexpr uint16_t ownMachine()
{
#if defined(__aarch64__)
    return EM_AARCH64;
#elif defined(__arm__)
    return EM_ARM;
#elif defined(__x86_64__)
    return EM_X86_64;
#elif defined(__i386__)
    return EM_386;
#else
    return EM_NONE;
#endif
}

// The non-empty pieces of `text` between separators.
std::vector<std::string> words(std::string_view text, char separator = ' ')
{
    std::vector<std::string> result;
    size_t at = 0;
    while ((at = text.find_first_not_of(separator, at)) != std::string_view::npos) {
        size_t end = std::min(text.find(separator, at), text.size());
        result.emplace_back(text.substr(at, end - at));
        at = end;
    }
    return result;
}

// The command that runs programs of another machine here (qemu-user, from
// VELMORA_EMULATOR or, in a cross build, the build's own emulator), and the
// machine it runs.
struct Emulator {
    std::vector<std::string> command;
    uint16_t machine = EM_NONE;
};

Emulator emulator()
{
    const char *configured = getenv("VELMORA_EMULATOR");
#ifdef VELMORA_CROSS_EMULATOR
    if (!configured)
        configured = VELMORA_CROSS_EMULATOR;
#endif
    Emulator e;
    if (!configured || !*configured)
        return e;
    e.command = words(configured);
    const std::string name = std::filesystem::path(e.command.at(0)).filename();
    e.machine = name == "qemu-aarch64" ? EM_AARCH64
                : name == "qemu-arm"   ? EM_ARM
                : name == "qemu-x86_64" ? EM_X86_64
                                        : ownMachine();
    return e;
}

// The machine of an ELF executable; EM_NONE for anything else (a script).
uint16_t machineOf(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    unsigned char header[EI_NIDENT + 4] = {};
    if (!in.read(reinterpret_cast<char *>(header), sizeof header) || header[EI_MAG0] != ELFMAG0 ||
        header[EI_MAG1] != ELFMAG1 || header[EI_MAG2] != ELFMAG2 || header[EI_MAG3] != ELFMAG3)
        return EM_NONE;
    // e_machine, in the file's own byte order.
    const unsigned char *m = header + EI_NIDENT + 2;
    return header[EI_DATA] == ELFDATA2MSB ? uint16_t(m[0] << 8 | m[1]) : uint16_t(m[1] << 8 | m[0]);
}

// `program` as posix_spawnp would find it.
std::string located(const std::string &program)
{
    if (program.find('/') != std::string::npos)
        return program;
    const char *path = getenv("PATH");
    for (const std::string &dir : words(std::string(path ? path : "/usr/bin:/bin"), ':'))
        if (access((dir + "/" + program).c_str(), X_OK) == 0)
            return dir + "/" + program;
    return program;
}

// VELMORA_SWAP_DIR and VELMORA_SWAP_PROGRAMS (comma-separated names) take the
// named programs from another build, e.g. native stand-ins for emulated tools.
std::string swapped(const std::string &program)
{
    const char *dir = getenv("VELMORA_SWAP_DIR");
    const char *names = getenv("VELMORA_SWAP_PROGRAMS");
    if (!dir || !*dir || !names)
        return program;
    const std::string name = std::filesystem::path(program).filename();
    for (const std::string &swap : words(names, ','))
        if (swap == name)
            return std::string(dir) + "/" + name;
    return program;
}

// Rewrites a command for a program of the emulated machine so that qemu
// runs it. The guest's LD_PRELOAD goes to qemu's -E: the host's loader,
// which runs qemu, must never try to load a library of the guest.
void emulate(std::string &program, std::vector<std::string> &argv, std::vector<std::string> &env)
{
    const Emulator e = emulator();
    if (e.command.empty() || e.machine == EM_NONE || machineOf(program) != e.machine)
        return;
    std::vector<std::string> wrapped = e.command;
    if (argv.at(0) != program)
        wrapped.insert(wrapped.end(), {"-0", argv[0]});
    for (auto entry = env.begin(); entry != env.end();) {
        if (entry->starts_with("LD_PRELOAD=")) {
            wrapped.insert(wrapped.end(), {"-E", *entry});
            entry = env.erase(entry);
        } else {
            ++entry;
        }
    }
    // Mesa's llvmpipe compiles its shaders under emulation and may not
    // finish a frame in minutes; softpipe draws the same pixels in seconds.
    if (std::none_of(env.begin(), env.end(), [](const std::string &entry) { return entry.starts_with("GALLIUM_DRIVER="); }))
        wrapped.insert(wrapped.end(), {"-E", "GALLIUM_DRIVER=softpipe"});
    wrapped.push_back(program);
    wrapped.insert(wrapped.end(), argv.begin() + 1, argv.end());
    argv = std::move(wrapped);
    program = argv[0];
}

} // namespace

Exit exitedWith(int code)
{
    return Exit{true, code};
}

Exit killedBy(int signal)
{
    return Exit{false, signal};
}

std::string describe(const Exit &exit)
{
    return exit.exited ? "exit status " + std::to_string(exit.code) : "killed by signal " + std::to_string(exit.code);
}

std::vector<std::string> environment(const std::function<bool(std::string_view name)> &drop)
{
    std::vector<std::string> env;
    for (char **entry = environ; *entry; ++entry) {
        std::string_view text = *entry;
        if (!drop || !drop(text.substr(0, text.find('='))))
            env.emplace_back(text);
    }
    return env;
}

std::string readFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool emulated()
{
#ifdef VELMORA_CROSS_EMULATOR
    return true;
#else
    return false;
#endif
}

std::vector<std::string> runnable(std::vector<std::string> argv)
{
    std::string program = swapped(located(argv.at(0)));
    // What runs is what the command line names: a swapped program too.
    argv[0] = program;
    std::vector<std::string> env;
    emulate(program, argv, env);
    return argv;
}

std::filesystem::path guestRoot()
{
    const Emulator e = emulator();
    for (size_t i = 0; i + 1 < e.command.size(); ++i)
        if (e.command[i] == "-L")
            return e.command[i + 1];
    return {};
}

bool othersCanReach(const std::filesystem::path &path)
{
    namespace fs = std::filesystem;
    const auto others = [](const fs::path &entry, fs::perms wanted) {
        std::error_code error;
        const fs::file_status status = fs::status(entry, error);
        return !error && fs::exists(status) && (status.permissions() & wanted) != fs::perms::none;
    };
    std::error_code error;
    const fs::path absolute = fs::absolute(path, error);
    if (error || !others(absolute, fs::perms::others_read))
        return false;
    for (fs::path dir = absolute.parent_path();; dir = dir.parent_path()) {
        if (!others(dir, fs::perms::others_exec))
            return false;
        if (dir == dir.root_path())
            return true;
    }
}

std::vector<std::string> runnableByOthers(std::vector<std::string> argv, const std::filesystem::path &dir,
                                          std::string *why)
{
    namespace fs = std::filesystem;
    if (!othersCanReach(dir / ".")) {
        *why = "other users cannot reach " + dir.string();
        return {};
    }
    const std::string program = swapped(located(argv.at(0)));
    const Emulator e = emulator();
    const bool guest = !e.command.empty() && e.machine != EM_NONE && machineOf(program) == e.machine;
    const fs::path root = guest ? guestRoot() : fs::path();

    // The loader lists what the program loads, by the paths it found.
    Command trace({program});
    if (guest)
        trace.argv = e.command, trace.argv.insert(trace.argv.end(), {"-E", "LD_TRACE_LOADED_OBJECTS=1", program});
    else
        trace.env = environment(), trace.env->push_back("LD_TRACE_LOADED_OBJECTS=1");
    trace.out = Stream::pipe();
    Process tracing(trace);
    if (tracing.finish(2min) != exitedWith(0)) {
        *why = "cannot list the libraries of " + program;
        return {};
    }

    std::error_code error;
    const fs::path copy = dir / fs::path(program).filename();
    fs::copy_file(program, copy, fs::copy_options::overwrite_existing, error);
    std::vector<std::string> libraries;
    std::istringstream lines(tracing.out());
    for (std::string line; !error && std::getline(lines, line);) {
        const size_t arrow = line.find("=> ");
        std::string path = line.substr(arrow == std::string::npos ? line.find_first_not_of(" \t") : arrow + 3);
        path = path.substr(0, path.find(" ("));
        if (!path.starts_with("/"))
            continue;
        const fs::path host = guest && fs::exists(root / path.substr(1)) ? root / path.substr(1) : fs::path(path);
        if (othersCanReach(host))
            continue;
        // The guest finds its copy at the same path in its root; the host's
        // loader finds it through LD_LIBRARY_PATH.
        const fs::path target = guest ? dir / "root" / path.substr(1) : dir / "lib" / fs::path(path).filename();
        fs::create_directories(target.parent_path(), error);
        if (!error)
            fs::copy_file(host, target, fs::copy_options::overwrite_existing, error);
        libraries.push_back(path);
    }
    if (error) {
        *why = "cannot copy " + program + " and its libraries into " + dir.string() + ": " + error.message();
        return {};
    }

    std::vector<std::string> command;
    if (guest) {
        command = e.command;
        for (size_t i = 0; i + 1 < command.size(); ++i)
            if (command[i] == "-L")
                command[i + 1] = (dir / "root").string();
        if (argv[0] != program)
            command.insert(command.end(), {"-0", argv[0]});
    } else if (!libraries.empty()) {
        command = {"env", "LD_LIBRARY_PATH=" + (dir / "lib").string()};
    }
    command.push_back(copy.string());
    command.insert(command.end(), argv.begin() + 1, argv.end());
    return command;
}

bool waitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout, std::chrono::milliseconds interval)
{
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(interval);
    }
    return true;
}

Process::Process(const Command &command)
{
    if (command.in.kind == Stream::Kind::pipe || command.in.kind == Stream::Kind::append ||
        command.in.kind == Stream::Kind::sameAsStdout || command.out.kind == Stream::Kind::sameAsStdout)
        throw std::invalid_argument("unsupported stream for " + command.argv.at(0));
    out_.stream = command.out;
    err_.stream = command.err;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int outWrite = -1, errWrite = -1;
    try {
        direct(&actions, 0, command.in, nullptr, nullptr);
        direct(&actions, 1, command.out, &out_.fd, &outWrite);
        direct(&actions, 2, command.err, &err_.fd, &errWrite);
        if (command.closeOtherFds)
            posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        std::string program = swapped(located(command.program.empty() ? command.argv.at(0) : command.program));
        std::vector<std::string> args = command.argv;
        std::vector<std::string> env = command.env ? *command.env : environment();
        emulate(program, args, env);
        std::vector<char *> argv = pointers(args);
        std::vector<char *> envp = pointers(env);
        int error = posix_spawnp(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        if (error != 0)
            throw std::runtime_error("cannot start " + program + ": " + strerror(error));
        track(pid_);
    } catch (...) {
        posix_spawn_file_actions_destroy(&actions);
        for (int fd : {outWrite, errWrite, out_.fd, err_.fd})
            if (fd >= 0)
                close(fd);
        throw;
    }
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {outWrite, errWrite})
        if (fd >= 0)
            close(fd);
}

Process::~Process()
{
    if (!exit_) {
        kill(pid_, SIGKILL);
        kill(pid_, SIGCONT);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        untrack(pid_);
    }
    for (int fd : {out_.fd, err_.fd})
        if (fd >= 0)
            close(fd);
}

void Process::signal(int number) const
{
    if (!exit_)
        kill(pid_, number);
}

void Process::reaped(int status)
{
    exit_ = WIFEXITED(status) ? exitedWith(WEXITSTATUS(status)) : killedBy(WTERMSIG(status));
    untrack(pid_);
}

std::optional<Exit> Process::wait(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    // Short naps first: a child that is about to end (its output closed,
    // say) is then reaped without a whole nap's delay.
    std::chrono::microseconds nap = 50us;
    while (!exit_) {
        int status;
        pid_t done = wait4(pid_, &status, WNOHANG, &usage_);
        if (done == pid_) {
            reaped(status);
        } else if (Clock::now() >= deadline) {
            return std::nullopt;
        } else {
            std::this_thread::sleep_for(nap);
            nap = std::min<std::chrono::microseconds>(nap * 2, 5ms);
        }
    }
    return exit_;
}

Exit Process::wait()
{
    while (!exit_) {
        int status;
        pid_t done = wait4(pid_, &status, 0, &usage_);
        if (done == pid_)
            reaped(status);
        else if (errno != EINTR)
            throw std::runtime_error("wait4: " + std::string(strerror(errno)));
    }
    return *exit_;
}

Exit Process::stop(std::chrono::milliseconds grace)
{
    signal(SIGTERM);
    if (auto exit = wait(grace))
        return *exit;
    signal(SIGKILL);
    return wait();
}

bool Process::pump(std::chrono::milliseconds timeout)
{
    Output *outputs[2] = {&out_, &err_};
    pollfd fds[2];
    nfds_t count = 0;
    for (Output *output : outputs)
        if (output->fd >= 0)
            fds[count++] = {output->fd, POLLIN, 0};
    if (count == 0)
        return false;
    if (poll(fds, count, int(timeout.count())) <= 0)
        return true;
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0)
            continue;
        Output &output = out_.fd == fds[i].fd ? out_ : err_;
        char buffer[65536];
        ssize_t n = read(output.fd, buffer, sizeof buffer);
        if (n > 0) {
            output.text.append(buffer, size_t(n));
        } else if (n == 0 || errno != EINTR) {
            close(output.fd);
            output.fd = -1;
        }
    }
    return out_.fd >= 0 || err_.fd >= 0;
}

Exit Process::finish(std::chrono::milliseconds timeout)
{
    auto deadline = Clock::now() + timeout;
    auto overdue = [&] {
        if (Clock::now() < deadline)
            return false;
        if (killedAtDeadline_)
            return true;
        signal(SIGKILL);
        killedAtDeadline_ = true;
        deadline = Clock::now() + 5s;
        return false;
    };
    // A descendant may keep a pipe open after the child is gone.
    while (pump(until(deadline)) && !overdue()) {
    }
    if (auto exit = wait(until(deadline)))
        return *exit;
    signal(SIGKILL);
    killedAtDeadline_ = true;
    return wait();
}

std::string Process::captured(const Output &output) const
{
    switch (output.stream.kind) {
    case Stream::Kind::pipe:
        return output.text;
    case Stream::Kind::file:
    case Stream::Kind::append:
        return readFile(output.stream.path);
    case Stream::Kind::sameAsStdout:
        return captured(out_);
    default:
        return {};
    }
}

bool Process::waitForOutput(const std::string &text, std::chrono::milliseconds timeout, bool onStderr)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if ((onStderr ? err() : out()).find(text) != std::string::npos)
            return true;
        if (Clock::now() >= deadline)
            return false;
        const Output &output = onStderr ? err_ : out_;
        if (output.stream.kind == Stream::Kind::pipe && output.fd < 0)
            return false; // it has said all it will
        if (output.fd < 0 || !pump(std::min(until(deadline), 5ms)))
            std::this_thread::sleep_for(5ms);
    }
}

long Process::residentKiB() const
{
    std::istringstream status(readFile("/proc/" + std::to_string(pid_) + "/status"));
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return atol(line.c_str() + 6);
    return -1;
}

} // namespace testsupport
