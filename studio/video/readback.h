// readback.h — pictures read back from the bound framebuffer through a ring
// of pixel buffer objects, so that the GPU copies frame n while frame n+1 is
// drawn, and the CPU waits only for a copy that has long finished.
//
// Pictures may be read as they are or turned into 4:2:0 planes on the way
// (planes.h), which costs less than copying them and converting later.
//
// Threading: only on the thread whose GL context is current.
#pragma once

#include "base/status.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "glCall.h"

class Readback {
 public:
  // toPlanes: finish() writes Planes420 (width and height even).
  Readback(int width, int height, int depth = 2, bool toPlanes = false);
  ~Readback();
  Readback(const Readback&) = delete;
  Readback& operator=(const Readback&) = delete;

  // Starts copying what has just been drawn. Only when pending() < depth.
  void start();
  // Copies the oldest started picture into out (RGBA, rows bottom-up), or
  // its planes.
  Status finish(uint8_t* out);
  int pending() const { return pending_; }
  int depth() const { return static_cast<int>(buffers_.size()); }
  size_t bytes() const { return bytes_; }
  // What one picture of width × height takes.
  static size_t bytesFor(int width, int height) {
    return static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
  }

 private:
  std::vector<GLuint> buffers_;
  int width_;
  int height_;
  bool toPlanes_;
  size_t bytes_;
  int head_ = 0;
  int pending_ = 0;
};
