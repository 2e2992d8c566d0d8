// Test scaffolding: a private temp dir, child processes that are always
// reaped, and a private service manager for each test.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <velmora/IServiceManager.h>

extern char** environ;

namespace ipctest {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmora-ipc-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        mPath = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    const std::string& path() const { return mPath; }

private:
    std::string mPath;
};

// A child process with its standard output on a pipe; killed and reaped
// when it goes out of scope.
class Child {
public:
    explicit Child(std::vector<std::string> args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) < 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (auto& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&mPid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        mOut = out[0];
        if (rc != 0) {
            close(mOut);
            throw std::runtime_error("cannot start " + args[0]);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
        }
        close(mOut);
    }

    pid_t pid() const { return mPid; }

    // Reads output until a line equal to line arrives; false on end of
    // output or after the time limit.
    bool waitForLine(const std::string& line, int timeoutMs = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            for (size_t nl; (nl = mBuffer.find('\n')) != std::string::npos;) {
                const std::string got = mBuffer.substr(0, nl);
                mBuffer.erase(0, nl + 1);
                mLines.push_back(got);
                if (got == line) return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) return false;
            pollfd p{mOut, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char chunk[512];
            const ssize_t n = read(mOut, chunk, sizeof chunk);
            if (n <= 0) return false;
            mBuffer.append(chunk, static_cast<size_t>(n));
        }
    }
    const std::vector<std::string>& lines() const { return mLines; }

    // Sends sig and returns the wait status.
    int stop(int sig = SIGTERM) {
        kill(mPid, sig);
        return wait();
    }
    int wait() {
        int status = 0;
        waitpid(mPid, &status, 0);
        mPid = -1;
        return status;
    }

private:
    pid_t mPid = -1;
    int mOut = -1;
    std::string mBuffer;
    std::vector<std::string> mLines;
};

// Polls cond every 10 ms until it holds or timeoutMs pass.
template <typename Cond>
bool eventually(Cond cond, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A private service manager; VELMORA_SERVICE_MANAGER points at it.
class ServiceManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        socketPath = tmp.path() + "/sm.sock";
        setenv(velmora::IServiceManager::ENV_VAR, socketPath.c_str(), 1);
        manager = std::make_unique<Child>(std::vector<std::string>{SERVICEMANAGER_BIN, socketPath});
        ASSERT_TRUE(eventually([&] { return velmora::defaultServiceManager() != nullptr; }));
        sm = velmora::defaultServiceManager();
    }
    void TearDown() override { unsetenv(velmora::IServiceManager::ENV_VAR); }

    std::unique_ptr<Child> startDemo(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{DEMO_SERVICES_BIN};
        args.insert(args.end(), extra.begin(), extra.end());
        auto demo = std::make_unique<Child>(args);
        EXPECT_TRUE(demo->waitForLine("demo-services: ready"));
        return demo;
    }
    std::unique_ptr<Child> startHost(std::vector<std::string> names) {
        std::vector<std::string> args{TEST_HOST_BIN};
        args.insert(args.end(), names.begin(), names.end());
        auto host = std::make_unique<Child>(args);
        EXPECT_TRUE(host->waitForLine("ready"));
        return host;
    }

    TempDir tmp;
    std::string socketPath;
    std::unique_ptr<Child> manager;
    velmora::sp<velmora::IServiceManager> sm;
};

}  // namespace ipctest
