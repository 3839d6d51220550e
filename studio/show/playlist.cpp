// playlist.cpp — see playlist.h.
#include "show/playlist.h"

#include <algorithm>
#include <cmath>
#include <numeric>

size_t PictureSchedule::pictureOf(int64_t segment) const {
  const int64_t shifted = std::max<int64_t>(0, segment + shift_);
  if (!o_.shuffle) {
    return static_cast<size_t>(shifted % static_cast<int64_t>(count_));
  }
  // Round after round of every picture once, in an order from the seed; a
  // round never starts with the picture the last one ended on.
  while (order_.size() <= static_cast<size_t>(shifted)) {
    std::mt19937 random(o_.seed + static_cast<uint32_t>(order_.size() / count_) * 7919u);
    std::vector<size_t> round(count_);
    std::iota(round.begin(), round.end(), 0);
    std::shuffle(round.begin(), round.end(), random);
    if (!order_.empty() && round.front() == order_.back()) {
      std::swap(round.front(), round.back());
    }
    order_.insert(order_.end(), round.begin(), round.end());
  }
  return order_[static_cast<size_t>(shifted)];
}

Showing PictureSchedule::at(const BeatAt& beat, double seconds) const {
  if (count_ <= 1) {
    return Showing{};
  }
  if (locked_) {
    return Showing{held_, held_, 0};
  }
  const int perBar = std::max(1, o_.beatsPerBar);
  // Bars as a continuous count from the first downbeat.
  const double bars = beat.bpm > 0 ? beat.barIndex + beat.barPhase : seconds * kRestingBpm / 60.0 / perBar;
  const int every = std::max(1, o_.changeEvery);
  const auto segment = static_cast<int64_t>(std::floor(std::max(0.0, bars) / every));
  const double beatsIn = (std::max(0.0, bars) - static_cast<double>(segment) * every) * perBar;
  const size_t now = pictureOf(segment);
  if (segment == 0 || beatsIn >= o_.crossfade) {
    return Showing{now, now, 0};
  }
  const size_t before = pictureOf(segment - 1);
  return before == now ? Showing{now, now, 0} : Showing{before, now, beatsIn / o_.crossfade};
}

namespace {

constexpr const char* kVertex = R"(#version 450 core
out vec2 at;
void main() {
    vec2 corner = vec2(float((gl_VertexID << 1) & 2), float(gl_VertexID & 2));
    at = corner;
    gl_Position = vec4(corner * 2.0 - 1.0, 0.0, 1.0);
}
)";

constexpr const char* kBlend = R"(#version 450 core
in vec2 at;
out vec4 colour;
layout(binding = 0) uniform sampler2D from;
layout(binding = 1) uniform sampler2D to;
uniform float mixed;
uniform bool coverage;  // alpha is coverage (laid over something)
void main() {
    ivec2 p = ivec2(gl_FragCoord.xy);
    vec4 a = texelFetch(from, p, 0);
    vec4 b = texelFetch(to, p, 0);
    if (!coverage) {
        colour = mix(a, b, mixed);
        return;
    }
    // Each mark weighed by how much of the pixel it covers, so a pixel only
    // one picture covers keeps that mark's colour.
    float alpha = mix(a.a, b.a, mixed);
    vec3 light = mix(a.rgb * a.a, b.rgb * b.a, mixed);
    colour = vec4(alpha > 0.0 ? light / alpha : vec3(0.0), alpha);
}
)";

}  // namespace

CrossFade::~CrossFade() {
  release();
  glDeleteVertexArrays(1, &vao_);
  vao_ = 0;
  glDeleteProgram(program_);
  program_ = 0;
}

void CrossFade::release() {
  glDeleteFramebuffers(2, framebuffers_);
  glDeleteTextures(2, textures_);
  framebuffers_[0] = framebuffers_[1] = 0;
  textures_[0] = textures_[1] = 0;
  width_ = height_ = 0;
}

Status CrossFade::make(int width, int height) {
  if (program_ == 0) {
    const Result<GLuint> program =
        buildProgram(ShaderFile{"crossfade (vertex stage)", kVertex}, ShaderFile{"crossfade", kBlend});
    if (!program) {
      return Status::failure("the driver refused the crossfade's shaders: " + program.why());
    }
    program_ = program.value();
    mixAt_ = glGetUniformLocation(program_, "mixed");
    coverageAt_ = glGetUniformLocation(program_, "coverage");
    GL_CALL(glCreateVertexArrays(1, &vao_));
  }
  release();
  for (int i = 0; i < 2; ++i) {
    GL_CALL(glCreateTextures(GL_TEXTURE_2D, 1, &textures_[i]));
    GL_CALL(glTextureStorage2D(textures_[i], 1, GL_RGBA8, width, height));
    GL_CALL(glCreateFramebuffers(1, &framebuffers_[i]));
    GL_CALL(glNamedFramebufferTexture(framebuffers_[i], GL_COLOR_ATTACHMENT0, textures_[i], 0));
    if (glCheckNamedFramebufferStatus(framebuffers_[i], GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
      return Status::failure("the GL driver cannot draw a crossfade at " + std::to_string(width) + "x" +
                             std::to_string(height));
    }
  }
  width_ = width;
  height_ = height;
  return Status();
}

Status CrossFade::draw(Picture& from, Picture& to, double mix, bool coverage, int width, int height,
                       const FrameTimes& times) {
  if (width != width_ || height != height_) {
    if (Status made = make(width, height); !made) {
      return made;
    }
  }
  GLint shown = 0, program = 0, vao = 0, unit = 0;
  GL_CALL(glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &shown));
  GL_CALL(glGetIntegerv(GL_CURRENT_PROGRAM, &program));
  GL_CALL(glGetIntegerv(GL_VERTEX_ARRAY_BINDING, &vao));
  GL_CALL(glGetIntegerv(GL_ACTIVE_TEXTURE, &unit));
  Picture* pictures[2] = {&from, &to};
  for (int i = 0; i < 2; ++i) {
    GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, framebuffers_[i]));
    pictures[i]->draw(width, height, times);
  }
  GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, static_cast<GLuint>(shown)));
  GL_CALL(glViewport(0, 0, width, height));
  const GLboolean blend = glIsEnabled(GL_BLEND);
  GL_CALL(glDisable(GL_BLEND));
  GL_CALL(glUseProgram(program_));
  GL_CALL(glUniform1f(mixAt_, static_cast<float>(mix)));
  GL_CALL(glUniform1i(coverageAt_, coverage ? 1 : 0));
  GL_CALL(glBindTextureUnit(0, textures_[0]));
  GL_CALL(glBindTextureUnit(1, textures_[1]));
  GL_CALL(glBindVertexArray(vao_));
  GL_CALL(glDrawArrays(GL_TRIANGLES, 0, 3));
  GL_CALL(glBindTextureUnit(0, 0));
  GL_CALL(glBindTextureUnit(1, 0));
  GL_CALL(glBindVertexArray(static_cast<GLuint>(vao)));
  GL_CALL(glUseProgram(static_cast<GLuint>(program)));
  GL_CALL(glActiveTexture(static_cast<GLenum>(unit)));
  if (blend) {
    GL_CALL(glEnable(GL_BLEND));
  }
  return Status();
}
