// The display library against a real Xvfb: the window it hands out covers
// the screen, is mapped and is accepted by the system's EGL.

#include <gtest/gtest.h>

#include <cstdlib>

// Xlib's macros (None, Bool) clash with gtest's names: after gtest.
#include <EGL/egl.h>
#include <X11/Xlib.h>

#include "harness.h"
#include "velmora/display.h"

namespace {

// The library keeps its X connection for the life of the process, so each
// case is its own process (ctest runs them one by one).

TEST(DisplaySurface, WithoutDisplayVariableGivesAHandleEglRefuses) {
    unsetenv("DISPLAY");
    EXPECT_EQ(velmora_createDisplaySurface(), EGLNativeWindowType{0});
}

TEST(DisplaySurface, UnreachableServerGivesZero) {
    setenv("DISPLAY", ":65000", 1);  // far above any display Xvfb picks
    EXPECT_EQ(velmora_createDisplaySurface(), EGLNativeWindowType{0});
}

TEST(DisplaySurface, CoversTheWholeScreenMapped) {
    Xvfb x(136, 72);
    ASSERT_FALSE(x.display().empty());
    setenv("DISPLAY", x.display().c_str(), 1);
    const Window w = velmora_createDisplaySurface();
    ASSERT_NE(w, Window{0});

    Display* d = XOpenDisplay(x.display().c_str());
    ASSERT_NE(d, nullptr);
    XWindowAttributes attrs{};
    ASSERT_TRUE(XGetWindowAttributes(d, w, &attrs));
    EXPECT_EQ(attrs.x, 0);
    EXPECT_EQ(attrs.y, 0);
    EXPECT_EQ(attrs.width, 136);
    EXPECT_EQ(attrs.height, 72);
    EXPECT_EQ(attrs.map_state, IsViewable);
    EXPECT_TRUE(attrs.override_redirect);
    EXPECT_EQ(attrs.root, DefaultRootWindow(d));
    XCloseDisplay(d);
}

TEST(DisplaySurface, EglMakesAWindowSurfaceOfTheScreenSize) {
    Xvfb x(100, 60);
    ASSERT_FALSE(x.display().empty());
    setenv("DISPLAY", x.display().c_str(), 1);
    setenv("LIBGL_ALWAYS_SOFTWARE", "1", 1);
    EGLDisplay dpy = eglGetDisplay(EGL_DEFAULT_DISPLAY);
    ASSERT_TRUE(eglInitialize(dpy, nullptr, nullptr));
    const EGLint want[] = {EGL_SURFACE_TYPE, EGL_WINDOW_BIT, EGL_RED_SIZE, 5, EGL_GREEN_SIZE, 6, EGL_BLUE_SIZE, 5,
                           EGL_NONE};
    EGLConfig config = nullptr;
    EGLint n = 0;
    ASSERT_TRUE(eglChooseConfig(dpy, want, &config, 1, &n));
    ASSERT_EQ(n, 1);
    EGLSurface s = eglCreateWindowSurface(dpy, config, velmora_createDisplaySurface(), nullptr);
    ASSERT_NE(s, EGL_NO_SURFACE) << "EGL error " << std::hex << eglGetError();
    EGLint w = 0, h = 0;
    eglQuerySurface(dpy, s, EGL_WIDTH, &w);
    eglQuerySurface(dpy, s, EGL_HEIGHT, &h);
    EXPECT_EQ(w, 100);
    EXPECT_EQ(h, 60);
    eglTerminate(dpy);
}

}  // namespace
