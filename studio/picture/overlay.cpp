// overlay.cpp — see overlay.h. The quad is made in the vertex stage from the
// vertex number, so no buffers are needed.
#include "picture/overlay.h"

#include <string>
#include <vector>

#include "picture/picture.h"

namespace {

const char* const kVertex = R"(#version 450 core
uniform vec4 rect;  // left, bottom, right, top in clip space
out vec2 at;
void main() {
    vec2 corner = vec2(gl_VertexID & 1, gl_VertexID >> 1);
    at = vec2(corner.x, 1.0 - corner.y);
    gl_Position = vec4(mix(rect.xy, rect.zw, corner), 0.0, 1.0);
}
)";

const char* const kFragment = R"(#version 450 core
in vec2 at;
out vec4 colour;
uniform sampler2D image;
uniform float opacity;
void main() {
    colour = texture(image, at) * opacity;  // premultiplied
}
)";

}  // namespace

Overlay::Overlay() {
  // Our own shaders: they build wherever GL 4.5 does; if a driver refused
  // them the overlay would draw nothing, and status() says why.
  const Result<GLuint> program = buildProgram(ShaderFile{"overlay (vertex stage)", kVertex}, ShaderFile{"overlay", kFragment});
  program_ = program ? program.value() : 0;
  if (!program) {
    built_ = Status::failure("the driver refused the shaders that draw titles and images over the picture: " +
                             program.why());
  }
  rectAt_ = glGetUniformLocation(program_, "rect");
  opacityAt_ = glGetUniformLocation(program_, "opacity");
  GL_CALL(glGenVertexArrays(1, &vao_));
  GL_CALL(glGenTextures(1, &texture_));
}

Overlay::~Overlay() {
  glDeleteTextures(1, &texture_);
  texture_ = 0;
  glDeleteVertexArrays(1, &vao_);
  vao_ = 0;
  glDeleteProgram(program_);
  program_ = 0;
}

void Overlay::set(const Image& image, int x, int y) {
  set(image, x, y, image.width, image.height);
}

void Overlay::set(const Image& image, int x, int y, int width, int height) {
  x_ = x;
  y_ = y;
  width_ = image.empty() ? 0 : width;
  height_ = image.empty() ? 0 : height;
  if (image.empty()) {
    return;
  }
  // Rows as they are: the quad maps the image's top row to the top. Scaled
  // down, mipmaps keep a large photo from shimmering.
  static const uint8_t none[4] = {0, 0, 0, 0};
  if (const Status taken = uploadImage(texture_, image, false, width < image.width || height < image.height, none);
      !taken) {
    width_ = height_ = 0;  // nothing to draw
    built_ = taken;
  }
}

void Overlay::draw(int width, int height, float opacity, Blend blend) {
  if (empty() || opacity <= 0.0f || width <= 0 || height <= 0) {
    return;
  }
  // Pixels from the top-left to clip space (y up).
  const float left = 2.0f * static_cast<float>(x_) / static_cast<float>(width) - 1.0f;
  const float right = 2.0f * static_cast<float>(x_ + width_) / static_cast<float>(width) - 1.0f;
  const float top = 1.0f - 2.0f * static_cast<float>(y_) / static_cast<float>(height);
  const float bottom = 1.0f - 2.0f * static_cast<float>(y_ + height_) / static_cast<float>(height);
  GL_CALL(glViewport(0, 0, width, height));
  GL_CALL(glEnable(GL_BLEND));
  if (blend == Blend::Over) {
    GL_CALL(glBlendFunc(GL_ONE, GL_ONE_MINUS_SRC_ALPHA));
  } else {
    // What was drawn has straight alpha (a picture's coverage): its colour
    // counts by its alpha, the image by what is left.
    GL_CALL(glBlendFuncSeparate(GL_ONE_MINUS_DST_ALPHA, GL_DST_ALPHA, GL_ONE_MINUS_DST_ALPHA, GL_ONE));
  }
  GL_CALL(glUseProgram(program_));
  GL_CALL(glUniform4f(rectAt_, left, bottom, right, top));
  GL_CALL(glUniform1f(opacityAt_, opacity));
  GL_CALL(glActiveTexture(GL_TEXTURE0));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, texture_));
  GL_CALL(glBindVertexArray(vao_));
  GL_CALL(glDrawArrays(GL_TRIANGLE_STRIP, 0, 4));
  GL_CALL(glDisable(GL_BLEND));
}
