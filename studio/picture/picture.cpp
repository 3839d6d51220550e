// picture.cpp — see picture.h.
#include "picture/picture.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <cctype>
#include <sstream>

#include "scene.h"
#include "spectrum.h"

namespace {

// Shader sources past this are not hand-written; a driver may spend minutes
// and gigabytes compiling them.
constexpr std::uintmax_t kMaxShaderBytes = 1 << 20;

bool readText(const std::string& path, std::string& out, std::string& error) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) {
    const std::string why = ec ? ec.message() : "No such file or directory";
    error = "cannot read " + path + ": " + why;
    return false;
  }
  if (std::filesystem::is_directory(status)) {
    error = "cannot read " + path + ": it is a directory";
    return false;
  }
  if (std::filesystem::is_regular_file(status) && std::filesystem::file_size(path, ec) > kMaxShaderBytes) {
    error = "cannot use " + path + ": it is larger than 1 MB, too large for a shader";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad() || text.str().size() > kMaxShaderBytes) {
    error = "cannot read " + path + (in.bad() ? "" : ": larger than 1 MB, too large for a shader");
    return false;
  }
  out = text.str();
  return true;
}

std::string infoLog(GLuint object, bool program) {
  GLint length = 0;
  if (program) {
    glGetProgramiv(object, GL_INFO_LOG_LENGTH, &length);
  } else {
    glGetShaderiv(object, GL_INFO_LOG_LENGTH, &length);
  }
  std::string log(static_cast<size_t>(std::max(length, 1)), '\0');
  if (program) {
    glGetProgramInfoLog(object, length, nullptr, log.data());
  } else {
    glGetShaderInfoLog(object, length, nullptr, log.data());
  }
  log.resize(log.find('\0') == std::string::npos ? log.size() : log.find('\0'));
  return log;
}

// Returns the shader, or 0 with the log in error.
GLuint compile(GLenum type, const ShaderFile& file, std::string& error) {
  const GLuint shader = glCreateShader(type);
  const char* text = file.text.c_str();
  GL_CALL(glShaderSource(shader, 1, &text, nullptr));
  GL_CALL(glCompileShader(shader));
  GLint ok = 0;
  GL_CALL(glGetShaderiv(shader, GL_COMPILE_STATUS, &ok));
  if (!ok) {
    error += file.path + ": does not compile\n" + describeShaderLog(infoLog(shader, false), file.path);
    GL_CALL(glDeleteShader(shader));
    return 0;
  }
  return shader;
}

}  // namespace

// Filters for the bound texture: mipmapped and linear for pictures, nearest
// for data read texel by texel; clamped at the edges either way.
void setTextureFilters(bool mipmapped) {
  GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, mipmapped ? GL_LINEAR_MIPMAP_LINEAR : GL_NEAREST));
  GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, mipmapped ? GL_LINEAR : GL_NEAREST));
  GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE));
  GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE));
}

bool readShaderFile(const std::string& path, ShaderFile& out, std::string& error) {
  out.path = path;
  return readText(path, out.text, error);
}

bool readShaderPair(const std::string& dir, ShaderFile& vertex, ShaderFile& fragment, std::string& error) {
  vertex.path = dir + "/Quad.vert.glsl";
  fragment.path = dir + "/Quad.frag.glsl";
  return readText(vertex.path, vertex.text, error) && readText(fragment.path, fragment.text, error);
}

namespace {

// Reads the digits at text[at...]; false when there are none.
bool digitsAt(const std::string& text, size_t& at, std::string& out) {
  const size_t start = at;
  while (at < text.size() && at - start < 10 && std::isdigit(static_cast<unsigned char>(text[at]))) {
    ++at;
  }
  out = text.substr(start, at - start);
  return !out.empty();
}

// A line quoting a 40,000-character identifier keeps the identifier's start
// and the rest of what the driver said.
std::string shortenedNames(const std::string& line) {
  constexpr size_t kLongest = 64;
  std::string out;
  size_t run = 0;
  for (const char c : line) {
    const bool part = std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    run = part ? run + 1 : 0;
    if (run == kLongest + 1) {
      out += "…";
    }
    if (run <= kLongest) {
      out += c;
    }
  }
  return out;
}

}  // namespace

// Mesa writes "STRING:LINE(COLUMN): ", NVIDIA "STRING(LINE) : ". Lines from
// kWrapperLine on are what Shadertoy's form adds after the user's file.
std::string describeShaderLog(const std::string& log, const std::string& path) {
  std::istringstream lines(log);
  std::string line;
  std::string out;
  while (std::getline(lines, line)) {
    if (line.empty()) {
      continue;
    }
    size_t at = 0;
    std::string source;
    std::string number;
    std::string column;
    std::string described = path + ": " + line;
    if (digitsAt(line, at, source) && at < line.size() && line[at] == ':' && digitsAt(line, ++at, number) &&
        at < line.size() && line[at] == '(' && digitsAt(line, ++at, column) && line.compare(at, 3, "): ") == 0) {
      described = std::stol(number) >= kWrapperLine
                      ? path + ": in the main() the Shadertoy form adds after your file: " + line.substr(at + 3)
                      : path + ":" + number + ":" + column + ": " + line.substr(at + 3);
    } else if (at = 0; digitsAt(line, at, source) && at < line.size() && line[at] == '(' &&
                       digitsAt(line, ++at, number) && line.compare(at, 4, ") : ") == 0) {
      described = path + ":" + number + ": " + line.substr(at + 4);
    }
    out += shortenedNames(described) + "\n";
  }
  return out;
}

std::vector<uint8_t> readPixels(int width, int height) {
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
  GL_CALL(glPixelStorei(GL_PACK_ALIGNMENT, 1));
  GL_CALL(glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data()));
  return pixels;
}

Picture::Picture() {
  std::vector<float> vertices;
  std::vector<int> indices;
  fillQuad(vertices, indices);
  GL_CALL(glGenVertexArrays(1, &vao_));
  GL_CALL(glGenBuffers(1, &vbo_));
  GL_CALL(glGenBuffers(1, &ebo_));
  GL_CALL(glBindVertexArray(vao_));
  GL_CALL(glBindBuffer(GL_ARRAY_BUFFER, vbo_));
  GL_CALL(glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(vertices.size() * sizeof(float)), vertices.data(),
                       GL_STATIC_DRAW));
  GL_CALL(glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, ebo_));
  GL_CALL(glBufferData(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLsizeiptr>(indices.size() * sizeof(int)),
                       indices.data(), GL_STATIC_DRAW));
  GL_CALL(glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 5 * sizeof(float), nullptr));
  GL_CALL(glEnableVertexAttribArray(0));
  GL_CALL(glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 5 * sizeof(float),
                                reinterpret_cast<void*>(3 * sizeof(float))));
  GL_CALL(glEnableVertexAttribArray(1));
  GL_CALL(glGenBuffers(1, &spectrum_));
  GL_CALL(glBindBuffer(GL_SHADER_STORAGE_BUFFER, spectrum_));
  // Silence until the first spectrum arrives.
  const std::vector<float> quiet(kSpectrumSize, std::log(kMagnitudeFloor));
  GL_CALL(glBufferData(GL_SHADER_STORAGE_BUFFER, kSpectrumSize * sizeof(float), quiet.data(), GL_DYNAMIC_DRAW));
  GL_CALL(glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, spectrum_));

  for (GLint& at : at_) {
    at = -1;
  }
  GL_CALL(glGenTextures(1, &waveform_));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, waveform_));
  GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_R32F, kWaveform, 1, 0, GL_RED, GL_FLOAT, nullptr));
  setTextureFilters(false);
  const std::vector<float> silence(kWaveform, 0.0f);
  GL_CALL(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kWaveform, 1, GL_RED, GL_FLOAT, silence.data()));
  GL_CALL(glGenTextures(4, images_));
  GL_CALL(glGenTextures(1, &cover_));
  for (int slot = 0; slot < 4; ++slot) {
    setImage(slot, Image{});
  }
  setCover(Image{});
  GL_CALL(glGenTextures(1, &previous_));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, previous_));
  setTextureFilters(false);
  GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
}

Picture::~Picture() {
  if (program_ != 0) {
    glDeleteProgram(program_);
    program_ = 0;
  }
  glDeleteTextures(1, &previous_);
  previous_ = 0;
  glDeleteTextures(1, &cover_);
  cover_ = 0;
  glDeleteTextures(4, images_);
  for (GLuint& image : images_) {
    image = 0;
  }
  glDeleteTextures(1, &waveform_);
  waveform_ = 0;
  glDeleteBuffers(1, &spectrum_);
  spectrum_ = 0;
  glDeleteBuffers(1, &ebo_);
  ebo_ = 0;
  glDeleteBuffers(1, &vbo_);
  vbo_ = 0;
  glDeleteVertexArrays(1, &vao_);
  vao_ = 0;
}

GLuint buildProgram(const ShaderFile& vertex, const ShaderFile& fragment, std::string& error) {
  error.clear();
  const GLuint vs = compile(GL_VERTEX_SHADER, vertex, error);
  const GLuint fs = compile(GL_FRAGMENT_SHADER, fragment, error);
  if (vs == 0 || fs == 0) {
    if (vs != 0) {
      glDeleteShader(vs);
    }
    if (fs != 0) {
      glDeleteShader(fs);
    }
    return 0;
  }
  const GLuint program = glCreateProgram();
  GL_CALL(glAttachShader(program, vs));
  GL_CALL(glAttachShader(program, fs));
  GL_CALL(glLinkProgram(program));
  GL_CALL(glDeleteShader(vs));
  GL_CALL(glDeleteShader(fs));
  GLint ok = 0;
  GL_CALL(glGetProgramiv(program, GL_LINK_STATUS, &ok));
  if (!ok) {
    error = vertex.path + " + " + fragment.path + ": do not link\n" +
            describeShaderLog(infoLog(program, true), fragment.path);
    glDeleteProgram(program);
    return 0;
  }
  return program;
}

bool Picture::build(const ShaderFile& vertex, const ShaderFile& fragment, std::string& error, const Notes& notes) {
  const GLuint program = buildProgram(vertex, fragment, error);
  if (program == 0) {
    return false;
  }
  if (program_ != 0) {
    glDeleteProgram(program_);
  }
  program_ = program;
  aspectAt_ = glGetUniformLocation(program_, "aspect");
  itimeAt_ = glGetUniformLocation(program_, "itime");
  for (const std::string& wrong : findInputs()) {
    if (notes) {
      notes(fragment.path + ": " + wrong);
    }
  }
  bindInputs();
  return true;
}

std::vector<std::string> Picture::findInputs() {
  struct Want {
    const char* name;
    GLenum type;
    const char* typeName;
  };
  static const Want wants[kInputCount] = {
      {"resolution", GL_FLOAT_VEC2, "vec2"}, {"frame", GL_INT, "int"},
      {"bands", GL_FLOAT, "float[64]"},      {"bass", GL_FLOAT, "float"},
      {"mid", GL_FLOAT, "float"},            {"treble", GL_FLOAT, "float"},
      {"level", GL_FLOAT, "float"},          {"beat", GL_FLOAT, "float"},
      {"beats", GL_INT, "int"},              {"waveform", GL_SAMPLER_2D, "sampler2D"},
      {"image0", GL_SAMPLER_2D, "sampler2D"}, {"image1", GL_SAMPLER_2D, "sampler2D"},
      {"image2", GL_SAMPLER_2D, "sampler2D"}, {"image3", GL_SAMPLER_2D, "sampler2D"},
      {"image0Size", GL_FLOAT_VEC2, "vec2"}, {"image1Size", GL_FLOAT_VEC2, "vec2"},
      {"image2Size", GL_FLOAT_VEC2, "vec2"}, {"image3Size", GL_FLOAT_VEC2, "vec2"},
      {"cover", GL_SAMPLER_2D, "sampler2D"},  {"coverSize", GL_FLOAT_VEC2, "vec2"},
      {"previous", GL_SAMPLER_2D, "sampler2D"},
      {"bassTime", GL_FLOAT, "float"},        {"midTime", GL_FLOAT, "float"},
      {"trebleTime", GL_FLOAT, "float"},      {"levelTime", GL_FLOAT, "float"}};
  std::vector<std::string> wrong;
  for (GLint& at : at_) {
    at = -1;
  }
  GLint count = 0;
  GL_CALL(glGetProgramiv(program_, GL_ACTIVE_UNIFORMS, &count));
  for (GLint i = 0; i < count; ++i) {
    char name[256] = {};
    GLint size = 0;
    GLenum type = 0;
    glGetActiveUniform(program_, static_cast<GLuint>(i), sizeof name, nullptr, &size, &type, name);
    std::string base(name);
    const bool array = base.size() > 3 && base.compare(base.size() - 3, 3, "[0]") == 0;
    if (array) {
      base.resize(base.size() - 3);
    }
    for (int k = 0; k < kInputCount; ++k) {
      if (base != wants[k].name) {
        continue;
      }
      // An array's active size is its highest index read + 1, so any size fits.
      if (type != wants[k].type || array != (k == kBandsIn) || size > kBands) {
        wrong.push_back(std::string("\"") + wants[k].name + "\" should be declared as " + wants[k].typeName +
                        "; it is not fed");
        break;
      }
      at_[k] = glGetUniformLocation(program_, name);
    }
  }
  return wrong;
}

void Picture::bindInputs() {
  // Samplers read fixed texture units: waveform 1, images 2-5, cover 6, previous 7.
  const int units[][2] = {{kWaveformIn, 1}, {kImage0, 2}, {kImage1, 3}, {kImage2, 4},
                          {kImage3, 5},     {kCover, 6},  {kPrevious, 7}};
  for (const auto& unit : units) {
    if (at_[unit[0]] >= 0) {
      GL_CALL(glProgramUniform1i(program_, at_[unit[0]], unit[1]));
    }
  }
  for (int k = 0; k < 5; ++k) {
    const int sizeAt = at_[k < 4 ? kImage0Size + k : kCoverSize];
    if (sizeAt >= 0) {
      GL_CALL(glProgramUniform2f(program_, sizeAt, imageSizes_[k][0], imageSizes_[k][1]));
    }
  }
}

void Picture::setInputs(const AudioInputs& inputs) {
  setSpectrum(inputs.spectrum);
  if (program_ == 0) {
    return;
  }
  if (at_[kBandsIn] >= 0) {
    GL_CALL(glProgramUniform1fv(program_, at_[kBandsIn], kBands, inputs.bands.data()));
  }
  const std::pair<int, float> floats[] = {{kBass, inputs.bass},
                                          {kMid, inputs.mid},
                                          {kTreble, inputs.treble},
                                          {kLevel, inputs.level},
                                          {kBeat, inputs.beat},
                                          {kBassTime, static_cast<float>(inputs.bassTime)},
                                          {kMidTime, static_cast<float>(inputs.midTime)},
                                          {kTrebleTime, static_cast<float>(inputs.trebleTime)},
                                          {kLevelTime, static_cast<float>(inputs.levelTime)}};
  for (const auto& [input, value] : floats) {
    if (at_[input] >= 0) {
      GL_CALL(glProgramUniform1f(program_, at_[input], value));
    }
  }
  if (at_[kBeats] >= 0) {
    GL_CALL(glProgramUniform1i(program_, at_[kBeats], inputs.beats));
  }
  if (at_[kWaveformIn] >= 0) {
    GL_CALL(glBindTexture(GL_TEXTURE_2D, waveform_));
    GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 4));
    GL_CALL(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kWaveform, 1, GL_RED, GL_FLOAT, inputs.waveform.data()));
  }
}

void Picture::uploadTexture(GLuint texture, const Image& image) {
  static const uint8_t transparent[4] = {0, 0, 0, 0};
  GL_CALL(glBindTexture(GL_TEXTURE_2D, texture));
  GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 1));
  if (image.empty()) {
    GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE, transparent));
  } else {
    const std::vector<uint8_t> flipped = rowsBottomUp(image);
    GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, image.width, image.height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                         flipped.data()));
  }
  GL_CALL(glGenerateMipmap(GL_TEXTURE_2D));
  setTextureFilters(true);
  GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
}

void Picture::setImage(int slot, const Image& image) {
  if (slot < 0 || slot >= 4) {
    return;
  }
  uploadTexture(images_[slot], image);
  imageSizes_[slot][0] = static_cast<float>(image.empty() ? 1 : image.width);
  imageSizes_[slot][1] = static_cast<float>(image.empty() ? 1 : image.height);
  if (program_ != 0 && at_[kImage0Size + slot] >= 0) {
    GL_CALL(glProgramUniform2f(program_, at_[kImage0Size + slot], imageSizes_[slot][0], imageSizes_[slot][1]));
  }
}

void Picture::setCover(const Image& image) {
  uploadTexture(cover_, image);
  imageSizes_[4][0] = static_cast<float>(image.empty() ? 1 : image.width);
  imageSizes_[4][1] = static_cast<float>(image.empty() ? 1 : image.height);
  if (program_ != 0 && at_[kCoverSize] >= 0) {
    GL_CALL(glProgramUniform2f(program_, at_[kCoverSize], imageSizes_[4][0], imageSizes_[4][1]));
  }
}

void Picture::clearPrevious() {
  previousClear_ = true;
}

bool Picture::readsPrevious() const {
  return program_ != 0 && at_[kPrevious] >= 0;
}

void Picture::setSpectrum(const std::vector<float>& spectrum) {
  GL_CALL(glBindBuffer(GL_SHADER_STORAGE_BUFFER, spectrum_));
  const size_t count = std::min<size_t>(spectrum.size(), kSpectrumSize);
  GL_CALL(glBufferSubData(GL_SHADER_STORAGE_BUFFER, 0, static_cast<GLsizeiptr>(count * sizeof(float)),
                          spectrum.data()));
}

void Picture::draw(int width, int height, float itime, int64_t frame) {
  GL_CALL(glViewport(0, 0, width, height));
  GL_CALL(glDisable(GL_SCISSOR_TEST));
  if (program_ == 0) {
    GL_CALL(glClearColor(0.05f, 0.05f, 0.06f, 1.0f));
    GL_CALL(glClear(GL_COLOR_BUFFER_BIT));
    return;
  }
  // The live program's clear colour, for pairs that leave pixels alone.
  GL_CALL(glClearColor(0.2f, 0.3f, 0.3f, 1.0f));
  GL_CALL(glClear(GL_COLOR_BUFFER_BIT));
  GL_CALL(glUseProgram(program_));
  GL_CALL(glUniform1f(aspectAt_, static_cast<float>(height) / static_cast<float>(width)));
  GL_CALL(glUniform1f(itimeAt_, itime));
  if (at_[kResolution] >= 0) {
    GL_CALL(glUniform2f(at_[kResolution], static_cast<float>(width), static_cast<float>(height)));
  }
  if (at_[kFrame] >= 0) {
    GL_CALL(glUniform1i(at_[kFrame], static_cast<GLint>(frame)));
  }
  const bool previous = readsPrevious();
  if (previous) {
    GL_CALL(glActiveTexture(GL_TEXTURE7));
    GL_CALL(glBindTexture(GL_TEXTURE_2D, previous_));
    if (previousClear_ || width != previousWidth_ || height != previousHeight_) {
      // Black at the first frame, after a seek and after a resize.
      GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr));
      GL_CALL(glClearTexImage(previous_, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr));
      previousWidth_ = width;
      previousHeight_ = height;
      previousClear_ = false;
    }
  }
  const std::pair<int, GLuint> textures[] = {{1, waveform_},   {2, images_[0]}, {3, images_[1]},
                                             {4, images_[2]},  {5, images_[3]}, {6, cover_}};
  for (const auto& [unit, texture] : textures) {
    GL_CALL(glActiveTexture(static_cast<GLenum>(GL_TEXTURE0 + unit)));
    GL_CALL(glBindTexture(GL_TEXTURE_2D, texture));
  }
  GL_CALL(glActiveTexture(GL_TEXTURE0));
  GL_CALL(glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, spectrum_));
  GL_CALL(glBindVertexArray(vao_));
  GL_CALL(glDrawElements(GL_TRIANGLES, 6, GL_UNSIGNED_INT, nullptr));
  if (previous) {
    // What was just drawn becomes the next frame's "previous".
    GL_CALL(glActiveTexture(GL_TEXTURE7));
    GL_CALL(glCopyTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 0, 0, width, height));
    GL_CALL(glActiveTexture(GL_TEXTURE0));
  }
}

void Picture::drawStaleFrame(int width, int height) {
  const int t = std::max(2, std::min(width, height) / 150);
  GL_CALL(glEnable(GL_SCISSOR_TEST));
  GL_CALL(glClearColor(0.9f, 0.1f, 0.1f, 1.0f));
  const int strips[4][4] = {{0, 0, width, t}, {0, height - t, width, t}, {0, 0, t, height}, {width - t, 0, t, height}};
  for (const auto& s : strips) {
    GL_CALL(glScissor(s[0], s[1], s[2], s[3]));
    GL_CALL(glClear(GL_COLOR_BUFFER_BIT));
  }
  GL_CALL(glDisable(GL_SCISSOR_TEST));
}
