// songFeed.h — what a frame's tick says of the song under it, worked out
// once for every driver: which of the show's songs is playing (an album's,
// or the one song a window plays over and over) and how far through it.
// A render asks at its frame's exact sound frame, play at its playing
// position; what the two do with the answer (a title, a level) is theirs.
//
// Threading: the driver's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// One song of a show (one, or an album's): where it starts, what is drawn
// over it and how loud the analysis sees it.
struct SongStart {
  int64_t frame = 0;       // its first frame in the whole render
  int64_t soundFrame = 0;  // its first sound frame
  int64_t soundFrames = 0; // its length
  std::string title;       // "" for none
  double gainDb = 0;       // levelling and --gain
};

// A song of the feed at one sound frame.
struct SongAt {
  size_t index = 0;      // into the feed's songs
  double progress = 0;   // how far through it, 0 → 1 (0 for a song of no length)
};

class SongFeed {
 public:
  SongFeed() = default;
  // Songs in the order they play, each starting where the one before ends.
  // `loops`: a position past the last song's end is taken round to the
  // first's start again (a window plays its song over and over).
  SongFeed(std::vector<SongStart> songs, bool loops) : songs_(std::move(songs)), loops_(loops) {}

  bool empty() const { return songs_.empty(); }
  size_t size() const { return songs_.size(); }
  const SongStart& song(size_t i) const { return songs_[i]; }
  // The song at sound frame `at` (before the first song: the first; past
  // the last, without looping: the last).
  SongAt at(int64_t soundFrame) const;

 private:
  std::vector<SongStart> songs_;
  bool loops_ = false;
};
