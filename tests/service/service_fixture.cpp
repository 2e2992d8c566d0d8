#include "service_fixture.h"

#include <chrono>
#include <thread>

#include <velmora/IServiceManager.h>
#include <velmora/TextOutput.h>

namespace {

constexpr auto kStartLimit = std::chrono::seconds(20);

bool waitFor(const std::function<bool()>& ready) {
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

std::string resultLine(const std::function<void(velmora::Parcel&)>& fill) {
    velmora::Parcel parcel;
    fill(parcel);
    velmora::StringTextOutput text;
    parcel.print(text, 0);
    return "Result: " + text.str() + "\n";
}

void ServiceTool::SetUp() {
    tmp = makeTempDir();
    const std::string socket = tmp + "/servicemanager";
    env = environmentWith({"VELMORA_SERVICE_MANAGER=" + socket});
    manager = startProgram({SERVICEMANAGER_BIN, socket}, env, tmp + "/servicemanager.log");
    ASSERT_TRUE(waitFor([&] { return velmora::serviceManagerAt(socket.c_str()) != nullptr; }))
        << readFile(tmp + "/servicemanager.log");
}

void ServiceTool::TearDown() {
    for (pid_t host : hosts) {
        stopProgram(host);
    }
    stopProgram(manager);
    removeTree(tmp);
}

Finished ServiceTool::service(const std::vector<std::string>& words) {
    std::vector<std::string> argv{SERVICE_BIN};
    argv.insert(argv.end(), words.begin(), words.end());
    return runProgram(argv, env);
}

pid_t ServiceTool::startHost(const std::vector<std::string>& argv, const std::string& readyLine) {
    const std::string log = tmp + "/host-" + std::to_string(hosts.size()) + ".log";
    pid_t pid = startProgram(argv, env, log);
    hosts.push_back(pid);
    EXPECT_TRUE(waitFor([&] { return readFile(log).find(readyLine + "\n") != std::string::npos; }))
        << readFile(log);
    return pid;
}

void ServiceTool::startDemoServices(const std::vector<std::string>& options) {
    std::vector<std::string> argv{DEMO_SERVICES_BIN};
    argv.insert(argv.end(), options.begin(), options.end());
    startHost(argv, "demo-services: ready");
}

pid_t ServiceTool::startTestHost(const std::vector<std::string>& services) {
    std::vector<std::string> argv{TEST_HOST_BIN};
    argv.insert(argv.end(), services.begin(), services.end());
    return startHost(argv, "ready");
}
