// soundPass.cpp — see soundPass.h.
#include "picture/soundPass.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "picture/picture.h"
#include "picture/shaderSource.h"

namespace {
constexpr int64_t kRowSamples = kSoundWidth;
constexpr int64_t kBlockRows = SoundPass::kBlockSamples / kRowSamples;
// A draw this long is long enough for its cost to be well above a draw's
// overhead, and short enough to stop a slow pass early.
constexpr double kDrawTarget = 0.05;
}  // namespace

SoundCanvas::SoundCanvas() {
  GL_CALL(glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &drawBefore_));
  GL_CALL(glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &readBefore_));
  GL_CALL(glGetIntegerv(GL_VIEWPORT, viewportBefore_));
  GL_CALL(glGenFramebuffers(1, &framebuffer_));
  GL_CALL(glGenRenderbuffers(1, &colour_));
  GL_CALL(glBindRenderbuffer(GL_RENDERBUFFER, colour_));
  GL_CALL(glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA32F, kSoundWidth, kSoundRows));
  GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_));
  GL_CALL(glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour_));
  if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
    made_ = Status::failure("the GL driver cannot draw into 32-bit float pixels");
  }
}

SoundCanvas::~SoundCanvas() {
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, static_cast<GLuint>(drawBefore_));
  glBindFramebuffer(GL_READ_FRAMEBUFFER, static_cast<GLuint>(readBefore_));
  glViewport(viewportBefore_[0], viewportBefore_[1], viewportBefore_[2], viewportBefore_[3]);
  glDeleteRenderbuffers(1, &colour_);
  colour_ = 0;
  glDeleteFramebuffers(1, &framebuffer_);
  framebuffer_ = 0;
}

SoundPass::SoundPass(double maxBlockSeconds) : maxBlockSeconds_(maxBlockSeconds) {
  dateNow(date_);
}

SoundPass::~SoundPass() = default;

Status SoundPass::build(const PassSource& pass, const Notes& notes) {
  picture_ = std::make_unique<Picture>();
  PictureSource source;
  source.passes.push_back(pass);
  firstRow_ = -1;
  return picture_->build(source, notes);
}

// Rows [row, row + rows) of samples; iFrame is the first row's number.
Status SoundPass::drawRows(int64_t row, int rows) {
  const auto start = std::chrono::steady_clock::now();
  FrameTimes times;
  times.frame = row;
  times.sampleRate = kRate;
  times.seconds = static_cast<double>(row * kRowSamples) / kRate;
  std::copy(date_, date_ + 4, times.date);
  picture_->draw(kSoundWidth, rows, times);
  pixels_.resize(static_cast<size_t>(rows) * kRowSamples * 4);
  GL_CALL(glPixelStorei(GL_PACK_ALIGNMENT, 4));
  GL_CALL(glReadPixels(0, 0, kSoundWidth, rows, GL_RGBA, GL_FLOAT, pixels_.data()));
  firstRow_ = row;
  rowsHeld_ = rows;
  const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  drawSeconds_ += spent;
  const int64_t block = row / kBlockRows;
  blockSeconds_ = block == block_ ? blockSeconds_ + spent : spent;
  blockRows_ = block == block_ ? blockRows_ + rows : rows;
  block_ = block;
  // Stopped as soon as the block is sure to take longer than allowed at
  // this pace, not only once it has.
  const double projected = blockSeconds_ * static_cast<double>(kBlockRows) / static_cast<double>(blockRows_);
  if (blockSeconds_ > maxBlockSeconds_ || (blockSeconds_ > 0.5 && projected > maxBlockSeconds_)) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "it would take %.0f s to draw %.1f s of sound (from %.1f s), over the %.0f s allowed: stopped, "
                  "as too slow to make a soundtrack",
                  projected, static_cast<double>(kBlockSamples) / kRate,
                  static_cast<double>(block * kBlockSamples) / kRate, maxBlockSeconds_);
    return Status::failure(line);
  }
  // Fewer rows a draw while draws are slow, more while they are quick.
  rowsPerDraw_ = spent < kDrawTarget ? std::min(kSoundRows, rowsPerDraw_ * 2)
                 : spent > 4 * kDrawTarget ? std::max(1, rowsPerDraw_ / 2)
                                           : rowsPerDraw_;
  return Status();
}

Status SoundPass::draw(int64_t first, int64_t count, float* out) {
  int64_t done = 0;
  while (done < count) {
    const int64_t n = first + done;
    const int64_t row = n / kRowSamples;
    if (firstRow_ < 0 || row < firstRow_ || row >= firstRow_ + rowsHeld_) {
      if (const Status drawn = drawRows(row, rowsPerDraw_); !drawn) {
        return drawn;
      }
    }
    const int64_t at = n - firstRow_ * kRowSamples;
    const int64_t take = std::min(count - done, rowsHeld_ * kRowSamples - at);
    for (int64_t i = 0; i < take; ++i) {
      const float* pixel = &pixels_[static_cast<size_t>((at + i) * 4)];
      const bool finite = std::isfinite(pixel[0]) && std::isfinite(pixel[1]);
      nonFinite_ += finite ? 0 : 1;
      for (int c = 0; c < 2; ++c) {
        out[(done + i) * 2 + c] = finite ? std::clamp(pixel[c], -1.0f, 1.0f) : 0.0f;
      }
    }
    done += take;
  }
  return Status();
}
