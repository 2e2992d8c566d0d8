#include "harness.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "capture_environment.h"

namespace fs = std::filesystem;

Xvfb::Xvfb(int width, int height, int depth) {
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
    // Xvfb writes the display number it chose to its standard output.
    testsupport::Command command({"Xvfb", "-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0", screen});
    command.out = testsupport::Stream::pipe();
    command.err = testsupport::Stream::null();
    try {
        server_ = std::make_unique<testsupport::Process>(command);
    } catch (const std::runtime_error&) {
        return;
    }
    if (server_->waitForOutput("\n", std::chrono::seconds(20))) {
        const std::string number = server_->out();
        // Built by construction and append: GCC 12 at -O2 reports a false overlap
        // (-Wrestrict) in every string replace here, even `display_ = ":"`.
        std::string display(":");
        display.append(number, 0, number.find('\n'));
        display_ = std::move(display);
    }
}

Xvfb::~Xvfb() {
    // SIGTERM, so that it removes its lock file and socket.
    if (server_) server_->stop();
}

Outcome run(const Command& cmd, const fs::path& dir) {
    std::vector<std::string> argv{cmd.argv0.empty() ? cmd.program : cmd.argv0};
    argv.insert(argv.end(), cmd.args.begin(), cmd.args.end());
    testsupport::Command command(argv);
    command.program = cmd.program;
    command.env = testsupport::environment([&](std::string_view name) {
        return cmd.setEnv.contains(std::string(name)) ||
               std::find(cmd.unsetEnv.begin(), cmd.unsetEnv.end(), name) != cmd.unsetEnv.end();
    });
    for (const auto& [name, value] : cmd.setEnv) command.env->push_back(name + "=" + value);
    command.out = testsupport::Stream::file(dir / "stdout");
    command.err = testsupport::Stream::file(dir / "stderr");

    testsupport::Process process(command);
    const testsupport::Exit exit = process.wait();
    return {exit.exited ? exit.code : -1, process.out(), process.err()};
}

std::map<std::string, std::string> softwareEnv(const std::string& display, const std::string& lsanSuppressions) {
    const char* asan = getenv("ASAN_OPTIONS");
    const char* lsan = getenv("LSAN_OPTIONS");
    // use_tls=0: LeakSanitizer's scan of the dynamic TLS of Mesa's threads
    // reads ranges that are not there (zink always, llvmpipe under load) and
    // ends in "Tracer caught signal 11". Without TLS as roots a leak can only
    // be reported falsely, never missed; lsan.supp names the one that is.
    return {
        {"DISPLAY", display},
        {"LIBGL_ALWAYS_SOFTWARE", "1"},
        {"MESA_SHADER_CACHE_DISABLE", "true"},
        // A preloaded library comes before the ASan runtime in load order.
        {"ASAN_OPTIONS", std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "verify_asan_link_order=0"},
        {"LSAN_OPTIONS", std::string(lsan ? lsan : "") + (lsan && *lsan ? ":" : "") +
                             "use_tls=0:print_suppressions=0:suppressions=" + lsanSuppressions},
    };
}

std::map<std::string, std::string> captureEnv(const std::string& display, const std::string& captureLib,
                                              const std::string& lsanSuppressions, const fs::path& frame,
                                              const fs::path& log) {
    std::map<std::string, std::string> env = softwareEnv(display, lsanSuppressions);
    for (const auto& [name, value] : captureVariables({captureLib, "", frame, log, "", false})) env[name] = value;
    return env;
}

std::string unusableRasterizer(const std::string& rasterizer) {
#if defined(__arm__)
    // Measured under qemu-arm: llvmpipe draws the right calls with pixels up to
    // 194 levels off, and zink on lavapipe, which draws with llvmpipe's code,
    // up to 126, where softpipe draws them exactly. That says nothing about
    // filter.
    if (testsupport::emulated() && rasterizer == "llvmpipe")
        return "llvmpipe's 32-bit ARM code draws wrong pixels under qemu-arm";
    if (testsupport::emulated() && rasterizer == "zink")
        return "lavapipe draws with llvmpipe's 32-bit ARM code, whose pixels are wrong under qemu-arm";
#endif
    (void)rasterizer;
    return "";
}

const std::string& defaultRasterizer() {
    static const std::string name = unusableRasterizer("llvmpipe").empty() ? "llvmpipe" : "softpipe";
    return name;
}

std::map<std::string, std::string> rasterizerEnv(const std::string& rasterizer, const fs::path& runtimeDir) {
    std::map<std::string, std::string> env{
        {"LIBGL_ALWAYS_SOFTWARE", "1"},
        {"GALLIUM_DRIVER", rasterizer},
        {"XDG_RUNTIME_DIR", runtimeDir.string()},
    };
    // qemu-user shows the guest its root's directories but checks a file's
    // existence on the host, so the Vulkan loader lists the guest's driver
    // files and then finds none of them: it is given lavapipe's by its path.
    const fs::path root = testsupport::guestRoot();
    const fs::path drivers = root / "usr/share/vulkan/icd.d";
    std::error_code error;
    if (rasterizer == "zink" && !root.empty())
        for (const auto& entry : fs::directory_iterator(drivers, error))
            if (entry.path().filename().string().starts_with("lvp_icd."))
                env["VK_DRIVER_FILES"] = ("/" / entry.path().lexically_relative(root)).string();
    return env;
}
