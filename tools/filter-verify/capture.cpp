// Preloaded into an unmodified filter process: saves the picture of the
// current surface as a PAM file when the frame is finished (glFinish) or
// presented (eglSwapBuffers), and logs the EGL/GL calls that filter-verify
// and the tests care about, with the failures filter itself never examines.
//
// Environment (read here, never by filter):
//   FILTER_CAPTURE         file for the picture (overwritten on each capture)
//   FILTER_CAPTURE_LOG     file to append one line per logged call
//   FILTER_BREAK_PBUFFER   set: hand the real eglCreatePbufferSurface a
//                          negative width, so that creation truly fails
//   FILTER_CAPTURE_CONFIG  channel sizes such as 565 or 8888: filter gets
//                          the first config of exactly that format, as on a
//                          display that offers no other

#include <EGL/egl.h>
#include <GLES/gl.h>
#include <GLES/glext.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "image.h"
#include "velmora/display.h"

namespace {

template <typename Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

__attribute__((format(printf, 1, 2))) void logCall(const char* fmt, ...) {
    const char* path = getenv("FILTER_CAPTURE_LOG");
    if (!path) return;
    FILE* f = fopen(path, "a");
    if (!f) return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(f, fmt, ap);
    va_end(ap);
    fputc('\n', f);
    fclose(f);
}

EGLint surfaceAttrib(EGLDisplay dpy, EGLSurface s, EGLint name) {
    EGLint v = 0;
    eglQuerySurface(dpy, s, name, &v);
    return v;
}

struct ChannelSizes {
    EGLint red = 0, green = 0, blue = 0, alpha = 0;
};

ChannelSizes sizesOf(EGLDisplay dpy, EGLConfig config) {
    ChannelSizes c;
    eglGetConfigAttrib(dpy, config, EGL_RED_SIZE, &c.red);
    eglGetConfigAttrib(dpy, config, EGL_GREEN_SIZE, &c.green);
    eglGetConfigAttrib(dpy, config, EGL_BLUE_SIZE, &c.blue);
    eglGetConfigAttrib(dpy, config, EGL_ALPHA_SIZE, &c.alpha);
    return c;
}

bool operator==(const ChannelSizes& a, const ChannelSizes& b) {
    return a.red == b.red && a.green == b.green && a.blue == b.blue && a.alpha == b.alpha;
}

// The library's own look-ups go to EGL, not through the wrapper below.
EGLBoolean chooseConfig(EGLDisplay dpy, const EGLint* attribs, EGLConfig* configs, EGLint size, EGLint* count) {
    return real<decltype(&eglChooseConfig)>("eglChooseConfig")(dpy, attribs, configs, size, count);
}

// Every config that matches, in EGL's order.
std::vector<EGLConfig> allConfigs(EGLDisplay dpy, const EGLint* attribs) {
    EGLint n = 0;
    if (!chooseConfig(dpy, attribs, nullptr, 0, &n) || n <= 0) return {};
    std::vector<EGLConfig> configs(static_cast<size_t>(n));
    if (!chooseConfig(dpy, attribs, configs.data(), n, &n)) return {};
    configs.resize(static_cast<size_t>(std::max(n, 0)));
    return configs;
}

// The config of the surface, whichever way it was chosen: what the frame
// was stored in.
std::optional<ChannelSizes> surfaceSizes(EGLDisplay dpy, EGLSurface s, EGLint& id) {
    id = surfaceAttrib(dpy, s, EGL_CONFIG_ID);
    const EGLint want[] = {EGL_CONFIG_ID, id, EGL_NONE};
    const std::vector<EGLConfig> configs = allConfigs(dpy, want);
    if (configs.size() != 1) return std::nullopt;
    return sizesOf(dpy, configs[0]);
}

// "565" is red 5, green 6, blue 5, no alpha; "5551" has alpha 1.
std::optional<ChannelSizes> parseSizes(const char* text) {
    const size_t n = strlen(text);
    if (n != 3 && n != 4) return std::nullopt;
    for (size_t i = 0; i < n; ++i)
        if (text[i] < '1' || text[i] > '9') return std::nullopt;
    return ChannelSizes{text[0] - '0', text[1] - '0', text[2] - '0', n == 4 ? text[3] - '0' : 0};
}

bool hasExtension(const char* name) {
    const char* all = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
    const size_t n = strlen(name);
    for (const char* p = all; p && (p = strstr(p, name)) != nullptr; p += n)
        if ((p == all || p[-1] == ' ') && (p[n] == ' ' || p[n] == '\0')) return true;
    return false;
}

// Reads the current draw surface and writes it, top row first.
void capture(const char* when) {
    EGLDisplay dpy = eglGetCurrentDisplay();
    EGLSurface s = eglGetCurrentSurface(EGL_DRAW);
    if (s == EGL_NO_SURFACE) {
        logCall("capture %s: no surface", when);
        return;
    }
    const char* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    logCall("renderer %s", renderer ? renderer : "unknown");
    if (!hasExtension("GL_OES_draw_texture")) logCall("GL_OES_draw_texture missing");
    Image img;
    img.width = surfaceAttrib(dpy, s, EGL_WIDTH);
    img.height = surfaceAttrib(dpy, s, EGL_HEIGHT);
    EGLint id = 0;
    const auto sizes = surfaceSizes(dpy, s, id);
    if (sizes)
        logCall("surface config %d: red %d green %d blue %d alpha %d", id, sizes->red, sizes->green, sizes->blue,
                sizes->alpha);
    img.hasAlpha = sizes && sizes->alpha > 0;
    std::vector<Rgba> bottomUp(static_cast<size_t>(img.width) * img.height);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, img.width, img.height, GL_RGBA, GL_UNSIGNED_BYTE, bottomUp.data());
    img.pixels.reserve(bottomUp.size());
    for (int y = img.height - 1; y >= 0; --y) {
        const Rgba* row = &bottomUp[static_cast<size_t>(y) * img.width];
        img.pixels.insert(img.pixels.end(), row, row + img.width);
    }
    if (!img.hasAlpha)
        for (Rgba& p : img.pixels) p.a = 255;
    const char* path = getenv("FILTER_CAPTURE");
    if (path && writePam(path, img)) logCall("capture %s: %dx%d", when, img.width, img.height);
}

// Tightly packed sizes; the 4-texel rows of these images need no padding.
size_t bytesPerTexel(GLenum format, GLenum type) {
    if (type != GL_UNSIGNED_BYTE) return 2;  // the packed 16-bit types
    switch (format) {
    case GL_LUMINANCE_ALPHA:
        return 2;
    case GL_RGB:
        return 3;
    case GL_RGBA:
        return 4;
    default:
        return 1;
    }
}

PFNGLDRAWTEXIOESPROC realDrawTex = nullptr;

void GL_APIENTRY loggedDrawTex(GLint x, GLint y, GLint z, GLint width, GLint height) {
    logCall("glDrawTexiOES %d %d %d %d %d", x, y, z, width, height);
    realDrawTex(x, y, z, width, height);
    // filter reads no GL error; a driver that only pretends to have the
    // extension shows here.
    if (const GLenum error = glGetError(); error != GL_NO_ERROR) logCall("glDrawTexiOES error 0x%x", error);
}

// Without a window system (Mesa's surfaceless platform) no config can
// draw to a window, and filter's request for window and pbuffer configs
// alike would get none: there the pbuffer bit alone is asked for.
void dropWindowBitWithoutWindows(EGLDisplay dpy, std::vector<EGLint>& attribs) {
    static const EGLint windows[] = {EGL_SURFACE_TYPE, EGL_WINDOW_BIT, EGL_NONE};
    for (size_t i = 0; i + 1 < attribs.size(); i += 2) {
        if (attribs[i] != EGL_SURFACE_TYPE || !(attribs[i + 1] & EGL_WINDOW_BIT)) continue;
        EGLint n = 0;
        if (chooseConfig(dpy, windows, nullptr, 0, &n) && n == 0) {
            attribs[i + 1] &= ~EGL_WINDOW_BIT;
            logCall("eglChooseConfig: no window configs, pbuffer configs only");
        }
    }
}

// Sets an attribute of an EGL_NONE-terminated list, adding it if missing.
void setAttrib(std::vector<EGLint>& attribs, EGLint name, EGLint value) {
    for (size_t i = 0; i + 1 < attribs.size(); i += 2)
        if (attribs[i] == name) {
            attribs[i + 1] = value;
            return;
        }
    attribs.insert(attribs.end() - 1, {name, value});
}

}  // namespace

extern "C" {

EGLBoolean EGLAPIENTRY eglChooseConfig(EGLDisplay dpy, const EGLint* attribs, EGLConfig* configs, EGLint size,
                                       EGLint* count) {
    std::vector<EGLint> want;
    for (const EGLint* a = attribs; a && *a != EGL_NONE; a += 2) want.insert(want.end(), {a[0], a[1]});
    want.push_back(EGL_NONE);
    dropWindowBitWithoutWindows(dpy, want);
    const char* format = getenv("FILTER_CAPTURE_CONFIG");
    if (!format) return chooseConfig(dpy, want.data(), configs, size, count);

    // The format's sizes as the least, then only the configs that have
    // exactly those, in EGL's order.
    const std::optional<ChannelSizes> exact = parseSizes(format);
    std::vector<EGLConfig> found;
    if (exact) {
        setAttrib(want, EGL_RED_SIZE, exact->red);
        setAttrib(want, EGL_GREEN_SIZE, exact->green);
        setAttrib(want, EGL_BLUE_SIZE, exact->blue);
        setAttrib(want, EGL_ALPHA_SIZE, exact->alpha);
        for (EGLConfig c : allConfigs(dpy, want.data()))
            if (sizesOf(dpy, c) == *exact) found.push_back(c);
    }
    if (!count) return EGL_FALSE;
    *count = static_cast<EGLint>(found.size());
    if (configs) {
        *count = std::min(*count, std::max(size, 0));
        std::copy_n(found.begin(), *count, configs);
    }
    if (found.empty()) {
        logCall("eglChooseConfig %s: none", format);
    } else {
        EGLint id = 0;
        eglGetConfigAttrib(dpy, found[0], EGL_CONFIG_ID, &id);
        logCall("eglChooseConfig %s: config %d", format, id);
    }
    return EGL_TRUE;
}

EGLDisplay EGLAPIENTRY eglGetDisplay(EGLNativeDisplayType id) {
    logCall("eglGetDisplay");
    return real<decltype(&eglGetDisplay)>("eglGetDisplay")(id);
}

EGLBoolean EGLAPIENTRY eglInitialize(EGLDisplay dpy, EGLint* major, EGLint* minor) {
    const EGLBoolean ok = real<decltype(&eglInitialize)>("eglInitialize")(dpy, major, minor);
    if (!ok) logCall("eglInitialize failed 0x%x", eglGetError());
    return ok;
}

EGLSurface EGLAPIENTRY eglCreatePbufferSurface(EGLDisplay dpy, EGLConfig config, const EGLint* attribs) {
    static const EGLint refused[] = {EGL_WIDTH, -1, EGL_HEIGHT, 480, EGL_NONE};
    const bool breakIt = getenv("FILTER_BREAK_PBUFFER") != nullptr;
    EGLint width = 0, height = 0;
    for (const EGLint* a = attribs; a && *a != EGL_NONE; a += 2) {
        if (a[0] == EGL_WIDTH) width = a[1];
        if (a[0] == EGL_HEIGHT) height = a[1];
    }
    logCall("eglCreatePbufferSurface %dx%d", width, height);
    return real<decltype(&eglCreatePbufferSurface)>("eglCreatePbufferSurface")(dpy, config,
                                                                               breakIt ? refused : attribs);
}

EGLNativeWindowType velmora_createDisplaySurface(void) {
    logCall("velmora_createDisplaySurface");
    return real<decltype(&velmora_createDisplaySurface)>("velmora_createDisplaySurface")();
}

EGLSurface EGLAPIENTRY eglCreateWindowSurface(EGLDisplay dpy, EGLConfig config, EGLNativeWindowType win,
                                              const EGLint* attribs) {
    logCall("eglCreateWindowSurface");
    const EGLSurface s = real<decltype(&eglCreateWindowSurface)>("eglCreateWindowSurface")(dpy, config, win, attribs);
    if (s == EGL_NO_SURFACE) logCall("eglCreateWindowSurface failed 0x%x", eglGetError());
    return s;
}

__eglMustCastToProperFunctionPointerType EGLAPIENTRY eglGetProcAddress(const char* name) {
    auto fn = real<decltype(&eglGetProcAddress)>("eglGetProcAddress")(name);
    if (!fn && strcmp(name, "glDrawTexiOES") == 0) logCall("glDrawTexiOES missing");
    if (fn && strcmp(name, "glDrawTexiOES") == 0) {
        realDrawTex = reinterpret_cast<PFNGLDRAWTEXIOESPROC>(fn);
        return reinterpret_cast<__eglMustCastToProperFunctionPointerType>(&loggedDrawTex);
    }
    return fn;
}

void GL_APIENTRY glTexImage2D(GLenum target, GLint level, GLint internalformat, GLsizei width, GLsizei height,
                              GLint border, GLenum format, GLenum type, const void* pixels) {
    std::string bytes;
    const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height) * bytesPerTexel(format, type);
    for (size_t i = 0; pixels && i < n; ++i) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", static_cast<const unsigned char*>(pixels)[i]);
        bytes += hex;
    }
    logCall("glTexImage2D 0x%x 0x%x %dx%d %s", format, type, width, height, bytes.c_str());
    real<decltype(&glTexImage2D)>("glTexImage2D")(target, level, internalformat, width, height, border, format, type,
                                                  pixels);
}

void GL_APIENTRY glFinish(void) {
    real<decltype(&glFinish)>("glFinish")();
    logCall("glFinish");
    capture("glFinish");
}

EGLBoolean EGLAPIENTRY eglSwapBuffers(EGLDisplay dpy, EGLSurface surface) {
    logCall("eglSwapBuffers");
    // Afterwards the back buffer is undefined: take the frame on its way out.
    capture("eglSwapBuffers");
    return real<decltype(&eglSwapBuffers)>("eglSwapBuffers")(dpy, surface);
}

EGLBoolean EGLAPIENTRY eglTerminate(EGLDisplay dpy) {
    logCall("eglTerminate");
    return real<decltype(&eglTerminate)>("eglTerminate")(dpy);
}

}  // extern "C"
