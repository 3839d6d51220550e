// encoderThread.h — the one pump: a show's pictures and sound encoded on a
// thread of their own, into a file or a stream, for `render` and for play's
// live stream alike.
//
// The GL thread (which owns this object) draws, reads each picture back
// into a buffer it takes from spare(), and hands it over. The encoder
// thread, owned here, fades, guards and encodes each picture, then its
// sound, and gives the buffer back, so memory stays the same whatever the
// song's length. The queues between them: `filled_` (pictures handed),
// `spare_` (buffers given back), and for sound handed over as it is read,
// `pieces_`. A failing encoder closes them all, which stops the GL thread
// at its next hand-off; the destructor closes them too and joins, so no
// path out of a run leaves the thread running.
//
// What it does when the drawing is ahead of the encoder is its policy
// (WhenBehind): a file and a render paced to the song *wait* (hand() blocks:
// every frame is encoded); a live show *drops* (send() never blocks: the
// frame is let go, its sound goes with the next frame, and the next frame
// is stamped at its own place by the frames skipped, so neither the sound
// nor the stream's clock falls behind; the first drop is said at once).
//
// A stream that can be called again (a Reconnection) does not end when its
// receiver goes away: the thread says so once, drops the encoder, and while
// nobody answers reads on (each picture and its sound are let go, so the
// GL thread keeps its pace), calling again as Redial says; the new
// connection starts at the next picture, its sound from that picture's
// time, and is said in one line.
//
// Glossary. A *frame* is one picture of the video, numbered from the song's
// start; a *sound frame* is one sample of every channel. A *span* is the
// part of the song a video holds.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/boundedQueue.h"
#include "base/status.h"
#include "video/encoder.h"
#include "video/flashGuard.h"
#include "video/frameClock.h"
#include "video/redial.h"

// What a video holds: frames [first, end) of the song, sound frames [soundStart, soundEnd).
struct Span {
  int64_t first = 0;
  int64_t end = 0;
  int64_t soundStart = 0;
  int64_t soundEnd = 0;
};

// --fade-in and --fade-out: picture and sound together, from the span's first
// frame and sample up and down to its last. The first and last frames are
// black (with alpha: see-through, as an editor fades a layer); the sound is
// a linear ramp, sample by sample.
struct Fades {
  double in = 0;  // seconds
  double out = 0;
  bool alpha = false;  // fade the alpha, not the colour
  // The span the fades run over when it is not the video's own (a part of
  // a render fades as the whole does); empty: the video's.
  Span over;
  static double ramp(double done, double length);
  double picture(const Span& span, int64_t n, double fps) const;
  double sound(const Span& span, int64_t s, double rate) const;
  // Fades `frames` interleaved sound frames of `channels` in place, the
  // first being sound frame `from`.
  void fadeSound(const Span& span, float* samples, int64_t from, int64_t frames, int channels, double rate) const;
  bool any() const { return in > 0 || out > 0; }
};

// Reads the next sound frames of the span (interleaved floats) into `out`;
// how many it read, 0 at the end. Called on the encoder thread only.
using SoundReader = std::function<int64_t(float* out, int64_t frames)>;

// How a stream whose receiver went away is reached again: `drop` lets go
// of the encoder (its muxer may be stuck mid-packet: dropped, never
// flushed); `connect` makes a new one, null while nobody answers. Both on
// the encoder thread. `name` is what the lines call the stream.
struct Reconnection {
  std::function<void()> drop;
  std::function<Encoder*()> connect;
  Notes notes;
  std::string name;
};

// What the pump does with a frame that comes while the encoder is behind.
enum class WhenBehind {
  wait,  // the drawing waits for it: every frame is encoded (a file, a render)
  drop,  // the frame is let go and its sound sent with the next (a live show)
};

class EncoderThread {
 public:
  // wait: pictures come with hand(), the sound from `reader`, or where that
  // is empty, handed over with handSound() as the drawing side reads it (one
  // decoding for both), up to each picture's time by the clock. drop:
  // pictures come with send(), each with the sound that played during it.
  // guard: eases flashes in what is encoded (after the fades); null for none.
  EncoderThread(Encoder& encoder, int channels, int rate, const FrameClock& clock, const Span& span, const Fades& fades,
                size_t bytes, SoundReader reader, FlashGuard* guard = nullptr, Reconnection reconnection = {},
                PictureLayout layout = PictureLayout::Rgba, WhenBehind behind = WhenBehind::wait);
  ~EncoderThread();
  EncoderThread(const EncoderThread&) = delete;
  EncoderThread& operator=(const EncoderThread&) = delete;

  // An empty buffer to read a picture into (dropping: one given back, or a
  // new one); false once the encoder stopped.
  bool spare(std::vector<uint8_t>& out);
  // wait: a picture to encode; false once the encoder stopped.
  bool hand(std::vector<uint8_t> pixels) { return filled_.push(Handed{std::move(pixels), {}, 0}); }
  // drop: one frame and the sound that played during it (interleaved); it is
  // let go if the encoder is behind. False once the encoder stopped.
  bool send(std::vector<uint8_t> pixels, std::vector<float> sound);
  // A piece of the span's sound, in order; false once the encoder stopped.
  bool handSound(std::vector<float> floats) { return pieces_.push(std::move(floats)); }
  // No more sound will be handed.
  void soundDone() { pieces_.close(); }
  // No more pictures: waits for the video to be complete, with the encoder's
  // verdict; a stream whose receiver left and did not come back fails.
  Status finish();
  // A stream's pictures that found no receiver (it had gone away), and
  // those that reached it; read after finish().
  int64_t unsent() const { return unsent_; }
  int64_t sent() const { return sent_; }
  // Frames let go because the encoder was behind (drop), the GL thread's.
  int64_t dropped() const { return dropped_; }

 private:
  struct Handed {
    std::vector<uint8_t> pixels;
    std::vector<float> sound;  // drop: its sound, after that of the frames dropped just before it
    int64_t skipped = 0;       // drop: the frames dropped just before it
  };
  Status run();
  Status encode(const Handed& frame, int64_t n);
  Status soundOf(const Handed& frame, int64_t n);
  void tryAgain();
  Status soundUpTo(int64_t until);
  int64_t takeHanded(int64_t want);
  void closeAll();

  Encoder* encoder_;  // null while a stream's receiver is away
  int64_t unsent_ = 0;  // pictures encoded for nobody (the thread's until finish())
  int64_t sent_ = 0;    // the thread's until finish()
  Reconnection reconnection_;
  const PictureLayout layout_;
  const WhenBehind behind_;
  const size_t bytes_;
  // The GL thread's (drop): frames dropped in all and since the last one
  // queued, and the sound of the latter.
  int64_t dropped_ = 0;
  int64_t skipped_ = 0;
  std::vector<float> heldSound_;
  // Whether a receiver is there: frames dropped while it is away are unsent, not dropped.
  std::atomic<bool> connected_{true};
  Redial redial_;
  const int channels_;
  const int rate_;
  const FrameClock& clock_;
  const Span span_;
  const Fades fades_;
  SoundReader reader_;
  FlashGuard* guard_;  // used by the thread only, read after finish()
  // wait: two pictures queued and three buffers in all; drop: four queued,
  // buffers made when none is free and at most six kept.
  BoundedQueue<Handed> filled_;
  BoundedQueue<std::vector<uint8_t>> spare_;
  // Generous: the drawing side's reader is at most a few frames ahead of the encoder.
  BoundedQueue<std::vector<float>> pieces_{256};
  std::vector<float> piece_;  // the handed piece being taken, from at_
  size_t at_ = 0;
  std::vector<float> chunk_;
  int64_t soundDone_;  // the next sound frame to encode
  Status status_;      // written by the thread, read after joining it
  std::thread thread_;
};

// Darkens RGBA pixels by gain (0 black, 1 as they are), or only their alpha.
void darken(std::vector<uint8_t>& rgba, double gain, bool alpha);
// The same for a picture in 4:2:0 planes (limited range).
void darkenPlanes(std::vector<uint8_t>& planes, double gain);
