// overlay.h — an image laid over (or under) what was drawn: a premultiplied
// RGBA image at a place and size in pixels, blended with an opacity. The
// title and the logo are laid over the picture, the background under it
// (where the picture's alpha leaves room), in render and in play alike.
//
// GL objects are made in the constructor and deleted in the destructor in
// reverse order, so the context must outlive the overlay.
//
// Threading: only on the thread whose GL context is current.
#pragma once

#include "base/status.h"

#include "glCall.h"
#include "picture/image.h"

class Overlay {
 public:
  Overlay();
  ~Overlay();
  Overlay(const Overlay&) = delete;
  Overlay& operator=(const Overlay&) = delete;

  enum class Blend { Over, Under };
  // The image and where its top-left corner goes, from the picture's top-left,
  // drawn at its own size or scaled to width × height.
  void set(const Image& image, int x, int y);
  void set(const Image& image, int x, int y, int width, int height);
  bool empty() const { return width_ == 0; }
  // Whether its program was built.
  bool ok() const { return program_ != 0; }
  // Why it would draw nothing (its shaders did not build), or success.
  const Status& status() const { return built_; }
  // Blends it over the bound framebuffer (width × height) at this opacity,
  // or under it: seen where what was drawn is not opaque, the result opaque
  // where the image is.
  void draw(int width, int height, float opacity, Blend blend = Blend::Over);

 private:
  Status built_;
  GLuint program_ = 0;
  GLuint vao_ = 0;
  GLuint texture_ = 0;
  GLint rectAt_ = -1;
  GLint opacityAt_ = -1;
  int x_ = 0, y_ = 0, width_ = 0, height_ = 0;
};
