// upload.h — images into GL textures, one way for every user: a picture's
// images and cover, Shadertoy's channels, the title, the background and
// the logo.
//
// Threading: only on the thread whose GL context is current.
#pragma once

#include <cstdint>
#include <string>

#include "base/status.h"

#include "glCall.h"
#include "picture/image.h"

// Filters for the bound texture: mipmapped and linear for pictures, nearest
// for data read texel by texel; clamped at the edges either way.
void setTextureFilters(bool mipmapped);

// The one way an image becomes a texture (pictures' images, Shadertoy's
// channels, the title): into `texture`, its rows flipped so the file's top
// row is at the top of GL's coordinates when `flip`, mipmapped and linear
// when `mipmaps` (else linear without), clamped. An empty image is the one
// texel `empty` (RGBA). A texture the driver refuses (out of memory) is
// said in our words, never as the driver's raw error lines.
Status uploadImage(GLuint texture, const Image& image, bool flip, bool mipmaps, const uint8_t empty[4]);

// After a call that may allocate a texture's storage: success, or why the
// driver refused `what` (the errors it raised are taken, not printed).
Status textureTaken(const std::string& what);
