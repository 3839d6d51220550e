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

#include <filesystem>
#include <iostream>
#include <thread>

#include "boundedQueue.h"
#include "encoder.h"
#include "interrupt.h"
#include "offscreen.h"
#include "pendingFile.h"
#include "picture.h"
#include "progress.h"
#include "readback.h"
#include "soundStream.h"
#include "spectrum.h"

namespace {

int fail(const std::string& message) {
  std::cerr << "vrax-studio: " << message << std::endl;
  return kExitFailure;
}

int usage(const std::string& message) {
  std::cerr << "vrax-studio: " << message << std::endl;
  return kExitUsage;
}

bool endsWithPng(const std::string& path) {
  const std::string ext = std::filesystem::path(path).extension().string();
  return ext == ".png" || ext == ".PNG";
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
};

// The encoder thread's whole work. Returns "" or the reason it stopped.
std::string encodeAll(Encoder& encoder, const Sound& sound, const FrameClock& clock, const Span& span,
                      BoundedQueue<std::vector<uint8_t>>& filled, BoundedQueue<std::vector<uint8_t>>& spare) {
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

}  // namespace

int runRender(const RenderOptions& o) {
  catchInterrupts();
  const bool png = endsWithPng(o.output);
  const std::string container = containerFor(o.output);
  if (!png && container.empty()) {
    return usage("OUTPUT must end in .mp4, .mkv, .mov or .png (got \"" + o.output + "\")");
  }
  if (!png && (o.width % 2 != 0 || o.height % 2 != 0)) {
    return usage("H.264 needs an even width and height (got " + std::to_string(o.width) + "x" +
                 std::to_string(o.height) + ")");
  }
  std::error_code ec;
  if (!o.overwrite && std::filesystem::exists(o.output, ec)) {
    return usage(o.output + " exists; pass --overwrite to replace it");
  }

  // The sound's real length: a header may claim far more than the file holds.
  Sound sound{o.sound, 0, 0, 0};
  std::string error;
  {
    SoundFile probe;
    if (!probe.open(o.sound, error)) {
      return fail("cannot read the sound " + o.sound + ": " + error);
    }
    sound.channels = probe.channels();
    sound.rate = probe.rate();
  }
  sound.frames = countFrames(o.sound, error);
  if (sound.frames < 0) {
    return fail("cannot read the sound " + o.sound + ": " + error);
  }
  if (sound.frames == 0) {
    return fail(o.sound + " holds no sound to render");
  }

  const FrameClock clock(o.fps, sound.rate);
  const double duration = static_cast<double>(sound.frames) / sound.rate;
  Span span;
  span.end = clock.framesFor(sound.frames);
  span.soundEnd = sound.frames;
  if (o.hasFrom) {
    span.first = clock.frameAtOrAfter(o.from);
    if (o.from.value() >= duration || span.first >= span.end) {
      return usage("--from " + std::to_string(o.from.value()) + " is past the end of the sound (" +
                   std::to_string(duration) + " s)");
    }
  }
  if (o.hasTo) {
    span.end = std::min(span.end, clock.frameAtOrAfter(o.to));
    span.soundEnd = std::min(span.soundEnd, clock.soundFrameAtTime(o.to));
  }
  if (span.first >= span.end) {
    return usage("--from and --to leave no frame to render");
  }
  if (png) {
    span.end = span.first + 1;
  }
  span.soundStart = clock.soundFrameAt(span.first);

  OffscreenContext context;
  if (!context.open(o.width, o.height, error)) {
    return fail(error);
  }
  const std::string shaderDir = o.shaders.empty() ? defaultShaderDir() : o.shaders;
  ShaderFile vertex;
  ShaderFile fragment;
  Picture picture;
  if (!readShaderPair(shaderDir, vertex, fragment, error)) {
    return fail(error);
  }
  if (!picture.build(vertex, fragment, error)) {
    std::cerr << error;
    return fail("the shader pair in " + shaderDir + " does not build");
  }

  WindowReader windows;
  if (!windows.open(o.sound, error)) {
    return fail("cannot read the sound " + o.sound + ": " + error);
  }
  // The smoothing carries from frame to frame, so a render that starts late
  // steps through the frames before it without drawing them.
  std::vector<float> previous;
  auto stepSpectrum = [&](int64_t n) {
    std::vector<float> window = windows.window(clock.soundFrameAt(n));
    updateSpectrum(window, previous);
    return window;
  };
  for (int64_t n = 0; n < span.first; ++n) {
    stepSpectrum(n);
    if (interrupted()) {
      std::cerr << "vrax-studio: interrupted before the first frame; nothing written" << std::endl;
      return kExitInterrupted;
    }
  }
  auto drawFrame = [&](int64_t n) {
    picture.setSpectrum(stepSpectrum(n));
    picture.draw(o.width, o.height, static_cast<float>(clock.seconds(n)));
  };

  PendingFile file(o.output, o.overwrite);
  Progress progress(span.end - span.first, o.fps.value(), o.quiet);
  if (png) {
    drawFrame(span.first);
    std::vector<uint8_t> pixels(static_cast<size_t>(o.width) * o.height * 4);
    GL_CALL(glReadPixels(0, 0, o.width, o.height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data()));
    if (!writePng(file.path(), pixels.data(), o.width, o.height, error) || !file.commit(error)) {
      return fail(error);
    }
    if (!o.quiet) {
      std::cerr << "Wrote " << o.output << ": the frame at " << clock.seconds(span.first) << " s, " << o.width << "x"
                << o.height << std::endl;
    }
    return kExitDone;
  }

  EncoderSettings settings;
  settings.path = file.path();
  settings.format = container;
  settings.width = o.width;
  settings.height = o.height;
  settings.fps = o.fps;
  settings.crf = o.crf;
  settings.channels = sound.channels;
  settings.rate = sound.rate;
  Encoder encoder;
  if (!encoder.open(settings, error)) {
    return fail(error);
  }

  Readback readback(o.width, o.height);
  BoundedQueue<std::vector<uint8_t>> filled(2);
  BoundedQueue<std::vector<uint8_t>> spare(3);
  // Three pictures in flight: one drawn, one queued, one being encoded.
  for (int i = 0; i < 3; ++i) {
    spare.push(std::vector<uint8_t>(readback.bytes()));
  }
  std::string encodeError;
  std::thread encoderThread(
      [&] { encodeError = encodeAll(encoder, sound, clock, span, filled, spare); filled.close(); spare.close(); });

  // Hands the oldest picture read back to the encoder; false once it stopped.
  auto handOver = [&]() {
    std::vector<uint8_t> pixels;
    if (!spare.pop(pixels)) {
      return false;
    }
    if (!readback.finish(pixels.data())) {
      std::cerr << "vrax-studio: a picture could not be read back" << std::endl;
    }
    return filled.push(std::move(pixels));
  };
  int64_t drawn = 0;
  bool going = true;
  for (int64_t n = span.first; n < span.end && going && !interrupted(); ++n) {
    drawFrame(n);
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
    return fail(encodeError);
  }
  if (wasInterrupted && drawn == 0) {
    std::cerr << "vrax-studio: interrupted before the first frame; nothing written" << std::endl;
    return kExitInterrupted;
  }
  if (!file.commit(error)) {
    return fail(error);
  }
  struct stat info {};
  stat(o.output.c_str(), &info);
  const double seconds = static_cast<double>(drawn) / o.fps.value();
  const double wall = progress.elapsed();
  if (wasInterrupted) {
    std::cerr << "vrax-studio: interrupted; " << o.output << " holds the first " << drawn << " frames ("
              << seconds << " s)" << std::endl;
    return kExitInterrupted;
  }
  if (!o.quiet) {
    char line[256];
    std::snprintf(line, sizeof line, "%lld frames, %.2f s, %s, in %.1f s: %.2fx real time",
                  static_cast<long long>(drawn), seconds, humanBytes(static_cast<uint64_t>(info.st_size)).c_str(),
                  wall, wall > 0 ? seconds / wall : 0.0);
    std::cerr << "Wrote " << o.output << ": " << line << std::endl;
  }
  return kExitDone;
}
