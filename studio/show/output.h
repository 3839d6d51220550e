// output.h — where a show's frames go: one interface, one class a kind, as
// a player's video outputs are drivers behind one loop. A loop advances the
// show to a frame's moment, then for each output calls frame(), which draws
// the show where that output wants it and passes the picture on; flip()
// ends the frame (a window swaps); finish() ends the output.
//
//   WindowOutput    play's window: drawn at the window's size, or, when a
//                   stream is sent, the stream's own frame shown scaled.
//   StreamOutput    play's live stream: drawn at the stream's size, read
//                   back and sent with the sound of its frame.
//   RenderedOutput  render's: drawn in the offscreen context, read back
//                   through a ring of pixel buffers into a VideoOutput (a
//                   PNG still, a file, a stream paced to the song).
//
// Below this seam there is one way out for encoded pictures: a
// VideoOutput's EncodedOutput and its pump (EncoderThread), which waits for
// every frame of a render and drops a live show's frames when behind.
//
// A new output is one class here. Threading: the loop's thread, whose GL
// context is current, calls every member.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/status.h"
#include "glCall.h"
#include "picture/glErrors.h"
#include "show/planePass.h"
#include "show/show.h"
#include "show/window.h"
#include "video/readback.h"
#include "video/videoOutput.h"


class ShowOutput {
 public:
  virtual ~ShowOutput() = default;
  // Draws the advanced show and passes the frame on; false once the output
  // has stopped (status() says why).
  virtual bool frame(Show& show) = 0;
  // The frame is complete (what is drawn over it after frame() included).
  virtual void flip() {}
  // No more frames: what is still in flight passed on; why not, if it was not.
  virtual Status finish() = 0;
  const Status& status() const { return status_; }

 protected:
  Status status_;
};

class StreamOutput;

class WindowOutput : public ShowOutput {
 public:
  // mirror: the stream whose frame the window shows instead of drawing the
  // show a second time (null: the show is drawn at the window's size).
  // rate: the frames a second the loop is paced to, iFrameRate until the
  // window's own rate is measured.
  WindowOutput(Window& window, StreamOutput* mirror, double rate) : window_(window), mirror_(mirror), fps_(rate) {}
  bool frame(Show& show) override;
  void flip() override;
  Status finish() override { return Status(); }
  // The window's framebuffer as last drawn (0 × 0 while minimised).
  int width() const { return width_; }
  int height() const { return height_; }
  // Frames shown a second, as last measured over half a second (the paced
  // rate until then).
  double fps() const { return fps_; }
  // Twice a second (and at once after titleNow()), the title bar says what
  // `bar` makes, with the window's own rate.
  void title(const std::function<TitleBar()>& bar);
  void titleNow() { titled_ = std::chrono::steady_clock::time_point{}; }

 private:
  Window& window_;
  StreamOutput* mirror_;
  int width_ = 0;
  int height_ = 0;
  std::chrono::steady_clock::time_point titled_;
  std::chrono::steady_clock::time_point measuredFrom_;
  int framesMeasured_ = 0;
  int measures_ = 0;
  double fps_;
};

// A show sent live as it is drawn: each frame drawn at the stream's size,
// read back without waiting (one picture in flight) and sent with its sound
// through the one pump, an EncodedOutput that drops a frame rather than
// wait for it and calls a lost receiver again.
//
// With a window, the show draws into this output's own framebuffer and
// present() copies it, scaled, to the window: the window shows what is
// sent. Without one (an offscreen context, whose framebuffer is already of
// the stream's size) the show draws into what is bound.
//
// A *stream frame* is one picture of the stream: one per loop turn, at the
// stream's rate; its sound is exactly its share of the stream's sound
// clock, so the two never drift apart however long the show runs.
class StreamOutput : public ShowOutput {
 public:
  // The sound of the stream's next frame: `count` sample frames.
  using SoundOfFrame = std::function<std::vector<float>(int64_t count)>;
  // ownFramebuffer: draw into a framebuffer of this output's own (with a
  // window). flashGuard: at most three flashes a second in what is sent.
  StreamOutput(EncoderSettings settings, bool ownFramebuffer, bool flashGuard, SoundOfFrame sound, Notes notes);
  ~StreamOutput() override;
  StreamOutput(const StreamOutput&) = delete;
  StreamOutput& operator=(const StreamOutput&) = delete;
  // The first connection, made before the first frame; why it cannot be.
  Status open();
  bool frame(Show& show) override;
  // The frames still being read back, sent; the stream ended, with why it
  // did not end well (a failed flush, a receiver that left for good).
  Status finish() override;
  // The frame just drawn, scaled into the window's framebuffer (0).
  void present(int windowWidth, int windowHeight);
  // Stream frames sent, dropped (the encoder behind) and sent with no
  // receiver, and frames the flash guard eased, as counted at finish().
  int64_t sent() const { return sent_; }
  int64_t dropped() const { return dropped_; }
  int64_t unsent() const { return unsent_; }
  int64_t eased() const { return eased_; }

 private:
  // Starts reading the frame just drawn back and sends the oldest read
  // with `sound`.
  Status send(std::vector<float> sound);
  Status sendOldest();

  EncoderSettings settings_;
  bool ownFramebuffer_;
  bool flashGuard_;
  SoundOfFrame sound_;
  Notes notes_;
  FrameClock clock_;
  int64_t drawn_ = 0;  // stream frames drawn, each with its share of the sound
  std::unique_ptr<EncodedOutput> pump_;    // null before open() and after finish()
  std::unique_ptr<Readback> readback_;
  std::deque<std::vector<float>> sounds_;  // of the frames being read back, oldest first
  int64_t sent_ = 0;
  int64_t dropped_ = 0;
  int64_t unsent_ = 0;
  int64_t eased_ = 0;
  bool stopped_ = false;  // the pump ended early (finish() says why)
  Status finished_;
  GLuint framebuffer_ = 0;  // with a window: what the show draws into
  GLuint colour_ = 0;
};

class RenderedOutput : public ShowOutput {
 public:
  // Pictures in the layout `to` takes: 4:2:0 planes are made on the GL side.
  RenderedOutput(VideoOutput& to, int width, int height);
  bool frame(Show& show) override;
  // The pictures still being read back handed on; the GL driver's errors
  // while drawing make the pictures untrustworthy. The VideoOutput is not
  // finished here (its sound may still be coming).
  Status finish() override;
  // Pictures handed to the VideoOutput so far.
  int64_t handed() const { return handed_; }

 private:
  bool handOver();

  VideoOutput& to_;
  int width_;
  int height_;
  std::unique_ptr<PlanePass> planes_;  // null: RGBA read as drawn (and made planes as read, if the output takes them)
  Readback readback_;
  int64_t handed_ = 0;
  unsigned long errorsBefore_ = glErrorsOnThisThread();  // this thread's GL errors before this output
};
