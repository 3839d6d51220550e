// render.cpp — the `render` command: which clock (the offline frame clock,
// exact frame times), which output (a file, a PNG still, or a stream paced
// to the song) and what is refused before anything is drawn.
//
// Two threads. This one owns the GL context (OfflineShow): it draws each
// frame at its exact time and starts reading it back; the EncoderThread
// encodes what is handed over, with the sound up to each picture's time,
// and completes the file or ends the stream.
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
#include "video/encoderThread.h"
#include "video/videoOutput.h"
#include "picture/gallery.h"
#include "picture/image.h"
#include "base/interrupt.h"
#include "picture/backdrop.h"
#include "sound/loudness.h"
#include "show/offlineShow.h"
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

struct Sound {
  std::string path;
  int channels = 0;
  int rate = 0;
  int64_t frames = 0;
  std::map<std::string, std::string> tags;
  // The one reader of the song, opened to count it; the visualiser takes it.
  std::shared_ptr<SoundFile> file;
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

// A render that starts late steps through the frames before it. What the
// analysis carries from frame to frame fades within seconds, so only the
// last kPictureMemory seconds before the start are analysed, and only a
// picture that reads the frame before is drawn there: for as far back as
// it says its trails reach (its memory), else those ten seconds. A start an
// hour into a song costs what a start ten seconds in costs.
Status preRoll(const RenderOptions& o, const Span& span, OfflineShow& visualiser) {
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
// pixel buffers and hands the oldest finished picture to the output.
// Returns the frames drawn, or why the pictures cannot be trusted.
Result<int64_t> drawFrames(const RenderOptions& o, const Span& span, OfflineShow& visualiser, VideoOutput& output,
                           Progress& progress) {
  Readback readback(o.width, o.height);
  std::string drawError;
  // Hands the oldest picture read back to the encoder; false once it stopped.
  auto handOver = [&]() {
    std::vector<uint8_t> pixels;
    if (!output.spare(pixels)) {
      return false;
    }
    if (const Status read = readback.finish(pixels.data()); !read) {
      drawError = read.why();
      return false;
    }
    return output.take(std::move(pixels));
  };
  int64_t drawn = 0;
  bool going = true;
  // A network stream goes out at the song's pace: frame n no sooner than its
  // time after the first (a viewer watches it as it comes).
  const bool paced = output.paced();
  const auto started = std::chrono::steady_clock::now();
  for (int64_t n = span.first; n < span.end && going && !interrupted(); ++n) {
    if (paced) {
      std::this_thread::sleep_until(started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>((n - span.first) / o.fps.value())));
    }
    visualiser.draw(n);
    if (n == span.first && span.end - span.first > 1) {
      // The driver compiles at the first draw; until that is done a signal
      // ends the run at once, after it the file is completed. A still is
      // one frame: a signal while it is drawn ends the run with nothing written.
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

// Once, when the guard eased frames; with --verbose what it measured.
void sayFlashGuard(const RenderOptions& o, const FlashGuard* guard) {
  if (guard == nullptr) {
    return;
  }
  if (guard->eased() > 0 && !o.quiet) {
    say("the picture flashed faster than three times a second; the flash guard eased " +
        std::to_string(guard->eased()) + " frames (--flash-guard off: as drawn)");
  }
  if (o.verbose) {
    say("flash guard: " + std::to_string(guard->transitions()) + " luminance transitions sent, at most " +
        std::to_string(guard->mostInASecond()) + " in one second; " + std::to_string(guard->eased()) + " frames eased");
  }
}

// What a finished or stopped render says, and its exit status.
int concludeVideo(const RenderOptions& o, VideoOutput& output, int64_t drawn, double wall) {
  const bool wasInterrupted = interrupted();
  if (wasInterrupted && drawn == 0) {
    return report(kExitInterrupted, "interrupted before the first frame; nothing written");
  }
  if (isStreamOutput(o.output)) {
    if (!o.quiet || wasInterrupted) {
      std::cerr << (wasInterrupted ? "vrax-studio: interrupted; streamed " : "Streamed ") << drawn << " frames ("
                << static_cast<double>(drawn) / o.fps.value() << " s) to " << printable(outputName(o.output))
                << std::endl;
    }
    return wasInterrupted ? kExitInterrupted : kExitDone;
  }
  if (const Status committed = output.commit(); !committed) {
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

// The span's sound from its own reader, for a format whose reader cannot
// hand over what it decodes (libsndfile's, cheap to read twice).
Result<SoundReader> spanReader(const Sound& sound, const Span& span) {
  auto file = std::make_shared<SoundFile>();
  if (const Status opened = file->open(sound.path); !opened) {
    return opened;
  }
  if (const Status sought = file->seek(span.soundStart); !sought) {
    return Status::failure("cannot read the sound of " + sound.path + " from its span's start: " + sought.why());
  }
  return SoundReader([file](float* out, int64_t frames) { return file->readFloats(out, frames); });
}

int writeStill(const RenderOptions& o, const FrameClock& clock, const Span& span, OfflineShow& visualiser) {
  StillOutput still(o.output, o.overwrite, o.width, o.height, o.transparent, outputName(o.output));
  Progress progress(1, o.fps.value(), true);
  const Result<int64_t> drawn = drawFrames(o, span, visualiser, still, progress);
  Status written = drawn ? still.finish() : Status::failure(drawn.why() + "; nothing written");
  if (written) {
    written = still.commit();
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

int writeVideo(const RenderOptions& o, const Sound& sound, const FrameClock& clock, const Span& span,
               const std::string& container, OfflineShow& visualiser) {
  const bool handed = visualiser.tapsSound();
  const Result<SoundReader> reader = handed ? Result<SoundReader>(SoundReader()) : spanReader(sound, span);
  if (!reader) {
    return report(kExitFailure, reader.why());
  }
  EncodedOutput::Plan plan{encoderSettings(o, sound, clock, span, container, o.output), o.overwrite, clock, span,
                           Fades{o.fadeIn, o.fadeOut, o.transparent}, reader.value(), o.flashGuard,
                           isStreamOutput(o.output) && streamIsPaced(o.output)};
  EncodedOutput output(std::move(plan));
  if (const Status opened = output.open(); !opened) {
    return report(kExitFailure, opened.why());
  }
  Progress progress(span.end - span.first, o.fps.value(), o.quiet);
  if (handed) {
    visualiser.handSoundTo([&output](std::vector<float> floats) { output.handSound(std::move(floats)); });
  }
  const Result<int64_t> drawn = drawFrames(o, span, visualiser, output, progress);
  if (handed) {
    // All frames: the sound to its end. Stopped early: to the last frame's end.
    const int64_t frames = drawn ? drawn.value() : 0;
    visualiser.readSoundTo(span.first + frames == span.end ? span.soundEnd : clock.soundFrameAt(span.first + frames));
    output.soundDone();
  }
  const Status encoded = output.finish();
  progress.end();
  if (!encoded) {
    return report(kExitFailure, encoded.why());
  }
  if (!drawn) {
    return report(kExitFailure, drawn.why() + "; nothing written");
  }
  sayFlashGuard(o, output.guard());
  return concludeVideo(o, output, drawn.value(), progress.elapsed());
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
                  OfflineShow& visualiser) {
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

OfflineShowSettings offlineShowSettings(const RenderOptions& o) {
  OfflineShowSettings s;
  s.width = o.width;
  s.height = o.height;
  s.fps = o.fps;
  s.transparent = o.transparent;
  s.shaders = o.shaders;
  s.channelSettings = o.channelSettings;
  s.imageNames = o.images;
  s.song = o.sound;
  s.titleAt = o.titleAt;
  s.fadeIn = o.fadeIn;
  s.titleFor = o.titleFor;
  return s;
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
  const OfflineShowSettings showSettings = offlineShowSettings(o);
  OfflineShow visualiser(showSettings, clock, images.value(), say);
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
