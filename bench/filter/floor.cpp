// The floor for filter's whole-process time: the same EGL start-up, pbuffer
// and context, made current and torn down with eglTerminate, and nothing
// drawn.

#include <EGL/egl.h>

int main() {
    static const EGLint configAttribs[] = {
        EGL_SURFACE_TYPE, EGL_WINDOW_BIT | EGL_PBUFFER_BIT, EGL_RED_SIZE, 5, EGL_GREEN_SIZE, 6, EGL_BLUE_SIZE, 5,
        EGL_NONE};
    static const EGLint pbufferAttribs[] = {EGL_WIDTH, 320, EGL_HEIGHT, 480, EGL_NONE};
    EGLConfig config = nullptr;
    EGLint n = 0;
    EGLDisplay dpy = eglGetDisplay(EGL_DEFAULT_DISPLAY);
    eglInitialize(dpy, nullptr, nullptr);
    eglChooseConfig(dpy, configAttribs, &config, 1, &n);
    EGLSurface surface = eglCreatePbufferSurface(dpy, config, pbufferAttribs);
    EGLContext context = eglCreateContext(dpy, config, EGL_NO_CONTEXT, nullptr);
    eglMakeCurrent(dpy, surface, surface, context);
    eglTerminate(dpy);
    return 0;
}
