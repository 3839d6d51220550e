// play.cpp — the `play` command: a song (or a capture device) in a window,
// with the shader pair reloaded whenever it is saved.
//
// The command opens, in order, what the show is drawn with and heard from
// (the inputs, the sound, the window or a context with no display, the OSC
// port, the show and its pictures, the outputs), hands them to the driver
// that runs the frames (PlayingShow, show/playingShow.h) and says how the
// stream ended.
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
#include "show/playingShow.h"
#include "show/show.h"
#include "show/window.h"
#include "sound/listening.h"

namespace {

using Clock = std::chrono::steady_clock;

// One run of play: what it opens, in order, released in reverse (the
// window's GL context outlives everything drawn in it), and the driver run over it.
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
    PlayingShowSettings settings;
    settings.pacedRate = pacedRate();
    settings.streamFps = stream_ ? o_.fps.value() : 0.0;
    settings.verbose = o_.verbose;
    settings.frameTimes = o_.frameTimes;
    settings.overwrite = o_.overwrite;
    PlayingShowHooks hooks;
    hooks.notes = notes();
    hooks.firstFrame = [this] { firstFrameShown(); };
    if (soundWatcher_) {
      hooks.redrawSound = [this] { return redrawSoundOnSave(); };
    }
    hooks.beatLine = [this](const BeatGrid& grid) { return beatLine(grid, sound_.name()); };
    PlayingShow driver(PlayingShowParts{sound_, *show_, *pictures_, windowed() ? &window_ : nullptr, keys_, osc_,
                                        stream_.get(), screen_.get(), outputs_, listedNames_, moment_},
                       std::move(settings), std::move(hooks), run_);
    driver.run();
    return endStream();
  }

 private:
  // Start-up's steps, said with --verbose once the first frame is on screen.
  void firstFrameShown() {
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
  // True when the song was replaced.
  bool redrawSoundOnSave() {
    std::string changed;
    if (!soundWatcher_ || !soundWatcher_->poll(changed)) {
      return false;
    }
    ShaderSongRequest request{o_.soundShaders, static_cast<double>(sound_.frames()) / static_cast<double>(sound_.rate()),
                              true, o_.verbose, false, o_.channelSettings, false};
    request.run = &run_;
    const auto start = Clock::now();
    const Result<std::string> song = shaderSong(request);
    const Status replaced = song ? sound_.replaceSound(song.value()) : song.status();
    if (!replaced) {
      say(replaced.why() + "; the sound drawn before plays on");
      return false;
    }
    std::cout << "Drew the Sound pass again (" << changed << " saved) in "
              << std::llround(std::chrono::duration<double, std::milli>(Clock::now() - start).count()) << " ms"
              << std::endl;
    return true;
  }

  // The outputs, in the order they draw: the stream first (the window
  // shows its frame), then the window.
  std::optional<int> openOutputs() {
    if (!o_.stream.empty()) {
      EncoderSettings settings = streamSettings(o_, sound_.streamChannels(), static_cast<int>(sound_.rate()));
      settings.run = &run_;
      stream_ = std::make_unique<StreamOutput>(settings, windowed(), o_.flashGuard, [this](int64_t count) {
        const auto at = static_cast<int64_t>(std::llround(moment_.seconds * static_cast<double>(sound_.rate())));
        return sound_.streamSound(count, moment_.paused, at);
      }, say);
      if (const Status opened = stream_->open(); !opened) {
        return report(kExitFailure, opened.why());
      }
      outputs_.push_back(stream_.get());
      std::cout << "Streaming to " << printable(o_.stream) << ": " << o_.width << "x" << o_.height << " at "
                << o_.fps.value() << " fps" << std::endl;
    }
    if (windowed()) {
      screen_ = std::make_unique<WindowOutput>(window_, stream_.get(), pacedRate());
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
    const StreamOutput& live = *stream_;
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

  // A stream's frames come at its own rate; a window alone, at the display's.
  double pacedRate() const { return stream_ ? o_.fps.value() : window_.refreshRate(); }

  const Clock::time_point started_ = Clock::now();
  Clock::time_point lastMark_ = started_;
  std::string startup_;  // mark()'s steps so far
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
  PlayingMoment moment_;  // the frame's time, where a stream takes its sound (written by the driver)
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
