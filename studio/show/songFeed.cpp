// songFeed.cpp — see songFeed.h.
#include "show/songFeed.h"

#include <algorithm>

SongAt SongFeed::at(int64_t soundFrame) const {
  SongAt out;
  if (!songs_.empty()) {
    const int64_t start = songs_.front().soundFrame;
    const int64_t end = songs_.back().soundFrame + songs_.back().soundFrames;
    if (loops_ && end > start) {
      const int64_t span = end - start;
      soundFrame = start + ((soundFrame - start) % span + span) % span;
    }
    while (out.index + 1 < songs_.size() && songs_[out.index + 1].soundFrame <= soundFrame) {
      ++out.index;
    }
    const SongStart& song = songs_[out.index];
    out.gainDb = song.gainDb;
    if (song.soundFrames > 0) {
      out.progress = std::clamp(
          static_cast<double>(soundFrame - song.soundFrame) / static_cast<double>(song.soundFrames), 0.0, 1.0);
    }
  }
  if (rate_ > 0) {
    out.beat = beats_.at(static_cast<double>(soundFrame) / static_cast<double>(rate_));
  }
  return out;
}
