// The process library with real children: how they end, where their output
// goes, deadlines that kill, programs that cannot start, and temporary
// directories that leave nothing behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "process.h"
#include "velmora/process.h"
#include "velmora/temp_dir.h"

namespace {

using namespace velmora::proc;

Command shell(const std::string& script) { return Command({"sh", "-c", script}); }

// Both waits reap what the child's end says, whichever way it ended.
TEST(Process, WaitReportsHowTheChildEnded) {
    const struct {
        std::string script;
        Exit exit;
    } cases[] = {
        {"exit 0", exitedWith(0)},
        {"exit 3", exitedWith(3)},
        {"kill -KILL $$", killedBy(SIGKILL)},
        {"kill -SEGV $$", killedBy(SIGSEGV)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        Process bounded(shell(c.script));
        EXPECT_EQ(bounded.wait(2min), c.exit);
        EXPECT_EQ(bounded.wait(0ms), c.exit) << "a second wait reports the same end";
        Process unbounded(shell(c.script));
        EXPECT_EQ(unbounded.wait(), c.exit);
    }
}

TEST(Process, OutputGoesWhereTheCommandSays) {
    TempDir tmp("process-test");
    const std::string script = "echo out; echo err >&2";
    const struct {
        const char* name;
        Stream out, err;
        std::string wantOut, wantErr;
    } cases[] = {
        {"pipes", Stream::pipe(), Stream::pipe(), "out\n", "err\n"},
        {"files", Stream::file(tmp.file("out")), Stream::file(tmp.file("err")), "out\n", "err\n"},
        {"err with out", Stream::pipe(), Stream::sameAsStdout(), "out\nerr\n", "out\nerr\n"},
        {"nowhere", Stream::null(), Stream::null(), "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Command command = shell(script);
        command.out = c.out;
        command.err = c.err;
        Process process(command);
        EXPECT_EQ(process.finish(2min), exitedWith(0));
        EXPECT_FALSE(process.killedAtDeadline());
        EXPECT_EQ(process.out(), c.wantOut);
        EXPECT_EQ(process.err(), c.wantErr);
    }
    // A file is truncated for each run, appended to with append.
    Command twice = shell("echo again");
    twice.out = Stream::file(tmp.file("out"));
    EXPECT_EQ(Process(twice).wait(), exitedWith(0));
    EXPECT_EQ(readFile(tmp.file("out")), "again\n");
    twice.out = Stream::append(tmp.file("out"));
    EXPECT_EQ(Process(twice).wait(), exitedWith(0));
    EXPECT_EQ(readFile(tmp.file("out")), "again\nagain\n");
}

TEST(Process, TheEnvironmentIsTheCommands) {
    Command command = shell("echo \"[$VELMORA_PROCESS_TEST]\"");
    command.out = Stream::pipe();
    setenv("VELMORA_PROCESS_TEST", "inherited", 1);
    command.env = environment([](std::string_view name) { return name == "VELMORA_PROCESS_TEST"; });
    command.env->push_back("VELMORA_PROCESS_TEST=given");
    Process given(command);
    given.finish(2min);
    EXPECT_EQ(given.out(), "[given]\n");

    command.env.reset();
    Process inherited(command);
    inherited.finish(2min);
    unsetenv("VELMORA_PROCESS_TEST");
    EXPECT_EQ(inherited.out(), "[inherited]\n");
}

// A child that outlives its deadline is killed and reaped, not waited for.
TEST(Process, DeadlinesEndTheWait) {
    Process sleeper(Command({"sleep", "600"}));
    EXPECT_EQ(sleeper.wait(100ms), std::nullopt);
    EXPECT_EQ(sleeper.stop(), killedBy(SIGTERM));

    Process finished(Command({"sleep", "600"}));
    EXPECT_EQ(finished.finish(100ms), killedBy(SIGKILL));
    EXPECT_TRUE(finished.killedAtDeadline());

    // Gone with its owner: killed and reaped, so that no process is left.
    pid_t pid;
    {
        Process dropped(Command({"sleep", "600"}));
        pid = dropped.pid();
    }
    errno = 0;
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST(Process, AProgramThatCannotStartThrowsItsReason) {
    TempDir tmp("process-test");
    const std::string plain = tmp.file("plain");
    Command touch({"sh", "-c", "printf 'no program\\n' >" + plain + " && chmod +x " + plain});
    ASSERT_EQ(Process(touch).wait(), exitedWith(0));
    Command badOutput = shell("true");
    badOutput.out = Stream::file(tmp.file("missing/out"));
    const struct {
        const char* name;
        Command command;
        int error;
    } cases[] = {
        {"missing", Command({tmp.file("missing")}), ENOENT},
        {"not on PATH", Command({"velmora-no-such-program"}), ENOENT},
        {"not a program", Command({plain}), ENOEXEC},
        {"a directory", Command({tmp.path().string()}), EACCES},
        {"output unopenable", badOutput, ENOENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            Process process(c.command);
            // qemu-user runs the spawn as a plain fork: the child reports it.
            if (testsupport::emulated())
                EXPECT_EQ(process.wait(), exitedWith(127));
            else
                ADD_FAILURE() << "started, pid " << process.pid();
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code().value(), c.error) << e.what();
        }
    }
}

TEST(TempDir, IsPrivateAndLeavesNothingBehind) {
    TempDir outer("process-test");
    const char* saved = getenv("TMPDIR");
    const std::string savedValue = saved ? saved : "";
    setenv("TMPDIR", outer.path().c_str(), 1);
    std::filesystem::path inner;
    {
        TempDir tmp("name");
        inner = tmp.path();
        EXPECT_EQ(inner.parent_path(), outer.path());
        EXPECT_EQ(inner.filename().string().rfind("name.", 0), 0u) << inner;
        struct stat st {};
        ASSERT_EQ(stat(inner.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        std::filesystem::create_directories(inner / "a/b");
        Command fill({"sh", "-c", "echo x >" + tmp.file("a/b/c")});
        ASSERT_EQ(Process(fill).wait(), exitedWith(0));
    }
    EXPECT_FALSE(std::filesystem::exists(inner));

    setenv("TMPDIR", (outer.path() / "missing").c_str(), 1);
    try {
        TempDir none("name");
        ADD_FAILURE() << "made " << none.path();
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT) << e.what();
    }
    if (saved)
        setenv("TMPDIR", savedValue.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

}  // namespace
