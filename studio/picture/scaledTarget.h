// scaledTarget.h — a picture shaded at a smaller size, then brought up to
// the frame with a bilinear filter: for soft pictures, a quarter of the
// pixels shaded at scale 0.5 for a frame the eye cannot tell apart.
//
// Laid over something, the layer is drawn premultiplied (its colour times
// its coverage) and filtered so, then divided back: a bilinear filter over
// plain colours would mix a mark's edge with the black of the uncovered
// pixels beside it, darkening what alpha already fades out.
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

  // Binds a target of width × height to draw into (made or resized first);
  // `deep`: 16 bits a channel, so a premultiplied colour divided back by a
  // small coverage keeps its hue.
  void bind(int width, int height, bool deep);
  // Brings what was drawn up to framebuffer `into`, intoWidth × intoHeight,
  // and leaves `into` bound; `premultiplied`: what was drawn is so, and is
  // written plain.
  void blitTo(GLuint into, int intoWidth, int intoHeight, bool premultiplied);

 private:
  // The premultiplied layer drawn over the frame, filtered, divided back.
  bool drawDivided();
  GLuint program_ = 0;
  GLuint vao_ = 0;
  GLuint texture_ = 0;
  GLuint framebuffer_ = 0;
  int width_ = 0;
  int height_ = 0;
  bool deep_ = false;
};
