// material.cpp — named shader storage buffers.
//
// GL error reports name this file and the line of each checked call; keep them.
// Threading: only on the thread whose GL context is current.
#include "material.h"

#include <utility>

Material::~Material() {
  // Unchecked: errors here stay pending for whichever check runs next.
  for (auto& entry : buffers) {
    glDeleteBuffers(1, &entry.second);
  }
}

// The first upload of a name fixes its buffer's size. Every later upload must
// carry the same number of floats: a larger one is rejected by GL (reported
// here, old contents kept), a smaller one overwrites only its own length.
//
// Every upload ends with the buffer at binding point 0, whatever its name.
void Material::setBuffer(std::string name, std::vector<float> data) {
  auto found = buffers.find(name);
  if (found == buffers.end()) {
    buffers[name] = 0;
    // Written against the loader's pointer name, which the report shows.
    // clang-format off
    GL_CALL(glad_glGenBuffers(1,&buffers[name]));
    GL_CALL(glBindBuffer(GL_SHADER_STORAGE_BUFFER, buffers[name]));
    GL_CALL(glBufferData(GL_SHADER_STORAGE_BUFFER, data.size() * sizeof(float), data.data(), GL_DYNAMIC_DRAW));
  } else {
    GL_CALL(glBindBuffer(GL_SHADER_STORAGE_BUFFER, buffers[name]));
    GL_CALL(glBufferSubData(GL_SHADER_STORAGE_BUFFER, 0, sizeof(float)*data.size(), data.data()));
    // clang-format on
  }
  GL_CALL(glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, buffers[name]));
}
