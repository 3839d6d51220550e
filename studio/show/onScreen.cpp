// onScreen.cpp — see onScreen.h.
#include "show/onScreen.h"

Result<std::unique_ptr<OnScreen>> openFirstPicture(const FirstPicture& o, Picture& picture, const PlayNotes& notes) {
  if (!o.picture.empty()) {
    const Result<GalleryEntry> chosen = findGalleryPicture(o.picture);
    if (!chosen) {
      return chosen.status();
    }
    return OnScreen::open(chosen.value().path, chosen.value().name, picture, o.channelSettings, true, notes);
  }
  const std::string dir = o.shaders.empty() ? defaultShaderDir() : o.shaders;
  if (dir.empty()) {
    return Status::failure(noShaderDirMessage());
  }
  // The shipped pair is the gallery's ring; a pair of one's own (./Shaders) is named by its folder.
  const bool shipped = o.shaders.empty() && dir != "Shaders";
  return OnScreen::open(dir, shipped ? "ring" : o.shaders.empty() ? "Shaders" : "", picture, o.channelSettings,
                        true, notes);
}

