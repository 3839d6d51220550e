// soundSource.h — where a frame's sound comes from. Three kinds: a file read
// offline at exact frame times (WindowReader, for render), a file decoded
// whole and played live (MemorySound, for play), and a capture device
// (Capture, for play --capture). Each answers one question: the sound around
// a sound frame, as the per-frame analysis takes it.
//
// Threading: each source on one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "sound/analysis.h"

class SoundSource {
 public:
  virtual ~SoundSource() = default;
  virtual int rate() const = 0;
  // The sound of the frame that starts at sound frame `frame`. A capture
  // device has only what it heard last and gives that, whatever the frame.
  virtual void around(int64_t frame, FrameSound& out) = 0;
};

// A sound decoded whole into memory: interleaved 16-bit frames from frame 0.
class MemorySound : public SoundSource {
 public:
  MemorySound(const std::vector<int16_t>& samples, int channels, int rate)
      : samples_(samples), channels_(channels), rate_(rate) {}
  int rate() const override { return rate_; }
  void around(int64_t frame, FrameSound& out) override { soundAround(samples_, 0, channels_, frame, out); }

 private:
  const std::vector<int16_t>& samples_;
  int channels_;
  int rate_;
};
