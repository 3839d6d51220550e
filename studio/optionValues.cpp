// optionValues.cpp — see optionValues.h.
#include "optionValues.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "picture/settings.h"
#include "picture/title.h"

namespace {

constexpr int kMaxSide = 3840;
constexpr long kMaxPixels = 3840L * 2160L;

// The whole text a number, and a finite one.
bool readDouble(const std::string& text, double& out) {
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return !text.empty() && end != text.c_str() && *end == '\0' && std::isfinite(out);
}

}  // namespace

bool parseSize(const std::string& text, int& width, int& height) {
  // The shapes people upload, by the names sites give them.
  static const struct {
    const char* name;
    int width;
    int height;
  } named[] = {{"360p", 640, 360}, {"720p", 1280, 720}, {"1080p", 1920, 1080}, {"1440p", 2560, 1440}, {"4k", 3840, 2160},
               {"portrait", 1080, 1920}, {"square", 1080, 1080}};
  for (const auto& n : named) {
    if (text == n.name) {
      width = n.width;
      height = n.height;
      return true;
    }
  }
  const size_t x = text.find_first_of("xX");
  if (x == std::string::npos || x == 0 || x + 1 >= text.size() || text.size() > 11) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    if (i != x && !std::isdigit(static_cast<unsigned char>(text[i]))) {
      return false;
    }
  }
  width = std::stoi(text.substr(0, x));
  height = std::stoi(text.substr(x + 1));
  return width >= 1 && height >= 1;
}

namespace optionValues {

// The one pixel limit of render and play: a window larger than the largest
// video would take gigabytes of buffers for a multipass picture.
Status readSize(const std::string& text, int& width, int& height) {
  if (!parseSize(text, width, height)) {
    return Status::failure("--size must look like 1280x720 or be 360p, 720p, 1080p, 1440p, 4k, portrait or square (got \"" +
                           text + "\")");
  }
  if (width > kMaxSide || height > kMaxSide || long(width) * height > kMaxPixels || width < 16 || height < 16) {
    return Status::failure("--size " + text + " is out of range: 16 to 3840 a side, at most 3840x2160 pixels");
  }
  return Status();
}

Status readFps(const std::string& text, Rational& fps, bool& rounded) {
  if (!parseRational(text, fps) || fps.value() < 1.0 || fps.value() > 240.0) {
    return Status::failure("--fps must be a number from 1 to 240, e.g. 30, 60 or 62.5 (got \"" + text + "\")");
  }
  const Rational kept = limitTerms(fps, 1 << 20);
  rounded = kept.num * fps.den != fps.num * kept.den;
  fps = kept;
  return Status();
}

Status readCrf(const std::string& text, int& crf) {
  double value = 0;
  if (!readDouble(text, value)) {
    return Status::failure("--crf must be a whole number from 0 to 51 (got \"" + text + "\")");
  }
  if (value != std::floor(value)) {
    return Status::failure("--crf must be a whole number, not a fraction (got \"" + text + "\")");
  }
  if (value < 0 || value > 51) {
    return Status::failure("--crf " + text + " is not in range: 0 (lossless) to 51");
  }
  crf = static_cast<int>(value);
  return Status();
}

Status readSeconds(const char* option, const std::string& text, Rational& t) {
  if (!parseRational(text, t)) {
    return Status::failure(std::string(option) + " must be seconds, e.g. 12 or 90.5 (got \"" + text + "\")");
  }
  return Status();
}

Status readNumber(const char* option, const char* what, double low, double high, const std::string& text,
                  double& out, bool whole) {
  if (!readDouble(text, out) || out < low || out > high || (whole && out != std::floor(out))) {
    char range[80];
    std::snprintf(range, sizeof range, "%sfrom %g to %g", *what != '\0' ? " " : "", low, high);
    return Status::failure(std::string(option) + " must be " + what + range + " (got \"" + text + "\")");
  }
  return Status();
}

Status readTitleSize(const std::string& text, double& size) {
  if (!readDouble(text, size) || !(size >= kMinTitleSize && size <= kMaxTitleSize)) {
    return Status::failure("--title-size must be from 0.5 to 2.5 (got \"" + text + "\")");
  }
  return Status();
}

Status readTitleColour(const std::string& text, std::array<float, 3>& colour) {
  if (!parseColour(text, colour)) {
    return Status::failure("--title-colour is #rrggbb, #rgb or a colour's name such as white or teal (got \"" + text +
                           "\")");
  }
  return Status();
}

Status readTitlePlate(const std::string& text, std::array<float, 3>& colour, float& opacity) {
  const size_t at = text.find('@');
  const std::string given = at == std::string::npos ? "" : text.substr(at + 1);
  double value = 0.6;
  const bool opacityOk = given.empty() || (readDouble(given, value) && value >= 0 && value <= 1);
  if (!parseColour(text.substr(0, at), colour) || !opacityOk) {
    return Status::failure("--title-plate is a colour with @OPACITY from 0 to 1, e.g. black@0.6 (got \"" + text +
                           "\")");
  }
  opacity = static_cast<float>(value);
  return Status();
}

Status readChangeEvery(const std::string& text, int& bars) {
  char* end = nullptr;
  const long every = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || every < 1 || every > 1000) {
    return Status::failure("--change-every must be bars from 1 to 1000 (got \"" + text + "\")");
  }
  bars = static_cast<int>(every);
  return Status();
}

Status readSeed(const std::string& text, uint32_t& seed) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || end == text.c_str() || *end != '\0' || text[0] == '-' || value > 0xFFFFFFFFull) {
    return Status::failure("--seed must be a whole number from 0 to 4294967295 (got \"" + text + "\")");
  }
  seed = static_cast<uint32_t>(value);
  return Status();
}

Status readLength(const std::string& text, double& seconds) {
  Rational given;
  if (!parseRational(text, given) || given.value() < 0.01 || given.value() > 3600) {
    return Status::failure("--length must be seconds from 0.01 to 3600 (got \"" + text + "\")");
  }
  seconds = given.value();
  return Status();
}

namespace {

// "A<separator>B", both whole numbers from 0 that a 32-bit frame count holds
// (past it, over two years at 30 fps, is no frame of a song).
bool readPair(const std::string& given, char separator, PartText& out) {
  const size_t at = given.find(separator);
  if (at == std::string::npos || at == 0 || at + 1 >= given.size() ||
      !std::isdigit(static_cast<unsigned char>(given[0])) || !std::isdigit(static_cast<unsigned char>(given[at + 1]))) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  out.first = std::strtoll(given.c_str(), &end, 10);
  bool whole = end == given.c_str() + at && errno == 0 && out.first <= INT32_MAX;
  out.second = std::strtoll(given.c_str() + at + 1, &end, 10);
  return whole && *end == '\0' && errno == 0 && out.second <= INT32_MAX;
}

}  // namespace

Status readPart(const std::string& text, PartText& part) {
  part = PartText();
  if (text == "sound") {
    part.sound = true;
    return Status();
  }
  if (!readPair(text, '/', part) || part.first < 1 || part.second < 1 || part.first > part.second ||
      part.second > 100000) {
    return Status::failure("--part must be K/N with 1 <= K <= N, as 3/8 (got \"" + text + "\")");
  }
  return Status();
}

Status readFrames(const std::string& text, PartText& frames) {
  frames = PartText();
  if (!readPair(text, '-', frames) || frames.first > frames.second) {
    return Status::failure("--frames must be A-B, the first and last frame from 0, as 0-899 (got \"" + text + "\")");
  }
  return Status();
}

}  // namespace optionValues
