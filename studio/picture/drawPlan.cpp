// drawPlan.cpp — see drawPlan.h.
#include "picture/drawPlan.h"

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

// One line's words; "" where it holds one.
std::string readLine(const std::vector<std::string>& words, DrawPlan& plan, bool& modeSeen) {
  if (words[0] == "scale") {
    char* end = nullptr;
    const double scale = words.size() == 2 ? std::strtod(words[1].c_str(), &end) : NAN;
    if (words.size() != 2 || end != words[1].c_str() + words[1].size() || !(scale >= 0.1 && scale <= 1)) {
      return "scale must be one number from 0.1 to 1";
    }
    plan.scale = scale;
    return "";
  }
  for (const auto& m : kModes) {
    if (words[0] != m.name) {
      continue;
    }
    long long count = 0;
    if (words.size() != 2 || !wholeNumber(words[1], count) || count < 1 || count > kMostVertices) {
      return words[0] + " needs a count of vertices from 1 to 1000000";
    }
    if (modeSeen) {
      return "a second mode; one draw.txt draws one way";
    }
    modeSeen = true;
    plan.mode = m.mode;
    plan.count = static_cast<int>(count);
    return "";
  }
  return "\"" + printable(words[0].substr(0, 40)) +
         "\" is neither a mode (points, lines, line-strip, triangles, triangle-strip) nor scale";
}

}  // namespace

Result<DrawPlan> parseDrawPlan(const std::string& text, const std::string& path) {
  DrawPlan plan;
  bool modeSeen = false;
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
    if (const std::string why = readLine(words, plan, modeSeen); !why.empty()) {
      return Status::failure(path + ":" + std::to_string(number) + ": " + why);
    }
  }
  return plan;
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
