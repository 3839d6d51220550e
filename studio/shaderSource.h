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

#include "picture.h"

enum class ShaderForm { Pair, Shadertoy };

struct ShaderSource {
  ShaderForm form = ShaderForm::Pair;
  std::string folder;              // where saves are watched
  std::vector<std::string> names;  // the files in it that make the picture
  std::string file;                // Shadertoy's form: the user's file
};

// Works out the form of path. False with a line saying why (missing, a pair
// half there, a multipass folder, ...).
bool findShaderSource(const std::string& path, ShaderSource& out, std::string& error);

// The paths of the files path's shaders are made of ({} when it names none).
std::vector<std::string> shaderFiles(const std::string& path);

// Reads the source's files as the vertex and fragment stage to build; a file
// over 1 MB, or a Shadertoy shader needing what is not supported, is refused
// with the reason.
bool readShaderSource(const ShaderSource& source, ShaderFile& vertex, ShaderFile& fragment, std::string& error);

// The first line number of what the wrapper adds after the user's file.
constexpr int kWrapperLine = 9000000;

// The wrapped fragment stage for Shadertoy's form, and how many lines come
// before the user's first line (0 when the driver honours #line).
std::string wrapShadertoy(const std::string& user, std::string& error);
