// offlineShow.cpp — see offlineShow.h.
#include "show/offlineShow.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <thread>

#include "base/interrupt.h"
#include "base/text.h"

#include "picture/shaderSource.h"

Status OfflineShow::open(std::shared_ptr<SoundFile> sound, std::vector<Setting> settings) {
  if (Status opened = context_.open(o_.width, o_.height); !opened) {
    return opened;
  }
  show_ = std::make_unique<Show>(static_cast<int>(clock_.rate()));
  Picture& picture = show_->picture();
  picture.setSettings(std::move(settings), say);
  if (Status built = buildPicture(picture, o_.shaders, o_.channelSettings, say); !built) {
    return built;
  }
  if (const auto added = show_->addPictures(o_.others, o_.channelSettings, o_.playlist, BrokenPicture::fails, say);
      !added) {
    return added.status();
  }
  // The date the render started, the same for every frame.
  float date[4] = {};
  dateNow(date);
  show_->setDate(date);
  source_.use(sound);
  if (const Status set = show_->setImages(images_, o_.imageNames); !set) {
    return set;
  }
  // Cover art is decoded and uploaded only for a picture that shows it.
  if (!show_->anyReads(&Picture::readsCover)) {
    return Status();
  }
  const Image cover = chooseCover(o_.song, images_, say);
  for (size_t i = 0; i < show_->pictureCount(); ++i) {
    if (show_->picture(i).readsCover()) {
      if (Status set = show_->picture(i).setCover(cover); !set) {
        return set;
      }
    }
  }
  return Status();
}

void OfflineShow::tapSound(int64_t first, int64_t end) {
  source_.tap(first, end, [this](std::vector<float> floats) {
    if (soundTo_) {
      soundTo_(std::move(floats));
    } else {
      early_.push_back(std::move(floats));
    }
  });
}

void OfflineShow::handSoundTo(std::function<void(std::vector<float>)> to) {
  if (!to) {
    soundTo_ = nullptr;  // let go: what is read from now on is kept again
    return;
  }
  for (std::vector<float>& piece : early_) {
    to(std::move(piece));
  }
  early_.clear();
  soundTo_ = std::move(to);
}

Status OfflineShow::setSongs(std::vector<SongStart> songs, const std::string& fontPath, int64_t first) {
  songs_.setSongs(std::move(songs));
  fontPath_ = fontPath;
  songsFrom_ = first;
  titled_ = levelled_ = SIZE_MAX;
  levelFor(clock_.soundFrameAt(first));
  const size_t song = songs_.at(clock_.soundFrameAt(first)).index;
  titled_ = song;
  shownFrom_ = first;
  return show_->setTitle(songs_.song(song).title, fontPath_, o_.titleLook, TitleTiming{o_.fadeIn, o_.titleFor});
}

void OfflineShow::levelFor(int64_t soundFrame) {
  const SongAt playing = songs_.at(soundFrame);
  if (!songs_.empty() && playing.index != levelled_) {
    show_->setGain(playing.gainDb);
    levelled_ = playing.index;
  }
}

void OfflineShow::advance(int64_t n) {
  const SongAt playing = songs_.at(clock_.soundFrameAt(n));
  const size_t song = songs_.empty() ? titled_ : playing.index;
  if (song != titled_) {
    // A song's title from its first frame (or the render's, for the song a
    // render starts in): frames are drawn alike whether a part starts here.
    const SongStart& start = songs_.song(song);
    const bool firstShown = start.frame <= songsFrom_;
    shownFrom_ = std::max(start.frame, songsFrom_);
    titled_ = song;
    // The same kind of overlay as the first song's, made then: it cannot fail now.
    (void)show_->setTitle(start.title, fontPath_, o_.titleLook,
                          TitleTiming{firstShown ? o_.fadeIn : kSongTitleFade, o_.titleFor});
  }
  FrameSound& sound = stepTo(n);
  const double fps = o_.fps.value();
  Tick tick;
  tick.seconds = clock_.seconds(n);
  tick.delta = 1.0 / fps;
  tick.frame = n;
  tick.shownFor = static_cast<double>(n - shownFrom_) / fps;
  tick.rate = fps;
  tick.progress = playing.progress;
  tick.beat = playing.beat;
  show_->advance(tick, sound, tick.seconds);
}

// A render that starts late steps through the frames before it. What the
// analysis carries from frame to frame fades within seconds, so only the
// last kPictureMemory seconds before the start are analysed, and only a
// picture that reads the frame before is drawn there: for as far back as
// it says its trails reach (its memory), else those ten seconds. From
// wholeFirst when that is earlier (render: the song's start, for a picture
// that reads what the analysis sums), stepping without drawing.
Status OfflineShow::preRoll(int64_t first, int64_t wholeFirst) {
  const double drawnSeconds = o_.memory > 0 ? o_.memory : kPictureMemory;
  const auto frames = [&](double seconds) { return static_cast<int64_t>(std::ceil(seconds * o_.fps.value())); };
  // A picture drawn from the bands' history hears as far back as it holds.
  const double heardSeconds = show_->anyReads(&Picture::readsBandHistory) ? kBandHistory / kWaveHistoryRate + 0.5 : 0.0;
  const auto analysedFrom = [&](int64_t start) {
    return std::max<int64_t>(0, start - frames(std::max({kPictureMemory, drawnSeconds, heardSeconds})));
  };
  // A part of a render is analysed from where the whole render's analysis
  // starts: what the analysis carries (the music's clocks, the beats) is
  // then the whole's at the part's first frame. Stepping is cheap; only
  // the frames a picture's memory reaches are drawn.
  const int64_t stepFrom = analysedFrom(wholeFirst >= 0 ? std::min(wholeFirst, first) : first);
  const int64_t drawFrom = readsPrevious() ? first - frames(drawnSeconds) : first;
  if (const Status started = startAt(stepFrom); !started) {
    return started;
  }
  if (o_.verbose && first > 0 && say) {
    const auto seconds = [&](int64_t frames) { return secondsText(clock_.seconds(frames) - clock_.seconds(0)); };
    say(readsPrevious() ? "before --from: " + seconds(first - drawFrom) +
                              " drawn (a pass reads a frame before), the analysis from " + seconds(first - stepFrom) +
                              " back"
                        : "before --from: nothing drawn (no pass reads a frame before), the analysis from " +
                              seconds(first - stepFrom) + " back");
  }
  Progress progress(first - stepFrom, o_.fps.value(), o_.quiet, "up to --from: ", 2.0);
  for (int64_t n = stepFrom; n < first; ++n) {
    if (n >= drawFrom) {
      draw(n);
    } else {
      skip(n);
    }
    progress.update(n - stepFrom);
  }
  progress.update(first - stepFrom);
  progress.end();
  return Status();
}

Result<int64_t> OfflineShow::play(int64_t first, int64_t end, RenderedOutput& output, bool paced,
                                  Progress& progress, const RunContext& run) {
  const auto started = std::chrono::steady_clock::now();
  bool going = true;
  for (int64_t n = first; n < end && going && !run.stopping(); ++n) {
    if (paced) {
      std::this_thread::sleep_until(started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>(clock_.seconds(n - first))));
    }
    advance(n);
    going = output.frame(*show_);
    if (n == first && end - first > 1) {
      // The driver compiles at the first draw; until that is done a signal
      // ends the run at once, after it the file is completed. A still is
      // one frame: a signal while it is drawn ends the run with nothing written.
      glFinish();
      stopLoopsOnSignal();
    }
    progress.update(output.handed());
    if (paced) {
      sayIfBehind(started, n + 1 - first);
    }
  }
  const Status finished = output.finish();
  progress.update(output.handed());
  if (paced && behindSaid_ && say) {
    char line[160];
    std::snprintf(line, sizeof line, "the stream ended %.1f s behind the song's pace", behind_);
    say(line);
  }
  if (!finished) {
    return finished;
  }
  return output.handed();
}

// A paced render (a stream watched as it comes) that cannot keep the song's
// pace says so once, when it is a second behind, and how far at the end:
// a receiver's buffer drains and the viewer waits.
void OfflineShow::sayIfBehind(std::chrono::steady_clock::time_point started, int64_t done) {
  const double due = clock_.seconds(done) - clock_.seconds(0);
  behind_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() - due;
  if (behind_ > 1.0 && !behindSaid_ && say) {
    behindSaid_ = true;
    char line[240];
    std::snprintf(line, sizeof line,
                  "the render is slower than the song: %.1f s behind after %.1f s of it, and the stream falls "
                  "further behind (a smaller --size or --fps keeps pace)",
                  behind_, due);
    say(line);
  }
}

FrameSound& OfflineShow::stepTo(int64_t n) {
  const double seconds = clock_.seconds(n);
  if (lastStep_ >= 0 && lastStep_ < n && o_.fps.value() < kAnalysisTicks) {
    const auto rate = static_cast<int64_t>(clock_.rate());
    for (auto tick = static_cast<int64_t>(std::floor(clock_.seconds(lastStep_) * kAnalysisTicks + 1e-9)) + 1;
         static_cast<double>(tick) / kAnalysisTicks < seconds - 1e-9; ++tick) {
      levelFor(tick * rate / kAnalysisTicks);
      source_.around(tick * rate / kAnalysisTicks, sound_);
      show_->listen(sound_, static_cast<double>(tick) / kAnalysisTicks);
    }
  }
  lastStep_ = n;
  levelFor(clock_.soundFrameAt(n));
  source_.around(clock_.soundFrameAt(n), sound_);
  return sound_;
}
