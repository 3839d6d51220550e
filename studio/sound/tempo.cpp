#include "sound/tempo.h"

#include <aubio/aubio.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "sound/album.h"
#include "sound/soundStream.h"
#include "sound/tempoTuning.h"

using namespace tempoTuning;

namespace {

struct Attack {
  double seconds = 0;
  float strength = 0;
  bool found = false;
};

// The sharpest rise of the energy within kAttackReach ms of `seconds`.
Attack attackNear(const std::vector<float>& energy, double block, double seconds, double reachSeconds) {
  Attack best{seconds, 0, false};
  const auto mean = [&](long from, long to) {
    double sum = 0;
    long n = 0;
    for (long i = std::max(0L, from); i < std::min<long>(to, static_cast<long>(energy.size())); ++i, ++n) {
      sum += energy[static_cast<size_t>(i)];
    }
    return n > 0 ? sum / static_cast<double>(n) : 0.0;
  };
  const long centre = std::lround(seconds / block);
  const long reach = std::lround(reachSeconds / block);
  double bestRise = kAttackRise;
  for (long i = centre - reach; i <= centre + reach; ++i) {
    if (i < 1 || i + 3 > static_cast<long>(energy.size())) {
      continue;
    }
    const double after = mean(i, i + 3);
    const double rise = std::log(1e-10 + after) - std::log(1e-10 + mean(i - 10, i));
    if (rise > bestRise) {
      bestRise = rise;
      best = Attack{static_cast<double>(i) * block, static_cast<float>(mean(i, i + 10)), true};
    }
  }
  return best;
}

// The beats walked from the tracker's first one at its tempo, each put on
// the attack nearest where it is due (or on the tracker's own beat there,
// or where it is due when the sound has neither), the tempo following the
// intervals between attacks that agree with it; and walked back the same
// way to the song's start, where the tracker had not yet found the beat.
struct Walk {
  std::vector<double> beats;
  std::vector<float> strengths;
  size_t onAttacks = 0;
};

// The beat walked from a start, one way at a time, over the attacks heard:
// each beat is looked for where the last one and the walk's tempo say it is
// due, and taken up again from the tracker where it was lost.
class BeatWalker {
 public:
  BeatWalker(const std::vector<float>& energy, double block, const std::vector<double>& tracked, double period,
             double end)
      : energy_(energy), block_(block), tracked_(tracked), period_(period), end_(end) {}

  // The tracker's beats from `from` on that begin a run of beats on attacks
  // (an intro without drums gives the tracker little to go by).
  size_t firstRun() const {
    const double reach = std::min(kAttackReach / 1000.0, kSnap * period_);
    size_t from = 0;
    int bestRun = -1;
    for (size_t k = 0; k < tracked_.size(); ++k) {
      int run = 0;
      for (size_t i = k; i < std::min(tracked_.size(), k + kRun); ++i) {
        run += attackNear(energy_, block_, tracked_[i], reach).found;
      }
      if (run > bestRun) {
        bestRun = run;
        from = k;
      }
      if (run >= static_cast<int>(kRun) - 1) {
        break;
      }
    }
    return from;
  }

  void walk(double from, double direction, Walk& out) const {
    double step = period_;
    std::vector<double> agreeing;  // the latest intervals between attacks
    double last = from;
    bool lastOnAttack = true;
    int missed = 0;  // beats in a row with no attack where due
    for (;;) {
      const double due = last + direction * step;
      if (due < 0 || due >= end_) {
        break;
      }
      const double reach = std::min(kAttackReach / 1000.0, kSnap * step);
      const Attack a = attackNear(energy_, block_, due, reach);
      // Pulled halfway onto the attack, as a phase-locked loop: a beat
      // drawn off by a syncopated note does not drag the ones after it.
      double at = due;
      if (a.found) {
        at = due + kPull * (a.seconds - due);
      } else if (const double t = trackedNear(due, 0.25 * step); t >= 0) {
        at = due + kPull * (t - due);
      }
      // Lost (after a break, or off the beat): where for two beats running
      // there was no attack where due, or the tracker had its beat on a
      // stronger attack within half a beat, the walk takes the beat up there.
      // (Only where the tracker counts the beat at the walk's tempo: not where
      // it has gone over to another level of the metre.)
      const double t = trackedNear(due, 0.5 * step);
      const double theirs = t >= 0 ? trackedInterval(t) : 0;
      const Attack there =
          t >= 0 && std::fabs(theirs - step) <= kAgree * step ? attackNear(energy_, block_, t, reach) : Attack{};
      const bool elsewhere = there.found && std::fabs(there.seconds - at) > reach &&
                             there.strength > (a.found ? a.strength : 0.0f);
      missed = !a.found || elsewhere ? missed + 1 : 0;
      if (missed >= kLost && there.found) {
        at = there.seconds;
        missed = 0;
        agreeing.clear();
      }
      const double interval = std::fabs(at - last);
      if (a.found && lastOnAttack && std::fabs(interval - step) <= kAgree * step) {
        agreeing.push_back(interval);
        if (agreeing.size() > static_cast<size_t>(kFollow)) {
          agreeing.erase(agreeing.begin());
        }
        step = std::accumulate(agreeing.begin(), agreeing.end(), 0.0) / static_cast<double>(agreeing.size());
      }
      out.beats.push_back(at);
      out.strengths.push_back(a.found ? a.strength : 0.0f);
      out.onAttacks += a.found;
      last = at;
      lastOnAttack = a.found;
    }
  }

 private:
  double trackedNear(double t, double reach) const {
    const auto it = std::lower_bound(tracked_.begin(), tracked_.end(), t - reach);
    return it != tracked_.end() && *it <= t + reach ? *it : -1.0;
  }
  // The tracker's own beat length around a moment: the median of its
  // intervals within a few seconds.
  double trackedInterval(double t) const {
    std::vector<double> intervals;
    auto it = std::lower_bound(tracked_.begin(), tracked_.end(), t - kAround);
    for (; it != tracked_.end() && it + 1 != tracked_.end() && *it < t + kAround; ++it) {
      intervals.push_back(*(it + 1) - *it);
    }
    return median(intervals);
  }

  const std::vector<float>& energy_;
  double block_;
  const std::vector<double>& tracked_;
  double period_;
  double end_;
};

Walk walkBeats(const std::vector<float>& energy, double block, const std::vector<double>& tracked, double period,
               double end) {
  const BeatWalker walker(energy, block, tracked, period, end);
  const double reach = std::min(kAttackReach / 1000.0, kSnap * period);
  const size_t from = walker.firstRun();
  const Attack first = attackNear(energy, block, tracked[from], reach);
  const double start = first.found ? first.seconds : tracked[from];
  Walk back, on;
  walker.walk(start, -1, back);
  walker.walk(start, 1, on);
  Walk out;
  out.beats.assign(back.beats.rbegin(), back.beats.rend());
  out.strengths.assign(back.strengths.rbegin(), back.strengths.rend());
  out.beats.push_back(start);
  out.strengths.push_back(first.found ? first.strength : 0.0f);
  out.beats.insert(out.beats.end(), on.beats.begin(), on.beats.end());
  out.strengths.insert(out.strengths.end(), on.strengths.begin(), on.strengths.end());
  out.onAttacks = back.onAttacks + on.onAttacks + (first.found ? 1 : 0);
  return out;
}

// The share of walked beats with an attack at each of the `parts` even
// places up to the next, not much weaker than the beats' own.
double attacksBetween(const std::vector<float>& energy, double block, const Walk& walk, int parts) {
  if (walk.beats.size() < 2) {
    return 0;
  }
  // Against the weaker beats (a quarter are weaker), so a loud downbeat
  // does not hide beats as loud as the rest of the bar.
  std::vector<double> strengths(walk.strengths.begin(), walk.strengths.end());
  std::sort(strengths.begin(), strengths.end());
  const double usual = strengths[strengths.size() / 4];
  size_t found = 0;
  for (size_t k = 0; k + 1 < walk.beats.size(); ++k) {
    const double interval = walk.beats[k + 1] - walk.beats[k];
    bool all = true;
    for (int p = 1; p < parts && all; ++p) {
      const double reach = std::min(0.03, 0.12 * interval / parts);
      const Attack a = attackNear(energy, block, walk.beats[k] + interval * p / parts, reach);
      all = a.found && a.strength >= kBetweenStrength * usual;
    }
    found += all;
  }
  return static_cast<double>(found) / static_cast<double>(walk.beats.size() - 1);
}

}  // namespace

struct BeatTracker::Aubio {
  aubio_tempo_t* tempo = nullptr;
  fvec_t* in = nullptr;
  fvec_t* out = nullptr;
  ~Aubio() {
    if (tempo) {
      del_aubio_tempo(tempo);
    }
    if (in) {
      del_fvec(in);
    }
    if (out) {
      del_fvec(out);
    }
  }
};

BeatTracker::BeatTracker(int rate) : rate_(std::max(rate, 1)), blockSize_(std::max(1, rate / 1000)) {
  // The window and hop keep their length in time at any rate.
  const double scale = rate_ / 44100.0;
  int window = 1;
  while (window < kWindow * scale * 0.75) {
    window *= 2;
  }
  hop_ = window * kHop / kWindow;
  auto made = std::make_unique<Aubio>();
  made->tempo = new_aubio_tempo("default", static_cast<uint_t>(window), static_cast<uint_t>(hop_),
                                static_cast<uint_t>(rate_));
  made->in = new_fvec(static_cast<uint_t>(hop_));
  made->out = new_fvec(2);
  if (made->tempo && made->in && made->out) {
    tempo_ = std::move(made);
  }
  pending_.reserve(static_cast<size_t>(hop_));
}

BeatTracker::~BeatTracker() = default;

void BeatTracker::add(const float* mono, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    const float v = std::isfinite(mono[i]) ? mono[i] : 0.0f;
    blockEnergy_ += static_cast<double>(v) * v;
    if (++blockFill_ == blockSize_) {
      energy_.push_back(static_cast<float>(blockEnergy_ / blockSize_));
      blockEnergy_ = 0;
      blockFill_ = 0;
    }
    pending_.push_back(v);
    if (static_cast<int>(pending_.size()) < hop_) {
      continue;
    }
    fed_ += hop_;
    if (tempo_) {
      std::copy(pending_.begin(), pending_.end(), tempo_->in->data);
      aubio_tempo_do(tempo_->tempo, tempo_->in, tempo_->out);
      if (tempo_->out->data[0] != 0) {
        lastBeat_ = aubio_tempo_get_last_s(tempo_->tempo);
        beats_.push_back(lastBeat_);
      }
    }
    pending_.clear();
  }
}

double BeatTracker::attackAt(double seconds, double reach, bool& found) const {
  const double block = static_cast<double>(blockSize_) / rate_;
  const double from = static_cast<double>(energyFrom_) * block;
  const Attack a = attackNear(energy_, block, seconds - from, reach);
  found = a.found;
  return a.found ? a.seconds + from : seconds;
}

void BeatTracker::forgetBefore(double seconds) {
  const double block = static_cast<double>(blockSize_) / rate_;
  const auto drop = static_cast<int64_t>(seconds / block) - energyFrom_;
  // A second's worth at a time, not every call.
  if (drop > static_cast<int64_t>(1.0 / block) && drop <= static_cast<int64_t>(energy_.size())) {
    energy_.erase(energy_.begin(), energy_.begin() + static_cast<std::ptrdiff_t>(drop));
    energyFrom_ += drop;
  }
}

double BeatTracker::trackedBpm() const { return tempo_ ? aubio_tempo_get_bpm(tempo_->tempo) : 0.0; }

BeatGrid BeatTracker::grid(const TempoSettings& settings) const {
  std::vector<double> tracked;
  for (double b : beats_) {
    if (b >= 0 && (tracked.empty() || b > tracked.back())) {
      tracked.push_back(b);
    }
  }
  if (tracked.size() < 2) {
    return BeatGrid();
  }
  std::vector<double> intervals;
  for (size_t k = 0; k + 1 < tracked.size(); ++k) {
    intervals.push_back(tracked[k + 1] - tracked[k]);
  }
  const double block = static_cast<double>(blockSize_) / rate_;
  double period = median(intervals);
  // Of a tempo and its double, the slower is taken past kPreferred (the
  // tracker often counts eighths); the attacks between may yet make it faster.
  while (60.0 / period > kPreferred) {
    period *= 2;
  }
  Walk walk = walkBeats(energy_, block, tracked, period, heard());
  // A tracker may lock to every second or third beat; where nearly every
  // walked beat has attacks evenly between it and the next, the beat is
  // that much faster.
  for (bool faster = true; faster;) {
    faster = false;
    for (const int parts : {2, 3}) {
      if (60.0 / period * parts <= kFastest && attacksBetween(energy_, block, walk, parts) >= kBetween) {
        period /= parts;
        walk = walkBeats(energy_, block, tracked, period, heard());
        faster = true;
        break;
      }
    }
  }
  // Each walked beat onto the attack right by it, where there is one; the
  // tempo is read from the walk, steadier than attacks in busy music.
  const std::vector<double> walked = walk.beats;
  for (double& beat : walk.beats) {
    const double reach = std::min(kSettle, kSnap * period);
    const Attack a = attackNear(energy_, block, beat, reach);
    beat = a.found ? a.seconds : beat;
  }
  if (walk.beats.size() < static_cast<size_t>(kMinimumBeats) ||
      walk.onAttacks < kOnAttacks * static_cast<double>(walk.beats.size())) {
    return BeatGrid();
  }
  return BeatGrid::fromBeats(walk.beats, walk.strengths, settings, walked);
}

namespace {

// Doubled beats dropped: the weaker of two much closer than their neighbours.
void dropDoubledBeats(std::vector<double>& beats, std::vector<float>& strengths) {
  for (size_t k = 1; k < beats.size();) {
    const double usual = localInterval(beats, k, kTempoReach);
    if (beats[k] - beats[k - 1] < 0.5 * usual) {
      const size_t weaker = strengths[k] < strengths[k - 1] ? k : k - 1;
      beats.erase(beats.begin() + static_cast<std::ptrdiff_t>(weaker));
      strengths.erase(strengths.begin() + static_cast<std::ptrdiff_t>(weaker));
      continue;
    }
    ++k;
  }
}

// Gaps filled evenly where the tracker lost the beat (a filled beat has no strength).
void fillGaps(const std::vector<double>& beats, const std::vector<float>& strengths, std::vector<double>& filled,
              std::vector<float>& filledStrengths) {
  filled = {beats.front()};
  filledStrengths = {strengths.front()};
  for (size_t k = 1; k < beats.size(); ++k) {
    const double usual = localInterval(beats, k - 1, kTempoReach);
    const double gap = beats[k] - beats[k - 1];
    const int steps = usual > 0 ? std::max(1, static_cast<int>(std::lround(gap / usual))) : 1;
    for (int s = 1; s < steps; ++s) {
      filled.push_back(beats[k - 1] + gap * s / steps);
      filledStrengths.push_back(0);
    }
    filled.push_back(beats[k]);
    filledStrengths.push_back(strengths[k]);
  }
}

// The downbeat: given (at or above 0), the beat nearest; else of the first
// bars' beats at each place in the bar, the place whose attacks are the strongest.
int findDownbeat(const std::vector<double>& beats, const std::vector<float>& strengths, int perBar, double given) {
  if (given >= 0) {
    const auto nearest = std::min_element(beats.begin(), beats.end(), [&](double a, double b) {
      return std::fabs(a - given) < std::fabs(b - given);
    });
    return static_cast<int>(nearest - beats.begin());
  }
  std::vector<double> strength(static_cast<size_t>(perBar), 0.0);
  const size_t looked = std::min(strengths.size(), static_cast<size_t>(kDownbeatBars * perBar));
  for (size_t k = 0; k < looked; ++k) {
    strength[k % static_cast<size_t>(perBar)] += strengths[k];
  }
  return static_cast<int>(std::max_element(strength.begin(), strength.end()) - strength.begin());
}

}  // namespace

BeatGrid BeatGrid::fromBeats(std::vector<double> beats, std::vector<float> strengths, const TempoSettings& settings,
                             const std::vector<double>& tempoBeats) {
  BeatGrid grid;
  if (beats.size() < 2) {
    return grid;
  }
  dropDoubledBeats(beats, strengths);
  std::vector<double> filled;
  std::vector<float> filledStrengths;
  fillGaps(beats, strengths, filled, filledStrengths);
  // Steady: most intervals agree with their neighbours.
  size_t agreeing = 0;
  for (size_t k = 0; k + 1 < filled.size(); ++k) {
    const double usual = localInterval(filled, k, kTempoReach);
    agreeing += std::fabs(filled[k + 1] - filled[k] - usual) <= kAgree * usual;
  }
  if (agreeing < kAgreeing * static_cast<double>(filled.size() - 1)) {
    return grid;
  }
  grid.beats_ = std::move(filled);
  grid.beatsPerBar_ = std::max(1, settings.beatsPerBar);
  // Each beat's tempo: the median of the intervals around it that agree
  // with the steadier beats given for the tempo (where nothing was dropped
  // or filled): exact on clicks, and not thrown by one syncopated attack.
  const std::vector<double>& timed = tempoBeats.size() == grid.beats_.size() ? tempoBeats : grid.beats_;
  for (size_t k = 0; k + 1 < timed.size(); ++k) {
    const double usual = localInterval(timed, k, kTempoReach);
    std::vector<double> agreeing;
    const size_t from = k > static_cast<size_t>(kTempoReach) ? k - static_cast<size_t>(kTempoReach) : 0;
    for (size_t i = from; i + 1 < timed.size() && i <= k + kTempoReach; ++i) {
      const double interval = grid.beats_[i + 1] - grid.beats_[i];
      if (std::fabs(interval - usual) <= kAgree * usual) {
        agreeing.push_back(interval);
      }
    }
    grid.bpm_.push_back(60.0 / (agreeing.size() >= 3 ? median(agreeing) : usual));
  }
  grid.downbeat_ = findDownbeat(grid.beats_, filledStrengths, grid.beatsPerBar_, settings.downbeat);
  return grid;
}

double BeatGrid::bpm() const { return median(bpm_); }

std::pair<double, double> BeatGrid::bpmSpread() const {
  if (bpm_.empty()) {
    return {0, 0};
  }
  std::vector<double> sorted = bpm_;
  std::sort(sorted.begin(), sorted.end());
  const auto at = [&](double share) { return sorted[static_cast<size_t>(share * static_cast<double>(sorted.size() - 1))]; };
  return {at(0.1), at(0.9)};
}

BeatAt BeatGrid::at(double seconds) const {
  BeatAt out;
  if (!steady()) {
    return out;
  }
  const size_t last = beats_.size() - 1;
  // Between two beats of the grid, or carried on at the tempo of its ends.
  double index = 0;
  double tempo = 0;
  if (seconds < beats_.front()) {
    const double step = beats_[1] - beats_[0];
    index = (seconds - beats_.front()) / step;
    tempo = bpm_.front();
  } else if (seconds >= beats_[last]) {
    const double step = beats_[last] - beats_[last - 1];
    index = static_cast<double>(last) + (seconds - beats_[last]) / step;
    tempo = bpm_.back();
  } else {
    const size_t k = static_cast<size_t>(std::upper_bound(beats_.begin(), beats_.end(), seconds) - beats_.begin()) - 1;
    index = static_cast<double>(k) + (seconds - beats_[k]) / (beats_[k + 1] - beats_[k]);
    tempo = bpm_[k];
  }
  const double whole = std::floor(index);
  out.bpm = tempo;
  out.beatIndex = static_cast<int>(whole);
  out.beatPhase = index - whole;
  const double bars = (index - downbeat_) / beatsPerBar_;
  out.barIndex = static_cast<int>(std::floor(bars));
  out.barPhase = bars - std::floor(bars);
  return out;
}

BeatGrid findBeats(const std::vector<int16_t>& frames, int channels, int rate, const TempoSettings& settings) {
  BeatTracker tracker(rate);
  const size_t count = channels > 0 ? frames.size() / static_cast<size_t>(channels) : 0;
  std::vector<float> mono(std::min<size_t>(count, 65536));
  for (size_t from = 0; from < count; from += mono.size()) {
    const size_t n = std::min(mono.size(), count - from);
    mixDown(frames.data() + from * static_cast<size_t>(channels), n, channels, 1.0f / 32768, mono.data());
    tracker.add(mono.data(), static_cast<int64_t>(n));
  }
  return tracker.grid(settings);
}

Result<BeatGrid> findBeats(const std::vector<std::string>& paths, const TempoSettings& settings) {
  SoundFile file;
  if (Status opened = openSound(file, paths); !opened) {
    return opened;
  }
  BeatTracker tracker(file.rate());
  if (!tracker.ok()) {
    return Status::failure("cannot track the beat: out of memory");
  }
  const int channels = file.channels();
  constexpr int64_t kPiece = 16384;
  std::vector<float> piece(static_cast<size_t>(kPiece * channels));
  std::vector<float> mono(static_cast<size_t>(kPiece));
  for (int64_t got; (got = file.readFloats(piece.data(), kPiece)) > 0;) {
    mixDown(piece.data(), static_cast<size_t>(got), channels, 1.0f, mono.data());
    tracker.add(mono.data(), got);
  }
  if (const Status read = file.readStatus(); !read) {
    const std::string path = paths.size() == 1 ? paths.front() : "the album";
    return Status::failure("cannot read " + path + " to its end to find its beat (" + read.why() + ")");
  }
  return tracker.grid(settings);
}
