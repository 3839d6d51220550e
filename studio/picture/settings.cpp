// settings.cpp — see settings.h.
#include "picture/settings.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "base/text.h"

namespace {

// "#rrggbb" as three values 0..1.
bool parseColour(const std::string& text, std::array<float, 3>& out) {
  if (text.size() != 7 || text[0] != '#') {
    return false;
  }
  // Hex digits only: strtol alone would take "#-1-1-1" and "#+f+f+f".
  if (!std::all_of(text.begin() + 1, text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
    return false;
  }
  for (int c = 0; c < 3; ++c) {
    const long v = std::strtol(text.substr(static_cast<size_t>(1 + 2 * c), 2).c_str(), nullptr, 16);
    out[static_cast<size_t>(c)] = static_cast<float>(v) / 255.0f;
  }
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
                                      : Status::failure(s.name + " is a colour, written #rrggbb (got \"" + text + "\")");
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
                              : names.empty()             ? "this picture has no settings"
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
