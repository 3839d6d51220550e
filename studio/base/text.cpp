// text.cpp — see text.h.
#include "base/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

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

Result<std::string> readSmallFile(const std::string& path, std::uintmax_t maxBytes, const std::string& tooLarge) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) {
    return Status::failure("cannot read " + path + ": " + (ec ? ec.message() : "No such file or directory"));
  }
  if (std::filesystem::is_directory(status)) {
    return Status::failure("cannot read " + path + ": it is a directory");
  }
  if (std::filesystem::is_regular_file(status) && std::filesystem::file_size(path, ec) > maxBytes) {
    return Status::failure("cannot use " + path + ": it is larger than " + tooLarge);
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return Status::failure("cannot read " + path + ": " + std::strerror(errno));
  }
  // A pipe or a device has no size to check first: stop reading past the limit.
  std::string text;
  char block[65536];
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    text.append(block, static_cast<size_t>(in.gcount()));
    if (text.size() > maxBytes) {
      return Status::failure("cannot read " + path + ": larger than " + tooLarge);
    }
  }
  if (in.bad()) {
    return Status::failure("cannot read " + path);
  }
  return text;
}
