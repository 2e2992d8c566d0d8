#include "velmora/display.h"

#include <X11/Xlib.h>

namespace {

// The windows handed out live on this connection, and callers never release
// them, so it stays open until the process ends and the server takes the
// windows down with it. It is deliberately not closed at exit: by then the
// server may be gone, and Xlib would end the process over the broken link.
Display* s_connection = nullptr;

// Blocks until the server reports the window mapped, so that the caller gets
// a window it can draw to at once.
void waitForMap(Display* d, Window w) {
    XEvent ev;
    do {
        XWindowEvent(d, w, StructureNotifyMask, &ev);
    } while (ev.type != MapNotify);
}

}  // namespace

extern "C" EGLNativeWindowType velmora_createDisplaySurface(void) {
    if (!s_connection) s_connection = XOpenDisplay(nullptr);  // the X server named by DISPLAY
    if (!s_connection) return 0;

    Display* d = s_connection;
    const int screen = DefaultScreen(d);
    XSetWindowAttributes attrs{};
    // The display surface is the whole screen: keep window managers from
    // moving, framing or shrinking it.
    attrs.override_redirect = True;
    attrs.background_pixel = BlackPixel(d, screen);
    attrs.event_mask = StructureNotifyMask;
    const Window w = XCreateWindow(d, RootWindow(d, screen), 0, 0, static_cast<unsigned>(DisplayWidth(d, screen)),
                                   static_cast<unsigned>(DisplayHeight(d, screen)), 0, CopyFromParent, InputOutput,
                                   CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &attrs);
    XStoreName(d, w, "velmora display");
    XMapRaised(d, w);
    waitForMap(d, w);
    XSync(d, False);
    return static_cast<EGLNativeWindowType>(w);
}
