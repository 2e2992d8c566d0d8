// Test scaffolding: a private temp dir, child processes that are always
// reaped, and a private service manager for each test.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <velmora/IServiceManager.h>

#include "process.h"
#include "temp_dir.h"

namespace ipctest {

using testsupport::TempDir;

// A child process with its standard output on a pipe, read line by line;
// killed and reaped when it goes out of scope.
class Child {
public:
    explicit Child(std::vector<std::string> args) : process_(command(std::move(args))) {}

    pid_t pid() const { return process_.pid(); }

    // Reads output until a line equal to line arrives; false on end of
    // output or after the time limit.
    bool waitForLine(const std::string& line, int timeoutMs = 10000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (bool open = true;;) {
            const std::string out = process_.out();
            for (size_t nl; (nl = out.find('\n', read_)) != std::string::npos;) {
                lines_.push_back(out.substr(read_, nl - read_));
                read_ = nl + 1;
                if (lines_.back() == line) return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (!open || left.count() <= 0) return false;
            open = process_.pump(left);
        }
    }
    const std::vector<std::string>& lines() const { return lines_; }

    // Sends sig and returns the wait status.
    int stop(int sig = SIGTERM) {
        process_.signal(sig);
        return wait();
    }
    int wait() {
        const testsupport::Exit exit = process_.wait();
        return exit.exited ? W_EXITCODE(exit.code, 0) : W_EXITCODE(0, exit.code);
    }

private:
    // Standard input and error stay this process's, as does the environment
    // (which a test may have just changed).
    static testsupport::Command command(std::vector<std::string> args) {
        testsupport::Command command(std::move(args));
        command.in = testsupport::Stream::inherit();
        command.out = testsupport::Stream::pipe();
        return command;
    }

    testsupport::Process process_;
    size_t read_ = 0;  // how much of the output has been split into lines
    std::vector<std::string> lines_;
};

// Polls cond every 10 ms until it holds or timeoutMs pass.
inline bool eventually(const std::function<bool()>& cond, int timeoutMs = 10000) {
    return testsupport::waitUntil(cond, std::chrono::milliseconds(timeoutMs));
}

// A private service manager; VELMORA_SERVICE_MANAGER points at it.
class ServiceManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        socketPath = tmp.file("sm.sock");
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

    TempDir tmp{"velmora-ipc"};
    std::string socketPath;
    std::unique_ptr<Child> manager;
    velmora::sp<velmora::IServiceManager> sm;
};

}  // namespace ipctest
