// liveOutput.h — a show sent live as it is drawn: each frame drawn at the
// stream's size, read back without waiting (a ring of pixel buffers), and
// sent with its sound through the one pump (an EncodedOutput that drops a
// frame rather than wait for it, and calls a lost receiver again).
//
// With a window, the show draws into this output's own framebuffer and
// present() copies it, scaled, to the window: the window shows what is
// sent. Without one (an offscreen context, whose framebuffer is already of
// the stream's size) the show draws into what is bound.
//
// A *stream frame* is one picture of the stream: one per loop turn, at the
// stream's rate; its sound is what plays during it (the caller's to give).
//
// Threading: the GL thread of the show's loop; the pump's own thread does
// the rest.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "base/status.h"
#include "glCall.h"
#include "video/readback.h"
#include "video/videoOutput.h"

class LiveOutput {
 public:
  LiveOutput() = default;
  ~LiveOutput();
  LiveOutput(const LiveOutput&) = delete;
  LiveOutput& operator=(const LiveOutput&) = delete;

  // Connects (why it cannot, in one line); ownFramebuffer: draw into a
  // framebuffer of this output's own (with a window).
  // flashGuard: at most three flashes a second in what is sent.
  Status open(const EncoderSettings& settings, bool ownFramebuffer, bool flashGuard, Notes notes);
  int width() const { return settings_.width; }
  int height() const { return settings_.height; }
  // Before the show draws: what it draws into.
  void bind();
  // After it drew: starts reading the frame back and sends the oldest frame
  // read with `sound` (what plays during one stream frame).
  Status send(std::vector<float> sound);
  // The frame just drawn, scaled into the window's framebuffer (0).
  void present(int windowWidth, int windowHeight);
  // The frames still being read back, sent; the stream ended, with why it
  // did not end well (a failed flush, a receiver that left for good).
  Status finish();
  // Stream frames sent and dropped (the encoder behind), as counted at finish().
  int64_t sent() const { return sent_; }
  int64_t dropped() const { return dropped_; }
  int64_t unsent() const { return unsent_; }
  int64_t eased() const { return eased_; }

 private:
  Status sendOldest();

  EncoderSettings settings_;
  std::unique_ptr<EncodedOutput> stream_;
  std::unique_ptr<Readback> readback_;
  std::deque<std::vector<float>> sounds_;  // of the frames being read back, oldest first
  int64_t sent_ = 0;
  int64_t dropped_ = 0;
  int64_t unsent_ = 0;
  int64_t eased_ = 0;
  bool stopped_ = false;  // the pump ended early (finish() says why)
  Status finished_;
  GLuint framebuffer_ = 0;
  GLuint colour_ = 0;
};
