// text.cpp — see text.h.
#include "base/text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <regex>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::string fileKind(unsigned mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR:
      return "a directory";
    case S_IFIFO:
      return "a pipe (FIFO)";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFSOCK:
      return "a socket";
    default:
      return "not a regular file";
  }
}

Result<std::string> readSmallFile(const std::string& path, std::uintmax_t maxBytes, const std::string& tooLarge) {
  // Non-blocking, so a FIFO put where a file belongs is refused at once
  // instead of waiting for a writer that never comes.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int error = errno;
    return Status::failure("cannot read " + quotedName(path) + ": " +
                           (error == ELOOP ? "it is a link that leads round in a loop" : std::strerror(error)));
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    const std::string kind = fileKind(info.st_mode);
    close(fd);
    return Status::failure("cannot read " + quotedName(path) + ": it is " + kind + ", not a file");
  }
  if (static_cast<std::uintmax_t>(info.st_size) > maxBytes) {
    close(fd);
    return Status::failure("cannot use " + quotedName(path) + ": it is larger than " + tooLarge);
  }
  // The size may still grow while it is read: never past the limit.
  std::string text;
  char block[65536];
  for (;;) {
    const ssize_t got = read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      const int error = errno;
      close(fd);
      return Status::failure("cannot read " + quotedName(path) + ": " + std::strerror(error));
    }
    if (got == 0) {
      break;
    }
    text.append(block, static_cast<size_t>(got));
    if (text.size() > maxBytes) {
      close(fd);
      return Status::failure("cannot use " + quotedName(path) + ": it is larger than " + tooLarge);
    }
  }
  close(fd);
  // A byte-order mark some editors write is not part of the text.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    text.erase(0, 3);
  }
  return text;
}

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  auto escape = [&out](unsigned char c) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    out += hex;
  };
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) {
      escape(c);
      ++i;
      continue;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    // A whole, shortest-form UTF-8 sequence goes through; anything else is escaped byte by byte.
    const size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    bool whole = length > 0 && i + length <= text.size() && c < 0xF5;
    for (size_t k = 1; whole && k < length; ++k) {
      whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    }
    if (whole && length == 3) {
      const auto c1 = static_cast<unsigned char>(text[i + 1]);
      whole = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);
    } else if (whole && length == 4) {
      const auto c1 = static_cast<unsigned char>(text[i + 1]);
      whole = !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);
    }
    if (!whole) {
      escape(c);
      ++i;
      continue;
    }
    out.append(text, i, length);
    i += length;
  }
  return out;
}

std::string quotedName(const std::string& name) {
  const std::string shown = printable(name);
  if (shown == name && !name.empty()) {
    return name;
  }
  std::string out = "\"";
  for (const char c : shown) {
    out += c == '"' ? std::string("\\\"") : std::string(1, c);
  }
  return out + "\"";
}

std::string oneLine(const std::string& text) {
  std::string out;
  bool gap = false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      gap = true;
      continue;
    }
    if (gap && !out.empty()) {
      out += ' ';
    }
    gap = false;
    out += c;
  }
  const size_t first = out.find_first_not_of(' ');
  return first == std::string::npos ? "" : out.substr(first, out.find_last_not_of(' ') - first + 1);
}

std::string songNameOfFile(const std::string& path) {
  const std::string stem = std::filesystem::path(path).stem().string();
  // "04 name", "04. name", "04 - name", "1-04 name": the number is the
  // track's place, not its name. A name that is only a number keeps it.
  static const std::regex track(R"(^(?:\d{1,2}-)?\d{1,3}(?:\s*[-._)]\s*|\s+)(?=\S))");
  const std::string named = std::regex_replace(stem, track, "", std::regex_constants::format_first_only);
  return oneLine(named.empty() ? stem : named);
}

void cutUtf8(std::string& text, size_t bytes) {
  if (text.size() <= bytes) {
    return;
  }
  size_t cut = bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  text.resize(cut);
}
