// Model.cpp — mesh upload, binding and uniforms of one model.
//
// GL error reports name this file and the line of each checked call; keep them.
#include "Model.h"

#include <cstdlib>
#include <iostream>

#include <GLFW/glfw3.h>

Model::Model(GLuint program, const std::vector<float>& vertices, const std::vector<int>& indices) {
  std::cout << indices.size() << std::endl;
  std::cout << vertices.size() << std::endl;
  indexCount = static_cast<int>(indices.size());
  if (glfwGetCurrentContext() == nullptr) {
    std::cerr << "No current OpenGL context" << std::endl;
    std::exit(-1);
  }
  VAO = VBO = EBO = 0;
  // Earlier errors belong to someone else; the reports below concern this constructor.
  clearGLErrors();
  GL_CALL(glGenBuffers(1, &VBO));

  GL_CALL(glGenVertexArrays(1, &VAO));
  GL_CALL(glBindVertexArray(VAO));

  GL_CALL(glGenBuffers(1, &EBO));
  GL_CALL(glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, EBO));
  GL_CALL(glBufferData(GL_ELEMENT_ARRAY_BUFFER, indices.size() * sizeof(int), indices.data(), GL_STATIC_DRAW));

  // The element buffer binding is recorded in the vertex array; the vertex buffer's is not.
  GL_CALL(glBindBuffer(GL_ARRAY_BUFFER, VBO));
  GL_CALL(glBufferData(GL_ARRAY_BUFFER, vertices.size() * sizeof(float), vertices.data(), GL_STATIC_DRAW));

  // Location 0: position x, y, z.
  GL_CALL(glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 5 * sizeof(float), (void*)0));
  GL_CALL(glEnableVertexAttribArray(0));

  // Location 1: texture coordinate u, v.
  GL_CALL(glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 5 * sizeof(float), (void*)(3 * sizeof(float))));
  GL_CALL(glEnableVertexAttribArray(1));

  glUseProgram(program);
  material.shaderProgram = program;
  GL_CALL(glBindVertexArray(0));
}

Model::~Model() {
  std::cout << "model deleted\n";
  GL_CALL(glDeleteVertexArrays(1, &VAO));
  GL_CALL(glDeleteBuffers(1, &VBO));
  GL_CALL(glDeleteBuffers(1, &EBO));
}

// Called once per model and frame by the engine, before its uniforms and
// storage buffers are applied and the indices drawn.
void Model::bind() {
  // The vertex buffer first, as the vertex array does not record it.
  GL_CALL(glBindBuffer(GL_ARRAY_BUFFER, VBO));
  GL_CALL(glUseProgram(material.shaderProgram));
  GL_CALL(glBindVertexArray(VAO));
  // Already part of the vertex array's state; bound again for whoever reads the target.
  GL_CALL(glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, EBO));
}

// The location is not cached: a name the program lacks gives -1, ignored by GL.
void Model::setUniform(std::string name, float value) {
  GLint loc = glGetUniformLocation(material.shaderProgram, name.c_str());
  // clang-format off
  GL_CALL(glUniform1f(loc,value));
  // clang-format on
}
