#include "sound/tempo.h"

#include <aubio/aubio.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "sound/album.h"
#include "sound/soundStream.h"

namespace {

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

double median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  const size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
  return values[middle];
}

// The median of the intervals from beat k − reach to beat k + reach.
double localInterval(const std::vector<double>& beats, size_t k, int reach) {
  std::vector<double> around;
  const size_t from = k > static_cast<size_t>(reach) ? k - static_cast<size_t>(reach) : 0;
  for (size_t i = from; i + 1 < beats.size() && i < k + static_cast<size_t>(reach); ++i) {
    around.push_back(beats[i + 1] - beats[i]);
  }
  return median(around);
}

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

Walk walkBeats(const std::vector<float>& energy, double block, const std::vector<double>& tracked, double period,
               double end) {
  const auto trackedNear = [&](double t, double reach) {
    const auto it = std::lower_bound(tracked.begin(), tracked.end(), t - reach);
    return it != tracked.end() && *it <= t + reach ? *it : -1.0;
  };
  // The tracker's own beat length around a moment: the median of its
  // intervals within a few seconds.
  const auto trackedInterval = [&](double t) {
    std::vector<double> intervals;
    auto it = std::lower_bound(tracked.begin(), tracked.end(), t - kAround);
    for (; it != tracked.end() && it + 1 != tracked.end() && *it < t + kAround; ++it) {
      intervals.push_back(*(it + 1) - *it);
    }
    return median(intervals);
  };
  const auto walk = [&](double from, double direction, Walk& out) {
    double step = period;
    std::vector<double> agreeing;  // the latest intervals between attacks
    double last = from;
    bool lastOnAttack = true;
    int missed = 0;  // beats in a row with no attack where due
    for (;;) {
      const double due = last + direction * step;
      if (due < 0 || due >= end) {
        break;
      }
      const double reach = std::min(kAttackReach / 1000.0, kSnap * step);
      const Attack a = attackNear(energy, block, due, reach);
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
          t >= 0 && std::fabs(theirs - step) <= kAgree * step ? attackNear(energy, block, t, reach) : Attack{};
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
  };
  // From the first of the tracker's beats that starts a run of beats on
  // attacks (an intro without drums gives the tracker little to go by).
  const double reach = std::min(kAttackReach / 1000.0, kSnap * period);
  size_t from = 0;
  int bestRun = -1;
  for (size_t k = 0; k < tracked.size(); ++k) {
    int run = 0;
    for (size_t i = k; i < std::min(tracked.size(), k + kRun); ++i) {
      run += attackNear(energy, block, tracked[i], reach).found;
    }
    if (run > bestRun) {
      bestRun = run;
      from = k;
    }
    if (run >= static_cast<int>(kRun) - 1) {
      break;
    }
  }
  const Attack first = attackNear(energy, block, tracked[from], reach);
  const double start = first.found ? first.seconds : tracked[from];
  Walk back, on;
  walk(start, -1, back);
  walk(start, 1, on);
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

BeatGrid BeatGrid::fromBeats(std::vector<double> beats, std::vector<float> strengths, const TempoSettings& settings,
                             const std::vector<double>& tempoBeats) {
  BeatGrid grid;
  if (beats.size() < 2) {
    return grid;
  }
  // Doubled beats dropped (the weaker of two much closer than their
  // neighbours), then gaps filled evenly where the tracker lost the beat.
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
  std::vector<double> filled{beats.front()};
  std::vector<float> filledStrengths{strengths.front()};
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
  // The downbeat: given, the beat nearest; else of the first bars' beats at
  // each place in the bar, the place whose attacks are the strongest.
  const int perBar = grid.beatsPerBar_;
  if (settings.downbeat >= 0) {
    const auto nearest = std::min_element(grid.beats_.begin(), grid.beats_.end(), [&](double a, double b) {
      return std::fabs(a - settings.downbeat) < std::fabs(b - settings.downbeat);
    });
    grid.downbeat_ = static_cast<int>(nearest - grid.beats_.begin());
  } else {
    std::vector<double> strength(static_cast<size_t>(perBar), 0.0);
    const size_t looked = std::min(filledStrengths.size(), static_cast<size_t>(kDownbeatBars * perBar));
    for (size_t k = 0; k < looked; ++k) {
      strength[k % static_cast<size_t>(perBar)] += filledStrengths[k];
    }
    grid.downbeat_ = static_cast<int>(std::max_element(strength.begin(), strength.end()) - strength.begin());
  }
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
