#include "capture_environment.h"

CaptureVariables captureVariables(const CaptureSetting& s) {
    CaptureVariables variables = {
        {"LD_PRELOAD", s.preloaded.empty() ? s.library : s.library + ":" + s.preloaded},
        {"FILTER_CAPTURE", s.frame.string()},
        {"FILTER_CAPTURE_LOG", s.log.string()},
    };
    if (!s.config.empty()) variables.emplace_back("FILTER_CAPTURE_CONFIG", s.config);
    if (s.surfaceless) variables.emplace_back("EGL_PLATFORM", "surfaceless");
    return variables;
}

bool isCaptureVariable(std::string_view name) {
    return name == "FILTER_CAPTURE" || name == "FILTER_CAPTURE_LOG" || name == "FILTER_CAPTURE_CONFIG";
}
