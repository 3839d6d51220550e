// renderEngine.h — the window, its GL 4.5 core context, the table of float
// uniforms, shader program building and the list of models drawn each frame.
//
// Construction brings up GLFW, the window, the context and the GL entry points,
// or prints why not and ends the process with status -1. Destruction releases
// the models first (they delete GL objects), then the window, then GLFW.
//
// Threading: everything, the framebuffer callback included, runs on the thread
// that constructed the engine; its context stays current there.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "glCall.h"
// GLFW must come after the loader so that it does not pull in the system GL header.
#include <GLFW/glfw3.h>

class Model;

class RenderEngine {
 public:
  RenderEngine();
  ~RenderEngine();
  RenderEngine(const RenderEngine&) = delete;
  RenderEngine& operator=(const RenderEngine&) = delete;

  void init();
  float getAspect();
  void setUniform(const std::string& name, float value);
  void render();

  // Reads a text file line by line into out, echoing each line to standard
  // output. Returns out's characters, or null when the file cannot be opened.
  const char* readFile(std::string path, std::string& out);
  // Builds shaderProgram from the two sources; failures are reported, not returned.
  void compileProgram(GLuint& shaderProgram, const char* fragmentCode, const char* vertexCode);
  // Takes the caller's pointer (left empty).
  void addModel(std::shared_ptr<Model>& model);

  int height;
  int width;
  std::unordered_map<std::string, float> uniforms;
  GLFWwindow* window;
  std::vector<std::shared_ptr<Model>> models;
};

void framebuffer_size_callback(GLFWwindow* window, int width, int height);
