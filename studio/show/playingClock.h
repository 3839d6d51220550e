// playingClock.h — the clocks a live show runs on: a playing song's
// position, and a capture's running time.
//
// The three clocks of the studio, and who keeps each:
//   the offline frame clock  frame n at n ÷ fps exactly, never a frame
//                            dropped (FrameClock, ticked by OfflineShow);
//   the playing song         its position as the sound device reports it,
//                            smoothed (PlayingClock); frames may be dropped:
//                            a late frame is not made up, the next is drawn
//                            at its own time;
//   the capture's wall clock the running time since play started, paused
//                            time left out (PlayingClock, live); frames may
//                            be dropped likewise.
// Each says the time of the frame about to be drawn as a Tick (show.h).
// A song sent live puts its frames on the stream's own grid (StreamGrid), so
// each frame's sound is the sound of its picture's time, as in a render.
//
// Threading: the play loop's thread.
#pragma once

#include <chrono>
#include <cstdint>

#include "show/show.h"

class PlayingClock {
 public:
  using Clock = std::chrono::steady_clock;

  // soundRate: the song's sound frames a second; live: a capture's running time.
  PlayingClock(double soundRate, bool live) : rate_(soundRate), live_(live) {}

  // The tick of a frame made at `now`, the device reporting `position`
  // (sound frames; ignored for a capture). Paused, the time stands still and
  // the step is 0. `frame` and `fps` are the loop's (iFrame, iFrameRate).
  Tick tick(int64_t position, Clock::time_point now, bool paused, int64_t frame, double fps);
  // A sound frame's time: the song's position in seconds, or for a capture
  // the running time.
  double seconds(int64_t soundFrame) const;

 private:
  double playingSeconds(int64_t position, Clock::time_point now, bool paused);
  double stepSince(double now);

  const double rate_;
  const bool live_;
  Clock::time_point last_;          // the last tick's wall clock
  Clock::duration running_{0};      // a capture's time: wall clock while not paused
  Clock::time_point started_ = Clock::now();
  double lastReported_ = 0;         // the position the device last reported, in seconds
  Clock::time_point reportedAt_;    // when it changed to that
  double lastShown_ = 0;            // the picture's time at the last frame
  Clock::time_point lastShownAt_;   // when that frame was made
  double lastStepSeconds_ = 0;      // the picture's time at the last step
  Clock::time_point lastStepWall_;  // when that step was taken
};

// A live stream's frames on their own grid: stream frame k at anchor + k ÷
// fps, a step of 1 ÷ fps, so the sound sent with each frame (exactly its
// share of the stream's sound clock) is the sound of the picture's time, as
// in a render, whatever the loop's jitter. Re-anchored to the playing clock
// where the two part by more than kDrift (a seek, the song starting over,
// the device's clock drifting from the wall clock, frames the machine could
// not make) and after a pause. Where the song starts over the grid goes
// back by exactly its length, so the picture keeps its place against the
// sound across the loop.
class StreamGrid {
 public:
  // loop: the song's length in seconds, where it starts over (0: never).
  StreamGrid(double fps, double loop) : fps_(fps), loop_(loop) {}
  // The playing clock's tick placed on the grid (a paused one as it is).
  Tick place(Tick tick, bool paused);

 private:
  // How far the grid may part from the playing clock before it is moved to
  // it: more than a frame (the device's clock and the wall clock drift
  // apart by up to a percent with OpenAL's null output), less than a listener
  // beside the machine would notice.
  static constexpr double kDrift = 0.25;
  double fps_;
  double loop_;
  double anchor_ = 0;
  int64_t frames_ = 0;  // stream frames since the anchor
  bool anchored_ = false;
};
