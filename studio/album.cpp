// album.cpp — see album.h.
#include "album.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "base/text.h"
#include "picture/title.h"
#include "plan.h"
#include "sound/album.h"
#include "sound/loudness.h"
#include "sound/loudnessCache.h"
#include "video/pendingFile.h"

Status readSongs(RenderOptions& o) {
  std::vector<std::string> songs;
  for (const std::string& given : o.songs) {
    if (!isPlaylist(given)) {
      songs.push_back(given);
      continue;
    }
    const Result<std::vector<std::string>> listed = readPlaylist(given);
    if (!listed) {
      return listed.status();
    }
    o.playlists.push_back(given);
    songs.insert(songs.end(), listed.value().begin(), listed.value().end());
  }
  o.songs = songs;
  o.sound = songs.front();
  return Status();
}

namespace {

// A song's name where tags are missing: its file's, as players show it.
std::string songName(const Track& track) {
  const std::string tagged = oneLine(titleFromTags(track.tags));
  return tagged.empty() ? songNameOfFile(track.path) : tagged;
}

void sayLevel(const char* what, double loudness, double gain) {
  char line[200];
  if (!std::isfinite(loudness) || loudness < kQuietest) {
    std::snprintf(line, sizeof line, "%s is silent or nearly (%.1f LUFS): the pictures see it as it is", what, loudness);
  } else {
    std::snprintf(line, sizeof line, "%s measures %.1f LUFS: the pictures see it %.1f dB %s (--level off: as it is)", what,
                  loudness, std::fabs(gain), gain >= 0 ? "louder" : "quieter");
  }
  std::cerr << "vrax-studio: " << line << std::endl;
}

// What levelling an album's songs each to the reference does, in one line.
void sayAlbumLevels(size_t songs, size_t unmeasured, double quietest, double loudest) {
  char line[320];
  if (unmeasured == songs) {
    std::snprintf(line, sizeof line,
                  "the songs are silent or too short to measure (under 0.4 s each): the pictures see them as they are");
  } else {
    std::snprintf(line, sizeof line,
                  "the songs measure %.1f to %.1f LUFS: the pictures see each at %.0f LUFS (--level album: as loud "
                  "against each other as on the album)",
                  quietest, loudest, kReferenceLoudness);
  }
  std::string said = line;
  if (unmeasured > 0 && unmeasured < songs) {
    said += "; " + std::to_string(unmeasured) + " of them silent or too short to measure, seen as they are";
  }
  std::cerr << "vrax-studio: " << said << std::endl;
}

}  // namespace

Result<std::vector<std::string>> songTitles(const RenderOptions& o, const Song& sound, const std::string& fontPath) {
  std::vector<std::string> titles;
  for (const Track& track : sound.tracks) {
    const Result<std::string> title = titleToDraw(o, track.path, track.tags, fontPath, o.quiet);
    if (!title) {
      return title.status();
    }
    titles.push_back(title.value());
  }
  return titles;
}

Result<std::vector<double>> songGains(const RenderOptions& o, const Song& sound) {
  if (sound.tracks.size() == 1) {
    const Result<double> gain = pictureGain(o);
    return gain ? Result<std::vector<double>>(std::vector<double>{gain.value()}) : gain.status();
  }
  std::vector<double> gains(sound.tracks.size(), 0.0);
  if (o.level && o.levelAlbum) {
    const Result<double> loudness = measureLoudness(sound.paths);
    if (!loudness) {
      return loudness.status();
    }
    std::fill(gains.begin(), gains.end(), levellingGain(loudness.value()));
    if (!o.quiet) {
      sayLevel("the album", loudness.value(), gains.front());
    }
  } else if (o.level) {
    double quietest = INFINITY;
    double loudest = -INFINITY;
    size_t unmeasured = 0;  // silent, or shorter than the 0.4 s a measure takes
    for (size_t i = 0; i < sound.tracks.size(); ++i) {
      bool kept = false;
      const Result<double> loudness = measureLoudnessKept(sound.tracks[i].path, kept);
      if (!loudness) {
        return loudness.status();
      }
      gains[i] = levellingGain(loudness.value());
      if (!std::isfinite(loudness.value()) || loudness.value() < kQuietest) {
        ++unmeasured;
        continue;
      }
      quietest = std::min(quietest, loudness.value());
      loudest = std::max(loudest, loudness.value());
    }
    if (!o.quiet) {
      sayAlbumLevels(sound.tracks.size(), unmeasured, quietest, loudest);
    }
  }
  for (double& gain : gains) {
    gain += o.gainDb;
  }
  return gains;
}

std::vector<SongStart> songStarts(const Song& sound, const FrameClock& clock, const std::vector<std::string>& titles,
                                  const std::vector<double>& gains) {
  std::vector<SongStart> starts;
  for (size_t i = 0; i < sound.tracks.size(); ++i) {
    const Track& track = sound.tracks[i];
    const Rational at{track.first, static_cast<int64_t>(sound.rate)};
    starts.push_back(SongStart{clock.frameAtOrAfter(at), track.first, track.frames, titles[i], gains[i]});
  }
  return starts;
}

std::vector<Chapter> chaptersOf(const Song& sound, const Span& span) {
  std::vector<Chapter> chapters;
  if (sound.tracks.size() < 2) {
    return chapters;
  }
  for (const Track& track : sound.tracks) {
    const int64_t start = std::max(track.first, span.soundStart);
    const int64_t end = std::min(track.first + track.frames, span.soundEnd);
    if (end > start) {
      chapters.push_back(Chapter{start - span.soundStart, end - span.soundStart, songName(track)});
    }
  }
  return chapters;
}

std::string chapterList(const std::vector<Chapter>& chapters, int rate) {
  std::string list;
  for (const Chapter& chapter : chapters) {
    // Whole seconds, rounded down: a site's link lands at or before the song.
    const int64_t seconds = chapter.start / rate;
    char at[32];
    if (seconds >= 3600) {
      std::snprintf(at, sizeof at, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                    static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    } else {
      std::snprintf(at, sizeof at, "%lld:%02lld", static_cast<long long>(seconds / 60),
                    static_cast<long long>(seconds % 60));
    }
    list += std::string(at) + " " + chapter.title + "\n";
  }
  return list;
}

std::string chapterListPath(const std::string& output) {
  std::filesystem::path path(output);
  return (path.parent_path() / (path.stem().string() + ".chapters.txt")).string();
}

Status checkChapterList(const RenderOptions& o) {
  const std::string list = chapterListPath(o.output);
  const std::string input = inputAt(list, filesRead(o));
  if (!input.empty()) {
    return Status::failure("the chapter list " + list + " would be " + input + ", which this render reads; choose another OUTPUT");
  }
  return checkTarget(list, quotedName(list), "the chapter list", o.overwrite);
}

Status writeChapterList(const std::string& output, const std::vector<Chapter>& chapters, int rate, bool overwrite) {
  const std::string target = chapterListPath(output);
  PendingFile file(target, overwrite);
  {
    std::ofstream out(file.path(), std::ios::binary | std::ios::trunc);
    out << chapterList(chapters, rate);
    out.close();
    if (!out) {
      return Status::failure("cannot write the chapter list " + quotedName(target));
    }
  }
  return file.commit();
}
