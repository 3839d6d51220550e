// gallery.h — the pictures that come with VRAX, each a folder under
// "pictures/" holding a shader pair or Shadertoy's image.glsl and an
// about.txt: one line about it, then "full-frame" on a line of its own for a
// picture that covers every pixel by nature (nothing of it can be see-through),
// and "memory: SECONDS" for one that shows frames before the one drawn (a
// trail, a scroll): how far back they reach, all that a render starting late
// draws before its start. Found like the shipped pair: the installed share folder, or the
// source tree's when run from the build tree; VRAX_PICTURES names a folder of
// one's own instead.
//
// Threading: plain functions; any thread.
#pragma once

#include "base/status.h"

#include <string>
#include <vector>

struct GalleryEntry {
  std::string name;
  std::string path;   // what --shaders would be given
  std::string about;  // one line
  bool fullFrame = false;
  double memory = 0;  // seconds; 0 where about.txt does not say
};

// The gallery's pictures, sorted by name, "ring" (the shipped picture) first.
std::vector<GalleryEntry> galleryPictures();
// Why there are none: what is wrong with VRAX_PICTURES, or where the
// shipped ones were looked for.
std::string galleryProblem();
// The folder they were found in ("" for none).
std::string galleryFolder();
// The picture called name; refused with a line listing the names when there is none.
Result<GalleryEntry> findGalleryPicture(const std::string& name);
