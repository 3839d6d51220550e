// Model.h — an indexed triangle mesh on the GPU with its material.
//
// Each vertex is five floats x, y, z, u, v (attribute locations 0 and 1).
// The constructor uploads the arrays once; the model keeps no copy. Held only
// through std::shared_ptr; the destructor deletes the GL objects, so the last
// reference must go while the context is still current.
//
// Threading: only on the thread whose GL context is current.
#pragma once

#include <string>
#include <vector>

#include "material.h"

class Model {
 public:
  Model(GLuint program, const std::vector<float>& vertices, const std::vector<int>& indices);
  ~Model();
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  void bind();
  // Writes to whichever program is current; call bind first.
  void setUniform(std::string name, float value);

  GLuint VAO = 0;
  GLuint VBO = 0;
  GLuint EBO = 0;
  Material material;
  int indexCount = 0;
};
