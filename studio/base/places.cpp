// places.cpp — see places.h.
#include "base/places.h"

#include <filesystem>

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
