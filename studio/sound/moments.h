// moments.h — where in a song its character shows: a quiet passage, an
// average one and the loudest, for a contact sheet that shows each picture
// as the song will make it look.
//
// Measured on the mean power of the sound (all channels) over one-second
// windows, a window every half second. Silence (a fade, the gap before the
// music) is not a quiet passage: windows more than 40 dB below the loudest
// are left out. The loudest window is the loudest; the quiet one is the
// quietest left; the average one is the window nearest the median level.
//
// Threading: plain functions; any thread.
#pragma once

#include <string>

#include "base/status.h"

struct SongMoments {
  double quiet = 0;    // seconds, the middle of each window
  double average = 0;
  double loudest = 0;
  double length = 0;   // the song's, in seconds
};

// Refused with the reason when the song cannot be read to its end.
Result<SongMoments> findMoments(const std::string& path);
