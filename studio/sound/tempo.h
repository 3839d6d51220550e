// tempo.h — where the beats and bars of a song fall: the tempo, how far the
// sound is from one beat to the next and through its bar, at any moment.
//
// A song played from a file is tracked whole before the first frame
// (findBeats, as levelling reads it), so every frame of a render, of a part
// of one and of `play` reads the same grid at the same moment: phases are
// exact whatever the frame rate or where a render starts. A capture has no
// "ahead": LiveTempo follows the sound as it arrives.
//
// The beat tracker is aubio's (spectral flux onsets, its autocorrelation
// tempo and beat-phase tracking). Its beats are moved onto the attack they
// stand for (the sharpest rise of the sound's energy within a few
// milliseconds), gaps where it lost the beat are filled and doubled beats
// dropped, and the tempo is the mean of the intervals around a beat that
// agree with their neighbours, so it is steady within a tempo and follows a
// change of tempo within two beats either side.
//
// Glossary. A *beat* is one moment of the grid (a time in seconds of the
// sound). *beatIndex* counts beats from the first (0), negative before it;
// *beatPhase* runs 0 → 1 from one beat to the next. A *bar* is beatsPerBar
// beats from a downbeat; *barIndex* counts bars from the first downbeat.
// A song with no steady beat has no grid: bpm 0 and everything at rest.
//
// Threading: plain values; LiveTempo on the thread that feeds it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/defaults.h"
#include "base/status.h"

// The beat at one moment, as the pictures read it.
struct BeatAt {
  double bpm = 0;  // 0: no steady beat
  double beatPhase = 0;
  int beatIndex = 0;
  double barPhase = 0;
  int barIndex = 0;
};

struct TempoSettings {
  int beatsPerBar = defaults::kBeatsPerBar;
  double downbeat = -1;  // seconds; below 0: the strongest beat of the first bars
};

class BeatGrid {
 public:
  BeatGrid() = default;
  // From the tracked beats (seconds, rising) and the strength of the attack
  // at each; refused (no grid) where they show no steady beat. The tempo is
  // read from `tempoBeats` where given (as many, steadier), else the beats.
  static BeatGrid fromBeats(std::vector<double> beats, std::vector<float> strengths, const TempoSettings& settings,
                            const std::vector<double>& tempoBeats = {});
  BeatAt at(double seconds) const;
  bool steady() const { return beats_.size() >= 2; }
  // The tempo most of the song keeps (the median); 0 when not steady.
  double bpm() const;
  // The tempo's spread over the song: the 10th and 90th percentiles.
  std::pair<double, double> bpmSpread() const;
  const std::vector<double>& beats() const { return beats_; }
  // The index of the first downbeat.
  int downbeat() const { return downbeat_; }
  int beatsPerBar() const { return beatsPerBar_; }

 private:
  std::vector<double> beats_;
  std::vector<double> bpm_;  // the tempo from each beat to the next
  int downbeat_ = 0;
  int beatsPerBar_ = 4;
};

// Tracks beats in a mono sound fed in order from its first sample.
class BeatTracker {
 public:
  explicit BeatTracker(int rate);
  ~BeatTracker();
  BeatTracker(const BeatTracker&) = delete;
  BeatTracker& operator=(const BeatTracker&) = delete;
  bool ok() const { return tempo_ != nullptr; }
  void add(const float* mono, int64_t count);
  // The grid of everything fed.
  BeatGrid grid(const TempoSettings& settings) const;
  // What the tracker has found so far, for a live estimate: the last beat's
  // time (seconds from the first sample; below 0: none yet) and its tempo.
  double lastBeat() const { return lastBeat_; }
  double trackedBpm() const;
  double heard() const { return static_cast<double>(fed_) / rate_; }
  // Where the attack nearest `seconds` (within `reach`) begins; `seconds`
  // itself when there is none (found false).
  double attackAt(double seconds, double reach, bool& found) const;
  // What is kept to find attacks, from `seconds` on only (a capture's
  // tracker runs for hours).
  void forgetBefore(double seconds);

 private:
  struct Aubio;
  std::unique_ptr<Aubio> tempo_;
  int rate_;
  int hop_;
  std::vector<float> pending_;
  int64_t fed_ = 0;
  std::vector<double> beats_;
  double lastBeat_ = -1;
  // The sound's energy a millisecond at a time, to find each beat's attack.
  std::vector<float> energy_;
  int64_t energyFrom_ = 0;  // the block energy_[0] is
  double blockEnergy_ = 0;
  int blockFill_ = 0;
  int blockSize_;
};

// The whole sound of a song (or an album, as one sound) tracked; a song
// without a steady beat gives an empty grid, not a failure.
Result<BeatGrid> findBeats(const std::vector<std::string>& paths, const TempoSettings& settings);
// The same of a sound already decoded (interleaved 16-bit frames).
BeatGrid findBeats(const std::vector<int16_t>& frames, int channels, int rate, const TempoSettings& settings);

// The beat of a capture as it goes: what the tracker found lately,
// carried on at its tempo; bpm 0 until it has found a steady beat and after
// four seconds without one.
class LiveTempo {
 public:
  LiveTempo(int rate, int beatsPerBar) : tracker_(rate), beatsPerBar_(beatsPerBar) {}
  // Interleaved 16-bit frames as they arrived.
  void add(const std::vector<int16_t>& interleaved, int channels);
  BeatAt now() const;

 private:
  BeatTracker tracker_;
  int beatsPerBar_;
  std::vector<float> mono_;
  void keep(double beat, bool onAttack);
  double seen_ = -1;       // the tracker's last beat counted
  int count_ = 0;          // beats counted
  std::vector<double> recent_;  // the latest beats, each on its attack
  double period_ = 0;      // seconds a beat; 0: no steady beat yet
  double confirmed_ = -1;  // the last beat heard on an attack
};
