// Whom the agent answers: only the connection that owns the daemon's name,
// followed as the name passes on. Everyone else is refused and leaves no
// trace in the agent's output; only the bus can say that the daemon left.
#include <gtest/gtest.h>

#include <csignal>

#include "testbed.h"

using namespace testbed;

namespace {

const std::string device = "o:/org/tavik/hci0/dev_00_11_22_33_44_55";
const std::string deviceLine = "/org/tavik/hci0/dev_00_11_22_33_44_55\n";
const std::string rejected = "error org.tavik.Error.Rejected";

// An agent at /test/agent registered with the simulated daemon, its loop
// known to be serving.
struct Registered {
    Testbed bed;
    std::unique_ptr<Process> agent;
    std::string agentName;
    std::string daemonName;

    Registered() {
        bed.startSim({"--on-register", "ping"});
        agent = bed.startAgent({"-p", "/test/agent", "0042"});
        EXPECT_TRUE(bed.sim().waitForOutput("answer Ping return", 60s)) << bed.sim().out() << agent->err();
        agentName = agentConnection(bed.sim().out());
        daemonName = linesWith(bed.sim().out(), "ready ").at(0).substr(6);
    }

    std::string call(BusClient& client, const std::string& member, const std::vector<std::string>& args = {}) {
        return client.call(agentName, "/test/agent", "org.tavik.Agent", member, args);
    }
};

TEST(Strangers, AreRefusedSilentlyAndCannotEndTheAgent) {
    Registered run;
    BusClient stranger(run.bed.busAddress());
    const std::vector<std::pair<std::string, std::vector<std::string>>> calls = {
        {"RequestPinCode", {device}},
        {"RequestPasskey", {device}},
        {"Authorize", {device, "s:0000110a-0000-1000-8000-00805f9b34fb"}},
        {"Cancel", {}},
        {"Release", {}},
        {"RequestPinCode", {"s:not a path"}},  // would make the agent complain
        {"ConfirmPasskey", {device}},
    };
    for (const auto& [member, args] : calls) EXPECT_EQ(run.call(stranger, member, args), rejected) << member;

    // Signals in the bus's name: the daemon gone, the name handed to the
    // stranger, and one the agent could not read.
    for (const std::string& newOwner : {std::string(), stranger.uniqueName()})
        stranger.signalTo(run.agentName, "NameOwnerChanged", {"s:org.tavik", "s:" + run.daemonName, "s:" + newOwner});
    stranger.signalTo(run.agentName, "NameOwnerChanged", {"s:org.tavik"});
    // Answered after the signals were dispatched: they reached the agent.
    EXPECT_EQ(run.call(stranger, "RequestPinCode", {device}), rejected);
    ASSERT_FALSE(run.agent->wait(0ms).has_value()) << run.agent->err();

    // The registration still stands with the daemon, which never left.
    run.agent->signal(SIGINT);
    EXPECT_EQ(run.agent->wait(20s), exitedWith(0));
    EXPECT_EQ(run.agent->out(), "");
    EXPECT_EQ(run.agent->err(), "");
    run.bed.sim().stop();
    EXPECT_EQ(linesWith(run.bed.sim().out(), "call UnregisterAgent").size(), 1u);
    EXPECT_EQ(linesWith(run.bed.sim().out(), "call ").size(), 3u) << "DefaultAdapter, RegisterAgent, UnregisterAgent";
}

TEST(Owners, TheAgentServesWhoeverOwnsTheNameAtTheTimeOfTheCall) {
    Registered run;
    BusClient first(run.bed.busAddress());
    BusClient second(run.bed.busAddress());

    ASSERT_TRUE(first.takeName("org.tavik"));
    EXPECT_TRUE(run.bed.sim().waitForOutput("lost org.tavik", 60s));
    EXPECT_EQ(run.call(first, "RequestPinCode", {device}), "return s:\"0042\"");
    EXPECT_EQ(run.call(second, "RequestPinCode", {device}), rejected);

    ASSERT_TRUE(second.takeName("org.tavik"));
    EXPECT_EQ(run.call(first, "RequestPasskey", {device}), rejected);
    EXPECT_EQ(run.call(first, "Release"), rejected);
    EXPECT_EQ(run.call(second, "RequestPasskey", {device}), "return u:42");
    EXPECT_EQ(run.call(second, "Release"), "return");

    EXPECT_EQ(run.agent->wait(20s), exitedWith(0));
    EXPECT_EQ(run.agent->out(),
              "Pincode request for device " + deviceLine + "Passkey request for device " + deviceLine);
    EXPECT_EQ(run.agent->err(), "Agent has been released\n");
}

TEST(Owners, TheDaemonItselfCannotSpeakForTheBus) {
    AgentRun run = runAgent({"--on-register",
                             "ping; signal org.freedesktop.DBus NameOwnerChanged s:org.tavik s::1.0 s:; "
                             "signal org.freedesktop.DBus NameOwnerChanged u:1 s: s:; ping; release"},
                            {"1234"});
    EXPECT_EQ(run.exit, exitedWith(0));
    EXPECT_EQ(linesWith(run.sim, "answer Ping return").size(), 2u);
    EXPECT_EQ(run.err, "Agent has been released\n");
}

}  // namespace
