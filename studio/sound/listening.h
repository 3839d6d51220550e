// listening.h — the sound side of `play`: a capture device, or a song
// decoded whole and playing through OpenAL (silently, by the wall clock,
// where there is no sound device); where it is, what the analysis hears
// there, pause and seek for a song, and the sound a live stream sends.
//
// Threading: the play loop's thread.
#pragma once

#include <cstdint>
#include <map>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "audio.h"
#include "base/status.h"
#include "sound/analysis.h"
#include "sound/capture.h"
#include "sound/loudness.h"
#include "sound/playback.h"
#include "sound/soundStream.h"
#include "sound/tempo.h"

struct ListeningSettings {
  bool capture = false;
  std::string captureDevice;  // "" for the best default
  bool latencyGiven = false;
  double latencyMs = 0;  // the spectrum is taken this long after the playing position
  std::string sound;     // the song, when not capturing
  std::string name;      // what to call it; "" for its file's name
  bool level = true;
  double gainDb = 0;
  TempoSettings tempo;
};

// The capture devices, one a line, the default marked.
std::string captureDeviceList();

class Listening {

 public:
  explicit Listening(const ListeningSettings& o) : o_(o) {}

  // The capture device, or the song decoded and playing; why not (with
  // usageError() telling a wrong device name from a failure).
  Status open(const Notes& notes);
  bool usageError() const { return usageError_; }
  // Whether the song plays silently (no sound device).
  bool silent() const { return playback_.silent(); }

  // What the pictures see of the sound, in dB, beyond what it is; the sound
  // played is never changed. A song's: its levelling, measured once, plus
  // --gain. A capture's: its levelling as it goes (this frame's sound after
  // dt seconds), plus --gain.
  double songGainDb() const { return (o_.level ? songGain_ : 0.0) + gainDb_; }
  double captureGainDb(const FrameSound& frame, double dt) {
    return (o_.level ? running_.step(frame.mono, std::max(0.0, dt)) : 0.0) + gainDb_;
  }
  // --gain, as a VJ turns it while playing.
  void setGainDb(double db) { gainDb_ = db; }
  bool live() const { return capture_ != nullptr; }
  // The playing position in sound frames (0 for a capture device).
  int64_t position() { return capture_ ? 0 : playback_.position(); }
  // The sound at `position` (plus --latency, wrapped round the song) into
  // frame; returns the sound frame it was taken at.
  int64_t around(int64_t position, FrameSound& frame) {
    const int64_t at = capture_ ? 0 : ((position + latencyFrames_) % frames_ + frames_) % frames_;
    SoundSource& source = capture_ ? static_cast<SoundSource&>(*capture_) : *file_;
    source.around(at, frame);
    return at;
  }
  // The song's beat grid, once: true the first time a grid tracked since the
  // song was opened (or replaced) is ready, with it in `grid`. The first ask
  // starts tracking the whole song on a worker thread unless trackBeats()
  // did it; until it is ready the beat rests.
  bool takeTrackedBeats(BeatGrid& grid);
  // A capture's beat, estimated as the sound arrives.
  BeatAt liveBeat() const;
  // Tracks the whole song's beat now (before the frame loop, when a picture
  // is known to want it).
  void trackBeats();
  const BeatGrid& beats() const { return beats_; }
  void setPaused(bool paused) { playback_.setPaused(paused); }
  // The song replaced by the file at path, of its rate and channels (a Sound
  // pass drawn again), playing on from where it was; measured and its beat
  // tracked again.
  Status replaceSound(const std::string& path);
  void seek(int64_t frame) { playback_.seek(frame < 0 ? 0 : frame); }
  // A capture device that went away is reopened once a second.
  void keepAlive(const Notes& notes) {
    if (capture_) {
      capture_->keepAlive(notes);
    }
  }
  // The sound sent with one stream frame, `count` sound frames of it: the
  // song from the picture's own time `at` (silence while paused), or what
  // the capture device delivered. The song's cursor runs on by exactly what
  // was sent, so the sound has no seams, and is moved to the picture's time
  // only where the two parted by more than half a frame (a seek, the song
  // starting over, the stream's grid moved to the playing clock); a capture's is sent
  // as it came, evenly (see capturedSound).
  std::vector<float> streamSound(int64_t count, bool paused, int64_t at);
  int streamChannels() const { return capture_ ? 2 : sound_.info.channels; }
  // A capture's sound frames sent as silence (the device late) and let go
  // (the stream behind the device), since sending began.
  int64_t capturedGaps() const { return capturedGaps_; }
  int64_t capturedDropped() const { return capturedDropped_; }
  const std::string& name() const { return name_; }
  const std::map<std::string, std::string>& tags() const { return tags_; }
  int64_t rate() const { return rate_; }
  int64_t frames() const { return frames_; }

 private:
  const ListeningSettings o_;
  bool usageError_ = false;
  std::unique_ptr<Capture> capture_;
  SoundData sound_;
  std::map<std::string, std::string> tags_;
  Playback playback_;
  std::unique_ptr<MemorySound> file_;
  double songGain_ = 0;
  double gainDb_ = o_.gainDb;
  RunningLevel running_;
  BeatGrid beats_;
  bool tracked_ = false;
  bool taken_ = false;  // the grid tracked has been handed out
  // The worker's grid; it reads sound_ only, and is waited for before sound_ goes.
  std::future<BeatGrid> tracking_;
  std::unique_ptr<LiveTempo> liveTempo_;
  std::string name_;
  int64_t rate_ = 0;
  int64_t frames_ = 0;
  int64_t latencyFrames_ = 0;
  void capturedSound(std::vector<float>& out);

  int64_t cursor_ = -1;           // the song's next sound frame sent to a stream; -1 before the first
  std::vector<int16_t> arrived_;  // captured, not yet sent
  bool primed_ = false;           // enough has come to send without gaps
  bool sending_ = false;          // the capture's sound has begun to be sent
  int64_t capturedGaps_ = 0;
  int64_t capturedDropped_ = 0;
};

