// album.cpp — see album.h.
#include "sound/album.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/text.h"
#include "sound/soundStream.h"

bool isPlaylist(const std::string& path) {
  return hasExtension(path, ".m3u") || hasExtension(path, ".m3u8");
}

Result<std::vector<std::string>> readPlaylist(const std::string& path) {
  if (const Status usable = checkSoundPath(path); !usable) {
    return Status::failure("cannot read the playlist " + path + ": " + usable.why());
  }
  // A list of songs: a megabyte holds thousands of lines.
  const Result<std::string> text = readSmallFile(path, 1 << 20, "1 MB, too large for a playlist");
  if (!text) {
    return Status::failure("cannot read the playlist " + path + ": " + text.why());
  }
  std::istringstream in(text.value());
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::vector<std::string> songs;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
      line.erase(0, 3);  // a byte-order mark some editors write
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
      line.pop_back();
    }
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') {
      continue;
    }
    std::string entry = line.substr(start);
    if (entry.compare(0, 7, "file://") == 0) {
      entry.erase(0, 7);
    }
    const std::string where = path + " line " + std::to_string(number) + ": ";
    if (entry.find("://") != std::string::npos) {
      return Status::failure(where + printable(entry) + " is not a file here; an album is made of files");
    }
    std::filesystem::path song(entry);
    if (song.is_relative()) {
      song = folder / song;
    }
    if (isPlaylist(song.string())) {
      return Status::failure(where + printable(entry) + " is a playlist; a playlist lists songs, not playlists");
    }
    if (const Status usable = checkSoundPath(song.string()); !usable) {
      return Status::failure(where + printable(song.string()) + ": " + usable.why());
    }
    songs.push_back(song.string());
  }
  if (songs.empty()) {
    return Status::failure("the playlist " + path + " lists no song");
  }
  return songs;
}

AlbumSound::AlbumSound() = default;
AlbumSound::~AlbumSound() = default;

Status AlbumSound::open(const std::vector<std::string>& paths) {
  tracks_.clear();
  failure_.clear();
  channels_ = rate_ = 0;
  // The first song's rate, and room for the song with the most channels.
  for (const std::string& path : paths) {
    SoundFile probe;
    if (const Status opened = probe.open(path); !opened) {
      return Status::failure("cannot read the sound " + path + ": " + opened.why());
    }
    rate_ = rate_ == 0 ? probe.rate() : rate_;
    channels_ = std::max(channels_, probe.channels());
  }
  int64_t first = 0;
  for (const std::string& path : paths) {
    SoundFile song;
    if (const Status opened = song.open(path, rate_, channels_); !opened) {
      return Status::failure("cannot read the sound " + path + ": " + opened.why());
    }
    const int64_t frames = countFrames(song);
    if (frames == 0) {
      return Status::failure(path + " holds no sound to render");
    }
    tracks_.push_back(Track{path, first, frames, song.tags()});
    first += frames;
  }
  return enter(0, 0) ? Status() : Status::failure(failure_);
}

bool AlbumSound::enter(size_t track, int64_t at) {
  current_.reset();
  index_ = std::min(track, tracks_.size());
  at_ = 0;
  if (index_ == tracks_.size()) {
    return false;
  }
  auto file = std::make_unique<SoundFile>();
  const std::string& path = tracks_[index_].path;
  Status ready = file->open(path, rate_, channels_);
  if (ready && at > 0) {
    ready = file->seek(at);
  }
  if (!ready) {
    // Read as silence, so the songs after it keep their places.
    failure_ = failure_.empty() ? "cannot read " + path + " again: " + ready.why() : failure_;
    at_ = at;
    return true;
  }
  current_ = std::move(file);
  at_ = at;
  return true;
}

Status AlbumSound::seek(int64_t frame) {
  size_t track = 0;
  while (track < tracks_.size() && frame >= tracks_[track].first + tracks_[track].frames) {
    ++track;
  }
  if (track == tracks_.size() && frame > frames()) {
    return Status::failure("it ends before " + std::to_string(frame) + " frames");
  }
  enter(track, track < tracks_.size() ? frame - tracks_[track].first : 0);
  return Status();
}

int64_t AlbumSound::read(float* into, int64_t frames) {
  const auto channels = static_cast<int64_t>(channels_);
  int64_t done = 0;
  while (done < frames && index_ < tracks_.size()) {
    const Track& track = tracks_[index_];
    if (at_ >= track.frames) {
      enter(index_ + 1, 0);
      continue;
    }
    const int64_t want = std::min(frames - done, track.frames - at_);
    const int64_t got = current_ ? current_->readFloats(into + done * channels, want) : 0;
    if (got < want) {
      // Short of its count: silence up to it, and why, once.
      if (current_ && failure_.empty()) {
        const Status read = current_->readStatus();
        failure_ = track.path + (read ? std::string(" ends early") : ": " + read.why());
      }
      std::fill(into + (done + got) * channels, into + (done + want) * channels, 0.0f);
    }
    done += want;
    at_ += want;
  }
  return done;
}

std::map<std::string, std::string> AlbumSound::tags() const {
  std::map<std::string, std::string> out;
  if (tracks_.empty()) {
    return out;
  }
  // What every song that has the tag agrees on: an untagged file in a
  // playlist does not lose the album its name.
  const auto shared = [this](const std::string& key) {
    std::string value;
    for (const Track& track : tracks_) {
      const auto it = track.tags.find(key);
      if (it != track.tags.end() && !value.empty() && it->second != value) {
        return std::string();
      }
      value = it != track.tags.end() ? it->second : value;
    }
    return value;
  };
  for (const char* key : {"album", "album_artist", "artist", "date", "genre", "copyright", "publisher"}) {
    if (const std::string value = shared(key); !value.empty()) {
      out[key] = value;
    }
  }
  if (out.count("album") != 0) {
    out["title"] = out["album"];
  }
  if (out.count("album_artist") != 0) {
    out["artist"] = out["album_artist"];
  }
  return out;
}
