// fonts.cpp — see fonts.h.
#include "picture/fonts.h"

#include <fontconfig/fontconfig.h>
#include <hb-ft.h>

namespace {

// UTF-8 to code points with each one's byte offset; a broken byte is U+FFFD.
struct CodePoint {
  hb_codepoint_t value;
  size_t offset;
  size_t length;
};
std::vector<CodePoint> codePoints(const std::string& text) {
  std::vector<CodePoint> out;
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const size_t length = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
    hb_codepoint_t value = length == 1 ? (b < 0x80 ? b : 0xFFFD) : b & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      const auto c = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
      value = (c & 0xC0) == 0x80 ? (value << 6) | (c & 0x3F) : 0xFFFD;
    }
    out.push_back({value, i, std::min(length, text.size() - i)});
    i += length;
  }
  return out;
}

// Spaces, punctuation shared by scripts and combining marks stay with the
// face of the characters before them, so a run is not split for them.
bool followsItsNeighbour(hb_codepoint_t c) {
  return c == ' ' || (c >= 0x0300 && c < 0x0370) || c == 0x200D || (c >= 0xFE00 && c < 0xFE10);
}

}  // namespace

Fonts::~Fonts() {
  for (Entry& e : entries_) {
    hb_font_destroy(e.font);
    FT_Done_Face(e.face);
  }
  entries_.clear();
  if (library_ != nullptr) {
    FT_Done_FreeType(library_);
    library_ = nullptr;
  }
}

Status Fonts::open(const std::string& primary) {
  if (FT_Init_FreeType(&library_) != 0) {
    library_ = nullptr;
    return Status::failure("cannot start FreeType");
  }
  if (const Status loaded = load(primary, 0); !loaded) {
    return Status::failure("--font " + primary + ": " + loaded.why());
  }
  return Status();
}

Status Fonts::load(const std::string& file, int index) {
  FT_Face face = nullptr;
  if (FT_New_Face(library_, file.c_str(), index, &face) != 0) {
    return Status::failure("not a font FreeType can read");
  }
  // A face without outlines (colour emoji bitmaps) cannot be drawn at any size.
  if (!entries_.empty() && !FT_IS_SCALABLE(face)) {
    FT_Done_Face(face);
    return Status::failure("a font of bitmaps only, which cannot be drawn at any size");
  }
  if (size_ > 0) {
    FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(size_));
  }
  entries_.push_back({face, hb_ft_font_create_referenced(face)});
  return Status();
}

void Fonts::setSize(int pixels) {
  size_ = pixels;
  for (Entry& e : entries_) {
    FT_Set_Pixel_Sizes(e.face, 0, static_cast<FT_UInt>(pixels));
    hb_ft_font_changed(e.font);
  }
}

void Fonts::findFallbacks() {
  listed_ = true;
  // A configuration of our own, destroyed here: fontconfig's shared one
  // would live to the end of the run.
  FcConfig* config = FcInitLoadConfigAndFonts();
  FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("sans-serif"));
  FcConfigSubstitute(config, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcFontSet* set = FcFontSort(config, pattern, FcFalse, nullptr, &result);
  for (int i = 0; set != nullptr && i < set->nfont; ++i) {
    FcChar8* file = nullptr;
    int index = 0;
    if (FcPatternGetString(set->fonts[i], FC_FILE, 0, &file) == FcResultMatch && file != nullptr) {
      FcPatternGetInteger(set->fonts[i], FC_INDEX, 0, &index);
      fallbacks_.emplace_back(reinterpret_cast<const char*>(file), index);
    }
  }
  if (set != nullptr) {
    FcFontSetDestroy(set);
  }
  FcPatternDestroy(pattern);
  FcConfigDestroy(config);
}

size_t Fonts::faceFor(hb_codepoint_t c) {
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (FT_Get_Char_Index(entries_[i].face, c) != 0) {
      return i;
    }
  }
  if (!listed_) {
    findFallbacks();
  }
  // The first fallback that has it, loaded once; used from then on.
  while (!fallbacks_.empty()) {
    const auto [file, index] = fallbacks_.front();
    fallbacks_.erase(fallbacks_.begin());
    FT_Face probe = nullptr;
    if (FT_New_Face(library_, file.c_str(), index, &probe) != 0) {
      continue;
    }
    const bool has = FT_Get_Char_Index(probe, c) != 0;
    FT_Done_Face(probe);
    if (has && load(file, index).ok()) {
      return entries_.size() - 1;
    }
  }
  return 0;  // nothing has it: the primary's own missing-glyph box
}

Shaped Fonts::shape(const std::string& text) {
  Shaped out;
  const std::vector<CodePoint> points = codePoints(text);
  int advance = 0;
  for (size_t start = 0; start < points.size();) {
    const size_t face = followsItsNeighbour(points[start].value) ? 0 : faceFor(points[start].value);
    size_t end = start + 1;
    while (end < points.size() && (followsItsNeighbour(points[end].value) || faceFor(points[end].value) == face)) {
      ++end;
    }
    hb_buffer_t* buffer = hb_buffer_create();
    const size_t from = points[start].offset;
    const size_t to = end < points.size() ? points[end].offset : text.size();
    hb_buffer_add_utf8(buffer, text.c_str(), static_cast<int>(text.size()), static_cast<unsigned>(from),
                       static_cast<int>(to - from));
    hb_buffer_guess_segment_properties(buffer);  // script and direction, right-to-left included
    hb_shape(entries_[face].font, buffer, nullptr, 0);
    unsigned count = 0;
    const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buffer, &count);
    const hb_glyph_position_t* position = hb_buffer_get_glyph_positions(buffer, &count);
    out.info.insert(out.info.end(), info, info + count);
    out.position.insert(out.position.end(), position, position + count);
    out.face.insert(out.face.end(), count, face);
    for (unsigned i = 0; i < count; ++i) {
      advance += position[i].x_advance;
    }
    hb_buffer_destroy(buffer);
    start = end;
  }
  out.width = (advance + 63) / 64;
  return out;
}
