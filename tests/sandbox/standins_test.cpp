// The stand-in daemons' command lines: help, version, refusals, and
// bluetooth-sim's check of its scripts, all before any of them serves.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;

struct Case {
    std::vector<std::string> argv;
    int status;
    std::string out;  // how standard output begins; empty: nothing on it
    std::string err;  // found in standard error
};

class StandIns : public ::testing::Test {
protected:
    // Runs in the temporary directory, with a bus and a service manager
    // that are not there, so that nothing real can be reached.
    void expectAll(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            testsupport::Command command({"sh", "-c", "cd \"$0\" && exec \"$@\"", tmp.path()});
            const std::vector<std::string> words = testsupport::runnable(c.argv);
            command.argv.insert(command.argv.end(), words.begin(), words.end());
            command.env = testsupport::environment();
            command.env->insert(command.env->end(), {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + tmp.file("no-bus"),
                                                     "VELMORA_SERVICE_MANAGER=" + tmp.file("no-manager")});
            command.out = testsupport::Stream::pipe();
            command.err = testsupport::Stream::pipe();
            testsupport::Process program(command);
            const std::string what = c.argv[0] + " " + (c.argv.size() > 1 ? c.argv[1] : "");
            EXPECT_EQ(program.finish(1min).shellStatus(), c.status) << what << "\n" << program.err();
            if (c.out.empty())
                EXPECT_EQ(program.out(), "") << what;
            else
                EXPECT_EQ(program.out().substr(0, c.out.size()), c.out) << what;
            EXPECT_NE(program.err().find(c.err), std::string::npos) << what << "\n" << program.err();
            EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << what << " made a file";
        }
    }

    testsupport::TempDir tmp{"standins-test"};
};

const std::string kManager = PROGRAM_DIR "/servicemanager";
const std::string kDemo = PROGRAM_DIR "/demo-services";
const std::string kSim = PROGRAM_DIR "/bluetooth-sim";
const std::string kManagerUsage = "usage: servicemanager [-h|--help] [--version] [SOCKET_PATH]\n";
const std::string kDemoUsage = "usage: demo-services [-h|--help] [--version] [-n COUNT]\n";

TEST_F(StandIns, ServiceManagerAndDemoServices) {
    expectAll({
        {{kManager, "--help"}, 0, kManagerUsage, ""},
        {{kManager, "-h"}, 0, kManagerUsage, ""},
        {{kManager, "--version"}, 0, "servicemanager " VELMORA_VERSION "\n", ""},
        {{kManager, "--verbose"}, 2, "", kManagerUsage},
        {{kManager, "-x"}, 2, "", kManagerUsage},
        {{kManager, "a", "b"}, 2, "", kManagerUsage},
        {{kManager, "sock", "--version"}, 2, "", kManagerUsage},
        {{kDemo, "--help"}, 0, kDemoUsage, ""},
        {{kDemo, "-h"}, 0, kDemoUsage, ""},
        {{kDemo, "--version"}, 0, "demo-services " VELMORA_VERSION "\n", ""},
        {{kDemo, "--count=3"}, 2, "", kDemoUsage},
        {{kDemo, "-n", "x"}, 2, "", kDemoUsage},
        {{kDemo, "-n", ""}, 2, "", kDemoUsage},
        {{kDemo, "extra"}, 2, "", kDemoUsage},
        {{kDemo}, 1, "", "demo-services: no service manager"},
    });
}

TEST_F(StandIns, BluetoothSimChecksItsScriptsBeforeJoiningTheBus) {
    const std::string everyStep =
        "pin /org/tavik/hci0/dev_1; passkey /a; authorize /a 0000110b; cancel; release; ping; "
        "call org.tavik.Agent X s:text o:/p u:1 i:-1 b:true s:; signal org.freedesktop.DBus Y; passkeys 3; "
        "measure 2; sleep 10; quit";
    expectAll({
        {{kSim, "-h"}, 0, "usage: bluetooth-sim [options]\n", ""},
        {{kSim, "--version"}, 0, "bluetooth-sim " VELMORA_VERSION "\n", ""},
        {{kSim, "--bogus"}, 2, "", "usage: bluetooth-sim [options]"},
        {{kSim, "operand"}, 2, "", "usage: bluetooth-sim [options]"},
        // A script it can run passes the check and gets as far as the bus.
        {{kSim, "--on-register", everyStep, "--on-pair", everyStep}, 1, "", "can't connect"},
    });
    for (const std::string step : {
             "passkey 00:11:22:33:44:55",  // an address, not an object path
             "pin",
             "authorize /a",
             "release now",
             "quit now",
             "authorize /a \xff",  // not UTF-8
             "call org..tavik Member",
             "call org.tavik.Agent 1member",
             "call org.tavik.Agent Member x:1",
             "call org.tavik.Agent Member text",
             "call org.tavik.Agent Member o:relative",
             "signal org.tavik",
             "passkeys 0",
             "measure many",
             "sleep -5",
             "sleep 1 2",
             "dance",
         }) {
        expectAll(
            {{{kSim, "--on-pair", "ping; " + step}, 2, "", "bluetooth-sim: --on-pair: bad step \"" + step + "\""}});
    }
    expectAll({{{kSim, "--on-register", "pin /a;; release ;"}, 1, "", "can't connect"}});
}

}  // namespace
