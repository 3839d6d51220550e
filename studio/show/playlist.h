// playlist.h — several pictures in one show, changing with the music: a
// change every few bars, landing on a downbeat, with a crossfade a few beats
// long in which both pictures are drawn, each with its own state, and
// blended (never a switch halfway).
//
// PictureSchedule says which picture shows at a moment from the beat alone
// (the bar the moment is in), so a render, its parts and play agree, and a
// seed makes the same order again. CrossFade draws the two pictures of a
// crossfade into its own targets and blends them into the bound framebuffer.
//
// Glossary. A *segment* is the stretch between two changes (changeEvery
// bars); segment k starts on the downbeat of bar k × changeEvery.
//
// Threading: PictureSchedule is a plain value; CrossFade on the thread whose
// GL context is current.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "base/defaults.h"
#include "base/status.h"
#include "glCall.h"
#include "picture/picture.h"
#include "sound/tempo.h"

// What shows at one moment: picture `from` alone (mix 0), or from → to by `mix`.
struct Showing {
  size_t from = 0;
  size_t to = 0;
  double mix = 0;
  bool operator==(const Showing& o) const { return from == o.from && to == o.to && mix == o.mix; }
};

struct PlaylistSettings {
  int changeEvery = defaults::kChangeEveryBars;  // bars
  double crossfade = defaults::kCrossfadeBeats;  // beats
  int beatsPerBar = defaults::kBeatsPerBar;
  bool shuffle = false;
  uint32_t seed = 0;
};

// Without a steady beat the pictures still change: bars as at this tempo.
constexpr double kRestingBpm = 120;

class PictureSchedule {
 public:
  PictureSchedule() = default;
  PictureSchedule(size_t count, const PlaylistSettings& settings) : count_(count), o_(settings) {}
  bool active() const { return count_ > 1; }
  // At a moment with this beat (bpm 0: none steady; then the song's seconds
  // count bars at kRestingBpm).
  Showing at(const BeatAt& beat, double seconds) const;
  // A lock holds the picture showing now: no change until unlocked.
  void lock(const Showing& now) { locked_ = true, held_ = now.mix >= 0.5 ? now.to : now.from; }
  void unlock() { locked_ = false; }
  bool locked() const { return locked_; }
  // Steps the order on by `by` pictures (play's keys); a lock moves to the
  // next picture of the list and holds it.
  void step(int by) {
    shift_ += by;
    const auto count = static_cast<int64_t>(count_);
    held_ = count > 0 ? static_cast<size_t>(((static_cast<int64_t>(held_) + by) % count + count) % count) : 0;
  }

 private:
  size_t pictureOf(int64_t segment) const;
  size_t count_ = 0;
  PlaylistSettings o_;
  bool locked_ = false;
  size_t held_ = 0;
  int64_t shift_ = 0;
  mutable std::vector<size_t> order_;  // shuffled: each round a new order, made as far as asked
};

// The two pictures of a crossfade drawn into targets of their own and
// blended into the bound framebuffer; GL state it changes is put back.
class CrossFade {
 public:
  CrossFade() = default;
  ~CrossFade();
  CrossFade(const CrossFade&) = delete;
  CrossFade& operator=(const CrossFade&) = delete;
  // coverage: the pictures' alpha is coverage (laid over something).
  Status draw(Picture& from, Picture& to, double mix, bool coverage, int width, int height, const FrameTimes& times);

 private:
  Status make(int width, int height);
  void release();
  GLuint program_ = 0;
  GLuint vao_ = 0;
  GLuint textures_[2] = {0, 0};
  GLuint framebuffers_[2] = {0, 0};
  GLint mixAt_ = -1;
  GLint coverageAt_ = -1;
  int width_ = 0, height_ = 0;
};
