// refresh: sets the framebuffer to 16 bpp, prints the mode and the refresh
// rate its timings imply, then flips between the two halves of the virtual
// screen at every vertical blank, printing the measured rate every 120 flips.
//
// libc and <linux/fb.h> only, in one file, so that it also builds statically
// for a minimal system.

#include <linux/fb.h>

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>

// The three update-rectangle words are the ones right after `rotate`. Kernel
// headers name them differently (newer ones put `colorspace` first), so they
// are addressed by offset.
static_assert(sizeof(fb_var_screeninfo) == 160, "unexpected fb_var_screeninfo layout");
static_assert(offsetof(fb_var_screeninfo, rotate) == 136, "unexpected fb_var_screeninfo layout");
static const size_t kUpdateWords = 140;

// Returned when the driver reports no framebuffer memory after the mode set:
// no call failed, so errno says nothing; a fixed value keeps the status meaningful.
static const int kNoMemoryStatus = -ENOMEM;

static const char* const device_template[] = {
    "/dev/graphics/fb%u",
    "/dev/fb%u",
    nullptr,
};

static int64_t systemTime() {
    struct timespec t;
    memset(&t, 0, sizeof(t));
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000LL + int64_t(t.tv_nsec);
}

static void setUpdateWord(fb_var_screeninfo* info, int index, uint32_t value) {
    memcpy(reinterpret_cast<char*>(info) + kUpdateWords + 4 * index, &value, sizeof(value));
}

int main() {
    char name[64];
    int fd = -1;
    for (int i = 0; fd == -1 && device_template[i]; i++) {
        snprintf(name, 64, device_template[i], 0u);
        fd = open(name, O_RDWR, 0);
    }
    if (fd < 0) return -errno;

    fb_fix_screeninfo finfo;
    if (ioctl(fd, FBIOGET_FSCREENINFO, &finfo) == -1) return -errno;

    fb_var_screeninfo info;
    if (ioctl(fd, FBIOGET_VSCREENINFO, &info) == -1) return -errno;

    setUpdateWord(&info, 0, 0);
    setUpdateWord(&info, 1, 0);
    setUpdateWord(&info, 2, 0);
    info.xoffset = 0;
    info.yoffset = 0;
    info.bits_per_pixel = 16;
    info.activate = FB_ACTIVATE_NOW;

    if (ioctl(fd, FBIOPUT_VSCREENINFO, &info) == -1) {
        printf("FBIOPUT_VSCREENINFO failed (%d x %d)\n", int(info.xres_virtual), int(info.yres_virtual));
        fflush(stdout);
        return 0;
    }

    if (ioctl(fd, FBIOGET_VSCREENINFO, &info) == -1) return -errno;

    float xdpi = (float(info.xres) * 25.4f) / float(info.width);
    float ydpi = (float(info.yres) * 25.4f) / float(info.height);

    uint32_t lines = info.yres + info.upper_margin + info.lower_margin;
    uint32_t columns = info.xres + info.left_margin + info.right_margin;
    uint64_t period = uint64_t(lines) * uint64_t(columns) * uint64_t(info.pixclock);
    // No timings (or a product that wraps to 0) give no rate rather than a trap.
    int refreshRate = period ? int(uint32_t(1000000000000000ULL / period)) : 0;
    float fps = float(refreshRate) / 1000.0f;

    printf(
        "using (fd=%d)\n"
        "id           = %.16s\n"
        "xres         = %d px\n"
        "yres         = %d px\n"
        "xres_virtual = %d px\n"
        "yres_virtual = %d px\n"
        "bpp          = %d\n"
        "r            = %2u:%u\n"
        "g            = %2u:%u\n"
        "b            = %2u:%u\n",
        fd, finfo.id, int(info.xres), int(info.yres), int(info.xres_virtual), int(info.yres_virtual),
        int(info.bits_per_pixel), info.red.offset, info.red.length, info.green.offset, info.green.length,
        info.blue.offset, info.blue.length);
    fflush(stdout);

    printf(
        "width        = %d mm (%f dpi)\n"
        "height       = %d mm (%f dpi)\n"
        "refresh rate = %.2f Hz\n",
        int(info.width), double(xdpi), int(info.height), double(ydpi), double(fps));
    fflush(stdout);

    printf("upper_margin=%d, lower_margin=%d, left_margin=%d, right_margin=%d, pixclock=%d, finfo.smem_len=%d\n",
           int(info.upper_margin), int(info.lower_margin), int(info.left_margin), int(info.right_margin),
           int(info.pixclock), int(finfo.smem_len));
    fflush(stdout);

    if (ioctl(fd, FBIOGET_FSCREENINFO, &finfo) == -1) return -errno;
    if (finfo.smem_len == 0) return kNoMemoryStatus;

    void* buffer = mmap(nullptr, finfo.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (buffer == MAP_FAILED) return -errno;

    memset(buffer, 0x00, finfo.smem_len);
    // The white part is half the virtual height of 640-byte lines, but never
    // more than the driver mapped.
    uint64_t white = uint64_t(info.yres_virtual / 2) * 640;
    if (white > finfo.smem_len) white = finfo.smem_len;
    memset(buffer, 0xFF, size_t(white));

    setUpdateWord(&info, 0, 0x54445055);  // "UPDT"
    setUpdateWord(&info, 1, 0);           // left 0, top 0
    setUpdateWord(&info, 2, 0x01E00140);  // width 320, height 480

    int64_t time = systemTime();
    int c = 0;
    for (;;) {
        info.activate = FB_ACTIVATE_VBL;
        info.yoffset = 0;
        ioctl(fd, FBIOPUT_VSCREENINFO, &info);

        info.activate = FB_ACTIVATE_VBL;
        info.yoffset = info.yres_virtual / 2;
        ioctl(fd, FBIOPUT_VSCREENINFO, &info);

        c += 2;
        if (c == 120) {
            int64_t now = systemTime();
            printf("refresh rate = %f Hz\n", 1.2e11 / double(now - time));
            fflush(stdout);
            time = now;
            c = 0;
        }
    }
}
