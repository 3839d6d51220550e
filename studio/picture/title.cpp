// title.cpp — see title.h.
#include "picture/title.h"

#include "base/text.h"

#include "picture/fonts.h"

#include <fontconfig/fontconfig.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace {

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t space = text.find(' ', at);
    const std::string word = text.substr(at, space == std::string::npos ? std::string::npos : space - at);
    if (!word.empty()) {
      out.push_back(word);
    }
    if (space == std::string::npos) {
      break;
    }
    at = space + 1;
  }
  return out;
}

// One part's words in lines no wider than `room`, breaking at spaces, added
// to lines; false when a single word is wider than the room.
bool wrapPart(Fonts& fonts, const std::string& text, int room, std::vector<std::string>& lines) {
  std::string line;
  for (const std::string& word : words(text)) {
    const std::string longer = line.empty() ? word : line + " " + word;
    if (fonts.shape(longer).width <= room) {
      line = longer;
      continue;
    }
    if (line.empty()) {
      return false;
    }
    lines.push_back(line);
    line = word;
    if (fonts.shape(line).width > room) {
      return false;
    }
  }
  if (!line.empty()) {
    lines.push_back(line);
  }
  return true;
}

// The text in lines no wider than `room`, at most three; false when a single
// word is wider than the room. "Artist – Title" that needs more than one
// line breaks at the dash first, so neither name is split where the two fit
// a line each.
bool wrap(Fonts& fonts, const std::string& text, int room, std::vector<std::string>& lines) {
  lines.clear();
  static const std::string kDash = " \u2013 ";
  const size_t dash = text.find(kDash);
  if (fonts.shape(text).width > room && dash != std::string::npos) {
    if (!wrapPart(fonts, text.substr(0, dash + kDash.size() - 1), room, lines) ||
        !wrapPart(fonts, text.substr(dash + kDash.size()), room, lines)) {
      return false;
    }
  } else if (!wrapPart(fonts, text, room, lines)) {
    return false;
  }
  return !lines.empty() && lines.size() <= 3;
}

// One box pass along rows (dx 1) or columns (dx 0), edges left out.
void boxPass(const std::vector<float>& in, std::vector<float>& out, int width, int height, int radius, bool rows) {
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      float sum = 0;
      for (int d = -radius; d <= radius; ++d) {
        const int xx = rows ? x + d : x;
        const int yy = rows ? y : y + d;
        if (xx >= 0 && xx < width && yy >= 0 && yy < height) {
          sum += in[static_cast<size_t>(yy * width + xx)];
        }
      }
      out[static_cast<size_t>(y * width + x)] = sum / static_cast<float>(2 * radius + 1);
    }
  }
}

// Separable box blur, three passes: close to a gaussian.
std::vector<float> blur(const std::vector<float>& in, int width, int height, int radius) {
  std::vector<float> a = in;
  std::vector<float> b(in.size());
  for (int pass = 0; pass < 3; ++pass) {
    boxPass(a, b, width, height, radius, true);
    boxPass(b, a, width, height, radius, false);
  }
  return a;
}

}  // namespace

Result<std::string> findTitleFont(const std::string& requested) {
  std::string path;
  if (!requested.empty()) {
    struct stat info {};
    const bool there = stat(requested.c_str(), &info) == 0;
    if (there && !S_ISREG(info.st_mode)) {
      return Status::failure("--font " + quotedName(requested) + ": it is " + fileKind(info.st_mode) +
                             ", not a font file; give a TrueType or OpenType file");
    }
    if (!there) {
      return Status::failure("--font " + quotedName(requested) +
                             ": no such font file; give a TrueType or OpenType file, e.g. "
                             "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf, or leave --font out for the system's "
                             "sans-serif");
    }
    return requested;
  }
  FcConfig* config = FcInitLoadConfigAndFonts();
  FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("sans-serif"));
  FcConfigSubstitute(config, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(config, pattern, &result);
  FcChar8* file = nullptr;
  if (match != nullptr && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file != nullptr) {
    path = reinterpret_cast<const char*>(file);
  }
  if (match != nullptr) {
    FcPatternDestroy(match);
  }
  FcPatternDestroy(pattern);
  FcConfigDestroy(config);
  if (path.empty()) {
    return Status::failure("no font found for the title; install one (e.g. fonts-dejavu-core) or give --font FILE");
  }
  return path;
}

std::string titleFromTags(const std::map<std::string, std::string>& tags) {
  const auto artist = tags.find("artist");
  const auto title = tags.find("title");
  const bool hasArtist = artist != tags.end() && !artist->second.empty();
  const bool hasTitle = title != tags.end() && !title->second.empty();
  if (hasArtist && hasTitle) {
    return artist->second + " \u2013 " + title->second;
  }
  return hasTitle ? title->second : hasArtist ? artist->second : "";
}

std::string fitTitleLength(const std::string& text) {
  std::string out;
  size_t characters = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool starts = (byte & 0xC0) != 0x80;
    if (starts && characters == kMaxTitleCharacters) {
      while (!out.empty() && out.back() == ' ') {
        out.pop_back();
      }
      return out + "\u2026";
    }
    characters += starts ? 1 : 0;
    // Line breaks and tabs in a tag are spaces here; wrapping decides the lines.
    out += byte < 0x20 || byte == 0x7F ? ' ' : text[i];
  }
  return out;
}

namespace {

// The lines at the largest size that fits `room` pixels across, starting
// from `largest` (the title's: 6% of the picture's shorter side times its
// look's size, the same look in landscape, portrait and square), smaller
// until it fits. Empty lines when not even
// the smallest size fits.
struct Fitted {
  std::vector<std::string> lines;
  int size = 0;
};
Fitted fit(Fonts& fonts, const std::string& text, int room, int largest) {
  Fitted out;
  for (out.size = std::max(6, largest);; out.size = out.size * 9 / 10) {
    fonts.setSize(out.size);
    if (wrap(fonts, text, room, out.lines)) {
      return out;
    }
    if (out.size <= 6) {
      // One rule for every title: what does not fit at the smallest size is
      // refused, never drawn cut or squeezed.
      out.lines.clear();
      return out;
    }
  }
}

// The lines' coverage, 0..1, centred in a box with `pad` pixels round it.
struct Mask {
  std::vector<float> coverage;
  int width = 0;
  int height = 0;
};
Mask rasterise(Fonts& fonts, const std::vector<std::string>& lines, int room, int pad) {
  const FT_Face face = fonts.primary();
  const int lineHeight = static_cast<int>(face->size->metrics.height / 64);
  const int ascent = static_cast<int>(face->size->metrics.ascender / 64);
  std::vector<Shaped> shaped;
  int boxWidth = 0;
  for (const std::string& line : lines) {
    shaped.push_back(fonts.shape(line));
    boxWidth = std::max(boxWidth, std::min(shaped.back().width, room));
  }
  Mask mask;
  mask.width = boxWidth + 2 * pad;
  mask.height = lineHeight * static_cast<int>(lines.size()) + 2 * pad;
  mask.coverage.assign(static_cast<size_t>(mask.width) * static_cast<size_t>(mask.height), 0.0f);
  for (size_t l = 0; l < shaped.size(); ++l) {
    const Shaped& s = shaped[l];
    const int penX = pad + (boxWidth - std::min(s.width, boxWidth)) / 2;  // centred
    const int baseline = pad + ascent + static_cast<int>(l) * lineHeight;
    int x26 = penX * 64;
    for (size_t g = 0; g < s.info.size(); ++g) {
      const FT_Face from = fonts.face(s.face[g]);
      if (FT_Load_Glyph(from, s.info[g].codepoint, FT_LOAD_DEFAULT) == 0 &&
          FT_Render_Glyph(from->glyph, FT_RENDER_MODE_NORMAL) == 0) {
        const FT_Bitmap& bitmap = from->glyph->bitmap;
        const int left = (x26 + s.position[g].x_offset) / 64 + from->glyph->bitmap_left;
        const int top = baseline - s.position[g].y_offset / 64 - from->glyph->bitmap_top;
        for (unsigned row = 0; row < bitmap.rows; ++row) {
          for (unsigned col = 0; col < bitmap.width; ++col) {
            const int x = left + static_cast<int>(col);
            const int y = top + static_cast<int>(row);
            if (x >= 0 && x < mask.width && y >= 0 && y < mask.height) {
              float& m = mask.coverage[static_cast<size_t>(y * mask.width + x)];
              m = std::max(m, bitmap.buffer[row * static_cast<unsigned>(bitmap.pitch) + col] / 255.0f);
            }
          }
        }
      }
      x26 += s.position[g].x_advance;
    }
  }
  return mask;
}

// The subtitle's mask under the title's, both centred: one mask.
Mask stack(const Mask& top, const Mask& under, int gap) {
  Mask out;
  out.width = std::max(top.width, under.width);
  out.height = top.height + under.height - gap;
  out.coverage.assign(static_cast<size_t>(out.width) * static_cast<size_t>(out.height), 0.0f);
  const auto copy = [&](const Mask& m, int y0) {
    const int x0 = (out.width - m.width) / 2;
    for (int y = 0; y < m.height; ++y) {
      for (int x = 0; x < m.width; ++x) {
        float& to = out.coverage[static_cast<size_t>((y0 + y) * out.width + x0 + x)];
        to = std::max(to, m.coverage[static_cast<size_t>(y * m.width + x)]);
      }
    }
  };
  copy(top, 0);
  copy(under, top.height - gap);
  return out;
}

// How much of pixel (x, y) a w × h box with corners of radius r covers,
// its edge anti-aliased over one pixel.
float plateCoverage(int x, int y, int w, int h, float r) {
  const float px = static_cast<float>(x) + 0.5f;
  const float py = static_cast<float>(y) + 0.5f;
  const float dx = std::max({r - px, px - (static_cast<float>(w) - r), 0.0f});
  const float dy = std::max({r - py, py - (static_cast<float>(h) - r), 0.0f});
  return std::clamp(r + 0.5f - std::sqrt(dx * dx + dy * dy), 0.0f, 1.0f);
}

// The text in its colour over a soft dark shadow, over the plate if there
// is one; premultiplied.
Image shade(const Mask& mask, int size, const TitleLook& look) {
  const int w = mask.width;
  const int h = mask.height;
  const int offset = std::max(1, size / 24);
  const std::vector<float> soft = blur(mask.coverage, w, h, std::max(1, size / 16));
  Image image;
  image.width = w;
  image.height = h;
  image.rgba.assign(static_cast<size_t>(w) * static_cast<size_t>(h) * 4, 0);
  const auto byte = [](float v) { return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f)); };
  const float radius = std::max(2.0f, static_cast<float>(size) / 3.0f);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const float text = mask.coverage[static_cast<size_t>(y * w + x)];
      const int sx = x - offset;
      const int sy = y - offset;
      const float shadow =
          sx >= 0 && sy >= 0 ? std::min(1.0f, 1.6f * soft[static_cast<size_t>(sy * w + sx)]) * 0.75f : 0.0f;
      // Plate, then the shadow over it, then the text over both.
      const float plate = look.plate ? plateCoverage(x, y, w, h, radius) * look.plateOpacity : 0.0f;
      float colour[3];
      float alpha = plate;
      for (int c = 0; c < 3; ++c) {
        colour[c] = look.plateColour[static_cast<size_t>(c)] * plate * (1.0f - shadow);
      }
      alpha = shadow + alpha * (1.0f - shadow);
      uint8_t* p = &image.rgba[static_cast<size_t>(y * w + x) * 4];
      for (int c = 0; c < 3; ++c) {
        p[c] = byte(look.colour[static_cast<size_t>(c)] * text + colour[c] * (1.0f - text));
      }
      p[3] = byte(text + alpha * (1.0f - text));
    }
  }
  return image;
}

}  // namespace

Result<TitleLayout> layOutTitle(const std::string& given, const std::string& fontPath, int width, int height,
                                const TitleLook& look) {
  TitleLayout out;
  const std::string text = fitTitleLength(given);
  if (words(text).empty()) {
    return Status::failure("the title is empty");
  }
  Fonts fonts;
  if (Status opened = fonts.open(fontPath); !opened) {
    return opened;
  }
  const int margin = std::max(4, width / 20);
  const int room = width - 2 * margin;
  const int side = std::min(width, height);
  const Fitted fitted = fit(fonts, text, room, static_cast<int>(std::lround(side * 6 / 100 * look.size)));
  if (fitted.lines.empty()) {
    return Status::failure("the title does not fit a " + std::to_string(width) + "x" + std::to_string(height) +
            " picture even at the smallest size (a word is wider than the picture, or it needs more than three lines)");
  }
  // Room for the shadow, and on a plate room round the words.
  const int pad = std::max(2, fitted.size / 6) + (look.plate ? fitted.size / 3 : 0);
  Mask mask = rasterise(fonts, fitted.lines, room, pad);
  const std::string subtitle = fitTitleLength(look.subtitle);
  if (!words(subtitle).empty()) {
    const Fitted under = fit(fonts, subtitle, room, fitted.size * 6 / 10);
    if (under.lines.empty()) {
      return Status::failure("the subtitle does not fit a " + std::to_string(width) + "x" + std::to_string(height) +
                             " picture even at the smallest size");
    }
    mask = stack(mask, rasterise(fonts, under.lines, room, pad), pad);
  }
  out.image = shade(mask, fitted.size, look);
  const int w = out.image.width;
  const int h = out.image.height;
  if (h > height) {
    return Status::failure("the title does not fit a " + std::to_string(width) + "x" + std::to_string(height) +
                           " picture even at the smallest size (its lines are taller than the picture)");
  }
  out.x = (width - w) / 2;
  // Clear of what platforms lay over a video: a phone's captions and
  // buttons over the bottom fifth of a portrait video and its name over the
  // top tenth; 5% at the edges of a landscape or square one.
  const bool portrait = height > width;
  const int top = std::max(2, height * (portrait ? 10 : 5) / 100);
  const int bottom = std::max(2, height * (portrait ? 20 : 5) / 100);
  out.y = look.place == TitlePlace::Top      ? top
          : look.place == TitlePlace::Centre ? (height - h) / 2
                                             : height - bottom - h;
  out.x = std::clamp(out.x, 0, std::max(0, width - w));
  out.y = std::clamp(out.y, 0, std::max(0, height - h));
  return out;
}
