#include "testbed.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace testbed {

namespace {

void pause()
{
    std::this_thread::sleep_for(5ms);
}

} // namespace

std::string binPath(const std::string &program)
{
    return std::string(VELMORA_BIN_DIR) + "/" + program;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/velmora-agent-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp: " + std::string(strerror(errno)));
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

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

Process::Process(const std::vector<std::string> &argv, const std::vector<std::string> &env, std::string outPath,
                 std::string errPath)
    : outPath_(std::move(outPath)), errPath_(std::move(errPath))
{
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &entry : env)
        envp.push_back(const_cast<char *>(entry.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int error = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw std::runtime_error("posix_spawn " + argv[0] + ": " + strerror(error));
}

Process::~Process()
{
    if (!exit_) {
        kill(pid_, SIGKILL);
        kill(pid_, SIGCONT);
        int status;
        waitpid(pid_, &status, 0);
    }
}

void Process::signal(int number) const
{
    if (!exit_)
        kill(pid_, number);
}

std::optional<Exit> Process::wait(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exit_) {
        int status;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exit_ = WIFEXITED(status) ? exitedWith(WEXITSTATUS(status)) : killedBy(WTERMSIG(status));
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        pause();
    }
    return exit_;
}

Exit Process::stop()
{
    signal(SIGTERM);
    if (auto exit = wait(5s))
        return *exit;
    signal(SIGKILL);
    return *wait(5s);
}

bool Process::waitForOutput(const std::string &text, std::chrono::milliseconds timeout, bool onStderr) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if ((onStderr ? err() : out()).find(text) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        pause();
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

Testbed::Testbed()
{
    bus_ = start({"/usr/bin/dbus-daemon", "--config-file=" VELMORA_BUS_CONF, "--address=" + busAddress(), "--nofork",
                  "--print-address=1"},
                 "bus");
    if (!bus_->waitForOutput(busAddress()))
        throw std::runtime_error("dbus-daemon did not start: " + bus_->err());
}

Testbed::~Testbed()
{
    if (sim_)
        sim_->stop();
}

std::string Testbed::busAddress() const
{
    return "unix:path=" + dir_.file("bus");
}

std::vector<std::string> Testbed::environment() const
{
    std::vector<std::string> env;
    for (char **entry = environ; *entry; ++entry)
        if (strncmp(*entry, "DBUS_", 5) != 0)
            env.emplace_back(*entry);
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + busAddress());
    return env;
}

std::unique_ptr<Process> Testbed::start(const std::vector<std::string> &argv, const std::string &name)
{
    std::vector<std::string> full = argv;
    if (full[0].find('/') == std::string::npos)
        full[0] = binPath(full[0]);
    return std::make_unique<Process>(full, environment(), dir_.file(name + ".out"), dir_.file(name + ".err"));
}

Process &Testbed::startSim(const std::vector<std::string> &options, const std::string &name)
{
    std::vector<std::string> argv = {"bluetooth-sim"};
    argv.insert(argv.end(), options.begin(), options.end());
    sim_ = start(argv, name);
    if (!sim_->waitForOutput("ready "))
        throw std::runtime_error("bluetooth-sim did not start: " + sim_->err());
    return *sim_;
}

std::vector<std::string> Testbed::agentArgv(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {binPath("agent")};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

void Testbed::stopBus()
{
    bus_->signal(SIGKILL);
    bus_->wait(5s);
}

AgentRun runAgent(const std::vector<std::string> &simOptions, const std::vector<std::string> &agentArgs,
             std::chrono::milliseconds timeout)
{
    Testbed bed;
    bed.startSim(simOptions);
    auto agent = bed.startAgent(agentArgs);
    AgentRun run;
    run.pid = agent->pid();
    auto exit = agent->wait(timeout);
    if (!exit) {
        agent->stop();
        throw std::runtime_error("agent did not end; stderr: " + agent->err());
    }
    run.exit = *exit;
    // The daemon finishes its script before it leaves, so its log is whole.
    bed.sim().stop();
    run.out = agent->out();
    run.err = agent->err();
    run.sim = bed.sim().out();
    return run;
}

AgentRun runAgentWithoutBus(const std::vector<std::string> &agentArgs)
{
    TempDir dir;
    std::vector<std::string> env = {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir.file("no-bus")};
    if (const char *asan = getenv("ASAN_OPTIONS"))
        env.push_back(std::string("ASAN_OPTIONS=") + asan);
    Process agent(Testbed::agentArgv(agentArgs), env, dir.file("agent.out"), dir.file("agent.err"));
    AgentRun run;
    run.pid = agent.pid();
    auto exit = agent.wait(20s);
    if (!exit)
        throw std::runtime_error("agent did not end");
    run.exit = *exit;
    run.out = agent.out();
    run.err = agent.err();
    return run;
}

std::vector<std::string> linesWith(const std::string &text, const std::string &word)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.find(word) != std::string::npos)
            lines.push_back(line);
    return lines;
}

} // namespace testbed
