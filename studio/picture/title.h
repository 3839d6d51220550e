// title.h — a line of text over the picture: found through fontconfig (or
// the --font given), shaped with HarfBuzz (accents, joined scripts,
// right-to-left), rasterised with FreeType, anti-aliased, with a soft
// shadow so it reads on any picture, in its colour, on a plate if asked,
// with a subtitle under it if given. Sized to the picture's shorter side and
// kept clear of platforms' safe areas; "Artist – Title" breaks at the dash
// first; a text too wide is wrapped at spaces, then
// shrunk, and never drawn outside the picture. Only a text longer than
// kMaxTitleCharacters is cut.
//
// Threading: plain functions; any thread.
#pragma once

#include "base/status.h"

#include <array>
#include <cstddef>
#include <map>
#include <string>

#include "picture/image.h"

enum class TitlePlace { Top, Bottom, Centre };

// How the title looks beyond its words: where it goes, its colour, its size
// against the default (6% of the picture's shorter side a line), a plate
// behind it (a rounded box), and a second, smaller line under it.
struct TitleLook {
  TitlePlace place = TitlePlace::Bottom;
  std::array<float, 3> colour{1.0f, 1.0f, 1.0f};
  double size = 1.0;  // kMinTitleSize .. kMaxTitleSize
  bool plate = false;
  std::array<float, 3> plateColour{0.0f, 0.0f, 0.0f};
  float plateOpacity = 0.6f;
  std::string subtitle;  // "" for none; 60% of the title's size
};
constexpr double kMinTitleSize = 0.5;
constexpr double kMaxTitleSize = 2.5;

struct TitleLayout {
  Image image;  // premultiplied RGBA, rows top-down
  int x = 0;    // where its top-left corner goes, in picture pixels from the top-left
  int y = 0;
};

// The font file for `requested` (a file, or "" for the system's sans-serif).
// Refused with a line naming what can be given.
Result<std::string> findTitleFont(const std::string& requested);

// "Artist – Title" from a song's tags, or "" where it has neither.
std::string titleFromTags(const std::map<std::string, std::string>& tags);

// Titles longer than this many characters are cut, with an ellipsis: a tag
// can hold a megabyte, and shaping it would take minutes.
constexpr size_t kMaxTitleCharacters = 200;
// text cut to kMaxTitleCharacters, control characters as spaces.
std::string fitTitleLength(const std::string& text);

// Lays out text (cut by fitTitleLength) for a width × height picture;
// refused with the reason.
Result<TitleLayout> layOutTitle(const std::string& text, const std::string& fontPath, int width, int height,
                                const TitleLook& look);
inline Result<TitleLayout> layOutTitle(const std::string& text, const std::string& fontPath, int width, int height,
                                       TitlePlace place) {
  TitleLook look;
  look.place = place;
  return layOutTitle(text, fontPath, width, height, look);
}
