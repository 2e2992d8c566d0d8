// The environment that runs filter under the capture library, for
// filter-verify and the tests that run filter themselves.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct CaptureSetting {
    std::string library;          // libfilter_capture.so
    std::string preloaded;        // what else LD_PRELOAD holds, loaded after it
    std::filesystem::path frame;  // FILTER_CAPTURE
    std::filesystem::path log;    // FILTER_CAPTURE_LOG
    std::string config;           // FILTER_CAPTURE_CONFIG; empty: the config EGL returns first
    bool surfaceless = false;     // EGL_PLATFORM=surfaceless
};

// NAME and value, in the order they are set.
using CaptureVariables = std::vector<std::pair<std::string, std::string>>;

CaptureVariables captureVariables(const CaptureSetting& setting);

// True for the variables the capture library reads, which an inherited
// value must not reach filter with.
bool isCaptureVariable(std::string_view name);
