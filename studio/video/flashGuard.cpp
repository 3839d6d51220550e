// flashGuard.cpp — see flashGuard.h.
#include "video/flashGuard.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

// sRGB code value to linear light, once.
const std::array<float, 256>& linear() {
  static const std::array<float, 256> table = [] {
    std::array<float, 256> t{};
    for (int i = 0; i < 256; ++i) {
      const double c = i / 255.0;
      t[static_cast<size_t>(i)] = static_cast<float>(c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
    }
    return t;
  }();
  return table;
}

// The line is a change of 0.1 with the darker side below 0.8; the guard
// counts from inside it, so a pair on the line (255 and 232 grey: 0.807)
// is a flash here however an encoder rounds it.
constexpr float kChange = 0.09f;  // a change of relative luminance that counts
constexpr float kEasedChange = 0.06f;  // what an eased frame may change at most
constexpr float kDarkBelow = 0.85f;
constexpr size_t kBlocks = FlashGuard::kColumns * FlashGuard::kRows;
constexpr size_t kCellCount = FlashGuard::kCells * FlashGuard::kCells;
// Every few pixels of a block are enough for its mean.
constexpr int kStep = 4;

}  // namespace

FlashGuard::FlashGuard(int width, int height, double fps, int maxFlashes, PictureLayout layout)
    : width_(width), height_(height), layout_(layout), window_(std::max(1, static_cast<int>(std::lround(fps)))),
      maxTransitions_(2 * maxFlashes), blocks_(kBlocks + kCellCount),
      means_(blocks_.size()), trial_(blocks_.size()) {}

void FlashGuard::colourAt(const std::vector<uint8_t>& picture, float k, int x, int y, float rgb[3]) const {
  const bool mixed = k < 1.0f;
  auto value = [&](size_t at) {
    return mixed ? static_cast<float>(prev_[at]) + k * (static_cast<float>(picture[at]) - static_cast<float>(prev_[at]))
                 : static_cast<float>(picture[at]);
  };
  const auto width = static_cast<size_t>(width_);
  if (layout_ == PictureLayout::Rgba) {
    const size_t at = (static_cast<size_t>(y) * width + static_cast<size_t>(x)) * 4;
    for (size_t c = 0; c < 3; ++c) {
      rgb[c] = value(at + c);
    }
    return;
  }
  // BT.709 limited range back to full-range RGB.
  const size_t chroma = width * static_cast<size_t>(height_) + static_cast<size_t>(y / 2) * width +
                        static_cast<size_t>(x / 2);
  const float luma = (value(static_cast<size_t>(y) * width + static_cast<size_t>(x)) - 16.0f) * (255.0f / 219.0f);
  const float cb = (value(chroma) - 128.0f) * (255.0f / 224.0f);
  const float cr = (value(chroma + width / 2) - 128.0f) * (255.0f / 224.0f);
  rgb[0] = luma + 1.5748f * cr;
  rgb[1] = luma - 0.187324f * cb - 0.468124f * cr;
  rgb[2] = luma + 1.8556f * cb;
}

void FlashGuard::measure(const std::vector<uint8_t>& picture, float k, std::vector<float>& out) const {
  const auto& lin = linear();
  std::vector<int> counts(out.size(), 0);
  std::fill(out.begin(), out.end(), 0.0f);
  // Every few pixels, but never so few that a block of a small frame goes
  // unsampled (an empty block would dilute every window it is in).
  const int stepX = std::clamp(width_ / kColumns, 1, kStep);
  const int stepY = std::clamp(height_ / kRows, 1, kStep);
  // Rounded to the nearest code by adding a half (what is below zero is
  // clamped anyway): lround's call was a third of the guard's time.
  auto linearOf = [&lin](float c) { return lin[static_cast<size_t>(std::clamp(static_cast<int>(c + 0.5f), 0, 255))]; };
  std::vector<int> columns;
  for (int x = stepX / 2; x < width_; x += stepX) {
    columns.push_back(std::min(kColumns - 1, x * kColumns / width_));
  }
  for (int y = stepY / 2; y < height_; y += stepY) {
    const int row = std::min(kRows - 1, y * kRows / height_);
    int x = stepX / 2;
    for (const int column : columns) {
      float rgb[3];
      colourAt(picture, k, x, y, rgb);
      const size_t block = static_cast<size_t>(row * kColumns + column);
      out[block] += 0.2126f * linearOf(rgb[0]) + 0.7152f * linearOf(rgb[1]) + 0.0722f * linearOf(rgb[2]);
      ++counts[block];
      x += stepX;
    }
  }
  for (size_t b = 0; b < kBlocks; ++b) {
    out[b] = counts[b] > 0 ? out[b] / static_cast<float>(counts[b]) : 0.0f;
  }
  // A cell is the mean of its 8x4 blocks.
  for (int cell = 0; cell < kCells * kCells; ++cell) {
    float sum = 0;
    for (int r = 0; r < kRows / kCells; ++r) {
      for (int c = 0; c < kColumns / kCells; ++c) {
        const int row = (cell / kCells) * (kRows / kCells) + r;
        const int column = (cell % kCells) * (kColumns / kCells) + c;
        sum += out[static_cast<size_t>(row * kColumns + column)];
      }
    }
    out[kBlocks + static_cast<size_t>(cell)] = sum / static_cast<float>((kRows / kCells) * (kColumns / kCells));
  }
}

int FlashGuard::changing(const Block* blocks, size_t count, const float* means, float change, int needed) {
  int up = 0;
  int down = 0;
  for (size_t b = 0; b < count; ++b) {
    const Block& block = blocks[b];
    const float y = means[b];
    if (block.direction <= 0 && y - block.extreme >= change && block.extreme < kDarkBelow) {
      ++up;
    } else if (block.direction >= 0 && block.extreme - y >= change && y < kDarkBelow) {
      ++down;
    }
  }
  return up >= needed ? 1 : down >= needed ? -1 : 0;
}

// A quarter of the blocks, or a quarter of the cells, changing one way.
int FlashGuard::transition(const std::vector<float>& means, float change) const {
  const auto quarter = [](size_t count) { return static_cast<int>(count + 3) / 4; };
  if (const int fine = changing(blocks_.data(), kBlocks, means.data(), change, quarter(kBlocks)); fine != 0) {
    return fine;
  }
  return changing(blocks_.data() + kBlocks, kCellCount, means.data() + kBlocks, change, quarter(kCellCount));
}

void FlashGuard::commit(const std::vector<float>& means) {
  for (size_t b = 0; b < blocks_.size(); ++b) {
    Block& block = blocks_[b];
    const float y = means[b];
    if (first_) {
      // The first frame is where each block starts, not a change from black:
      // counted as one, the next real change would pass as its continuation.
      block.extreme = y;
      block.direction = 0;
    } else if (block.direction <= 0 && y - block.extreme >= kChange && block.extreme < kDarkBelow) {
      block.direction = 1;
      block.extreme = y;
    } else if (block.direction >= 0 && block.extreme - y >= kChange && y < kDarkBelow) {
      block.direction = -1;
      block.extreme = y;
    } else if ((block.direction > 0 && y > block.extreme) || (block.direction < 0 && y < block.extreme) ||
               block.direction == 0) {
      // Still going the same way: the extreme follows; with no change yet
      // it stays where the block started.
      block.extreme = block.direction == 0 ? block.extreme : y;
    }
  }
  first_ = false;
}

bool FlashGuard::apply(std::vector<uint8_t>& rgba) {
  // (Planes too: a mix of two pictures is the same mix of their planes.)
  const int64_t n = frame_++;
  while (!recent_.empty() && recent_.front() <= n - window_) {
    recent_.pop_front();
  }
  measure(rgba, 1.0f, means_);
  int way = first_ ? 0 : transition(means_, kChange);
  bool eased = false;
  if (way != 0 && static_cast<int>(recent_.size()) >= maxTransitions_) {
    // The most of the new frame that stays well short of a transition: an
    // encoder's rounding must not carry it over the line.
    float low = 0.0f;
    float high = 1.0f;
    for (int i = 0; i < 10; ++i) {
      const float k = (low + high) / 2;
      measure(rgba, k, trial_);
      (transition(trial_, kEasedChange) == 0 ? low : high) = k;
    }
    const float k = low;
    for (size_t i = 0; i < rgba.size(); ++i) {
      if (layout_ == PictureLayout::Planes420 || i % 4 != 3) {
        rgba[i] = static_cast<uint8_t>(std::lround(prev_[i] + k * (static_cast<float>(rgba[i]) - prev_[i])));
      }
    }
    measure(rgba, 1.0f, means_);
    way = transition(means_, kChange);
    eased = true;
    ++eased_;
  }
  if (way != 0) {
    recent_.push_back(n);
    ++transitions_;
    most_ = std::max(most_, static_cast<int>(recent_.size()));
  }
  commit(means_);
  prev_ = rgba;
  return eased;
}
