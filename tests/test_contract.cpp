// The GL error reports print the file and line of each checked call, and
// people and scripts match on them: every checked call must stand at its line.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

struct Site {
  const char* file;
  int line;
  const char* text;
};

const Site kSites[] = {
    {"src/renderEngine.cpp", 43, "glShaderSource(vertexShader, 1, &vertexCode, NULL)"},
    {"src/renderEngine.cpp", 44, "glCompileShader(vertexShader)"},
    {"src/renderEngine.cpp", 48, "glGetShaderiv(vertexShader, GL_COMPILE_STATUS, &success)"},
    {"src/renderEngine.cpp", 56, "glShaderSource(fragmentShader, 1, &fragmentCode, NULL)"},
    {"src/renderEngine.cpp", 57, "glCompileShader(fragmentShader)"},
    {"src/renderEngine.cpp", 59, "glGetShaderiv(fragmentShader, GL_COMPILE_STATUS, &success)"},
    {"src/renderEngine.cpp", 65, "glAttachShader(shaderProgram, vertexShader)"},
    {"src/renderEngine.cpp", 66, "glAttachShader(shaderProgram, fragmentShader)"},
    {"src/renderEngine.cpp", 67, "glLinkProgram(shaderProgram)"},
    {"src/renderEngine.cpp", 69, "glGetProgramiv(shaderProgram, GL_LINK_STATUS, &success)"},
    {"src/renderEngine.cpp", 75, "glDeleteShader(vertexShader)"},
    {"src/renderEngine.cpp", 76, "glDeleteShader(fragmentShader)"},
    {"src/renderEngine.cpp", 114, "glViewport(0, 0, 800, 600)"},
    {"src/renderEngine.cpp", 115, "glfwSetFramebufferSizeCallback(window, framebuffer_size_callback)"},
    {"src/renderEngine.cpp", 133, "glClearColor(0.2f, 0.3f, 0.3f, 1.0f)"},
    {"src/renderEngine.cpp", 134, "glClear(GL_COLOR_BUFFER_BIT)"},
    {"src/renderEngine.cpp", 142, "glBindBuffer(GL_SHADER_STORAGE_BUFFER, i.second)"},
    {"src/Model.cpp", 22, "glGenBuffers(1, &VBO)"},
    {"src/Model.cpp", 24, "glGenVertexArrays(1, &VAO)"},
    {"src/Model.cpp", 25, "glBindVertexArray(VAO)"},
    {"src/Model.cpp", 27, "glGenBuffers(1, &EBO)"},
    {"src/Model.cpp", 28, "glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, EBO)"},
    {"src/Model.cpp", 29,
     "glBufferData(GL_ELEMENT_ARRAY_BUFFER, indices.size() * sizeof(int), indices.data(), GL_STATIC_DRAW)"},
    {"src/Model.cpp", 32, "glBindBuffer(GL_ARRAY_BUFFER, VBO)"},
    {"src/Model.cpp", 33,
     "glBufferData(GL_ARRAY_BUFFER, vertices.size() * sizeof(float), vertices.data(), GL_STATIC_DRAW)"},
    {"src/Model.cpp", 36, "glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 5 * sizeof(float), (void*)0)"},
    {"src/Model.cpp", 37, "glEnableVertexAttribArray(0)"},
    {"src/Model.cpp", 40,
     "glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 5 * sizeof(float), (void*)(3 * sizeof(float)))"},
    {"src/Model.cpp", 41, "glEnableVertexAttribArray(1)"},
    {"src/Model.cpp", 45, "glBindVertexArray(0)"},
    {"src/Model.cpp", 50, "glDeleteVertexArrays(1, &VAO)"},
    {"src/Model.cpp", 51, "glDeleteBuffers(1, &VBO)"},
    {"src/Model.cpp", 52, "glDeleteBuffers(1, &EBO)"},
    {"src/Model.cpp", 59, "glBindBuffer(GL_ARRAY_BUFFER, VBO)"},
    {"src/Model.cpp", 60, "glUseProgram(material.shaderProgram)"},
    {"src/Model.cpp", 61, "glBindVertexArray(VAO)"},
    {"src/Model.cpp", 63, "glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, EBO)"},
    {"src/Model.cpp", 70, "glUniform1f(loc,value)"},
    {"src/material.cpp", 27, "glad_glGenBuffers(1,&buffers[name])"},
    {"src/material.cpp", 28, "glBindBuffer(GL_SHADER_STORAGE_BUFFER, buffers[name])"},
    {"src/material.cpp", 29,
     "glBufferData(GL_SHADER_STORAGE_BUFFER, data.size() * sizeof(float), data.data(), GL_DYNAMIC_DRAW)"},
    {"src/material.cpp", 31, "glBindBuffer(GL_SHADER_STORAGE_BUFFER, buffers[name])"},
    {"src/material.cpp", 32, "glBufferSubData(GL_SHADER_STORAGE_BUFFER, 0, sizeof(float)*data.size(), data.data())"},
    {"src/material.cpp", 35, "glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, buffers[name])"},
};

std::vector<std::string> lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> result;
  for (std::string line; std::getline(in, line);) {
    result.push_back(line);
  }
  return result;
}

}  // namespace

TEST(ConsoleContract, EveryCheckedCallStandsAtItsReportedLine) {
  int checked = 0;
  for (const Site& site : kSites) {
    const auto text = lines(vt::sourceDir() + "/" + site.file);
    ASSERT_GE(static_cast<int>(text.size()), site.line) << site.file;
    const std::string expected = std::string("GL_CALL(") + site.text + ");";
    const std::string& actual = text[static_cast<size_t>(site.line - 1)];
    EXPECT_NE(actual.find(expected), std::string::npos)
        << site.file << ":" << site.line << " should hold " << expected << "\n  but holds: " << actual;
    ++checked;
  }
  EXPECT_EQ(checked, 44);
}

TEST(ConsoleContract, NoOtherCheckedCallsInTheThreeFiles) {
  // A checked call added elsewhere in these files would print a line nobody expects.
  for (const char* file : {"src/renderEngine.cpp", "src/Model.cpp", "src/material.cpp"}) {
    const auto text = lines(vt::sourceDir() + "/" + file);
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i].find("GL_CALL(") == std::string::npos) {
        continue;
      }
      bool listed = false;
      for (const Site& site : kSites) {
        listed = listed || (std::string(file) == site.file && static_cast<size_t>(site.line) == i + 1);
      }
      EXPECT_TRUE(listed) << file << ":" << i + 1 << " " << text[i];
    }
  }
}
