// scaledTarget.cpp — see scaledTarget.h.
#include "picture/scaledTarget.h"

#include "picture/program.h"

namespace {

// One triangle over the whole frame, reading the layer at the same place.
const char* const kVertex = R"(#version 450 core
out vec2 uv;
void main() {
    vec2 corner = vec2(float((gl_VertexID & 1) << 2), float((gl_VertexID & 2) << 1));
    uv = corner * 0.5;
    gl_Position = vec4(corner - 1.0, 0.0, 1.0);
}
)";

const char* const kFragment = R"(#version 450 core
in vec2 uv;
out vec4 FragColor;
uniform sampler2D layer;
void main() {
    vec4 p = texture(layer, uv);
    FragColor = p.a > 0.0 ? vec4(min(p.rgb / p.a, 1.0), p.a) : vec4(0.0);
}
)";

}  // namespace

ScaledTarget::~ScaledTarget() {
  if (program_ != 0) {
    glDeleteProgram(program_);
    program_ = 0;
  }
  if (vao_ != 0) {
    glDeleteVertexArrays(1, &vao_);
    vao_ = 0;
  }
  if (framebuffer_ != 0) {
    glDeleteFramebuffers(1, &framebuffer_);
    framebuffer_ = 0;
  }
  if (texture_ != 0) {
    glDeleteTextures(1, &texture_);
    texture_ = 0;
  }
}

void ScaledTarget::bind(int width, int height, bool deep) {
  if (framebuffer_ == 0) {
    GL_CALL(glGenTextures(1, &texture_));
    GL_CALL(glGenFramebuffers(1, &framebuffer_));
  }
  if (width != width_ || height != height_ || deep != deep_) {
    GL_CALL(glBindTexture(GL_TEXTURE_2D, texture_));
    GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, deep ? GL_RGBA16 : GL_RGBA8, width, height, 0, GL_RGBA,
                         deep ? GL_UNSIGNED_SHORT : GL_UNSIGNED_BYTE, nullptr));
    GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR));
    GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR));
    GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
    GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_));
    GL_CALL(glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, texture_, 0));
    width_ = width;
    height_ = height;
    deep_ = deep;
  }
  GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_));
  GL_CALL(glViewport(0, 0, width, height));
}

void ScaledTarget::blitTo(GLuint into, int intoWidth, int intoHeight, bool premultiplied) {
  if (premultiplied) {
    GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, into));
    GL_CALL(glViewport(0, 0, intoWidth, intoHeight));
    if (drawDivided()) {
      return;
    }
  }
  GL_CALL(glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_));
  GL_CALL(glBindFramebuffer(GL_DRAW_FRAMEBUFFER, into));
  GL_CALL(glBlitFramebuffer(0, 0, width_, height_, 0, 0, intoWidth, intoHeight, GL_COLOR_BUFFER_BIT, GL_LINEAR));
  GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, into));
  GL_CALL(glViewport(0, 0, intoWidth, intoHeight));
}

// Sets all it draws with (program, vertex array, texture on unit 0, no
// blending) and leaves unit 0 empty; false where its program cannot be had.
bool ScaledTarget::drawDivided() {
  if (program_ == 0) {
    const Result<GLuint> built = buildProgram(ShaderFile{"(bringing a layer up)", kVertex},
                                              ShaderFile{"(bringing a layer up)", kFragment});
    if (!built) {
      return false;
    }
    program_ = built.value();
    GL_CALL(glGenVertexArrays(1, &vao_));
  }
  GL_CALL(glUseProgram(program_));
  GL_CALL(glUniform1i(glGetUniformLocation(program_, "layer"), 0));
  GL_CALL(glDisable(GL_BLEND));
  GL_CALL(glActiveTexture(GL_TEXTURE0));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, texture_));
  GL_CALL(glBindVertexArray(vao_));
  GL_CALL(glDrawArrays(GL_TRIANGLES, 0, 3));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
  return true;
}
