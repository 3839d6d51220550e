// shaderSource.cpp — see shaderSource.h.
#include "picture/shaderSource.h"

#include "base/places.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

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
uniform float iBassTime;
uniform float iMidTime;
uniform float iTrebleTime;
uniform float iLevelTime;
out vec4 vraxFragColor;
)";

const char* const kShadertoyMain = R"(
#undef mainImage
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

std::vector<std::string> shaderDirCandidates() {
  std::vector<std::string> places = {"Shaders"};
  for (const std::string& place : shippedPlaces("Shaders")) {
    places.push_back(place);
  }
  return places;
}

}  // namespace

std::string defaultShaderDir() {
  for (const std::string& dir : shaderDirCandidates()) {
    if (isPairFolder(dir)) {
      return dir == "Shaders" ? dir : fs::weakly_canonical(dir).string();
    }
  }
  return "";
}

std::string noShaderDirMessage() {
  std::string places;
  for (const std::string& dir : shaderDirCandidates()) {
    std::error_code ec;
    places += (places.empty() ? "" : ", ") + fs::weakly_canonical(dir, ec).string();
  }
  return "no shader pair found (looked in " + places +
         "); give a folder holding Quad.vert.glsl and Quad.frag.glsl with --shaders";
}

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
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::string extension = fs::path(lower).extension().string();
    const bool shaderCode = extension == ".glsl" || extension == ".frag" || extension == ".fs";
    if (name != "image.glsl" && shaderCode) {
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

namespace {

bool identifierStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool identifierPart(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// The text with every comment turned into spaces (line breaks kept), so
// positions and line numbers stay those of the text. One pass, no recursion:
// any length of any run of characters costs the same.
std::string withoutComments(const std::string& text) {
  std::string out = text;
  size_t i = 0;
  while (i < out.size()) {
    if (out.compare(i, 2, "//") == 0) {
      while (i < out.size() && out[i] != '\n') {
        out[i++] = ' ';
      }
    } else if (out.compare(i, 2, "/*") == 0) {
      out[i] = out[i + 1] = ' ';
      i += 2;
      while (i < out.size() && out.compare(i, 2, "*/") != 0) {
        if (out[i] != '\n') {
          out[i] = ' ';
        }
        ++i;
      }
      for (int k = 0; k < 2 && i < out.size(); ++k) {
        out[i++] = ' ';
      }
    } else {
      ++i;
    }
  }
  return out;
}

// Identifiers and semicolons, in order, from code without comments.
std::vector<std::string> tokens(const std::string& code) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < code.size()) {
    if (identifierStart(code[i])) {
      const size_t start = i;
      while (i < code.size() && identifierPart(code[i])) {
        ++i;
      }
      out.push_back(code.substr(start, i - start));
    } else if (std::isdigit(static_cast<unsigned char>(code[i]))) {
      while (i < code.size() && identifierPart(code[i])) {
        ++i;  // a number, with its suffix: not an identifier
      }
    } else {
      if (code[i] == ';') {
        out.emplace_back(";");
      }
      ++i;
    }
  }
  return out;
}

// Blanks a "#version" line: the form supplies its own (GLSL ES 3.00), and a
// second one is an error. The line stays, so the user's line numbers hold.
void dropVersionLine(std::string& user, const std::string& code) {
  size_t line = 0;
  while (line < code.size()) {
    const size_t end = std::min(code.find('\n', line), code.size());
    size_t i = code.find_first_not_of(" \t\r", line);
    if (i < end && code[i] == '#') {
      i = code.find_first_not_of(" \t", i + 1);
      if (i < end && code.compare(i, 7, "version") == 0) {
        std::fill(user.begin() + static_cast<std::ptrdiff_t>(line), user.begin() + static_cast<std::ptrdiff_t>(end),
                  ' ');
      }
    }
    line = end + 1;
  }
}

}  // namespace

Result<std::string> wrapShadertoy(const std::string& given) {
  std::string user = given;
  // Editors on some systems start a file with a byte order mark; GLSL has none.
  if (user.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    user.erase(0, 3);
  }
  const std::string code = withoutComments(user);
  dropVersionLine(user, code);
  const std::vector<std::string> words = tokens(code);
  // mainImage as code, not in a comment; a macro may make it (#define mainImage(f, c) ...).
  if (std::find(words.begin(), words.end(), "mainImage") == words.end()) {
    return Status::failure("it has no mainImage(out vec4, in vec2); a Shadertoy shader needs one");
  }
  std::string text = kShadertoyUniforms;
  // Channels the user declares are theirs; anything but a 2D texture is a
  // channel kind this program cannot feed.
  bool mine[4] = {true, true, true, true};
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i] != "uniform") {
      continue;
    }
    size_t end = i + 1;
    while (end < words.size() && end < i + 6 && words[end] != ";") {
      ++end;
    }
    if (end >= words.size() || words[end] != ";" || end < i + 3) {
      continue;
    }
    const std::string& name = words[end - 1];
    if (name.size() != 9 || name.compare(0, 8, "iChannel") != 0 || name[8] < '0' || name[8] > '3') {
      continue;
    }
    const std::string& type = words[end - 2];
    const int channel = name[8] - '0';
    if (type != "sampler2D") {
      return Status::failure("iChannel" + std::to_string(channel) + " is a " + type +
                             "; only 2D channels (the sound and --image pictures) are supported, not cubemaps, "
                             "volumes, keyboards or videos");
    }
    mine[channel] = false;
  }
  for (int c = 0; c < 4; ++c) {
    if (mine[c]) {
      text += "uniform sampler2D iChannel" + std::to_string(c) + ";\n";
    }
  }
  // The driver counts the user's lines from 1 again; what follows the file
  // is numbered from kWrapperLine, so an error there is not taken for one of
  // the user's lines (Mesa does not print the source string number).
  text += "#line 1\n" + user + "\n#line " + std::to_string(kWrapperLine) + "\n" + kShadertoyMain;
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
  const Result<std::string> wrapped = wrapShadertoy(user.text);
  if (!wrapped) {
    error = source.file + ": " + wrapped.why();
    return false;
  }
  vertex = ShaderFile{source.file + " (vertex stage)", kShadertoyVertex};
  fragment = ShaderFile{source.file, wrapped.value()};
  return true;
}
