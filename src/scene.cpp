// scene.cpp — see scene.h.
#include "scene.h"

void fillQuad(std::vector<float>& vertices, std::vector<int>& indices) {
  vertices = {
      1.0f,  1.0f,  0.0f, 1.0f, 1.0f,  // top right
      1.0f,  -1.0f, 0.0f, 1.0f, 0.0f,  // bottom right
      -1.0f, -1.0f, 0.0f, 0.0f, 0.0f,  // bottom left
      -1.0f, 1.0f,  0.0f, 0.0f, 1.0f,  // top left
  };
  indices = {0, 1, 3, 1, 2, 3};
}

void setUpScene(RenderEngine& engine, std::vector<float>& vertices, std::vector<int>& indices,
                std::string& vertexSource, std::string& fragmentSource, GLuint& program,
                std::shared_ptr<Model>& model) {
  fillQuad(vertices, indices);
  engine.readFile("Shaders/Quad.vert.glsl", vertexSource);
  engine.readFile("Shaders/Quad.frag.glsl", fragmentSource);
  program = 0;
  engine.compileProgram(program, fragmentSource.c_str(), vertexSource.c_str());
  model = std::make_shared<Model>(program, vertices, indices);
  engine.addModel(model);
}
