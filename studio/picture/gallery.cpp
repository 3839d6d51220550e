// gallery.cpp — see gallery.h.
#include "picture/gallery.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "base/text.h"

#include "base/places.h"

namespace fs = std::filesystem;

std::string galleryFolder() {
  // A gallery of one's own, instead of the shipped one.
  if (const char* own = std::getenv("VRAX_PICTURES"); own != nullptr && own[0] != '\0') {
    return own;
  }
  for (const std::string& place : shippedPlaces("pictures")) {
    std::error_code ec;
    if (fs::is_directory(place, ec)) {
      return fs::weakly_canonical(place, ec).string();
    }
  }
  return "";
}

std::string galleryProblem() {
  if (const char* own = std::getenv("VRAX_PICTURES"); own != nullptr && own[0] != '\0') {
    std::error_code ec;
    const auto status = fs::status(own, ec);
    const std::string named = std::string("VRAX_PICTURES names ") + own + ", which ";
    if (!fs::exists(status)) {
      return named + "does not exist";
    }
    if (!fs::is_directory(status)) {
      return named + "is not a folder (it should hold one folder per picture)";
    }
    return named + "holds no picture folders";
  }
  std::string places;
  for (const std::string& place : shippedPlaces("pictures")) {
    std::error_code ec;
    places += (places.empty() ? "" : ", ") + fs::weakly_canonical(place, ec).string();
  }
  return "no pictures are installed (looked in " + (places.empty() ? std::string("no place") : places) +
         "); VRAX_PICTURES may name a folder of your own";
}

namespace {

// One line about the picture and a few keywords: a few kilobytes at most.
constexpr std::uintmax_t kMaxAboutBytes = 64 << 10;

// The picture in folder `path`, with what its about.txt says; one that
// cannot be read (a pipe, a device, too large) says why in place of the line.
GalleryEntry pictureAt(const fs::path& path) {
  GalleryEntry picture;
  picture.name = path.filename().string();
  picture.path = path.string();
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path / "about.txt", ec))) {
    return picture;
  }
  const Result<std::string> text = readSmallFile((path / "about.txt").string(), kMaxAboutBytes, "64 kB");
  if (!text) {
    picture.about = "(" + text.why() + ")";
    return picture;
  }
  std::istringstream about(text.value());
  std::getline(about, picture.about);
  picture.about = printable(picture.about);
  for (std::string line; std::getline(about, line);) {
    picture.fullFrame = picture.fullFrame || line.rfind("full-frame", 0) == 0;
    if (line.rfind("memory:", 0) == 0) {
      const double seconds = std::strtod(line.c_str() + 7, nullptr);
      picture.memory = std::isfinite(seconds) && seconds > 0 ? std::min(seconds, 600.0) : 0.0;
    }
  }
  return picture;
}

// The picture folders' names, sorted, "ring" (the shipped picture) first.
std::vector<std::string> galleryNames(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (entry.is_directory(ec)) {
      out.push_back(entry.path().filename().string());
    }
  }
  std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) {
    return (a != "ring") < (b != "ring") || ((a != "ring") == (b != "ring") && a < b);
  });
  return out;
}

}  // namespace

std::vector<GalleryEntry> galleryPictures() {
  std::vector<GalleryEntry> out;
  const std::string folder = galleryFolder();
  for (const std::string& name : folder.empty() ? std::vector<std::string>{} : galleryNames(folder)) {
    out.push_back(pictureAt(fs::path(folder) / name));
  }
  return out;
}

Result<GalleryEntry> findGalleryPicture(const std::string& name) {
  const std::string folder = galleryFolder();
  const std::vector<std::string> all = folder.empty() ? std::vector<std::string>{} : galleryNames(folder);
  // Only the chosen picture's about.txt is read: another's cannot stop this one.
  if (std::find(all.begin(), all.end(), name) != all.end()) {
    return pictureAt(fs::path(folder) / name);
  }
  std::string names;
  for (const std::string& picture : all) {
    names += (names.empty() ? "" : ", ") + picture;
  }
  return Status::failure(all.empty() ? galleryProblem()
                                     : "there is no picture called \"" + printable(name) + "\"; the pictures are " + names);
}
