// playingShow.h — the show driven by the playing clock: play's frames, each
// drawn at the moment the song (or a capture device) is heard, into a
// window, a live stream or both. The twin of OfflineShow, which drives a
// render's frames by the offline frame clock.
//
// What the two drivers share and where they differ, each a stated policy:
//   the tick's song fields  one SongFeed each (songFeed.h): progress, level
//                           and beat from the one answer at the frame's
//                           sound frame; a capture's level and beat are
//                           estimated as it arrives (Listening);
//   the clock               OfflineShow: frame n at n ÷ fps exactly, never a
//                           frame dropped; PlayingShow: the playing position
//                           (PlayingClock), a late frame not made up; a song
//                           sent live on the stream's grid (StreamGrid);
//   a picture that breaks   a render fails; play leaves it out with a line
//                           (BrokenPicture, show.h) and draws on;
//   what may change         play alone: pause, seek, the picture stepped,
//                           settings and the gain over OSC, the pair and the
//                           Sound pass saved.
//
// The command opens what is drawn and heard (the sound, the window or a
// context with no display, the show, the outputs) and keeps it for the
// driver's life; the driver runs the frame loop over it.
//
// Threading: the thread that opened the window (it holds the GL context).
// OpenAL plays or captures on its own threads, the OSC port listens on its
// own and the stream encodes on its own: only positions, samples, commands
// and pictures cross, each by its owner's hand-off.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/runContext.h"
#include "base/status.h"
#include "control/osc.h"
#include "show/onScreen.h"
#include "show/output.h"
#include "show/playingClock.h"
#include "show/show.h"
#include "show/songFeed.h"
#include "show/window.h"
#include "sound/analysis.h"
#include "sound/listening.h"

// What a playing show is run with, fixed before its first frame.
struct PlayingShowSettings {
  double pacedRate = 60;   // frames a second the loop is paced to: the stream's, else the display's
  double streamFps = 0;    // the stream's frames a second; 0 with no stream
  bool verbose = false;
  std::string frameTimes;  // a file for each frame's work in ms; "" for none
  bool overwrite = false;  // the frame-times file may be replaced
};

// This frame's moment, for what takes the sound of the picture's time from
// another call (the stream's sound): written by the driver before each draw.
struct PlayingMoment {
  double seconds = 0;
  bool paused = false;
};

// What the command opened for the show, kept by it for the driver's life.
struct PlayingShowParts {
  Listening& sound;
  Show& show;
  ShownPicture& pictures;
  Window* window;          // null with --no-window
  Keys& keys;              // the window's keys, and OSC's commands added to them
  OscControl& osc;
  StreamOutput* stream;    // null without --stream
  WindowOutput* screen;    // null with --no-window
  std::vector<ShowOutput*> outputs;  // in the order they draw
  std::vector<std::string> listedNames;  // party mode: the pictures that built, in the list's order
  PlayingMoment& moment;
};

// What the driver hands back to the command at its moments.
struct PlayingShowHooks {
  PlayNotes notes;                    // told (standard output) and warned lines
  std::function<void()> firstFrame;   // the first frame is on screen
  // The Sound pass that is the song saved since the last frame: drawn again
  // and playing; true when the song was replaced. Empty: no Sound pass.
  std::function<bool()> redrawSound;
  // A line saying the song's beat, for --verbose.
  std::function<std::string(const BeatGrid&)> beatLine;
};

class PlayingShow {
 public:
  PlayingShow(PlayingShowParts parts, PlayingShowSettings settings, PlayingShowHooks hooks, const RunContext& run);

  // Frames until the window closes, the run stops or an output stops (it
  // says why; the command asks the output how it ended).
  void run();

 private:
  using Clock = std::chrono::steady_clock;

  // The frame's times from the playing clock, with what the song says of
  // that moment (how far through, its level, the beat).
  Tick tickAt(int64_t position, Clock::time_point now);
  // The feed's one song: the song's length and level as they are now (a
  // Sound pass drawn again, the gain turned), the beat once tracked.
  void feedSong();
  // The frame's sound, heard at the picture's time plus --latency.
  void listen(const Tick& tick, int64_t position);
  void drawFrame(int64_t position);
  void showTitleBar(int64_t position);
  // Pause, seek, full screen and the gallery, as the keys and OSC asked
  // since the last frame; party mode's keys; what only OSC asks.
  void applyKeys();
  void applySeek();
  void applyPartyKeys();
  void applyRequests();
  void redrawSoundOnSave();
  bool windowed() const { return parts_.window != nullptr; }
  bool readsTempo() const;
  void tell(const std::string& line) const { hooks_.notes.told(line); }
  void warn(const std::string& line) const { hooks_.notes.warned(line); }

  PlayingShowParts parts_;
  const PlayingShowSettings o_;
  const PlayingShowHooks hooks_;
  const RunContext& run_;
  PlayingClock clock_;
  StreamGrid grid_;  // a song's stream frames on the stream's grid
  SongFeed song_;    // the one song, over and over; empty for a capture
  SongAt playing_;   // the feed's answer at this frame
  bool outputsGo_ = true;

  // What carries from frame to frame.
  FrameSound frameSound_;
  ShadertoyMouse mouse_;
  int64_t frameNumber_ = 0;
  bool paused_ = false;
  bool pausedFrameMade_ = false;  // the frame at the moment paused at (or sought to while paused)
  bool saidNoSeek_ = false;
  bool saidNoPause_ = false;
};
