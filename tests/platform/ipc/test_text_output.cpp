// aout and aerr in a real process: what arrives, in which order, and when,
// with standard output on a pipe and on a terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "process.h"

extern char** environ;

namespace {

struct Probe {
    pid_t pid = -1;
    int out = -1;    // read end of what the probe writes to standard output
    int input = -1;  // write end of its standard input
};

// Starts the probe with standard output (and standard error too when
// sharedErr) on a new pipe, or on the terminal whose slave side is tty.
Probe startProbe(const char* scenario, bool sharedErr, int tty = -1) {
    int out[2] = {-1, -1};
    int in[2];
    if (tty < 0 && pipe2(out, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
    if (pipe2(in, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
    const int target = tty >= 0 ? tty : out[1];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, target, STDOUT_FILENO);
    if (sharedErr) posix_spawn_file_actions_adddup2(&actions, target, STDERR_FILENO);
    const std::vector<std::string> words = testsupport::runnable({TEXT_OUTPUT_PROBE_BIN, scenario});
    std::vector<char*> argv;
    for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    Probe probe;
    if (posix_spawnp(&probe.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) ADD_FAILURE() << "spawn";
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    if (out[1] >= 0) close(out[1]);
    probe.out = out[0];
    probe.input = in[1];
    return probe;
}

// What arrives on fd within timeoutMs, or until end of output.
std::string readFor(int fd, int timeoutMs) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return got;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char chunk[256];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) return got;
        got.append(chunk, static_cast<size_t>(n));
    }
}

// Runs the probe to its end on a pipe: its output and its wait status.
std::pair<std::string, int> runProbe(const char* scenario) {
    Probe probe = startProbe(scenario, true);
    close(probe.input);
    std::string out = readFor(probe.out, 10000);
    close(probe.out);
    int status = 0;
    waitpid(probe.pid, &status, 0);
    return {out, status};
}

TEST(StandardStreamsTest, OutputAndErrorKeepTheirOrderOnOnePipe) {
    // Half a line on aout goes out before a following aerr line.
    const auto [out, status] = runProbe("interleave");
    EXPECT_EQ(out, "out err\n1\tname: [iface]\ntwo\nlines\nand a halflate\nunended");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(StandardStreamsTest, WholeLinesSurviveAKillAndHalfLinesAnExit) {
    const auto [killed, killStatus] = runProbe("killed");
    EXPECT_TRUE(killed.starts_with("whole\n")) << killed;
    EXPECT_TRUE(WIFSIGNALED(killStatus) && WTERMSIG(killStatus) == SIGKILL);

    const auto [exited, exitStatus] = runProbe("exit");
    EXPECT_EQ(exited, "half");
    EXPECT_TRUE(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0);
}

TEST(StandardStreamsTest, AnUnfinishedLineWaitsOnAPipeButNotOnATerminal) {
    Probe piped = startProbe("held", false);
    EXPECT_EQ(readFor(piped.out, 300), "");  // held back while the line is open
    close(piped.input);
    EXPECT_EQ(readFor(piped.out, 10000), "partial done\n");
    close(piped.out);
    waitpid(piped.pid, nullptr, 0);

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    Probe onTty = startProbe("held", false, slave);
    close(slave);
    std::string seen;
    for (int i = 0; i < 100 && seen.find("partial") == std::string::npos; ++i) seen += readFor(master, 100);
    EXPECT_EQ(seen, "partial");  // at once, with the line still open
    close(onTty.input);
    seen += readFor(master, 2000);
    EXPECT_EQ(seen, "partial done\r\n");  // the terminal turns "\n" into "\r\n"
    waitpid(onTty.pid, nullptr, 0);
    close(master);
}

}  // namespace
