// playingShow.cpp — see playingShow.h.
#include "show/playingShow.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>

#include "base/interrupt.h"
#include "base/pacer.h"
#include "base/text.h"
#include "picture/program.h"
#include "picture/settings.h"
#include "video/frameTimeLog.h"
// GLFW after the loader, so it does not pull in the system GL header.
#include <GLFW/glfw3.h>

PlayingShow::PlayingShow(PlayingShowParts parts, PlayingShowSettings settings, PlayingShowHooks hooks,
                         const RunContext& run)
    : parts_(std::move(parts)),
      o_(std::move(settings)),
      hooks_(std::move(hooks)),
      run_(run),
      clock_(static_cast<double>(parts_.sound.rate()), parts_.sound.live()),
      grid_(o_.streamFps > 0 ? o_.streamFps : 30.0,
            static_cast<double>(parts_.sound.frames()) / static_cast<double>(parts_.sound.rate())) {}

void PlayingShow::run() {
  Pacer pacer(o_.pacedRate, parts_.stream != nullptr);
  FrameTimeLog frameTimes(o_.frameTimes, o_.overwrite);
  bool first = true;
  while (!(windowed() && glfwWindowShouldClose(parts_.window->get())) && !run_.stopping() && outputsGo_) {
    if (windowed()) {
      glfwPollEvents();
    }
    const Clock::time_point now = Clock::now();
    addControls(parts_.osc.take(), parts_.keys, hooks_.notes.warned);
    applyKeys();
    parts_.pictures.poll(parts_.show.picture());
    redrawSoundOnSave();
    const int64_t position = parts_.sound.position();
    const Tick tick = tickAt(position, now);
    parts_.moment = PlayingMoment{tick.seconds, paused_};
    // Paused, the picture holds still; a song's first paused frame is still
    // made, at the moment paused at (the analysis and the music clocks
    // taken there), so what stays on screen is what a render of that moment
    // draws, however long before the pause the last frame came.
    if (!paused_ || (!pausedFrameMade_ && !parts_.sound.live())) {
      // The sound of the picture's own time, as a render takes it.
      listen(tick, parts_.sound.live()
                       ? 0
                       : std::llround(tick.seconds * static_cast<double>(parts_.sound.rate())));
      pausedFrameMade_ = paused_;
    } else {
      parts_.show.hold(tick);
    }
    drawFrame(position);
    showTitleBar(position);
    if (!paused_) {
      ++frameNumber_;
    }
    const Clock::time_point beforeSwap = Clock::now();
    for (ShowOutput* output : parts_.outputs) {
      output->flip();
    }
    if (first) {
      // The driver compiles at the first draw: until then a signal ends play at once.
      glFinish();
      stopLoopsOnSignal();
      if (hooks_.firstFrame) {
        hooks_.firstFrame();
      }
      first = false;
    }
    frameTimes.add(Clock::now() - now);
    pacer.wait(Clock::now() - beforeSwap);
    parts_.sound.keepAlive(hooks_.notes.warned);
  }
  if (const Status written = frameTimes.write(); !written) {
    warn(written.why());
  }
}

bool PlayingShow::readsTempo() const {
  return parts_.show.anyReads(&Picture::readsTempo) || parts_.show.schedule().active();
}

// Paused, the picture holds still: no new spectrum, no time.
Tick PlayingShow::tickAt(int64_t position, Clock::time_point now) {
  Listening& sound = parts_.sound;
  Tick tick = clock_.tick(position, now, paused_, frameNumber_,
                          parts_.stream ? o_.streamFps : parts_.screen ? parts_.screen->fps() : o_.pacedRate);
  if (parts_.stream && !sound.live()) {
    tick = grid_.place(tick, paused_);
  }
  if (sound.live()) {
    playing_ = SongAt{};
    if (readsTempo()) {
      tick.beat = sound.liveBeat();
    }
    return tick;
  }
  feedSong();
  playing_ = song_.at(std::llround(std::max(tick.seconds, 0.0) * static_cast<double>(sound.rate())));
  if (sound.frames() > 0) {
    tick.progress = playing_.progress;
  }
  tick.beat = playing_.beat;
  return tick;
}

void PlayingShow::feedSong() {
  Listening& sound = parts_.sound;
  if (song_.empty() || song_.song(0).soundFrames != sound.frames()) {
    song_ = SongFeed({SongStart{0, 0, sound.frames(), "", sound.songGainDb()}}, true, sound.rate());
  }
  if (song_.song(0).gainDb != sound.songGainDb()) {
    song_.setGainDb(0, sound.songGainDb());
  }
  // The beat is tracked only for a picture that reads it (a picture saved
  // with a tempo input starts it mid-show).
  BeatGrid grid;
  if (readsTempo() && sound.takeTrackedBeats(grid)) {
    if (o_.verbose && hooks_.beatLine) {
      warn(hooks_.beatLine(grid));
    }
    song_.setBeats(std::move(grid));
  }
}

// The frame's sound, heard at the playing position plus --latency (which
// moves only where the sound is taken, never the picture's time).
void PlayingShow::listen(const Tick& tick, int64_t position) {
  Listening& sound = parts_.sound;
  const double heardAt = clock_.seconds(sound.around(position, frameSound_));
  parts_.show.setGain(sound.live() ? sound.captureGainDb(frameSound_, tick.delta) : playing_.gainDb);
  float date[4] = {};
  dateNow(date);
  parts_.show.setDate(date);
  float mouse[4] = {};
  if (windowed()) {
    mouse_.read(parts_.window->get(), mouse);
  }
  parts_.show.setMouse(mouse);
  parts_.show.advance(tick, frameSound_, heardAt);
}

// The show into every output; in the window a shot if asked and the stale
// frame if the files on disk are not what is shown.
void PlayingShow::drawFrame(int64_t position) {
  Keys& keys = parts_.keys;
  parts_.show.setKeys(keys.rows);
  // A press is seen for one frame.
  std::fill(keys.rows.begin() + kKeyCodes, keys.rows.begin() + 2 * kKeyCodes, 0);
  for (ShowOutput* output : parts_.outputs) {
    if (!output->frame(parts_.show)) {
      warn(output->status().why() + "; the stream ends");
      outputsGo_ = false;
    }
  }
  WindowOutput* screen = parts_.screen;
  if (!screen || screen->width() <= 0 || screen->height() <= 0) {
    return;
  }
  if (keys.shot) {
    keys.shot = false;
    const Result<std::string> shot =
        saveShot(screen->width(), screen->height(), std::filesystem::path(parts_.sound.name()).stem().string(),
                 clock_.seconds(position));
    if (shot) {
      tell("Saved " + quotedName(shot.value()));
    } else {
      warn("could not save the picture: " + shot.why());
    }
  }
  if (parts_.pictures.stale()) {
    parts_.show.picture().drawStaleFrame(screen->width(), screen->height());
  }
}

// Twice a second: the song, the picture, the position and the frame rate.
void PlayingShow::showTitleBar(int64_t position) {
  if (!parts_.screen) {
    return;
  }
  parts_.screen->title([&] {
    const Listening& sound = parts_.sound;
    const auto rate = static_cast<double>(sound.rate());
    return TitleBar{sound.name(), parts_.pictures.name(), sound.live(), static_cast<double>(position) / rate,
                    static_cast<double>(sound.frames()) / rate, 0, paused_, parts_.pictures.stale()};
  });
}

void PlayingShow::applyKeys() {
  Keys& keys = parts_.keys;
  Listening& sound = parts_.sound;
  if (keys.togglePause) {
    keys.togglePause = false;
    paused_ = !paused_;
    if (sound.live() && !saidNoPause_) {
      warn("a capture device cannot pause; the picture is frozen instead");
      saidNoPause_ = true;
    }
    if (!sound.live()) {
      sound.setPaused(paused_);
      tell((paused_ ? "Paused at " : "Playing from ") + secondsText(sound.position(), sound.rate()));
    }
  }
  applySeek();
  if (keys.fullScreen) {
    keys.fullScreen = false;
    if (windowed()) {
      parts_.window->toggleFullScreen();
    }
  }
  if (parts_.show.schedule().active()) {
    applyPartyKeys();
  }
  ShownPicture& pictures = parts_.pictures;
  const bool stepped = keys.stepPicture != 0 && pictures.step(keys.stepPicture > 0 ? 1 : -1, parts_.show.picture());
  const bool jumped = !keys.pictureName.empty() && pictures.jump(keys.pictureName, parts_.show.picture());
  if ((stepped || jumped) && parts_.screen) {
    parts_.screen->titleNow();
  }
  keys.stepPicture = 0;
  keys.pictureName.clear();
  applyRequests();
}

void PlayingShow::applySeek() {
  Keys& keys = parts_.keys;
  Listening& sound = parts_.sound;
  if (keys.seekSeconds == 0 && !keys.home) {
    return;
  }
  if (sound.live() && !saidNoSeek_) {
    warn("a capture device cannot seek");
    saidNoSeek_ = true;
  } else if (!sound.live()) {
    sound.seek(keys.home ? 0 : sound.position() + keys.seekSeconds * sound.rate());
    parts_.show.restart();
    pausedFrameMade_ = false;
    tell("At " + secondsText(sound.position(), sound.rate()));
  }
  keys.seekSeconds = 0;
  keys.home = false;
}

// Party mode's keys: L locks the picture showing (and unlocks), N and P
// step the list on and back.
void PlayingShow::applyPartyKeys() {
  Keys& keys = parts_.keys;
  PictureSchedule& schedule = parts_.show.schedule();
  if (keys.toggleLock) {
    keys.toggleLock = false;
    if (schedule.locked()) {
      schedule.unlock();
      tell("Unlocked: the pictures change with the music again");
    } else {
      const auto showing = parts_.show.showing();
      schedule.lock(showing);
      tell("Locked on " + parts_.listedNames[showing.mix >= 0.5 ? showing.to : showing.from]);
    }
  }
  if (keys.stepPicture != 0) {
    schedule.step(keys.stepPicture > 0 ? 1 : -1);
    keys.stepPicture = 0;
  }
}

// What only OSC asks: a setting and the gain.
void PlayingShow::applyRequests() {
  Keys& keys = parts_.keys;
  Picture& picture = parts_.show.picture();
  for (const std::string& set : keys.sets) {
    Result<std::vector<Setting>> applied = applySettings(picture.settings(), {set});
    if (applied) {
      picture.setSettings(std::move(applied.value()), hooks_.notes.warned);
    } else {
      warn("OSC /vrax/set: " + applied.why());
    }
  }
  keys.sets.clear();
  if (keys.gainDb) {
    // The feed takes the new level at the next frame.
    parts_.sound.setGainDb(*keys.gainDb);
    keys.gainDb.reset();
  }
}

// A Sound pass drawn again is a new song: its beat is at rest until tracked again.
void PlayingShow::redrawSoundOnSave() {
  if (hooks_.redrawSound && hooks_.redrawSound()) {
    song_.setBeats(BeatGrid{});
  }
}
