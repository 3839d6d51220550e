// loudness.h — how loud a song is, as EBU R128 measures it (integrated
// loudness, K-weighted and gated, in LUFS), and the gain that brings what a
// picture sees of it to one reference loudness, so a loud master and a
// quiet one look alike. Only what the analysis sees is levelled; the sound
// that is heard or encoded never is.
//
// Silence measures −∞ and is never lifted; nor is a song quieter than
// kQuietest, whose sound is mostly noise floor. The gain is bounded either way.
//
// Threading: plain functions and one RunningLevel per thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"

// Where upload sites play music, and what the analysis' scales were made for.
constexpr double kReferenceLoudness = -14.0;  // LUFS
constexpr double kMaxLevellingDb = 24.0;
constexpr double kQuietest = -60.0;  // LUFS

// The integrated loudness of a whole file, read through a reader of its own
// (−∞ for silence); refused with the reason when it cannot be read.
Result<double> measureLoudness(const std::string& path);
// An album's songs one after another, as one (ReplayGain's album loudness).
Result<double> measureLoudness(const std::vector<std::string>& paths);
// The same of interleaved 16-bit frames in memory.
double measureLoudness(const std::vector<int16_t>& frames, int channels, int rate);

// The gain in dB that brings `loudness` to kReferenceLoudness, bounded to
// ±kMaxLevellingDb; 0 for silence and for anything quieter than kQuietest.
double levellingGain(double loudness);

// Levelling as it goes, for a capture device, where the song's whole
// loudness is never known: the mean power of what was heard lately (over
// about ten seconds, unweighted and ungated, so an estimate of LUFS) gives a
// gain that moves at most a few dB a second.
class RunningLevel {
 public:
  // One frame's mono samples (−1..1) and the seconds since the frame before;
  // the gain in dB to use for this frame.
  double step(const std::vector<float>& mono, double dt);

 private:
  double power_ = 0;
  double seconds_ = 0;
  double gain_ = 0;
};
