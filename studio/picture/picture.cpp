// picture.cpp — see picture.h.
#include "picture/picture.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <cctype>
#include <ctime>
#include <sstream>

#include "base/text.h"
#include "scene.h"
#include "spectrum.h"

namespace {

// What a missing image or cover reads as: one see-through texel.
const uint8_t kClearTexel[4] = {0, 0, 0, 0};

}  // namespace

// The full-screen quad every full-screen pass draws.
void Picture::makeQuad() {
  std::vector<float> vertices;
  std::vector<int> indices;
  fillQuad(vertices, indices);
  GL_CALL(glGenVertexArrays(1, &vao_));
  GL_CALL(glGenVertexArrays(1, &emptyVao_));
  GL_CALL(glGenBuffers(1, &vbo_));
  GL_CALL(glGenBuffers(1, &ebo_));
  GL_CALL(glBindVertexArray(vao_));
  GL_CALL(glBindBuffer(GL_ARRAY_BUFFER, vbo_));
  GL_CALL(glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(vertices.size() * sizeof(float)), vertices.data(),
                       GL_STATIC_DRAW));
  GL_CALL(glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, ebo_));
  GL_CALL(glBufferData(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLsizeiptr>(indices.size() * sizeof(int)),
                       indices.data(), GL_STATIC_DRAW));
  GL_CALL(glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 5 * sizeof(float), nullptr));
  GL_CALL(glEnableVertexAttribArray(0));
  GL_CALL(glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 5 * sizeof(float),
                                reinterpret_cast<void*>(3 * sizeof(float))));
  GL_CALL(glEnableVertexAttribArray(1));
}

Picture::Picture() {
  makeQuad();
  GL_CALL(glGenBuffers(1, &spectrum_));
  GL_CALL(glBindBuffer(GL_SHADER_STORAGE_BUFFER, spectrum_));
  // Silence until the first spectrum arrives.
  const std::vector<float> quiet(kSpectrumSize, std::log(kMagnitudeFloor));
  GL_CALL(glBufferData(GL_SHADER_STORAGE_BUFFER, kSpectrumSize * sizeof(float), quiet.data(), GL_DYNAMIC_DRAW));
  GL_CALL(glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, spectrum_));
  inputs_.spectrum = quiet;

  GL_CALL(glGenTextures(1, &waveform_));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, waveform_));
  GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_R32F, kWaveform, 1, 0, GL_RED, GL_FLOAT, nullptr));
  setTextureFilters(false);
  const std::vector<float> silence(kWaveform, 0.0f);
  GL_CALL(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kWaveform, 1, GL_RED, GL_FLOAT, silence.data()));
  GL_CALL(glGenTextures(1, &waveHistory_));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, waveHistory_));
  GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_R32F, kWaveform, kWaveHistory, 0, GL_RED, GL_FLOAT,
                       inputs_.waveHistory.data()));
  setTextureFilters(false);
  GL_CALL(glGenTextures(1, &wavePairs_));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, wavePairs_));
  GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, kWaveform, kWaveHistory, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr));
  setTextureFilters(false);
  uploadWavePairs(inputs_.waveHistory.data());
  // Read between rows and bands: a scrolling picture drawn from it is smooth
  // at any size.
  GL_CALL(glGenTextures(1, &bandHistory_));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, bandHistory_));
  GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_R32F, kBands, kBandHistory, 0, GL_RED, GL_FLOAT,
                       inputs_.bandHistory.data()));
  setTextureFilters(false);
  GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR));
  GL_CALL(glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR));
  GL_CALL(glGenTextures(4, images_));
  GL_CALL(glGenTextures(1, &cover_));
  static const Image none;
  for (int slot = 0; slot < 4; ++slot) {
    uploadImage(images_[slot], none, false, false, kClearTexel);
    imageUploaded_[slot] = true;
  }
  setCover(none);
  GL_CALL(glGenTextures(1, &previous_));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, previous_));
  setTextureFilters(false);
  GL_CALL(glGenTextures(8, &targets_[0][0]));
  GL_CALL(glGenFramebuffers(8, &framebuffers_[0][0]));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
}

Picture::~Picture() {
  for (Pass& pass : passes_) {
    release(pass);
  }
  passes_.clear();
  glDeleteFramebuffers(8, &framebuffers_[0][0]);
  for (auto& pair : framebuffers_) {
    pair[0] = pair[1] = 0;
  }
  glDeleteTextures(8, &targets_[0][0]);
  for (auto& pair : targets_) {
    pair[0] = pair[1] = 0;
  }
  glDeleteTextures(1, &previous_);
  previous_ = 0;
  glDeleteTextures(1, &cover_);
  cover_ = 0;
  glDeleteTextures(4, images_);
  for (GLuint& image : images_) {
    image = 0;
  }
  glDeleteTextures(1, &waveform_);
  waveform_ = 0;
  glDeleteTextures(1, &waveHistory_);
  waveHistory_ = 0;
  glDeleteTextures(1, &bandHistory_);
  bandHistory_ = 0;
  glDeleteTextures(1, &wavePairs_);
  wavePairs_ = 0;
  glDeleteBuffers(1, &spectrum_);
  spectrum_ = 0;
  glDeleteBuffers(1, &ebo_);
  ebo_ = 0;
  glDeleteBuffers(1, &vbo_);
  vbo_ = 0;
  glDeleteVertexArrays(1, &vao_);
  vao_ = 0;
  glDeleteVertexArrays(1, &emptyVao_);
  emptyVao_ = 0;
}

void Picture::release(Pass& pass) {
  glDeleteSamplers(4, pass.samplers);
  for (GLuint& sampler : pass.samplers) {
    sampler = 0;
  }
  if (pass.program != 0) {
    glDeleteProgram(pass.program);
    pass.program = 0;
  }
}

namespace {

// A single file cannot say a channel is a cubemap, but its code can read one
// with a direction (texture(iChannel1, dir)), which does not compile against
// a 2D channel. Each channel the form declared itself is tried as a cube:
// the first that builds gets the generated sky. 0 when none does.
GLuint buildWithCubeChannel(const PassSource& given, std::array<Channel, 4>& channels, const Notes& notes) {
  for (size_t c = 0; c < 4; ++c) {
    const std::string declared = "uniform sampler2D iChannel" + std::to_string(c) + ";\n";
    const size_t at = given.fragment.text.find(declared);
    if (at == std::string::npos || channels[c].kind == ChannelKind::Cube) {
      continue;
    }
    ShaderFile fragment = given.fragment;
    fragment.text.replace(at, declared.size(), "uniform samplerCube iChannel" + std::to_string(c) + ";\n");
    const Result<GLuint> program = buildProgram(given.vertex, fragment, given.commonPath);
    if (program) {
      channels[c] = siteDefaults(ChannelKind::Cube);
      if (notes) {
        notes(given.fragment.path + ": iChannel" + std::to_string(c) +
              " is read with a direction, as a cubemap: drawing a generated sky there");
      }
      return program.value();
    }
  }
  return 0;
}

}  // namespace

// One pass built: its program in the first form that compiles, its
// samplers, its inputs found (a wrongly declared one said by notes); the
// first form's log when none builds.
Result<Picture::Pass> Picture::buildPass(const PassSource& given, const Notes& notes) {
  Pass pass;
  const Result<GLuint> program = buildProgram(given.vertex, given.fragment, given.commonPath);
  pass.program = program ? program.value() : 0;
  pass.channels = given.channels;
  pass.draw = given.draw;
  for (size_t other = 0; pass.program == 0 && other < given.otherForms.size(); ++other) {
    const Result<GLuint> again = buildProgram(given.vertex, given.otherForms[other], given.commonPath);
    pass.program = again ? again.value() : 0;
  }
  if (pass.program == 0 && given.shadertoy) {
    pass.program = buildWithCubeChannel(given, pass.channels, notes);
  }
  if (pass.program == 0) {
    return program.status();
  }
  pass.buffer = given.buffer;
  for (int c = 0; c < 4; ++c) {
    pass.samplers[c] = makeSampler(pass.channels[static_cast<size_t>(c)]);
  }
  for (const std::string& wrong : findInputs(pass)) {
    if (notes) {
      notes(given.fragment.path + ": " + wrong);
    }
  }
  return pass;
}

Status Picture::build(const PictureSource& source, const Notes& notes) {
  std::vector<Pass> built;
  auto fail = [&](const std::string& why) {
    for (Pass& pass : built) {
      release(pass);
    }
    return Status::failure(why);
  };
  const Status loaded = channels_.load(source);
  if (!loaded) {
    return fail(loaded.why());
  }
  for (const PassSource& given : source.passes) {
    Result<Pass> pass = buildPass(given, notes);
    if (!pass) {
      return fail(pass.why());
    }
    built.push_back(pass.value());
    bindUnits(built.back());
  }
  for (const std::string& line : source.notes) {
    if (notes) {
      notes(line);
    }
  }
  // Buffers are made anew, at zero, when the passes that draw them change.
  auto drawnBuffers = [](const std::vector<Pass>& passes) {
    std::vector<int> drawn;
    for (const Pass& pass : passes) {
      drawn.push_back(pass.buffer);
    }
    return drawn;
  };
  if (drawnBuffers(built) != drawnBuffers(passes_)) {
    bufferWidth_ = 0;
  }
  for (Pass& pass : passes_) {
    release(pass);
  }
  passes_ = std::move(built);
  applySettings(notes);
  // What the old passes read and these do not is let go.
  channels_.keepOnly(source);
  return uploadReadImages();
}

void Picture::setSettings(std::vector<Setting> settings, const Notes& notes) {
  settings_ = std::move(settings);
  applySettings(notes);
}
void Picture::prepareBuffers(int width, int height) {
  if (width == bufferWidth_ && height == bufferHeight_) {
    return;
  }
  for (int b = 0; b < 4; ++b) {
    // A buffer no pass draws takes one texel, not a frame's worth of floats.
    const bool drawn = std::any_of(passes_.begin(), passes_.end(), [b](const Pass& p) { return p.buffer == b; });
    for (int t = 0; t < 2; ++t) {
      const GLuint target = targets_[b][t];
      GL_CALL(glBindTexture(GL_TEXTURE_2D, target));
      GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, drawn ? width : 1, drawn ? height : 1, 0, GL_RGBA, GL_FLOAT,
                           nullptr));
      GL_CALL(glClearTexImage(target, 0, GL_RGBA, GL_FLOAT, nullptr));
      GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, framebuffers_[b][t]));
      GL_CALL(glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target, 0));
      if (wantsMipmaps(ChannelKind::Buffer, b)) {
        GL_CALL(glGenerateMipmap(GL_TEXTURE_2D));
      }
    }
    front_[b] = 0;
  }
  GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
  bufferWidth_ = width;
  bufferHeight_ = height;
}

void Picture::drawPass(const Pass& pass, const Draw& draw, int width, int height, const FrameTimes& times) {
  GL_CALL(glUseProgram(pass.program));
  feedStudioInputs(pass, width, height, times);
  feedShadertoy(pass, width, height, times);
  GL_CALL(glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, spectrum_));
  if (!draw.geometry()) {
    GL_CALL(glBindVertexArray(vao_));
    GL_CALL(glDrawElements(GL_TRIANGLES, 6, GL_UNSIGNED_INT, nullptr));
    return;
  }
  drawGeometry(draw);
}

// Sized points are set for the draw and put back after it: nothing else
// here draws with them.
void Picture::drawGeometry(const Draw& draw) {
  static const std::pair<DrawMode, GLenum> modes[] = {{DrawMode::Points, GL_POINTS},
                                                      {DrawMode::Lines, GL_LINES},
                                                      {DrawMode::LineStrip, GL_LINE_STRIP},
                                                      {DrawMode::Triangles, GL_TRIANGLES},
                                                      {DrawMode::TriangleStrip, GL_TRIANGLE_STRIP}};
  GLenum mode = GL_POINTS;
  for (const auto& [given, gl] : modes) {
    mode = given == draw.mode ? gl : mode;
  }
  GL_CALL(glEnable(GL_PROGRAM_POINT_SIZE));
  GL_CALL(glBindVertexArray(emptyVao_));
  GL_CALL(glDrawArrays(mode, 0, draw.count));
  GL_CALL(glDisable(GL_PROGRAM_POINT_SIZE));
}

// Buffer A-D in order, each drawn into the target not read as that buffer
// and then swapped: a buffer reading itself sees the frame before.
void Picture::drawBuffers(int width, int height, const FrameTimes& times) {
  if (passes_.size() > 1) {
    prepareBuffers(width, height);
  }
  for (const Pass& pass : passes_) {
    if (pass.buffer < 0) {
      continue;
    }
    const int b = pass.buffer;
    GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, framebuffers_[b][1 - front_[b]]));
    GL_CALL(glViewport(0, 0, width, height));
    drawPass(pass, pass.draw.draws.front(), width, height, times);
    front_[b] = 1 - front_[b];
    if (wantsMipmaps(ChannelKind::Buffer, b)) {
      GL_CALL(glBindTexture(GL_TEXTURE_2D, targets_[b][front_[b]]));
      GL_CALL(glGenerateMipmap(GL_TEXTURE_2D));
      GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
    }
  }
}

// The live program's clear colour, for pairs that leave pixels alone;
// geometry is drawn over black, or over nothing when laid over something.
void Picture::clearUnder(const Draw& draw) {
  if (draw.geometry()) {
    GL_CALL(glClearColor(0.0f, 0.0f, 0.0f, transparent_ ? 0.0f : 1.0f));
  } else {
    GL_CALL(glClearColor(0.2f, 0.3f, 0.3f, 1.0f));
  }
  GL_CALL(glClear(GL_COLOR_BUFFER_BIT));
}

void Picture::draw(int width, int height, const FrameTimes& times) {
  GL_CALL(glDisable(GL_SCISSOR_TEST));
  if (passes_.empty()) {
    GL_CALL(glViewport(0, 0, width, height));
    GL_CALL(glClearColor(0.05f, 0.05f, 0.06f, 1.0f));
    GL_CALL(glClear(GL_COLOR_BUFFER_BIT));
    return;
  }
  const bool shadertoy = std::any_of(passes_.back().channels.begin(), passes_.back().channels.end(),
                                     [](const Channel& c) { return c.kind != ChannelKind::None; });
  // The keys are uploaded only for a picture that reads them.
  const bool keyboard = std::any_of(passes_.begin(), passes_.end(), [](const Pass& p) {
    return std::any_of(p.channels.begin(), p.channels.end(),
                       [](const Channel& c) { return c.kind == ChannelKind::Keyboard; });
  });
  if (keyboard) {
    channels_.setKeys(times.keys);
  }
  GLint shown = 0;
  GL_CALL(glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &shown));
  drawBuffers(width, height, times);
  const Pass& last = passes_.back();
  const bool previous = last.at[kPrevious] >= 0;
  if (previous) {
    bindPrevious(width, height);
  }
  if (!shadertoy) {
    bindStudioTextures();
  }
  const std::vector<Draw>& draws = last.draw.draws;
  for (size_t i = 0; i < draws.size(); ++i) {
    layer_ = static_cast<int>(i);
    drawLayer(last, draws[i], static_cast<GLuint>(shown), width, height, times);
  }
  layer_ = 0;
  if (previous) {
    // What was just drawn, as shown, becomes the next frame's "previous".
    GL_CALL(glActiveTexture(GL_TEXTURE7));
    GL_CALL(glCopyTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 0, 0, width, height));
    GL_CALL(glActiveTexture(GL_TEXTURE0));
  }
}

// The first draw clears under itself (at a smaller scale: drawn smaller,
// then brought up to the frame); each later one is blended over what is
// drawn by its alpha as coverage.
void Picture::drawLayer(const Pass& pass, const Draw& draw, GLuint shown, int width, int height,
                        const FrameTimes& times) {
  const bool first = layer_ == 0;
  // A first geometry draw laid over something goes through the layer's
  // target even at full size: its marks are blended there premultiplied and
  // divided back as it is laid down, so a partly covered pixel keeps the
  // mark's colour (the frame holds straight colours).
  const double scale = draw.scaleIn(width, height);
  const bool scaled = first && (scale < 1 || (draw.geometry() && transparent_));
  drawScale_ = scaled ? scale : 1;
  const int drawnWidth = scaled ? std::max(1, static_cast<int>(std::lround(width * scale))) : width;
  const int drawnHeight = scaled ? std::max(1, static_cast<int>(std::lround(height * scale))) : height;
  if (scaled) {
    scaled_.bind(drawnWidth, drawnHeight, transparent_);
  } else if (first) {
    GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, shown));
    GL_CALL(glViewport(0, 0, width, height));
  }
  if (first) {
    clearUnder(draw);
  }
  // Geometry blended over the transparent clear is already premultiplied; a
  // smaller quad laid over something is made so for its bringing up.
  const bool premultiply = scaled && transparent_ && !draw.geometry();
  const bool blend = !first || draw.geometry() || premultiply;
  if (blend) {
    GL_CALL(glEnable(GL_BLEND));
    if (premultiply) {
      GL_CALL(glBlendFuncSeparate(GL_SRC_ALPHA, GL_ZERO, GL_ONE, GL_ZERO));
    } else {
      GL_CALL(glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE, GL_ONE_MINUS_SRC_ALPHA));
    }
  }
  drawPass(pass, draw, drawnWidth, drawnHeight, times);
  if (blend) {
    GL_CALL(glDisable(GL_BLEND));
  }
  if (scaled) {
    scaled_.blitTo(shown, width, height, transparent_);
  }
  drawScale_ = 1;
}

// "previous" on unit 7: black at the first frame, after a seek and after a resize.
void Picture::bindPrevious(int width, int height) {
  GL_CALL(glActiveTexture(GL_TEXTURE7));
  GL_CALL(glBindTexture(GL_TEXTURE_2D, previous_));
  if (previousClear_ || width != previousWidth_ || height != previousHeight_) {
    GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr));
    GL_CALL(glClearTexImage(previous_, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr));
    previousWidth_ = width;
    previousHeight_ = height;
    previousClear_ = false;
  }
}

// A pair's textures on the units its inputs were given.
void Picture::bindStudioTextures() {
  const std::pair<int, GLuint> textures[] = {{1, waveform_},  {2, images_[0]}, {3, images_[1]},
                                             {4, images_[2]}, {5, images_[3]}, {6, cover_},
                                             {12, waveHistory_}, {13, bandHistory_}, {14, wavePairs_}};
  for (const auto& [unit, texture] : textures) {
    GL_CALL(glActiveTexture(static_cast<GLenum>(GL_TEXTURE0 + unit)));
    GL_CALL(glBindTexture(GL_TEXTURE_2D, texture));
  }
  GL_CALL(glActiveTexture(GL_TEXTURE0));
}

void Picture::drawStaleFrame(int width, int height) {
  const int t = std::max(2, std::min(width, height) / 150);
  GL_CALL(glEnable(GL_SCISSOR_TEST));
  GL_CALL(glClearColor(0.9f, 0.1f, 0.1f, 1.0f));
  const int strips[4][4] = {{0, 0, width, t}, {0, height - t, width, t}, {0, 0, t, height}, {width - t, 0, t, height}};
  for (const auto& s : strips) {
    GL_CALL(glScissor(s[0], s[1], s[2], s[3]));
    GL_CALL(glClear(GL_COLOR_BUFFER_BIT));
  }
  GL_CALL(glDisable(GL_SCISSOR_TEST));
}
