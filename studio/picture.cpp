// picture.cpp — see picture.h.
#include "picture.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
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

bool readShaderPair(const std::string& dir, ShaderFile& vertex, ShaderFile& fragment, std::string& error) {
  vertex.path = dir + "/Quad.vert.glsl";
  fragment.path = dir + "/Quad.frag.glsl";
  return readText(vertex.path, vertex.text, error) && readText(fragment.path, fragment.text, error);
}

std::string describeShaderLog(const std::string& log, const std::string& path) {
  static const std::regex mesa(R"(^\d+:(\d+)\((\d+)\): )");
  static const std::regex nvidia(R"(^\d+\((\d+)\) : )");
  std::istringstream lines(log);
  std::string line;
  std::string out;
  while (std::getline(lines, line)) {
    if (line.empty()) {
      continue;
    }
    std::smatch m;
    if (std::regex_search(line, m, mesa)) {
      line = path + ":" + m[1].str() + ":" + m[2].str() + ": " + m.suffix().str();
    } else if (std::regex_search(line, m, nvidia)) {
      line = path + ":" + m[1].str() + ": " + m.suffix().str();
    } else {
      line = path + ": " + line;
    }
    out += line + "\n";
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
}

Picture::~Picture() {
  if (program_ != 0) {
    glDeleteProgram(program_);
    program_ = 0;
  }
  glDeleteBuffers(1, &spectrum_);
  spectrum_ = 0;
  glDeleteBuffers(1, &ebo_);
  ebo_ = 0;
  glDeleteBuffers(1, &vbo_);
  vbo_ = 0;
  glDeleteVertexArrays(1, &vao_);
  vao_ = 0;
}

bool Picture::build(const ShaderFile& vertex, const ShaderFile& fragment, std::string& error) {
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
    return false;
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
    return false;
  }
  if (program_ != 0) {
    glDeleteProgram(program_);
  }
  program_ = program;
  aspectAt_ = glGetUniformLocation(program_, "aspect");
  itimeAt_ = glGetUniformLocation(program_, "itime");
  return true;
}

void Picture::setSpectrum(const std::vector<float>& spectrum) {
  GL_CALL(glBindBuffer(GL_SHADER_STORAGE_BUFFER, spectrum_));
  const size_t count = std::min<size_t>(spectrum.size(), kSpectrumSize);
  GL_CALL(glBufferSubData(GL_SHADER_STORAGE_BUFFER, 0, static_cast<GLsizeiptr>(count * sizeof(float)),
                          spectrum.data()));
}

void Picture::draw(int width, int height, float itime) {
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
  GL_CALL(glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, spectrum_));
  GL_CALL(glBindVertexArray(vao_));
  GL_CALL(glDrawElements(GL_TRIANGLES, 6, GL_UNSIGNED_INT, nullptr));
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
