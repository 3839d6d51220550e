// tempoTuning.h — the beat tracker's tuned figures and the small helpers the
// whole-song tracker and the live one share. Private to sound/.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace tempoTuning {

constexpr int kWindow = 1024;  // aubio's analysis window and hop at 44.1 kHz
constexpr int kHop = 512;
// How far from a tracked beat its attack is looked for, in milliseconds, and
// how much the energy must rise there (natural log of the ratio) to be one.
constexpr int kAttackReach = 60;
constexpr double kAttackRise = 0.7;
// A song is steady when at least this share of its beats land on an attack
// and this share of its beat intervals agree with their neighbours.
constexpr double kOnAttacks = 0.5;
constexpr double kAgreeing = 0.7;
constexpr double kAgree = 0.12;  // within 12% of the neighbours' median
constexpr int kMinimumBeats = 8;
// Dividing the tracker's beat: never past this tempo, and only where this
// share of beats has the attacks between of at least this share of their strength.
constexpr double kFastest = 200;
constexpr double kBetween = 0.9;
constexpr double kBetweenStrength = 0.6;
constexpr double kPreferred = 160;
// How far from where a beat is due its attack may be, as a share of the beat.
constexpr double kSnap = 0.12;
// How far a beat is pulled onto its attack, and how many intervals between
// attacks the walk's tempo follows.
constexpr double kPull = 0.5;
constexpr int kFollow = 4;
// Beats in a row without an attack before the walk looks to the tracker to
// take the beat up again; and how many of the tracker's beats on attacks in
// a row the walk starts from.
constexpr int kLost = 2;
constexpr double kAround = 3;  // seconds either side for the tracker's beat length
constexpr size_t kRun = 8;
// How near its attack a walked beat must be to be put on it.
constexpr double kSettle = 0.04;
// The intervals either side of a beat its tempo is taken from.
constexpr int kTempoReach = 4;
// The downbeat is looked for in this many first bars.
constexpr int kDownbeatBars = 8;

inline double median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  const size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
  return values[middle];
}

// The median of the intervals from beat k − reach to beat k + reach.
inline double localInterval(const std::vector<double>& beats, size_t k, int reach) {
  std::vector<double> around;
  const size_t from = k > static_cast<size_t>(reach) ? k - static_cast<size_t>(reach) : 0;
  for (size_t i = from; i + 1 < beats.size() && i < k + static_cast<size_t>(reach); ++i) {
    around.push_back(beats[i + 1] - beats[i]);
  }
  return median(around);
}

// The mean of each frame's channels, times `scale`, into mono.
template <class Sample>
void mixDown(const Sample* interleaved, size_t frames, int channels, float scale, float* mono) {
  const float each = scale / static_cast<float>(channels);
  for (size_t i = 0; i < frames; ++i) {
    float sum = 0;
    for (int c = 0; c < channels; ++c) {
      sum += static_cast<float>(interleaved[i * static_cast<size_t>(channels) + static_cast<size_t>(c)]);
    }
    mono[i] = sum * each;
  }
}

}  // namespace tempoTuning
