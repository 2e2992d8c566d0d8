// The agent's calls to the daemon: adapter lookup, registration, pairing
// request and unregistration, and how each failure is reported.
#include <gtest/gtest.h>

#include <csignal>

#include "testbed.h"

using namespace testbed;

namespace {

// Runs the agent until the daemon has logged the text, then interrupts it.
// The agent installs its handler just before its loop, after the daemon has
// seen its calls; an answered Ping shows the loop is running, so that the
// signal cannot come first on a slow machine.
AgentRun interruptAfter(const std::vector<std::string>& simOptions, const std::vector<std::string>& agentArgs,
                        const std::string& simText) {
    Testbed bed;
    bed.startSim(simOptions);
    auto agent = bed.startAgent(agentArgs);
    EXPECT_TRUE(bed.sim().waitForOutput(simText)) << bed.sim().out();
    BusClient client(bed.busAddress());
    EXPECT_EQ(client.call(agentConnection(bed.sim().out()), "/", "org.freedesktop.DBus.Peer", "Ping"), "return");
    agent->signal(SIGINT);
    AgentRun run;
    run.exit = agent->wait(20s).value_or(killedBy(SIGKILL));
    bed.sim().stop();
    run.out = agent->out();
    run.err = agent->err();
    run.sim = bed.sim().out();
    return run;
}

TEST(AdapterLookup, NamedAdapterIsFound) {
    AgentRun run = runAgent({"--on-register", "release"}, {"-a", "hci1", "1234"});
    EXPECT_EQ(run.exit, exitedWith(0));
    EXPECT_EQ(linesWith(run.sim, "call FindAdapter").size(), 1u);
    EXPECT_TRUE(linesWith(run.sim, "call FindAdapter").at(0).ends_with(" s:\"hci1\""));
    EXPECT_TRUE(linesWith(run.sim, "call DefaultAdapter").empty());
    EXPECT_EQ(linesWith(run.sim, "call RegisterAgent").at(0).find("call RegisterAgent /org/tavik/hci1 "), 0u);
}

TEST(AdapterLookup, UnknownAdapterReportsTheDaemonsMessage) {
    AgentRun run = runAgent({}, {"--adapter", "hci9", "1234"});
    EXPECT_EQ(run.exit, exitedWith(1));
    EXPECT_EQ(run.err, "Can't find adapter hci9\nNo such adapter: hci9\n");
    EXPECT_TRUE(linesWith(run.sim, "RegisterAgent").empty());
}

TEST(AdapterLookup, NoDefaultAdapter) {
    AgentRun run = runAgent({"--no-default-adapter"}, {"1234"});
    EXPECT_EQ(run.exit, exitedWith(1));
    EXPECT_EQ(run.err, "Can't get default adapter\nNo adapter available\n");
}

TEST(AdapterLookup, NoDaemonOnTheBus) {
    Testbed bed;
    auto agent = bed.startAgent({"1234"});
    EXPECT_EQ(agent->wait(20s), exitedWith(1));
    std::string err = agent->err();
    const std::string head = "Can't get default adapter\n";
    ASSERT_EQ(err.substr(0, head.size()), head);
    // The bus's own explanation, on a line of its own.
    EXPECT_NE(err.find("org.tavik", head.size()), std::string::npos) << err;
    EXPECT_TRUE(err.ends_with("\n"));
}

TEST(AdapterLookup, StringInsteadOfObjectPath) {
    for (auto args : std::vector<std::vector<std::string>>{{"1234"}, {"-a", "hci0", "1234"}}) {
        AgentRun run = runAgent({"--string-reply"}, args);
        EXPECT_EQ(run.exit, exitedWith(1));
        const std::string head = "Can't get reply arguments\n";
        ASSERT_EQ(run.err.substr(0, head.size()), head) << run.err;
        EXPECT_GT(run.err.size(), head.size() + 1) << "libdbus's message about the argument type follows";
        EXPECT_TRUE(run.err.ends_with("\n"));
    }
}

TEST(Registration, RegisterAgentErrorFailsTheRun) {
    AgentRun run = runAgent({"--fail", "RegisterAgent=Adapter is busy"}, {"1234"});
    EXPECT_EQ(run.exit, exitedWith(1));
    EXPECT_EQ(run.err, "Can't register agent\nAdapter is busy\n");
    EXPECT_TRUE(linesWith(run.sim, "UnregisterAgent").empty());
}

TEST(Registration, InterruptUnregistersWithTheAgentPath) {
    AgentRun run = interruptAfter({"--on-register", "ping"}, {"-p", "/test/agent", "1234"}, "answer Ping");
    EXPECT_EQ(run.exit, exitedWith(0));
    EXPECT_EQ(run.err, "");
    auto unregister = linesWith(run.sim, "call UnregisterAgent");
    ASSERT_EQ(unregister.size(), 1u);
    EXPECT_TRUE(unregister[0].starts_with("call UnregisterAgent /org/tavik/hci0 "));
    EXPECT_TRUE(unregister[0].ends_with(" o:\"/test/agent\""));
}

TEST(Registration, UnregisterErrorIsReportedButTheRunSucceeds) {
    AgentRun run =
        interruptAfter({"--on-register", "ping", "--fail", "UnregisterAgent=Agent unknown"}, {"1234"}, "answer Ping");
    EXPECT_EQ(run.exit, exitedWith(0));
    EXPECT_EQ(run.err, "Can't unregister agent\nAgent unknown\n");
}

TEST(Pairing, CreatePairedDeviceNamesDeviceAgentAndCapability) {
    AgentRun run = interruptAfter({}, {"-p", "/pair/agent", "-c", "KeyboardOnly", "1234", "00:11:22:33:44:55"},
                                  "call CreatePairedDevice");
    EXPECT_EQ(run.exit, exitedWith(0));
    EXPECT_EQ(run.err, "");
    auto pair = linesWith(run.sim, "call CreatePairedDevice");
    ASSERT_EQ(pair.size(), 1u);
    EXPECT_TRUE(pair[0].starts_with("call CreatePairedDevice /org/tavik/hci0 "));
    EXPECT_TRUE(pair[0].ends_with(" s:\"00:11:22:33:44:55\" o:\"/pair/agent\" s:\"KeyboardOnly\"")) << pair[0];
    EXPECT_TRUE(linesWith(run.sim, "RegisterAgent").empty());
    EXPECT_TRUE(linesWith(run.sim, "UnregisterAgent").empty());
}

TEST(Pairing, DaemonErrorIsNotReadAndTheAgentRunsOn) {
    AgentRun run =
        interruptAfter({"--fail", "CreatePairedDevice=Pairing failed"}, {"1234", "dev"}, "call CreatePairedDevice");
    EXPECT_EQ(run.exit, exitedWith(0));
    EXPECT_EQ(run.err, "");
}

TEST(Pairing, AgentObjectAnswersDuringThePairing) {
    AgentRun run = runAgent({"--on-pair",
                             "pin /org/tavik/hci0/dev_1; passkey /org/tavik/hci0/dev_1; "
                             "authorize /org/tavik/hci0/dev_1 0000111f; release"},
                            {"-a", "hci1", "987654", "00:11:22:33:44:55"});
    EXPECT_EQ(run.exit, exitedWith(0));
    EXPECT_EQ(linesWith(run.sim, "answer ").size(), 4u) << run.sim;
    EXPECT_EQ(linesWith(run.sim, "answer RequestPinCode").at(0), "answer RequestPinCode return s:\"987654\"");
    EXPECT_EQ(linesWith(run.sim, "answer RequestPasskey").at(0), "answer RequestPasskey return u:987654");
    EXPECT_EQ(linesWith(run.sim, "answer Authorize").at(0), "answer Authorize return");
    EXPECT_EQ(linesWith(run.sim, "answer Release").at(0), "answer Release return");
    EXPECT_EQ(run.err, "Agent has been released\n");
    EXPECT_TRUE(linesWith(run.sim, "UnregisterAgent").empty());
}

}  // namespace
