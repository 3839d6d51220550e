// glCall.cpp — the two drains behind GL_CALL.
#include "glCall.h"

#include <atomic>
#include <iostream>

namespace {
std::atomic<unsigned long> reported{0};
}  // namespace

unsigned long glErrorsReported() {
  return reported.load();
}

void checkGLErrors(const char* expression, const char* file, int line) {
  // GL hands out each recorded error once, so this loop ends.
  for (GLenum code = glGetError(); code != GL_NO_ERROR; code = glGetError()) {
    reported.fetch_add(1);
    std::cerr << "OpenGL error " << code << " in " << expression << " at " << file << ":" << line << std::endl;
  }
}

void clearGLErrors() {
  while (glGetError() != GL_NO_ERROR) {
  }
}
