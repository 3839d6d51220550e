// libFuzzer target over title layout: the first two bytes choose the
// picture's size (16 to 527 a side), the rest is the title's text, shaped with
// HarfBuzz and rasterised with FreeType in the system's sans-serif. A layout
// must lie wholly inside the picture with an image of the size it states;
// a failure must say why.
//
//   fuzz_title [libFuzzer options] [CORPUS...]
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzzCheck.h"
#include "picture/title.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::string font;
  if (font.empty()) {
    const Result<std::string> found = findTitleFont("");
    check(found.ok());
    font = found.value();
  }
  if (size < 2) {
    return 0;
  }
  const int width = 16 + data[0] * 2;
  const int height = 16 + data[1] * 2;
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  const Result<TitleLayout> laid = layOutTitle(text, font, width, height, TitlePlace::Bottom);
  if (!laid) {
    check(!laid.why().empty());
    return 0;
  }
  const TitleLayout& layout = laid.value();
  const Image& image = layout.image;
  check(image.width > 0 && image.height > 0);
  check(image.rgba.size() == static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 4);
  check(layout.x >= 0 && layout.y >= 0);
  check(layout.x + image.width <= width || image.width > width);
  check(layout.y + image.height <= height || image.height > height);
  return 0;
}
