// readback.cpp — see readback.h.
#include "video/readback.h"

#include <cstring>

#include "video/planes.h"

Readback::Readback(int width, int height, int depth, bool toPlanes)
    : buffers_(static_cast<size_t>(depth)), width_(width), height_(height), toPlanes_(toPlanes),
      bytes_(static_cast<size_t>(width) * static_cast<size_t>(height) * 4) {
  GL_CALL(glGenBuffers(depth, buffers_.data()));
  for (GLuint b : buffers_) {
    GL_CALL(glBindBuffer(GL_PIXEL_PACK_BUFFER, b));
    GL_CALL(glBufferData(GL_PIXEL_PACK_BUFFER, static_cast<GLsizeiptr>(bytes_), nullptr, GL_STREAM_READ));
  }
  GL_CALL(glBindBuffer(GL_PIXEL_PACK_BUFFER, 0));
  GL_CALL(glPixelStorei(GL_PACK_ALIGNMENT, 1));
}

Readback::~Readback() {
  glDeleteBuffers(static_cast<GLsizei>(buffers_.size()), buffers_.data());
  buffers_.assign(buffers_.size(), 0);
}

void Readback::start() {
  const int slot = (head_ + pending_) % depth();
  GL_CALL(glBindBuffer(GL_PIXEL_PACK_BUFFER, buffers_[static_cast<size_t>(slot)]));
  GL_CALL(glReadPixels(0, 0, width_, height_, GL_RGBA, GL_UNSIGNED_BYTE, nullptr));
  GL_CALL(glBindBuffer(GL_PIXEL_PACK_BUFFER, 0));
  ++pending_;
}

Status Readback::finish(uint8_t* out) {
  if (pending_ == 0) {
    return Status::failure("no picture was being read back");
  }
  GL_CALL(glBindBuffer(GL_PIXEL_PACK_BUFFER, buffers_[static_cast<size_t>(head_)]));
  const void* pixels = glMapBufferRange(GL_PIXEL_PACK_BUFFER, 0, static_cast<GLsizeiptr>(bytes_), GL_MAP_READ_BIT);
  const bool ok = pixels != nullptr;
  const GLenum error = ok ? GL_NO_ERROR : glGetError();
  if (ok) {
    if (toPlanes_) {
      rgbaToPlanes420(static_cast<const uint8_t*>(pixels), width_, height_, out);
    } else {
      std::memcpy(out, pixels, bytes_);
    }
    GL_CALL(glUnmapBuffer(GL_PIXEL_PACK_BUFFER));
  }
  GL_CALL(glBindBuffer(GL_PIXEL_PACK_BUFFER, 0));
  head_ = (head_ + 1) % depth();
  --pending_;
  if (!ok) {
    return Status::failure("a picture could not be read back from the GPU" +
                           (error == GL_OUT_OF_MEMORY ? std::string(": out of memory") : std::string()));
  }
  return Status();
}
