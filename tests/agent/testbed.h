// Test bed for the pairing agent: a private system-like bus, the simulated
// Bluetooth daemon and the agent, each a real process with its output in a
// per-test temporary directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "private_bus.h"
#include "process.h"
#include "temp_dir.h"

struct DBusConnection;

namespace testbed {

using namespace std::chrono_literals;

std::string binPath(const std::string& program);

using testsupport::describe;
using testsupport::Exit;
using testsupport::exitedWith;
using testsupport::killedBy;
using testsupport::Process;
using testsupport::readFile;
using testsupport::TempDir;

class Testbed {
public:
    Testbed() = default;
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    const TempDir& dir() const { return dir_; }
    std::string busAddress() const;
    // This process's environment with the system bus pointed at the private bus.
    std::vector<std::string> environment() const;

    // Starts bluetooth-sim with these options and waits until it owns its name.
    Process& startSim(const std::vector<std::string>& options, const std::string& name = "sim");
    Process& sim() { return *sim_; }
    // Starts a program of bin/ (or with a path) on the private bus.
    std::unique_ptr<Process> start(const std::vector<std::string>& argv, const std::string& name);
    std::unique_ptr<Process> startAgent(const std::vector<std::string>& args) {
        return start(agentArgv(args), "agent");
    }
    static std::vector<std::string> agentArgv(const std::vector<std::string>& args);
    // Kills the bus daemon.
    void stopBus();

private:
    TempDir dir_{"velmora-agent"};
    testsupport::PrivateBus bus_{dir_};
    std::unique_ptr<Process> sim_;
};

// A connection of the test's own on the private bus: a stranger to the agent,
// or a client that takes a name over.
class BusClient {
public:
    explicit BusClient(const std::string& address);
    ~BusClient();
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    std::string uniqueName() const;
    // Becomes the name's owner, replacing the one there; false if refused.
    bool takeName(const std::string& name);
    // A method call, waiting for its answer: "return" and the arguments as
    // bluetooth-sim logs them (" s:\"0042\"", " u:42"), or "error NAME".
    // Arguments are "o:PATH" or "s:TEXT" words.
    std::string call(const std::string& destination, const std::string& path, const std::string& interface,
                     const std::string& member, const std::vector<std::string>& args = {});
    // A signal from the bus's path and interface, addressed to one connection.
    void signalTo(const std::string& destination, const std::string& member, const std::vector<std::string>& args);

private:
    DBusConnection* connection_;
};

// The unique name of the connection that registered the agent, from the
// simulated daemon's log.
std::string agentConnection(const std::string& simLog);

// One agent run from start to its own end against a simulated daemon.
struct AgentRun {
    Exit exit;
    std::string out;  // agent's standard output
    std::string err;  // agent's standard error
    std::string sim;  // the simulated daemon's log, complete
    pid_t pid = -1;
};
AgentRun runAgent(const std::vector<std::string>& simOptions, const std::vector<std::string>& agentArgs,
                  std::chrono::milliseconds timeout = 20s);

// The agent run with the system bus address pointing at nothing: any bus use
// fails rather than reaching a real bus.
AgentRun runAgentWithoutBus(const std::vector<std::string>& agentArgs);

// Lines of text that contain the word.
std::vector<std::string> linesWith(const std::string& text, const std::string& word);

}  // namespace testbed
