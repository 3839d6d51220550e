// render.cpp — the `render` command.
//
// Two threads. This one owns the GL context: for each frame it takes the
// sample window at the frame's exact time, steps the spectrum, draws, and
// starts reading the picture back; it hands each finished picture to the
// encoder thread through `filled` and takes spare buffers back through
// `spare`, so memory stays the same whatever the song's length. The encoder
// thread owns the Encoder and its own reader of the sound: it converts and
// encodes each picture and the sound up to that picture's time, and on the
// end of `filled` completes the file. A failing encoder closes both queues,
// which stops this thread at its next hand-off.
#include "render.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <iostream>
#include <memory>
#include <thread>

#include "base/boundedQueue.h"
#include "base/status.h"
#include "base/text.h"
#include "video/encoder.h"
#include "picture/gallery.h"
#include "picture/image.h"
#include "base/interrupt.h"
#include "picture/backdrop.h"
#include "sound/loudness.h"
#include "show/show.h"
#include "picture/title.h"
#include "base/libraryLog.h"
#include "picture/offscreen.h"
#include "video/pendingFile.h"
#include "picture/picture.h"
#include "base/progress.h"
#include "video/readback.h"
#include "picture/shaderSource.h"
#include "sound/soundStream.h"
#include "sound/analysis.h"

namespace {

// Seconds of earlier frames a picture that reads `previous` still shows.
constexpr double kPictureMemory = 10.0;

// What failure messages call OUTPUT: its whole path, so the folder is named too.
std::string outputName(const std::string& output) {
  if (isStreamOutput(output)) {
    return output == "-" ? "standard output" : output;
  }
  std::error_code ec;
  const auto full = std::filesystem::absolute(output, ec);
  return ec ? output : full.lexically_normal().string();
}

// What to render: frames [first, end) of the song, sound frames [soundStart, soundEnd).
struct Span {
  int64_t first = 0;
  int64_t end = 0;
  int64_t soundStart = 0;
  int64_t soundEnd = 0;
};

struct Sound {
  std::string path;
  int channels = 0;
  int rate = 0;
  int64_t frames = 0;
  std::map<std::string, std::string> tags;
  // The one reader of the song, opened to count it; the visualiser takes it.
  std::shared_ptr<SoundFile> file;
};

// --fade-in and --fade-out: picture and sound together, from the span's first
// frame and sample up and down to its last. The first and last frames are
// black (with --transparent: see-through, as an editor fades a layer); the
// sound is a linear ramp, sample by sample.
struct Fades {
  double in = 0;   // seconds
  double out = 0;
  bool alpha = false;  // fade the alpha, not the colour
  static double ramp(double done, double length) { return length > 0 ? std::clamp(done / length, 0.0, 1.0) : 1.0; }
  double picture(const Span& span, int64_t n, double fps) const {
    return std::min(ramp(static_cast<double>(n - span.first), in * fps),
                    ramp(static_cast<double>(span.end - 1 - n), out * fps));
  }
  double sound(const Span& span, int64_t s, double rate) const {
    return std::min(ramp(static_cast<double>(s - span.soundStart), in * rate),
                    ramp(static_cast<double>(span.soundEnd - 1 - s), out * rate));
  }
  bool any() const { return in > 0 || out > 0; }
};

void darken(std::vector<uint8_t>& rgba, double gain, bool alpha) {
  const auto scale = static_cast<uint32_t>(std::lround(gain * 65536.0));
  for (size_t i = 0; i + 3 < rgba.size(); i += 4) {
    for (size_t c = alpha ? 3 : 0; c < (alpha ? 4u : 3u); ++c) {
      rgba[i + c] = static_cast<uint8_t>((rgba[i + c] * scale + 32768) >> 16);
    }
  }
}

// The sound of the span into the encoder, faded, up to any sound frame, on
// the encoder thread. It takes the pieces the visualiser's reader hands over as
// it reads (one decoding for both), or reads with its own reader where that
// reader cannot hand over floats (libsndfile's formats, cheap to read twice).
class SoundFeed {
 public:
  SoundFeed(Encoder& encoder, const Sound& sound, const Span& span, const Fades& fades, bool handed)
      : encoder_(encoder), sound_(sound), span_(span), fades_(fades), handed_(handed), done_(span.soundStart) {}

  Status open() {
    if (handed_) {
      return Status();
    }
    if (const Status opened = reader_.open(sound_.path); !opened) {
      return opened;
    }
    if (const Status sought = reader_.seek(span_.soundStart); !sought) {
      return Status::failure("cannot read the sound of " + sound_.path + " from its span's start: " + sought.why());
    }
    return Status();
  }
  // The pieces handed over; the GL thread pushes, this feed pops.
  BoundedQueue<std::vector<float>>& pieces() { return pieces_; }
  // Encodes the sound up to (not including) sound frame `until`.
  Status upTo(int64_t until) {
    until = std::min(until, span_.soundEnd);
    while (done_ < until) {
      const int64_t want = std::min<int64_t>(until - done_, 8192);
      chunk_.resize(static_cast<size_t>(want * sound_.channels));
      int64_t got = handed_ ? take(want) : reader_.readFloats(chunk_.data(), want);
      if (got <= 0) {
        // Shorter than counted (a file changed under us): silence keeps the sync.
        std::fill(chunk_.begin(), chunk_.end(), 0.0f);
        got = want;
      }
      fade(got);
      if (Status written = encoder_.writeSound(chunk_.data(), got); !written) {
        return written;
      }
      done_ += got;
    }
    return Status();
  }

 private:
  // Up to `want` frames of the handed pieces into chunk_; 0 once they ended.
  int64_t take(int64_t want) {
    const auto channels = static_cast<size_t>(sound_.channels);
    size_t filled = 0;
    while (filled < static_cast<size_t>(want) * channels) {
      if (at_ == piece_.size()) {
        if (!pieces_.pop(piece_)) {
          break;
        }
        at_ = 0;
        continue;
      }
      const size_t n = std::min(piece_.size() - at_, static_cast<size_t>(want) * channels - filled);
      std::copy_n(piece_.begin() + static_cast<std::ptrdiff_t>(at_), n, chunk_.begin() + static_cast<std::ptrdiff_t>(filled));
      at_ += n;
      filled += n;
    }
    return static_cast<int64_t>(filled / channels);
  }
  void fade(int64_t frames) {
    if (!fades_.any()) {
      return;
    }
    for (int64_t f = 0; f < frames; ++f) {
      const auto gain = static_cast<float>(fades_.sound(span_, done_ + f, static_cast<double>(sound_.rate)));
      for (int c = 0; c < sound_.channels; ++c) {
        chunk_[static_cast<size_t>(f * sound_.channels + c)] *= gain;
      }
    }
  }

  Encoder& encoder_;
  const Sound& sound_;
  const Span& span_;
  const Fades& fades_;
  const bool handed_;
  SoundFile reader_;
  // Generous: the visualiser's reader is at most a few frames ahead of the encoder.
  BoundedQueue<std::vector<float>> pieces_{256};
  std::vector<float> piece_;
  size_t at_ = 0;
  std::vector<float> chunk_;
  int64_t done_;
};

// The encoder thread and the queues between it and the GL thread, which owns
// this object. The thread takes pictures from `filled`, encodes each with the
// sound up to its time and gives the buffer back through `spare`, so memory
// stays the same whatever the song's length. A failing encoder closes both
// queues, which stops the GL thread at its next hand-off. The destructor
// closes them too and joins, so no path out of a render leaves it running.
class EncoderThread {
 public:
  EncoderThread(Encoder& encoder, const Sound& sound, const FrameClock& clock, const Span& span, const Fades& fades,
                size_t bytes, bool soundHanded)
      : encoder_(encoder), clock_(clock), span_(span), fades_(fades), sound_(encoder, sound, span, fades_, soundHanded) {
    // Three pictures in flight: one drawn, one queued, one being encoded.
    for (int i = 0; i < 3; ++i) {
      spare_.push(std::vector<uint8_t>(bytes));
    }
    thread_ = std::thread([this] {
      // This thread's own FFmpeg line explains its failure, said here.
      clearLibraryDetail();
      const Status ran = run();
      status_ = ran ? ran : Status::failure(withLibraryDetail(ran.why()));
      filled_.close();
      spare_.close();
      sound_.pieces().close();
    });
  }
  ~EncoderThread() {
    filled_.close();
    spare_.close();
    sound_.pieces().close();
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  EncoderThread(const EncoderThread&) = delete;
  EncoderThread& operator=(const EncoderThread&) = delete;

  // An empty buffer to read a picture into; false once the encoder stopped.
  bool spare(std::vector<uint8_t>& out) { return spare_.pop(out); }
  // A picture to encode; false once the encoder stopped.
  bool hand(std::vector<uint8_t> pixels) { return filled_.push(std::move(pixels)); }
  // A piece of the span's sound, in order; false once the encoder stopped.
  bool handSound(std::vector<float> floats) { return sound_.pieces().push(std::move(floats)); }
  // No more sound will be handed.
  void soundDone() { sound_.pieces().close(); }
  // No more pictures: waits for the file to be complete, with the encoder's verdict.
  Status finish() {
    filled_.close();
    thread_.join();
    return status_;
  }

 private:
  Status run() {
    if (Status opened = sound_.open(); !opened) {
      return opened;
    }
    std::vector<uint8_t> pixels;
    int64_t n = span_.first;
    while (filled_.pop(pixels)) {
      const double gain = fades_.picture(span_, n, clock_.fps().value());
      if (gain < 1.0) {
        darken(pixels, gain, fades_.alpha);
      }
      if (Status written = encoder_.writeVideoFrame(pixels.data()); !written) {
        return written;
      }
      if (Status sound = sound_.upTo(clock_.soundFrameAt(n + 1)); !sound) {
        return sound;
      }
      ++n;
      spare_.push(std::move(pixels));
    }
    // All frames: the sound to its end. Stopped early: to the last frame's end.
    if (Status sound = sound_.upTo(n == span_.end ? span_.soundEnd : clock_.soundFrameAt(n)); !sound) {
      return sound;
    }
    return encoder_.finish();
  }

  Encoder& encoder_;
  const FrameClock& clock_;
  const Span& span_;
  const Fades fades_;
  SoundFeed sound_;
  BoundedQueue<std::vector<uint8_t>> filled_{2};
  BoundedQueue<std::vector<uint8_t>> spare_{3};
  Status status_;  // written by the thread, read after joining it
  std::thread thread_;
};

// The sound's real length and shape: a header may claim far more than the
// file holds.
Result<Sound> probeSound(const std::string& path) {
  auto file = std::make_shared<SoundFile>();
  if (const Status opened = file->open(path); !opened) {
    return Status::failure("cannot read the sound " + path + ": " + opened.why());
  }
  if (file->rate() < kMinSoundRate) {
    return Status::failure(path + " is sampled at " + std::to_string(file->rate()) + " Hz; a video's sound needs " +
                           std::to_string(kMinSoundRate) + " Hz or more");
  }
  Sound sound{path, file->channels(), file->rate(), countFrames(*file), file->tags(), file};
  if (sound.frames == 0) {
    return Status::failure(path + " holds no sound to render");
  }
  return sound;
}

// Which frames and which sound --from and --to ask for.
Result<Span> planSpan(const RenderOptions& o, const Sound& sound, const FrameClock& clock, bool still) {
  Span span;
  const double duration = static_cast<double>(sound.frames) / sound.rate;
  span.end = clock.framesFor(sound.frames);
  span.soundEnd = sound.frames;
  if (o.hasFrom) {
    span.first = clock.frameAtOrAfter(o.from);
    if (o.from.value() >= duration) {
      return Status::failure("--from " + secondsText(o.from.value()) + " is past the end of the sound (" +
                             secondsText(duration) + ")");
    }
    // Within the last frame's time: that frame.
    span.first = std::min(span.first, span.end - 1);
  }
  if (o.hasTo) {
    span.end = std::min(span.end, clock.frameAtOrAfter(o.to));
    span.soundEnd = std::min(span.soundEnd, clock.soundFrameAtTime(o.to));
  }
  if (span.first >= span.end) {
    return Status::failure("--from and --to leave no frame to render");
  }
  if (still) {
    span.end = span.first + 1;
  }
  span.soundStart = clock.soundFrameAt(span.first);
  return span;
}

// The song made into pictures, frame by frame: its one reader, the
// offscreen context and the show drawn in it, at the frame clock's exact
// times.
class Visualiser {
 public:
  Visualiser(const RenderOptions& o, const FrameClock& clock, const std::vector<Image>& images)
      : o_(o), clock_(clock), images_(images) {}

  Status open(std::shared_ptr<SoundFile> sound, std::vector<Setting> settings) {
    if (Status opened = context_.open(o_.width, o_.height); !opened) {
      return opened;
    }
    show_ = std::make_unique<Show>(static_cast<int>(clock_.rate()));
    Picture& picture = show_->picture();
    picture.setSettings(std::move(settings), say);
    const std::string dir = o_.shaders.empty() ? defaultShaderDir() : o_.shaders;
    if (dir.empty()) {
      return Status::failure(noShaderDirMessage());
    }
    const Result<ShaderSource> found = findShaderSource(dir);
    if (!found) {
      return found.status();
    }
    const ShaderSource& source = found.value();
    const Result<PictureSource> passes = readPictureSource(source, o_.channelSettings);
    if (!passes) {
      return passes.status();
    }
    if (const Status built = picture.build(passes.value(), say); !built) {
      // A driver's log ends its lines; a reason of ours is a line of its own too.
      const std::string why = built.why().empty() || built.why().back() == '\n' ? built.why() : built.why() + "\n";
      return Status::failure(why + (source.form == ShaderForm::Pair ? "the shader pair in " + dir + " does not build"
                                                                            : dir + " does not build"));
    }
    // The date the render started, the same for every frame.
    float date[4] = {};
    dateNow(date);
    show_->setDate(date);
    source_.use(sound);
    for (size_t i = 0; i < images_.size(); ++i) {
      if (const Status set = picture.setImage(static_cast<int>(i), images_[i]); !set) {
        return Status::failure("--image " + o_.images[i] + ": " + set.why());
      }
    }
    // Cover art is decoded only for a picture that shows it.
    return picture.setCover(picture.readsCover() ? chooseCover(o_.sound, images_, say)
                                                 : images_.empty() ? Image{} : images_.front());
  }
  // Frame n's analysis, not drawn: the smoothing carries, so every frame
  // from the first asked for on is stepped.
  void skip(int64_t n) { show_->listen(stepTo(n), clock_.seconds(n)); }
  // The first frame that will be stepped; the sound is seeked there.
  Status startAt(int64_t n) {
    lastStep_ = -1;
    return source_.startAt(clock_.soundFrameAt(n));
  }
  bool readsPrevious() const { return show_->picture().readsPrevious(); }
  // The sound from `first` to `end` as the reader reads it, kept until
  // handSoundTo names where it goes (the reader reads ahead of the frame, so
  // the span's first samples may be read while stepping up to it).
  bool tapsSound() const { return source_.tapsFloats(); }
  void tapSound(int64_t first, int64_t end) {
    source_.tap(first, end, [this](std::vector<float> floats) {
      if (soundTo_) {
        soundTo_(std::move(floats));
      } else {
        early_.push_back(std::move(floats));
      }
    });
  }
  void handSoundTo(std::function<void(std::vector<float>)> to) {
    for (std::vector<float>& piece : early_) {
      to(std::move(piece));
    }
    early_.clear();
    soundTo_ = std::move(to);
  }
  // Reads on to sound frame `frame`, for the sound after the last frame's window.
  void readSoundTo(int64_t frame) { source_.readTo(frame); }
  // Frame n: its tick on the frame clock, exact; the title's fades count
  // from the span's first frame.
  void draw(int64_t n) {
    FrameSound& sound = stepTo(n);
    const double fps = o_.fps.value();
    const Tick tick{clock_.seconds(n), 1.0 / fps, n, static_cast<double>(n - shownFrom_) / fps, fps};
    show_->advance(tick, sound, tick.seconds);
    show_->draw(o_.width, o_.height);
  }
  // What the analysis sees of the song, in dB (levelling and --gain).
  void setGain(double db) { show_->setGain(db); }
  // The background under every frame and the logo over it.
  Status setBackdrop(const BackdropImages& images) { return show_->setBackdrop(images, o_.transparent); }
  // The title over every frame from `first` on.
  Status setTitle(const std::string& text, const std::string& fontPath, int64_t first) {
    shownFrom_ = first;
    return show_->setTitle(text, fontPath, o_.titleAt, TitleTiming{o_.fadeIn, o_.titleFor});
  }

 private:
  // The sound at frame n, after the analysis has heard what lies between
  // the frame before and it: below 60 frames a second it is also stepped at
  // the 60 Hz ticks in between, so what it smooths and integrates, and the
  // onsets it finds, are what a 60 fps render has at the same moment.
  FrameSound& stepTo(int64_t n) {
    const double seconds = clock_.seconds(n);
    if (lastStep_ >= 0 && lastStep_ < n && o_.fps.value() < kAnalysisTicks) {
      const auto rate = static_cast<int64_t>(clock_.rate());
      for (auto tick = static_cast<int64_t>(std::floor(clock_.seconds(lastStep_) * kAnalysisTicks + 1e-9)) + 1;
           static_cast<double>(tick) / kAnalysisTicks < seconds - 1e-9; ++tick) {
        source_.around(tick * rate / kAnalysisTicks, sound_);
        show_->listen(sound_, static_cast<double>(tick) / kAnalysisTicks);
      }
    }
    lastStep_ = n;
    source_.around(clock_.soundFrameAt(n), sound_);
    return sound_;
  }
  static constexpr int64_t kAnalysisTicks = 60;

  const RenderOptions& o_;
  const FrameClock& clock_;
  const std::vector<Image>& images_;
  OffscreenContext context_;
  std::unique_ptr<Show> show_;  // after the context, so its GL objects go first
  int64_t shownFrom_ = 0;
  WindowReader source_;
  std::vector<std::vector<float>> early_;
  std::function<void(std::vector<float>)> soundTo_;
  FrameSound sound_;
  int64_t lastStep_ = -1;  // the frame last analysed; -1 before the first (and after a seek)
};

// A render that starts late steps through the frames before it. What the
// analysis carries from frame to frame fades within seconds, so only the
// last kPictureMemory seconds before the start are analysed, and only a
// picture that reads the frame before is drawn there: for as far back as
// it says its trails reach (its memory), else those ten seconds. A start an
// hour into a song costs what a start ten seconds in costs.
Status preRoll(const RenderOptions& o, const Span& span, Visualiser& visualiser) {
  const double drawnSeconds = o.memory > 0 ? o.memory : kPictureMemory;
  const auto frames = [&](double seconds) { return static_cast<int64_t>(std::ceil(seconds * o.fps.value())); };
  const int64_t stepFrom = std::max<int64_t>(0, span.first - frames(std::max(kPictureMemory, drawnSeconds)));
  const int64_t drawFrom = visualiser.readsPrevious() ? span.first - frames(drawnSeconds) : span.first;
  if (const Status started = visualiser.startAt(stepFrom); !started) {
    return started;
  }
  Progress progress(span.first - stepFrom, o.fps.value(), o.quiet, "up to --from: ", 2.0);
  for (int64_t n = stepFrom; n < span.first; ++n) {
    if (n >= drawFrom) {
      visualiser.draw(n);
    } else {
      visualiser.skip(n);
    }
    progress.update(n - stepFrom);
  }
  progress.update(span.first - stepFrom);
  progress.end();
  return Status();
}

int writeStill(const RenderOptions& o, const FrameClock& clock, const Span& span, Visualiser& visualiser) {
  PendingFile file(o.output, o.overwrite);
  visualiser.draw(span.first);
  const std::vector<uint8_t> pixels = readPixels(o.width, o.height);
  if (glErrorsReported() > 0) {
    return report(kExitFailure, "the GL driver reported errors while drawing (above); nothing written");
  }
  Status written = writePng(file.path(), pixels.data(), o.width, o.height, outputName(o.output), o.transparent);
  if (written) {
    written = file.commit();
  }
  if (!written) {
    return report(kExitFailure, written.why());
  }
  if (!o.quiet) {
    std::cerr << "Wrote " << quotedName(o.output) << ": the frame at " << clock.seconds(span.first) << " s, " << o.width << "x"
              << o.height << std::endl;
  }
  return kExitDone;
}

EncoderSettings encoderSettings(const RenderOptions& o, const Sound& sound, const FrameClock& clock, const Span& span,
                                const std::string& container, const std::string& path) {
  EncoderSettings settings;
  settings.path = path;
  settings.stream = isStreamOutput(o.output);
  settings.name = outputName(o.output);
  settings.format = container;
  settings.width = o.width;
  settings.height = o.height;
  settings.fps = o.fps;
  settings.crf = o.crf;
  settings.codec = o.codec;
  settings.preset = o.preset;
  settings.transparent = o.transparent;
  settings.channels = sound.channels;
  settings.rate = sound.rate;
  settings.tags = sound.tags;
  settings.lastPicture = span.end - 1 - span.first;
  // The last frame shows until the span's sound ends, never past it.
  settings.lastPictureSeconds = std::min(1.0 / o.fps.value(), static_cast<double>(span.soundEnd) / sound.rate -
                                                                    clock.seconds(span.end - 1));
  return settings;
}

// The GL thread's loop: draws each frame, reads it back through the ring of
// pixel buffers and hands the oldest finished picture to the encoder thread.
// Returns the frames drawn, or why the pictures cannot be trusted.
Result<int64_t> drawFrames(const RenderOptions& o, const Span& span, Visualiser& visualiser, EncoderThread& encoding,
                           Progress& progress) {
  Readback readback(o.width, o.height);
  std::string drawError;
  // Hands the oldest picture read back to the encoder; false once it stopped.
  auto handOver = [&]() {
    std::vector<uint8_t> pixels;
    if (!encoding.spare(pixels)) {
      return false;
    }
    if (const Status read = readback.finish(pixels.data()); !read) {
      drawError = read.why();
      return false;
    }
    return encoding.hand(std::move(pixels));
  };
  int64_t drawn = 0;
  bool going = true;
  // A network stream goes out at the song's pace: frame n no sooner than its
  // time after the first (a viewer watches it as it comes).
  const bool paced = isStreamOutput(o.output) && streamIsPaced(o.output);
  const auto started = std::chrono::steady_clock::now();
  for (int64_t n = span.first; n < span.end && going && !interrupted(); ++n) {
    if (paced) {
      std::this_thread::sleep_until(started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>((n - span.first) / o.fps.value())));
    }
    visualiser.draw(n);
    if (n == span.first) {
      // The driver compiles at the first draw; until that is done a signal
      // ends the run at once, after it the file is completed.
      glFinish();
      stopLoopsOnSignal();
    }
    readback.start();
    ++drawn;
    if (readback.pending() == readback.depth()) {
      going = handOver();
      progress.update(drawn - readback.pending());
    }
  }
  while (going && readback.pending() > 0) {
    going = handOver();
  }
  progress.update(drawn - readback.pending());
  if (drawError.empty() && glErrorsReported() > 0) {
    drawError = "the GL driver reported errors while drawing (above); the pictures cannot be trusted";
  }
  if (!drawError.empty()) {
    return Status::failure(drawError);
  }
  return drawn;
}

// What a finished or stopped render says, and its exit status.
int concludeVideo(const RenderOptions& o, PendingFile* file, int64_t drawn, double wall) {
  const bool wasInterrupted = interrupted();
  if (wasInterrupted && drawn == 0) {
    return report(kExitInterrupted, "interrupted before the first frame; nothing written");
  }
  if (file == nullptr) {
    if (!o.quiet || wasInterrupted) {
      std::cerr << (wasInterrupted ? "vrax-studio: interrupted; streamed " : "Streamed ") << drawn << " frames ("
                << static_cast<double>(drawn) / o.fps.value() << " s) to " << printable(outputName(o.output))
                << std::endl;
    }
    return wasInterrupted ? kExitInterrupted : kExitDone;
  }
  if (const Status committed = file->commit(); !committed) {
    return report(kExitFailure, committed.why());
  }
  const double seconds = static_cast<double>(drawn) / o.fps.value();
  if (wasInterrupted) {
    std::cerr << "vrax-studio: interrupted; " << quotedName(o.output) << " holds the first " << drawn << " frames (" << seconds
              << " s)" << std::endl;
    return kExitInterrupted;
  }
  if (!o.quiet) {
    struct stat info {};
    stat(o.output.c_str(), &info);
    char line[256];
    std::snprintf(line, sizeof line, "%lld frames, %.2f s, %s, in %.1f s: %.2fx real time",
                  static_cast<long long>(drawn), seconds, humanBytes(static_cast<uint64_t>(info.st_size)).c_str(), wall,
                  wall > 0 ? seconds / wall : 0.0);
    std::cerr << "Wrote " << quotedName(o.output) << ": " << line << std::endl;
  }
  return kExitDone;
}

int writeVideo(const RenderOptions& o, const Sound& sound, const FrameClock& clock, const Span& span,
               const std::string& container, Visualiser& visualiser) {
  // A file is written under a hidden name until complete; a stream has no name to guard.
  std::unique_ptr<PendingFile> file = isStreamOutput(o.output) ? nullptr : std::make_unique<PendingFile>(o.output, o.overwrite);
  Encoder encoder;
  clearLibraryDetail();
  const std::string path = file ? file->path() : o.output;
  if (const Status opened = encoder.open(encoderSettings(o, sound, clock, span, container, path)); !opened) {
    return report(kExitFailure, withLibraryDetail(opened.why()));
  }
  Progress progress(span.end - span.first, o.fps.value(), o.quiet);
  const bool handed = visualiser.tapsSound();
  EncoderThread encoding(encoder, sound, clock, span, Fades{o.fadeIn, o.fadeOut, o.transparent}, Readback::bytesFor(o.width, o.height),
                         handed);
  if (handed) {
    visualiser.handSoundTo([&encoding](std::vector<float> floats) { encoding.handSound(std::move(floats)); });
  }
  const Result<int64_t> drawn = drawFrames(o, span, visualiser, encoding, progress);
  if (handed) {
    // All frames: the sound to its end. Stopped early: to the last frame's end.
    const int64_t frames = drawn ? drawn.value() : 0;
    visualiser.readSoundTo(span.first + frames == span.end ? span.soundEnd : clock.soundFrameAt(span.first + frames));
    encoding.soundDone();
  }
  const Status encoded = encoding.finish();
  progress.end();
  if (!encoded) {
    return report(kExitFailure, encoded.why());
  }
  if (!drawn) {
    return report(kExitFailure, drawn.why() + "; nothing written");
  }
  return concludeVideo(o, file.get(), drawn.value(), progress.elapsed());
}

// What can be refused before anything is read: OUTPUT and the codec for it.
// Failures here are usage errors.
// What a stream refuses: a scheme it cannot send to, alpha, a codec other
// than H.264 (what every receiver takes with low delay).
Status checkStream(const RenderOptions& o, const std::string& container) {
  if (container.empty()) {
    return Status::failure(o.output + " is not a stream this program sends: srt://, udp://, tcp:// and - (standard "
                           "output) carry MPEG-TS, rtmp:// carries FLV");
  }
  if (o.transparent) {
    return Status::failure("--transparent cannot be streamed: no common streaming codec keeps alpha (render a .mov "
                           "or .webm file with it, or stream over a solid --background an editor can key out)");
  }
  if (!o.codec.empty() && o.codec != "h264") {
    return Status::failure("a stream is H.264 (what every receiver takes with low delay); --codec " + o.codec +
                           " is for files");
  }
  return Status();
}

Status checkOutput(const RenderOptions& o, bool still, const std::string& container) {
  if (isStreamOutput(o.output)) {
    return checkStream(o, container);
  }
  // Whatever the flags: writing over what the run reads would destroy it.
  if (sameFile(o.sound, o.output)) {
    return Status::failure(o.output + " is the sound being rendered; choose another OUTPUT");
  }
  const std::string input = inputAt(o.output, filesRead(o));
  if (!input.empty()) {
    return Status::failure(o.output + " is " + input + ", which this render reads; choose another OUTPUT");
  }
  if (const Status target = checkTarget(o.output, quotedName(o.output), "OUTPUT", o.overwrite); !target) {
    return target;
  }
  if (still) {
    if (!o.codec.empty()) {
      return Status::failure("--codec is for videos; a .png is always PNG");
    }
    if (!o.preset.empty()) {
      return Status::failure("--preset is for videos; a .png has no encoder speed");
    }
  } else {
    if (container.empty()) {
      return Status::failure("OUTPUT must end in .mp4, .mkv, .mov, .webm or .png (got \"" + o.output + "\")");
    }
    for (const Status& step : {checkCodec(o.codec, container, o.transparent),
                               checkPreset(o.codec, container, o.preset, o.crf)}) {
      if (!step) {
        return step;
      }
    }
    if (o.codec == "av1" && (o.width < 64 || o.height < 64)) {
      return Status::failure("AV1 needs at least 64x64 (got " + std::to_string(o.width) + "x" +
                             std::to_string(o.height) + ")");
    }
    if (o.width % 2 != 0 || o.height % 2 != 0) {
      return Status::failure("a video needs an even width and height (got " + std::to_string(o.width) + "x" +
                             std::to_string(o.height) + ")");
    }
  }
  return Status();
}

// Fades longer together than what is rendered cannot be what was meant.
Status checkFades(const RenderOptions& o, const Span& span, bool still) {
  const double spanSeconds = static_cast<double>(span.end - span.first) / o.fps.value();
  if (still || o.fadeIn + o.fadeOut <= spanSeconds + 1e-9) {
    return Status();
  }
  const std::string which = o.fadeIn > 0 && o.fadeOut > 0 ? "--fade-in and --fade-out together ("
                            : o.fadeIn > 0                ? "--fade-in ("
                                                          : "--fade-out (";
  return Status::failure(which + secondsText(o.fadeIn + o.fadeOut) + ") " +
                         (o.fadeIn > 0 && o.fadeOut > 0 ? "are" : "is") + " longer than what is rendered (" +
                         secondsText(spanSeconds) + ")");
}

// The title over the frames from the span's start, if one is asked for.
Status placeTitle(const RenderOptions& o, const Sound& sound, const std::string& fontPath, int64_t first,
                  Visualiser& visualiser) {
  const std::string text = titleToDraw(o, o.sound, sound.tags, o.quiet);
  if (text.empty()) {
    return Status();
  }
  // Refused here when it cannot fit the video's size, before anything is drawn.
  const Result<TitleLayout> title = layOutTitle(text, fontPath, o.width, o.height, o.titleAt);
  if (!title) {
    return title.status();
  }
  return visualiser.setTitle(text, fontPath, first);
}

// What the pictures see of the song: its measured loudness brought to the
// reference (unless --level off), plus --gain; said in one line.
Result<double> pictureGain(const RenderOptions& o) {
  if (!o.level) {
    return o.gainDb;
  }
  const Result<double> loudness = measureLoudness(o.sound);
  if (!loudness) {
    return loudness.status();
  }
  const double levelled = levellingGain(loudness.value());
  if (!o.quiet) {
    char line[200];
    if (!std::isfinite(loudness.value()) || loudness.value() < kQuietest) {
      std::snprintf(line, sizeof line, "the song is silent or nearly (%.1f LUFS): the pictures see it as it is",
                    loudness.value());
    } else {
      std::snprintf(line, sizeof line, "the song measures %.1f LUFS: the pictures see it %.1f dB %s (--level off: as it is)",
                    loudness.value(), std::fabs(levelled), levelled >= 0 ? "louder" : "quieter");
    }
    std::cerr << "vrax-studio: " << line << std::endl;
  }
  return levelled + o.gainDb;
}

// --transparent with a picture that covers every pixel: one line naming
// the ones whose backgrounds give way.
void sayFullFrame(const std::string& picture) {
  std::string clear;
  for (const GalleryEntry& entry : galleryPictures()) {
    clear += entry.fullFrame ? "" : (clear.empty() ? "" : ", ") + entry.name;
  }
  std::cerr << "vrax-studio: " << picture << " fills the whole frame by nature, so nothing of it is "
            << "see-through; these have backgrounds that give way: " << clear << std::endl;
}

// --picture: the gallery picture's folder stands for --shaders.
Status usePicture(RenderOptions& o) {
  if (o.picture.empty()) {
    return Status();
  }
  const Result<GalleryEntry> picture = findGalleryPicture(o.picture);
  if (!picture) {
    return picture.status();
  }
  o.shaders = picture.value().path;
  o.memory = picture.value().memory;
  if (o.transparent && picture.value().fullFrame && !o.quiet) {
    sayFullFrame(o.picture);
  }
  return Status();
}

}  // namespace

int runRender(const RenderOptions& given) {
  catchInterrupts();
  RenderOptions o = given;
  if (const Status picture = usePicture(o); !picture) {
    return report(kExitUsage, picture.why());
  }
  const bool still = hasExtension(o.output, ".png") && !isStreamOutput(o.output);
  const std::string container = isStreamOutput(o.output) ? streamContainerFor(o.output) : containerFor(o.output);
  if (const Status output = checkOutput(o, still, container); !output) {
    return report(kExitUsage, output.why());
  }
  const Result<std::vector<Image>> images = loadImages(o.images);
  const Result<std::string> font = o.title.empty() ? Result<std::string>(std::string()) : findTitleFont(o.font);
  if (!images || !font) {
    return report(kExitUsage, images ? font.why() : images.why());
  }
  const std::string& fontPath = font.value();
  Result<std::vector<Setting>> settings = settingsToUse(o);
  const Result<BackdropImages> backdrop = loadBackdropImages(o.background, o.logo);
  if (!settings || !backdrop) {
    return report(kExitUsage, settings ? backdrop.why() : settings.why());
  }
  Result<Sound> sound = probeSound(o.sound);
  if (!sound) {
    return report(kExitFailure, sound.why());
  }
  const FrameClock clock(o.fps, sound.value().rate);
  const Result<Span> span = planSpan(o, sound.value(), clock, still);
  if (!span || !checkFades(o, span.value(), still)) {
    return report(kExitUsage, span ? checkFades(o, span.value(), still).why() : span.why());
  }
  // The pictures are built (shaders, channels, fonts) before the whole song
  // is measured, so what is broken is said at once.
  Visualiser visualiser(o, clock, images.value());
  if (const Status opened = visualiser.open(sound.value().file, std::move(settings.value())); !opened) {
    return report(kExitFailure, opened.why());
  }
  if (const Status titled = placeTitle(o, sound.value(), fontPath, span.value().first, visualiser); !titled) {
    return report(kExitUsage, titled.why());
  }
  const Result<double> gain = pictureGain(o);
  if (!gain) {
    return report(kExitFailure, gain.why());
  }
  visualiser.setGain(gain.value());
  if (const Status drawn = visualiser.setBackdrop(backdrop.value()); !drawn) {
    return report(kExitFailure, drawn.why());
  }
  if (!still && visualiser.tapsSound()) {
    visualiser.tapSound(span.value().soundStart, span.value().soundEnd);
  }
  if (const Status rolled = preRoll(o, span.value(), visualiser); !rolled) {
    return report(kExitFailure, "cannot read the sound " + o.sound + " from " +
                                    secondsText(clock.seconds(span.value().first)) + ": " + rolled.why());
  }
  // A still is one frame: a signal while it is drawn ends the run with
  // nothing written. A video says it can stop once its first frame is done.
  return still ? writeStill(o, clock, span.value(), visualiser)
               : writeVideo(o, sound.value(), clock, span.value(), container, visualiser);
}
