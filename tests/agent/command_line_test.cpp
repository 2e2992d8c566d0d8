// The agent's command line: usage text, statuses, option order and operands.
#include <gtest/gtest.h>

#include "testbed.h"

using namespace testbed;

namespace {

const char usage[] =
    "Bluetooth agent ver 4.47\n\n"
    "Usage:\n"
    "\tagent [--adapter adapter-path] [--path agent-path] <passkey> [<device>]\n"
    "\n";

// A registering run that the daemon releases at once.
AgentRun registerAndRelease(const std::vector<std::string>& agentArgs) {
    return runAgent({"--on-register", "ping; release"}, agentArgs);
}

TEST(Usage, NoArgumentsPrintsUsageAndFails) {
    AgentRun run = runAgentWithoutBus({});
    EXPECT_EQ(run.exit, exitedWith(1));
    EXPECT_EQ(run.out, usage);
    EXPECT_EQ(run.err, "");
}

TEST(Usage, OptionsWithoutPasskeyPrintUsageAndFail) {
    AgentRun run = runAgentWithoutBus({"-r", "-a", "hci0"});
    EXPECT_EQ(run.exit, exitedWith(1));
    EXPECT_EQ(run.out, usage);
}

TEST(Usage, HelpSucceedsWithoutTouchingTheBus) {
    for (auto args :
         std::vector<std::vector<std::string>>{{"-h"}, {"--help"}, {"-h", "1234"}, {"-r", "--help", "1234", "dev"}}) {
        AgentRun run = runAgentWithoutBus(args);
        EXPECT_EQ(run.exit, exitedWith(0)) << args[0];
        EXPECT_EQ(run.out, usage);
        EXPECT_EQ(run.err, "");
    }
}

TEST(Usage, OptionsActInTheOrderTheyStand) {
    AgentRun badPathFirst = runAgentWithoutBus({"-p", "test/agent", "-h"});
    EXPECT_EQ(badPathFirst.exit, exitedWith(1));
    EXPECT_EQ(badPathFirst.err, "Invalid path\n");
    EXPECT_EQ(badPathFirst.out, "");

    AgentRun helpFirst = runAgentWithoutBus({"-h", "-p", "test/agent"});
    EXPECT_EQ(helpFirst.exit, exitedWith(0));
    EXPECT_EQ(helpFirst.out, usage);
}

TEST(Usage, UnknownOptionsAndMissingArgumentsFailWithoutUsage) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"--capabilities", "KeyboardOnly", "1234"}, {"-x", "1234"}, {"1234", "-a"}, {"-a"}, {"--path"}}) {
        AgentRun run = runAgentWithoutBus(args);
        if (args[0] == "1234") {
            // "-a" after the passkey is the device operand: pairing mode, which
            // then finds no bus.
            EXPECT_EQ(run.err, "Can't get on system bus");
        } else {
            EXPECT_NE(run.err, "") << args[0] << ": getopt_long's own diagnostic";
            EXPECT_EQ(run.out, "");
        }
        EXPECT_EQ(run.exit, exitedWith(1)) << args[0];
    }
}

TEST(Usage, PathMustBeAnObjectPath) {
    for (const char* path : {"test/agent", "", "/trailing/", "/double//slash", "/bad-char"}) {
        AgentRun run = runAgentWithoutBus({"-p", path, "1234"});
        EXPECT_EQ(run.exit, exitedWith(1)) << path;
        EXPECT_EQ(run.err, "Invalid path\n") << path;
    }
}

TEST(Usage, TextThatIsNotUtf8IsRefused) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"12\xff"}, {"1234", "dev\xfe"}, {"-a", "hci\xff", "1234"}, {"-c", "\xc3", "1234"}}) {
        AgentRun run = runAgentWithoutBus(args);
        EXPECT_EQ(run.exit, exitedWith(1));
        EXPECT_EQ(run.err, "Invalid argument: not UTF-8 text\n");
    }
}

TEST(Usage, NoSystemBus) {
    AgentRun run = runAgentWithoutBus({"1234"});
    EXPECT_EQ(run.exit, exitedWith(1));
    EXPECT_EQ(run.err, "Can't get on system bus");
    EXPECT_EQ(run.out, "");
}

TEST(AgentPath, DefaultsToOneNamedAfterTheProcessId) {
    AgentRun run = registerAndRelease({"1234"});
    EXPECT_EQ(run.exit, exitedWith(0));
    std::string path = "/org/tavik/agent_" + std::to_string(run.pid);
    std::string registered = linesWith(run.sim, "call RegisterAgent").at(0);
    EXPECT_TRUE(registered.ends_with(" o:\"" + path + "\" s:\"DisplayYesNo\"")) << registered;
    EXPECT_EQ(linesWith(run.sim, "answer Ping").at(0), "answer Ping return");
}

TEST(AgentPath, PathOptionServesTheAgentThere) {
    AgentRun run = runAgent({"--on-register", "pin /org/tavik/hci0/dev_1; release"}, {"-p", "/test/agent", "1234"});
    EXPECT_EQ(run.exit, exitedWith(0));
    EXPECT_TRUE(linesWith(run.sim, "call RegisterAgent").at(0).ends_with(" o:\"/test/agent\" s:\"DisplayYesNo\""));
    EXPECT_EQ(linesWith(run.sim, "answer RequestPinCode").at(0), "answer RequestPinCode return s:\"1234\"");
}

TEST(AgentPath, LaterPathOptionWins) {
    AgentRun run = registerAndRelease({"-p", "/first", "--path", "/second", "1234"});
    EXPECT_EQ(run.exit, exitedWith(0));
    EXPECT_NE(linesWith(run.sim, "call RegisterAgent").at(0).find(" o:\"/second\" "), std::string::npos);
}

TEST(Options, CapabilityIsSpelledCapabilites) {
    AgentRun run = registerAndRelease({"--capabilites", "KeyboardOnly", "1234"});
    EXPECT_EQ(run.exit, exitedWith(0));
    EXPECT_NE(linesWith(run.sim, "call RegisterAgent").at(0).find(" s:\"KeyboardOnly\""), std::string::npos);

    AgentRun shortForm = registerAndRelease({"-c", "NoInputNoOutput", "1234"});
    EXPECT_NE(linesWith(shortForm.sim, "call RegisterAgent").at(0).find(" s:\"NoInputNoOutput\""), std::string::npos);
}

TEST(Options, OptionAfterThePasskeyIsTheDevice) {
    AgentRun run = runAgent({"--on-pair", "pin /org/tavik/hci0/dev_r; release"}, {"1234", "-r"});
    EXPECT_EQ(run.exit, exitedWith(0));
    auto pair = linesWith(run.sim, "call CreatePairedDevice");
    ASSERT_EQ(pair.size(), 1u);
    EXPECT_NE(pair[0].find(" s:\"-r\" o:\""), std::string::npos) << pair[0];
    EXPECT_TRUE(linesWith(run.sim, "call RegisterAgent").empty());
    // Reject stayed off: the PIN code is handed out.
    EXPECT_EQ(linesWith(run.sim, "answer RequestPinCode").at(0), "answer RequestPinCode return s:\"1234\"");
}

TEST(Options, ThirdOperandIsIgnored) {
    AgentRun run = runAgent({"--on-pair", "release"}, {"1234", "00:11:22:33:44:55", "extra"});
    EXPECT_EQ(run.exit, exitedWith(0));
    auto pair = linesWith(run.sim, "call CreatePairedDevice");
    ASSERT_EQ(pair.size(), 1u);
    EXPECT_NE(pair[0].find(" s:\"00:11:22:33:44:55\" o:\"/org/tavik/agent_"), std::string::npos) << pair[0];
    EXPECT_EQ(pair[0].find("extra"), std::string::npos);
}

}  // namespace
