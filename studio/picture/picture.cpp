// picture.cpp — see picture.h.
#include "picture/picture.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <cctype>
#include <ctime>
#include <sstream>

#include "base/text.h"
#include "scene.h"
#include "spectrum.h"

namespace {

// What a missing image or cover reads as: one see-through texel.
const uint8_t kClearTexel[4] = {0, 0, 0, 0};


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

// The compiled shader, or its log by file.
Result<GLuint> compile(GLenum type, const ShaderFile& file, const std::string& commonPath) {
  const GLuint shader = glCreateShader(type);
  const char* text = file.text.c_str();
  GL_CALL(glShaderSource(shader, 1, &text, nullptr));
  GL_CALL(glCompileShader(shader));
  GLint ok = 0;
  GL_CALL(glGetShaderiv(shader, GL_COMPILE_STATUS, &ok));
  if (!ok) {
    const std::string log = describeShaderLog(infoLog(shader, false), file.path, commonPath);
    GL_CALL(glDeleteShader(shader));
    return Status::failure(file.path + ": does not compile\n" + log);
  }
  return shader;
}

}  // namespace

Result<ShaderFile> readShaderFile(const std::string& path) {
  Result<std::string> text = readSmallFile(path, kMaxShaderBytes, "1 MB, too large for a shader");
  if (!text) {
    return text.status();
  }
  return ShaderFile{path, std::move(text.value())};
}

Result<ShaderPair> readShaderPair(const std::string& dir) {
  Result<ShaderFile> vertex = readShaderFile(dir + "/Quad.vert.glsl");
  if (!vertex) {
    return vertex.status();
  }
  Result<ShaderFile> fragment = readShaderFile(dir + "/Quad.frag.glsl");
  if (!fragment) {
    return fragment.status();
  }
  return ShaderPair{std::move(vertex.value()), std::move(fragment.value())};
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
std::string describeShaderLog(const std::string& log, const std::string& path, const std::string& commonPath) {
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
      const std::string& file = source == "1" && !commonPath.empty() ? commonPath : path;
      described = std::stol(number) >= kWrapperLine
                      ? path + ": in the main() the Shadertoy form adds after your file: " + line.substr(at + 3)
                      : file + ":" + number + ":" + column + ": " + line.substr(at + 3);
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

Result<GLuint> buildProgram(const ShaderFile& vertex, const ShaderFile& fragment, const std::string& commonPath) {
  const Result<GLuint> vertexShader = compile(GL_VERTEX_SHADER, vertex, "");
  const Result<GLuint> fragmentShader = compile(GL_FRAGMENT_SHADER, fragment, commonPath);
  if (!vertexShader || !fragmentShader) {
    if (vertexShader) {
      glDeleteShader(vertexShader.value());
    }
    if (fragmentShader) {
      glDeleteShader(fragmentShader.value());
    }
    return Status::failure(vertexShader.why() + fragmentShader.why());
  }
  const GLuint vs = vertexShader.value();
  const GLuint fs = fragmentShader.value();
  const GLuint program = glCreateProgram();
  GL_CALL(glAttachShader(program, vs));
  GL_CALL(glAttachShader(program, fs));
  GL_CALL(glLinkProgram(program));
  GL_CALL(glDeleteShader(vs));
  GL_CALL(glDeleteShader(fs));
  GLint ok = 0;
  GL_CALL(glGetProgramiv(program, GL_LINK_STATUS, &ok));
  if (!ok) {
    const std::string log = describeShaderLog(infoLog(program, true), fragment.path);
    glDeleteProgram(program);
    return Status::failure(vertex.path + " + " + fragment.path + ": do not link\n" + log);
  }
  return program;
}

void dateNow(float date[4]) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  date[0] = static_cast<float>(local.tm_year + 1900);
  date[1] = static_cast<float>(local.tm_mon);
  date[2] = static_cast<float>(local.tm_mday);
  date[3] = static_cast<float>(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
}

Picture::Picture() {
  std::vector<float> vertices;
  std::vector<int> indices;
  fillQuad(vertices, indices);
  GL_CALL(glGenVertexArrays(1, &vao_));
  GL_CALL(glGenVertexArrays(1, &emptyVao_));
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
  inputs_.spectrum = quiet;

  GL_CALL(glGenTextures(1, &waveform_));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, waveform_));
  GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_R32F, kWaveform, 1, 0, GL_RED, GL_FLOAT, nullptr));
  setTextureFilters(false);
  const std::vector<float> silence(kWaveform, 0.0f);
  GL_CALL(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kWaveform, 1, GL_RED, GL_FLOAT, silence.data()));
  GL_CALL(glGenTextures(1, &waveHistory_));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, waveHistory_));
  GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_R32F, kWaveform, kWaveHistory, 0, GL_RED, GL_FLOAT,
                       inputs_.waveHistory.data()));
  setTextureFilters(false);
  // Read between rows and bands: a scrolling picture drawn from it is smooth
  // at any size.
  GL_CALL(glGenTextures(1, &bandHistory_));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, bandHistory_));
  GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_R32F, kBands, kBandHistory, 0, GL_RED, GL_FLOAT,
                       inputs_.bandHistory.data()));
  setTextureFilters(false);
  GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR));
  GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR));
  GL_CALL(glGenTextures(4, images_));
  GL_CALL(glGenTextures(1, &cover_));
  static const Image none;
  for (int slot = 0; slot < 4; ++slot) {
    uploadImage(images_[slot], none, false, false, kClearTexel);
    imageUploaded_[slot] = true;
  }
  setCover(none);
  GL_CALL(glGenTextures(1, &previous_));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, previous_));
  setTextureFilters(false);
  GL_CALL(glGenTextures(8, &targets_[0][0]));
  GL_CALL(glGenFramebuffers(8, &framebuffers_[0][0]));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
}

Picture::~Picture() {
  for (Pass& pass : passes_) {
    release(pass);
  }
  passes_.clear();
  glDeleteFramebuffers(8, &framebuffers_[0][0]);
  for (auto& pair : framebuffers_) {
    pair[0] = pair[1] = 0;
  }
  glDeleteTextures(8, &targets_[0][0]);
  for (auto& pair : targets_) {
    pair[0] = pair[1] = 0;
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
  glDeleteTextures(1, &waveHistory_);
  waveHistory_ = 0;
  glDeleteTextures(1, &bandHistory_);
  bandHistory_ = 0;
  glDeleteBuffers(1, &spectrum_);
  spectrum_ = 0;
  glDeleteBuffers(1, &ebo_);
  ebo_ = 0;
  glDeleteBuffers(1, &vbo_);
  vbo_ = 0;
  glDeleteVertexArrays(1, &vao_);
  vao_ = 0;
  glDeleteVertexArrays(1, &emptyVao_);
  emptyVao_ = 0;
}

void Picture::release(Pass& pass) {
  glDeleteSamplers(4, pass.samplers);
  for (GLuint& sampler : pass.samplers) {
    sampler = 0;
  }
  if (pass.program != 0) {
    glDeleteProgram(pass.program);
    pass.program = 0;
  }
}

namespace {

// A single file cannot say a channel is a cubemap, but its code can read one
// with a direction (texture(iChannel1, dir)), which does not compile against
// a 2D channel. Each channel the form declared itself is tried as a cube:
// the first that builds gets the generated sky. 0 when none does.
GLuint buildWithCubeChannel(const PassSource& given, std::array<Channel, 4>& channels, const Notes& notes) {
  for (size_t c = 0; c < 4; ++c) {
    const std::string declared = "uniform sampler2D iChannel" + std::to_string(c) + ";\n";
    const size_t at = given.fragment.text.find(declared);
    if (at == std::string::npos || channels[c].kind == ChannelKind::Cube) {
      continue;
    }
    ShaderFile fragment = given.fragment;
    fragment.text.replace(at, declared.size(), "uniform samplerCube iChannel" + std::to_string(c) + ";\n");
    const Result<GLuint> program = buildProgram(given.vertex, fragment, given.commonPath);
    if (program) {
      channels[c] = siteDefaults(ChannelKind::Cube);
      if (notes) {
        notes(given.fragment.path + ": iChannel" + std::to_string(c) +
              " is read with a direction, as a cubemap: drawing a generated sky there");
      }
      return program.value();
    }
  }
  return 0;
}

}  // namespace

Status Picture::build(const PictureSource& source, const Notes& notes) {
  std::vector<Pass> built;
  auto fail = [&](const std::string& why) {
    for (Pass& pass : built) {
      release(pass);
    }
    return Status::failure(why);
  };
  const Status loaded = channels_.load(source);
  if (!loaded) {
    return fail(loaded.why());
  }
  for (const PassSource& given : source.passes) {
    Pass pass;
    const Result<GLuint> program = buildProgram(given.vertex, given.fragment, given.commonPath);
    pass.program = program ? program.value() : 0;
    pass.channels = given.channels;
    pass.draw = given.draw;
    for (size_t other = 0; pass.program == 0 && other < given.otherForms.size(); ++other) {
      const Result<GLuint> again = buildProgram(given.vertex, given.otherForms[other], given.commonPath);
      pass.program = again ? again.value() : 0;
    }
    if (pass.program == 0 && given.shadertoy) {
      pass.program = buildWithCubeChannel(given, pass.channels, notes);
    }
    if (pass.program == 0) {
      return fail(program.why());
    }
    pass.buffer = given.buffer;
    for (int c = 0; c < 4; ++c) {
      pass.samplers[c] = makeSampler(pass.channels[static_cast<size_t>(c)]);
    }
    for (const std::string& wrong : findInputs(pass)) {
      if (notes) {
        notes(given.fragment.path + ": " + wrong);
      }
    }
    built.push_back(pass);
    bindUnits(built.back());
  }
  for (const std::string& line : source.notes) {
    if (notes) {
      notes(line);
    }
  }
  // Buffers are made anew, at zero, when the passes that draw them change.
  auto drawnBuffers = [](const std::vector<Pass>& passes) {
    std::vector<int> drawn;
    for (const Pass& pass : passes) {
      drawn.push_back(pass.buffer);
    }
    return drawn;
  };
  if (drawnBuffers(built) != drawnBuffers(passes_)) {
    bufferWidth_ = 0;
  }
  for (Pass& pass : passes_) {
    release(pass);
  }
  passes_ = std::move(built);
  applySettings(notes);
  // What the old passes read and these do not is let go.
  channels_.keepOnly(source);
  return uploadReadImages();
}

void Picture::setSettings(std::vector<Setting> settings, const Notes& notes) {
  settings_ = std::move(settings);
  applySettings(notes);
}

namespace {

struct ActiveUniform {
  std::string name;  // as the driver gives it: an array's with "[0]"
  GLint size = 0;
  GLenum type = 0;
};

// What a linked program declares and uses.
std::vector<ActiveUniform> activeUniforms(GLuint program) {
  GLint count = 0;
  GL_CALL(glGetProgramiv(program, GL_ACTIVE_UNIFORMS, &count));
  std::vector<ActiveUniform> out;
  for (GLint i = 0; i < count; ++i) {
    char name[256] = {};
    ActiveUniform u;
    glGetActiveUniform(program, static_cast<GLuint>(i), sizeof name, nullptr, &u.size, &u.type, name);
    u.name = name;
    out.push_back(u);
  }
  return out;
}

}  // namespace

void Picture::applySettings(const Notes& notes) {
  for (const Pass& pass : passes_) {
    for (const ActiveUniform& uniform : activeUniforms(pass.program)) {
      for (const Setting& s : settings_) {
        if (s.name != uniform.name) {
          continue;
        }
        const GLint at = glGetUniformLocation(pass.program, uniform.name.c_str());
        if (uniform.type == (s.colour ? GL_FLOAT_VEC3 : GL_FLOAT)) {
          if (s.colour) {
            GL_CALL(glProgramUniform3fv(pass.program, at, 1, s.value.data()));
          } else {
            GL_CALL(glProgramUniform1f(pass.program, at, s.value[0]));
          }
        } else if (notes) {
          notes("the setting \"" + s.name + "\" should be declared as " + (s.colour ? "vec3" : "float") +
                "; it is not set");
        }
      }
    }
  }
}

std::vector<std::string> Picture::findInputs(Pass& pass) {
  struct Want {
    const char* name;
    GLenum type;
    const char* typeName;
  };
  // The studio's own are checked for their type; Shadertoy's are the wrapper's own declarations.
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
      {"trebleTime", GL_FLOAT, "float"},      {"levelTime", GL_FLOAT, "float"},
      {"delta", GL_FLOAT, "float"},           {"peaks", GL_FLOAT, "float[64]"},
      {"transparent", GL_BOOL, "bool"},       {"loudness", GL_FLOAT, "float"},
      {"waveHistory", GL_SAMPLER_2D, "sampler2D"}, {"bandHistory", GL_SAMPLER_2D, "sampler2D"},
      {"bandHistorySeconds", GL_FLOAT, "float"}, {"titleBox", GL_FLOAT_VEC4, "vec4"},
      {"titleShown", GL_FLOAT, "float"}, {"titleClear", GL_FLOAT_VEC2, "vec2"},
      {"progress", GL_FLOAT, "float"},
      {"bpm", GL_FLOAT, "float"}, {"beatPhase", GL_FLOAT, "float"}, {"beatIndex", GL_INT, "int"},
      {"barPhase", GL_FLOAT, "float"}, {"barIndex", GL_INT, "int"},
      {"aspect", 0, ""}, {"itime", 0, ""}, {"iResolution", 0, ""}, {"iTime", 0, ""}, {"iTimeDelta", 0, ""},
      {"iFrame", 0, ""}, {"iFrameRate", 0, ""}, {"iDate", 0, ""}, {"iSampleRate", 0, ""}, {"iMouse", 0, ""},
      {"iChannelTime", 0, ""}, {"iChannelResolution", 0, ""}, {"iChannel0", 0, ""}, {"iChannel1", 0, ""},
      {"iChannel2", 0, ""}, {"iChannel3", 0, ""}, {"iBassTime", 0, ""}, {"iMidTime", 0, ""},
      {"iTrebleTime", 0, ""}, {"iLevelTime", 0, ""},
      {"iBpm", 0, ""}, {"iBeatPhase", 0, ""}, {"iBarPhase", 0, ""}};
  std::vector<std::string> wrong;
  for (GLint& at : pass.at) {
    at = -1;
  }
  for (const ActiveUniform& uniform : activeUniforms(pass.program)) {
    const std::string& name = uniform.name;
    const GLint size = uniform.size;
    const GLenum type = uniform.type;
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
      if (wants[k].type != 0 && (type != wants[k].type || array != (k == kBandsIn || k == kPeaks) || size > kBands)) {
        wrong.push_back(std::string("\"") + wants[k].name + "\" should be declared as " + wants[k].typeName +
                        "; it is not fed");
        break;
      }
      pass.at[k] = glGetUniformLocation(pass.program, name.c_str());
    }
  }
  return wrong;
}

void Picture::bindUnits(const Pass& pass) {
  // Samplers read fixed texture units: waveform 1, images 2-5, cover 6,
  // previous 7, Shadertoy's channels 8-11, the waveform's history 12, the
  // bands' history 13.
  const int units[][2] = {{kWaveformIn, 1}, {kImage0, 2},    {kImage1, 3},    {kImage2, 4},
                          {kImage3, 5},     {kCover, 6},     {kPrevious, 7},  {kIChannel0, 8},
                          {kIChannel1, 9},  {kIChannel2, 10}, {kIChannel3, 11}, {kWaveHistoryIn, 12},
                          {kBandHistoryIn, 13}};
  for (const auto& unit : units) {
    if (pass.at[unit[0]] >= 0) {
      GL_CALL(glProgramUniform1i(pass.program, pass.at[unit[0]], unit[1]));
    }
  }
}

void Picture::setInputs(const AudioInputs& inputs) {
  setSpectrum(inputs.spectrum);
  inputs_ = inputs;
  bool waveform = false;
  bool history = false;
  bool music = false;
  for (const Pass& pass : passes_) {
    waveform = waveform || pass.at[kWaveformIn] >= 0;
    history = history || pass.at[kWaveHistoryIn] >= 0;
    music = music || std::any_of(pass.channels.begin(), pass.channels.end(),
                                 [](const Channel& c) { return c.kind == ChannelKind::Music; });
  }
  if (waveform) {
    GL_CALL(glBindTexture(GL_TEXTURE_2D, waveform_));
    GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 4));
    GL_CALL(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kWaveform, 1, GL_RED, GL_FLOAT, inputs.waveform.data()));
  }
  if (history) {
    GL_CALL(glBindTexture(GL_TEXTURE_2D, waveHistory_));
    GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 4));
    GL_CALL(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kWaveform, kWaveHistory, GL_RED, GL_FLOAT,
                            inputs.waveHistory.data()));
  }
  if (readsBandHistory()) {
    GL_CALL(glBindTexture(GL_TEXTURE_2D, bandHistory_));
    GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 4));
    GL_CALL(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kBands, kBandHistory, GL_RED, GL_FLOAT,
                            inputs.bandHistory.data()));
  }
  if (music) {
    channels_.setMusic(inputs.browser.data(), wantsMipmaps(ChannelKind::Music, 0));
  }
}

bool Picture::wantsMipmaps(ChannelKind kind, int index) const {
  for (const Pass& pass : passes_) {
    for (const Channel& c : pass.channels) {
      if (c.kind == kind && (kind != ChannelKind::Buffer || c.index == index) && c.filter == ChannelFilter::Mipmap) {
        return true;
      }
    }
  }
  return false;
}


Status Picture::setImage(int slot, ImageSource image) {
  if (slot < 0 || slot >= 4) {
    return Status();
  }
  const bool empty = image == nullptr || image->width() <= 0 || image->height() <= 0;
  imageSizes_[slot][0] = static_cast<float>(empty ? 1 : image->width());
  imageSizes_[slot][1] = static_cast<float>(empty ? 1 : image->height());
  given_[slot] = std::move(image);
  imageUploaded_[slot] = false;
  channels_.forgetGiven(slot);
  return uploadReadImages();
}

// The images the passes read and that are not uploaded yet: as image0-3
// (rows bottom-up, with mipmaps) and as Shadertoy channels (the flip the
// channel asks for). An image nobody reads costs no texture.
Status Picture::uploadReadImages() {
  static const SharedImage none = std::make_shared<const Image>();
  for (int slot = 0; slot < 4; ++slot) {
    const bool read = std::any_of(passes_.begin(), passes_.end(), [slot](const Pass& p) { return p.at[kImage0 + slot] >= 0; });
    const bool readAsChannel = std::any_of(passes_.begin(), passes_.end(), [slot](const Pass& p) {
      return std::any_of(p.channels.begin(), p.channels.end(),
                         [slot](const Channel& c) { return c.kind == ChannelKind::Given && c.index == slot; });
    });
    if (!read && !readAsChannel) {
      continue;  // never decoded
    }
    Result<SharedImage> pixels = given_[slot] ? given_[slot]->pixels() : Result<SharedImage>(none);
    if (!pixels) {
      return pixels.status();
    }
    const Image& image = *pixels.value();
    imageSizes_[slot][0] = static_cast<float>(image.empty() ? 1 : image.width);
    imageSizes_[slot][1] = static_cast<float>(image.empty() ? 1 : image.height);
    if (read && !imageUploaded_[slot]) {
      if (const Status taken = uploadImage(images_[slot], image, true, true, kClearTexel); !taken) {
        return taken;
      }
      imageUploaded_[slot] = true;
    }
    for (const Pass& pass : passes_) {
      for (const Channel& channel : pass.channels) {
        if (channel.kind != ChannelKind::Given || channel.index != slot) {
          continue;
        }
        if (const Status given = channels_.setGiven(slot, channel.vflip, image); !given) {
          return given;
        }
      }
    }
  }
  return Status();
}

Status Picture::setCover(const Image& image) {
  if (const Status taken = uploadImage(cover_, image, true, true, kClearTexel); !taken) {
    return taken;
  }
  imageSizes_[4][0] = static_cast<float>(image.empty() ? 1 : image.width);
  imageSizes_[4][1] = static_cast<float>(image.empty() ? 1 : image.height);
  return Status();
}

void Picture::clearPrevious() {
  previousClear_ = true;
  bufferWidth_ = 0;  // reallocated, at zero, at the next draw
}

bool Picture::readsTempo() const {
  const int tempo[] = {kBpm, kBeatPhase, kBeatIndex, kBarPhase, kBarIndex, kIBpm, kIBeatPhase, kIBarPhase};
  return std::any_of(passes_.begin(), passes_.end(), [&](const Pass& p) {
    return std::any_of(std::begin(tempo), std::end(tempo), [&](int input) { return p.at[input] >= 0; });
  });
}

bool Picture::readsWholeSong() const {
  const int summed[] = {kBassTime, kMidTime, kTrebleTime, kLevelTime, kBeats,
                        kIBassTime, kIMidTime, kITrebleTime, kILevelTime};
  return std::any_of(passes_.begin(), passes_.end(), [&](const Pass& p) {
    return std::any_of(std::begin(summed), std::end(summed), [&](int input) { return p.at[input] >= 0; });
  });
}

bool Picture::readsBandHistory() const {
  return std::any_of(passes_.begin(), passes_.end(), [](const Pass& p) { return p.at[kBandHistoryIn] >= 0; });
}

bool Picture::readsPrevious() const {
  // A pass reading a buffer drawn at or after it in the frame reads the
  // frame before: that is history. A buffer drawn earlier is this frame's.
  for (size_t i = 0; i < passes_.size(); ++i) {
    if (passes_[i].at[kPrevious] >= 0) {
      return true;
    }
    for (const Channel& channel : passes_[i].channels) {
      if (channel.kind != ChannelKind::Buffer) {
        continue;
      }
      for (size_t j = i; j < passes_.size(); ++j) {
        if (passes_[j].buffer == channel.index) {
          return true;
        }
      }
    }
  }
  return false;
}

bool Picture::readsCover() const {
  return std::any_of(passes_.begin(), passes_.end(),
                     [](const Pass& p) { return p.at[kCover] >= 0 || p.at[kCoverSize] >= 0; });
}

void Picture::setSpectrum(const std::vector<float>& spectrum) {
  GL_CALL(glBindBuffer(GL_SHADER_STORAGE_BUFFER, spectrum_));
  const size_t count = std::min<size_t>(spectrum.size(), kSpectrumSize);
  GL_CALL(glBufferSubData(GL_SHADER_STORAGE_BUFFER, 0, static_cast<GLsizeiptr>(count * sizeof(float)),
                          spectrum.data()));
}

void Picture::feedStudioInputs(const Pass& pass, int width, int height, const FrameTimes& times) {
  const GLint* at = pass.at;
  const std::pair<int, float> floats[] = {{kAspect, static_cast<float>(height) / static_cast<float>(width)},
                                          {kItime, static_cast<float>(times.seconds)},
                                          {kBass, inputs_.bass},
                                          {kMid, inputs_.mid},
                                          {kTreble, inputs_.treble},
                                          {kLevel, inputs_.level},
                                          {kLoudness, inputs_.loudness},
                                          {kBeat, inputs_.beat},
                                          {kBassTime, static_cast<float>(inputs_.bassTime)},
                                          {kMidTime, static_cast<float>(inputs_.midTime)},
                                          {kTrebleTime, static_cast<float>(inputs_.trebleTime)},
                                          {kLevelTime, static_cast<float>(inputs_.levelTime)},
                                          {kDelta, static_cast<float>(times.delta)},
                                          {kBandHistorySeconds, inputs_.bandHistorySeconds},
                                          {kTitleShown, titleShown_},
                                          {kProgress, static_cast<float>(times.progress)},
                                          {kBpm, static_cast<float>(times.beat.bpm)},
                                          {kBeatPhase, static_cast<float>(times.beat.beatPhase)},
                                          {kBarPhase, static_cast<float>(times.beat.barPhase)}};
  for (const auto& [input, value] : floats) {
    if (at[input] >= 0) {
      GL_CALL(glUniform1f(at[input], value));
    }
  }
  if (at[kBandsIn] >= 0) {
    GL_CALL(glUniform1fv(at[kBandsIn], kBands, inputs_.bands.data()));
  }
  if (at[kPeaks] >= 0) {
    GL_CALL(glUniform1fv(at[kPeaks], kBands, inputs_.peaks.data()));
  }
  if (at[kTransparent] >= 0) {
    GL_CALL(glUniform1i(at[kTransparent], transparent_ ? 1 : 0));
  }
  if (at[kBeatIndex] >= 0) {
    GL_CALL(glUniform1i(at[kBeatIndex], times.beat.beatIndex));
  }
  if (at[kBarIndex] >= 0) {
    GL_CALL(glUniform1i(at[kBarIndex], times.beat.barIndex));
  }
  if (at[kBeats] >= 0) {
    GL_CALL(glUniform1i(at[kBeats], inputs_.beats));
  }
  if (at[kTitleBox] >= 0) {
    GL_CALL(glUniform4fv(at[kTitleBox], 1, titleBox_));
  }
  if (at[kTitleClear] >= 0) {
    // The rows the title leaves whole: with it below the middle, those above
    // it (and the other way round), a margin of 3% of the height away,
    // moving there as it fades in and back as it fades out.
    const auto h = static_cast<float>(height);
    float bottom = 0;
    float top = h;
    if (titleBox_[3] > titleBox_[1]) {
      const float margin = 0.03f * h;
      if (titleBox_[1] + titleBox_[3] < h) {
        bottom = titleBox_[3] + margin;
      } else {
        top = titleBox_[1] - margin;
      }
    }
    GL_CALL(glUniform2f(at[kTitleClear], bottom * titleShown_, h + (top - h) * titleShown_));
  }
  if (at[kResolution] >= 0) {
    GL_CALL(glUniform2f(at[kResolution], static_cast<float>(width), static_cast<float>(height)));
  }
  if (at[kFrame] >= 0) {
    GL_CALL(glUniform1i(at[kFrame], static_cast<GLint>(times.frame)));
  }
  for (int k = 0; k < 5; ++k) {
    const int sizeAt = at[k < 4 ? kImage0Size + k : kCoverSize];
    if (sizeAt >= 0) {
      GL_CALL(glUniform2f(sizeAt, imageSizes_[k][0], imageSizes_[k][1]));
    }
  }
}

void Picture::feedShadertoy(const Pass& pass, int width, int height, const FrameTimes& times) {
  const GLint* at = pass.at;
  const std::pair<int, double> floats[] = {
      {kITime, times.seconds},          {kITimeDelta, times.delta},        {kIFrameRate, times.rate},
      {kISampleRate, times.sampleRate}, {kIBassTime, inputs_.bassTime},    {kIMidTime, inputs_.midTime},
      {kITrebleTime, inputs_.trebleTime}, {kILevelTime, inputs_.levelTime}, {kIBpm, times.beat.bpm},
      {kIBeatPhase, times.beat.beatPhase}, {kIBarPhase, times.beat.barPhase}};
  for (const auto& [input, value] : floats) {
    if (at[input] >= 0) {
      GL_CALL(glUniform1f(at[input], static_cast<float>(value)));
    }
  }
  if (at[kIResolution] >= 0) {
    GL_CALL(glUniform3f(at[kIResolution], static_cast<float>(width), static_cast<float>(height), 1.0f));
  }
  if (at[kIFrame] >= 0) {
    GL_CALL(glUniform1i(at[kIFrame], static_cast<GLint>(times.frame)));
  }
  if (at[kIDate] >= 0) {
    GL_CALL(glUniform4fv(at[kIDate], 1, times.date));
  }
  if (at[kIMouse] >= 0) {
    GL_CALL(glUniform4fv(at[kIMouse], 1, times.mouse));
  }
  float channelTimes[4] = {};
  float sizes[4][3] = {};
  for (int c = 0; c < 4; ++c) {
    const Channel& channel = pass.channels[static_cast<size_t>(c)];
    const ChannelTexture texture = channels_.of(channel);
    const bool buffer = channel.kind == ChannelKind::Buffer;
    sizes[c][0] = buffer ? static_cast<float>(width) : texture.size[0];
    sizes[c][1] = buffer ? static_cast<float>(height) : texture.size[1];
    sizes[c][2] = buffer ? 1.0f : texture.size[2];
    channelTimes[c] = channel.kind == ChannelKind::Music ? static_cast<float>(times.seconds) : 0.0f;
    GL_CALL(glActiveTexture(static_cast<GLenum>(GL_TEXTURE8 + c)));
    GL_CALL(glBindTexture(texture.target, buffer ? targets_[channel.index][front_[channel.index]] : texture.texture));
    GL_CALL(glBindSampler(static_cast<GLuint>(8 + c), pass.samplers[c]));
  }
  GL_CALL(glActiveTexture(GL_TEXTURE0));
  if (at[kIChannelTime] >= 0) {
    GL_CALL(glUniform1fv(at[kIChannelTime], 4, channelTimes));
  }
  if (at[kIChannelResolution] >= 0) {
    GL_CALL(glUniform3fv(at[kIChannelResolution], 4, &sizes[0][0]));
  }
}

// Buffers at the output size, zero, at the first frame, after a resize and after a seek.
void Picture::prepareBuffers(int width, int height) {
  if (width == bufferWidth_ && height == bufferHeight_) {
    return;
  }
  for (int b = 0; b < 4; ++b) {
    // A buffer no pass draws takes one texel, not a frame's worth of floats.
    const bool drawn = std::any_of(passes_.begin(), passes_.end(), [b](const Pass& p) { return p.buffer == b; });
    for (int t = 0; t < 2; ++t) {
      const GLuint target = targets_[b][t];
      GL_CALL(glBindTexture(GL_TEXTURE_2D, target));
      GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, drawn ? width : 1, drawn ? height : 1, 0, GL_RGBA, GL_FLOAT,
                           nullptr));
      GL_CALL(glClearTexImage(target, 0, GL_RGBA, GL_FLOAT, nullptr));
      GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, framebuffers_[b][t]));
      GL_CALL(glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target, 0));
      if (wantsMipmaps(ChannelKind::Buffer, b)) {
        GL_CALL(glGenerateMipmap(GL_TEXTURE_2D));
      }
    }
    front_[b] = 0;
  }
  GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
  bufferWidth_ = width;
  bufferHeight_ = height;
}

void Picture::drawPass(const Pass& pass, int width, int height, const FrameTimes& times) {
  GL_CALL(glUseProgram(pass.program));
  feedStudioInputs(pass, width, height, times);
  feedShadertoy(pass, width, height, times);
  GL_CALL(glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, spectrum_));
  if (!pass.draw.geometry()) {
    GL_CALL(glBindVertexArray(vao_));
    GL_CALL(glDrawElements(GL_TRIANGLES, 6, GL_UNSIGNED_INT, nullptr));
    return;
  }
  drawGeometry(pass.draw);
}

// Blending by alpha as coverage and sized points are set for the draw and
// put back after it: nothing else here draws with them.
void Picture::drawGeometry(const DrawPlan& draw) {
  static const std::pair<DrawMode, GLenum> modes[] = {{DrawMode::Points, GL_POINTS},
                                                      {DrawMode::Lines, GL_LINES},
                                                      {DrawMode::LineStrip, GL_LINE_STRIP},
                                                      {DrawMode::Triangles, GL_TRIANGLES},
                                                      {DrawMode::TriangleStrip, GL_TRIANGLE_STRIP}};
  GLenum mode = GL_POINTS;
  for (const auto& [given, gl] : modes) {
    mode = given == draw.mode ? gl : mode;
  }
  GL_CALL(glEnable(GL_BLEND));
  GL_CALL(glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE, GL_ONE_MINUS_SRC_ALPHA));
  GL_CALL(glEnable(GL_PROGRAM_POINT_SIZE));
  GL_CALL(glBindVertexArray(emptyVao_));
  GL_CALL(glDrawArrays(mode, 0, draw.count));
  GL_CALL(glDisable(GL_PROGRAM_POINT_SIZE));
  GL_CALL(glDisable(GL_BLEND));
}

// Buffer A-D in order, each drawn into the target not read as that buffer
// and then swapped: a buffer reading itself sees the frame before.
void Picture::drawBuffers(int width, int height, const FrameTimes& times) {
  if (passes_.size() > 1) {
    prepareBuffers(width, height);
  }
  for (const Pass& pass : passes_) {
    if (pass.buffer < 0) {
      continue;
    }
    const int b = pass.buffer;
    GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, framebuffers_[b][1 - front_[b]]));
    GL_CALL(glViewport(0, 0, width, height));
    drawPass(pass, width, height, times);
    front_[b] = 1 - front_[b];
    if (wantsMipmaps(ChannelKind::Buffer, b)) {
      GL_CALL(glBindTexture(GL_TEXTURE_2D, targets_[b][front_[b]]));
      GL_CALL(glGenerateMipmap(GL_TEXTURE_2D));
      GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
    }
  }
}

void Picture::draw(int width, int height, const FrameTimes& times) {
  GL_CALL(glDisable(GL_SCISSOR_TEST));
  if (passes_.empty()) {
    GL_CALL(glViewport(0, 0, width, height));
    GL_CALL(glClearColor(0.05f, 0.05f, 0.06f, 1.0f));
    GL_CALL(glClear(GL_COLOR_BUFFER_BIT));
    return;
  }
  const bool shadertoy = std::any_of(passes_.back().channels.begin(), passes_.back().channels.end(),
                                     [](const Channel& c) { return c.kind != ChannelKind::None; });
  // The keys are uploaded only for a picture that reads them.
  const bool keyboard = std::any_of(passes_.begin(), passes_.end(), [](const Pass& p) {
    return std::any_of(p.channels.begin(), p.channels.end(),
                       [](const Channel& c) { return c.kind == ChannelKind::Keyboard; });
  });
  if (keyboard) {
    channels_.setKeys(times.keys);
  }
  GLint shown = 0;
  GL_CALL(glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &shown));
  drawBuffers(width, height, times);
  const Pass& last = passes_.back();
  // A smaller scale: everything after this is drawn smaller, then brought up.
  const bool scaled = last.draw.scale < 1;
  const int shownWidth = width;
  const int shownHeight = height;
  if (scaled) {
    width = std::max(1, static_cast<int>(std::lround(width * last.draw.scale)));
    height = std::max(1, static_cast<int>(std::lround(height * last.draw.scale)));
    scaled_.bind(width, height);
  } else {
    GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, static_cast<GLuint>(shown)));
    GL_CALL(glViewport(0, 0, width, height));
  }
  // The live program's clear colour, for pairs that leave pixels alone;
  // geometry is drawn over black, or over nothing when laid over something.
  if (last.draw.geometry()) {
    GL_CALL(glClearColor(0.0f, 0.0f, 0.0f, transparent_ ? 0.0f : 1.0f));
  } else {
    GL_CALL(glClearColor(0.2f, 0.3f, 0.3f, 1.0f));
  }
  GL_CALL(glClear(GL_COLOR_BUFFER_BIT));
  const bool previous = last.at[kPrevious] >= 0;
  if (previous) {
    bindPrevious(width, height);
  }
  if (!shadertoy) {
    bindStudioTextures();
  }
  drawPass(last, width, height, times);
  if (previous) {
    // What was just drawn becomes the next frame's "previous" (at the
    // smaller scale, where it is drawn at one).
    GL_CALL(glActiveTexture(GL_TEXTURE7));
    GL_CALL(glCopyTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 0, 0, width, height));
    GL_CALL(glActiveTexture(GL_TEXTURE0));
  }
  if (scaled) {
    scaled_.blitTo(static_cast<GLuint>(shown), shownWidth, shownHeight);
  }
}

// "previous" on unit 7: black at the first frame, after a seek and after a resize.
void Picture::bindPrevious(int width, int height) {
  GL_CALL(glActiveTexture(GL_TEXTURE7));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, previous_));
  if (previousClear_ || width != previousWidth_ || height != previousHeight_) {
    GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr));
    GL_CALL(glClearTexImage(previous_, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr));
    previousWidth_ = width;
    previousHeight_ = height;
    previousClear_ = false;
  }
}

// A pair's textures on the units its inputs were given.
void Picture::bindStudioTextures() {
  const std::pair<int, GLuint> textures[] = {{1, waveform_},  {2, images_[0]}, {3, images_[1]},
                                             {4, images_[2]}, {5, images_[3]}, {6, cover_},
                                             {12, waveHistory_}, {13, bandHistory_}};
  for (const auto& [unit, texture] : textures) {
    GL_CALL(glActiveTexture(static_cast<GLenum>(GL_TEXTURE0 + unit)));
    GL_CALL(glBindTexture(GL_TEXTURE_2D, texture));
  }
  GL_CALL(glActiveTexture(GL_TEXTURE0));
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
