// lyrics.h — words over the picture at the song's time: LRC (line times and
// the enhanced word times `<mm:ss.xx>`, words lit as they are sung), SRT,
// WebVTT and ASS/SSA, all drawn by libass.
//
// LRC, SRT and WebVTT are turned into an ASS script with one style that
// fits the frame's shape (a size from its shorter side, margins as the
// title keeps, wrapped, an outline and a shadow so the words read over a
// bright picture, fontconfig's fallbacks for scripts the font lacks); an
// ASS or SSA file is drawn with its own styles and places.
//
// Times as players take them: lines are sorted by time, an LRC line shows
// until the next one starts (at most kLongestLine), overlapping SRT cues
// show together, and a line that starts after the song ends is never shown.
// A line that cannot be read is refused by file and line.
//
// Threading: parsing is plain; Lyrics on the thread that draws.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "base/status.h"
#include "picture/image.h"

// The longest an LRC line stays when no line follows it.
constexpr double kLongestLine = 10.0;
// The most a lyrics file or tag may hold: a song's words fit many times over.
constexpr size_t kMaxLyricsBytes = 4u << 20;
// The most lines a script may hold, and the most shown at once (those that
// start first are kept).
constexpr int kMaxLyricsLines = 20000;
constexpr int kMaxLinesAtOnce = 64;

// Where converted lines go, away from a title.
enum class LyricsPlace { Bottom, Top };

// The ASS script for a lyrics file's text (`name` for messages), for a frame
// of width × height; refused naming the line that cannot be read.
Result<std::string> lyricsScript(const std::string& name, const std::string& text, int width, int height,
                                 LyricsPlace place);
// --lyrics auto: the lyrics in a song's tags, when they carry times (and
// fit in kMaxLyricsBytes).
Result<std::string> lyricsFromTags(const std::string& song, const std::map<std::string, std::string>& tags);

class Lyrics {
 public:
  // The script read by libass; `fontPath` the font converted lines fall back to.
  // What an ASS script asks libass to draw is held to what a frame can show:
  // sizes, outlines, shadows and blur are clamped (styles and override tags),
  // a script of more than kMaxLyricsLines lines is refused, and at most
  // kMaxLinesAtOnce lines show at one moment.
  static Result<std::unique_ptr<Lyrics>> open(const std::string& script, const std::string& fontPath);
  ~Lyrics();
  Lyrics(const Lyrics&) = delete;
  Lyrics& operator=(const Lyrics&) = delete;
  // The words at `seconds` for a frame of width × height, premultiplied RGBA
  // the frame's size; `changed` says whether they differ from the last asked.
  const Image& at(double seconds, int width, int height, bool& changed);

 private:
  Lyrics() = default;
  struct Libass;
  std::unique_ptr<Libass> ass_;
  Image image_;
};
