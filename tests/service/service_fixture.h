// Each test gets a private service manager in its own temp dir; the service
// tool and the service hosts find it through VELMORA_SERVICE_MANAGER.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <velmora/Parcel.h>

#include "processes.h"
#include "temp_dir.h"

inline const std::string kUsage =
    "Usage: service [-h|-?]\n"
    "       service list\n"
    "       service check SERVICE\n"
    "       service call SERVICE CODE [i32 INT | s16 STR] ...\n"
    "Options:\n"
    "   i32: Write the integer INT into the send parcel.\n"
    "   s16: Write the UTF-16 string STR into the send parcel.\n";

// The "Result: " line the tool prints for a reply holding what `fill` writes.
std::string resultLine(const std::function<void(velmora::Parcel&)>& fill);

class ServiceTool : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the service tool with the given words.
    Finished service(const std::vector<std::string>& words);
    // Starts demo-services, or service-test-host with the given NAME:KIND
    // words, and waits until it has registered everything.
    void startDemoServices(const std::vector<std::string>& options = {});
    pid_t startTestHost(const std::vector<std::string>& services);

    testsupport::TempDir tmpDir{"service-test"};
    std::string tmp = tmpDir.path();
    std::vector<std::string> env;

private:
    pid_t startHost(const std::vector<std::string>& argv, const std::string& readyLine);

    std::unique_ptr<testsupport::Process> manager;
    std::vector<std::unique_ptr<testsupport::Process>> hosts;
};

// With the demo service host running.
class ServiceToolWithDemo : public ServiceTool {
protected:
    void SetUp() override {
        ServiceTool::SetUp();
        startDemoServices();
    }
};
