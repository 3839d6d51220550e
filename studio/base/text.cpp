// text.cpp — see text.h.
#include "base/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

std::string secondsText(double seconds) {
  char text[32];
  for (int digits = 3; digits <= 12; ++digits) {
    std::snprintf(text, sizeof text, "%.*f", digits, seconds);
    if (std::strtod(text, nullptr) == seconds) {
      break;
    }
  }
  std::string out = text;
  while (out.find('.') != std::string::npos && (out.back() == '0' || out.back() == '.')) {
    out.pop_back();
  }
  return out + " s";
}

std::string secondsText(int64_t frame, int64_t rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(frame) / static_cast<double>(rate));
  return text;
}

bool hasExtension(const std::string& path, const std::string& extension) {
  return path.size() >= extension.size() &&
         std::equal(extension.rbegin(), extension.rend(), path.rbegin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
         });
}
