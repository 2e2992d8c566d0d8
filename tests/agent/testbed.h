// Test bed for the pairing agent: a private system-like bus, the simulated
// Bluetooth daemon and the agent, each a real process with its output in a
// per-test temporary directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

namespace testbed {

using namespace std::chrono_literals;

std::string binPath(const std::string &program);

using testsupport::describe;
using testsupport::Exit;
using testsupport::exitedWith;
using testsupport::killedBy;
using testsupport::Process;
using testsupport::readFile;
using testsupport::TempDir;

class Testbed {
  public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed &) = delete;
    Testbed &operator=(const Testbed &) = delete;

    const TempDir &dir() const { return dir_; }
    std::string busAddress() const;
    // This process's environment with the system bus pointed at the private bus.
    std::vector<std::string> environment() const;

    // Starts bluetooth-sim with these options and waits until it owns its name.
    Process &startSim(const std::vector<std::string> &options, const std::string &name = "sim");
    Process &sim() { return *sim_; }
    // Starts a program of bin/ (or with a path) on the private bus.
    std::unique_ptr<Process> start(const std::vector<std::string> &argv, const std::string &name);
    std::unique_ptr<Process> startAgent(const std::vector<std::string> &args) { return start(agentArgv(args), "agent"); }
    static std::vector<std::string> agentArgv(const std::vector<std::string> &args);
    // Kills the bus daemon.
    void stopBus();

  private:
    TempDir dir_{"velmora-agent"};
    std::unique_ptr<Process> bus_;
    std::unique_ptr<Process> sim_;
};

// One agent run from start to its own end against a simulated daemon.
struct AgentRun {
    Exit exit;
    std::string out; // agent's standard output
    std::string err; // agent's standard error
    std::string sim; // the simulated daemon's log, complete
    pid_t pid = -1;
};
AgentRun runAgent(const std::vector<std::string> &simOptions, const std::vector<std::string> &agentArgs,
             std::chrono::milliseconds timeout = 20s);

// The agent run with the system bus address pointing at nothing: any bus use
// fails rather than reaching a real bus.
AgentRun runAgentWithoutBus(const std::vector<std::string> &agentArgs);

// Lines of text that contain the word.
std::vector<std::string> linesWith(const std::string &text, const std::string &word);

} // namespace testbed
