// The agent object as the daemon sees it: answers, request lines, reject mode
// and calls that do not fit.
#include <gtest/gtest.h>

#include "testbed.h"

using namespace testbed;

namespace {

const char device[] = "/org/tavik/hci0/dev_00_11_22_33_44_55";

std::string steps(std::initializer_list<std::string> list) {
    std::string script;
    for (const std::string& step : list) script += step + ";";
    return script;
}

std::vector<std::string> answers(const AgentRun& run) { return linesWith(run.sim, "answer "); }

struct PasskeyCase {
    const char* operand;
    const char* passkey;  // the RequestPasskey answer, as the daemon logs it
};

void PrintTo(const PasskeyCase& c, std::ostream* out) { *out << '"' << c.operand << "\" -> " << c.passkey; }

class PasskeyConversion : public ::testing::TestWithParam<PasskeyCase> {};

TEST_P(PasskeyConversion, PinIsTheOperandAndPasskeyItsNumber) {
    const PasskeyCase& c = GetParam();
    std::string dev = device;
    AgentRun run = runAgent({"--on-register", steps({"pin " + dev, "passkey " + dev, "passkey " + dev, "release"})},
                            {"--", c.operand});
    EXPECT_EQ(run.exit, exitedWith(0));
    std::string pin = std::string("answer RequestPinCode return s:\"") + c.operand + "\"";
    std::string passkey = std::string("answer RequestPasskey return u:") + c.passkey;
    EXPECT_EQ(answers(run), (std::vector<std::string>{pin, passkey, passkey, "answer Release return"}));
}

INSTANTIATE_TEST_SUITE_P(Operands, PasskeyConversion,
                         ::testing::Values(PasskeyCase{"123456", "123456"}, PasskeyCase{"000123", "123"},
                                           PasskeyCase{"12ab34", "12"}, PasskeyCase{"ab12", "0"},
                                           PasskeyCase{"4294967295", "4294967295"},
                                           PasskeyCase{"4294967296", "4294967295"},
                                           PasskeyCase{"123456789012345678901234567890", "4294967295"},
                                           PasskeyCase{"-1", "4294967295"}, PasskeyCase{"-4294967295", "1"},
                                           PasskeyCase{"-4294967296", "4294967295"}, PasskeyCase{" +42", "42"}),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(Requests, EachAnswerHasItsLine) {
    std::string dev = device;
    AgentRun run =
        runAgent({"--on-register",
                  steps({"pin " + dev, "passkey " + dev, "authorize " + dev + " 0000110a", "cancel", "release"})},
                 {"0042"});
    EXPECT_EQ(run.exit, exitedWith(0));
    EXPECT_EQ(answers(run),
              (std::vector<std::string>{"answer RequestPinCode return s:\"0042\"", "answer RequestPasskey return u:42",
                                        "answer Authorize return", "answer Cancel return", "answer Release return"}));
    EXPECT_EQ(run.out, "Pincode request for device " + dev + "\nPasskey request for device " + dev +
                           "\nAuthorizing request for " + dev + "\nRequest canceled\n");
    EXPECT_EQ(run.err, "Agent has been released\n");
}

TEST(Requests, RejectModeRefusesRequestsButAnswersCancelAndRelease) {
    std::string dev = device;
    for (const char* reject : {"-r", "--reject"}) {
        AgentRun run = runAgent(
            {"--on-register", steps({"pin " + dev, "passkey " + dev, "authorize " + dev + " x", "cancel", "release"})},
            {reject, "1234"});
        EXPECT_EQ(run.exit, exitedWith(0));
        const std::string rejected = " error org.tavik.Error.Rejected \"\"";
        EXPECT_EQ(answers(run), (std::vector<std::string>{
                                    "answer RequestPinCode" + rejected, "answer RequestPasskey" + rejected,
                                    "answer Authorize" + rejected, "answer Cancel return", "answer Release return"}));
        EXPECT_EQ(run.out, "Request canceled\n");
        EXPECT_EQ(run.err, "Agent has been released\n");
    }
}

// Calls that do not fit get libdbus's standard reply, the handler's message
// and nothing else; the agent goes on serving.
TEST(BadInput, CallsThatDoNotFitAreLeftToLibdbus) {
    struct Case {
        std::string step;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"call org.tavik.Agent RequestPinCode s:/org/tavik/hci0/dev_1", "Invalid arguments for RequestPinCode method"},
        {"call org.tavik.Agent RequestPinCode", "Invalid arguments for RequestPinCode method"},
        {"call org.tavik.Agent RequestPasskey u:7", "Invalid arguments for RequestPasskey method"},
        {"call org.tavik.Agent RequestPasskey s:/org/tavik/hci0/dev_1", "Invalid arguments for RequestPasskey method"},
        {"call org.tavik.Agent Authorize o:/org/tavik/hci0/dev_1", "Invalid arguments for Authorize method"},
        {"call org.tavik.Agent Authorize s:x s:y", "Invalid arguments for Authorize method"},
        {"call org.tavik.Agent ConfirmPasskey o:/org/tavik/hci0/dev_1 u:1", ""},
        // Another interface that the bus lets the daemon call.
        {"call org.freedesktop.DBus.Introspectable RequestPinCode o:/org/tavik/hci0/dev_1", ""},
        {"call org.freedesktop.DBus.Introspectable Release", ""},
    };
    std::string script;
    std::string expectedErr;
    for (const Case& c : cases) {
        script += c.step + "; ";
        expectedErr += c.message;
    }
    std::string dev = device;
    AgentRun run = runAgent({"--on-register", script + "passkey " + dev + "; release"}, {"1234"});
    EXPECT_EQ(run.exit, exitedWith(0));
    auto got = answers(run);
    ASSERT_EQ(got.size(), cases.size() + 2) << run.sim;
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_NE(got[i].find(" error org.freedesktop.DBus.Error.UnknownMethod "), std::string::npos)
            << cases[i].step << " -> " << got[i];
    EXPECT_EQ(got[cases.size()], "answer RequestPasskey return u:1234");
    EXPECT_EQ(run.out, "Passkey request for device " + dev + "\n");
    EXPECT_EQ(run.err, expectedErr + "Agent has been released\n");
}

}  // namespace
