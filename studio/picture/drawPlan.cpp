// drawPlan.cpp — see drawPlan.h.
#include "picture/drawPlan.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "base/text.h"

namespace {

const struct {
  const char* name;
  DrawMode mode;
} kModes[] = {{"points", DrawMode::Points},
              {"lines", DrawMode::Lines},
              {"line-strip", DrawMode::LineStrip},
              {"triangles", DrawMode::Triangles},
              {"triangle-strip", DrawMode::TriangleStrip}};

bool wholeNumber(const std::string& text, long long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text.c_str(), &end, 10);
  return !text.empty() && end == text.c_str() + text.size() && errno == 0;
}

// What the lines read so far make: the draws, and a scale given before any.
struct Reading {
  std::vector<Draw> draws;
  double firstScale = 0;  // 0: none given before the first draw
  int firstLeast = 0;
  bool scaled = false;  // the last draw has its scale
};

// "scale S" or "scale S min N".
std::string readScale(const std::vector<std::string>& words, Reading& r) {
  char* end = nullptr;
  const bool shaped = words.size() == 2 || (words.size() == 4 && words[2] == "min");
  const double scale = shaped ? std::strtod(words[1].c_str(), &end) : NAN;
  if (!shaped || end != words[1].c_str() + words[1].size() || !(scale >= 0.1 && scale <= 1)) {
    return "scale must be one number from 0.1 to 1, then, if the layer has a least size, min and its pixels";
  }
  long long least = 0;
  if (words.size() == 4 && (!wholeNumber(words[3], least) || least < 1 || least > kMostLeastSide)) {
    return "scale's min must be a whole number of pixels from 1 to " + std::to_string(kMostLeastSide);
  }
  if (r.scaled || (r.draws.empty() && r.firstScale > 0)) {
    return "a second scale for one draw";
  }
  if (r.draws.empty()) {
    r.firstScale = scale;
    r.firstLeast = static_cast<int>(least);
    return "";
  }
  if (r.draws.size() > 1 && scale < 1) {
    return "only the first draw can be at a smaller scale: it is brought up under the rest";
  }
  r.draws.back().scale = scale;
  r.draws.back().leastSide = static_cast<int>(least);
  r.scaled = true;
  return "";
}

// One line's words; "" where it holds one.
std::string readLine(const std::vector<std::string>& words, Reading& r) {
  if (words[0] == "scale") {
    return readScale(words, r);
  }
  Draw draw;
  bool known = words[0] == "quad";
  if (known && words.size() != 1) {
    return "quad takes no count: it is the full-screen quad";
  }
  for (const auto& m : kModes) {
    if (words[0] != m.name) {
      continue;
    }
    long long count = 0;
    if (words.size() != 2 || !wholeNumber(words[1], count) || count < 1 || count > kMostVertices) {
      return words[0] + " needs a count of vertices from 1 to 1000000";
    }
    known = true;
    draw.mode = m.mode;
    draw.count = static_cast<int>(count);
  }
  if (!known) {
    return "\"" + printable(words[0].substr(0, 40)) +
           "\" is neither a mode (quad, points, lines, line-strip, triangles, triangle-strip) nor scale";
  }
  if (r.draws.size() == static_cast<size_t>(kMostDraws)) {
    return "more than " + std::to_string(kMostDraws) + " draws";
  }
  // A scale given before any draw is the first draw's.
  r.scaled = r.draws.empty() && r.firstScale > 0;
  draw.scale = r.scaled ? r.firstScale : 1;
  draw.leastSide = r.scaled ? r.firstLeast : 0;
  r.draws.push_back(draw);
  return "";
}

}  // namespace

Result<DrawPlan> parseDrawPlan(const std::string& text, const std::string& path) {
  Reading reading;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    std::istringstream in(line.substr(0, line.find('#')));
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
      words.push_back(word);
    }
    if (words.empty()) {
      continue;
    }
    if (const std::string why = readLine(words, reading); !why.empty()) {
      return Status::failure(path + ":" + std::to_string(number) + ": " + why);
    }
  }
  DrawPlan plan;
  if (!reading.draws.empty()) {
    plan.draws = reading.draws;
  } else if (reading.firstScale > 0) {
    plan.draws[0].scale = reading.firstScale;
    plan.draws[0].leastSide = reading.firstLeast;
  }
  return plan;
}

double Draw::scaleIn(int width, int height) const {
  const int shorter = std::min(width, height);
  if (scale >= 1 || shorter <= 0) {
    return 1;
  }
  return std::min(1.0, std::max(scale, static_cast<double>(leastSide) / shorter));
}

Result<DrawPlan> readDrawPlan(const std::string& dir) {
  const std::string path = dir + "/draw.txt";
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
    return DrawPlan{};
  }
  const Result<std::string> text = readSmallFile(path, 64 * 1024, "64 kB, too large for draw.txt");
  if (!text) {
    return text.status();
  }
  return parseDrawPlan(text.value(), path);
}
