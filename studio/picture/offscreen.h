// offscreen.h — an OpenGL 4.5 core context with no display at all, drawing
// into a framebuffer object of a fixed size.
//
// EGL on Mesa's surfaceless platform: no X server, no window, no GLFW. The
// framebuffer object stays bound for drawing and reading for the context's
// whole life, so whatever draws next draws into it.
//
// Threading: the thread that opened it keeps the context current until the
// destructor, which must run on that thread.
#pragma once

#include "base/status.h"

#include <EGL/egl.h>

#include <string>

#include "glCall.h"

class OffscreenContext {
 public:
  OffscreenContext() = default;
  ~OffscreenContext();
  OffscreenContext(const OffscreenContext&) = delete;
  OffscreenContext& operator=(const OffscreenContext&) = delete;

  // Refused with the reason when EGL, the context, the loader or the
  // framebuffer cannot be had.
  // floating: 32-bit float pixels, so a picture's NaN or infinity can be read back.
  Status open(int width, int height, bool floating = false);

 private:
  Status openDisplay();
  Status makeContext();
  Status makeFramebuffer(int width, int height, bool floating);

  EGLDisplay display_ = EGL_NO_DISPLAY;
  EGLContext context_ = EGL_NO_CONTEXT;
  GLuint framebuffer_ = 0;
  GLuint colour_ = 0;
};
