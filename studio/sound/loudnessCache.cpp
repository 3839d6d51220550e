// loudnessCache.cpp — see loudnessCache.h.
#include "sound/loudnessCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "base/places.h"
#include "base/text.h"
#include "sound/loudness.h"

namespace {

constexpr const char* kHeader = "vrax-studio loudness 1";
constexpr off_t kFingerprintBytes = 64 * 1024;
constexpr std::uintmax_t kMaxEntryBytes = 4096;
constexpr size_t kMostEntries = 2000;
// Integrated loudness a real song can have: full-scale square waves measure
// about +3 LUFS; below −120 nothing is heard.
constexpr double kQuietestLufs = -120.0;
constexpr double kLoudestLufs = 10.0;


// The bytes at `offset`, as many as there are up to `count`.
std::string readAt(int fd, off_t offset, off_t count) {
  std::string bytes(static_cast<size_t>(count), '\0');
  const ssize_t got = pread(fd, bytes.data(), bytes.size(), offset);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

// What identifies this very file as it is now; "" when it cannot be read.
// What stat says of a file: any write changes it.
std::string statKey(const struct stat& info) {
  std::ostringstream out;
  out << info.st_dev << ' ' << info.st_ino << ' ' << info.st_size << ' ' << info.st_mtim.tv_sec << '.'
      << info.st_mtim.tv_nsec;
  return out.str();
}

// Whether the file is as it was when `key` was made: stat alone, without
// opening the song again.
bool unchangedSince(const std::string& path, const std::string& key) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && key.rfind(statKey(info) + ' ', 0) == 0;
}

std::string keyOf(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return "";
  }
  struct stat info {};
  std::string key;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    const off_t tail = std::max<off_t>(0, info.st_size - kFingerprintBytes);
    const uint64_t contents = fnv1a(readAt(fd, tail, kFingerprintBytes), fnv1a(readAt(fd, 0, kFingerprintBytes)));
    std::ostringstream out;
    out << statKey(info) << ' ' << std::hex << contents;
    key = out.str();
  }
  close(fd);
  return key;
}

std::string entryPath(const std::string& key) {
  char name[32];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(fnv1a(key)));
  return loudnessCacheFolder() + "/" + name;
}

// An entry that is not a small file (a pipe, a link to a device), does not
// read back whole, or holds a loudness no song has is not believed: the
// song is measured again and the entry replaced.
bool readEntry(const std::string& key, double& loudness) {
  const Result<std::string> text = readSmallFile(entryPath(key), kMaxEntryBytes, "an entry");
  if (!text) {
    return false;
  }
  std::istringstream in(text.value());
  std::string header, kept, value;
  if (!std::getline(in, header) || !std::getline(in, kept) || !std::getline(in, value) || header != kHeader ||
      kept != key || value.size() > 32) {
    return false;
  }
  char* end = nullptr;
  loudness = std::strtod(value.c_str(), &end);
  const bool silence = std::isinf(loudness) && loudness < 0;
  return end != value.c_str() && *end == '\0' &&
         (silence || (std::isfinite(loudness) && loudness >= kQuietestLufs && loudness <= kLoudestLufs));
}

// The oldest entries go once there are more than kMostEntries (a song
// edited often leaves one a version).
void pruneEntries() {
  keepNewestFiles(loudnessCacheFolder(), kMostEntries);
}

// Best effort: a cache that cannot be written is only slower next time.
void writeEntry(const std::string& key, double loudness) {
  std::error_code ec;
  std::filesystem::create_directories(loudnessCacheFolder(), ec);
  const std::string path = entryPath(key);
  const std::string temporary = path + ".tmp" + std::to_string(getpid());
  {
    std::ofstream out(temporary);
    char value[64];
    std::snprintf(value, sizeof value, "%.17g", loudness);
    out << kHeader << "\n" << key << "\n" << value << "\n";
    out.close();
    if (!out) {
      std::filesystem::remove(temporary, ec);
      return;
    }
  }
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    std::filesystem::remove(temporary, ec);
    return;
  }
  pruneEntries();
}

}  // namespace

std::string loudnessCacheFolder() {
  return userCacheFolder("loudness");
}

Result<double> measureLoudnessKept(const std::string& path, bool& fromCache) {
  fromCache = false;
  const std::string key = loudnessCacheFolder().empty() ? "" : keyOf(path);
  double loudness = 0;
  if (!key.empty() && readEntry(key, loudness)) {
    fromCache = true;
    return loudness;
  }
  const Result<double> measured = measureLoudness(path);
  // Kept only if the file did not change while it was measured.
  if (measured && !key.empty() && unchangedSince(path, key)) {
    writeEntry(key, measured.value());
  }
  return measured;
}
