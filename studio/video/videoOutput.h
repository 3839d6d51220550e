// videoOutput.h — where a render's frames go: one interface, one class a
// kind (as a player's video outputs are drivers behind one loop). The loop
// draws a frame, reads it into a buffer the output gives (spare), hands it
// over (take), and at the end calls finish; an output that stops (a failing
// encoder, a receiver gone) answers false, which ends the loop.
//
//   StillOutput    one frame as a PNG, under a hidden name until complete.
//   EncodedOutput  a video file (under a hidden name, with its sound, fades,
//                  tags, faststart), a render's stream (paced to the song;
//                  srt:// and rtmp:// called again when the receiver goes
//                  away) or play's live stream (frames dropped rather than
//                  waited for; any URL called again), encoded by the one
//                  pump (EncoderThread), through the flash guard.
//
// Threading: the loop's thread (the GL thread) calls every member.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/defaults.h"
#include "base/status.h"
#include "video/encoder.h"
#include "video/encoderThread.h"
#include "video/flashGuard.h"
#include "video/frameClock.h"
#include "video/pendingFile.h"

class VideoOutput {
 public:
  virtual ~VideoOutput() = default;
  // How the pictures it takes are laid out.
  virtual PictureLayout layout() const { return PictureLayout::Rgba; }
  // A buffer for the next picture (in its layout); false once stopped.
  virtual bool spare(std::vector<uint8_t>& out) = 0;
  // The next frame's picture; false once stopped.
  virtual bool take(std::vector<uint8_t> pixels) = 0;
  // Whether frames go out at the song's pace (a network stream, watched as
  // it comes) rather than as fast as they are taken.
  virtual bool paced() const { return false; }
  // No more frames: the file completed (not yet named) or the stream ended.
  virtual Status finish() = 0;
  // Names the finished file (a stream has none to name).
  virtual Status commit() { return Status(); }
};

class StillOutput : public VideoOutput {
 public:
  // name: what messages call the target.
  StillOutput(const std::string& target, bool overwrite, int width, int height, bool keepAlpha, std::string name);
  bool spare(std::vector<uint8_t>& out) override;
  bool take(std::vector<uint8_t> pixels) override;
  Status finish() override;
  Status commit() override { return file_.commit(); }

 private:
  PendingFile file_;
  int width_;
  int height_;
  bool keepAlpha_;
  std::string name_;
  std::vector<uint8_t> pixels_;
  bool taken_ = false;
};

class EncodedOutput : public VideoOutput {
 public:
  struct Plan {
    EncoderSettings settings;  // path: the target file, or the stream's URL (settings.stream)
    bool overwrite = false;
    FrameClock clock{Rational{defaults::kVideoFps, 1}, 44100};
    Span span;
    Fades fades;
    SoundReader reader;  // empty: the sound is handed over (handSound)
    bool flashGuard = true;
    bool paced = false;
    // Where a stream that reconnects says it lost and found its receiver;
    // without them (or for a file) a lost receiver ends the render.
    Notes notes;
    // wait: every frame encoded (take, with the sound read or handed);
    // drop: a live show's frames, each with its sound (send).
    WhenBehind behind = WhenBehind::wait;
  };
  explicit EncodedOutput(Plan plan);
  ~EncodedOutput() override;
  // A file's hidden name, the encoder, its thread; why not.
  Status open();
  PictureLayout layout() const override { return plan_.settings.layout; }
  bool spare(std::vector<uint8_t>& out) override { return thread_->spare(out); }
  bool take(std::vector<uint8_t> pixels) override { return thread_->hand(std::move(pixels)); }
  // A live frame and the sound that played during it (WhenBehind::drop).
  bool send(std::vector<uint8_t> pixels, std::vector<float> sound) {
    return thread_->send(std::move(pixels), std::move(sound));
  }
  bool paced() const override { return plan_.paced; }
  // A piece of the span's sound, in order; and the end of it.
  bool handSound(std::vector<float> floats) { return thread_->handSound(std::move(floats)); }
  void soundDone() { thread_->soundDone(); }
  Status finish() override { return thread_->finish(); }
  Status commit() override { return file_ ? file_->commit() : Status(); }
  const FlashGuard* guard() const { return guard_.get(); }
  // A stream's pictures that had no receiver, that reached it, and that
  // were dropped (the encoder behind); read after finish().
  int64_t unsent() const { return thread_ ? thread_->unsent() : 0; }
  int64_t sent() const { return thread_ ? thread_->sent() : 0; }
  int64_t dropped() const { return thread_ ? thread_->dropped() : 0; }

 private:
  Plan plan_;
  std::unique_ptr<PendingFile> file_;  // null for a stream
  std::unique_ptr<FlashGuard> guard_;
  std::unique_ptr<Encoder> encoder_;  // replaced by the encoder thread when a stream reconnects
  std::unique_ptr<EncoderThread> thread_;  // last: stopped first
};
