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
#include <string>
#include <utility>
#include <vector>

#include "base/status.h"
#include "cli.h"
#include "video/encoderThread.h"

struct PartRecord {
  int index = 0;  // K of --part K/N; 0 for --frames
  int count = 0;
  int64_t first = 0;  // this part's frames of the video, [first, end)
  int64_t end = 0;
  int64_t frames = 0;      // the whole video's
  Span whole;              // the whole render's frames and sound, of the song
  Rational fps{30, 1};
  double fadeIn = 0;
  double fadeOut = 0;
  // The songs (one, or an album's) as render was given them, with their sizes.
  std::vector<std::pair<std::string, int64_t>> songs;
  std::string settings;    // what makes the picture and the file, one line
};

// The record as the text kept in the part's comment tag, and back; a text
// that is not a part's record is refused with why.
std::string partText(const PartRecord& record);
Result<PartRecord> readPartRecord(const std::string& text);

// The part the options ask for, of the whole render's span; refused when it
// holds no frame or lies past the video's end.
Result<PartRecord> planPart(const RenderOptions& o, const Span& whole);

// Join's command.
int runJoin(const JoinOptions& options);
