// overlay.h — a picture laid over what was drawn: a premultiplied RGBA image
// at a place in pixels, blended with an opacity. The title uses it, in
// render and in play alike, after the shader pair's picture.
//
// GL objects are made in the constructor and deleted in the destructor in
// reverse order, so the context must outlive the overlay.
//
// Threading: only on the thread whose GL context is current.
#pragma once

#include "glCall.h"
#include "picture/image.h"

class Overlay {
 public:
  Overlay();
  ~Overlay();
  Overlay(const Overlay&) = delete;
  Overlay& operator=(const Overlay&) = delete;

  // The image and where its top-left corner goes, from the picture's top-left.
  void set(const Image& image, int x, int y);
  bool empty() const { return width_ == 0; }
  // Whether its program was built.
  bool ok() const { return program_ != 0; }
  // Blends it over the bound framebuffer (width × height) at this opacity.
  void draw(int width, int height, float opacity);

 private:
  GLuint program_ = 0;
  GLuint vao_ = 0;
  GLuint texture_ = 0;
  GLint rectAt_ = -1;
  GLint opacityAt_ = -1;
  int x_ = 0, y_ = 0, width_ = 0, height_ = 0;
};
