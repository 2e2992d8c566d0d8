// filter: draws one 4 x 4 texture in one of six pixel formats, magnified with
// linear filtering, to the display or to an off-screen pbuffer, so that a
// person can judge how the texture unit filters and converts each format.

#include <EGL/egl.h>
#include <GLES/gl.h>
#include <GLES/glext.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "velmora/display.h"

namespace {

// t32 must lie in memory as R, G, B, A bytes whatever the host's byte order.
constexpr uint32_t littleEndian(uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) return v;
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

}  // namespace

int main(int argc, char** argv) {
    // Texel tables keep one row of the texture to a line.
    // clang-format off
  static const uint8_t t8[] = {
      0x00, 0x55, 0x00, 0x55,
      0xAA, 0xFF, 0xAA, 0xFF,
      0x00, 0x55, 0x00, 0x55,
      0xAA, 0xFF, 0xAA, 0xFF,
  };
  // Both bytes of every value are equal, so test 4 reads the same byte pairs
  // on any byte order.
  static const uint16_t t16[] = {
      0x0000, 0x5555, 0x0000, 0x5555,
      0xAAAA, 0xFFFF, 0xAAAA, 0xFFFF,
      0x0000, 0x5555, 0x0000, 0x5555,
      0xAAAA, 0xFFFF, 0xAAAA, 0xFFFF,
  };
  static const uint16_t t5551[] = {
      0x0000, 0xFFFF, 0x0000, 0xFFFF,
      0xFFFF, 0x0000, 0xFFFF, 0x0000,
      0x0000, 0xFFFF, 0x0000, 0xFFFF,
      0xFFFF, 0x0000, 0xFFFF, 0x0000,
  };
  // Row 2, texel 2 is the one texel with alpha 0.
  static const uint32_t t32[] = {
      littleEndian(0xFF000000), littleEndian(0xFF0000FF), littleEndian(0xFF00FF00), littleEndian(0xFFFF0000),
      littleEndian(0xFF00FF00), littleEndian(0xFFFF0000), littleEndian(0xFF000000), littleEndian(0xFF0000FF),
      littleEndian(0xFF00FFFF), littleEndian(0xFF00FF00), littleEndian(0x00FF00FF), littleEndian(0xFFFFFF00),
      littleEndian(0xFF000000), littleEndian(0xFFFF00FF), littleEndian(0xFF00FFFF), littleEndian(0xFFFFFFFF),
  };

  static const EGLint s_configAttribs[] = {
      EGL_SURFACE_TYPE, EGL_WINDOW_BIT | EGL_PBUFFER_BIT,
      EGL_RED_SIZE, 5,
      EGL_GREEN_SIZE, 6,
      EGL_BLUE_SIZE, 5,
      EGL_NONE,
  };
    // clang-format on
    static const EGLint attribs[] = {EGL_WIDTH, 320, EGL_HEIGHT, 480, EGL_NONE};
    // A negative height runs the crop upwards from row 4, so texel row 0 lands
    // along the top of the square.
    static const GLint crop[] = {0, 4, 4, -4};

    struct Format {
        GLenum format;
        GLenum type;
        const void* texels;
    };
    static const Format formats[] = {
        {GL_LUMINANCE, GL_UNSIGNED_BYTE, t8},        {GL_RGB, GL_UNSIGNED_SHORT_5_6_5, t16},
        {GL_RGBA, GL_UNSIGNED_SHORT_4_4_4_4, t16},   {GL_LUMINANCE_ALPHA, GL_UNSIGNED_BYTE, t16},
        {GL_RGBA, GL_UNSIGNED_SHORT_5_5_5_1, t5551}, {GL_RGBA, GL_UNSIGNED_BYTE, t32},
    };

    if (argc != 2 && argc != 3) {
        printf("usage: %s <0-6> [pbuffer]\n", argv[0]);
        return 0;
    }
    const int test = atoi(argv[1]);
    const int usePbuffer = argc == 3 && strcmp(argv[2], "pbuffer") == 0 ? 1 : 0;

    EGLint majorVersion;
    EGLint minorVersion;
    // Defined starting values: a failed eglChooseConfig or eglQuerySurface then
    // leaves no config and an empty square rather than garbage.
    EGLConfig config = nullptr;
    EGLint numConfigs = -1;
    EGLint w = 0;
    EGLint h = 0;

    EGLDisplay dpy = eglGetDisplay(EGL_DEFAULT_DISPLAY);
    eglInitialize(dpy, &majorVersion, &minorVersion);
    eglChooseConfig(dpy, s_configAttribs, &config, 1, &numConfigs);

    EGLSurface surface;
    if (usePbuffer) {
        puts("using pbuffer");
        surface = eglCreatePbufferSurface(dpy, config, attribs);
        if (surface == EGL_NO_SURFACE) {
            printf("eglCreatePbufferSurface error %x\n", eglGetError());
        }
    } else {
        EGLNativeWindowType window = velmora_createDisplaySurface();
        surface = eglCreateWindowSurface(dpy, config, window, nullptr);
    }

    EGLContext context = eglCreateContext(dpy, config, EGL_NO_CONTEXT, nullptr);
    eglMakeCurrent(dpy, surface, surface, context);
    eglQuerySurface(dpy, surface, EGL_WIDTH, &w);
    eglQuerySurface(dpy, surface, EGL_HEIGHT, &h);
    const GLint dim = w <= h ? w : h;

    glClear(GL_COLOR_BUFFER_BIT);
    glBindTexture(GL_TEXTURE_2D, 0);
    glTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_CROP_RECT_OES, crop);
    // The fixed-point entry points take enums as plain integers, unscaled.
    glTexParameterx(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameterx(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexEnvx(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    glEnable(GL_TEXTURE_2D);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);

    if (test >= 1 && test <= 6) {
        const Format& f = formats[test - 1];
        glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(f.format), 4, 4, 0, f.format, f.type, f.texels);
    }

    // The GLES library need not export the draw-texture extension; EGL hands
    // out extension entry points. Without one there is nothing to draw, and
    // calling through null would crash.
    auto drawTex = reinterpret_cast<PFNGLDRAWTEXIOESPROC>(eglGetProcAddress("glDrawTexiOES"));
    if (drawTex) drawTex(0, 0, 0, dim, dim);

    if (usePbuffer) {
        glFinish();
    } else {
        eglSwapBuffers(dpy, surface);
    }
    eglTerminate(dpy);
    return 0;
}
