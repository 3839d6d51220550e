// soundPass.h — Shadertoy's Sound pass drawn into samples. mainSound runs
// once for each stereo sample, a pixel each, kSoundWidth × kSoundRows
// samples a draw, into 32-bit float pixels read back as they are (no 8- or
// 16-bit packing on the way), then clipped to −1…1. NaN and infinities
// become silence and are counted.
//
// Samples are rows of kSoundWidth; a draw covers up to kSoundRows rows
// (fewer while draws are slow, so a slow pass is stopped early) and sample
// n is pixel (n % 512, n / 512 − iFrame) of the draw whose first row,
// iFrame, is at or before n / 512. The pass is drawn as a one-pass picture
// (its uniforms, channels and stand-ins as any Shadertoy pass has them).
//
// Glossary. A *sample* here is one stereo frame (left and right); a *block*
// is kBlockSamples of them, the piece the time limit is counted over.
//
// Threading: only on the thread whose GL context is current, drawing into a
// framebuffer of kSoundWidth × kSoundRows 32-bit floats (a SoundCanvas),
// which must outlive the drawing.
#pragma once

#include <cstdint>
#include <string>
#include <memory>
#include <vector>

#include "base/status.h"
#include "glCall.h"
#include "picture/passes.h"

class Picture;

// Where a Sound pass draws in whatever context is current (an EGL context of
// its own, or play's window): a framebuffer of kSoundWidth × kSoundRows
// 32-bit floats, bound while it lives; the framebuffers and viewport bound
// before are bound again after.
class SoundCanvas {
 public:
  SoundCanvas();
  ~SoundCanvas();
  SoundCanvas(const SoundCanvas&) = delete;
  SoundCanvas& operator=(const SoundCanvas&) = delete;
  // Success, or why the driver cannot draw into such a framebuffer.
  const Status& made() const { return made_; }

 private:
  GLuint framebuffer_ = 0;
  GLuint colour_ = 0;
  GLint drawBefore_ = 0;
  GLint readBefore_ = 0;
  GLint viewportBefore_[4] = {};
  Status made_;
};

class SoundPass {
 public:
  // The site's rate: sample n is at n / 44100 s.
  static constexpr int kRate = 44100;
  // 512 × 512 samples, as the site draws them.
  static constexpr int64_t kBlockSamples = 512 * 512;

  // maxBlockSeconds: the wall time one block (5.9 s of sound) may take
  // before the pass is stopped: past five times slower than it plays, a
  // minute of sound would take over five minutes. Stopped as soon as the
  // pace says so, not once the time is spent.
  explicit SoundPass(double maxBlockSeconds = 30);
  ~SoundPass();
  SoundPass(const SoundPass&) = delete;
  SoundPass& operator=(const SoundPass&) = delete;

  // Compiles the pass (mainSound(int, float), else mainSound(float));
  // refused with the driver's log naming the file and line.
  Status build(const PassSource& pass, const Notes& notes);
  // Stereo samples [first, first + count) into out, interleaved; refused
  // when a block takes longer than the limit.
  Status draw(int64_t first, int64_t count, float* out);
  // How many samples so far were NaN or infinite (now silence).
  int64_t nonFinite() const { return nonFinite_; }
  // Wall time spent drawing and reading back, in seconds.
  double drawSeconds() const { return drawSeconds_; }

 private:
  Status drawRows(int64_t row, int rows);

  std::unique_ptr<Picture> picture_;
  std::vector<float> pixels_;  // the last draw's RGBA floats
  int64_t firstRow_ = -1;      // the rows pixels_ holds
  int64_t rowsHeld_ = 0;
  int rowsPerDraw_ = 1;
  double maxBlockSeconds_;
  double blockSeconds_ = 0;  // spent on the block being drawn, over blockRows_ rows
  int64_t blockRows_ = 0;
  int64_t block_ = -1;
  int64_t nonFinite_ = 0;
  double drawSeconds_ = 0;
  float date_[4] = {0, 0, 0, 0};
};
