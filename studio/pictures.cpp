// pictures.cpp — the `pictures` command: the gallery, one picture a line,
// its name and what it shows.
#include <algorithm>
#include <iostream>
#include <string>

#include "cli.h"
#include "picture/gallery.h"

int runPictures() {
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
  std::cout << std::flush;
  return kExitDone;
}
