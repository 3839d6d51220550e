// flashGuard.h — at most three general flashes a second in what is encoded.
//
// A general flash (ITU-R BT.1702, WCAG 2.3.1) is a pair of opposing changes
// of relative luminance of 10% or more, the darker state below 0.8, over a
// quarter of the frame or more. The guard measures each frame as a grid of
// blocks, each block's mean relative luminance (sRGB decoded, BT.709
// weights), at two scales: 32x16 small blocks and the 4x4 cells they make
// up (every block sampled, however small the frame). A block *changes* when
// it has moved 0.09 or more from its last extreme against its last change,
// the darker side below 0.85: a margin inside the rule's 0.1 and 0.8, so a
// pair sitting on the line (255 and 232 grey) is still caught after an
// encoder's rounding. A frame where a quarter of the blocks of either scale
// change one way is a *transition*, and two transitions make a flash. A
// frame that would be a transition when the second before it already holds
// six is eased: mixed with the frame sent before, so that it changes 0.06 at
// most. The picture then catches up a
// step at a time and the flash comes when the second allows it. A picture
// that never flashes that fast passes byte for byte.
//
// Saturated red flashes (the standard's second kind) are not measured.
//
// Threading: one thread (the encoder thread); frames in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "video/pictureLayout.h"

class FlashGuard {
 public:
  // fps: frames a second, for the one-second window; maxFlashes a second.
  FlashGuard(int width, int height, double fps, int maxFlashes = 3, PictureLayout layout = PictureLayout::Rgba);

  // Measures the frame (in the layout given) and eases it in place where it
  // would be one transition too many; true when it did.
  bool apply(std::vector<uint8_t>& picture);
  int64_t eased() const { return eased_; }
  // Transitions in what was sent, and the most in any one second.
  int64_t transitions() const { return transitions_; }
  int mostInASecond() const { return most_; }

  static constexpr int kColumns = 32;
  static constexpr int kRows = 16;
  static constexpr int kCells = 4;  // cells a side, each 8x4 blocks

 private:
  struct Block {
    float extreme = 0;  // the luminance at the last extreme since its last change
    int direction = 0;  // its last change: +1 brighter, -1 darker, 0 none yet
  };
  // Each block's mean luminance of `rgba`, or of prev_ + k × (rgba − prev_),
  // then each cell's (after the blocks, in `out`).
  void measure(const std::vector<uint8_t>& picture, float k, std::vector<float>& out) const;
  // Pixel (x, y)'s full-range RGB, of the picture mixed k of the way from prev_.
  void colourAt(const std::vector<uint8_t>& picture, float k, int x, int y, float rgb[3]) const;
  // Which way a quarter of the blocks or of the cells would change with these
  // means (0: no transition).
  int transition(const std::vector<float>& means, float change) const;
  // +1 or −1 when at least `needed` of the blocks change that way, else 0.
  static int changing(const Block* blocks, size_t count, const float* means, float change, int needed);
  void commit(const std::vector<float>& means);

  int width_;
  int height_;
  PictureLayout layout_;
  int window_;  // frames in one second
  int maxTransitions_;
  bool first_ = true;
  std::vector<Block> blocks_;  // kColumns × kRows, then kCells × kCells
  std::vector<uint8_t> prev_;  // the frame last sent
  std::deque<int64_t> recent_;  // frame numbers of the transitions in the last second
  std::vector<float> means_;
  std::vector<float> trial_;
  int64_t frame_ = 0;
  int64_t eased_ = 0;
  int64_t transitions_ = 0;
  int most_ = 0;
};
