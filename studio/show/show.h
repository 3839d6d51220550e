// show.h — one show: what a frame of a picture is made from, made the same
// way whatever drives it (a render's exact frame times, a playing song, a
// capture's wall clock) and wherever it goes (a file, a stream, a window).
//
// A loop makes each frame with two calls: advance(), with the frame's Tick
// from its clock and the sound heard at that moment, then draw() at a size.
// The show owns the analysis carried from frame to frame, the picture (or a
// playlist's pictures, their schedule and the crossfade between them), the
// backdrop, the title and the lyrics, and is the one place a frame's values
// are set.
//
// Glossary. A *frame* is one picture drawn at one moment; a *tick* is what a
// clock says about that moment (below). *Seconds* are the picture's time
// (`itime`, iTime). *Shown for* is how long the show has been on screen or
// in the video: what the title's fades count.
//
// Who makes each time field:
//   Tick::seconds   the clock: a render's frame time n/fps (exact), a song's
//                   playing position, a capture's running time.
//   Tick::delta     the clock: the step from the frame before (1/fps in a
//                   render; in play the position's step, the wall clock's
//                   where the position jumped). Never --latency, never negative.
//   Tick::frame     the clock: iFrame, frames since the song's start (render)
//                   or since play started.
//   Tick::shownFor  the clock: seconds since the show's first frame (render:
//                   the span's first frame; play: the wall clock since start).
//   Tick::progress  the clock's owner, from its SongFeed (songFeed.h): the
//                   song's position over its length.
//   Tick::beat      the clock's owner, from the same SongFeed answer: the
//                   song's beat grid at the sound's own time (a file), or
//                   the live estimate (a capture).
//   the music inputs and clocks (bassTime, …): the analysis, from the sound.
//
// Threading: only on the thread whose GL context is current, from open() on.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/status.h"
#include "picture/backdrop.h"
#include "picture/image.h"
#include "picture/lyrics.h"
#include "picture/multipass.h"
#include "picture/overlay.h"
#include "picture/picture.h"
#include "picture/title.h"
#include "show/playlist.h"
#include "sound/analysis.h"

// Builds a picture from a pair's folder or Shadertoy's form (with its
// channels); refused with the driver's logs and what did not build.
Status buildPicture(Picture& picture, const std::string& shaders, const std::vector<ChannelSetting>& channels,
                    const Notes& say);

// One picture of a playlist after the first: where its shaders are and its
// own settings.
struct ListedPicture {
  std::string name;
  std::string shaders;
  std::vector<Setting> settings;
};

// What a playlist's picture that does not build does: a render fails (its
// video would not be the list asked for); play leaves it out with a line,
// and the show goes on with the others.
enum class BrokenPicture { fails, leftOut };

// What a clock says about the moment of one frame (see the glossary above).
struct Tick {
  double seconds = 0;
  double delta = 0;
  int64_t frame = 0;
  double shownFor = 0;
  double rate = 60;  // frames a second, as the clock runs (iFrameRate)
  double progress = 0;  // how far through the song playing, 0 → 1
  BeatAt beat;          // the beat grid's (a file) or the live estimate's (a capture)
};

// How the title comes and goes: a fade-in over the show's first seconds
// (0: at once) and, with `titleFor`, a fade-out over one second after that long.
struct TitleTiming {
  double fadeIn = 0;
  double titleFor = 0;
};

class Show {
 public:
  explicit Show(int soundRate);
  ~Show();
  Show(const Show&) = delete;
  Show& operator=(const Show&) = delete;

  // The picture, made once a GL context is current; the commands build its
  // passes into it (a render once, play on every save or gallery step).
  Picture& picture() { return *picture_; }
  const Picture& picture() const { return *picture_; }
  // A playlist's further pictures (the first is picture()), each with its
  // own passes, settings and frames before; the schedule says which shows.
  Picture& addPicture(std::unique_ptr<Picture> picture);
  size_t pictureCount() const { return 1 + others_.size(); }
  Picture& picture(size_t i) { return i == 0 ? *picture_ : *others_[i - 1]; }
  void setSchedule(PictureSchedule schedule) { schedule_ = std::move(schedule); }
  // A playlist's pictures after the first, each built with its own
  // settings, then the schedule that changes between them; the names of
  // those added, or (BrokenPicture::fails) why one does not build.
  Result<std::vector<std::string>> addPictures(const std::vector<ListedPicture>& list,
                                               const std::vector<ChannelSetting>& channels,
                                               const PlaylistSettings& playlist, BrokenPicture broken,
                                               const Notes& say);
  PictureSchedule& schedule() { return schedule_; }
  const Showing& showing() const { return showing_; }
  // Whether any picture of the show reads it (readsPrevious, readsTempo, …).
  bool anyReads(bool (Picture::*reads)() const) const;
  // The background under every frame and the logo over it; why they cannot
  // be drawn, or success. `transparent`: the picture is laid over something.
  Status setBackdrop(const BackdropImages& images, bool transparent);
  // --image into the picture's image slots in order; names: as given, for
  // the message where one cannot be used.
  Status setImages(const std::vector<ImageSource>& images, const std::vector<std::string>& names);
  // The title, laid out again at each new size (empty text: none). The
  // picture is told where it is, to keep its marks clear, unless it is only
  // a label over the picture as it would be without one (`label`).
  Status setTitle(const std::string& text, const std::string& fontPath, const TitleLook& look, TitleTiming timing,
                  bool label = false);
  // Words over the picture at the song's time (seconds round a song of
  // `loop` seconds played over and over; 0: a render's time as it is).
  void setLyrics(std::unique_ptr<Lyrics> lyrics, double loop = 0);
  // What the analysis sees of the sound, in dB (levelling and --gain).
  void setGain(double db) { analysis_.setGain(db); }
  // The date iDate gives, for this frame on.
  void setDate(const float date[4]);
  void setSampleRate(double rate) { times_.sampleRate = rate; }
  void setMouse(const float mouse[4]);
  void setKeys(const KeyRows& keys) { times_.keys = keys; }

  // One step of the analysis between frames (a render below 60 fps steps at
  // the 60 Hz ticks in between, so what it smooths does not depend on the
  // frame rate); nothing is drawn.
  void listen(FrameSound& sound, double seconds) { analysis_.step(sound, seconds); }
  // The frame at `tick`, with the sound heard then (analysed at `heardAt`
  // seconds: the tick's own time, or later by play's --latency).
  void advance(const Tick& tick, FrameSound& sound, double heardAt);
  // The frame at `tick` without a new sound (paused): the picture holds still.
  void hold(const Tick& tick);
  // Draws the frame advanced to into the bound framebuffer: the picture, the
  // backdrop, the title with its fades.
  void draw(int width, int height);
  // After a seek: what the analysis carried and the picture's frame before go.
  void restart();

 private:
  Analysis analysis_;
  std::unique_ptr<Picture> picture_;
  std::vector<std::unique_ptr<Picture>> others_;
  PictureSchedule schedule_;
  Showing showing_;
  std::unique_ptr<CrossFade> crossFade_;
  bool coverage_ = false;  // the pictures' alpha is coverage
  std::unique_ptr<Backdrop> backdrop_;
  FrameTimes times_;
  double shownFor_ = 0;
  // The title and its layout at the size last drawn.
  std::string titleText_;
  std::string fontPath_;
  TitleLook look_;
  TitleTiming timing_;
  std::unique_ptr<Overlay> title_;
  std::unique_ptr<Lyrics> lyrics_;
  std::unique_ptr<Overlay> words_;
  double lyricsLoop_ = 0;
  int titleWidth_ = 0;
  int titleHeight_ = 0;
  float titleBox_[4] = {0, 0, 0, 0};  // its words in pixels from the bottom left
  bool titleIsLabel_ = false;
  float placeTitle(int width, int height);
};
