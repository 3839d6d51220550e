// cli.h — the studio's command line: `render` and `play`, their options,
// checked and turned into plain settings.
//
// parseCommandLine never exits: it prints help, the version or a usage error
// itself and returns the status to leave with, or nothing to go on.
//
// Threading: main thread, before anything else starts.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/defaults.h"
#include "base/status.h"
#include "video/frameClock.h"
#include "picture/multipass.h"
#include "picture/settings.h"
#include "picture/title.h"
#include "optionTable.h"
#include "optionValues.h"
#include "server/project.h"
#include "serve.h"

enum class Command { Render, Play, Pictures, Join, Serve };

// What render and play both take: the song, the picture and what goes over it.
struct SharedOptions {
  std::string sound;
  // render's songs: one, or an album's, one after another (as given, with
  // each .m3u playlist replaced by what it lists once read); `sound` is the
  // first. The playlists read, so nothing writes over them.
  std::vector<std::string> songs;
  std::vector<std::string> playlists;
  std::string shaders;
  std::string picture;  // a gallery picture by name, instead of --shaders
  std::vector<std::string> images;
  std::string background;  // an image behind the picture, "" for none
  std::string logo;        // an image in the top-right corner, "" for none
  int width = defaults::kWindowWidth;
  int height = defaults::kWindowHeight;
  std::string title;  // "auto": from the tags
  TitleLook titleLook;  // --title-at, --title-colour, --title-size, --title-plate, --subtitle
  double titleFor = 0;  // seconds the title shows before it fades out; 0: throughout
  std::string font;  // "" for the system's sans-serif
  bool verbose = false;
  bool overwrite = false;  // of what the command writes
  std::vector<std::string> channels;  // --channel as given
  std::vector<ChannelSetting> channelSettings;
  std::vector<std::string> sets;  // --set NAME=VALUE as given
  std::string palette;  // --palette NAME: the picture's colours from a named palette, before --set
  // What the pictures see of the sound: levelled to one loudness (the
  // song's measured first; a capture's as it goes), plus gainDb.
  bool level = true;
  double gainDb = 0;
  // Where the beat's bars fall: beats a bar, and the first downbeat in
  // seconds (below 0: found from the music).
  int beatsPerBar = defaults::kBeatsPerBar;
  double downbeat = -1;
  std::string lyrics;  // --lyrics: a file, "auto" (the song's tags), "" for none
  // --picture a,b,c (or all): the pictures taking turns, `picture` the first;
  // empty for one picture. A change every changeEvery bars, crossfading
  // over `crossfade` beats; --shuffle's order from `seed`.
  std::vector<std::string> playlist;
  // No SOUND given: a Sound pass of --shaders is the song, soundSeconds long
  // (0: as long as it plays by default). soundFromShaders once it is.
  bool soundGiven = true;
  double soundSeconds = 0;
  bool soundFromShaders = false;
  std::string soundName;  // what messages and the window call a Sound pass that is the song
  std::string soundShaders;  // the shaders whose Sound pass it is
  int changeEvery = defaults::kChangeEveryBars;
  double crossfade = defaults::kCrossfadeBeats;
  bool shuffle = false;
  uint32_t seed = 0;
};

// What a render measured of itself: its frames and the seconds drawing and
// encoding them took (startup left out). Filled where a caller asks.
struct RenderTiming {
  int64_t frames = 0;
  double drawSeconds = 0;
};

struct RenderOptions : SharedOptions {
  RenderOptions() {
    width = defaults::kVideoWidth;
    height = defaults::kVideoHeight;
  }
  std::string output;
  // --level album: the album's songs seen at its one loudness (ReplayGain's
  // album mode) instead of each song at the reference.
  bool levelAlbum = false;
  Rational fps{defaults::kVideoFps, 1};
  bool hasFrom = false;
  Rational from{0, 1};
  bool hasTo = false;
  Rational to{0, 1};
  int crf = defaults::kVideoCrf;
  bool quiet = false;
  double fadeIn = 0;  // seconds
  double fadeOut = 0;
  std::string codec;  // "" for the container's default
  std::string preset;
  bool transparent = false;
  double memory = 0;    // how far back a gallery picture's trails reach, in seconds; 0: not said
  bool flashGuard = true;  // at most three general flashes a second
  // One part of the render (--part K/N, or --frames A-B of a farm): frames
  // [partFirst, partEnd) of the whole render's, video only; -1: the whole.
  std::string part;        // as given, for messages
  int partIndex = 0;       // K of --part K/N (1-based); 0 with --frames
  bool partSound = false;  // --part sound: the whole render's sound only, for join
  int partCount = 0;
  int64_t partFirst = -1;  // --frames A-B: A, and B + 1
  int64_t partEnd = -1;
  // --preroll: seconds drawn before the first frame for a picture that reads
  // the frame before, instead of what its trails say they reach; 0: theirs.
  double preroll = 0;
  std::string progressForm = "text";  // --progress: "text" or "json"
  // --estimate: say how long the render would take here, render nothing.
  bool estimate = false;
  RenderTiming* timing = nullptr;  // where the render reports its timing; null: nowhere
  // --save-project: where to write these choices as a project. `project`:
  // the options given that make the video, by their long names in the
  // table's order (what a project file holds and a part's record compares).
  std::string saveProject;
  Project project;
  std::vector<ProjectOption> projectTable;
};

// join OUT PART...: the parts of one render, made into the finished video.
struct JoinOptions {
  std::string output;
  std::vector<std::string> parts;
  bool overwrite = false;
  bool quiet = false;
  bool verbose = false;  // each part as read, and what FFmpeg says
};

struct PlayOptions : SharedOptions {
  PlayOptions() { sound = defaults::kPlaySound; }
  double latencyMs = 0.0;
  bool hasLatency = false;
  bool capture = false;
  std::string captureDevice;  // empty: the best default
  bool listDevices = false;
  std::string frameTimes;  // a file for each frame's work in ms
  int oscPort = 0;         // --osc: a UDP port for a VJ's OSC messages; 0 for none
  std::string stream;      // --stream: a URL the show is also sent to; "" for none
  Rational fps{defaults::kStreamFps, 1};  // the stream's frames a second
  bool noWindow = false;   // send without a window (needs --stream)
  bool flashGuard = true;  // at most three general flashes a second in what is streamed
  std::string preset = defaults::kStreamPreset;  // x264's speed for the stream
};

// pictures --sheet SONG OUT.png: every gallery picture at three moments of the song.
struct SheetOptions {
  std::string song;
  std::string output;
  int cellWidth = 320;  // each picture's size on the sheet
  int cellHeight = 180;
  bool overwrite = false;
};

struct CommandLine {
  Command command = Command::Render;
  RenderOptions render;
  PlayOptions play;
  JoinOptions join;
  std::string describe;  // pictures --describe NAME
  bool palettes = false;  // pictures --palettes
  SheetOptions sheet;    // with pictures --sheet
  ServeOptions serve;
  bool wantsSheet = false;
};

// Exit statuses shared by every command.
constexpr int kExitDone = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

std::optional<int> parseCommandLine(int argc, char** argv, CommandLine& out);

// Prints "vrax-studio: MESSAGE" on standard error and returns status, so a
// command can end with `return report(kExitFailure, why);`.
int report(int status, const std::string& message);

// Where the modules' notes go: one "vrax-studio: " line each on standard error.
extern const Notes say;


