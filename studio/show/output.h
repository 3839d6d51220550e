// output.h — where a show's frames go: one interface, one class a kind, as
// a player's video outputs are drivers behind one loop. A loop advances the
// show to a frame's moment, then for each output calls frame(), which draws
// the show where that output wants it and passes the picture on; flip()
// ends the frame (a window swaps); finish() ends the output.
//
//   WindowOutput    play's window: drawn at the window's size, or, when a
//                   stream is sent, the stream's own frame shown scaled.
//   StreamOutput    play's live stream: drawn at the stream's size, read
//                   back and sent with the sound of its frame (LiveOutput).
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
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/status.h"
#include "show/liveOutput.h"
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

class WindowOutput : public ShowOutput {
 public:
  // mirror: the stream whose frame the window shows instead of drawing the
  // show a second time (null: the show is drawn at the window's size).
  // rate: the frames a second the loop is paced to, iFrameRate until the
  // window's own rate is measured.
  WindowOutput(Window& window, LiveOutput* mirror, double rate) : window_(window), mirror_(mirror), fps_(rate) {}
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
  LiveOutput* mirror_;
  int width_ = 0;
  int height_ = 0;
  std::chrono::steady_clock::time_point titled_;
  std::chrono::steady_clock::time_point measuredFrom_;
  int framesMeasured_ = 0;
  int measures_ = 0;
  double fps_;
};

class StreamOutput : public ShowOutput {
 public:
  // The sound of the stream's next frame: `count` sample frames.
  using SoundOfFrame = std::function<std::vector<float>(int64_t count)>;
  StreamOutput(EncoderSettings settings, bool ownFramebuffer, bool flashGuard, SoundOfFrame sound, Notes notes);
  // The first connection, made before the first frame; why it cannot be.
  Status open();
  bool frame(Show& show) override;
  Status finish() override;
  LiveOutput& live() { return live_; }

 private:
  EncoderSettings settings_;
  bool ownFramebuffer_;
  bool flashGuard_;
  SoundOfFrame sound_;
  Notes notes_;
  LiveOutput live_;
  FrameClock clock_;
  int64_t sent_ = 0;  // stream frames handed on, each with its share of the sound
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
  std::unique_ptr<PlanePass> planes_;  // null: RGBA read as drawn
  Readback readback_;
  int64_t handed_ = 0;
  unsigned long errorsBefore_ = glErrorsReported();  // the GL errors reported before this output
};
