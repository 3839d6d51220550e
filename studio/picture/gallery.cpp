// gallery.cpp — see gallery.h.
#include "picture/gallery.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdlib>
#include <filesystem>
#include <fstream>

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

std::vector<GalleryEntry> galleryPictures() {
  std::vector<GalleryEntry> out;
  const std::string folder = galleryFolder();
  if (folder.empty()) {
    return out;
  }
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (!entry.is_directory(ec)) {
      continue;
    }
    GalleryEntry picture;
    picture.name = entry.path().filename().string();
    picture.path = entry.path().string();
    std::ifstream about(entry.path() / "about.txt");
    std::getline(about, picture.about);
    for (std::string line; std::getline(about, line);) {
      picture.fullFrame = picture.fullFrame || line.rfind("full-frame", 0) == 0;
      if (line.rfind("memory:", 0) == 0) {
        const double seconds = std::strtod(line.c_str() + 7, nullptr);
        picture.memory = std::isfinite(seconds) && seconds > 0 ? std::min(seconds, 600.0) : 0.0;
      }
    }
    out.push_back(picture);
  }
  std::sort(out.begin(), out.end(), [](const GalleryEntry& a, const GalleryEntry& b) {
    return (a.name != "ring") < (b.name != "ring") || ((a.name != "ring") == (b.name != "ring") && a.name < b.name);
  });
  return out;
}

Result<GalleryEntry> findGalleryPicture(const std::string& name) {
  const std::vector<GalleryEntry> all = galleryPictures();
  for (const GalleryEntry& picture : all) {
    if (picture.name == name) {
      return picture;
    }
  }
  std::string names;
  for (const GalleryEntry& picture : all) {
    names += (names.empty() ? "" : ", ") + picture.name;
  }
  return Status::failure(all.empty() ? galleryProblem()
                                     : "there is no picture called \"" + name + "\"; the pictures are " + names);
}
