// program.cpp — see program.h.
#include "picture/program.h"

#include <algorithm>
#include <ctime>
#include <sstream>
#include <string>

#include "base/text.h"

namespace {

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
