// liveStream.h — a show sent live: pictures and the sound that plays with
// them, encoded on a thread of their own and sent to a stream URL, for as
// long as the show runs.
//
// A live stream is one *stream frame* after another at a fixed rate; each
// comes with the sound that plays during it (exactly rate/fps sound frames
// on average, as the caller counts them), so picture and sound stay in step
// whatever the receiver does.
//
// The first connection is made by open(), so a URL nobody answers is one
// failure before anything is drawn. After that a receiver that goes away
// never stops the show: the loss is said once, what arrives meanwhile is
// dropped, and the receiver is called again as Redial says until the URL
// answers (said once more). A frame that finds the
// queue full (the encoder is behind) is dropped rather than waited for, so
// the delay never grows; the first drop is said at once, dropped() counts
// them all. A dropped frame's sound is sent with the next frame, and that
// frame is stamped at its own place (the stream's frame index), so neither
// the sound nor the stream's clock falls behind the show.
//
// Threading: the show's loop calls send(), spare() and finish(); the
// encoder thread, owned by this object, does all the encoding and I/O. The
// queue between them (`queue_`) holds four frames. Notes are said from the
// encoder thread, and the first drop's from the show's.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "base/boundedQueue.h"
#include "base/status.h"
#include "video/encoder.h"
#include "video/flashGuard.h"

class LiveStream {
 public:
  // `settings` as for a stream render (stream = true), with no last picture;
  // flashGuard: what is sent (after any frame dropped) goes through a FlashGuard.
  LiveStream(EncoderSettings settings, bool flashGuard, Notes notes);
  ~LiveStream();
  LiveStream(const LiveStream&) = delete;
  LiveStream& operator=(const LiveStream&) = delete;

  // The first connection, then the encoder thread; why it cannot be made.
  Status open();
  // A buffer of the picture's size to read the next picture into: one given
  // back by the encoder thread, or a new one.
  std::vector<uint8_t> spare();
  // One stream frame (RGBA rows bottom-up) and its sound (interleaved
  // floats); false when it was dropped (the encoder is behind).
  bool send(std::vector<uint8_t> pixels, std::vector<float> sound);
  // Ends the stream: what is queued is sent, the encoders flushed; why the
  // end did not reach the receiver (a failed flush, or a receiver that left
  // and did not come back). Once called, the same verdict again.
  Status finish();
  int64_t sent() const { return sent_.load(); }
  // Frames that came while the receiver was away.
  int64_t unsent() const { return unsent_.load(); }
  int64_t dropped() const { return dropped_.load(); }
  // Frames the flash guard eased; read after finish().
  int64_t eased() const { return guard_ ? guard_->eased() : 0; }

 private:
  struct Frame {
    std::vector<uint8_t> pixels;
    std::vector<float> sound;  // with the sound of the frames dropped just before it
    int64_t skipped = 0;       // frames dropped just before it
  };
  void run();
  bool connect();
  Status write(const Frame& frame);

  EncoderSettings settings_;
  Notes notes_;
  std::unique_ptr<Encoder> encoder_;  // null while the receiver is away
  std::unique_ptr<FlashGuard> guard_;  // the encoder thread's
  BoundedQueue<Frame> queue_{4};
  BoundedQueue<std::vector<uint8_t>> spares_{6};
  std::atomic<int64_t> sent_{0};
  std::atomic<int64_t> dropped_{0};
  // The show's thread's: frames dropped since the last one queued, and their sound.
  int64_t skipped_ = 0;
  std::vector<float> heldSound_;
  std::atomic<int64_t> unsent_{0};
  Status finished_;  // finish()'s verdict
  std::atomic<bool> connected_{false};  // frames lost while away are not counted as dropped
  std::thread thread_;
};
