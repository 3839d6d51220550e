// fonts.h — the faces a line of text is drawn with: the one asked for,
// then, character by character, fontconfig's fallbacks for what it lacks
// (CJK, symbols, any script an installed font has), so no character comes
// out as an empty box while some font on the system can draw it. Shaping
// is done with HarfBuzz run by run, a run being the characters one face
// draws. Colour-bitmap fonts (emoji) have no scalable outlines and are left
// out.
//
// Threading: one Fonts per thread.
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H
#include <hb.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "base/status.h"

// A line shaped: each glyph with the face it comes from, positions in 26.6
// pixels, and the line's width.
struct Shaped {
  std::vector<hb_glyph_info_t> info;
  std::vector<hb_glyph_position_t> position;
  std::vector<size_t> face;
  int width = 0;  // pixels
};

class Fonts {
 public:
  Fonts() = default;
  ~Fonts();
  Fonts(const Fonts&) = delete;
  Fonts& operator=(const Fonts&) = delete;

  // FreeType, the primary face (a file) and the list of fallbacks; refused
  // with the reason when the primary cannot be read.
  Status open(const std::string& primary);
  // Every face loaded (and any loaded later) at this size in pixels.
  void setSize(int pixels);
  Shaped shape(const std::string& text);
  FT_Face face(size_t i) const { return entries_[i].face; }
  FT_Face primary() const { return entries_.front().face; }

 private:
  struct Entry {
    FT_Face face = nullptr;
    hb_font_t* font = nullptr;
  };
  struct Candidate {
    std::string file;
    int index = 0;
    std::vector<unsigned> has;  // sorted code points it covers, of those asked for
    bool loaded = false;
  };
  size_t faceFor(hb_codepoint_t c);
  Status load(const std::string& file, int index);
  void findFallbacks();

  FT_Library library_ = nullptr;
  std::vector<Entry> entries_;
  std::vector<std::pair<std::string, int>> fallbacks_;  // fontconfig's sans-serif order
  bool listed_ = false;
  int size_ = 0;
};
