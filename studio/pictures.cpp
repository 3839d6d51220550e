// pictures.cpp — the `pictures` command: the gallery, one picture a line,
// its name and what it shows.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>

#include "cli.h"
#include "pictures.h"

#include "base/places.h"
#include "picture/gallery.h"

namespace {

// pictures --describe NAME: one line a setting.
int describe(const std::string& name) {
  const Result<GalleryEntry> picture = findGalleryPicture(name);
  if (!picture) {
    return report(kExitUsage, picture.why());
  }
  const Result<std::vector<Setting>> settings = readSettings(picture.value().path);
  if (!settings) {
    return report(kExitFailure, settings.why());
  }
  if (settings.value().empty()) {
    std::cout << name << " has no settings" << std::endl;
  }
  for (const Setting& setting : settings.value()) {
    std::cout << describeSetting(setting) << "\n";
  }
  std::cout << std::flush;
  return kExitDone;
}

}  // namespace

int runPictures(const std::string& describeName, bool palettes) {
  if (!describeName.empty()) {
    return describe(describeName);
  }
  if (palettes) {
    for (const std::string& name : paletteNames()) {
      std::cout << describePalette(name) << "\n";
    }
    std::cout << "Dark colours (backgrounds) take the last; the others the three before, in order." << std::endl;
    return kExitDone;
  }
  const std::vector<GalleryEntry> all = galleryPictures();
  if (all.empty()) {
    return report(kExitFailure, galleryProblem());
  }
  size_t width = 0;
  for (const GalleryEntry& picture : all) {
    width = std::max(width, picture.name.size());
  }
  for (const GalleryEntry& picture : all) {
    std::cout << picture.name << std::string(width + 2 - picture.name.size(), ' ') << picture.about << "\n";
  }
  // After a blank line, so the list above stays one picture a line.
  for (const std::string& place : shippedPlaces("examples/shadertoy/beat")) {
    std::error_code ec;
    if (std::filesystem::is_directory(place, ec)) {
      std::cout << "\nA shader that writes its own music (Shadertoy's Sound pass), with no song:\n"
                << "  vrax-studio render beat.mp4 --shaders "
                << std::filesystem::weakly_canonical(place, ec).string() << "\n";
      break;
    }
  }
  std::cout << std::flush;
  return kExitDone;
}
