// pacer.h — even frames without burning a core.
//
// Where the display's swap interval really waits for the next refresh, the
// swap does the pacing. Where it does not (a software driver, a virtual
// display), wait() sleeps until each frame's deadline on a fixed grid, so
// intervals stay even and a late frame is not followed by a burst.
//
// Threading: the frame loop's thread.
#pragma once

#include <chrono>
#include <thread>

class Pacer {
 public:
  using Clock = std::chrono::steady_clock;

  // grid: pace on the fixed grid from the start, never trusting the swap
  // (a stream's frames must come at its rate whatever the display does).
  explicit Pacer(double hz, bool grid = false)
      : period_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz))) {
    if (grid) {
      probing_ = 0;
      next_ = Clock::now() + period_;
    }
  }

  // Call once a frame, right after the swap, with how long the swap took.
  void wait(Clock::duration swapTook) {
    const Clock::time_point now = Clock::now();
    if (probing_ > 0) {
      // The first frames, unpaced, tell whether the swap waits for the
      // display: then the swap takes a good part of each frame and frames
      // come one refresh apart. A swap that only copies (a software driver
      // on a virtual display) is as slow, but frames then come faster.
      swapTime_ += swapTook;
      if (probing_ == kProbeFrames) {
        probeStart_ = now;
      }
      if (--probing_ == 0) {
        const auto interval = (now - probeStart_) / (kProbeFrames - 1);
        vsync_ = swapTime_ / kProbeFrames > period_ * 3 / 10 && interval > period_ * 9 / 10 &&
                 interval < period_ * 11 / 10;
        next_ = now + period_;
      }
      return;
    }
    if (vsync_) {
      return;
    }
    if (now > next_ + period_) {
      next_ = now;  // fell behind: start a new grid, do not rush to catch up
    }
    std::this_thread::sleep_until(next_);
    next_ += period_;
  }


 private:
  static constexpr int kProbeFrames = 12;
  Clock::duration period_;
  Clock::duration swapTime_{0};
  Clock::time_point next_;
  Clock::time_point probeStart_;
  int probing_ = kProbeFrames;
  bool vsync_ = false;
};
