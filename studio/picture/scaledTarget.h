// scaledTarget.h — a picture shaded at a smaller size, then brought up to
// the frame with a bilinear filter: for soft pictures, a quarter of the
// pixels shaded at scale 0.5 for a frame the eye cannot tell apart.
//
// Threading: only on the thread whose GL context is current; made on first
// use and deleted in the destructor, so the context must outlive it.
#pragma once

#include "glCall.h"

class ScaledTarget {
 public:
  ScaledTarget() = default;
  ~ScaledTarget();
  ScaledTarget(const ScaledTarget&) = delete;
  ScaledTarget& operator=(const ScaledTarget&) = delete;

  // Binds a target of width × height to draw into (made or resized first).
  void bind(int width, int height);
  // Brings what was drawn up to framebuffer `into`, intoWidth × intoHeight,
  // and leaves `into` bound.
  void blitTo(GLuint into, int intoWidth, int intoHeight);

 private:
  GLuint texture_ = 0;
  GLuint framebuffer_ = 0;
  int width_ = 0;
  int height_ = 0;
};
