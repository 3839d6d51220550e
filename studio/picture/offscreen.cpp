// offscreen.cpp — see offscreen.h.
#include "picture/offscreen.h"

#include "picture/glErrors.h"

#include <EGL/eglext.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

GLADapiproc eglLoader(const char* name) {
  return reinterpret_cast<GLADapiproc>(eglGetProcAddress(name));
}

}  // namespace

Status OffscreenContext::open(int width, int height, bool floating) {
  if (Status display = openDisplay(); !display) {
    return display;
  }
  if (Status context = makeContext(); !context) {
    return context;
  }
  return makeFramebuffer(width, height, floating);
}

// Mesa's surfaceless display, initialised.
Status OffscreenContext::openDisplay() {
  const char* extensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
  auto getPlatformDisplay =
      reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
  if (extensions == nullptr || std::strstr(extensions, "EGL_MESA_platform_surfaceless") == nullptr ||
      getPlatformDisplay == nullptr) {
    return Status::failure("EGL has no surfaceless platform (Mesa's EGL is needed to draw without a display)");
  }
  display_ = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  EGLint major = 0;
  EGLint minor = 0;
  if (display_ == EGL_NO_DISPLAY || !eglInitialize(display_, &major, &minor)) {
    display_ = EGL_NO_DISPLAY;
    return Status::failure("cannot initialise EGL's surfaceless display");
  }
  return Status();
}

// A GL 4.5 core context on it, current, with the entry points loaded.
Status OffscreenContext::makeContext() {
  if (!eglBindAPI(EGL_OPENGL_API)) {
    return Status::failure("EGL cannot bind the OpenGL API");
  }
  const EGLint configAttributes[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
  EGLConfig config = nullptr;
  EGLint configs = 0;
  // Surfaceless contexts may also be made without a config.
  eglChooseConfig(display_, configAttributes, &config, 1, &configs);
  const EGLint contextAttributes[] = {EGL_CONTEXT_MAJOR_VERSION,       4,
                                      EGL_CONTEXT_MINOR_VERSION,       5,
                                      EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT,
                                      EGL_NONE};
  context_ = eglCreateContext(display_, configs > 0 ? config : EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, contextAttributes);
  if (context_ == EGL_NO_CONTEXT) {
    return Status::failure("cannot create an OpenGL 4.5 core context with EGL");
  }
  if (!eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_)) {
    return Status::failure("cannot make the EGL context current");
  }
  if (!gladLoadGL(eglLoader)) {
    return Status::failure("cannot load the OpenGL entry points");
  }
  countGLErrors();
  return Status();
}

// What is drawn goes to a framebuffer of the picture's size, 8 or 32 bits a channel.
Status OffscreenContext::makeFramebuffer(int width, int height, bool floating) {
  GLint largest = 0;
  glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &largest);
  if (width > largest || height > largest) {
    return Status::failure("the GL driver draws at most " + std::to_string(largest) + " pixels a side");
  }
  GL_CALL(glGenFramebuffers(1, &framebuffer_));
  GL_CALL(glGenRenderbuffers(1, &colour_));
  GL_CALL(glBindRenderbuffer(GL_RENDERBUFFER, colour_));
  GL_CALL(glRenderbufferStorage(GL_RENDERBUFFER, floating ? GL_RGBA32F : GL_RGBA8, width, height));
  GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_));
  GL_CALL(glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour_));
  if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
    return Status::failure("the GL driver cannot draw into a " + std::to_string(width) + "x" + std::to_string(height) + " framebuffer");
  }
  GL_CALL(glViewport(0, 0, width, height));
  return Status();
}

OffscreenContext::~OffscreenContext() {
  if (display_ == EGL_NO_DISPLAY) {
    return;
  }
  if (context_ != EGL_NO_CONTEXT && eglGetCurrentContext() == context_) {
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteRenderbuffers(1, &colour_);
    colour_ = 0;
    glDeleteFramebuffers(1, &framebuffer_);
    framebuffer_ = 0;
  }
  eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  if (context_ != EGL_NO_CONTEXT) {
    eglDestroyContext(display_, context_);
    context_ = EGL_NO_CONTEXT;
  }
  eglTerminate(display_);
  display_ = EGL_NO_DISPLAY;
}
