#include "service_fixture.h"

#include <chrono>

#include <velmora/IServiceManager.h>
#include <velmora/TextOutput.h>

namespace {

constexpr auto kStartLimit = std::chrono::seconds(20);

}  // namespace

std::string resultLine(const std::function<void(velmora::Parcel&)>& fill) {
    velmora::Parcel parcel;
    fill(parcel);
    velmora::StringTextOutput text;
    parcel.print(text, 0);
    return "Result: " + text.str() + "\n";
}

void ServiceTool::SetUp() {
    const std::string socket = tmp + "/servicemanager";
    env = environmentWith({"VELMORA_SERVICE_MANAGER=" + socket});
    manager = startLogged({SERVICEMANAGER_BIN, socket}, env, tmp + "/servicemanager.log");
    ASSERT_TRUE(testsupport::waitUntil([&] { return velmora::serviceManagerAt(socket.c_str()) != nullptr; },
                                       kStartLimit, std::chrono::milliseconds(5)))
        << manager->out();
}

void ServiceTool::TearDown() {
    for (auto& host : hosts) {
        host->stop(std::chrono::seconds(1));
    }
    if (manager) {
        manager->stop(std::chrono::seconds(1));
    }
}

Finished ServiceTool::service(const std::vector<std::string>& words) {
    std::vector<std::string> argv{SERVICE_BIN};
    argv.insert(argv.end(), words.begin(), words.end());
    return runProgram(argv, env);
}

pid_t ServiceTool::startHost(const std::vector<std::string>& argv, const std::string& readyLine) {
    const std::string log = tmp + "/host-" + std::to_string(hosts.size()) + ".log";
    hosts.push_back(startLogged(argv, env, log));
    testsupport::Process& host = *hosts.back();
    EXPECT_TRUE(host.waitForOutput(readyLine + "\n", kStartLimit)) << host.out();
    return host.pid();
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
