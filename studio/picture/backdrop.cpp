// backdrop.cpp — see backdrop.h.
#include "picture/backdrop.h"

#include <algorithm>
#include <cmath>
#include <tuple>

namespace {

// The logo's longer side, as a share of the frame's shorter side, and its
// margin from the corner: clear of the 5% every platform crops or covers.
constexpr double kLogoSize = 0.12;
constexpr double kLogoMargin = 0.05;

}  // namespace

Image premultiplied(Image image) {
  for (size_t i = 0; i + 3 < image.rgba.size(); i += 4) {
    const unsigned a = image.rgba[i + 3];
    for (size_t c = 0; c < 3; ++c) {
      image.rgba[i + c] = static_cast<uint8_t>((image.rgba[i + c] * a + 127) / 255);
    }
  }
  return image;
}

Result<BackdropImages> loadBackdropImages(const std::string& background, const std::string& logo) {
  BackdropImages images;
  for (const auto& [option, path, image] : {std::tuple<const char*, const std::string&, Image&>{"--background", background, images.background},
                                            {"--logo", logo, images.logo}}) {
    if (path.empty()) {
      continue;
    }
    Result<Image> loaded = loadImage(path);
    if (!loaded) {
      return Status::failure(std::string(option) + ": " + loaded.why());
    }
    image = std::move(loaded.value());
  }
  return images;
}

Backdrop::Backdrop(const BackdropImages& images)
    : backgroundImage_(premultiplied(images.background)), logoImage_(premultiplied(images.logo)) {}

void Backdrop::layOut(int width, int height) {
  width_ = width;
  height_ = height;
  if (!backgroundImage_.empty()) {
    // Cover: the smallest scale that fills the frame, centred, the rest cut.
    const double scale = std::max(double(width) / backgroundImage_.width, double(height) / backgroundImage_.height);
    const int w = static_cast<int>(std::ceil(backgroundImage_.width * scale));
    const int h = static_cast<int>(std::ceil(backgroundImage_.height * scale));
    background_.set(backgroundImage_, (width - w) / 2, (height - h) / 2, w, h);
  }
  if (!logoImage_.empty()) {
    const double side = kLogoSize * std::min(width, height);
    const double scale = side / std::max(logoImage_.width, logoImage_.height);
    const int w = std::max(1, static_cast<int>(std::lround(logoImage_.width * scale)));
    const int h = std::max(1, static_cast<int>(std::lround(logoImage_.height * scale)));
    const int margin = static_cast<int>(std::lround(kLogoMargin * std::min(width, height)));
    logo_.set(logoImage_, width - margin - w, margin, w, h);
  }
}

void Backdrop::draw(int width, int height) {
  if (empty()) {
    return;
  }
  if (width != width_ || height != height_) {
    layOut(width, height);
  }
  background_.draw(width, height, 1.0f, Overlay::Blend::Under);
  logo_.draw(width, height, 1.0f, Overlay::Blend::Over);
}
