// glErrors.cpp — see glErrors.h.
#include "picture/glErrors.h"

#include "glCall.h"

namespace {

thread_local bool counting = false;
thread_local unsigned long counted = 0;

// Synchronous, so it runs on the thread whose call failed.
void GLAPIENTRY onMessage(GLenum, GLenum type, GLuint, GLenum, GLsizei, const GLchar*, const void*) {
  if (type == GL_DEBUG_TYPE_ERROR) {
    ++counted;
  }
}

}  // namespace

bool countGLErrors() {
  if (glDebugMessageCallback == nullptr || glDebugMessageControl == nullptr) {
    return false;
  }
  glEnable(GL_DEBUG_OUTPUT);
  glEnable(GL_DEBUG_OUTPUT_SYNCHRONOUS);
  // Only errors: the compiler's notes and the driver's performance hints
  // are not failures, and asking for them would cost every draw.
  glDebugMessageControl(GL_DONT_CARE, GL_DONT_CARE, GL_DONT_CARE, 0, nullptr, GL_FALSE);
  glDebugMessageControl(GL_DONT_CARE, GL_DEBUG_TYPE_ERROR, GL_DONT_CARE, 0, nullptr, GL_TRUE);
  glDebugMessageCallback(onMessage, nullptr);
  counting = glIsEnabled(GL_DEBUG_OUTPUT) == GL_TRUE;
  return counting;
}

unsigned long glErrorsOnThisThread() { return counting ? counted : glErrorsReported(); }
