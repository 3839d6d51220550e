// offlineShow.h — the show driven by the offline frame clock: a render's
// frames at their exact times, drawn with no display.
//
// It owns the song's one reader, the offscreen context and the show drawn
// in it. Frame n's tick is exact (n ÷ fps, a step of 1 ÷ fps); below 60
// frames a second the analysis also hears the 60 Hz ticks in between, so
// what it smooths does not depend on the frame rate. The sound the reader
// reads can be tapped for the encoder (one decoding for both).
//
// Threading: the thread that opens it (it holds the GL context) for its life.
#pragma once

#include <cstdint>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/defaults.h"
#include "base/progress.h"
#include "base/runContext.h"
#include "base/status.h"
#include "picture/backdrop.h"
#include "picture/image.h"
#include "picture/multipass.h"
#include "picture/offscreen.h"
#include "picture/settings.h"
#include "picture/title.h"
#include "show/output.h"
#include "show/show.h"
#include "show/songFeed.h"
#include "sound/soundStream.h"
#include "sound/tempo.h"
#include "video/frameClock.h"

// What an offline show is drawn with, as the command line gave it.
struct OfflineShowSettings {
  int width = 0;
  int height = 0;
  Rational fps{defaults::kVideoFps, 1};
  bool transparent = false;
  std::string shaders;  // the pair's folder or Shadertoy's form; "" for the default
  std::vector<ChannelSetting> channelSettings;
  std::vector<std::string> imageNames;  // --image as given, for messages
  std::string song;  // where cover art is looked for
  double memory = 0;  // how far back the picture's trails reach, in seconds; 0: not said
  bool quiet = false;
  bool verbose = false;
  TitleLook titleLook;
  double fadeIn = 0;
  double titleFor = 0;
  std::vector<ListedPicture> others;  // a playlist's pictures after the first
  PlaylistSettings playlist;
};

class OfflineShow {
 public:
  // Keeps its own copies of the settings, clock and images (shared handles):
  // nothing here refers to what the caller may let go.
  OfflineShow(OfflineShowSettings o, const FrameClock& clock, std::vector<ImageSource> images, Notes notes)
      : o_(std::move(o)),
        clock_(clock),
        images_(std::move(images)),
        songs_({}, false, clock.rate()),
        say(std::move(notes)) {}

  Status open(std::shared_ptr<SoundFile> sound, std::vector<Setting> settings);
  // Frame n's analysis, not drawn: the smoothing carries, so every frame
  // from the first asked for on is stepped.
  void skip(int64_t n) { show_->listen(stepTo(n), clock_.seconds(n)); }
  // The first frame that will be stepped; the sound is seeked there.
  Status startAt(int64_t n) {
    lastStep_ = -1;
    return source_.startAt(clock_.soundFrameAt(n));
  }
  bool readsPrevious() const { return show_->anyReads(&Picture::readsPrevious); }
  // Before another moment of the song: what the analysis carried and the
  // picture's frame before go, as for a render that starts there.
  void restart() { show_->restart(); }
  // The sound from `first` to `end` as the reader reads it, kept until
  // handSoundTo names where it goes (the reader reads ahead of the frame, so
  // the span's first samples may be read while stepping up to it).
  bool tapsSound() const { return source_.tapsFloats(); }
  void tapSound(int64_t first, int64_t end);
  // An empty `to` lets go of the last one (whose owner is going).
  void handSoundTo(std::function<void(std::vector<float>)> to);
  // Reads on to sound frame `frame`, for the sound after the last frame's window.
  void readSoundTo(int64_t frame) { source_.readTo(frame); }
  // Frame n: its tick on the frame clock, exact; the title's fades count
  // from the span's first frame. advance() only makes the frame; draw()
  // also draws it into the offscreen context.
  void advance(int64_t n);
  void draw(int64_t n) {
    advance(n);
    show_->draw(o_.width, o_.height);
  }
  // Steps up to frame `first` from as far back as what the analysis and
  // the picture carry reaches (see kPictureMemory), or from `wholeFirst`
  // (render: 0, the song's start) when that is earlier, so what the analysis
  // integrates (the music's clocks, the beats) is the whole's at `first`;
  // why the sound cannot be read.
  Status preRoll(int64_t first, int64_t wholeFirst = -1);
  // Frames first to end − 1 into `output`; paced: frame n no sooner than its
  // time after the first (a stream watched as it comes). Stops early when
  // the run stops or the output does; the frames handed on, or why the
  // pictures cannot be trusted.
  Result<int64_t> play(int64_t first, int64_t end, RenderedOutput& output, bool paced, Progress& progress,
                       const RunContext& run);
  // What the analysis sees of the song, in dB (levelling and --gain).
  void setGain(double db) { show_->setGain(db); }
  // The song's beat grid (empty: no tempo inputs, or no steady beat); each
  // frame reads it at its own sound frame.
  void setBeats(BeatGrid grid) { songs_.setBeats(std::move(grid)); }
  // Whether the beat is needed: a picture reads it, or a playlist changes on it.
  bool readsTempo() const { return show_->anyReads(&Picture::readsTempo) || show_->schedule().active(); }
  // Whether a picture reads what the analysis sums from the song's start.
  bool readsWholeSong() const { return show_->anyReads(&Picture::readsWholeSong); }
  // Words over every frame at its own time.
  void setLyrics(std::unique_ptr<Lyrics> lyrics) { show_->setLyrics(std::move(lyrics)); }
  // The background under every frame and the logo over it.
  Status setBackdrop(const BackdropImages& images) { return show_->setBackdrop(images, o_.transparent); }
  // The songs: from each one's start its gain, and its title over its
  // frames from `first` (the whole render's first frame) on. A song's title
  // after the first fades in over kSongTitleFade; the first's with the video.
  Status setSongs(std::vector<SongStart> songs, const std::string& fontPath, int64_t first);
  static constexpr double kSongTitleFade = 0.5;
  // The title over every frame from `first` on; a label leaves the picture
  // as it is without it.
  Status setTitle(const std::string& text, const std::string& fontPath, int64_t first, bool label = false) {
    shownFrom_ = first;
    return show_->setTitle(text, fontPath, o_.titleLook, TitleTiming{o_.fadeIn, o_.titleFor}, label);
  }

 private:
  // The sound at frame n, after the analysis has heard what lies between
  // the frame before and it: below 60 frames a second it is also stepped at
  // the 60 Hz ticks in between, so what it smooths and integrates, and the
  // onsets it finds, are what a 60 fps render has at the same moment.
  FrameSound& stepTo(int64_t n);
  // The song playing at a sound frame: its gain set for the analysis.
  void levelFor(int64_t soundFrame);
  static constexpr int64_t kAnalysisTicks = 60;
  // Seconds of earlier frames what the analysis carries still shows in a
  // frame (and a picture that reads `previous` and says nothing of its memory).
  static constexpr double kPictureMemory = 10.0;

  const OfflineShowSettings o_;
  const FrameClock clock_;
  const std::vector<ImageSource> images_;
  OffscreenContext context_;
  std::unique_ptr<Show> show_;  // after the context, so its GL objects go first
  int64_t shownFrom_ = 0;
  SongFeed songs_;  // progress, level and beat of every frame
  std::string fontPath_;
  int64_t songsFrom_ = 0;      // the whole render's first frame
  size_t titled_ = SIZE_MAX;   // the song whose title is set
  size_t levelled_ = SIZE_MAX; // the song whose gain is set
  WindowReader source_;
  std::vector<std::vector<float>> early_;
  std::function<void(std::vector<float>)> soundTo_;
  void sayIfBehind(std::chrono::steady_clock::time_point started, int64_t done);
  double behind_ = 0;  // a paced render's seconds behind the song, as last measured
  bool behindSaid_ = false;
  Notes say;
  FrameSound sound_;
  int64_t lastStep_ = -1;  // the frame last analysed; -1 before the first (and after a seek)
};

