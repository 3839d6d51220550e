// shadertoy.cpp — see shadertoy.h.
#include "picture/shadertoy.h"

#include <algorithm>
#include <ctime>

#include "picture/picture.h"

void shadertoyDateNow(float date[4]) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  date[0] = static_cast<float>(local.tm_year + 1900);
  date[1] = static_cast<float>(local.tm_mon);
  date[2] = static_cast<float>(local.tm_mday);
  date[3] = static_cast<float>(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
}

ShadertoyFeed::ShadertoyFeed() {
  for (GLint& at : at_) {
    at = -1;
  }
  GL_CALL(glGenTextures(4, channels_));
  // The sound: one 8-bit channel, nearest, clamped, as Shadertoy gives it.
  GL_CALL(glBindTexture(GL_TEXTURE_2D, channels_[0]));
  GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 1));
  GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_R8, 512, 2, 0, GL_RED, GL_UNSIGNED_BYTE, nullptr));
  setTextureFilters(false);
  setImages({});
}

ShadertoyFeed::~ShadertoyFeed() {
  glDeleteTextures(4, channels_);
  for (GLuint& channel : channels_) {
    channel = 0;
  }
}

void ShadertoyFeed::setImages(const std::vector<Image>& images) {
  static const uint8_t black[4] = {0, 0, 0, 255};
  for (int c = 1; c < 4; ++c) {
    const Image* image = static_cast<size_t>(c - 1) < images.size() ? &images[static_cast<size_t>(c - 1)] : nullptr;
    GL_CALL(glBindTexture(GL_TEXTURE_2D, channels_[c]));
    GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 1));
    if (image == nullptr || image->empty()) {
      GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE, black));
      sizes_[c][0] = sizes_[c][1] = 1;
    } else {
      // Shadertoy's textures have their first row at the bottom, as GL's.
      const std::vector<uint8_t> flipped = rowsBottomUp(*image);
      GL_CALL(glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, image->width, image->height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                           flipped.data()));
      sizes_[c][0] = static_cast<float>(image->width);
      sizes_[c][1] = static_cast<float>(image->height);
    }
    GL_CALL(glGenerateMipmap(GL_TEXTURE_2D));
    setTextureFilters(true);
  }
  GL_CALL(glBindTexture(GL_TEXTURE_2D, 0));
}

void ShadertoyFeed::attach(GLuint program) {
  static const char* const names[kCount] = {"iResolution", "iTime",      "iTimeDelta",  "iFrame",
                                            "iFrameRate",  "iDate",      "iSampleRate", "iMouse",
                                            "iChannelTime", "iChannelResolution", "iChannel0", "iChannel1",
                                            "iChannel2",   "iChannel3",  "iBassTime",   "iMidTime",
                                            "iTrebleTime", "iLevelTime"};
  program_ = program;
  for (int k = 0; k < kCount; ++k) {
    at_[k] = program_ != 0 ? glGetUniformLocation(program_, names[k]) : -1;
  }
  for (int c = 0; c < 4; ++c) {
    if (at_[kChannel0 + c] >= 0) {
      GL_CALL(glProgramUniform1i(program_, at_[kChannel0 + c], 8 + c));
    }
  }
}

void ShadertoyFeed::feed(const AudioInputs& inputs, const ShadertoyFrame& f) {
  if (program_ == 0) {
    return;
  }
  if (at_[kChannel0] >= 0) {
    GL_CALL(glBindTexture(GL_TEXTURE_2D, channels_[0]));
    GL_CALL(glPixelStorei(GL_UNPACK_ALIGNMENT, 1));
    GL_CALL(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, 512, 2, GL_RED, GL_UNSIGNED_BYTE, inputs.browser.data()));
  }
  auto set1f = [&](int k, float v) {
    if (at_[k] >= 0) {
      GL_CALL(glProgramUniform1f(program_, at_[k], v));
    }
  };
  if (at_[kResolution] >= 0) {
    GL_CALL(glProgramUniform3f(program_, at_[kResolution], f.width, f.height, 1.0f));
  }
  set1f(kTime, f.time);
  set1f(kBassTime, static_cast<float>(inputs.bassTime));
  set1f(kMidTime, static_cast<float>(inputs.midTime));
  set1f(kTrebleTime, static_cast<float>(inputs.trebleTime));
  set1f(kLevelTime, static_cast<float>(inputs.levelTime));
  set1f(kTimeDelta, f.timeDelta);
  set1f(kFrameRate, f.frameRate);
  set1f(kSampleRate, f.sampleRate);
  if (at_[kFrame] >= 0) {
    GL_CALL(glProgramUniform1i(program_, at_[kFrame], f.frame));
  }
  if (at_[kDate] >= 0) {
    GL_CALL(glProgramUniform4fv(program_, at_[kDate], 1, f.date));
  }
  if (at_[kMouse] >= 0) {
    GL_CALL(glProgramUniform4fv(program_, at_[kMouse], 1, f.mouse));
  }
  if (at_[kChannelTime] >= 0) {
    const float times[4] = {f.time, 0, 0, 0};
    GL_CALL(glProgramUniform1fv(program_, at_[kChannelTime], 4, times));
  }
  if (at_[kChannelResolution] >= 0) {
    GL_CALL(glProgramUniform3fv(program_, at_[kChannelResolution], 4, &sizes_[0][0]));
  }
  for (int c = 0; c < 4; ++c) {
    GL_CALL(glActiveTexture(static_cast<GLenum>(GL_TEXTURE8 + c)));
    GL_CALL(glBindTexture(GL_TEXTURE_2D, channels_[c]));
  }
  GL_CALL(glActiveTexture(GL_TEXTURE0));
}
