// settings.h — what a picture lets a user change without editing GLSL.
//
// A picture's folder may hold settings.txt, a line a setting:
//
//     NAME  TYPE  DEFAULT  [MIN..MAX]  MEANING
//     ringColour  colour  #3fa9ff  the colour of the ring
//     spin        float   1.0  0..4  how fast the ring turns
//
// TYPE is float (a number, within MIN..MAX when given) or colour (#rrggbb,
// #rgb, or a CSS colour name: teal, red, "sky blue").
// The shaders declare each as a uniform (float or vec3) and may give it the
// same default in GLSL, for programs that do not read settings.txt; the
// studio sets every declared setting after each build, to --set's value or
// the default. A line starting with "#" is a comment.
//
// Threading: plain functions; any thread.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "base/status.h"

struct Setting {
  std::string name;
  bool colour = false;  // a vec3 from #rrggbb, #rgb or a name; else a float
  std::array<float, 3> value{};  // the default, then --set's value
  bool ranged = false;
  float low = 0;
  float high = 0;
  std::string meaning;
};

// The settings of the picture in folder (none without settings.txt);
// refused with the file, line and why.
Result<std::vector<Setting>> readSettings(const std::string& folder);

// "#rrggbb", "#rgb" or a colour's name (CSS's, X11's where CSS has none;
// any case, spaces ignored) as three values 0..1; false for anything else.
bool parseColour(const std::string& text, std::array<float, 3>& out);

// --palette: a few named palettes every picture understands. A colour
// setting whose default is dark (relative luminance under 5%: a background,
// a backdrop, a sky) takes the palette's background; the others take its
// three accents in the order the picture lists them.
std::vector<std::string> paletteNames();
// The palette as "NAME  #accent1 #accent2 #accent3 on #background".
std::string describePalette(const std::string& name);
// settings with the palette's colours; refused naming the palettes there are.
Result<std::vector<Setting>> applyPalette(std::vector<Setting> settings, const std::string& name);

// settings with --set's NAME=VALUE given in order; refused naming what is
// wrong (an unknown name lists the names there are).
Result<std::vector<Setting>> applySettings(std::vector<Setting> settings, const std::vector<std::string>& given);

// One line for --describe: name, GLSL type, default and meaning.
std::string describeSetting(const Setting& setting);
