// plan.h — what render and play work out from their options before
// anything is drawn: the files they read, what they refuse (usage errors,
// one line each), the inputs of the show (images, font, settings, backdrop,
// title), which frames and which sound a render covers, which gallery
// picture stands for --shaders, how loud the pictures see the song, and
// the modules' own settings made from the options.
//
// Threading: main thread, before the show starts.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "base/status.h"
#include "cli.h"
#include "picture/backdrop.h"
#include "picture/image.h"
#include "picture/settings.h"
#include "show/offlineShow.h"
#include "sound/listening.h"
#include "sound/soundStream.h"
#include "sound/tempo.h"
#include "picture/lyrics.h"
#include <memory>
#include "video/encoder.h"
#include "video/encoderThread.h"
#include "video/frameClock.h"

// Every file a run of render or play reads: the sound (not for a capture
// device), the font, the images and the shader files. None may be written.
std::vector<std::string> filesRead(const SharedOptions& o, bool capture = false);

// The title to draw: --title, or for "auto" the tags' "Artist – Title", or
// where the song has neither tag its file name without the extension (said
// once unless quiet); refused when it cannot fit the size asked for, before
// anything is drawn.
Result<std::string> titleToDraw(const SharedOptions& o, const std::string& song,
                                const std::map<std::string, std::string>& tags, const std::string& fontPath,
                                bool quiet);

// What render and play both read before the show is made: --image, the
// title's font (when a title is asked for), the picture's settings with
// --set, --background and --logo; refused with the reason (usage errors).
struct ShowInputs {
  std::vector<ImageSource> images;
  std::string fontPath;
  std::vector<Setting> settings;
  BackdropImages backdrop;
};
Result<ShowInputs> loadShowInputs(const SharedOptions& o);

// The settings of the picture a run draws (--picture's, or the folder of
// --shaders or of the default pair) with --set applied; refused naming what
// is wrong with a --set.
Result<std::vector<Setting>> settingsToUse(const SharedOptions& o);
// The --set values for one picture of a list: PICTURE.NAME=VALUE for it,
// and NAME=VALUE where it declares NAME (all of them for one picture).
std::vector<std::string> setsFor(const SharedOptions& o, const std::string& picture,
                                 const std::vector<Setting>& declared);
// A list's pictures after the first, each with its own settings; refused
// naming a picture not in the gallery or a --set no picture of it takes.
Result<std::vector<ListedPicture>> listedPictures(const SharedOptions& o);

// What failure messages call OUTPUT: its whole path, so the folder is named
// too; a stream's URL as given.
std::string outputName(const std::string& output);

// Which frames and which sound --from and --to ask for (a still: one frame).
Result<Span> planSpan(const RenderOptions& o, const Song& sound, const FrameClock& clock, bool still);

// What a stream refuses: a scheme it cannot send to, alpha, a codec other
// than H.264 (what every receiver takes with low delay).
Status checkStream(const RenderOptions& o, const std::string& container);

// OUTPUT and the codec for it, before anything is read: never what the run
// reads, only a file (replaced only with --overwrite), a container and
// codec that go together, a size the codec takes.
Status checkOutput(const RenderOptions& o, bool still, const std::string& container);

// Fades longer together than what is rendered cannot be what was meant.
Status checkFades(const RenderOptions& o, const Span& span, bool still);

// --frame-times FILE: refused when it would replace a file without
// --overwrite, or anything the run reads whatever the flags.
Status checkFrameTimes(const PlayOptions& o);

// What the pictures see of the song: its measured loudness brought to the
// reference (unless --level off), plus --gain; said in one line unless quiet.
Result<double> pictureGain(const RenderOptions& o);
// Where the beats and bars of the song (an album's songs as one sound)
// fall, tracked whole; a song with no steady beat gives an empty grid.
Result<BeatGrid> songBeats(const SharedOptions& o, const std::vector<std::string>& paths);
// --lyrics read and drawn by libass for a frame of width × height, kept
// clear of a title at the bottom; nothing when not asked for. Refused (a
// usage error) naming the file and line that cannot be read.
Result<std::unique_ptr<Lyrics>> lyricsToDraw(const SharedOptions& o, const std::map<std::string, std::string>& tags,
                                            const std::string& fontPath, int width, int height);
// The one line --verbose says of a grid: its tempo and first downbeat, or
// that there is no steady beat.
std::string beatLine(const BeatGrid& grid, const std::string& song);

// --picture: the gallery picture's folder stands for --shaders, its memory
// for how far back a late start draws; with --transparent a picture that
// fills every pixel is said once.
Status usePicture(RenderOptions& o);

// What the options become in the modules' own settings (cli.h stays out of them).
// A render's encoder, for `path` (the pending file, or the stream's URL).
EncoderSettings encoderSettings(const RenderOptions& o, const Song& sound, const FrameClock& clock, const Span& span,
                                const std::string& container, const std::string& path);
// play --stream's encoder: H.264 and AAC in the container the URL's scheme needs.
EncoderSettings streamSettings(const PlayOptions& o, int channels, int rate);
ListeningSettings listeningSettings(const PlayOptions& o);
OfflineShowSettings offlineShowSettings(const RenderOptions& o);
