// planePass.cpp — see planePass.h. The triangle covering the target is made
// in the vertex stage from the vertex number, so no buffers are needed.
#include "show/planePass.h"

#include <cstdlib>
#include <string>

#include "picture/picture.h"
#include "video/pictureLayout.h"

namespace {

const char* const kVertex = R"(#version 450 core
void main() {
    vec2 corner = vec2((gl_VertexID << 1) & 2, gl_VertexID & 2);
    gl_Position = vec4(corner * 2.0 - 1.0, 0.0, 1.0);
}
)";

// Target row r is memory row r, each texel four bytes of it: rows [0, H)
// luma, top row first; below them one row of W codes a row of chroma, Cb
// then Cr. Four codes a texel: a quarter of the fragments, and a target
// read back as it is. Luma and chroma are two draws with a program each:
// the rasteriser runs both sides of a branch, so one program for both
// would cost the sum.
const char* const kCommon = R"(#version 450 core
layout(binding = 0) uniform sampler2D canvas;  // rows bottom-up, as drawn
uniform ivec2 size;
out vec4 codes;
const vec3 kLuma = vec3(0.2126, 0.7152, 0.0722);
)";

const char* const kLuma = R"(
vec3 colourAt(int x, int rowFromTop) {
    return texelFetch(canvas, ivec2(x, size.y - 1 - rowFromTop), 0).rgb;
}
void main() {
    ivec2 at = ivec2(gl_FragCoord.xy);
    int x = 4 * at.x;
    mat4x3 colours = mat4x3(colourAt(x, at.y), colourAt(x + 1, at.y), colourAt(x + 2, at.y), colourAt(x + 3, at.y));
    codes = (16.0 + 219.0 * (kLuma * colours)) / 255.0;
}
)";

// Each code from the pair of columns x, x + 1 and chroma row j: rows 2j-1 …
// 2j+2 weighted 1, 3, 3, 1 (a chroma sample sits between its two rows; the
// edges repeat), in two bilinear reads whose weights are exact (halves and
// quarters of the canvas' texels).
const char* const kChroma = R"(
void main() {
    ivec2 at = ivec2(gl_FragCoord.xy);
    int halfWidth = size.x / 2;
    bool red = 4 * at.x >= halfWidth;
    int x = 2 * (red ? 4 * at.x - halfWidth : 4 * at.x);
    int j = at.y - size.y;
    vec2 texel = 1.0 / vec2(size);
    float upper = (float(size.y - 2 * j) - 0.25) * texel.y;
    float lower = (float(size.y - 2 * j) - 1.75) * texel.y;
    // c below is twice the mean colour.
    vec3 weights = 0.5 * ((red ? vec3(1.0, 0.0, 0.0) : vec3(0.0, 0.0, 1.0)) - kLuma);
    float scale = red ? 1.0 / 1.5748 : 1.0 / 1.8556;
    for (int i = 0; i < 4; ++i) {
        float u = float(x + 2 * i + 1) * texel.x;
        vec3 c = texture(canvas, vec2(u, upper)).rgb + texture(canvas, vec2(u, lower)).rgb;
        codes[i] = (128.0 + 224.0 * scale * dot(c, weights)) / 255.0;
    }
}
)";

// A texture of this format and size, and a framebuffer drawing into it.
Status target(GLenum format, int width, int height, GLuint& texture, GLuint& framebuffer) {
  GL_CALL(glCreateTextures(GL_TEXTURE_2D, 1, &texture));
  GL_CALL(glTextureStorage2D(texture, 1, format, width, height));
  GL_CALL(glCreateFramebuffers(1, &framebuffer));
  GL_CALL(glNamedFramebufferTexture(framebuffer, GL_COLOR_ATTACHMENT0, texture, 0));
  if (glCheckNamedFramebufferStatus(framebuffer, GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
    return Status::failure("the GL driver cannot draw into a " + std::to_string(width) + "x" + std::to_string(height) +
                           " framebuffer");
  }
  return Status();
}

}  // namespace

bool PlanePass::pays() {
  const auto* renderer = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
  const std::string name = renderer != nullptr ? renderer : "";
  return name.find("llvmpipe") == std::string::npos && name.find("softpipe") == std::string::npos;
}

bool PlanePass::wanted() { return pays() || std::getenv("VRAX_GL_PLANES") != nullptr; }

PlanePass::PlanePass(int width, int height) : width_(width), height_(height) {
  status_ = make();
}

Status PlanePass::make() {
  if (!planesFit(width_, height_)) {
    return Status::failure("4:2:0 planes are made here only for a width a multiple of 8 and an even height");
  }
  for (int p = 0; p < 2; ++p) {
    const std::string fragment = std::string(kCommon) + (p == 0 ? kLuma : kChroma);
    const Result<GLuint> program = buildProgram(ShaderFile{"4:2:0 planes (vertex stage)", kVertex},
                                                ShaderFile{p == 0 ? "luma plane" : "chroma planes", fragment});
    if (!program) {
      return Status::failure("the driver refused the shaders that make the video's planes: " + program.why());
    }
    programs_[p] = program.value();
    GL_CALL(glProgramUniform2i(programs_[p], glGetUniformLocation(programs_[p], "size"), width_, height_));
  }
  GL_CALL(glCreateVertexArrays(1, &vao_));
  if (Status made = target(GL_RGBA8, width_, height_, canvasTarget_, canvas_); !made) {
    return made;
  }
  // Chroma is read between texels (see the shader); luma by texel.
  GL_CALL(glTextureParameteri(canvasTarget_, GL_TEXTURE_MIN_FILTER, GL_LINEAR));
  GL_CALL(glTextureParameteri(canvasTarget_, GL_TEXTURE_MAG_FILTER, GL_LINEAR));
  GL_CALL(glTextureParameteri(canvasTarget_, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE));
  GL_CALL(glTextureParameteri(canvasTarget_, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE));
  return target(GL_RGBA8, planesWidth(), planesHeight(), planesTarget_, planes_);
}

PlanePass::~PlanePass() {
  glDeleteFramebuffers(1, &planes_);
  planes_ = 0;
  glDeleteTextures(1, &planesTarget_);
  planesTarget_ = 0;
  glDeleteFramebuffers(1, &canvas_);
  canvas_ = 0;
  glDeleteTextures(1, &canvasTarget_);
  canvasTarget_ = 0;
  glDeleteVertexArrays(1, &vao_);
  vao_ = 0;
  for (GLuint& program : programs_) {
    glDeleteProgram(program);
    program = 0;
  }
}

void PlanePass::bindCanvas() {
  GL_CALL(glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &before_));
  GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, canvas_));
}

void PlanePass::convert() {
  GLint program = 0;
  GLint vao = 0;
  GLint unit = 0;
  GLint texture = 0;
  GLint viewport[4] = {};
  GL_CALL(glGetIntegerv(GL_CURRENT_PROGRAM, &program));
  GL_CALL(glGetIntegerv(GL_VERTEX_ARRAY_BINDING, &vao));
  GL_CALL(glGetIntegerv(GL_ACTIVE_TEXTURE, &unit));
  GL_CALL(glActiveTexture(GL_TEXTURE0));
  GL_CALL(glGetIntegerv(GL_TEXTURE_BINDING_2D, &texture));
  GL_CALL(glGetIntegerv(GL_VIEWPORT, viewport));
  const GLboolean blend = glIsEnabled(GL_BLEND);
  const GLboolean scissor = glIsEnabled(GL_SCISSOR_TEST);

  GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, planes_));
  GL_CALL(glDisable(GL_BLEND));
  GL_CALL(glDisable(GL_SCISSOR_TEST));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, canvasTarget_));
  GL_CALL(glBindVertexArray(vao_));
  GL_CALL(glViewport(0, 0, planesWidth(), height_));
  GL_CALL(glUseProgram(programs_[0]));
  GL_CALL(glDrawArrays(GL_TRIANGLES, 0, 3));
  GL_CALL(glViewport(0, height_, planesWidth(), height_ / 2));
  GL_CALL(glUseProgram(programs_[1]));
  GL_CALL(glDrawArrays(GL_TRIANGLES, 0, 3));

  GL_CALL(glBindVertexArray(static_cast<GLuint>(vao)));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(texture)));
  GL_CALL(glActiveTexture(static_cast<GLenum>(unit)));
  GL_CALL(glUseProgram(static_cast<GLuint>(program)));
  GL_CALL(glViewport(viewport[0], viewport[1], viewport[2], viewport[3]));
  if (blend) {
    GL_CALL(glEnable(GL_BLEND));
  }
  if (scissor) {
    GL_CALL(glEnable(GL_SCISSOR_TEST));
  }
}

void PlanePass::release() {
  GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, static_cast<GLuint>(before_)));
}
