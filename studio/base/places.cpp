// places.cpp — see places.h.
#include "base/places.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace {

// The folder the running executable sits in.
std::string executableDir() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.parent_path().string();
}

}  // namespace

std::vector<std::string> shippedPlaces(const std::string& folder) {
  std::vector<std::string> places;
  const std::string exe = executableDir();
  if (!exe.empty()) {
    places.push_back(exe + "/../share/vrax/" + folder);
#ifdef VRAX_BUILD_DIR
    // Run from its build tree: the tree's own.
    std::error_code ec;
    if (std::filesystem::equivalent(exe, VRAX_BUILD_DIR, ec)) {
      places.push_back(std::string(VRAX_SOURCE_DIR) + "/" + folder);
    }
#endif
  }
  return places;
}

std::string userCacheFolder(const std::string& name) {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') {
    return std::string(cache) + "/vrax-studio/" + name;
  }
  const char* home = std::getenv("HOME");
  return home != nullptr && home[0] != '\0' ? std::string(home) + "/.cache/vrax-studio/" + name : "";
}

void keepNewestFiles(const std::string& folder, size_t keep, const std::string& suffix) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<std::pair<fs::file_time_type, fs::path>> entries;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code timeError;
    const auto when = it->last_write_time(timeError);
    const std::string name = it->path().filename().string();
    const bool named = name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    if (!timeError && named && it->is_regular_file(timeError)) {
      entries.emplace_back(when, it->path());
    }
  }
  if (entries.size() <= keep) {
    return;
  }
  std::sort(entries.begin(), entries.end());
  for (size_t i = 0; i + keep < entries.size(); ++i) {
    fs::remove(entries[i].second, ec);
  }
}

uint64_t fnv1a(const std::string& text, uint64_t hash) {
  for (const unsigned char c : text) {
    hash = (hash ^ c) * 1099511628211ull;
  }
  return hash;
}
