// program.h — how every GL program here is built from shader files (the
// pictures' passes, the title overlay, the Sound pass), how the driver's log
// is told back by file and line, and the two small reads every drawer needs.
//
// Threading: the GL calls only on the thread whose context is current.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"
#include "glCall.h"
#include "picture/passes.h"

// Reads one shader file; refused with the reason (missing, a folder, over 1 MB).
Result<ShaderFile> readShaderFile(const std::string& path);

// DIR/Quad.vert.glsl and DIR/Quad.frag.glsl; refused with the reason
// (naming the file) when either cannot be read.
struct ShaderPair {
  ShaderFile vertex;
  ShaderFile fragment;
};
Result<ShaderPair> readShaderPair(const std::string& dir);

// The first line number of what a front end (Shadertoy's form) adds after a
// user's file; a driver's line from here on is not one of the user's lines.
constexpr int kWrapperLine = 9000000;

// Compiles and links one program, the one way every program here is built
// (pictures, the title overlay); refused with the logs by file. Lines of
// source string 1 (Common's code) are named by commonPath.
Result<GLuint> buildProgram(const ShaderFile& vertex, const ShaderFile& fragment, const std::string& commonPath = "");

// Rewrites the GL driver's "0:12(5): error: …" lines as "FILE:12:5: error: …";
// lines of source string 1 are commonPath's.
std::string describeShaderLog(const std::string& log, const std::string& path, const std::string& commonPath = "");

// What the bound framebuffer shows: RGBA, rows bottom-up, as writePng takes it.
std::vector<uint8_t> readPixels(int width, int height);

// iDate for the local time now.
void dateNow(float date[4]);
