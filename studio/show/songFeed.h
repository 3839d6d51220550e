// songFeed.h — what a frame's tick says of the song under it, worked out
// once for every driver: which of the show's songs is playing (an album's,
// or the one song a window plays over and over), how far through it, how
// loud the analysis sees it and where the beat is. A render asks at its
// frame's exact sound frame, play at its picture's time; both drivers
// (OfflineShow, PlayingShow) take progress, beat and level from the one
// answer. What each does with a new song (a title) is the driver's.
//
// A capture device has no song: its level and beat are estimated as the
// sound arrives (Listening), and the feed is not asked.
//
// Threading: the driver's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sound/tempo.h"

// One song of a show (one, or an album's): where it starts, what is drawn
// over it and how loud the analysis sees it.
struct SongStart {
  int64_t frame = 0;       // its first frame in the whole render
  int64_t soundFrame = 0;  // its first sound frame
  int64_t soundFrames = 0; // its length
  std::string title;       // "" for none
  double gainDb = 0;       // levelling and --gain
};

// The feed at one sound frame.
struct SongAt {
  size_t index = 0;      // into the feed's songs
  double progress = 0;   // how far through it, 0 → 1 (0 for a song of no length)
  double gainDb = 0;     // what the analysis adds to it (0 with no songs)
  BeatAt beat;           // the beat there (at rest with no grid)
};

class SongFeed {
 public:
  SongFeed() = default;
  // Songs in the order they play, each starting where the one before ends.
  // `loops`: a position past the last song's end is taken round to the
  // first's start again (a window plays its song over and over). `rate`:
  // sound frames a second, where the beat grid's seconds are read (0: no beat).
  SongFeed(std::vector<SongStart> songs, bool loops, int64_t rate = 0)
      : songs_(std::move(songs)), rate_(rate), loops_(loops) {}

  // The songs again (an album set after the beat was found), the beat kept.
  void setSongs(std::vector<SongStart> songs) { songs_ = std::move(songs); }
  // The beat over the whole show's sound (empty: every beat at rest).
  void setBeats(BeatGrid grid) { beats_ = std::move(grid); }
  // A song's level changed while it plays (a VJ's gain).
  void setGainDb(size_t song, double db) { songs_[song].gainDb = db; }

  bool empty() const { return songs_.empty(); }
  size_t size() const { return songs_.size(); }
  const SongStart& song(size_t i) const { return songs_[i]; }
  // The song at sound frame `at` (before the first song: the first; past
  // the last, without looping: the last) and the beat there.
  SongAt at(int64_t soundFrame) const;

 private:
  std::vector<SongStart> songs_;
  BeatGrid beats_;
  int64_t rate_ = 0;
  bool loops_ = false;
};
