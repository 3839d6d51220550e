// soundPass.cpp — see soundPass.h.
#include "picture/soundPass.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "picture/picture.h"
#include "picture/shaderSource.h"

namespace {
constexpr int64_t kSliceSamples = static_cast<int64_t>(kSoundWidth) * kSoundRows;
}  // namespace

SoundPass::SoundPass(double maxBlockSeconds) : maxBlockSeconds_(maxBlockSeconds) {
  dateNow(date_);
}

SoundPass::~SoundPass() = default;

Status SoundPass::build(const PassSource& pass, const Notes& notes) {
  picture_ = std::make_unique<Picture>();
  PictureSource source;
  source.passes.push_back(pass);
  slice_ = -1;
  return picture_->build(source, notes);
}

Status SoundPass::drawSlice(int64_t slice) {
  const auto start = std::chrono::steady_clock::now();
  FrameTimes times;
  times.frame = slice;
  times.sampleRate = kRate;
  times.seconds = static_cast<double>(slice * kSliceSamples) / kRate;
  std::copy(date_, date_ + 4, times.date);
  picture_->draw(kSoundWidth, kSoundRows, times);
  pixels_.resize(static_cast<size_t>(kSliceSamples) * 4);
  GL_CALL(glPixelStorei(GL_PACK_ALIGNMENT, 4));
  GL_CALL(glReadPixels(0, 0, kSoundWidth, kSoundRows, GL_RGBA, GL_FLOAT, pixels_.data()));
  slice_ = slice;
  const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  drawSeconds_ += spent;
  const int64_t block = slice * kSliceSamples / kBlockSamples;
  blockSeconds_ = block == block_ ? blockSeconds_ + spent : spent;
  block_ = block;
  if (blockSeconds_ > maxBlockSeconds_) {
    char line[160];
    std::snprintf(line, sizeof line,
                  "it took over %.0f s to draw %.1f s of sound (from %.1f s): stopped, as too slow to make a soundtrack",
                  maxBlockSeconds_, static_cast<double>(kBlockSamples) / kRate,
                  static_cast<double>(block * kBlockSamples) / kRate);
    return Status::failure(line);
  }
  return Status();
}

Status SoundPass::draw(int64_t first, int64_t count, float* out) {
  int64_t done = 0;
  while (done < count) {
    const int64_t n = first + done;
    const int64_t slice = n / kSliceSamples;
    if (slice != slice_) {
      if (const Status drawn = drawSlice(slice); !drawn) {
        return drawn;
      }
    }
    const int64_t at = n - slice * kSliceSamples;
    const int64_t take = std::min(count - done, kSliceSamples - at);
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
