// album.h — what render works out for several songs made one video (an
// album): the songs a playlist lists, where each song starts in the video,
// its title and levelling there, the file's chapters and the chapter list
// written beside the video for a video site's description.
//
// A single song goes through the same functions as an album of one: one
// start, no chapters, no list.
//
// Threading: main thread, before the show starts.
#pragma once

#include <string>
#include <vector>

#include "base/status.h"
#include "cli.h"
#include "show/offlineShow.h"
#include "sound/soundStream.h"
#include "video/encoder.h"
#include "video/encoderThread.h"

// The songs as given with each playlist replaced by what it lists; refused
// (a usage error) naming the playlist's line that is not a song here.
Status readSongs(RenderOptions& o);

// Each song's title: --title, or for "auto" its own tags; refused (a usage
// error) when one does not fit.
Result<std::vector<std::string>> songTitles(const RenderOptions& o, const Song& sound, const std::string& fontPath);
// What the pictures see of each song, in dB: each at the reference loudness,
// or with --level album the album's one gain (ReplayGain's two modes), plus
// --gain. Said in one line unless quiet; refused when a song cannot be measured.
Result<std::vector<double>> songGains(const RenderOptions& o, const Song& sound);
// Each song's first frame in the whole render, with its title and gain.
std::vector<SongStart> songStarts(const Song& sound, const FrameClock& clock, const std::vector<std::string>& titles,
                                  const std::vector<double>& gains);

// The file's chapters over the span (one a song it reaches, named "Artist –
// Title" from its tags or else its file name, from the span's start); none
// for a single song.
std::vector<Chapter> chaptersOf(const Song& sound, const Span& span);
// What a video site reads from a description: a line a chapter, "0:00 Name"
// ("1:02:03 Name" past an hour).
std::string chapterList(const std::vector<Chapter>& chapters, int rate);
// NAME.chapters.txt beside NAME.EXT.
std::string chapterListPath(const std::string& output);
// The list's name is free (or --overwrite) and not a file the run reads.
Status checkChapterList(const RenderOptions& o);
// The list written beside the video (complete or not at all), never over a
// file without overwrite.
Status writeChapterList(const std::string& output, const std::vector<Chapter>& chapters, int rate, bool overwrite);
