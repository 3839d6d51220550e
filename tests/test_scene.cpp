// Models, materials, shader building and drawing on a real GL context, with
// the pictures read back.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Model.h"
#include "engineFixture.h"
#include "renderEngine.h"
#include "scene.h"
#include "support.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class Scene : public EngineTest {
 protected:
  GLuint build(const std::string& fragment, const std::string& vertex = vt::kPlainVertexShader) {
    GLuint program = 0;
    engine->compileProgram(program, fragment.c_str(), vertex.c_str());
    return program;
  }

  std::shared_ptr<Model> quad(GLuint program) {
    std::vector<float> vertices;
    std::vector<int> indices;
    fillQuad(vertices, indices);
    return std::make_shared<Model>(program, vertices, indices);
  }
};

const char* const kUvShader = R"(#version 450 core
in vec2 uv;
out vec4 FragColor;
void main() { FragColor = vec4(uv, 1.0, 1.0); }
)";

const char* const kStorageShader = R"(#version 450 core
in vec2 uv;
out vec4 FragColor;
uniform float itime;
uniform float aspect;
layout(std430, binding = 0) readonly buffer Audio { float spectrum[16384]; };
void main() { FragColor = vec4(spectrum[5], itime, spectrum[16383] * aspect, 1.0); }
)";

}  // namespace

TEST_F(Scene, QuadCoversTheViewportWithVOneAtTheTop) {
  std::shared_ptr<Model> model = quad(build(kUvShader));
  engine->addModel(model);
  engine->render();
  // Blue is 1 wherever the quad drew; the clear colour has 0.3.
  int w = 0, h = 0;
  const auto all = frame(w, h);
  int uncovered = 0;
  for (int i = 0; i < w * h; ++i) {
    uncovered += all[static_cast<size_t>(i) * 4 + 2] != 255;
  }
  EXPECT_EQ(uncovered, 0);
  const auto topLeft = pixel(0, 0);
  const auto bottomRight = pixel(w - 1, h - 1);
  EXPECT_LE(topLeft[0], 2);
  EXPECT_GE(topLeft[1], 253);
  EXPECT_GE(bottomRight[0], 253);
  EXPECT_LE(bottomRight[1], 2);
}

TEST_F(Scene, StorageBufferAndUniformsReachTheFragmentStage) {
  std::shared_ptr<Model> model = quad(build(kStorageShader));
  engine->addModel(model);
  std::vector<float> data(16384, 0.0f);
  data[5] = 0.5f;
  data[16383] = 1.0f;
  engine->models[0]->material.setBuffer("audio", data);
  engine->setUniform("itime", 0.25f);
  engine->setUniform("aspect", engine->getAspect());
  engine->render();
  const auto centre = pixel(400, 300);
  EXPECT_NEAR(centre[0], 128, 1);
  EXPECT_NEAR(centre[1], 64, 1);
  EXPECT_NEAR(centre[2], 191, 1);
}

TEST_F(Scene, ModelUploadsTheQuadAndReportsItsCounts) {
  GLuint program = build(kUvShader);
  CaptureStdout();
  std::shared_ptr<Model> model = quad(program);
  EXPECT_EQ(GetCapturedStdout(), "6\n20\n");
  EXPECT_EQ(model->indexCount, 6);
  EXPECT_EQ(model->material.shaderProgram, program);
  GLint size = 0;
  glBindBuffer(GL_ARRAY_BUFFER, model->VBO);
  glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_SIZE, &size);
  EXPECT_EQ(size, 80);
  glBindVertexArray(model->VAO);
  glGetBufferParameteriv(GL_ELEMENT_ARRAY_BUFFER, GL_BUFFER_SIZE, &size);
  EXPECT_EQ(size, 24);
  glBindVertexArray(0);
  CaptureStdout();
  engine->addModel(model);
  EXPECT_EQ(GetCapturedStdout(), "Model added\n");
  EXPECT_EQ(model, nullptr);
  EXPECT_EQ(engine->models.size(), 1u);
  EXPECT_EQ(engine->models[0].use_count(), 1);
}

TEST_F(Scene, UnknownUniformChangesNothingAndReportsNothing) {
  std::shared_ptr<Model> model = quad(build(kUvShader));
  model->bind();
  CaptureStderr();
  model->setUniform("nothing", 1.0f);
  EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(Scene, ModelDeletesItsObjectsAndSaysSoFirst) {
  std::shared_ptr<Model> model = quad(build(kStorageShader));
  model->material.setBuffer("audio", std::vector<float>(16, 1.0f));
  const GLuint vao = model->VAO, vbo = model->VBO, ebo = model->EBO;
  const GLuint storage = model->material.buffers.at("audio");
  CaptureStdout();
  CaptureStderr();
  model.reset();
  EXPECT_EQ(GetCapturedStdout(), "model deleted\n");
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_FALSE(glIsVertexArray(vao));
  EXPECT_FALSE(glIsBuffer(vbo));
  EXPECT_FALSE(glIsBuffer(ebo));
  EXPECT_FALSE(glIsBuffer(storage));
}

TEST_F(Scene, EngineReleasesModelsBeforeTheWindowCloses) {
  std::shared_ptr<Model> model = quad(build(kUvShader));
  const GLuint vao = model->VAO;
  engine->addModel(model);
  CaptureStdout();
  engine.reset();
  EXPECT_EQ(GetCapturedStdout(), "model deleted\n");
  (void)vao;
}

TEST_F(Scene, MaterialKeepsOneBufferPerNameAndBindsTheLastUpload) {
  Material material;
  material.setBuffer("audio", std::vector<float>(4, 1.0f));
  material.setBuffer("other", std::vector<float>(2, 2.0f));
  ASSERT_EQ(material.buffers.size(), 2u);
  EXPECT_NE(material.buffers.at("audio"), material.buffers.at("other"));
  GLint bound = 0;
  glGetIntegeri_v(GL_SHADER_STORAGE_BUFFER_BINDING, 0, &bound);
  EXPECT_EQ(static_cast<GLuint>(bound), material.buffers.at("other"));

  const GLuint audio = material.buffers.at("audio");
  material.setBuffer("audio", {5.0f, 6.0f, 7.0f, 8.0f});
  EXPECT_EQ(material.buffers.at("audio"), audio);
  glGetIntegeri_v(GL_SHADER_STORAGE_BUFFER_BINDING, 0, &bound);
  EXPECT_EQ(static_cast<GLuint>(bound), audio);

  // A larger upload does not fit the storage the first one fixed.
  CaptureStderr();
  material.setBuffer("audio", std::vector<float>(8, 9.0f));
  const std::string err = GetCapturedStderr();
  EXPECT_NE(err.find("OpenGL error 1281 in glBufferSubData(GL_SHADER_STORAGE_BUFFER, 0, "
                     "sizeof(float)*data.size(), data.data()) at "),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("material.cpp:32\n"), std::string::npos) << err;
  float kept[4] = {};
  glBindBuffer(GL_SHADER_STORAGE_BUFFER, audio);
  glGetBufferSubData(GL_SHADER_STORAGE_BUFFER, 0, sizeof kept, kept);
  EXPECT_FLOAT_EQ(kept[0], 5.0f);
  EXPECT_FLOAT_EQ(kept[3], 8.0f);
  glGetIntegeri_v(GL_SHADER_STORAGE_BUFFER_BINDING, 0, &bound);
  EXPECT_EQ(static_cast<GLuint>(bound), audio);
}

TEST_F(Scene, FirstUploadSizesTheBufferForDynamicUse) {
  Material material;
  material.setBuffer("audio", std::vector<float>(16384, 0.0f));
  glBindBuffer(GL_SHADER_STORAGE_BUFFER, material.buffers.at("audio"));
  GLint size = 0, usage = 0;
  glGetBufferParameteriv(GL_SHADER_STORAGE_BUFFER, GL_BUFFER_SIZE, &size);
  glGetBufferParameteriv(GL_SHADER_STORAGE_BUFFER, GL_BUFFER_USAGE, &usage);
  EXPECT_EQ(size, 65536);
  EXPECT_EQ(usage, GL_DYNAMIC_DRAW);
}

TEST_F(Scene, ReadFileEchoesAndEndsEveryLine) {
  vt::TempDir dir;
  vt::writeText(dir / "two.txt", "first\nsecond");
  std::string out = "stale";
  CaptureStdout();
  const char* result = engine->readFile(dir / "two.txt", out);
  EXPECT_EQ(GetCapturedStdout(), "first\nsecond\n");
  EXPECT_EQ(out, "first\nsecond\n");
  EXPECT_EQ(result, out.c_str());

  std::string untouched = "kept";
  CaptureStderr();
  EXPECT_EQ(engine->readFile(dir / "missing.glsl", untouched), nullptr);
  EXPECT_EQ(GetCapturedStderr(), "Unable to open file\n");
  EXPECT_EQ(untouched, "kept");
}

TEST_F(Scene, CompileAndLinkFailuresAreReportedAndStillGiveAProgram) {
  CaptureStdout();
  GLuint broken = build("not glsl at all");
  std::string out = GetCapturedStdout();
  EXPECT_NE(broken, 0u);
  EXPECT_EQ(out.find("ERROR::SHADER::VERTEX::COMPILATION_FAILED"), std::string::npos);
  EXPECT_NE(out.find("ERROR::SHADER::FRAGMENT::COMPILATION_FAILED\n"), std::string::npos);
  EXPECT_NE(out.find("ERROR::SHADER::PROGRAM::LINKING_FAILED\n"), std::string::npos);

  // Both stages compile, but the fragment input has no vertex output.
  CaptureStdout();
  build("#version 450 core\nin vec3 nowhere;\nout vec4 c;\nvoid main() { c = vec4(nowhere, 1.0); }\n");
  out = GetCapturedStdout();
  EXPECT_EQ(out.find("COMPILATION_FAILED"), std::string::npos) << out;
  EXPECT_NE(out.find("ERROR::SHADER::PROGRAM::LINKING_FAILED\n"), std::string::npos) << out;

  CaptureStdout();
  GLuint good = build(kUvShader);
  EXPECT_EQ(GetCapturedStdout(), "");
  GLint linked = 0;
  glGetProgramiv(good, GL_LINK_STATUS, &linked);
  EXPECT_EQ(linked, GL_TRUE);
}

TEST(ModelWithoutContext, EndsTheProcessWithAFailureStatus) {
  std::vector<float> vertices;
  std::vector<int> indices;
  fillQuad(vertices, indices);
  EXPECT_EXIT(Model(0, vertices, indices), testing::ExitedWithCode(255), "No current OpenGL context");
}
