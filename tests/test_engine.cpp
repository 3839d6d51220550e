// The engine on a real GL 4.5 core context (llvmpipe under Xvfb): error
// reports, the frame, the aspect value and the uniform table.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engineFixture.h"
#include "renderEngine.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

using Engine = EngineTest;

// Two errors recorded at once; Mesa keeps only one, so the test feeds them.
GLenum pendingCodes[3] = {0, 0, 0};
int pendingIndex = 0;
GLenum APIENTRY fakeGetError() {
  return pendingIndex < 3 ? pendingCodes[pendingIndex++] : 0;
}

}  // namespace

TEST_F(Engine, ReportNamesCodeCallFileAndLine) {
  clearGLErrors();
  CaptureStderr();
  // clang-format off
  GL_CALL(glBindBuffer(0x1234, 0)); const int line = __LINE__;
  // clang-format on
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(err, "OpenGL error 1280 in glBindBuffer(0x1234, 0) at " + std::string(__FILE__) + ":" +
                     std::to_string(line) + "\n");
}

TEST_F(Engine, CleanCallPrintsNothingAndEveryPendingErrorGetsItsOwnLine) {
  CaptureStderr();
  GL_CALL(glViewport(0, 0, 10, 10));
  EXPECT_EQ(GetCapturedStderr(), "");

  const auto real = glad_glGetError;
  pendingCodes[0] = GL_INVALID_OPERATION;
  pendingCodes[1] = GL_INVALID_VALUE;
  pendingIndex = 0;
  glad_glGetError = fakeGetError;
  CaptureStderr();
  checkGLErrors("glFoo(1)", "src/x.cpp", 7);
  const std::string err = GetCapturedStderr();
  glad_glGetError = real;
  EXPECT_EQ(err, "OpenGL error 1282 in glFoo(1) at src/x.cpp:7\nOpenGL error 1281 in glFoo(1) at src/x.cpp:7\n");
}

TEST_F(Engine, ClearGLErrorsDrainsSilently) {
  glBindBuffer(0x1234, 0);
  CaptureStderr();
  clearGLErrors();
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(Engine, StartsWithTheWindowContextAndViewportPromised) {
  int w = 0, h = 0;
  glfwGetWindowSize(engine->window, &w, &h);
  EXPECT_EQ(w, 800);
  EXPECT_EQ(h, 600);
  EXPECT_EQ(engine->width, 800);
  EXPECT_EQ(engine->height, 600);
  GLint major = 0, minor = 0, profile = 0;
  glGetIntegerv(GL_MAJOR_VERSION, &major);
  glGetIntegerv(GL_MINOR_VERSION, &minor);
  glGetIntegerv(GL_CONTEXT_PROFILE_MASK, &profile);
  EXPECT_EQ(major * 10 + minor, 45);
  EXPECT_TRUE(profile & GL_CONTEXT_CORE_PROFILE_BIT);
  GLint viewport[4] = {};
  glGetIntegerv(GL_VIEWPORT, viewport);
  EXPECT_EQ(viewport[2], 800);
  EXPECT_EQ(viewport[3], 600);
  EXPECT_FLOAT_EQ(engine->getAspect(), 0.75f);
  EXPECT_TRUE(engine->models.empty());
  EXPECT_TRUE(engine->uniforms.empty());
}

TEST_F(Engine, RenderWithoutModelsShowsTheClearColour) {
  engine->render();
  for (const auto& at : {std::make_pair(0, 0), std::make_pair(400, 300), std::make_pair(799, 599)}) {
    const auto rgb = pixel(at.first, at.second);
    EXPECT_NEAR(rgb[0], 51, 1);
    EXPECT_NEAR(rgb[1], 77, 1);
    EXPECT_NEAR(rgb[2], 77, 1);
  }
}

TEST_F(Engine, ResizeReachesViewportAndAspectWhenEventsArePolled) {
  glfwSetWindowSize(engine->window, 1000, 500);
  // The new size arrives as an X event; it takes effect in render's polling.
  for (int i = 0; i < 100 && engine->getAspect() != 0.5f; ++i) {
    engine->render();
    glfwWaitEventsTimeout(0.02);
  }
  EXPECT_FLOAT_EQ(engine->getAspect(), 0.5f);
  GLint viewport[4] = {};
  glGetIntegerv(GL_VIEWPORT, viewport);
  EXPECT_EQ(viewport[2], 1000);
  EXPECT_EQ(viewport[3], 500);
}

TEST_F(Engine, ZeroSizedFramebufferKeepsTheLastAspect) {
  framebuffer_size_callback(engine->window, 0, 0);
  EXPECT_FLOAT_EQ(engine->getAspect(), 0.75f);
  framebuffer_size_callback(engine->window, 0, 300);
  EXPECT_FLOAT_EQ(engine->getAspect(), 0.75f);
  framebuffer_size_callback(engine->window, 640, 0);
  EXPECT_TRUE(std::isfinite(engine->getAspect()));
  EXPECT_FLOAT_EQ(engine->getAspect(), 0.75f);
  framebuffer_size_callback(engine->window, 400, 800);
  EXPECT_FLOAT_EQ(engine->getAspect(), 2.0f);
}

TEST_F(Engine, UniformTableKeepsOneEntryPerNameWithTheLatestValue) {
  engine->setUniform("itime", 1.0f);
  engine->setUniform("itime", 2.5f);
  engine->setUniform("aspect", 0.75f);
  ASSERT_EQ(engine->uniforms.size(), 2u);
  EXPECT_FLOAT_EQ(engine->uniforms.at("itime"), 2.5f);
  EXPECT_FLOAT_EQ(engine->uniforms.at("aspect"), 0.75f);
}

TEST(EngineLifecycle, CanBeBuiltAndTornDownTwiceInOneProcess) {
  for (int i = 0; i < 2; ++i) {
    RenderEngine engine;
    engine.render();
    EXPECT_NE(glfwGetCurrentContext(), nullptr);
  }
  EXPECT_EQ(glfwGetCurrentContext(), nullptr);
}
