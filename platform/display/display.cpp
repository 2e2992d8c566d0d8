#include "velmora/display.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>

namespace {

struct DisplayCloser {
  void operator()(Display* d) const { XCloseDisplay(d); }
};
using Connection = std::unique_ptr<Display, DisplayCloser>;

// The windows handed out live on this connection, so it stays open until the
// process ends; closing it then lets the server take the windows down.
Connection& connection() {
  static Connection conn;
  return conn;
}

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
  Connection& conn = connection();
  if (!conn) conn.reset(XOpenDisplay(nullptr));  // the X server named by DISPLAY
  if (!conn) return 0;

  Display* d = conn.get();
  const int screen = DefaultScreen(d);
  XSetWindowAttributes attrs{};
  // The display surface is the whole screen: keep window managers from
  // moving, framing or shrinking it.
  attrs.override_redirect = True;
  attrs.background_pixel = BlackPixel(d, screen);
  attrs.event_mask = StructureNotifyMask;
  const Window w = XCreateWindow(
      d, RootWindow(d, screen), 0, 0, static_cast<unsigned>(DisplayWidth(d, screen)),
      static_cast<unsigned>(DisplayHeight(d, screen)), 0, CopyFromParent, InputOutput,
      CopyFromParent, CWOverrideRedirect | CWBackPixel | CWEventMask, &attrs);
  XStoreName(d, w, "velmora display");
  XMapRaised(d, w);
  waitForMap(d, w);
  XSync(d, False);
  return static_cast<EGLNativeWindowType>(w);
}
