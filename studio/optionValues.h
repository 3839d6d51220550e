// optionValues.h — how one option's text is read, and why it is refused when
// it cannot be: the rules the command line, a project file and the page share
// (the option table names each row's rule). Each reader checks the value
// alone; what options mean together is the command line's (cliChecks.cpp).
//
// Threading: plain functions; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "base/status.h"
#include "video/frameClock.h"

// Reads "WxH" or a shape's name (360p, 720p, 1080p, 1440p, 4k, portrait, square).
// False for anything else or a side below 1.
bool parseSize(const std::string& text, int& width, int& height);

namespace optionValues {

// --size: a shape or WxH within the one pixel limit of render and play.
Status readSize(const std::string& text, int& width, int& height);
// --fps: 1 to 240 frames a second, as a rational the encoders can keep
// (its terms limited; `rounded` says whether that changed it).
Status readFps(const std::string& text, Rational& fps, bool& rounded);
Status readCrf(const std::string& text, int& crf);
// --from, --to: any seconds, kept exact.
Status readSeconds(const char* option, const std::string& text, Rational& t);
// A number from low to high, refused in the words "OPTION must be WHAT
// from LOW to HIGH (got "TEXT")"; `whole` refuses a fraction.
Status readNumber(const char* option, const char* what, double low, double high, const std::string& text, double& out,
                  bool whole = false);
Status readTitleSize(const std::string& text, double& size);
// --title-plate COLOUR[@OPACITY]: the plate's colour and opacity.
Status readTitlePlate(const std::string& text, std::array<float, 3>& colour, float& opacity);
Status readTitleColour(const std::string& text, std::array<float, 3>& colour);
Status readChangeEvery(const std::string& text, int& bars);
Status readSeed(const std::string& text, uint32_t& seed);
Status readLength(const std::string& text, double& seconds);
// --part K/N (or "sound") and --frames A-B: the numbers, as given.
struct PartText {
  bool sound = false;
  long long first = 0;
  long long second = 0;
};
Status readPart(const std::string& text, PartText& part);
Status readFrames(const std::string& text, PartText& frames);

}  // namespace optionValues
