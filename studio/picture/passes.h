// passes.h — a picture as the passes that draw it and what each one reads.
//
// A shader pair is one pass. A shader in Shadertoy's form is an image pass,
// drawn last, with up to four buffers (Buffer A-D) drawn before it every
// frame; each of its passes reads up to four channels. shaderSource makes
// these from files, Picture draws them.
//
// Threading: plain values; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "picture/drawPlan.h"

// Shader code past this is not hand-written; a driver may spend minutes and
// gigabytes compiling it. One cap however the code arrives: a file, a pass
// of a folder, or all the passes and common code of an export together.
constexpr std::uintmax_t kMaxShaderBytes = 1 << 20;
constexpr const char* kMaxShaderText = "1 MB, too large for a shader";

// One shader stage's text with where it came from, for error messages.
struct ShaderFile {
  std::string path;
  std::string text;
};

// What a channel shows. Given is a file of --image by its slot; File one
// named for the channel itself. Noise stands in for the site's own textures,
// Cube and Volume for its cubemaps and volumes, Black for video and webcam.
enum class ChannelKind { None, Music, Buffer, Given, File, Noise, Keyboard, Cube, Volume, Black };
enum class ChannelFilter { Nearest, Linear, Mipmap };

struct Channel {
  ChannelKind kind = ChannelKind::None;
  int index = 0;     // Buffer: 0-3 for A-D; Given: the --image slot
  std::string file;  // File: the image to show
  ChannelFilter filter = ChannelFilter::Mipmap;
  bool repeat = false;
  bool vflip = true;  // images only: the file's top row at the top, as the site shows it
};

// The sampler the site gives a kind of channel when a shader does not say.
Channel siteDefaults(ChannelKind kind, int index = 0);

// The GLSL type a channel is declared with.
const char* channelType(ChannelKind kind);

// One pass ready to build.
struct PassSource {
  std::string name;  // "image", "buffer-a" … as --channel names it
  int buffer = -1;   // 0-3: draws Buffer A-D; -1: draws the picture shown
  ShaderFile vertex;
  ShaderFile fragment;
  // Shadertoy's form: the fragment stage wrapped in other orders, tried in
  // turn when `fragment` does not build (published shaders need each).
  std::vector<ShaderFile> otherForms;
  std::string commonPath;  // a driver line from source string 1 is this file's
  bool shadertoy = false;
  std::array<Channel, 4> channels;
  DrawPlan draw;  // a pair's draw.txt: geometry, a smaller scale
};

// The passes in drawing order: the buffers (A to D), then the picture shown.
struct PictureSource {
  std::vector<PassSource> passes;
  // Lines the user should read: inputs put in for what cannot be had here.
  std::vector<std::string> notes;
};

// The pass names as --channel and the channels file take them.
std::string passName(int buffer);
