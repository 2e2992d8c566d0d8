// velmora-sandbox end to end: each tool run by a scripted command inside it,
// the interactive shell fed from a file, and the sandbox stopped by a
// signal or killed; afterwards nothing it started may still run and its
// temporary directory must be gone.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Command;
using testsupport::Process;
using testsupport::Stream;

// Live processes (not zombies) whose environment holds `entry`.
std::vector<std::string> processesWith(const std::string& entry) {
    std::vector<std::string> found;
    for (const auto& proc : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = proc.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream environ(proc.path() / "environ");
        for (std::string item; std::getline(environ, item, '\0');) {
            if (item == entry) {
                found.push_back(pid + " " + testsupport::readFile(proc.path() / "cmdline"));
                break;
            }
        }
    }
    return found;
}

// Live processes whose command line names `text`: the sandbox's watchdog,
// which carries no mark, names the directory.
std::vector<std::string> processesNaming(const std::string& text) {
    std::vector<std::string> found;
    for (const auto& proc : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = proc.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string cmdline = testsupport::readFile(proc.path() / "cmdline");
        if (cmdline.find(text) != std::string::npos) found.push_back(pid);
    }
    return found;
}

class Sandbox : public ::testing::Test {
protected:
    void SetUp() override {
        if (testsupport::emulated())
            GTEST_SKIP() << "velmora-sandbox starts the build's programs from bash, which cannot start a "
                            "program of the emulated machine without binfmt_misc";
        std::filesystem::create_directory(tmpdir);
    }

    // The sandbox with the given words after its name; its standard streams
    // are piped. Signals start at their defaults, as from a terminal.
    // With a user, as that user (setpriv: the test must run as root).
    std::unique_ptr<Process> start(const std::vector<std::string>& words, Stream in = Stream::null(),
                                   const std::string& user = "") {
        std::vector<std::string> argv;
        if (!user.empty()) {
            const passwd* entry = getpwnam(user.c_str());
            if (!entry) throw std::runtime_error("no user " + user);
            argv = {"setpriv", "--reuid=" + std::to_string(entry->pw_uid), "--regid=" + std::to_string(entry->pw_gid),
                    "--clear-groups"};
        }
        argv.insert(argv.end(), {"env", "--default-signal=INT,TERM,HUP", SANDBOX_BIN});
        argv.insert(argv.end(), words.begin(), words.end());
        Command command(argv);
        command.env = testsupport::environment([](std::string_view name) {
            return name == "DISPLAY" || name == "DBUS_SYSTEM_BUS_ADDRESS" || name == "VELMORA_SERVICE_MANAGER" ||
                   name == "TMPDIR" || name == "SHELL" || name == "ASAN_OPTIONS" || name == "LD_PRELOAD" ||
                   name == "HOME";
        });
        // Leaks of Mesa inside filter are the filter tests' business, not this one's.
        // A home without a ~/.bashrc, like root's that loads no completion.
        command.env->insert(command.env->end(), {"TMPDIR=" + tmpdir, "SHELL=/bin/bash", "ASAN_OPTIONS=detect_leaks=0",
                                                 "HOME=" + tmp.path().string()});
        command.in = in;
        command.out = Stream::pipe();
        command.err = Stream::pipe();
        return std::make_unique<Process>(command);
    }

    // The sandbox's directory, as the command printed it.
    static std::string sandboxDir(const std::string& out) {
        const size_t start = out.find("dir=/");
        EXPECT_NE(start, std::string::npos) << out;
        if (start == std::string::npos) return "/nonexistent";
        return out.substr(start + 4, out.find('\n', start) - start - 4);
    }

    void expectNothingLeft(const std::string& dir) {
        EXPECT_FALSE(std::filesystem::exists(dir));
        EXPECT_TRUE(std::filesystem::is_empty(tmpdir)) << "left in TMPDIR";
        EXPECT_EQ(processesWith("VELMORA_SANDBOX=" + dir), std::vector<std::string>{});
        EXPECT_EQ(processesNaming(dir), std::vector<std::string>{});
    }

    // A sandbox whose command has started a daemon of its own and then waits.
    std::unique_ptr<Process> startBusy(std::string& dir) {
        auto sandbox = start({"bash", "-c",
                              "echo \"dir=$VELMORA_SANDBOX\"; refresh >/dev/null & service list >/dev/null; "
                              "echo started; sleep 100000"});
        EXPECT_TRUE(sandbox->waitForOutput("started\n", 5min)) << sandbox->err();
        dir = sandboxDir(sandbox->out());
        EXPECT_FALSE(processesWith("VELMORA_SANDBOX=" + dir).empty());
        return sandbox;
    }

    testsupport::TempDir tmp{"sandbox-test"};
    std::string tmpdir = tmp.file("tmp");
};

// Each tool as a user would type it, with no variable set by hand; refresh is
// left running in the background for the sandbox to stop. The window's frame,
// captured, covers the screen asked for.
const char kEveryTool[] = R"(
echo "dir=$VELMORA_SANDBOX"
agent 123456; echo "agent status $?"
service call echo 1 i32 7; echo "service status $?"
service call no-interface 1; echo "service status $?"
filter 6 pbuffer; echo "filter status $?"
ASAN_OPTIONS="$ASAN_OPTIONS:verify_asan_link_order=0" LD_PRELOAD=")" CAPTURE_LIB R"(" \
  FILTER_CAPTURE="$VELMORA_SANDBOX/frame.pam" filter 2; echo "filter window status $?"
head -n 3 "$VELMORA_SANDBOX/frame.pam"
refresh >"$VELMORA_SANDBOX/refresh.out" &
until grep -q 'velmora-emu' "$VELMORA_SANDBOX/refresh.out"; do sleep 0.1; done
grep -E '^(id|bpp) ' "$VELMORA_SANDBOX/refresh.out"
)";

TEST(SandboxCommandLine, HelpVersionAndUnknownOptions) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    };
    const std::string usage =
        "usage: velmora-sandbox [-h|--help] [--version] [--screen WIDTHxHEIGHT] [--] [COMMAND [ARGUMENT...]]\n";
    const std::string badScreen = "velmora-sandbox: --screen wants WIDTHxHEIGHT in pixels, not ";
    for (const Case& c : std::vector<Case>{
             {{"--help"}, 0, usage, ""},
             {{"-h"}, 0, usage, ""},
             {{"--version"}, 0, "velmora-sandbox " VELMORA_VERSION "\n", ""},
             {{"--screen", "192x192", "--version"}, 0, "velmora-sandbox " VELMORA_VERSION "\n", ""},
             {{"--bogus"}, 2, "", "velmora-sandbox: unknown option '--bogus'\n" + usage},
             {{"--screen", "192x192", "--bogus"}, 2, "", "velmora-sandbox: unknown option '--bogus'\n" + usage},
             {{"--screen"}, 2, "", badScreen + "''\n" + usage},
             {{"--screen", "0x10", "true"}, 2, "", badScreen + "'0x10'\n" + usage},
             {{"--screen", "10000x10", "true"}, 2, "", badScreen + "'10000x10'\n" + usage},
             {{"--screen", "192", "true"}, 2, "", badScreen + "'192'\n" + usage},
             {{"--screen", "192x192x24", "true"}, 2, "", badScreen + "'192x192x24'\n" + usage},
         }) {
        Command command({SANDBOX_BIN});
        command.argv.insert(command.argv.end(), c.args.begin(), c.args.end());
        command.out = Stream::pipe();
        command.err = Stream::pipe();
        Process sandbox(command);
        EXPECT_EQ(sandbox.finish(1min).shellStatus(), c.status) << c.args.back();
        EXPECT_EQ(sandbox.out(), c.out);
        EXPECT_EQ(sandbox.err(), c.err);
    }
}

TEST_F(Sandbox, EveryToolWorksInsideAndNothingIsLeftAfterwards) {
    auto sandbox = start({"--screen", "200x120", "bash", "-c", kEveryTool});
    const testsupport::Exit exit = sandbox->finish(5min);
    const std::string out = sandbox->out();
    EXPECT_EQ(exit, testsupport::exitedWith(0)) << sandbox->err();
    EXPECT_EQ(sandbox->err().find("velmora sandbox"), std::string::npos) << "no banner for a command";

    for (const char* expected : {
             "Pincode request for device /org/tavik/hci0/dev_00_11_22_33_44_55\n"
             "Passkey request for device /org/tavik/hci0/dev_00_11_22_33_44_55\n"
             "agent status 0\n",
             "Result: Parcel(size=4: 00000007 '....')\nservice status 0\n",
             "service status 10\n",
             "using pbuffer\nfilter status 0\n",
             "filter window status 0\nP7\nWIDTH 200\nHEIGHT 120\n",
             "id           = velmora-emu\nbpp          = 16\n",
         })
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\nin:\n" << out << sandbox->err();
    EXPECT_NE(sandbox->err().find("Agent has been released"), std::string::npos);
    EXPECT_NE(sandbox->err().find("service: Service no-interface does not exist"), std::string::npos);
    expectNothingLeft(sandboxDir(out));
}

// The tools complete by their own names, ours rather than bash-completion's
// (whose `service` is the init-script tool's), with the names a call reaches.
TEST_F(Sandbox, TheShellWithoutACommandHasTheBannerPromptAndCompletions) {
    std::ofstream(tmp.file("input")) << "echo \"dir=$VELMORA_SANDBOX\"\n"
                                        "complete -p service velmora filter-verify\n"
                                        "echo \"bash-completion ${BASH_COMPLETION_VERSINFO[0]-none}\"\n"
                                        "COMP_WORDS=(service call ''); COMP_CWORD=2; _velmora_service\n"
                                        "echo \"names ${COMPREPLY[*]}\"\n"
                                        "echo \"prompt $PS1\"\n"
                                        "exit 4\n";
    auto sandbox = start({}, Stream::file(tmp.file("input")));
    EXPECT_EQ(sandbox->finish(5min), testsupport::exitedWith(4)) << sandbox->err();
    EXPECT_NE(sandbox->err().find("velmora sandbox " VELMORA_VERSION), std::string::npos) << sandbox->err();
    EXPECT_NE(sandbox->err().find("agent 123456"), std::string::npos);
    const std::string out = sandbox->out();
    EXPECT_NE(out.find("complete -F _velmora_service service\n"
                       "complete -F _velmora velmora\n"
                       "complete -F _velmora_filter_verify filter-verify\n"),
              std::string::npos)
        << out;
    if (std::filesystem::exists("/usr/share/bash-completion/bash_completion")) {
        EXPECT_EQ(out.find("bash-completion none"), std::string::npos) << "bash-completion not loaded:\n" << out;
    }
    EXPECT_NE(out.find("names echo failing\n"), std::string::npos) << out;
    EXPECT_NE(out.find("prompt (velmora) "), std::string::npos);
    expectNothingLeft(sandboxDir(out));
}

// Whoever starts it is the simulated Bluetooth daemon's user on its bus.
TEST_F(Sandbox, WorksForAnotherUserThanRoot) {
    namespace fs = std::filesystem;
    if (getuid() != 0) GTEST_SKIP() << "starting the sandbox as another user needs root";
    if (!getpwnam("nobody")) GTEST_SKIP() << "no user nobody";
    for (const fs::path& start : {fs::canonical(SANDBOX_BIN).parent_path(), fs::canonical(tmp.path()).parent_path()})
        if (!testsupport::othersCanReach(start / ".")) GTEST_SKIP() << "other users cannot reach " << start;
    fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(tmpdir, fs::perms::all);
    // nobody: a user with a password database entry, which dbus-daemon wants.
    auto sandbox =
        start({"bash", "-c", "echo \"dir=$VELMORA_SANDBOX\"; agent 123456; echo \"agent status $?\"; id -un"},
              Stream::null(), "nobody");
    EXPECT_EQ(sandbox->finish(5min), testsupport::exitedWith(0)) << sandbox->err();
    EXPECT_NE(sandbox->out().find("agent status 0\nnobody\n"), std::string::npos) << sandbox->out() << sandbox->err();
    EXPECT_NE(sandbox->err().find("Agent has been released"), std::string::npos) << sandbox->err();
    expectNothingLeft(sandboxDir(sandbox->out()));
}

class SandboxSignal : public Sandbox, public ::testing::WithParamInterface<int> {};

TEST_P(SandboxSignal, StopsTheCommandWhatItStartedAndThePlatform) {
    std::string dir;
    auto sandbox = startBusy(dir);
    sandbox->signal(GetParam());
    EXPECT_EQ(sandbox->finish(2min), testsupport::exitedWith(128 + GetParam())) << sandbox->err();
    expectNothingLeft(dir);
}

INSTANTIATE_TEST_SUITE_P(Signals, SandboxSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// Killed as the OOM killer or a CI time-out kills it: no trap runs, and its
// watchdog ends what it started and removes its directory.
TEST_F(Sandbox, KilledItLeavesNothingBehind) {
    std::string dir;
    auto sandbox = startBusy(dir);
    sandbox->signal(SIGKILL);
    // Its output ends once the command, which holds it, has been stopped.
    EXPECT_EQ(sandbox->finish(2min), testsupport::killedBy(SIGKILL));
    // The watchdog ends last, right after removing the directory.
    EXPECT_TRUE(testsupport::waitUntil([&] { return processesNaming(dir).empty(); }, 1min));
    expectNothingLeft(dir);
}

// Killed with its watchdog, what it left goes when the next sandbox starts;
// a sandbox still running is left alone.
TEST_F(Sandbox, WhatAKilledOneLeftGoesAtTheNextStart) {
    std::string dir;
    auto killed = startBusy(dir);
    std::string liveDir;
    auto live = start({"bash", "-c",
                       "echo \"dir=$VELMORA_SANDBOX\"; echo started; "
                       "until [ -e \"$VELMORA_SANDBOX/stop\" ]; do sleep 0.1; done; service check echo"});
    ASSERT_TRUE(live->waitForOutput("started\n", 5min)) << live->err();
    liveDir = sandboxDir(live->out());

    std::vector<std::string> watchdog;
    for (const std::string& pid : processesNaming(dir))
        if (testsupport::readFile("/proc/" + pid + "/cmdline").find("velmora-sandbox-watchdog") != std::string::npos)
            watchdog.push_back(pid);
    ASSERT_EQ(watchdog.size(), 1u) << "no watchdog";
    for (const std::string& pid : watchdog) kill(std::stoi(pid), SIGKILL);
    killed->signal(SIGKILL);
    EXPECT_EQ(killed->wait(1min), testsupport::killedBy(SIGKILL));
    EXPECT_FALSE(processesWith("VELMORA_SANDBOX=" + dir).empty());
    EXPECT_TRUE(std::filesystem::exists(dir));

    auto next = start({"true"});
    EXPECT_EQ(next->finish(5min), testsupport::exitedWith(0)) << next->err();
    EXPECT_EQ(processesWith("VELMORA_SANDBOX=" + dir), std::vector<std::string>{});
    EXPECT_FALSE(std::filesystem::exists(dir));

    std::ofstream(liveDir + "/stop").close();
    EXPECT_EQ(live->finish(5min), testsupport::exitedWith(0)) << live->err();
    EXPECT_NE(live->out().find("Service echo: found\n"), std::string::npos) << live->out() << live->err();
    expectNothingLeft(liveDir);
    expectNothingLeft(dir);
}

}  // namespace
