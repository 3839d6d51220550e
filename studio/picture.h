// picture.h — what every studio command draws: one full-screen quad with a
// shader pair, the spectrum as a storage buffer at binding 0 and the float
// uniforms "aspect" (height ÷ width) and "itime" (seconds). The same contract
// as the live program, so one shader pair serves both.
//
// It needs only a current GL 4.5 context, whoever made it: EGL for render, a
// GLFW window for play. GL objects are made in the constructor and deleted in
// the destructor in reverse order, so the context must outlive the picture.
//
// A pair that fails to build never replaces a working program; with no
// working program at all the picture is plain dark.
//
// Threading: only on the thread whose GL context is current.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "glCall.h"

// A shader source with the file it came from, for error messages.
struct ShaderFile {
  std::string path;
  std::string text;
};

// Reads DIR/Quad.vert.glsl and DIR/Quad.frag.glsl. False with the reason
// (naming the file) when either cannot be read.
bool readShaderPair(const std::string& dir, ShaderFile& vertex, ShaderFile& fragment, std::string& error);

// Rewrites the GL driver's "0:12(5): error: …" lines as "FILE:12:5: error: …".
std::string describeShaderLog(const std::string& log, const std::string& path);

// What the bound framebuffer shows: RGBA, rows bottom-up, as writePng takes it.
std::vector<uint8_t> readPixels(int width, int height);

class Picture {
 public:
  Picture();
  ~Picture();
  Picture(const Picture&) = delete;
  Picture& operator=(const Picture&) = delete;

  // Compiles and links the pair. On success it replaces the current program;
  // on failure the current one stays and error holds the logs by file.
  bool build(const ShaderFile& vertex, const ShaderFile& fragment, std::string& error);
  bool hasProgram() const { return program_ != 0; }

  // Uploads one spectrum (16384 floats).
  void setSpectrum(const std::vector<float>& spectrum);
  // Clears and draws into whatever framebuffer is bound, width × height.
  void draw(int width, int height, float itime);
  // A thin red frame around the picture: what is shown is not the saved pair.
  void drawStaleFrame(int width, int height);

 private:
  GLuint program_ = 0;
  GLuint vao_ = 0;
  GLuint vbo_ = 0;
  GLuint ebo_ = 0;
  GLuint spectrum_ = 0;
  GLint aspectAt_ = -1;
  GLint itimeAt_ = -1;
};
