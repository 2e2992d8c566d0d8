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

#include <EGL/egl.h>
#include <GLES/gl.h>
#include <GLES/glext.h>
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

EGLint alphaBits(EGLDisplay dpy, EGLSurface s) {
  const EGLint want[] = {EGL_CONFIG_ID, surfaceAttrib(dpy, s, EGL_CONFIG_ID), EGL_NONE};
  EGLConfig config = nullptr;
  EGLint n = 0;
  EGLint bits = 0;
  if (eglChooseConfig(dpy, want, &config, 1, &n) && n == 1)
    eglGetConfigAttrib(dpy, config, EGL_ALPHA_SIZE, &bits);
  return bits;
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
  img.hasAlpha = alphaBits(dpy, s) > 0;
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
    case GL_LUMINANCE_ALPHA: return 2;
    case GL_RGB: return 3;
    case GL_RGBA: return 4;
    default: return 1;
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

}  // namespace

extern "C" {

EGLDisplay EGLAPIENTRY eglGetDisplay(EGLNativeDisplayType id) {
  logCall("eglGetDisplay");
  return real<decltype(&eglGetDisplay)>("eglGetDisplay")(id);
}

EGLBoolean EGLAPIENTRY eglInitialize(EGLDisplay dpy, EGLint* major, EGLint* minor) {
  const EGLBoolean ok = real<decltype(&eglInitialize)>("eglInitialize")(dpy, major, minor);
  if (!ok) logCall("eglInitialize failed 0x%x", eglGetError());
  return ok;
}

EGLSurface EGLAPIENTRY eglCreatePbufferSurface(EGLDisplay dpy, EGLConfig config,
                                              const EGLint* attribs) {
  static const EGLint refused[] = {EGL_WIDTH, -1, EGL_HEIGHT, 480, EGL_NONE};
  const bool breakIt = getenv("FILTER_BREAK_PBUFFER") != nullptr;
  EGLint width = 0, height = 0;
  for (const EGLint* a = attribs; a && *a != EGL_NONE; a += 2) {
    if (a[0] == EGL_WIDTH) width = a[1];
    if (a[0] == EGL_HEIGHT) height = a[1];
  }
  logCall("eglCreatePbufferSurface %dx%d", width, height);
  return real<decltype(&eglCreatePbufferSurface)>("eglCreatePbufferSurface")(
      dpy, config, breakIt ? refused : attribs);
}

EGLNativeWindowType velmora_createDisplaySurface(void) {
  logCall("velmora_createDisplaySurface");
  return real<decltype(&velmora_createDisplaySurface)>("velmora_createDisplaySurface")();
}

EGLSurface EGLAPIENTRY eglCreateWindowSurface(EGLDisplay dpy, EGLConfig config,
                                             EGLNativeWindowType win, const EGLint* attribs) {
  logCall("eglCreateWindowSurface");
  const EGLSurface s =
      real<decltype(&eglCreateWindowSurface)>("eglCreateWindowSurface")(dpy, config, win, attribs);
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

void GL_APIENTRY glTexImage2D(GLenum target, GLint level, GLint internalformat, GLsizei width,
                              GLsizei height, GLint border, GLenum format, GLenum type,
                              const void* pixels) {
  std::string bytes;
  const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height) * bytesPerTexel(format, type);
  for (size_t i = 0; pixels && i < n; ++i) {
    char hex[3];
    snprintf(hex, sizeof hex, "%02x", static_cast<const unsigned char*>(pixels)[i]);
    bytes += hex;
  }
  logCall("glTexImage2D 0x%x 0x%x %dx%d %s", format, type, width, height, bytes.c_str());
  real<decltype(&glTexImage2D)>("glTexImage2D")(target, level, internalformat, width, height,
                                                border, format, type, pixels);
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
