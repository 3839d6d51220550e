// play.cpp — the `play` command: a song (or a capture device) in a window,
// with the shader pair reloaded whenever it is saved.
//
// One thread: poll the window, the OSC port and the shader folder; tick the
// playing clock (the song's position, or the capture's running time);
// advance the show with the sound heard then; draw it into each output (the
// window, the stream); flip; wait for the next frame. OpenAL plays or
// captures on its own, a stream encodes on its own: only positions, samples
// and pictures cross.
#include <chrono>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>

#include "base/interrupt.h"
#include "base/runContext.h"
#include "base/pacer.h"
#include "base/text.h"
#include "cli.h"
#include "play.h"
#include "control/osc.h"
#include "picture/image.h"
#include "picture/offscreen.h"
#include "picture/picture.h"
#include "picture/shaderSource.h"
#include "picture/watcher.h"
#include "plan.h"
#include "shaderSound.h"
#include "show/onScreen.h"
#include "show/output.h"
#include "show/playingClock.h"
#include "show/show.h"
#include "show/songFeed.h"
#include "show/window.h"
#include "sound/analysis.h"
#include "sound/listening.h"
#include "video/frameTimeLog.h"
// GLFW after the loader, so it does not pull in the system GL header.
#include <GLFW/glfw3.h>

namespace {

using Clock = std::chrono::steady_clock;

// One run of play: what it opens, in order, released in reverse (the
// window's GL context outlives everything drawn in it), and the frame loop.
class Session {
 public:
  Session(const PlayOptions& o, const RunContext& run) : o_(o), run_(run), sound_(listeningSettings(o)) {}

  // An exit status to leave with, or nothing to go on.
  std::optional<int> open() {
    Result<ShowInputs> inputs = loadShowInputs(o_);
    if (!inputs) {
      return report(kExitUsage, inputs.why());
    }
    mark("inputs");
    if (const Status opened = sound_.open(say); !opened) {
      return report(sound_.usageError() ? kExitUsage : kExitFailure, opened.why());
    }
    if (sound_.live()) {
      std::cout << "Capturing from " << sound_.name() << std::endl;
    }
    clock_ = std::make_unique<PlayingClock>(static_cast<double>(sound_.rate()), sound_.live());
    const std::string& fontPath = inputs.value().fontPath;
    const Result<std::string> title = titleToDraw(o_, sound_.name(), sound_.tags(), fontPath, false);
    if (!title) {
      return report(kExitUsage, title.why());
    }
    if (!o_.lyrics.empty() && sound_.live()) {
      return report(kExitUsage, "--lyrics follows a song's time; a capture has none");
    }
    Result<std::unique_ptr<Lyrics>> lyrics = lyricsToDraw(o_, sound_.tags(), fontPath, o_.width, o_.height);
    if (!lyrics) {
      return report(kExitUsage, lyrics.why());
    }
    // The window before the OSC thread: opening it points stderr away from
    // the terminal for a moment, when no thread of ours may be writing.
    mark("sound");
    if (const Status opened = openSurface(); !opened) {
      return report(kExitFailure, opened.why());
    }
    mark(windowed() ? "window" : "context");
    if (o_.oscPort > 0) {
      if (const Status listening = osc_.open(o_.oscPort); !listening) {
        return report(kExitFailure, listening.why());
      }
    }
    show_ = std::make_unique<Show>(static_cast<int>(sound_.rate()));
    show_->picture().setSettings(std::move(inputs.value().settings), say);
    show_->setLyrics(std::move(lyrics.value()), static_cast<double>(sound_.frames()) / static_cast<double>(sound_.rate()));
    if (const std::optional<int> leave = openPicture(inputs.value(), title.value())) {
      return leave;
    }
    mark("picture");
    if (show_->anyReads(&Picture::readsTempo) || show_->schedule().active()) {
      // The whole song's beat before the first frame, then the song from its
      // start: tracked in the loop, the window would freeze and the clock jump.
      sound_.trackBeats();
      if (!sound_.live()) {
        sound_.seek(0);
      }
    }
    watchSound();
    return openOutputs();
  }

  // True when every output ended well.
  bool run() {
    Pacer pacer(pacedRate(), stream_ != nullptr);
    FrameTimeLog frameTimes(o_.frameTimes, o_.overwrite);
    bool first = true;
    while (!(windowed() && glfwWindowShouldClose(window_.get())) && !run_.stopping() && outputsGo_) {
      if (windowed()) {
        glfwPollEvents();
      }
      const Clock::time_point now = Clock::now();
      addControls(osc_.take(), keys_, say);
      applyKeys();
      pictures_->poll(show_->picture());
      redrawSoundOnSave();
      const int64_t position = sound_.position();
      const Tick tick = tickAt(position, now);
      pictureSeconds_ = tick.seconds;
      // Paused, the picture holds still; a song's first paused frame is still
      // made, at the moment paused at (the analysis and the music clocks
      // taken there), so what stays on screen is what a render of that moment
      // draws, however long before the pause the last frame came.
      if (!paused_ || (!pausedFrameMade_ && !sound_.live())) {
        // The sound of the picture's own time, as a render takes it.
        listen(tick, sound_.live() ? 0 : std::llround(tick.seconds * static_cast<double>(sound_.rate())));
        pausedFrameMade_ = paused_;
      } else {
        show_->hold(tick);
      }
      drawFrame(position);
      showTitleBar(position);
      if (!paused_) {
        ++frameNumber_;
      }
      const Clock::time_point beforeSwap = Clock::now();
      for (ShowOutput* output : outputs_) {
        output->flip();
      }
      if (first) {
        firstFrameShown();
        first = false;
      }
      frameTimes.add(Clock::now() - now);
      pacer.wait(Clock::now() - beforeSwap);
      sound_.keepAlive(say);
    }
    const bool streamed = endStream();
    if (const Status written = frameTimes.write(); !written) {
      say(written.why());
    }
    return streamed;
  }

 private:
  // The frame's times from play's clock, with what the song says of that
  // moment: how far through it is and where the beat is. Paused, the
  // picture holds still: no new spectrum, no time.
  Tick tickAt(int64_t position, Clock::time_point now) {
    Tick tick = clock_->tick(position, now, paused_, frameNumber_, stream_ ? o_.fps.value() : screen_->fps());
    if (stream_ && !sound_.live()) {
      tick = grid_.place(tick, paused_);
    }
    if (!sound_.live() && sound_.frames() > 0) {
      // The one song, played over and over (a Sound pass drawn again may change its length).
      if (song_.empty() || song_.song(0).soundFrames != sound_.frames()) {
        song_ = SongFeed(std::vector<SongStart>{SongStart{0, 0, sound_.frames(), "", 0}}, true);
      }
      tick.progress = song_.at(std::llround(std::max(tick.seconds, 0.0) * static_cast<double>(sound_.rate()))).progress;
    }
    if (show_->anyReads(&Picture::readsTempo) || show_->schedule().active()) {
      bool found = false;
      tick.beat = sound_.beatAt(tick.seconds, found);
      if (found && o_.verbose) {
        say(beatLine(sound_.beats(), sound_.name()));
      }
    }
    return tick;
  }

  // The driver compiles at the first draw: until then a signal ends play at once.
  void firstFrameShown() {
    glFinish();
    stopLoopsOnSignal();
    mark("first frame");
    if (o_.verbose) {
      char line[64];
      std::snprintf(line, sizeof line, "the first frame drawn %.2f s after start",
                    std::chrono::duration<double>(lastMark_ - started_).count());
      say(line + std::string(" (seconds: ") + startup_ + ")");
    }
  }

  bool windowed() const { return window_.get() != nullptr; }

  // What start-up spent its time on, for --verbose ("inputs 0.02, sound 0.10, ...").
  void mark(const char* step) {
    const Clock::time_point now = Clock::now();
    char part[64];
    std::snprintf(part, sizeof part, "%s%s %.2f", startup_.empty() ? "" : ", ", step,
                  std::chrono::duration<double>(now - lastMark_).count());
    startup_ += part;
    lastMark_ = now;
  }

  // The Sound pass playing as the song is no news; else it is left out with a line.
  PlayNotes notes() const {
    return PlayNotes{[](const std::string& line) { std::cout << line << std::endl; },
                     o_.soundFromShaders ? withoutSoundNote(say) : say,
                     [](const std::string& log) { std::cerr << log << std::flush; }};
  }

  // A window, or with --no-window a context with no display at the stream's size.
  Status openSurface() {
    if (o_.noWindow) {
      offscreen_ = std::make_unique<OffscreenContext>();
      return offscreen_->open(o_.width, o_.height);
    }
    return window_.open(o_.width, o_.height, sound_.name(), &keys_, o_.stream.empty());
  }

  // The backdrop, the title, the first picture, the images and cover art.
  std::optional<int> openPicture(const ShowInputs& inputs, const std::string& title) {
    for (const Status& overlay :
         {show_->setBackdrop(inputs.backdrop, false),
          show_->setTitle(title, inputs.fontPath, o_.titleLook, TitleTiming{0.0, o_.titleFor})}) {
      if (!overlay) {
        return report(kExitFailure, overlay.why());
      }
    }
    pictures_ = std::make_unique<ShownPicture>(FirstPicture{o_.picture, o_.shaders, o_.channelSettings, o_.palette}, notes());
    if (const Status first = pictures_->open(show_->picture()); !first) {
      return report(o_.picture.empty() ? kExitFailure : kExitUsage, first.why());
    }
    if (const std::optional<int> leave = openPlaylist()) {
      return leave;
    }
    if (const Status set = show_->setImages(inputs.images, o_.images); !set) {
      return report(kExitFailure, set.why());
    }
    // A capture has no cover art: the first image is the cover.
    SharedImage given = std::make_shared<const Image>();
    if (sound_.live() && !inputs.images.empty()) {
      const Result<SharedImage> first = inputs.images.front()->pixels();
      if (!first) {
        return report(kExitFailure, "--image " + o_.images.front() + ": " + first.why());
      }
      given = first.value();
    }
    const Image cover = sound_.live() ? *given : chooseCover(o_.sound, inputs.images, say);
    for (size_t i = 0; i < show_->pictureCount(); ++i) {
      if (const Status covered = show_->picture(i).setCover(cover); !covered) {
        return report(kExitFailure, "the cover art: " + covered.why());
      }
    }
    return std::nullopt;
  }

  // Party mode: the list's other pictures; one that does not build is left out with a line.
  std::optional<int> openPlaylist() {
    if (o_.playlist.size() <= 1) {
      return std::nullopt;
    }
    Result<std::vector<ListedPicture>> listed = listedPictures(o_);
    if (!listed) {
      return report(kExitUsage, listed.why());
    }
    const Result<std::vector<std::string>> added = show_->addPictures(
        listed.value(), o_.channelSettings,
        PlaylistSettings{o_.changeEvery, o_.crossfade, o_.beatsPerBar, o_.shuffle, o_.seed}, BrokenPicture::leftOut, say);
    listedNames_ = {o_.playlist.front()};
    listedNames_.insert(listedNames_.end(), added.value().begin(), added.value().end());
    return std::nullopt;
  }

  // The Sound pass that is the song, watched: a save draws it again, in
  // this context, and it plays on from where it was. One that does not build
  // leaves the sound drawn before playing.
  void watchSound() {
    if (!o_.soundFromShaders) {
      return;
    }
    const Result<ShaderSource> found = findShaderSource(o_.soundShaders);
    if (found) {
      soundWatcher_ = std::make_unique<ShaderWatcher>(found.value().folder, found.value().names);
    }
  }
  void redrawSoundOnSave() {
    std::string changed;
    if (!soundWatcher_ || !soundWatcher_->poll(changed)) {
      return;
    }
    ShaderSongRequest request{o_.soundShaders, static_cast<double>(sound_.frames()) / static_cast<double>(sound_.rate()),
                              true, o_.verbose, false, o_.channelSettings, false};
    request.run = &run_;
    const auto start = Clock::now();
    const Result<std::string> song = shaderSong(request);
    const Status replaced = song ? sound_.replaceSound(song.value()) : song.status();
    if (!replaced) {
      say(replaced.why() + "; the sound drawn before plays on");
      return;
    }
    std::cout << "Drew the Sound pass again (" << changed << " saved) in "
              << std::llround(std::chrono::duration<double, std::milli>(Clock::now() - start).count()) << " ms"
              << std::endl;
  }

  // The outputs, in the order they draw: the stream first (the window
  // shows its frame), then the window.
  std::optional<int> openOutputs() {
    if (!o_.stream.empty()) {
      grid_ = StreamGrid(o_.fps.value(), static_cast<double>(sound_.frames()) / static_cast<double>(sound_.rate()));
      EncoderSettings settings = streamSettings(o_, sound_.streamChannels(), static_cast<int>(sound_.rate()));
      settings.run = &run_;
      stream_ = std::make_unique<StreamOutput>(settings, windowed(), o_.flashGuard, [this](int64_t count) {
        const auto at = static_cast<int64_t>(std::llround(pictureSeconds_ * static_cast<double>(sound_.rate())));
        return sound_.streamSound(count, paused_, at);
      }, say);
      if (const Status opened = stream_->open(); !opened) {
        return report(kExitFailure, opened.why());
      }
      outputs_.push_back(stream_.get());
      std::cout << "Streaming to " << printable(o_.stream) << ": " << o_.width << "x" << o_.height << " at "
                << o_.fps.value() << " fps" << std::endl;
    }
    if (windowed()) {
      screen_ = std::make_unique<WindowOutput>(window_, stream_ ? &stream_->live() : nullptr, pacedRate());
      outputs_.push_back(screen_.get());
    }
    return std::nullopt;
  }

  // The stream's summary; false when it did not end well (a failed flush,
  // a receiver that left and did not come back).
  bool endStream() {
    if (!stream_) {
      return true;
    }
    const Status ended = stream_->finish();
    const LiveOutput& live = stream_->live();
    std::cerr << (run_.stopping() ? "vrax-studio: interrupted; streamed " : "Streamed ") << live.sent() << " frames ("
              << static_cast<double>(live.sent()) / o_.fps.value() << " s) to " << printable(o_.stream) << "; "
              << live.dropped() << " dropped";
    if (live.unsent() > 0) {
      std::cerr << ", " << live.unsent() << " with no receiver";
    }
    std::cerr << std::endl;
    if (sound_.live() && (sound_.capturedGaps() > 0 || sound_.capturedDropped() > 0)) {
      const auto ms = [&](int64_t frames) { return std::to_string(frames * 1000 / std::max<int64_t>(1, sound_.rate())); };
      say("the captured sound sent: " + ms(sound_.capturedGaps()) + " ms of silence where the device was late, " +
          ms(sound_.capturedDropped()) + " ms let go where the stream was behind it");
    }
    if (!ended) {
      say(ended.why());
    }
    if (live.eased() > 0) {
      say("the picture flashed faster than three times a second; the flash guard eased " +
          std::to_string(live.eased()) + " frames of the stream (--flash-guard off: as drawn)");
    }
    return static_cast<bool>(ended);
  }

  // Pause, seek, full screen and the gallery, as the keys and OSC asked since the last frame.
  void applyKeys() {
    if (keys_.togglePause) {
      keys_.togglePause = false;
      paused_ = !paused_;
      if (sound_.live() && !saidNoPause_) {
        std::cerr << "vrax-studio: a capture device cannot pause; the picture is frozen instead" << std::endl;
        saidNoPause_ = true;
      }
      if (!sound_.live()) {
        sound_.setPaused(paused_);
        std::cout << (paused_ ? "Paused at " : "Playing from ") << secondsText(sound_.position(), sound_.rate())
                  << std::endl;
      }
    }
    if (keys_.seekSeconds != 0 || keys_.home) {
      if (sound_.live() && !saidNoSeek_) {
        std::cerr << "vrax-studio: a capture device cannot seek" << std::endl;
        saidNoSeek_ = true;
      } else if (!sound_.live()) {
        sound_.seek(keys_.home ? 0 : sound_.position() + keys_.seekSeconds * sound_.rate());
        show_->restart();
        pausedFrameMade_ = false;
        std::cout << "At " << secondsText(sound_.position(), sound_.rate()) << std::endl;
      }
      keys_.seekSeconds = 0;
      keys_.home = false;
    }
    if (keys_.fullScreen) {
      keys_.fullScreen = false;
      window_.toggleFullScreen();
    }
    if (show_->schedule().active()) {
      applyPartyKeys();
    }
    const bool stepped = keys_.stepPicture != 0 && pictures_->step(keys_.stepPicture > 0 ? 1 : -1, show_->picture());
    const bool jumped = !keys_.pictureName.empty() && pictures_->jump(keys_.pictureName, show_->picture());
    if ((stepped || jumped) && screen_) {
      screen_->titleNow();
    }
    keys_.stepPicture = 0;
    keys_.pictureName.clear();
    applyRequests();
  }

  // Party mode's keys: L locks the picture showing (and unlocks), N and P
  // step the list on and back.
  void applyPartyKeys() {
    PictureSchedule& schedule = show_->schedule();
    if (keys_.toggleLock) {
      keys_.toggleLock = false;
      if (schedule.locked()) {
        schedule.unlock();
        std::cout << "Unlocked: the pictures change with the music again" << std::endl;
      } else {
        schedule.lock(show_->showing());
        std::cout << "Locked on " << listedNames_[show_->showing().mix >= 0.5 ? show_->showing().to : show_->showing().from]
                  << std::endl;
      }
    }
    if (keys_.stepPicture != 0) {
      schedule.step(keys_.stepPicture > 0 ? 1 : -1);
      keys_.stepPicture = 0;
    }
  }

  // What only OSC asks: a setting and the gain.
  void applyRequests() {
    for (const std::string& set : keys_.sets) {
      Result<std::vector<Setting>> applied = applySettings(show_->picture().settings(), {set});
      if (applied) {
        show_->picture().setSettings(std::move(applied.value()), say);
      } else {
        say("OSC /vrax/set: " + applied.why());
      }
    }
    keys_.sets.clear();
    if (keys_.gainDb) {
      sound_.setGainDb(*keys_.gainDb);
      keys_.gainDb.reset();
    }
  }

  // A stream's frames come at its own rate; a window alone, at the display's.
  double pacedRate() const { return stream_ ? o_.fps.value() : window_.refreshRate(); }

  // The frame's sound, heard at the playing position plus --latency (which
  // moves only where the sound is taken, never the picture's time).
  void listen(const Tick& tick, int64_t position) {
    const double heardAt = clock_->seconds(sound_.around(position, frameSound_));
    show_->setGain(sound_.gain(frameSound_, tick.delta));
    float date[4] = {};
    dateNow(date);
    show_->setDate(date);
    float mouse[4] = {};
    if (windowed()) {
      mouse_.read(window_.get(), mouse);
    }
    show_->setMouse(mouse);
    show_->advance(tick, frameSound_, heardAt);
  }

  // The show into every output; in the window a shot if asked and the
  // stale frame if the files on disk are not what is shown.
  void drawFrame(int64_t position) {
    show_->setKeys(keys_.rows);
    // A press is seen for one frame.
    std::fill(keys_.rows.begin() + kKeyCodes, keys_.rows.begin() + 2 * kKeyCodes, 0);
    for (ShowOutput* output : outputs_) {
      if (!output->frame(*show_)) {
        say(output->status().why() + "; the stream ends");
        outputsGo_ = false;
      }
    }
    if (!screen_ || screen_->width() <= 0 || screen_->height() <= 0) {
      return;
    }
    if (keys_.shot) {
      keys_.shot = false;
      const Result<std::string> shot = saveShot(screen_->width(), screen_->height(),
                                                std::filesystem::path(sound_.name()).stem().string(),
                                                clock_->seconds(position));
      if (shot) {
        std::cout << "Saved " << quotedName(shot.value()) << std::endl;
      } else {
        say("could not save the picture: " + shot.why());
      }
    }
    if (pictures_->stale()) {
      show_->picture().drawStaleFrame(screen_->width(), screen_->height());
    }
  }

  // Twice a second: the song, the picture, the position and the frame rate.
  void showTitleBar(int64_t position) {
    if (!screen_) {
      return;
    }
    screen_->title([&] {
      const auto rate = static_cast<double>(sound_.rate());
      return TitleBar{sound_.name(), pictures_->name(), sound_.live(), static_cast<double>(position) / rate,
                      static_cast<double>(sound_.frames()) / rate, 0, paused_, pictures_->stale()};
    });
  }

  const Clock::time_point started_ = Clock::now();
  Clock::time_point lastMark_ = started_;
  std::string startup_;  // mark()'s steps so far
  SongFeed song_;
  const PlayOptions& o_;
  const RunContext& run_;
  Listening sound_;
  // The window, then what is drawn in it (released first).
  Keys keys_;
  Window window_;
  std::unique_ptr<OffscreenContext> offscreen_;  // instead of the window, with --no-window
  std::unique_ptr<ShaderWatcher> soundWatcher_;    // the Sound pass that is the song, when it is
  OscControl osc_;  // before the window: its thread hands commands to the loop
  std::unique_ptr<Show> show_;  // made once the window (its GL context) is open
  std::unique_ptr<ShownPicture> pictures_;
  std::vector<std::string> listedNames_;  // party mode: the pictures that built, in the list's order
  // Where the frames go; their GL objects go before the context.
  std::unique_ptr<StreamOutput> stream_;  // --stream
  std::unique_ptr<WindowOutput> screen_;  // unless --no-window
  std::vector<ShowOutput*> outputs_;
  double pictureSeconds_ = 0;  // this frame's time, where a stream takes its sound
  StreamGrid grid_{30.0, 0.0};  // a song's stream frames on the stream's grid
  bool outputsGo_ = true;

  // What carries from frame to frame.
  FrameSound frameSound_;
  ShadertoyMouse mouse_;
  std::unique_ptr<PlayingClock> clock_;  // once the sound is open
  int64_t frameNumber_ = 0;
  bool paused_ = false;
  bool pausedFrameMade_ = false;  // the frame at the moment paused at (or sought to while paused)
  bool saidNoSeek_ = false;
  bool saidNoPause_ = false;
};

}  // namespace

int runPlay(const PlayOptions& o) {
  if (o.listDevices) {
    std::cout << captureDeviceList() << std::flush;
    return kExitDone;
  }
  if (const Status frameTimes = checkFrameTimes(o); !frameTimes) {
    return report(kExitUsage, frameTimes.why());
  }
  catchInterrupts();
  const RunContext run;
  // A Sound pass is drawn whole before anything plays, so it never falls
  // behind the playing position.
  PlayOptions given = o;
  if (!given.capture) {
    if (const std::optional<int> leave = useShaderSong(given, 0, false, run, !given.picture.empty() || given.soundSeconds > 0, true)) {
      return *leave;
    }
  }
  Session session(given, run);
  if (const std::optional<int> leave = session.open()) {
    return *leave;
  }
  const bool ended = session.run();
  return run.stopping() ? kExitInterrupted : ended ? kExitDone : kExitFailure;
}
