#include "refresh_run.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "process.h"
#include "temp_dir.h"

namespace fbtest {

using Clock = std::chrono::steady_clock;

namespace {

// The figure of a line "refresh rate = %f Hz" (six decimals), or none.
std::optional<std::string> rateFigure(const std::string& line) {
    const std::string head = "refresh rate = ", tail = " Hz";
    if (line.size() < head.size() + tail.size() || line.rfind(head, 0) != 0 ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return std::nullopt;
    std::string figure = line.substr(head.size(), line.size() - head.size() - tail.size());
    if (figure == "inf" || figure == "nan" || figure == "-nan") return figure;
    size_t digits = figure.find_first_not_of("0123456789", figure[0] == '-' ? 1 : 0);
    bool sixDecimals = digits != std::string::npos && digits > (figure[0] == '-' ? 1u : 0u) && figure[digits] == '.' &&
                       figure.size() == digits + 7 &&
                       figure.find_first_not_of("0123456789", digits + 1) == std::string::npos;
    return sixDecimals ? std::optional<std::string>(figure) : std::nullopt;
}

size_t countVblPans(const std::vector<std::string>& log) {
    size_t n = 0;
    for (const std::string& line : log)
        if (line.rfind("put_var ", 0) == 0 && line.find(" activate=16 ") != std::string::npos) n++;
    return n;
}

}  // namespace

std::string RefreshRun::defaultProgram() { return REFRESH_BIN; }

RefreshRun::RefreshRun(std::string program)
    : program_(std::move(program)),
      tmp_(std::make_unique<testsupport::TempDir>("refresh-test")),
      dir_(tmp_->path().string()) {
    env_ = {
        {"FBEMU_NODES", "/dev/graphics/fb0"},
        {"FBEMU_ID", "velmora-test"},
        {"FBEMU_XRES", "480"},
        {"FBEMU_YRES", "800"},
        {"FBEMU_XRES_VIRTUAL", "480"},
        {"FBEMU_YRES_VIRTUAL", "1600"},
        {"FBEMU_BPP", "32"},
        {"FBEMU_DEPTHS", "16,32"},
        {"FBEMU_LAYOUT_16", "11:5,5:6,0:5"},
        {"FBEMU_WIDTH_MM", "52"},
        {"FBEMU_HEIGHT_MM", "87"},
        {"FBEMU_PIXCLOCK", "39894"},
        {"FBEMU_LEFT_MARGIN", "16"},
        {"FBEMU_RIGHT_MARGIN", "16"},
        {"FBEMU_UPPER_MARGIN", "8"},
        {"FBEMU_LOWER_MARGIN", "8"},
        {"FBEMU_SMEM_LEN", "3072000"},
        {"FBEMU_VBLANK_HZ", "1000"},
        {"FBEMU_LOG", dir_ + "/device.log"},
        {"FBEMU_MEMORY", dir_ + "/memory"},
    };
}

RefreshRun::~RefreshRun() = default;

std::unique_ptr<testsupport::Process> RefreshRun::start() {
    const char* inherited = getenv("ASAN_OPTIONS");
    testsupport::Command command({program_});
    command.env = testsupport::environment([](std::string_view name) {
        return name.starts_with("FBEMU_") || name == "LD_PRELOAD" || name == "ASAN_OPTIONS";
    });
    // An ASan-built refresh sees the preloaded library ahead of its runtime.
    command.env->push_back("ASAN_OPTIONS=" + (inherited ? std::string(inherited) + ":" : std::string()) +
                           "verify_asan_link_order=0");
    command.env->push_back("LD_PRELOAD=" + (preload_.empty() ? "" : preload_ + ":") + FBDEV_EMU_LIB);
    for (const auto& [name, value] : env_) command.env->push_back(name + "=" + value);
    command.out = testsupport::Stream::pipe();
    command.err = testsupport::Stream::pipe();
    // Only 0, 1 and 2 open, as from a shell: the device then opens as fd 3.
    command.closeOtherFds = true;
    return std::make_unique<testsupport::Process>(command);
}

Outcome RefreshRun::finish(testsupport::Process& refresh, std::chrono::seconds timeout) {
    const testsupport::Exit exit = refresh.finish(timeout);
    Outcome o;
    o.out = refresh.out();
    o.err = refresh.err();
    if (refresh.killedAtDeadline()) o.err += "\n[test: refresh did not finish in time, killed]";
    const rusage& usage = refresh.usage();
    o.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    o.exited = exit.exited;
    o.status = exit.exited ? exit.code : -1;
    o.signal = exit.exited ? 0 : exit.code;
    return o;
}

Outcome RefreshRun::runToExit(std::chrono::seconds timeout) {
    auto refresh = start();
    return finish(*refresh, timeout);
}

Outcome RefreshRun::runForRateLines(size_t rateLines, std::chrono::seconds timeout) {
    auto refresh = start();
    auto deadline = Clock::now() + timeout;
    while (countRateLines(refresh->out()) < rateLines && Clock::now() < deadline &&
           refresh->pump(std::chrono::milliseconds(100))) {
    }
    refresh->signal(SIGTERM);
    return finish(*refresh, std::chrono::seconds(5));
}

Outcome RefreshRun::stopAfterFlips(size_t flips, size_t* flipsBefore, std::chrono::seconds timeout) {
    auto refresh = start();
    auto deadline = Clock::now() + timeout;
    size_t seen = 0;
    while ((seen = countVblPans(logLines())) < flips && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    *flipsBefore = seen;
    refresh->signal(SIGTERM);
    return finish(*refresh, std::chrono::seconds(5));
}

std::vector<std::string> RefreshRun::logLines() const {
    std::ifstream in(env_.at("FBEMU_LOG"));
    std::vector<std::string> result;
    // A line without its line feed is one the device was still writing: a
    // SIGTERM cuts a write that crosses a page of the file short.
    for (std::string line; std::getline(in, line) && !in.eof();) result.push_back(line);
    return result;
}

std::string RefreshRun::memory() const {
    std::ifstream in(env_.at("FBEMU_MEMORY"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t countRateLines(const std::string& out) { return rateValues(out).size(); }

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

std::vector<double> rateValues(const std::string& out) {
    std::vector<double> values;
    for (const std::string& line : splitLines(out))
        if (std::optional<std::string> figure = rateFigure(line))
            values.push_back(std::strtod(figure->c_str(), nullptr));
    return values;
}

}  // namespace fbtest
