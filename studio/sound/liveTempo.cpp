// liveTempo.cpp — see tempo.h: the beat as a live sound is heard.
#include "sound/tempo.h"

#include <algorithm>
#include <cmath>

#include "sound/tempoTuning.h"

using namespace tempoTuning;

void LiveTempo::add(const std::vector<int16_t>& interleaved, int channels) {
  if (channels <= 0) {
    return;
  }
  mono_.resize(interleaved.size() / static_cast<size_t>(channels));
  mixDown(interleaved.data(), mono_.size(), channels, 1.0f / 32768, mono_.data());
  tracker_.add(mono_.data(), static_cast<int64_t>(mono_.size()));
  // The tracker's own beats, each on its attack.
  if (tracker_.lastBeat() > seen_) {
    seen_ = tracker_.lastBeat();
    bool found = false;
    const double at = tracker_.attackAt(seen_, kAttackReach / 1000.0, found);
    if (recent_.empty() || at > recent_.back() + std::max(0.05, 0.5 * period_)) {
      keep(at, found);
    }
  }
  // Once there is a tempo, the beats it predicts, each put on its attack once
  // it has been heard: the tracker now and then goes quiet for seconds.
  constexpr double kRest = 4.0;
  while (period_ > 0 && tracker_.heard() - confirmed_ <= kRest) {
    const double due = recent_.back() + period_;
    const double reach = std::min(kAttackReach / 1000.0, kSnap * period_);
    if (tracker_.heard() < due + reach + 0.02) {
      break;
    }
    bool found = false;
    const double at = tracker_.attackAt(due, reach, found);
    keep(at, found);
  }
  constexpr double kEnergyKept = 20;  // seconds
  tracker_.forgetBefore(tracker_.heard() - kEnergyKept);
}

void LiveTempo::keep(double beat, bool onAttack) {
  recent_.push_back(beat);
  ++count_;
  confirmed_ = onAttack ? beat : confirmed_;
  constexpr size_t kKept = 2 * kTempoReach + 1;
  if (recent_.size() > kKept) {
    recent_.erase(recent_.begin());
  }
  // The tempo: the mean of the latest intervals that agree with their median.
  period_ = 0;
  if (recent_.size() < 3) {
    return;
  }
  const double usual = localInterval(recent_, recent_.size() - 1, static_cast<int>(recent_.size()));
  double sum = 0;
  int n = 0;
  for (size_t k = 0; k + 1 < recent_.size(); ++k) {
    const double interval = recent_[k + 1] - recent_[k];
    if (std::fabs(interval - usual) <= kAgree * usual) {
      sum += interval;
      ++n;
    }
  }
  period_ = n >= 2 ? sum / n : 0;
}

BeatAt LiveTempo::now() const {
  BeatAt out;
  constexpr double kRest = 4.0;  // seconds without a beat heard before the phases rest
  if (period_ <= 0 || tracker_.heard() - confirmed_ > kRest) {
    return out;
  }
  const double beats = (tracker_.heard() - recent_.back()) / period_;
  // The phase carries on past a late beat rather than run backwards.
  out.bpm = 60.0 / period_;
  out.beatIndex = count_ - 1 + static_cast<int>(std::floor(beats));
  out.beatPhase = beats - std::floor(beats);
  const double bars = (out.beatIndex + out.beatPhase) / beatsPerBar_;
  out.barIndex = static_cast<int>(std::floor(bars));
  out.barPhase = bars - std::floor(bars);
  return out;
}
