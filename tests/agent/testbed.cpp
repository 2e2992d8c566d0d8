#include "testbed.h"

#include <pwd.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testbed {

namespace {

// Standard output and error in files of the directory, named after the process.
std::unique_ptr<Process> startLogged(const std::vector<std::string> &argv, std::vector<std::string> env,
                                     const TempDir &dir, const std::string &name)
{
    testsupport::Command command(argv);
    command.env = std::move(env);
    command.out = testsupport::Stream::file(dir.file(name + ".out"));
    command.err = testsupport::Stream::file(dir.file(name + ".err"));
    return std::make_unique<Process>(command);
}

// The project's bus configuration with the user running the tests as the
// Bluetooth daemon's user, in place of root.
std::string busConfig(const TempDir &dir)
{
    const std::string daemonUser = "<policy user=\"root\">";
    std::string config = readFile(VELMORA_BUS_CONF);
    size_t at = config.find(daemonUser);
    const passwd *user = getpwuid(geteuid());
    if (at == std::string::npos || !user)
        throw std::runtime_error("cannot name the daemon's user in " VELMORA_BUS_CONF);
    config.replace(at, daemonUser.size(), std::string("<policy user=\"") + user->pw_name + "\">");
    std::string path = dir.file("bus.conf");
    std::ofstream(path) << config;
    return path;
}

} // namespace

std::string binPath(const std::string &program)
{
    return std::string(VELMORA_BIN_DIR) + "/" + program;
}

Testbed::Testbed()
{
    bus_ = start({"/usr/bin/dbus-daemon", "--config-file=" + busConfig(dir_), "--address=" + busAddress(), "--nofork",
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
    std::vector<std::string> env = testsupport::environment([](std::string_view name) { return name.starts_with("DBUS_"); });
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + busAddress());
    return env;
}

std::unique_ptr<Process> Testbed::start(const std::vector<std::string> &argv, const std::string &name)
{
    std::vector<std::string> full = argv;
    if (full[0].find('/') == std::string::npos)
        full[0] = binPath(full[0]);
    return startLogged(full, environment(), dir_, name);
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
    TempDir dir("velmora-agent");
    std::vector<std::string> env = {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir.file("no-bus")};
    if (const char *asan = getenv("ASAN_OPTIONS"))
        env.push_back(std::string("ASAN_OPTIONS=") + asan);
    auto agent = startLogged(Testbed::agentArgv(agentArgs), env, dir, "agent");
    AgentRun run;
    run.pid = agent->pid();
    auto exit = agent->wait(20s);
    if (!exit)
        throw std::runtime_error("agent did not end");
    run.exit = *exit;
    run.out = agent->out();
    run.err = agent->err();
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
