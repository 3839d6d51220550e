// picture.h — what every studio command draws: one full-screen quad with a
// shader pair, the spectrum as a storage buffer at binding 0 and the float
// uniforms "aspect" (height ÷ width) and "itime" (seconds). The same contract
// as the live program, so one shader pair serves both.
//
// A pair may also declare the studio's further inputs (resolution, frame,
// bands, bass, mid, treble, level, beat, beats, waveform, image0-3 with their
// sizes, cover, coverSize, previous, and the music's clocks bassTime, midTime,
// trebleTime, levelTime). They are looked up after linking and
// only those declared are fed; one declared with another type is reported
// and left alone. "previous" is the frame drawn before, copied from the
// framebuffer after each draw, and only when a pair reads it.
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

#include "base/status.h"
#include "sound/analysis.h"
#include "glCall.h"
#include "picture/image.h"

// A shader source with the file it came from, for error messages.
struct ShaderFile {
  std::string path;
  std::string text;
};

// Reads one shader file: false with the reason (missing, a folder, over 1 MB).
bool readShaderFile(const std::string& path, ShaderFile& out, std::string& error);

// Reads DIR/Quad.vert.glsl and DIR/Quad.frag.glsl. False with the reason
// (naming the file) when either cannot be read.
bool readShaderPair(const std::string& dir, ShaderFile& vertex, ShaderFile& fragment, std::string& error);

// The first line number of what a front end (Shadertoy's form) adds after a
// user's file; a driver's line from here on is not one of the user's lines.
constexpr int kWrapperLine = 9000000;

// Compiles and links one program, the one way every program here is built
// (pictures, the title overlay). 0 with the logs by file in error.
GLuint buildProgram(const ShaderFile& vertex, const ShaderFile& fragment, std::string& error);

// Rewrites the GL driver's "0:12(5): error: …" lines as "FILE:12:5: error: …".
std::string describeShaderLog(const std::string& log, const std::string& path);

// Filters for the bound texture: mipmapped and linear for pictures, nearest
// for data read texel by texel; clamped at the edges either way.
void setTextureFilters(bool mipmapped);

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
  // notes receives a line for each input declared with the wrong type.
  bool build(const ShaderFile& vertex, const ShaderFile& fragment, std::string& error, const Notes& notes);
  bool hasProgram() const { return program_ != 0; }
  // The linked program, for inputs fed by others (Shadertoy's form).
  GLuint program() const { return program_; }

  // Uploads one spectrum (16384 floats).
  void setSpectrum(const std::vector<float>& spectrum);
  // Uploads one frame's analysis: the spectrum and what the pair declares of the rest.
  void setInputs(const AudioInputs& inputs);
  // The files of --image (slot 0-3) and the cover; an empty image is 1x1 transparent.
  void setImage(int slot, const Image& image);
  void setCover(const Image& image);
  // The next draw sees a black "previous" (a seek).
  void clearPrevious();
  bool readsPrevious() const;
  bool readsCover() const { return at_[kCover] >= 0 || at_[kCoverSize] >= 0; }
  // Clears and draws into whatever framebuffer is bound, width × height, as
  // frame number `frame` (the "frame" input).
  void draw(int width, int height, float itime, int64_t frame = 0);
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

  // The further inputs: where the program declares each (-1: not declared).
  enum Input { kResolution, kFrame, kBandsIn, kBass, kMid, kTreble, kLevel, kBeat, kBeats, kWaveformIn,
               kImage0, kImage1, kImage2, kImage3, kImage0Size, kImage1Size, kImage2Size, kImage3Size,
               kCover, kCoverSize, kPrevious, kBassTime, kMidTime, kTrebleTime, kLevelTime, kInputCount };
  // Looks up what the program declares; a line for each input of the wrong type.
  std::vector<std::string> findInputs();
  void bindInputs();
  void uploadTexture(GLuint texture, const Image& image);
  GLint at_[kInputCount] = {};
  GLuint waveform_ = 0;
  GLuint images_[4] = {};
  GLuint cover_ = 0;
  GLuint previous_ = 0;
  float imageSizes_[5][2] = {};  // image0-3, cover
  int previousWidth_ = 0;
  int previousHeight_ = 0;
  bool previousClear_ = true;
};
