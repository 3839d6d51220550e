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


ShownPicture::ShownPicture(FirstPicture first, PlayNotes notes)
    : first_(std::move(first)),
      notes_(std::move(notes)),
      gallery_(first_.shaders.empty() ? galleryPictures() : std::vector<GalleryEntry>{},
               first_.picture.empty() ? "ring" : first_.picture, notes_, first_.palette) {}

Status ShownPicture::open(Picture& picture) {
  Result<std::unique_ptr<OnScreen>> first = openFirstPicture(first_, picture, notes_);
  if (!first) {
    return first.status();
  }
  shown_ = std::move(first.value());
  return Status();
}

bool ShownPicture::step(int direction, Picture& picture) {
  if (gallery_.empty()) {
    notes_.warned("N and P step through the gallery, which --shaders leaves out");
    return false;
  }
  return show(gallery_.step(direction, picture), picture);
}

bool ShownPicture::jump(const std::string& name, Picture& picture) {
  if (gallery_.empty()) {
    notes_.warned("OSC /vrax/picture: --shaders leaves the gallery out");
    return false;
  }
  return show(gallery_.jump(name, picture), picture);
}

bool ShownPicture::show(std::unique_ptr<OnScreen> next, Picture& picture) {
  if (next == nullptr) {
    return false;
  }
  shown_ = std::move(next);
  picture.clearPrevious();
  return true;
}
