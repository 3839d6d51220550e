// album.h — several songs read as one sound, one after another without a
// gap, for a video of a whole album: the songs as given on the command line
// or listed in an .m3u/.m3u8 playlist.
//
// The album's sound has the first song's rate and the most channels any
// song has; a song of another rate or channel count is converted to them
// (FFmpeg's resampler), as a player does. Every song is counted when the
// album is opened, so where each starts is known before anything is drawn
// (its chapter, its title, its levelling); a song that reads short of its
// count later is made up with silence, so the songs after it stay in place.
//
// Threading: one thread at a time; two readers of one album each open their own.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/status.h"

class SoundFile;

// One song of what is rendered: where its sound starts and how long it is,
// in sound frames of the whole.
struct Track {
  std::string path;
  int64_t first = 0;
  int64_t frames = 0;
  std::map<std::string, std::string> tags;
};

// Whether the path names a playlist (.m3u, .m3u8) rather than a song.
bool isPlaylist(const std::string& path);
// A playlist's songs, in order: lines that are not comments (#...), paths
// relative to the playlist's folder. Refused naming the playlist and line of
// an entry that is not a file here (a URL included), or an empty playlist.
Result<std::vector<std::string>> readPlaylist(const std::string& path);

class AlbumSound {
 public:
  AlbumSound();
  ~AlbumSound();
  AlbumSound(const AlbumSound&) = delete;
  AlbumSound& operator=(const AlbumSound&) = delete;

  // Opens and counts every song; refused naming the song that cannot be read.
  Status open(const std::vector<std::string>& paths);
  int channels() const { return channels_; }
  int rate() const { return rate_; }
  int64_t frames() const { return tracks_.empty() ? 0 : tracks_.back().first + tracks_.back().frames; }
  const std::vector<Track>& tracks() const { return tracks_; }
  Status seek(int64_t frame);
  // Up to `frames` interleaved floats, across songs; 0 at the album's end.
  int64_t read(float* into, int64_t frames);
  // Why a song read short or could not be opened again ("" when none did).
  const std::string& failure() const { return failure_; }
  // What the whole carries: the album's name as its title, the album
  // artist (or the one artist), and what the songs that have a tag agree on.
  std::map<std::string, std::string> tags() const;

 private:
  bool enter(size_t track, int64_t at);

  std::vector<Track> tracks_;
  int channels_ = 0;
  int rate_ = 0;
  std::unique_ptr<SoundFile> current_;
  size_t index_ = 0;  // the song being read
  int64_t at_ = 0;    // frames of it read
  std::string failure_;
};
