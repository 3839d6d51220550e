// settings.cpp — see settings.h.
#include "picture/settings.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <iterator>
#include <limits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "base/text.h"


namespace {

// The CSS colour names, and X11's where CSS has none (CSS wins where the two
// differ: gray, green, maroon, purple). Sorted by name, for a binary search.
struct NamedColour {
  const char* name;
  uint32_t rgb;
};
constexpr NamedColour kColourNames[] = {
    {"aliceblue", 0xf0f8ff},
    {"antiquewhite", 0xfaebd7},
    {"aqua", 0x00ffff},
    {"aquamarine", 0x7fffd4},
    {"azure", 0xf0ffff},
    {"beige", 0xf5f5dc},
    {"bisque", 0xffe4c4},
    {"black", 0x000000},
    {"blanchedalmond", 0xffebcd},
    {"blue", 0x0000ff},
    {"blueviolet", 0x8a2be2},
    {"brown", 0xa52a2a},
    {"burlywood", 0xdeb887},
    {"cadetblue", 0x5f9ea0},
    {"chartreuse", 0x7fff00},
    {"chocolate", 0xd2691e},
    {"coral", 0xff7f50},
    {"cornflowerblue", 0x6495ed},
    {"cornsilk", 0xfff8dc},
    {"crimson", 0xdc143c},
    {"cyan", 0x00ffff},
    {"darkblue", 0x00008b},
    {"darkcyan", 0x008b8b},
    {"darkgoldenrod", 0xb8860b},
    {"darkgray", 0xa9a9a9},
    {"darkgreen", 0x006400},
    {"darkgrey", 0xa9a9a9},
    {"darkkhaki", 0xbdb76b},
    {"darkmagenta", 0x8b008b},
    {"darkolivegreen", 0x556b2f},
    {"darkorange", 0xff8c00},
    {"darkorchid", 0x9932cc},
    {"darkred", 0x8b0000},
    {"darksalmon", 0xe9967a},
    {"darkseagreen", 0x8fbc8f},
    {"darkslateblue", 0x483d8b},
    {"darkslategray", 0x2f4f4f},
    {"darkslategrey", 0x2f4f4f},
    {"darkturquoise", 0x00ced1},
    {"darkviolet", 0x9400d3},
    {"deeppink", 0xff1493},
    {"deepskyblue", 0x00bfff},
    {"dimgray", 0x696969},
    {"dimgrey", 0x696969},
    {"dodgerblue", 0x1e90ff},
    {"firebrick", 0xb22222},
    {"floralwhite", 0xfffaf0},
    {"forestgreen", 0x228b22},
    {"fuchsia", 0xff00ff},
    {"gainsboro", 0xdcdcdc},
    {"ghostwhite", 0xf8f8ff},
    {"gold", 0xffd700},
    {"goldenrod", 0xdaa520},
    {"gray", 0x808080},
    {"green", 0x008000},
    {"greenyellow", 0xadff2f},
    {"grey", 0x808080},
    {"honeydew", 0xf0fff0},
    {"hotpink", 0xff69b4},
    {"indianred", 0xcd5c5c},
    {"indigo", 0x4b0082},
    {"ivory", 0xfffff0},
    {"khaki", 0xf0e68c},
    {"lavender", 0xe6e6fa},
    {"lavenderblush", 0xfff0f5},
    {"lawngreen", 0x7cfc00},
    {"lemonchiffon", 0xfffacd},
    {"lightblue", 0xadd8e6},
    {"lightcoral", 0xf08080},
    {"lightcyan", 0xe0ffff},
    {"lightgoldenrod", 0xeedd82},
    {"lightgoldenrodyellow", 0xfafad2},
    {"lightgray", 0xd3d3d3},
    {"lightgreen", 0x90ee90},
    {"lightgrey", 0xd3d3d3},
    {"lightpink", 0xffb6c1},
    {"lightsalmon", 0xffa07a},
    {"lightseagreen", 0x20b2aa},
    {"lightskyblue", 0x87cefa},
    {"lightslateblue", 0x8470ff},
    {"lightslategray", 0x778899},
    {"lightslategrey", 0x778899},
    {"lightsteelblue", 0xb0c4de},
    {"lightyellow", 0xffffe0},
    {"lime", 0x00ff00},
    {"limegreen", 0x32cd32},
    {"linen", 0xfaf0e6},
    {"magenta", 0xff00ff},
    {"maroon", 0x800000},
    {"mediumaquamarine", 0x66cdaa},
    {"mediumblue", 0x0000cd},
    {"mediumorchid", 0xba55d3},
    {"mediumpurple", 0x9370db},
    {"mediumseagreen", 0x3cb371},
    {"mediumslateblue", 0x7b68ee},
    {"mediumspringgreen", 0x00fa9a},
    {"mediumturquoise", 0x48d1cc},
    {"mediumvioletred", 0xc71585},
    {"midnightblue", 0x191970},
    {"mintcream", 0xf5fffa},
    {"mistyrose", 0xffe4e1},
    {"moccasin", 0xffe4b5},
    {"navajowhite", 0xffdead},
    {"navy", 0x000080},
    {"navyblue", 0x000080},
    {"oldlace", 0xfdf5e6},
    {"olive", 0x808000},
    {"olivedrab", 0x6b8e23},
    {"orange", 0xffa500},
    {"orangered", 0xff4500},
    {"orchid", 0xda70d6},
    {"palegoldenrod", 0xeee8aa},
    {"palegreen", 0x98fb98},
    {"paleturquoise", 0xafeeee},
    {"palevioletred", 0xdb7093},
    {"papayawhip", 0xffefd5},
    {"peachpuff", 0xffdab9},
    {"peru", 0xcd853f},
    {"pink", 0xffc0cb},
    {"plum", 0xdda0dd},
    {"powderblue", 0xb0e0e6},
    {"purple", 0x800080},
    {"rebeccapurple", 0x663399},
    {"red", 0xff0000},
    {"rosybrown", 0xbc8f8f},
    {"royalblue", 0x4169e1},
    {"saddlebrown", 0x8b4513},
    {"salmon", 0xfa8072},
    {"sandybrown", 0xf4a460},
    {"seagreen", 0x2e8b57},
    {"seashell", 0xfff5ee},
    {"sienna", 0xa0522d},
    {"silver", 0xc0c0c0},
    {"skyblue", 0x87ceeb},
    {"slateblue", 0x6a5acd},
    {"slategray", 0x708090},
    {"slategrey", 0x708090},
    {"snow", 0xfffafa},
    {"springgreen", 0x00ff7f},
    {"steelblue", 0x4682b4},
    {"tan", 0xd2b48c},
    {"teal", 0x008080},
    {"thistle", 0xd8bfd8},
    {"tomato", 0xff6347},
    {"turquoise", 0x40e0d0},
    {"violet", 0xee82ee},
    {"violetred", 0xd02090},
    {"wheat", 0xf5deb3},
    {"white", 0xffffff},
    {"whitesmoke", 0xf5f5f5},
    {"yellow", 0xffff00},
    {"yellowgreen", 0x9acd32}
};

// A colour's name, any case, spaces and underscores ignored ("Sky Blue").
bool namedColour(const std::string& text, uint32_t& rgb) {
  std::string key;
  for (char c : text) {
    if (c != ' ' && c != '_') {
      key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  const auto* end = std::end(kColourNames);
  const auto* found = std::lower_bound(std::begin(kColourNames), end, key,
                                       [](const NamedColour& c, const std::string& k) { return k.compare(c.name) > 0; });
  if (found == end || key != found->name) {
    return false;
  }
  rgb = found->rgb;
  return true;
}


bool parseNumber(const std::string& text, float& out) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  // What a float in the shader cannot hold would be infinite there.
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(v) ||
      std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max())) {
    return false;
  }
  out = static_cast<float>(v);
  return true;
}

// A value for setting s from text; refused with why.
Status setValue(Setting& s, const std::string& text) {
  if (s.colour) {
    return parseColour(text, s.value) ? Status()
                                      : Status::failure(s.name + " is a colour: #rrggbb, #rgb or a name such as teal (got \"" + text + "\")");
  }
  float v = 0;
  if (!parseNumber(text, v)) {
    return Status::failure(s.name + " is a number a float can hold, up to about ±3.4e38 (got \"" + text + "\")");
  }
  if (s.ranged && (v < s.low || v > s.high)) {
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", static_cast<double>(s.low), static_cast<double>(s.high));
    return Status::failure(s.name + " goes from " + range + " (got " + text + ")");
  }
  s.value = {v, 0, 0};
  return Status();
}

Result<Setting> parseLine(const std::string& line) {
  std::istringstream words(line);
  Setting s;
  std::string type;
  std::string value;
  if (!(words >> s.name >> type >> value) || (type != "float" && type != "colour")) {
    return Status::failure("expected \"NAME float|colour DEFAULT [MIN..MAX] MEANING\"");
  }
  s.colour = type == "colour";
  std::string next;
  words >> std::ws;
  const std::streampos meaningAt = words.tellg();
  if (words >> next && !s.colour && next.find("..") != std::string::npos) {
    const size_t dots = next.find("..");
    if (!parseNumber(next.substr(0, dots), s.low) || !parseNumber(next.substr(dots + 2), s.high) || s.low > s.high) {
      return Status::failure("\"" + next + "\" is not a range MIN..MAX");
    }
    s.ranged = true;
  } else {
    words.clear();
    words.seekg(meaningAt);
  }
  std::getline(words >> std::ws, s.meaning);
  if (const Status set = setValue(s, value); !set) {
    return Status::failure("the default: " + set.why());
  }
  return s;
}

}  // namespace

bool parseColour(const std::string& text, std::array<float, 3>& out) {
  uint32_t rgb = 0;
  if (namedColour(text, rgb)) {
    for (int c = 0; c < 3; ++c) {
      out[static_cast<size_t>(c)] = static_cast<float>((rgb >> (16 - 8 * c)) & 0xff) / 255.0f;
    }
    return true;
  }
  if ((text.size() != 7 && text.size() != 4) || text[0] != '#') {
    return false;
  }
  // Hex digits only: strtol alone would take "#-1-1-1" and "#+f+f+f".
  if (!std::all_of(text.begin() + 1, text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
    return false;
  }
  const bool shortForm = text.size() == 4;
  for (int c = 0; c < 3; ++c) {
    // "#f80" is "#ff8800".
    const std::string digits = shortForm ? std::string(2, text[static_cast<size_t>(1 + c)])
                                         : text.substr(static_cast<size_t>(1 + 2 * c), 2);
    out[static_cast<size_t>(c)] = static_cast<float>(std::strtol(digits.c_str(), nullptr, 16)) / 255.0f;
  }
  return true;
}

Result<std::vector<Setting>> readSettings(const std::string& folder) {
  const std::string path = folder + "/settings.txt";
  std::error_code ec;
  // A link that leads nowhere is refused by the read, not taken for no file.
  if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
    return std::vector<Setting>{};
  }
  const Result<std::string> text = readSmallFile(path, 1 << 20, "1 MB, too large for a list of settings");
  if (!text) {
    return text.status();
  }
  std::vector<Setting> out;
  std::istringstream lines(text.value());
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') {
      continue;
    }
    Result<Setting> setting = parseLine(line);
    if (!setting) {
      return Status::failure(path + ":" + std::to_string(number) + ": " + setting.why());
    }
    out.push_back(setting.value());
  }
  return out;
}

Result<std::vector<Setting>> applySettings(std::vector<Setting> settings, const std::vector<std::string>& given) {
  for (const std::string& text : given) {
    const size_t equals = text.find('=');
    const std::string name = text.substr(0, equals);
    auto it = std::find_if(settings.begin(), settings.end(), [&](const Setting& s) { return s.name == name; });
    if (equals == std::string::npos || it == settings.end()) {
      std::string names;
      for (const Setting& s : settings) {
        names += (names.empty() ? "" : ", ") + s.name;
      }
      return Status::failure("--set " + text + ": " +
                             (equals == std::string::npos ? "expected NAME=VALUE"
                              : names.empty()             ? "this picture has no settings (the gallery's have: "
                                                            "--picture ring --set ringColour=orange; see "
                                                            "vrax-studio pictures --describe NAME)"
                                                          : "no setting \"" + name + "\"; this picture has " + names));
    }
    if (const Status set = setValue(*it, text.substr(equals + 1)); !set) {
      return Status::failure("--set " + text + ": " + set.why());
    }
  }
  return settings;
}

std::string describeSetting(const Setting& s) {
  char value[64];
  if (s.colour) {
    std::snprintf(value, sizeof value, "#%02x%02x%02x", static_cast<int>(std::lround(s.value[0] * 255)),
                  static_cast<int>(std::lround(s.value[1] * 255)), static_cast<int>(std::lround(s.value[2] * 255)));
  } else {
    std::snprintf(value, sizeof value, "%g", static_cast<double>(s.value[0]));
  }
  std::string range;
  if (s.ranged) {
    char text[64];
    std::snprintf(text, sizeof text, " (%g to %g)", static_cast<double>(s.low), static_cast<double>(s.high));
    range = text;
  }
  return s.name + "  " + (s.colour ? "vec3" : "float") + "  " + value + "  " + s.meaning + range;
}

namespace {

struct Palette {
  const char* name;
  uint32_t accents[3];
  uint32_t background;
};
constexpr Palette kPalettes[] = {
    {"sunset", {0xff7b54, 0xffb26b, 0xd94f9c}, 0x140814},
    {"ocean", {0x2ec4f1, 0x1a6fd6, 0x7ef2d6}, 0x030b16},
    {"neon", {0xff2ed1, 0x2effe0, 0xf5ff2e}, 0x07030f},
    {"forest", {0x8fd14f, 0x2e8b57, 0xe0c36a}, 0x050d06},
    {"mono", {0xffffff, 0xb0b0b0, 0x707070}, 0x050505},
};

std::array<float, 3> rgbOf(uint32_t rgb) {
  return {static_cast<float>((rgb >> 16) & 0xff) / 255.0f, static_cast<float>((rgb >> 8) & 0xff) / 255.0f,
          static_cast<float>(rgb & 0xff) / 255.0f};
}

// WCAG's relative luminance of an sRGB colour.
float luminance(const std::array<float, 3>& c) {
  const auto linear = [](float v) { return v <= 0.03928f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f); };
  return 0.2126f * linear(c[0]) + 0.7152f * linear(c[1]) + 0.0722f * linear(c[2]);
}

std::string hex(uint32_t rgb) {
  char text[16];
  std::snprintf(text, sizeof text, "#%06x", rgb);
  return text;
}

}  // namespace

std::vector<std::string> paletteNames() {
  std::vector<std::string> names;
  for (const Palette& p : kPalettes) {
    names.push_back(p.name);
  }
  return names;
}

std::string describePalette(const std::string& name) {
  for (const Palette& p : kPalettes) {
    if (name == p.name) {
      return name + "  " + hex(p.accents[0]) + " " + hex(p.accents[1]) + " " + hex(p.accents[2]) + " on " +
             hex(p.background);
    }
  }
  return "";
}

Result<std::vector<Setting>> applyPalette(std::vector<Setting> settings, const std::string& name) {
  const auto* found = std::find_if(std::begin(kPalettes), std::end(kPalettes),
                                   [&](const Palette& p) { return name == p.name; });
  if (found == std::end(kPalettes)) {
    std::string names;
    for (const std::string& n : paletteNames()) {
      names += (names.empty() ? "" : ", ") + n;
    }
    return Status::failure("--palette " + name + ": there is no such palette; the palettes are " + names);
  }
  // The palette as a ramp from its darkest colour to its lightest. A
  // picture's own colours are spread over the whole ramp in their order
  // (the first at one end, the second at the other, the third between), so
  // two colours a picture sets against each other stay apart; its hues
  // turning over time follow the ramp too (paletteLow, paletteMid,
  // paletteHigh, which its shaders read).
  std::array<std::array<float, 3>, 3> ramp{rgbOf(found->accents[0]), rgbOf(found->accents[1]),
                                            rgbOf(found->accents[2])};
  std::sort(ramp.begin(), ramp.end(),
            [](const std::array<float, 3>& a, const std::array<float, 3>& b) { return luminance(a) < luminance(b); });
  static constexpr size_t kSpread[3] = {0, 2, 1};
  size_t accent = 0;
  for (Setting& s : settings) {
    if (!s.colour) {
      continue;
    }
    s.value = luminance(s.value) < 0.05f ? rgbOf(found->background) : ramp[kSpread[accent++ % 3]];
  }
  const char* names[3] = {"paletteLow", "paletteMid", "paletteHigh"};
  for (size_t i = 0; i < 3; ++i) {
    Setting stop;
    stop.name = names[i];
    stop.colour = true;
    stop.value = ramp[i];
    stop.meaning = "--palette " + name + "'s ramp";
    settings.push_back(stop);
  }
  // A flag rather than a colour no palette has: Shadertoy's passes (GLSL ES)
  // cannot give a uniform a default, so an unset one reads 0.
  Setting on;
  on.name = "paletted";
  on.value = {1.0f, 0.0f, 0.0f};
  on.meaning = "--palette " + name + " is on";
  settings.push_back(on);
  return settings;
}
