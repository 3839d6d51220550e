// glCall.h — checked GL calls.
//
// GL_CALL runs one GL call and then reports every GL error that is pending,
// one line per error on standard error, naming the call as written, the source
// file and the line. The macro expands at the call site, so the report names
// the caller's file and line; those are part of the console output people read,
// keep wrapped calls where they stand. Reports never change control flow.
//
// Threading: only on the thread whose GL context is current.
#pragma once

#include <glad/gl.h>

// Drains glGetError and prints "OpenGL error <code> in <expression> at <file>:<line>"
// for each pending code.
void checkGLErrors(const char* expression, const char* file, int line);

// Drains glGetError silently.
void clearGLErrors();

// The loader's own entry is gladLoadGL; this is the form the engine calls.
inline int gladLoadGLLoader(GLADloadfunc load) {
  return gladLoadGL(load);
}

#define GL_CALL(call)                         \
  do {                                        \
    call;                                     \
    checkGLErrors(#call, __FILE__, __LINE__); \
  } while (0)

// How many GL errors checkGLErrors has reported since the process started, so
// a command can refuse to call a run that had any a success.
unsigned long glErrorsReported();
