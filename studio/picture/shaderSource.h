// shaderSource.h — what --shaders names, read into the two stages to build.
//
// Three forms: a folder with the pair Quad.vert.glsl and Quad.frag.glsl; a
// single .glsl file in Shadertoy's form (mainImage); or a folder holding
// such a file as image.glsl. Shadertoy's form is GLSL ES 3.00 (WebGL 2): it
// is wrapped with its own vertex stage, Shadertoy's uniforms and a main, and
// a #line directive keeps the driver's line numbers those of the user's file.
//
// Threading: plain functions; any thread.
#pragma once

#include <string>
#include <vector>

#include "base/status.h"
#include "picture/picture.h"

enum class ShaderForm { Pair, Shadertoy };

struct ShaderSource {
  ShaderForm form = ShaderForm::Pair;
  std::string folder;              // where saves are watched
  std::vector<std::string> names;  // the files in it that make the picture
  std::string file;                // Shadertoy's form: the user's file
};

// The shaders used when none are named: "Shaders" in the current folder,
// else the installed pair, else the source tree's when run from the build
// tree; the first place holding either file of a pair (so a pair half there
// is reported, not passed over). "" when there is none; noShaderDirMessage
// then says where it looked.
std::string defaultShaderDir();
std::string noShaderDirMessage();

// Works out the form of path. False with a line saying why (missing, a pair
// half there, a multipass folder, ...).
bool findShaderSource(const std::string& path, ShaderSource& out, std::string& error);

// The paths of the files path's shaders are made of ({} when it names none).
std::vector<std::string> shaderFiles(const std::string& path);

// Reads the source's files as the vertex and fragment stage to build; a file
// over 1 MB, or a Shadertoy shader needing what is not supported, is refused
// with the reason.
bool readShaderSource(const ShaderSource& source, ShaderFile& vertex, ShaderFile& fragment, std::string& error);

// The wrapped fragment stage for Shadertoy's form: its uniforms, the user's
// text (numbered from 1 by a #line directive) and a main; or why the text is
// not in the form.
Result<std::string> wrapShadertoy(const std::string& user);
