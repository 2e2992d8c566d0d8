// What the filter tests and the benchmark need around the program under
// test: a private Xvfb, a private temporary directory and a way to run a
// program with extra environment and collect its output.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

using testsupport::readFile;
using testsupport::TempDir;

// An Xvfb server on a display number it picks itself (-displayfd), stopped
// on destruction. -noreset keeps it usable after each client leaves.
class Xvfb {
public:
    Xvfb(int width, int height, int depth = 24);
    ~Xvfb();
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;
    // ":N", or empty when the server did not come up.
    const std::string& display() const { return display_; }

private:
    std::unique_ptr<testsupport::Process> server_;
    std::string display_;
};

struct Outcome {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
};

struct Command {
    std::string program;
    std::vector<std::string> args;
    std::string argv0;                          // empty: the program path
    std::map<std::string, std::string> setEnv;  // added to or replacing the inherited environment
    std::vector<std::string> unsetEnv;
};

// Runs the command to its end with stdout and stderr captured in dir.
Outcome run(const Command& cmd, const std::filesystem::path& dir);

// The environment of a run that draws with Mesa: software rendering, and
// sanitizer settings that let a preloaded library and Mesa's own leaks pass
// and keep LeakSanitizer out of Mesa's threads' TLS.
std::map<std::string, std::string> softwareEnv(const std::string& display, const std::string& lsanSuppressions);

// softwareEnv with the capture library preloaded, writing the frame and the
// call log to the files named.
std::map<std::string, std::string> captureEnv(const std::string& display, const std::string& captureLib,
                                              const std::string& lsanSuppressions, const std::filesystem::path& frame,
                                              const std::filesystem::path& log);

// Mesa's rasterizers with texture samplers of their own, by their
// GALLIUM_DRIVER names; zink runs on the lavapipe Vulkan driver.
inline const std::vector<std::string> kRasterizers = {"llvmpipe", "softpipe", "zink"};

// The rasterizer of tests that name none: llvmpipe, or softpipe where
// llvmpipe cannot be tested (see unusableRasterizer).
const std::string& defaultRasterizer();
// Why the rasterizer cannot be tested on this machine; empty when it can.
std::string unusableRasterizer(const std::string& rasterizer);

// The environment that selects a rasterizer; runtimeDir serves as the
// private XDG_RUNTIME_DIR that Vulkan's window-system code wants.
std::map<std::string, std::string> rasterizerEnv(const std::string& rasterizer,
                                                 const std::filesystem::path& runtimeDir);
