// backdrop.h — what goes round a picture besides its title: a background
// image behind it (scaled to cover the frame, cropped at the middle, seen
// where the picture's alpha leaves room) and a logo in a corner over it.
// Laid out again for every size, so a window can change shape.
//
// GL objects belong to its two overlays (made and deleted with it), so the
// context must outlive it.
//
// Threading: only on the thread whose GL context is current.
#pragma once

#include "picture/image.h"
#include "picture/overlay.h"

#include <string>

#include "base/status.h"

// Straight alpha (as files hold it) to premultiplied (as overlays blend).
Image premultiplied(Image image);

struct BackdropImages {
  Image background;
  Image logo;
};
// The files of --background and --logo ("" for none); refused with a line
// naming the option, the file and why.
Result<BackdropImages> loadBackdropImages(const std::string& background, const std::string& logo);

class Backdrop {
 public:
  // Either image may be empty.
  explicit Backdrop(const BackdropImages& images);
  bool empty() const { return backgroundImage_.empty() && logoImage_.empty(); }
  // Why what was given cannot be drawn, or success.
  Status status() const { return empty() ? Status() : background_.status(); }
  // Under and over what is drawn in the bound framebuffer, width × height.
  void draw(int width, int height);

 private:
  void layOut(int width, int height);

  Image backgroundImage_;
  Image logoImage_;
  Overlay background_;
  Overlay logo_;
  int width_ = 0, height_ = 0;
};
