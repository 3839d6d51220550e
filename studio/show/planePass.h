// planePass.h — a drawn picture made into the 4:2:0 planes an opaque video
// takes (video/pictureLayout.h), on the GL side: the show draws into this
// pass's own canvas, one more full-frame pass writes luma and the halved
// chroma into a target a quarter as wide (four codes a texel) and 1.5 times
// as high, and that is what is read back: 1.5 bytes a pixel instead of 4,
// and no conversion left for the encoder's thread.
//
// The conversion is libswscale's for full-range RGB to BT.709 limited range:
// each chroma sample the mean of its two columns and, down the rows, a
// bilinear halving (rows 2j-1 … 2j+2 weighted 1, 3, 3, 1, the edges
// repeated); every value rounded to the nearest code.
//
// GL state it changes while converting (program, vertex array, texture unit
// 0's texture, viewport, blending, scissor) is put back as it found it; the
// framebuffer bound before bindCanvas() is bound again by release().
//
// Threading: only on the thread whose GL context is current; the context
// must outlive it.
#pragma once

#include "base/status.h"

#include "glCall.h"

class PlanePass {
 public:
  // Only for a size that planesFit().
  PlanePass(int width, int height);
  // Whether the current context's driver makes planes for less than the
  // encoder's own conversion costs: not a software rasteriser (llvmpipe,
  // softpipe), whose texture reads cost more than libswscale's whole
  // conversion (a 1080p bars render: 12.9 s against 8.6 s).
  static bool pays();
  // Whether to make the planes here: where it pays, or asked for
  // (VRAX_GL_PLANES, to compare); otherwise they are made as the pictures
  // are read back.
  static bool wanted();
  ~PlanePass();
  PlanePass(const PlanePass&) = delete;
  PlanePass& operator=(const PlanePass&) = delete;

  // Success, or why the pass cannot be used (then nothing else may be called).
  const Status& status() const { return status_; }
  // Binds the canvas for drawing: what is drawn next is what is converted.
  void bindCanvas();
  // Converts the canvas into the planes and leaves them bound for reading.
  void convert();
  // Binds the framebuffer that was bound before bindCanvas().
  void release();
  // The target's size in texels of four bytes.
  int planesWidth() const { return width_ / 4; }
  int planesHeight() const { return height_ + height_ / 2; }

 private:
  Status make();

  int width_;
  int height_;
  Status status_;
  GLint before_ = 0;
  GLuint canvas_ = 0;
  GLuint canvasTarget_ = 0;
  GLuint planes_ = 0;
  GLuint planesTarget_ = 0;
  GLuint programs_[2] = {};  // luma, chroma
  GLuint vao_ = 0;
};
