// How a run ends: signals, release, the daemon leaving the bus, the bus
// itself going away, and whether the agent unregisters on the way out.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "testbed.h"

using namespace testbed;

namespace {

// A running agent whose loop is known to be serving: the daemon's first
// scripted step is a Ping that only the loop answers.
struct Serving {
    Testbed bed;
    std::unique_ptr<Process> agent;

    Serving(std::vector<std::string> simOptions, const std::vector<std::string>& agentArgs,
            const char* scriptOption = "--on-register", const std::string& script = "") {
        simOptions.insert(simOptions.end(), {scriptOption, "ping;" + script});
        bed.startSim(simOptions);
        agent = bed.startAgent(agentArgs);
        EXPECT_TRUE(bed.sim().waitForOutput("answer Ping return")) << bed.sim().out() << agent->err();
    }

    Exit end() {
        auto exit = agent->wait(20s);
        EXPECT_TRUE(exit.has_value()) << "agent still running";
        return exit.value_or(killedBy(SIGKILL));
    }

    std::string simLog() {
        bed.sim().stop();
        return bed.sim().out();
    }
};

TEST(Signals, InterruptInRegisteringModeUnregisters) {
    for (int signal : {SIGINT, SIGTERM}) {
        Serving run({}, {"1234"});
        run.agent->signal(signal);
        EXPECT_EQ(run.end(), exitedWith(0)) << signal;
        EXPECT_EQ(run.agent->err(), "");
        EXPECT_EQ(linesWith(run.simLog(), "call UnregisterAgent").size(), 1u);
    }
}

TEST(Signals, InterruptInPairingModeDoesNotUnregister) {
    for (int signal : {SIGINT, SIGTERM}) {
        Serving run({}, {"1234", "00:11:22:33:44:55"}, "--on-pair");
        run.agent->signal(signal);
        EXPECT_EQ(run.end(), exitedWith(0)) << signal;
        EXPECT_EQ(run.agent->err(), "");
        EXPECT_TRUE(linesWith(run.simLog(), "UnregisterAgent").empty());
    }
}

TEST(Release, EndsTheRunWithoutUnregistering) {
    AgentRun run = runAgent({"--on-register", "release"}, {"1234"});
    EXPECT_EQ(run.exit, exitedWith(0));
    EXPECT_EQ(run.err, "Agent has been released\n");
    EXPECT_EQ(linesWith(run.sim, "answer Release").at(0), "answer Release return");
    EXPECT_TRUE(linesWith(run.sim, "UnregisterAgent").empty());
}

TEST(Release, AfterAnInterruptIsAnsweredSilently) {
    // SIGINT must land while the Release is being dispatched; the debugger
    // stops the agent there and delivers the signal.
    if (testsupport::emulated()) GTEST_SKIP() << "the host's gdb cannot run an emulated agent";
    Testbed bed;
    bed.startSim({"--on-register", "release"});
    std::string out = bed.dir().file("agent.out");
    std::string err = bed.dir().file("agent.err");
    // LeakSanitizer cannot run under ptrace; the other runs check for leaks.
    auto gdb = bed.start({"/usr/bin/gdb", "-batch", "-nx", "-ex", "set environment ASAN_OPTIONS=detect_leaks=0", "-ex",
                          "break agent_dispatch", "-ex", "run 1234 >" + out + " 2>" + err, "-ex", "delete", "-ex",
                          "signal SIGINT", "--args", binPath("agent")},
                         "gdb");
    EXPECT_EQ(gdb->wait(60s), exitedWith(0));
    EXPECT_NE(gdb->out().find("exited normally"), std::string::npos) << gdb->out() << gdb->err();
    EXPECT_EQ(readFile(err), "");
    bed.sim().stop();
    std::string log = bed.sim().out();
    EXPECT_EQ(linesWith(log, "answer Release").at(0), "answer Release return");
    EXPECT_TRUE(linesWith(log, "UnregisterAgent").empty()) << log;
}

TEST(DaemonWatch, DaemonLeavingTheBusEndsTheRun) {
    Serving run({}, {"1234"}, "--on-register", "quit");
    EXPECT_EQ(run.end(), exitedWith(0));
    // No UnregisterAgent: it would have found no daemon and complained.
    EXPECT_EQ(run.agent->err(), "Agent has been terminated\n");
}

TEST(DaemonWatch, DaemonLeavingEndsAPairingToo) {
    Serving run({}, {"1234", "dev"}, "--on-pair", "quit");
    EXPECT_EQ(run.end(), exitedWith(0));
    EXPECT_EQ(run.agent->err(), "Agent has been terminated\n");
}

// The daemon answers and is gone before the agent has asked the bus who owns
// its name: the answer "no owner" is the only news of its departure, and ends
// the run just as the watch's signal does. Leaving right after answering
// races the agent's match rule and question; every order must end alike.
TEST(DaemonWatch, DaemonGoneBeforeItsOwnerIsKnownEndsTheRun) {
    struct Case {
        std::vector<std::string> sim;
        std::vector<std::string> agent;
        bool releasedFirst;
    };
    for (const Case& c : {Case{{"--leave-on", "RegisterAgent"}, {"1234"}, true},
                          Case{{"--leave-on", "CreatePairedDevice"}, {"1234", "dev"}, true},
                          Case{{"--on-register", "quit"}, {"1234"}, false}}) {
        AgentRun run = runAgent(c.sim, c.agent);
        EXPECT_EQ(run.exit, exitedWith(0)) << c.sim[0];
        // Once only, and no attempt to unregister from a daemon that is gone.
        EXPECT_EQ(run.err, "Agent has been terminated\n") << c.sim[0];
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(linesWith(run.sim, "released org.tavik").size(), c.releasedFirst ? 1u : 0u) << run.sim;
    }
}

TEST(DaemonWatch, NameTakenOverByAnotherDaemonChangesNothing) {
    Serving run({}, {"1234"});
    auto successor = run.bed.start({"bluetooth-sim", "--replace"}, "successor");
    ASSERT_TRUE(successor->waitForOutput("ready "));
    ASSERT_TRUE(run.bed.sim().waitForOutput("lost org.tavik"));
    std::this_thread::sleep_for(200ms);
    ASSERT_FALSE(run.agent->wait(0ms).has_value()) << run.agent->err();

    run.agent->signal(SIGINT);
    EXPECT_EQ(run.end(), exitedWith(0));
    // The unregistration goes to the daemon that now owns the name, which
    // never registered this agent.
    EXPECT_EQ(linesWith(successor->out(), "call UnregisterAgent").size(), 1u);
    EXPECT_EQ(run.agent->err(), "Can't unregister agent\nNo such agent\n");
    successor->stop();
}

TEST(BusLoss, LibdbusEndsTheProcessAndNoLineIsLost) {
    Serving run({}, {"1234"}, "--on-register", "pin /org/tavik/hci0/dev_1");
    ASSERT_TRUE(run.bed.sim().waitForOutput("answer RequestPinCode"));
    run.bed.stopBus();
    EXPECT_EQ(run.end(), exitedWith(1));
    EXPECT_EQ(run.agent->out(), "Pincode request for device /org/tavik/hci0/dev_1\n");
    EXPECT_EQ(run.agent->err(), "");
}

TEST(StartUp, TerminatedWhileWaitingForTheDaemon) {
    for (const char* member : {"DefaultAdapter", "RegisterAgent"}) {
        Testbed bed;
        bed.startSim({"--hang", member});
        auto agent = bed.startAgent({"1234"});
        ASSERT_TRUE(bed.sim().waitForOutput(std::string("call ") + member));
        agent->signal(SIGTERM);
        // No handler is installed before the loop: SIGTERM ends the process.
        EXPECT_EQ(agent->wait(20s), killedBy(SIGTERM)) << member;
        EXPECT_EQ(agent->out(), "");
        EXPECT_EQ(agent->err(), "");
        bed.sim().stop();
        EXPECT_TRUE(linesWith(bed.sim().out(), "UnregisterAgent").empty());
    }
}

}  // namespace
