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
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <iostream>
#include <memory>
#include <thread>

#include "boundedQueue.h"
#include "encoder.h"
#include "gallery.h"
#include "image.h"
#include "interrupt.h"
#include "overlay.h"
#include "title.h"
#include "libraryLog.h"
#include "offscreen.h"
#include "pendingFile.h"
#include "picture.h"
#include "progress.h"
#include "readback.h"
#include "shaderSource.h"
#include "shadertoy.h"
#include "soundStream.h"
#include "analysis.h"

namespace {

// Seconds of earlier frames a picture that reads `previous` still shows.
constexpr double kPictureMemory = 10.0;

bool endsWithPng(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  for (char& c : ext) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return ext == ".png";
}

// Seconds as short as they can be written without losing what was given.
std::string secondsText(double seconds) {
  char text[32];
  for (int digits = 3; digits <= 12; ++digits) {
    std::snprintf(text, sizeof text, "%.*f", digits, seconds);
    if (std::strtod(text, nullptr) == seconds) {
      break;
    }
  }
  std::string out = text;
  while (out.find('.') != std::string::npos && (out.back() == '0' || out.back() == '.')) {
    out.pop_back();
  }
  return out + " s";
}

// Every file the run reads: the sound, the images, the font and the shader files.
std::vector<std::string> inputsOf(const RenderOptions& o) {
  std::vector<std::string> inputs = shaderFiles(o.shaders.empty() ? defaultShaderDir() : o.shaders);
  inputs.push_back(o.sound);
  inputs.push_back(o.font);
  inputs.insert(inputs.end(), o.images.begin(), o.images.end());
  return inputs;
}

// What failure messages call OUTPUT: its whole path, so the folder is named too.
std::string outputName(const std::string& output) {
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
};

// --fade-in and --fade-out: picture and sound together, from the span's first
// frame and sample up and down to its last. The first and last frames are
// black; the sound is a linear ramp, sample by sample.
struct Fades {
  double in = 0;   // seconds
  double out = 0;
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

void darken(std::vector<uint8_t>& rgba, double gain) {
  const auto scale = static_cast<uint32_t>(std::lround(gain * 65536.0));
  for (size_t i = 0; i + 3 < rgba.size(); i += 4) {
    for (size_t c = 0; c < 3; ++c) {
      rgba[i + c] = static_cast<uint8_t>((rgba[i + c] * scale + 32768) >> 16);
    }
  }
}

// The encoder thread's whole work. Returns "" or the reason it stopped.
std::string encodeAll(Encoder& encoder, const Sound& sound, const FrameClock& clock, const Span& span,
                      const Fades& fades, BoundedQueue<std::vector<uint8_t>>& filled,
                      BoundedQueue<std::vector<uint8_t>>& spare) {
  std::string error;
  SoundFile reader;
  if (!reader.open(sound.path, error) || !reader.seek(span.soundStart)) {
    return error.empty() ? "cannot read the sound of " + sound.path : error;
  }
  std::vector<float> chunk;
  int64_t soundDone = span.soundStart;
  // Encodes the sound up to (not including) sound frame `until`.
  auto soundUpTo = [&](int64_t until) {
    until = std::min(until, span.soundEnd);
    while (soundDone < until) {
      const int64_t want = std::min<int64_t>(until - soundDone, 8192);
      chunk.resize(static_cast<size_t>(want * sound.channels));
      int64_t got = reader.readFloats(chunk.data(), want);
      if (got <= 0) {
        // Shorter than counted (a file changed under us): silence keeps the sync.
        std::fill(chunk.begin(), chunk.end(), 0.0f);
        got = want;
      }
      if (fades.any()) {
        for (int64_t f = 0; f < got; ++f) {
          const auto gain = static_cast<float>(fades.sound(span, soundDone + f, static_cast<double>(sound.rate)));
          for (int c = 0; c < sound.channels; ++c) {
            chunk[static_cast<size_t>(f * sound.channels + c)] *= gain;
          }
        }
      }
      if (!encoder.writeSound(chunk.data(), got, error)) {
        return false;
      }
      soundDone += got;
    }
    return true;
  };

  std::vector<uint8_t> pixels;
  int64_t n = span.first;
  while (filled.pop(pixels)) {
    const double gain = fades.picture(span, n, clock.fps().value());
    if (gain < 1.0) {
      darken(pixels, gain);
    }
    if (!encoder.writePicture(pixels.data(), error) || !soundUpTo(clock.soundFrameAt(n + 1))) {
      return error;
    }
    ++n;
    spare.push(std::move(pixels));
  }
  // All frames: the sound to its end. Stopped early: to the last frame's end.
  if (!soundUpTo(n == span.end ? span.soundEnd : clock.soundFrameAt(n)) || !encoder.finish(error)) {
    return error;
  }
  return "";
}

// The sound's real length and shape: a header may claim far more than the
// file holds. Returns -1 to go on, else the exit status.
int probeSound(const std::string& path, Sound& sound) {
  std::string error;
  SoundFile file;
  if (!file.open(path, error)) {
    return report(kExitFailure, "cannot read the sound " + path + ": " + error);
  }
  if (file.rate() < kMinSoundRate) {
    return report(kExitFailure, path + " is sampled at " + std::to_string(file.rate()) + " Hz; a video's sound needs " +
                                    std::to_string(kMinSoundRate) + " Hz or more");
  }
  sound = Sound{path, file.channels(), file.rate(), countFrames(file), file.tags()};
  if (sound.frames == 0) {
    return report(kExitFailure, path + " holds no sound to render");
  }
  return -1;
}

// Which frames and which sound --from and --to ask for. -1 or the exit status.
int planSpan(const RenderOptions& o, const Sound& sound, const FrameClock& clock, bool still, Span& span) {
  const double duration = static_cast<double>(sound.frames) / sound.rate;
  span.end = clock.framesFor(sound.frames);
  span.soundEnd = sound.frames;
  if (o.hasFrom) {
    span.first = clock.frameAtOrAfter(o.from);
    if (o.from.value() >= duration) {
      return report(kExitUsage, "--from " + secondsText(o.from.value()) + " is past the end of the sound (" +
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
    return report(kExitUsage, "--from and --to leave no frame to render");
  }
  if (still) {
    span.end = span.first + 1;
  }
  span.soundStart = clock.soundFrameAt(span.first);
  return -1;
}

// The GL side: the offscreen context, the picture and the spectrum carried
// from frame to frame.
class Drawing {
 public:
  Drawing(const RenderOptions& o, const FrameClock& clock, const std::vector<Image>& images)
      : o_(o), clock_(clock), images_(images), analysis_(static_cast<int>(clock.rate())) {}

  bool open(std::string& error) {
    if (!context_.open(o_.width, o_.height, error)) {
      return false;
    }
    picture_ = std::make_unique<Picture>();
    const std::string dir = o_.shaders.empty() ? defaultShaderDir() : o_.shaders;
    if (dir.empty()) {
      error = noShaderDirMessage();
      return false;
    }
    ShaderSource source;
    ShaderFile vertex;
    ShaderFile fragment;
    if (!findShaderSource(dir, source, error) || !readShaderSource(source, vertex, fragment, error)) {
      return false;
    }
    if (!picture_->build(vertex, fragment, error)) {
      error += source.form == ShaderForm::Pair ? "the shader pair in " + dir + " does not build"
                                               : source.file + " does not build";
      return false;
    }
    if (source.form == ShaderForm::Shadertoy) {
      shadertoy_ = std::make_unique<ShadertoyFeed>();
      shadertoy_->attach(picture_->program());
      shadertoy_->setImages(images_);
      // The date the render started, the same for every frame.
      shadertoyDateNow(date_);
    }
    if (!source_.open(o_.sound, error)) {
      error = "cannot read the sound " + o_.sound + ": " + error;
      return false;
    }
    for (size_t i = 0; i < images_.size(); ++i) {
      picture_->setImage(static_cast<int>(i), images_[i]);
    }
    // Cover art is decoded only for a picture that shows it.
    picture_->setCover(picture_->readsCover() ? chooseCover(o_.sound, images_)
                                              : images_.empty() ? Image{} : images_.front());
    return true;
  }
  // Frame n's analysis, not drawn: the smoothing carries, so every frame
  // from the first asked for on is stepped.
  void skip(int64_t n) { step(n); }
  // The first frame that will be stepped; the sound is seeked there.
  bool startAt(int64_t n) { return source_.startAt(clock_.soundFrameAt(n)); }
  bool readsPrevious() const { return picture_->readsPrevious(); }
  void draw(int64_t n) {
    const AudioInputs& inputs = step(n);
    picture_->setInputs(inputs);
    if (shadertoy_) {
      ShadertoyFrame frame;
      frame.width = static_cast<float>(o_.width);
      frame.height = static_cast<float>(o_.height);
      frame.time = static_cast<float>(clock_.seconds(n));
      frame.timeDelta = static_cast<float>(1.0 / o_.fps.value());
      frame.frameRate = static_cast<float>(o_.fps.value());
      frame.frame = static_cast<int>(n);
      std::copy(date_, date_ + 4, frame.date);
      frame.sampleRate = static_cast<float>(clock_.rate());
      shadertoy_->feed(inputs, frame);
    }
    picture_->draw(o_.width, o_.height, static_cast<float>(clock_.seconds(n)), n);
    if (title_) {
      // The title fades in with the video (at once without --fade-in).
      const double since = static_cast<double>(n - titleFrom_) / o_.fps.value();
      title_->draw(o_.width, o_.height,
                   static_cast<float>(o_.fadeIn > 0 ? std::clamp(since / o_.fadeIn, 0.0, 1.0) : 1.0));
    }
  }
  // The title over every frame from `first` on.
  void setTitle(const TitleLayout& title, int64_t first) {
    title_ = std::make_unique<Overlay>();
    title_->set(title.image, title.x, title.y);
    titleFrom_ = first;
  }

 private:
  const AudioInputs& step(int64_t n) {
    source_.around(clock_.soundFrameAt(n), sound_);
    return analysis_.step(sound_, clock_.seconds(n));
  }

  const RenderOptions& o_;
  const FrameClock& clock_;
  const std::vector<Image>& images_;
  OffscreenContext context_;
  std::unique_ptr<Picture> picture_;  // after the context, so its GL objects go first
  std::unique_ptr<ShadertoyFeed> shadertoy_;
  std::unique_ptr<Overlay> title_;
  int64_t titleFrom_ = 0;
  float date_[4] = {0, 0, 0, 0};
  WindowReader source_;
  FrameSound sound_;
  Analysis analysis_;
};

// A render that starts late steps through the frames before it. What the
// analysis and a picture that reads the previous frame carry from frame to
// frame fades within seconds, so only the last kPictureMemory seconds before
// the start are stepped (and drawn, for such a picture): a start an hour
// into a song costs what a start ten seconds in costs.
bool preRoll(const RenderOptions& o, const Span& span, Drawing& drawing) {
  const auto memory = static_cast<int64_t>(std::ceil(kPictureMemory * o.fps.value()));
  const int64_t stepFrom = std::max<int64_t>(0, span.first - memory);
  if (!drawing.startAt(stepFrom)) {
    return false;
  }
  const bool drawn = drawing.readsPrevious();
  Progress progress(span.first - stepFrom, o.fps.value(), o.quiet, "up to --from: ", 2.0);
  for (int64_t n = stepFrom; n < span.first; ++n) {
    if (drawn) {
      drawing.draw(n);
    } else {
      drawing.skip(n);
    }
    progress.update(n - stepFrom);
  }
  progress.update(span.first - stepFrom);
  progress.end();
  return true;
}

int writeStill(const RenderOptions& o, const FrameClock& clock, const Span& span, Drawing& drawing) {
  PendingFile file(o.output, o.overwrite);
  std::string error;
  drawing.draw(span.first);
  const std::vector<uint8_t> pixels = readPixels(o.width, o.height);
  if (glErrorsReported() > 0) {
    return report(kExitFailure, "the GL driver reported errors while drawing (above); nothing written");
  }
  if (!writePng(file.path(), pixels.data(), o.width, o.height, error, outputName(o.output), o.transparent) ||
      !file.commit(error)) {
    return report(kExitFailure, error);
  }
  if (!o.quiet) {
    std::cerr << "Wrote " << o.output << ": the frame at " << clock.seconds(span.first) << " s, " << o.width << "x"
              << o.height << std::endl;
  }
  return kExitDone;
}

int writeVideo(const RenderOptions& o, const Sound& sound, const FrameClock& clock, const Span& span,
               const std::string& container, Drawing& drawing) {
  PendingFile file(o.output, o.overwrite);
  std::string error;
  EncoderSettings settings;
  settings.path = file.path();
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
  Encoder encoder;
  if (!encoder.open(settings, error)) {
    return report(kExitFailure, withLibraryDetail(error));
  }

  Readback readback(o.width, o.height);
  BoundedQueue<std::vector<uint8_t>> filled(2);
  BoundedQueue<std::vector<uint8_t>> spare(3);
  // Three pictures in flight: one drawn, one queued, one being encoded.
  for (int i = 0; i < 3; ++i) {
    spare.push(std::vector<uint8_t>(readback.bytes()));
  }
  std::string encodeError;
  std::string drawError;
  std::thread encoderThread([&] {
    encodeError = encodeAll(encoder, sound, clock, span, Fades{o.fadeIn, o.fadeOut}, filled, spare);
    filled.close();
    spare.close();
  });

  // Hands the oldest picture read back to the encoder; false once it stopped.
  auto handOver = [&]() {
    std::vector<uint8_t> pixels;
    if (!spare.pop(pixels)) {
      return false;
    }
    if (!readback.finish(pixels.data())) {
      drawError = "a picture could not be read back from the GPU";
      return false;
    }
    return filled.push(std::move(pixels));
  };
  Progress progress(span.end - span.first, o.fps.value(), o.quiet);
  int64_t drawn = 0;
  bool going = true;
  for (int64_t n = span.first; n < span.end && going && !interrupted(); ++n) {
    drawing.draw(n);
    if (n == span.first) {
      // The driver compiles at the first draw; until that is done a signal
      // ends the run at once, after it the file is completed.
      glFinish();
      stopAtNextFrame();
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
  filled.close();
  encoderThread.join();
  progress.end();

  const bool wasInterrupted = interrupted();
  if (!encodeError.empty()) {
    return report(kExitFailure, withLibraryDetail(encodeError));
  }
  if (drawError.empty() && glErrorsReported() > 0) {
    drawError = "the GL driver reported errors while drawing (above); the pictures cannot be trusted";
  }
  if (!drawError.empty()) {
    return report(kExitFailure, drawError + "; nothing written");
  }
  if (wasInterrupted && drawn == 0) {
    return report(kExitInterrupted, "interrupted before the first frame; nothing written");
  }
  if (!file.commit(error)) {
    return report(kExitFailure, error);
  }
  struct stat info {};
  stat(o.output.c_str(), &info);
  const double seconds = static_cast<double>(drawn) / o.fps.value();
  const double wall = progress.elapsed();
  if (wasInterrupted) {
    std::cerr << "vrax-studio: interrupted; " << o.output << " holds the first " << drawn << " frames (" << seconds
              << " s)" << std::endl;
    return kExitInterrupted;
  }
  if (!o.quiet) {
    char line[256];
    std::snprintf(line, sizeof line, "%lld frames, %.2f s, %s, in %.1f s: %.2fx real time",
                  static_cast<long long>(drawn), seconds, humanBytes(static_cast<uint64_t>(info.st_size)).c_str(), wall,
                  wall > 0 ? seconds / wall : 0.0);
    std::cerr << "Wrote " << o.output << ": " << line << std::endl;
  }
  return kExitDone;
}

}  // namespace

int runRender(const RenderOptions& given) {
  catchInterrupts();
  RenderOptions o = given;
  if (!o.picture.empty()) {
    GalleryPicture picture;
    std::string error;
    if (!findGalleryPicture(o.picture, picture, error)) {
      return report(kExitUsage, error);
    }
    o.shaders = picture.path;
  }
  // Whatever the flags: writing over what the run reads would destroy it.
  if (sameFile(o.sound, o.output)) {
    return report(kExitUsage, o.output + " is the sound being rendered; choose another OUTPUT");
  }
  const std::string input = inputAt(o.output, inputsOf(o));
  if (!input.empty()) {
    return report(kExitUsage, o.output + " is " + input + ", which this render reads; choose another OUTPUT");
  }
  std::error_code folderError;
  if (std::filesystem::is_directory(o.output, folderError)) {
    return report(kExitUsage, o.output + " is a folder; OUTPUT must name a file");
  }
  const bool still = endsWithPng(o.output);
  if (still && !o.codec.empty()) {
    return report(kExitUsage, "--codec is for videos; a .png is always PNG");
  }
  if (still && !o.preset.empty()) {
    return report(kExitUsage, "--preset is for videos; a .png has no encoder speed");
  }
  const std::string container = containerFor(o.output);
  if (!still && container.empty()) {
    return report(kExitUsage, "OUTPUT must end in .mp4, .mkv, .mov, .webm or .png (got \"" + o.output + "\")");
  }
  if (!still) {
    std::string codecError = checkCodec(o.codec, container, o.transparent);
    if (codecError.empty()) {
      codecError = checkPreset(o.codec, container, o.preset, o.crf);
    }
    if (!codecError.empty()) {
      return report(kExitUsage, codecError);
    }
  }
  if (!still && o.codec == "av1" && (o.width < 64 || o.height < 64)) {
    return report(kExitUsage, "AV1 needs at least 64x64 (got " + std::to_string(o.width) + "x" +
                                  std::to_string(o.height) + ")");
  }
  if (!still && (o.width % 2 != 0 || o.height % 2 != 0)) {
    return report(kExitUsage, "a video needs an even width and height (got " + std::to_string(o.width) + "x" +
                                  std::to_string(o.height) + ")");
  }
  std::error_code ec;
  // symlink_status: a dangling link is a name that is taken too.
  if (!o.overwrite && std::filesystem::exists(std::filesystem::symlink_status(o.output, ec))) {
    return report(kExitUsage, o.output + " exists; pass --overwrite to replace it");
  }
  std::vector<Image> images;
  std::string imageError;
  if (!loadImages(o.images, images, imageError)) {
    return report(kExitUsage, imageError);
  }
  std::string fontPath;
  if (!o.title.empty() && !findTitleFont(o.font, fontPath, imageError)) {
    return report(kExitUsage, imageError);
  }
  Sound sound;
  int status = probeSound(o.sound, sound);
  if (status >= 0) {
    return status;
  }
  const FrameClock clock(o.fps, sound.rate);
  Span span;
  if ((status = planSpan(o, sound, clock, still, span)) >= 0) {
    return status;
  }

  const double spanSeconds = static_cast<double>(span.end - span.first) / o.fps.value();
  if (!still && o.fadeIn + o.fadeOut > spanSeconds + 1e-9) {
    return report(kExitUsage, std::string(o.fadeIn > 0 && o.fadeOut > 0 ? "--fade-in and --fade-out together (" :
                                          o.fadeIn > 0 ? "--fade-in (" : "--fade-out (") +
                                  secondsText(o.fadeIn + o.fadeOut) + ") are longer than what is rendered (" +
                                  secondsText(spanSeconds) + ")");
  }
  Drawing drawing(o, clock, images);
  std::string error;
  if (!drawing.open(error)) {
    return report(kExitFailure, error);
  }
  const std::string titleText = o.title == "auto" ? titleFromTags(sound.tags) : o.title;
  if (o.title == "auto" && titleText.empty() && !o.quiet) {
    std::cerr << "vrax-studio: --title auto: " << o.sound << " has no artist or title tag; no title is drawn"
              << std::endl;
  }
  if (!titleText.empty()) {
    TitleLayout title;
    if (!layOutTitle(titleText, fontPath, o.width, o.height, o.titleAt, title, error)) {
      return report(kExitUsage, error);
    }
    drawing.setTitle(title, span.first);
  }
  if (!preRoll(o, span, drawing)) {
    return report(kExitFailure, "cannot read the sound " + o.sound + " from " + secondsText(clock.seconds(span.first)));
  }
  // A still is one frame: a signal while it is drawn ends the run with
  // nothing written. A video says it can stop once its first frame is done.
  return still ? writeStill(o, clock, span, drawing) : writeVideo(o, sound, clock, span, container, drawing);
}
