// multipass.h — Shadertoy's shaders of several passes, read from the two
// places people keep them: the JSON the site exports (one shader, as its API
// and its export button give it) and a folder of files (image.glsl,
// common.glsl, buffer-a.glsl … buffer-d.glsl, and channels.txt saying what
// each pass reads).
//
// channels.txt has a line per pass, "PASS: N=WHAT N=WHAT …", where PASS is
// image, buffer-a … buffer-d or sound and WHAT is music, keyboard, buffer-a …
// buffer-d, noise, cubemap, volume, black, an image file (relative to the
// folder) or cubemap:FOLDER (six faces px, nx, py, ny, pz, nz in FOLDER),
// optionally followed by ",nearest", ",linear", ",mipmap",
// ",clamp", ",repeat" or ",noflip". "#" starts a comment. --channel takes
// the same "PASS:N=WHAT" (PASS defaults to image) for any form.
//
// What cannot be had here is put in, never refused: the site's own textures
// become generated noise, cubemaps a sky, volumes noise, videos black, each
// with a line saying so and how to give a file instead. A sound pass is left
// out with a line where a song is given (see shaderSound.h for where it is
// the song); a pass that draws a cubemap is refused.
//
// Threading: plain functions; any thread.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "base/status.h"
#include "picture/passes.h"

struct ShadertoyPass {
  std::string name;   // "image", "buffer-a" …
  int buffer = -1;    // 0-3 for A-D, -1 for the image pass
  std::string where;  // the file, or "FILE.json (Buffer A)"
  std::string code;
  std::array<Channel, 4> channels;
};

struct ShadertoyShader {
  std::string common;
  std::string commonWhere;
  std::vector<ShadertoyPass> passes;  // buffers A-D that exist, then image
  std::vector<std::string> notes;
  // The Sound pass (name "sound"; buffer -1), when there is one: the first
  // where an export holds several. Drawn only where it is the song.
  std::vector<ShadertoyPass> sound;
};

// The note said where a song is given to a shader with a Sound pass.
constexpr const char* kSoundLeftOut = ": the Sound pass is left out; the song is the sound";

// One setting of --channel or of a channels.txt line.
struct ChannelSetting {
  std::string pass = "image";
  int channel = 0;
  Channel value;
};

// The file of a cubemap folder's face `face` (px, nx, py, ny, pz, nz; also
// posx, negx, ...), any extension and case; "" when there is none.
std::string cubeFaceFile(const std::string& folder, const std::string& face);
// Every file a channel reads: its image, or its cubemap's six faces.
std::vector<std::string> channelFiles(const Channel& channel);

// The shader a JSON export holds. Every value is checked for the type it is
// read as: a malformed export is refused with a reason, never thrown over.
Result<ShadertoyShader> readShadertoyJson(const std::string& path);
// The same from the export's text; path names it in messages and is where
// its textures are looked for.
Result<ShadertoyShader> parseShadertoyJson(const std::string& text, const std::string& path);

// The passes of a folder; image.glsl is required. Without channels.txt every
// pass reads the music on iChannel0 and the files of --image on 1-3.
Result<ShadertoyShader> readShadertoyFolder(const std::string& dir);

// The pass a file of a folder is ("image", "common", "buffer-a" …, "sound",
// "cube-a"), or "" for a file that is no pass. Any case; spaces, dashes and
// underscores ignored; "buf a" is buffer-a.
std::string passOfFile(const std::string& filename);

// Reads "PASS:N=WHAT[,option…]" (PASS optional); files relative to dir.
Result<ChannelSetting> parseChannelSetting(const std::string& text, const std::string& dir);

// Applies settings in order; refused when one names a pass the shader lacks.
Status applyChannelSettings(ShadertoyShader& shader, const std::vector<ChannelSetting>& settings);

// A buffer no pass draws reads as black; a line for each such channel.
void checkBufferReads(ShadertoyShader& shader);
