/* The platform display library: hands out the native window that stands for
 * the device's display, ready for eglCreateWindowSurface. */
#ifndef VELMORA_DISPLAY_H
#define VELMORA_DISPLAY_H

#include <EGL/eglplatform.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns a window covering the whole display, mapped and ready to draw to.
 * Where no display can be reached it returns 0, which EGL refuses as a
 * native window. The window belongs to the library and lasts until the
 * process ends; callers never release it. */
EGLNativeWindowType velmora_createDisplaySurface(void);

#ifdef __cplusplus
}
#endif

#endif
