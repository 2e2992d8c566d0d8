// Runs the real `refresh` binary with the emulated framebuffer device
// preloaded, in a private temporary directory, and collects what it did.
// Used by the tests and the benchmark.
#pragma once

#include <chrono>
#include <utility>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace testsupport {
class Process;
}  // namespace testsupport

namespace fbtest {

struct Outcome {
    bool exited = false;  // false: killed by a signal (see signal)
    int status = -1;      // exit status as the shell sees it
    int signal = 0;
    double cpuSeconds = 0;  // user and system time refresh used
    std::string out;
    std::string err;
};

class RefreshRun {
public:
    // Several FBEMU_* settings, by name and value.
    using Settings = std::vector<std::pair<const char*, const char*>>;

    // Sets up a temporary directory with the device log and memory in it;
    // `program` is the refresh binary to run (the build's own by default).
    explicit RefreshRun(std::string program = defaultProgram());
    ~RefreshRun();
    RefreshRun(const RefreshRun&) = delete;
    RefreshRun& operator=(const RefreshRun&) = delete;

    // FBEMU_* settings for the emulated device; the defaults describe a
    // 480 x 800 panel with room for two 16 bpp pages.
    void set(const std::string& name, const std::string& value) { env_[name] = value; }
    void set(const Settings& settings) {
        for (const auto& [name, value] : settings) env_[name] = value;
    }
    // Leaves the setting to the device's default.
    void unset(const std::string& name) { env_.erase(name); }

    // A library preloaded ahead of the emulated device.
    void preload(std::string library) { preload_ = std::move(library); }

    // Runs refresh until it exits on its own.
    Outcome runToExit(std::chrono::seconds timeout = std::chrono::seconds(10));

    // Runs refresh until it has printed `rateLines` rate lines, then stops it
    // with SIGTERM.
    Outcome runForRateLines(size_t rateLines, std::chrono::seconds timeout = std::chrono::seconds(20));

    // Starts refresh with standard output going to a pipe nobody reads yet,
    // waits until the device has seen `flips` VBL pans, stops it with
    // SIGTERM, and only then reads the pipe. Returns the pans logged before
    // the signal was sent in *flipsBefore.
    Outcome stopAfterFlips(size_t flips, size_t* flipsBefore, std::chrono::seconds timeout = std::chrono::seconds(20));

    // The device log's complete lines, in order.
    std::vector<std::string> logLines() const;
    std::string memory() const;  // the device memory file as it stands
    const std::string& dir() const { return dir_; }

    static std::string defaultProgram();

private:
    std::unique_ptr<testsupport::Process> start();
    static Outcome finish(testsupport::Process& refresh, std::chrono::seconds timeout);

    std::string program_;
    std::unique_ptr<testsupport::TempDir> tmp_;
    std::string dir_;
    std::map<std::string, std::string> env_;
    std::string preload_;
};

// Counts the lines of the form "refresh rate = %f Hz" that follow the three
// report blocks (the block's own "refresh rate = %.2f Hz" line is not one).
size_t countRateLines(const std::string& out);
std::vector<std::string> splitLines(const std::string& text);
std::vector<double> rateValues(const std::string& out);

}  // namespace fbtest
