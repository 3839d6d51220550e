// parts.h — one render split into parts (render --part K/N, --frames A-B)
// and the parts made one video again (join).
//
// A part holds frames [first, end) of the whole render's video, exactly as
// the whole render draws them, and no sound: the song is encoded once, over
// the whole length, by join. Each part carries a record (in its container's
// comment tag) of which part it is and of everything that makes its
// pictures and the finished file: the whole render's frames and sound, the
// frame rate, the fades, the song (as given, with its size) and one line of
// the settings that make the picture. Join refuses parts whose records
// differ, overlap, leave a gap or fall short of what they say they hold.
//
// Frame numbers here are the whole render's video frames, from 0.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/defaults.h"
#include "base/status.h"
#include "cli.h"
#include "sound/soundStream.h"
#include "video/encoder.h"
#include "video/encoderThread.h"

struct PartRecord {
  bool sound = false;  // the sound part (--part sound): the song encoded, no pictures
  int index = 0;  // K of --part K/N; 0 for --frames and the sound
  int count = 0;
  int64_t first = 0;  // this part's frames of the video, [first, end)
  int64_t end = 0;
  int64_t frames = 0;      // the whole video's
  Span whole;              // the whole render's frames and sound, of the song
  Rational fps{defaults::kVideoFps, 1};
  double fadeIn = 0;
  double fadeOut = 0;
  // The songs (one, or an album's) as render was given them, with their sizes.
  std::vector<std::pair<std::string, int64_t>> songs;
  // What the finished file carries of the song, so a join given the sound
  // part needs no song: its tags, chapters (at `rate`) and shape.
  std::map<std::string, std::string> tags;
  std::vector<Chapter> chapters;
  int rate = 0;
  int channels = 0;
  std::string settings;    // what makes the picture and the file, one line
  int width = 0;           // the pictures' size (not of the sound part)
  int height = 0;
  // A print of each song's contents (songPrint), so a song changed since
  // but of the same size is noticed; empty in records of older parts.
  std::vector<std::string> prints;
};

// A print of a file's whole contents; "" when it cannot be read.
std::string songPrint(const std::string& path);

// The record as the text kept in the part's comment tag, and back; a text
// that is not a part's record, or with any field past what render writes,
// is refused with why.
std::string partText(const PartRecord& record);
Result<PartRecord> readPartRecord(const std::string& text);

// What a part's record compares: every option given that makes the video
// (the option table's, as given), the size and rate, and a fingerprint of
// the files the picture reads.
std::string settingsLine(const RenderOptions& o);

// The part the options ask for, of the whole render's span; refused when it
// holds no frame or lies past the video's end.
Result<PartRecord> planPart(const RenderOptions& o, const Span& whole, const Song& song);

// The song's sound as the finished file has it (faded over the whole
// render), encoded a piece at a time as pictures are written: one code for
// render's sound part and for join.
class SongEncoding {
 public:
  SongEncoding(Encoder& encoder, SoundReader& reader, const PartRecord& record)
      : encoder_(encoder), reader_(reader), r_(record), done_(record.whole.soundStart) {}
  // Encodes on up to sound frame `until` (at most the whole's end).
  Status upTo(int64_t until);

 private:
  Encoder& encoder_;
  SoundReader& reader_;
  const PartRecord& r_;
  int64_t done_;
  std::vector<float> chunk_;
};

// Join's command.
int runJoin(const JoinOptions& options);
