// upload.cpp — see upload.h.
#include "picture/upload.h"

#include <string>
#include <vector>

// Filters for the bound texture: mipmapped and linear for pictures, nearest
// for data read texel by texel; clamped at the edges either way.
void setTextureFilters(bool mipmapped) {
  GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, mipmapped ? GL_LINEAR_MIPMAP_LINEAR : GL_NEAREST));
  GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, mipmapped ? GL_LINEAR : GL_NEAREST));
  GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE));
  GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE));
}

Status textureTaken(const std::string& what) {
  GLenum first = GL_NO_ERROR;
  for (GLenum error; (error = glGetError()) != GL_NO_ERROR;) {
    first = first == GL_NO_ERROR ? error : first;
  }
  if (first == GL_NO_ERROR) {
    return Status();
  }
  return Status::failure("the GL driver cannot hold " + what +
                         (first == GL_OUT_OF_MEMORY ? ": out of memory" : " (GL error " + std::to_string(first) + ")"));
}

Status uploadImage(GLuint texture, const Image& image, bool flip, bool mipmaps, const uint8_t empty[4]) {
  GL_CALL(glBindTexture(GL_TEXTURE_2D, texture));
  GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 1));
  const std::string what = "a " + std::to_string(image.width) + "x" + std::to_string(image.height) + " picture";
  // Storage is where a driver runs out: checked here, in our words.
  if (image.empty()) {
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE, empty);
  } else {
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, image.width, image.height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                 flip ? nullptr : image.rgba.data());
  }
  Status taken = textureTaken(what);
  // Flipped a row at a time into place: no flipped copy of a large photo.
  const size_t row = static_cast<size_t>(image.width) * 4;
  for (int y = 0; taken && flip && !image.empty() && y < image.height; ++y) {
    GL_CALL(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, image.height - 1 - y, image.width, 1, GL_RGBA, GL_UNSIGNED_BYTE,
                            image.rgba.data() + static_cast<size_t>(y) * row));
  }
  if (taken && mipmaps) {
    glGenerateMipmap(GL_TEXTURE_2D);
    taken = textureTaken(what + "'s smaller sizes");
  }
  if (!taken) {
    GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
    return taken;
  }
  if (mipmaps) {
    setTextureFilters(true);
  } else {
    GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR));
    GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR));
    GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE));
    GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE));
  }
  GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
  return Status();
}
