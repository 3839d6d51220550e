// shaderSource.cpp — see shaderSource.h.
#include "shaderSource.h"

#include <filesystem>
#include <regex>

namespace fs = std::filesystem;

namespace {

const char* const kShadertoyVertex = R"(#version 300 es
layout(location = 0) in vec3 aPos;
void main() {
    gl_Position = vec4(aPos, 1.0);
}
)";

const char* const kShadertoyUniforms = R"(#version 300 es
precision highp float;
precision highp int;
uniform vec3 iResolution;
uniform float iTime;
uniform float iTimeDelta;
uniform int iFrame;
uniform float iFrameRate;
uniform vec4 iDate;
uniform float iSampleRate;
uniform vec4 iMouse;
uniform float iChannelTime[4];
uniform vec3 iChannelResolution[4];
out vec4 vraxFragColor;
)";

const char* const kShadertoyMain = R"(
void main() {
    vec4 colour = vec4(0.0, 0.0, 0.0, 1.0);
    mainImage(colour, gl_FragCoord.xy);
    vraxFragColor = vec4(colour.rgb, 1.0);
}
)";

bool isPairFolder(const std::string& dir) {
  std::error_code ec;
  return fs::exists(dir + "/Quad.frag.glsl", ec) || fs::exists(dir + "/Quad.vert.glsl", ec);
}

}  // namespace

bool findShaderSource(const std::string& path, ShaderSource& out, std::string& error) {
  out = ShaderSource{};
  std::error_code ec;
  const auto status = fs::status(path, ec);
  if (!fs::exists(status)) {
    error = "cannot read the shaders " + path + ": No such file or directory";
    return false;
  }
  if (fs::is_regular_file(status)) {
    const fs::path file(path);
    out.form = ShaderForm::Shadertoy;
    out.folder = file.has_parent_path() ? file.parent_path().string() : ".";
    out.names = {file.filename().string()};
    out.file = path;
    return true;
  }
  if (!fs::is_directory(status)) {
    error = "cannot read the shaders " + path + ": not a file or a folder";
    return false;
  }
  out.folder = path;
  if (isPairFolder(path)) {
    out.names = {"Quad.vert.glsl", "Quad.frag.glsl"};
    return true;
  }
  if (!fs::exists(path + "/image.glsl", ec)) {
    error = "cannot read the shaders in " + path +
            ": it holds neither Quad.vert.glsl and Quad.frag.glsl nor Shadertoy's image.glsl (No such file or directory)";
    return false;
  }
  // Buffers and common code are further passes this program does not run.
  for (const auto& entry : fs::directory_iterator(path, ec)) {
    const std::string name = entry.path().filename().string();
    if (name != "image.glsl" && entry.path().extension() == ".glsl") {
      error = path + " is a multipass Shadertoy shader (" + name +
              " beside image.glsl); buffers and common code are not supported, only image.glsl on its own";
      return false;
    }
  }
  out.form = ShaderForm::Shadertoy;
  out.names = {"image.glsl"};
  out.file = path + "/image.glsl";
  return true;
}

std::vector<std::string> shaderFiles(const std::string& path) {
  ShaderSource source;
  std::string ignored;
  std::vector<std::string> files;
  if (!path.empty() && findShaderSource(path, source, ignored)) {
    for (const std::string& name : source.names) {
      files.push_back(source.form == ShaderForm::Shadertoy ? source.file : source.folder + "/" + name);
    }
  }
  return files;
}

std::string wrapShadertoy(const std::string& user, std::string& error) {
  static const std::regex hasMain(R"(\bvoid\s+mainImage\s*\()");
  if (!std::regex_search(user, hasMain)) {
    error = "it has no mainImage(out vec4, in vec2); a Shadertoy shader needs one";
    return "";
  }
  std::string text = kShadertoyUniforms;
  // Channels the user declares are theirs; anything but a 2D texture is a
  // channel kind this program cannot feed.
  static const std::regex declared(R"(\buniform\s+(\w+\s+)?(\w+)\s+iChannel([0-3])\s*;)");
  bool mine[4] = {true, true, true, true};
  for (auto it = std::sregex_iterator(user.begin(), user.end(), declared); it != std::sregex_iterator(); ++it) {
    const std::string type = (*it)[2].str();
    const int channel = std::stoi((*it)[3].str());
    if (type != "sampler2D") {
      error = "iChannel" + std::to_string(channel) + " is a " + type +
              "; only 2D channels (the sound and --image pictures) are supported, not cubemaps, volumes, "
              "keyboards or videos";
      return "";
    }
    mine[channel] = false;
  }
  for (int c = 0; c < 4; ++c) {
    if (mine[c]) {
      text += "uniform sampler2D iChannel" + std::to_string(c) + ";\n";
    }
  }
  // The driver counts the user's lines from 1 again.
  text += "#line 1\n" + user + "\n" + kShadertoyMain;
  return text;
}

bool readShaderSource(const ShaderSource& source, ShaderFile& vertex, ShaderFile& fragment, std::string& error) {
  if (source.form == ShaderForm::Pair) {
    return readShaderPair(source.folder, vertex, fragment, error);
  }
  ShaderFile user;
  if (!readShaderFile(source.file, user, error)) {
    return false;
  }
  std::string why;
  const std::string wrapped = wrapShadertoy(user.text, why);
  if (wrapped.empty()) {
    error = source.file + ": " + why;
    return false;
  }
  vertex = ShaderFile{source.file + " (vertex stage)", kShadertoyVertex};
  fragment = ShaderFile{source.file, wrapped};
  return true;
}
