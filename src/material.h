// material.h — a GL program name and named shader storage buffers.
//
// Each name owns one GL buffer whose size is fixed by its first upload; later
// uploads rewrite it in place. Every upload binds the buffer to storage binding
// point 0, where the shaders read it. The program is not owned here.
//
// Threading: only on the thread whose GL context is current.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "glCall.h"

class Material {
 public:
  Material() = default;
  ~Material();
  Material(const Material&) = delete;
  Material& operator=(const Material&) = delete;

  void setBuffer(std::string name, std::vector<float> data);

  GLuint shaderProgram = 0;
  std::unordered_map<std::string, GLuint> buffers;
};
