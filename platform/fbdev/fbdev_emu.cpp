// libfbdev-emu: an emulated Linux framebuffer device for unmodified programs.
//
// Preloaded (LD_PRELOAD), it serves open() of the framebuffer device paths,
// the three screen-information ioctls and mmap() of the framebuffer memory;
// every other call, and every call on another file, goes on to libc. The
// device is described by FBEMU_* environment variables (docs/fbdev-emulator.md).
//
// The device memory is a memfd (or the file FBEMU_MEMORY names), so a device
// descriptor is a real descriptor of that file: close, fstat, dup and mmap
// work on it as usual, and it is recognised by its inode.

#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fatal(const std::string& message) {
    std::string line = "fbdev-emu: " + message + "\n";
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    _exit(125);
}

template <typename Fn>
Fn nextSymbol(const char* name) {
    void* symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) fatal(std::string("no next definition of ") + name);
    return reinterpret_cast<Fn>(symbol);
}

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using FortifiedOpenFn = int (*)(const char*, int);
using FortifiedOpenatFn = int (*)(int, const char*, int);
using IoctlFn = int (*)(int, unsigned long, ...);
using MmapFn = void* (*)(void*, size_t, int, int, int, off_t);

OpenFn realOpen() {
    static OpenFn fn = nextSymbol<OpenFn>("open");
    return fn;
}

// Owns one file descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    // Takes fd, moved out of the low numbers so that the program's own
    // descriptors are numbered as they would be without the emulator.
    void reset(int fd) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
        if (fd >= 0) {
            int high = fcntl(fd, F_DUPFD_CLOEXEC, 256);
            if (high >= 0) {
                close(fd);
                fd_ = high;
            }
        }
    }

private:
    int fd_;
};

// ---- configuration -------------------------------------------------------

const std::map<std::string, int>& errnoNames() {
    static const std::map<std::string, int> names = {
        {"EPERM", EPERM},   {"ENOENT", ENOENT}, {"EINTR", EINTR},   {"EIO", EIO},
        {"ENXIO", ENXIO},   {"EBADF", EBADF},   {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM},
        {"EACCES", EACCES}, {"EFAULT", EFAULT}, {"EBUSY", EBUSY},   {"ENODEV", ENODEV},
        {"EINVAL", EINVAL}, {"ENOTTY", ENOTTY}, {"ENOSPC", ENOSPC}, {"ENOSYS", ENOSYS},
    };
    return names;
}

// Decimal digits, or "0x" and hexadecimal digits, and nothing else: no
// sign, no spaces, no octal, so "010" is ten.
std::optional<uint64_t> parseNumber(const std::string& text) {
    bool hex = text.size() > 2 && text[0] == '0' && text[1] == 'x';
    size_t start = hex ? 2 : 0;
    if (text.size() == start ||
        text.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789", start) != std::string::npos)
        return std::nullopt;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str() + start, nullptr, hex ? 16 : 10);
    if (errno) return std::nullopt;
    return uint64_t(value);
}

int parseErrno(const std::string& variable, const std::string& text) {
    auto named = errnoNames().find(text);
    if (named != errnoNames().end()) return named->second;
    std::optional<uint64_t> value = parseNumber(text);
    if (!value || *value == 0 || *value > 4095) fatal(variable + ": not an errno name or number: \"" + text + "\"");
    return int(*value);
}

uint32_t parseU32(const std::string& variable, const std::string& text) {
    std::optional<uint64_t> value = parseNumber(text);
    if (!value || *value > UINT32_MAX)
        fatal(variable + ": not a 32-bit decimal or 0x hexadecimal number: \"" + text + "\"");
    return uint32_t(*value);
}

// Rates in Hz: decimal, with an optional fraction ("59.94"). The bounds keep
// the blank period's arithmetic in range.
constexpr double kMinVblankHz = 0.001;
constexpr double kMaxVblankHz = 1e6;

double parseRate(const std::string& variable, const std::string& text) {
    size_t dot = text.find('.');
    std::string whole = text.substr(0, dot);
    std::string fraction = dot == std::string::npos ? "0" : text.substr(dot + 1);
    bool decimal = !whole.empty() && !fraction.empty() && whole.find_first_not_of("0123456789") == std::string::npos &&
                   fraction.find_first_not_of("0123456789") == std::string::npos;
    double hz = decimal ? std::strtod(text.c_str(), nullptr) : -1;
    if (!decimal || hz > kMaxVblankHz || (hz > 0 && hz < kMinVblankHz))
        fatal(variable + ": not 0 or a rate from 0.001 to 1000000 Hz: \"" + text + "\"");
    return hz;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    if (text.empty()) return parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

const char* env(const char* name) { return std::getenv(name); }

uint32_t envU32(const char* name, uint32_t fallback) {
    const char* text = env(name);
    return text ? parseU32(name, text) : fallback;
}

// a * b, or UINT64_MAX where that does not fit: 32-bit ARM has no
// 128-bit integers to hold it.
uint64_t saturated(uint64_t a, uint64_t b) {
    uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// A setting whose default is a product of others: refused, rather than
// wrapped, when that does not fit the 32 bits of the field.
uint32_t envOrProduct(const char* name, const std::string& formula, std::initializer_list<uint32_t> factors) {
    if (const char* text = env(name)) return parseU32(name, text);
    uint64_t product = 1;
    std::string shown;
    for (uint32_t factor : factors) {
        product = saturated(product, factor);
        shown += (shown.empty() ? "" : " x ") + std::to_string(factor);
    }
    if (product > UINT32_MAX)
        fatal(std::string(name) + ": the default, " + formula + " = " + shown + ", does not fit in 32 bits");
    return uint32_t(product);
}

std::string envString(const char* name, const char* fallback) {
    const char* text = env(name);
    return text ? text : fallback;
}

enum class Call { GetFix, GetVar, PutVar, Mmap };

struct Failure {
    Call call;
    unsigned nth;  // 1-based occurrence; 0 for every call
    int error;
};

struct Node {
    std::string path;
    int error;  // 0: opens the device
};

struct Layout {
    fb_bitfield red{}, green{}, blue{}, transp{};
};

struct Config {
    std::vector<Node> nodes;
    std::string id;
    uint32_t xres, yres, xresVirtual, yresVirtual, bpp;
    uint32_t xoffset, yoffset;     // the pan the device starts with
    std::vector<uint32_t> depths;  // ascending
    std::map<uint32_t, Layout> layouts;
    uint32_t widthMm, heightMm;
    uint32_t pixclock, leftMargin, rightMargin, upperMargin, lowerMargin, hsyncLen, vsyncLen;
    uint32_t smemLen, smemLenSet;
    unsigned long smemStart;
    double vblankHz;
    std::vector<Failure> failures;
    std::string logPath, memoryPath;
};

// The most memory the device may have. More than any panel here needs,
// and small enough that a mistyped setting cannot fill the machine's
// memory or disk before anything else is checked.
constexpr uint32_t kMaxMemory = 256u << 20;

// Bytes per line as vfb counts them: whole 32-bit words. Saturates, so
// that no depth or size from a caller or a setting wraps it.
uint64_t lineLength(uint64_t xresVirtual, uint32_t bpp) {
    const uint64_t bits = saturated(xresVirtual, bpp);
    return bits == UINT64_MAX ? UINT64_MAX : (bits / 32 + (bits % 32 != 0)) * 4;
}

// The channel layouts of the kernel's virtual framebuffer driver.
Layout defaultLayout(uint32_t bpp) {
    Layout l;
    switch (bpp) {
    case 8:
        l.red = {0, 8, 0};
        l.green = {0, 8, 0};
        l.blue = {0, 8, 0};
        break;
    case 16:
        l.red = {0, 5, 0};
        l.green = {5, 6, 0};
        l.blue = {11, 5, 0};
        break;
    case 24:
    case 32:
        l.red = {0, 8, 0};
        l.green = {8, 8, 0};
        l.blue = {16, 8, 0};
        if (bpp == 32) l.transp = {24, 8, 0};
        break;
    }
    return l;
}

Layout layoutFor(uint32_t bpp) {
    std::string variable = "FBEMU_LAYOUT_" + std::to_string(bpp);
    const char* text = env(variable.c_str());
    if (!text) return defaultLayout(bpp);
    std::vector<std::string> channels = split(text, ',');
    if (channels.size() < 3 || channels.size() > 4)
        fatal(variable + ": expected R_OFF:R_LEN,G_OFF:G_LEN,B_OFF:B_LEN[,T_OFF:T_LEN]");
    Layout l;
    fb_bitfield* fields[] = {&l.red, &l.green, &l.blue, &l.transp};
    for (size_t i = 0; i < channels.size(); i++) {
        std::vector<std::string> pair = split(channels[i], ':');
        if (pair.size() != 2) fatal(variable + ": bad channel \"" + channels[i] + "\"");
        fields[i]->offset = parseU32(variable, pair[0]);
        fields[i]->length = parseU32(variable, pair[1]);
    }
    return l;
}

std::vector<Node> parseNodes() {
    std::vector<Node> nodes;
    for (const std::string& entry : split(envString("FBEMU_NODES", "/dev/graphics/fb0"), ',')) {
        size_t equals = entry.find('=');
        if (equals == std::string::npos)
            nodes.push_back({entry, 0});
        else
            nodes.push_back({entry.substr(0, equals), parseErrno("FBEMU_NODES", entry.substr(equals + 1))});
    }
    // The usual device paths are always served, missing unless listed, so the
    // machine's own framebuffer is never reached.
    for (const char* path : {"/dev/graphics/fb0", "/dev/fb0"})
        if (std::none_of(nodes.begin(), nodes.end(), [&](const Node& n) { return n.path == path; }))
            nodes.push_back({path, ENOENT});
    return nodes;
}

std::vector<Failure> parseFailures() {
    static const std::map<std::string, Call> calls = {
        {"get_fix", Call::GetFix}, {"get_var", Call::GetVar}, {"put_var", Call::PutVar}, {"mmap", Call::Mmap}};
    std::vector<Failure> failures;
    for (const std::string& entry : split(envString("FBEMU_FAIL", ""), ',')) {
        size_t equals = entry.find('=');
        if (equals == std::string::npos) fatal("FBEMU_FAIL: expected CALL[.N]=ERRNO, got \"" + entry + "\"");
        std::string name = entry.substr(0, equals);
        unsigned nth = 0;
        size_t dot = name.find('.');
        if (dot != std::string::npos) {
            nth = parseU32("FBEMU_FAIL", name.substr(dot + 1));
            name.resize(dot);
        }
        auto call = calls.find(name);
        if (call == calls.end()) fatal("FBEMU_FAIL: unknown call \"" + name + "\"");
        failures.push_back({call->second, nth, parseErrno("FBEMU_FAIL", entry.substr(equals + 1))});
    }
    return failures;
}

Config loadConfig() {
    Config c;
    c.nodes = parseNodes();
    c.id = envString("FBEMU_ID", "velmora-emu");
    c.xres = envU32("FBEMU_XRES", 480);
    c.yres = envU32("FBEMU_YRES", 800);
    c.xresVirtual = envU32("FBEMU_XRES_VIRTUAL", c.xres);
    c.yresVirtual = envOrProduct("FBEMU_YRES_VIRTUAL", "2 x FBEMU_YRES", {2, c.yres});
    c.bpp = envU32("FBEMU_BPP", 32);
    c.xoffset = envU32("FBEMU_XOFFSET", 0);
    c.yoffset = envU32("FBEMU_YOFFSET", 0);
    for (const std::string& depth : split(envString("FBEMU_DEPTHS", "16,24,32"), ','))
        c.depths.push_back(parseU32("FBEMU_DEPTHS", depth));
    std::sort(c.depths.begin(), c.depths.end());
    c.layouts[c.bpp] = layoutFor(c.bpp);
    for (uint32_t depth : c.depths) c.layouts[depth] = layoutFor(depth);
    c.widthMm = envU32("FBEMU_WIDTH_MM", 52);
    c.heightMm = envU32("FBEMU_HEIGHT_MM", 87);
    // 512 x 816 total at 60 Hz.
    c.pixclock = envU32("FBEMU_PIXCLOCK", 39894);
    c.leftMargin = envU32("FBEMU_LEFT_MARGIN", 16);
    c.rightMargin = envU32("FBEMU_RIGHT_MARGIN", 16);
    c.upperMargin = envU32("FBEMU_UPPER_MARGIN", 8);
    c.lowerMargin = envU32("FBEMU_LOWER_MARGIN", 8);
    c.hsyncLen = envU32("FBEMU_HSYNC_LEN", 8);
    c.vsyncLen = envU32("FBEMU_VSYNC_LEN", 2);
    if (lineLength(c.xresVirtual, c.bpp) > UINT32_MAX)
        fatal("FBEMU_XRES_VIRTUAL x FBEMU_BPP: a line of " +
              std::to_string(uint64_t(lineLength(c.xresVirtual, c.bpp))) + " bytes does not fit in 32 bits");
    c.smemLen = envOrProduct("FBEMU_SMEM_LEN", "FBEMU_XRES_VIRTUAL x FBEMU_YRES_VIRTUAL x 4",
                             {c.xresVirtual, c.yresVirtual, 4});
    c.smemLenSet = envU32("FBEMU_SMEM_LEN_SET", c.smemLen);
    uint32_t memory = std::max(c.smemLen, c.smemLenSet);
    if (memory > kMaxMemory)
        fatal("the device's memory, " + std::to_string(memory) +
              " bytes (the larger of FBEMU_SMEM_LEN and FBEMU_SMEM_LEN_SET), is more than the emulator makes: " +
              std::to_string(kMaxMemory) + " bytes (256 MiB)");
    c.smemStart = envU32("FBEMU_SMEM_START", 0);
    c.vblankHz = parseRate("FBEMU_VBLANK_HZ", envString("FBEMU_VBLANK_HZ", "60"));
    c.failures = parseFailures();
    c.logPath = envString("FBEMU_LOG", "");
    c.memoryPath = envString("FBEMU_MEMORY", "");
    return c;
}

const Config& config() {
    static const Config c = loadConfig();
    return c;
}

const Node* servedNode(const char* path) {
    if (!path || path[0] != '/') return nullptr;
    for (const Node& node : config().nodes)
        if (node.path == path) return &node;
    return nullptr;
}

int64_t monotonicNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

uint32_t wordAt(const fb_var_screeninfo& var, size_t offset) {
    uint32_t word;
    std::memcpy(&word, reinterpret_cast<const char*>(&var) + offset, sizeof(word));
    return word;
}

// ---- the device ----------------------------------------------------------

// What freshly powered framebuffer memory holds here, so painting is visible.
constexpr unsigned char kStaleByte = 0xA5;

class Device {
public:
    explicit Device(const Config& c)
        : config_(c), origin_(monotonicNs()), memoryLength_(std::max(c.smemLen, c.smemLenSet)) {
        size_t page = size_t(sysconf(_SC_PAGESIZE));
        size_t size = (size_t(memoryLength_) + page - 1) / page * page;
        if (c.memoryPath.empty()) {
            memory_.reset(memfd_create("fbdev-emu", MFD_CLOEXEC));
            memoryPath_ = "/proc/self/fd/" + std::to_string(memory_.get());
        } else {
            memory_.reset(realOpen()(c.memoryPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
            memoryPath_ = c.memoryPath;
        }
        if (memory_.get() < 0 || ftruncate(memory_.get(), off_t(size)) != 0)
            fatal("cannot create the framebuffer memory: " + std::string(strerror(errno)));
        std::vector<unsigned char> stale(std::min<size_t>(size, 1 << 20), kStaleByte);
        for (size_t done = 0; done < size; done += stale.size())
            if (pwrite(memory_.get(), stale.data(), std::min(stale.size(), size - done), off_t(done)) < 0)
                fatal("cannot fill the framebuffer memory: " + std::string(strerror(errno)));
        struct stat st;
        fstat(memory_.get(), &st);
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        if (!c.logPath.empty()) {
            log_.reset(realOpen()(c.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
            if (log_.get() < 0) fatal("cannot open the log " + c.logPath + ": " + strerror(errno));
        }
        initScreen();
    }

    // Returns a descriptor or -errno.
    int open(const Node& node, int flags) {
        std::lock_guard<std::mutex> lock(mutex_);
        int result = node.error ? -node.error : openMemory(flags);
        log("open path=%s %s", node.path.c_str(), outcome(result).c_str());
        return result;
    }

    bool owns(int fd) const {
        struct stat st;
        return fstat(fd, &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
    }

    // Returns 0, -errno, or 1 for a request this device does not serve.
    int ioctl(unsigned long request, void* arg) {
        std::lock_guard<std::mutex> lock(mutex_);
        switch (request) {
        case FBIOGET_FSCREENINFO:
            return getFix(arg);
        case FBIOGET_VSCREENINFO:
            return getVar(arg);
        case FBIOPUT_VSCREENINFO:
            return putVar(arg);
        default:
            return 1;
        }
    }

    // Returns 0 when the mapping may go ahead, or -errno.
    int checkMap(size_t length, off_t offset) {
        std::lock_guard<std::mutex> lock(mutex_);
        int result = injected(Call::Mmap);
        size_t page = size_t(sysconf(_SC_PAGESIZE));
        size_t limit = (size_t(fix_.smem_len) + page - 1) / page * page;
        if (!result &&
            (offset < 0 || size_t(offset) % page || size_t(offset) >= limit || length > limit - size_t(offset)))
            result = -EINVAL;
        log("mmap length=%zu offset=%lld smem_len=%u %s", length, (long long)offset, fix_.smem_len,
            outcome(result).c_str());
        return result;
    }

private:
    void initScreen() {
        const Config& c = config_;
        std::memset(&fix_, 0, sizeof(fix_));
        std::memcpy(fix_.id, c.id.data(), std::min(c.id.size(), sizeof(fix_.id)));
        fix_.smem_len = c.smemLen;
        fix_.smem_start = c.smemStart;
        fix_.type = FB_TYPE_PACKED_PIXELS;
        fix_.visual = FB_VISUAL_TRUECOLOR;
        fix_.ypanstep = 1;
        // The mode the device starts with. A mode set takes the caller's
        // geometry and timings from then on.
        std::memset(&var_, 0, sizeof(var_));
        var_.xres = c.xres;
        var_.yres = c.yres;
        var_.xres_virtual = c.xresVirtual;
        var_.yres_virtual = c.yresVirtual;
        var_.xoffset = c.xoffset;
        var_.yoffset = c.yoffset;
        var_.bits_per_pixel = c.bpp;
        var_.width = c.widthMm;
        var_.height = c.heightMm;
        var_.pixclock = c.pixclock;
        var_.left_margin = c.leftMargin;
        var_.right_margin = c.rightMargin;
        var_.upper_margin = c.upperMargin;
        var_.lower_margin = c.lowerMargin;
        var_.hsync_len = c.hsyncLen;
        var_.vsync_len = c.vsyncLen;
        setLayout(var_);
        fix_.line_length = lineLengthField(c.xresVirtual, c.bpp);
    }

    // The channel layout the driver gives the record's depth.
    void setLayout(fb_var_screeninfo& v) const {
        const Layout& l = config_.layouts.at(v.bits_per_pixel);
        v.red = l.red;
        v.green = l.green;
        v.blue = l.blue;
        v.transp = l.transp;
    }

    // The fixed record's line_length: the settings and check() keep it in
    // 32 bits.
    static uint32_t lineLengthField(uint64_t xresVirtual, uint32_t bpp) {
        return uint32_t(lineLength(xresVirtual, bpp));
    }

    int openMemory(int flags) {
        int fd = realOpen()(memoryPath_.c_str(), flags & (O_ACCMODE | O_CLOEXEC | O_NONBLOCK));
        return fd < 0 ? -errno : fd;
    }

    int getFix(void* arg) {
        int result = injected(Call::GetFix);
        if (!result && !arg) result = -EFAULT;
        if (!result) std::memcpy(arg, &fix_, sizeof(fix_));
        log("get_fix request=0x%x smem_len=%u %s", unsigned(FBIOGET_FSCREENINFO), fix_.smem_len,
            outcome(result).c_str());
        return result;
    }

    int getVar(void* arg) {
        int result = injected(Call::GetVar);
        if (!result && !arg) result = -EFAULT;
        if (!result) std::memcpy(arg, &var_, sizeof(var_));
        log("get_var request=0x%x xres=%u yres=%u xres_virtual=%u yres_virtual=%u bpp=%u yoffset=%u %s",
            unsigned(FBIOGET_VSCREENINFO), var_.xres, var_.yres, var_.xres_virtual, var_.yres_virtual,
            var_.bits_per_pixel, var_.yoffset, outcome(result).c_str());
        return result;
    }

    int putVar(void* arg) {
        if (!arg) return -EFAULT;
        fb_var_screeninfo v;
        std::memcpy(&v, arg, sizeof(v));
        fb_var_screeninfo asked = v;
        int result = injected(Call::PutVar);
        if (!result) result = check(v);
        if (!result) {
            if ((v.activate & FB_ACTIVATE_MASK) != FB_ACTIVATE_TEST) {
                var_ = v;
                fix_.smem_len = config_.smemLenSet;
                fix_.line_length = lineLengthField(v.xres_virtual, v.bits_per_pixel);
            }
            // Like the kernel, hand back the mode as the driver took it.
            std::memcpy(arg, &v, sizeof(v));
            if (v.activate & FB_ACTIVATE_VBL) waitForVblank();
        }
        log("put_var request=0x%x activate=%u xoffset=%u yoffset=%u bpp=%u geometry=%ux%u,%ux%u "
            "timings=%u,%u,%u,%u,%u words=0x%08x,0x%08x,0x%08x smem_len=%u %s",
            unsigned(FBIOPUT_VSCREENINFO), asked.activate, asked.xoffset, asked.yoffset, asked.bits_per_pixel,
            asked.xres, asked.yres, asked.xres_virtual, asked.yres_virtual, asked.pixclock, asked.left_margin,
            asked.right_margin, asked.upper_margin, asked.lower_margin, wordAt(asked, 140), wordAt(asked, 144),
            wordAt(asked, 148), fix_.smem_len, outcome(result).c_str());
        return result;
    }

    // Fits the asked mode to the device as the kernel's vfb does: the next
    // depth up that the device has, with that depth's layout; the virtual
    // size raised to hold the visible size and grown to hold the offsets; the
    // visible size, timings and everything else as sent. A depth the device
    // cannot do is EINVAL, a screen its memory cannot hold ENOMEM.
    int check(fb_var_screeninfo& v) const {
        auto depth = std::lower_bound(config_.depths.begin(), config_.depths.end(), v.bits_per_pixel);
        if (depth == config_.depths.end() || v.bits_per_pixel == 0) return -EINVAL;
        v.bits_per_pixel = *depth;
        setLayout(v);
        uint64_t xresVirtual = std::max({uint64_t(v.xres_virtual), uint64_t(v.xres), uint64_t(v.xoffset) + v.xres});
        uint64_t yresVirtual = std::max({uint64_t(v.yres_virtual), uint64_t(v.yres), uint64_t(v.yoffset) + v.yres});
        // An empty screen fits any memory, but its line must still fit its field.
        if (xresVirtual > UINT32_MAX || yresVirtual > UINT32_MAX ||
            lineLength(xresVirtual, v.bits_per_pixel) > UINT32_MAX ||
            lineLength(xresVirtual, v.bits_per_pixel) * yresVirtual > memoryLength_)
            return -ENOMEM;
        v.xres_virtual = uint32_t(xresVirtual);
        v.yres_virtual = uint32_t(yresVirtual);
        return 0;
    }

    void waitForVblank() const {
        if (config_.vblankHz <= 0) return;
        double period = 1e9 / config_.vblankHz;
        int64_t now = monotonicNs();
        double next = std::floor(double(now - origin_) / period) + 1;
        int64_t blank = origin_ + int64_t(std::llround(next * period));
        if (blank <= now)  // rounding put it at or before now
            blank = origin_ + int64_t(std::llround((next + 1) * period));
        timespec until{time_t(blank / 1000000000), long(blank % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
    }

    int injected(Call call) {
        unsigned count = ++calls_[int(call)];
        for (const Failure& f : config_.failures)
            if (f.call == call && (f.nth == 0 || f.nth == count)) return -f.error;
        return 0;
    }

    static std::string outcome(int result) {
        return result < 0 ? "errno=" + std::to_string(-result) : "result=" + std::to_string(result);
    }

    __attribute__((format(printf, 2, 3))) void log(const char* format, ...) const {
        if (log_.get() < 0) return;
        char line[512];
        va_list args;
        va_start(args, format);
        int n = vsnprintf(line, sizeof(line) - 1, format, args);
        va_end(args);
        n = std::min<int>(n, sizeof(line) - 2);
        line[n++] = '\n';
        ssize_t ignored = write(log_.get(), line, size_t(n));
        (void)ignored;
    }

    const Config& config_;
    const int64_t origin_;
    // The memory a mode must fit in: the larger of the two lengths the
    // device reports (vfb's videomemorysize, which is also its smem_len).
    const uint32_t memoryLength_;
    std::mutex mutex_;
    Fd memory_;
    Fd log_;
    std::string memoryPath_;
    dev_t dev_{};
    ino_t ino_{};
    fb_fix_screeninfo fix_;
    fb_var_screeninfo var_;
    unsigned calls_[4] = {};
};

std::atomic<Device*> g_device{nullptr};

Device& device() {
    static Device d(config());
    g_device.store(&d);
    return d;
}

Device* deviceOf(int fd) {
    Device* d = g_device.load();
    return d && fd >= 0 && d->owns(fd) ? d : nullptr;
}

bool takesMode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

// Serves an open of a device path: the descriptor or -1 with errno set.
// Returns nothing for any other path.
std::optional<int> serveOpen(const char* path, int flags) {
    const Node* node = servedNode(path);
    if (!node) return std::nullopt;
    int saved = errno;
    int fd = device().open(*node, flags);
    errno = fd < 0 ? -fd : saved;
    return fd < 0 ? -1 : fd;
}

}  // namespace

// ---- interposed libc entry points -----------------------------------------

// open's third argument is there only when the flags create a file.
#define FBEMU_MODE_ARGUMENT(flags)   \
    mode_t mode = 0;                 \
    if (takesMode(flags)) {          \
        va_list args;                \
        va_start(args, flags);       \
        mode = va_arg(args, mode_t); \
        va_end(args);                \
    }

extern "C" int open(const char* path, int flags, ...) {
    FBEMU_MODE_ARGUMENT(flags)
    static OpenFn next = nextSymbol<OpenFn>("open");
    std::optional<int> fd = serveOpen(path, flags);
    return fd ? *fd : next(path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...) {
    FBEMU_MODE_ARGUMENT(flags)
    static OpenFn next = nextSymbol<OpenFn>("open64");
    std::optional<int> fd = serveOpen(path, flags);
    return fd ? *fd : next(path, flags, mode);
}

extern "C" int openat(int dirfd, const char* path, int flags, ...) {
    FBEMU_MODE_ARGUMENT(flags)
    static OpenatFn next = nextSymbol<OpenatFn>("openat");
    std::optional<int> fd = serveOpen(path, flags);
    return fd ? *fd : next(dirfd, path, flags, mode);
}

extern "C" int openat64(int dirfd, const char* path, int flags, ...) {
    FBEMU_MODE_ARGUMENT(flags)
    static OpenatFn next = nextSymbol<OpenatFn>("openat64");
    std::optional<int> fd = serveOpen(path, flags);
    return fd ? *fd : next(dirfd, path, flags, mode);
}

// The checked variants that _FORTIFY_SOURCE builds call.
extern "C" int __open_2(const char* path, int flags) {
    static FortifiedOpenFn next = nextSymbol<FortifiedOpenFn>("__open_2");
    std::optional<int> fd = serveOpen(path, flags);
    return fd ? *fd : next(path, flags);
}

extern "C" int __open64_2(const char* path, int flags) {
    static FortifiedOpenFn next = nextSymbol<FortifiedOpenFn>("__open64_2");
    std::optional<int> fd = serveOpen(path, flags);
    return fd ? *fd : next(path, flags);
}

extern "C" int __openat_2(int dirfd, const char* path, int flags) {
    static FortifiedOpenatFn next = nextSymbol<FortifiedOpenatFn>("__openat_2");
    std::optional<int> fd = serveOpen(path, flags);
    return fd ? *fd : next(dirfd, path, flags);
}

extern "C" int __openat64_2(int dirfd, const char* path, int flags) {
    static FortifiedOpenatFn next = nextSymbol<FortifiedOpenatFn>("__openat64_2");
    std::optional<int> fd = serveOpen(path, flags);
    return fd ? *fd : next(dirfd, path, flags);
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (Device* d = deviceOf(fd)) {
        int saved = errno;
        int result = d->ioctl(request, arg);
        if (result <= 0) {
            errno = result < 0 ? -result : saved;
            return result < 0 ? -1 : 0;
        }
    }
    static IoctlFn next = nextSymbol<IoctlFn>("ioctl");
    return next(fd, request, arg);
}

namespace {
void* serveMmap(MmapFn next, void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    if (Device* d = deviceOf(fd)) {
        if (int result = d->checkMap(length, offset)) {
            errno = -result;
            return MAP_FAILED;
        }
    }
    return next(addr, length, prot, flags, fd, offset);
}
}  // namespace

extern "C" void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    static MmapFn next = nextSymbol<MmapFn>("mmap");
    return serveMmap(next, addr, length, prot, flags, fd, offset);
}

extern "C" void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off64_t offset) {
    static MmapFn next = nextSymbol<MmapFn>("mmap64");
    return serveMmap(next, addr, length, prot, flags, fd, offset);
}
