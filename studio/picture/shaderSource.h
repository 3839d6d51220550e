// shaderSource.h — what --shaders names, read into the two stages to build.
//
// Four forms: a folder with the pair Quad.vert.glsl and Quad.frag.glsl; a
// single .glsl file in Shadertoy's form (mainImage); a folder of Shadertoy's
// passes; or the JSON the site exports. Shadertoy's form is GLSL ES 3.00 (WebGL 2): it
// is wrapped with its own vertex stage, Shadertoy's uniforms and a main, and
// a #line directive keeps the driver's line numbers those of the user's file.
//
// Threading: plain functions; any thread.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"
#include "picture/multipass.h"
#include "picture/passes.h"
#include "picture/picture.h"

// A pair; one file in Shadertoy's form; a folder of Shadertoy's passes
// (image.glsl with any of common.glsl, buffer-a.glsl … and channels.txt);
// the JSON of one shader as the site exports it.
enum class ShaderForm { Pair, Shadertoy, Folder, Export };

struct ShaderSource {
  ShaderForm form = ShaderForm::Pair;
  std::string folder;              // where saves are watched
  std::vector<std::string> names;  // the files in it that make the picture
  std::string file;                // one file: the user's file
};

// The shaders used when none are named: "Shaders" in the current folder,
// else the installed pair, else the source tree's when run from the build
// tree; the first place holding either file of a pair (so a pair half there
// is reported, not passed over). "" when there is none; noShaderDirMessage
// then says where it looked.
std::string defaultShaderDir();
std::string noShaderDirMessage();

// Works out the form of path; refused with a line saying why (missing, a
// pair half there, a folder of neither form, ...).
Result<ShaderSource> findShaderSource(const std::string& path);

// The paths of the files path's shaders are made of, with the images their
// channels show ({} when it names none).
std::vector<std::string> shaderFiles(const std::string& path, const std::vector<ChannelSetting>& settings = {});

// Reads the source's passes, ready to build, with --channel's settings
// applied; a file over 1 MB, a setting for a pass that is not there or a
// shader in no form this program draws is refused with the reason.
Result<PictureSource> readPictureSource(const ShaderSource& source, const std::vector<ChannelSetting>& settings = {});

struct WrapOptions {
  std::string common;  // Common's code, before the pass's
  bool buffer = false;  // a buffer keeps its alpha; the picture shown is opaque
  std::array<const char*, 4> types = {"sampler2D", "sampler2D", "sampler2D", "sampler2D"};
};
struct WrappedShadertoy {
  std::string text;
  std::array<std::string, 4> declared;  // the channels the code declares itself, by type
  std::vector<std::string> otherOrders;  // the same stage wrapped in other orders, to try in turn when text fails
};

// The wrapped fragment stage for Shadertoy's form: its uniforms, Common's
// and the user's text (each numbered from 1 by a #line directive) and a
// main; or why the text is not in the form.
Result<WrappedShadertoy> wrapShadertoy(const std::string& user, const WrapOptions& options = {});

// A Sound pass is drawn kSoundWidth samples a row, up to kSoundRows rows a
// draw: iFrame is the draw's first row, so sample n is pixel
// (n % 512, n / 512 − iFrame).
constexpr int kSoundWidth = 512;
constexpr int kSoundRows = 64;

// Whether the text defines mainSound (as code, not in a comment).
bool definesMainSound(const std::string& text);
// Whether the text defines mainImage (as code, not in a comment).
bool definesMainImage(const std::string& text);

// A Sound pass's fragment stage: Common's and the user's text and a main
// that writes mainSound's two samples as the pixel's red and green, for
// mainSound(int, float) and, as the other form, mainSound(float); or why
// the text has no mainSound.
Result<WrappedShadertoy> wrapShadertoySound(const std::string& user, const WrapOptions& options = {});

// The Sound pass of the source (an export's, sound.glsl of a folder, a single
// file's mainSound) as a pass ready to build, with --channel's settings
// applied ("sound:N=WHAT", or a "sound:" line of channels.txt); none for a
// pair or a shader without one. Refused with the reason naming the pass.
Result<std::optional<PassSource>> readSoundSource(const ShaderSource& source,
                                                  const std::vector<ChannelSetting>& settings = {});
