// A GL driver with one known fault, preloaded behind the capture library so
// that filter-verify meets a real wrong frame or a real missing feature.
//
//   FAULTY_DRIVER=nearest          magnifies with GL_NEAREST whatever is asked
//   FAULTY_DRIVER=no-flip          ignores the crop rectangle's negative height
//   FAULTY_DRIVER=short            draws the square a pixel short each way
//   FAULTY_DRIVER=4444-for-565     reads 5-6-5 texels as 4-4-4-4
//   FAULTY_DRIVER=no-draw-texture  has no OES_draw_texture
//   FAULTY_DRIVER=crash-4444       dies uploading a 4-4-4-4 texture

#include <EGL/egl.h>
#include <GLES/gl.h>
#include <GLES/glext.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

template <typename Fn>
Fn real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

bool fault(const char* name) {
    const char* which = getenv("FAULTY_DRIVER");
    return which && strcmp(which, name) == 0;
}

PFNGLDRAWTEXIOESPROC realDrawTex = nullptr;

void GL_APIENTRY shortDrawTex(GLint x, GLint y, GLint z, GLint width, GLint height) {
    realDrawTex(x, y, z, width - 1, height - 1);
}

}  // namespace

extern "C" {

void GL_APIENTRY glTexParameterx(GLenum target, GLenum pname, GLfixed param) {
    if (fault("nearest") && (pname == GL_TEXTURE_MAG_FILTER || pname == GL_TEXTURE_MIN_FILTER)) param = GL_NEAREST;
    real<decltype(&glTexParameterx)>("glTexParameterx")(target, pname, param);
}

void GL_APIENTRY glTexParameteriv(GLenum target, GLenum pname, const GLint* params) {
    static const GLint upright[] = {0, 0, 4, 4};
    if (fault("no-flip") && pname == GL_TEXTURE_CROP_RECT_OES) params = upright;
    real<decltype(&glTexParameteriv)>("glTexParameteriv")(target, pname, params);
}

void GL_APIENTRY glTexImage2D(GLenum target, GLint level, GLint internalformat, GLsizei width, GLsizei height,
                              GLint border, GLenum format, GLenum type, const void* pixels) {
    if (fault("crash-4444") && type == GL_UNSIGNED_SHORT_4_4_4_4) abort();
    if (fault("4444-for-565") && type == GL_UNSIGNED_SHORT_5_6_5) {
        internalformat = GL_RGBA;
        format = GL_RGBA;
        type = GL_UNSIGNED_SHORT_4_4_4_4;
    }
    real<decltype(&glTexImage2D)>("glTexImage2D")(target, level, internalformat, width, height, border, format, type,
                                                  pixels);
}

const GLubyte* GL_APIENTRY glGetString(GLenum name) {
    const GLubyte* s = real<decltype(&glGetString)>("glGetString")(name);
    if (!fault("no-draw-texture") || name != GL_EXTENSIONS || !s) return s;
    static std::string without;
    without = reinterpret_cast<const char*>(s);
    const std::string ext = "GL_OES_draw_texture";
    for (size_t at; (at = without.find(ext)) != std::string::npos;) without.erase(at, ext.size());
    return reinterpret_cast<const GLubyte*>(without.c_str());
}

__eglMustCastToProperFunctionPointerType EGLAPIENTRY eglGetProcAddress(const char* name) {
    if (fault("no-draw-texture") && strncmp(name, "glDrawTex", 9) == 0) return nullptr;
    auto fn = real<decltype(&eglGetProcAddress)>("eglGetProcAddress")(name);
    if (fn && fault("short") && strcmp(name, "glDrawTexiOES") == 0) {
        realDrawTex = reinterpret_cast<PFNGLDRAWTEXIOESPROC>(fn);
        return reinterpret_cast<__eglMustCastToProperFunctionPointerType>(&shortDrawTex);
    }
    return fn;
}

}  // extern "C"
