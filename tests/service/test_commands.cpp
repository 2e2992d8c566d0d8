// The driver: usage and options, the failure table, check and list.
#include <algorithm>

#include "service_fixture.h"

namespace {

void expectRun(const Finished& run, const std::string& out, const std::string& err, int status) {
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, err);
    EXPECT_EQ(run.status, status);
}

const std::string kDemoListing =
    "Found 5 services:\n"
    "0\techo: [velmora.demo.IEcho]\n"
    "1\tfailing: [velmora.demo.IFailing]\n"
    "2\tno-interface: []\n"
    "3\tcaf-: [velmora.demo.ICaf]\n"
    "4\trefusing: []\n";

// --- usage and options ---

TEST_F(ServiceTool, NoWordsPrintsUsage) { expectRun(service({}), kUsage, "", 0); }

TEST_F(ServiceTool, HelpOptionsPrintOnlyUsageEvenBeforeACommand) {
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"-h"}, {"-?"}, {"-h", "list"}, {"-?", "list"}, {"-?", "call", "x", "1"}}) {
        SCOPED_TRACE(words.back());
        expectRun(service(words), kUsage, "", 0);
    }
}

TEST_F(ServiceTool, UnknownOptionLetterGivesGetoptComplaintAndUsage) {
    Finished run = service({"-x", "list"});
    EXPECT_EQ(run.out, kUsage);
    EXPECT_NE(run.err.find("x"), std::string::npos) << run.err;
    EXPECT_FALSE(run.err.starts_with("service: ")) << run.err;
    EXPECT_EQ(run.status, 0);
}

TEST_F(ServiceTool, WordsAfterTheCommandAreNotOptions) {
    expectRun(service({"list", "-h"}), "Found 0 services:\n", "", 0);
    expectRun(service({"check", "-x"}), "Service -x: not found\n", "", 0);
}

// --- failures ---

TEST_F(ServiceTool, NoServiceManagerGivesStatus20WithoutUsage) {
    env = environmentWith({"VELMORA_SERVICE_MANAGER=" + tmp + "/nobody-listens"});
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"list"}, {"-h"}, {}, {"call", "echo", "1"}}) {
        expectRun(service(words), "", "service: Unable to get default service manager!\n", 20);
    }
}

TEST_F(ServiceTool, CommandsMissingTheirWordsComplainAndPrintUsage) {
    expectRun(service({"check"}), kUsage, "service: No service specified for check\n", 10);
    expectRun(service({"call"}), kUsage, "service: No service specified for call\n", 10);
    expectRun(service({"call", "echo"}), kUsage, "service: No code specified for call\n", 10);
}

TEST_F(ServiceTool, UnknownCommandsIncludingOtherLetterCase) {
    for (const std::string word : {"LIST", "Check", "calls", "", "i32"}) {
        expectRun(service({word, "echo"}), kUsage, "service: Unknown command " + word + "\n", 10);
    }
}

TEST_F(ServiceToolWithDemo, CallOfAMissingServiceLooksAtNoArgumentWord) {
    // The bad argument word would complain if it were read.
    expectRun(service({"call", "nosuch", "1", "bogus"}), "", "service: Service nosuch does not exist\n", 10);
}

TEST_F(ServiceToolWithDemo, ServicesWithoutAnInterfaceNameDoNotExistForCall) {
    expectRun(service({"call", "no-interface", "1", "i32", "1"}), "", "service: Service no-interface does not exist\n",
              10);
    expectRun(service({"call", "refusing", "1"}), "", "service: Service refusing does not exist\n", 10);
}

TEST_F(ServiceToolWithDemo, FailedTransactionStillPrintsTheReply) {
    expectRun(service({"call", "failing", "1", "i32", "7"}), "Result: Parcel(size=0)\n", "", 0);
}

TEST_F(ServiceTool, HostDyingDuringTheCallStillPrintsAnEmptyReply) {
    startTestHost({"fragile:dies-on-call"});
    expectRun(service({"call", "fragile", "1"}), "Result: Parcel(size=0)\n", "", 0);
}

// --- check ---

TEST_F(ServiceToolWithDemo, CheckSaysFoundOrNotFoundWithTheNameAsTyped) {
    expectRun(service({"check", "echo", "ignored", "words"}), "Service echo: found\n", "", 0);
    expectRun(service({"check", "caf\xc3\xa9-\xf0\x9f\x98\x80"}), "Service caf\xc3\xa9-\xf0\x9f\x98\x80: found\n", "",
              0);
    expectRun(service({"check", "Echo"}), "Service Echo: not found\n", "", 0);
    expectRun(service({"check", ""}), "Service : not found\n", "", 0);
}

// --- list ---

TEST_F(ServiceTool, ListOfAnEmptyRegistry) { expectRun(service({"list"}), "Found 0 services:\n", "", 0); }

TEST_F(ServiceToolWithDemo, ListShowsEachNameWithItsAsciiInterfaceName) {
    // "café-😀" and "ICafé✓" lose what lies outside 7-bit ASCII; the
    // services without a usable interface name get empty brackets.
    expectRun(service({"list"}), kDemoListing, "", 0);
    expectRun(service({"list", "extra", "-h"}), kDemoListing, "", 0);
}

TEST_F(ServiceToolWithDemo, ListGoesOnPastAHostThatDiesWhileListed) {
    // The host dies when asked for the first name; its second service is
    // then gone too, whether the registry has noticed yet or not.
    startTestHost({"dying:dies-on-query", "sibling:code"});
    expectRun(service({"list"}),
              "Found 7 services:\n"
              "0\techo: [velmora.demo.IEcho]\n"
              "1\tfailing: [velmora.demo.IFailing]\n"
              "2\tno-interface: []\n"
              "3\tcaf-: [velmora.demo.ICaf]\n"
              "4\trefusing: []\n"
              "5\tdying: []\n"
              "6\tsibling: []\n",
              "", 0);
}

TEST_F(ServiceTool, ListOfMoreNamesThanOneRegistryPage) {
    startDemoServices({"-n", "600"});
    Finished run = service({"list"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("Found 605 services:\n", 0), 0u);
    EXPECT_NE(run.out.find("\n5\tgen-0: [velmora.demo.IGenerated]\n"), std::string::npos);
    EXPECT_TRUE(run.out.ends_with("\n604\tgen-599: [velmora.demo.IGenerated]\n"));
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 606);
}

}  // namespace
