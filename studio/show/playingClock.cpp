// playingClock.cpp — see playingClock.h.
#include "show/playingClock.h"

#include <algorithm>
#include <cmath>

// A song's time is its position, so a picture shows here what a render
// shows at that time; a capture device has only the time since start.
double PlayingClock::seconds(int64_t soundFrame) const {
  return live_ ? std::chrono::duration<double>(running_).count() : static_cast<double>(soundFrame) / rate_;
}

// The picture's time is the playing position (a capture's, the running
// time); its step is the position's, paused none; the title's fades count
// the wall clock since play started.
Tick PlayingClock::tick(int64_t position, Clock::time_point now, bool paused, int64_t frame, double fps) {
  if (!paused && last_ != Clock::time_point{}) {
    running_ += now - last_;
  }
  last_ = now;
  Tick tick;
  tick.seconds = playingSeconds(position, now, paused);
  tick.delta = paused ? 0.0 : stepSince(tick.seconds);
  tick.frame = frame;
  tick.shownFor = std::chrono::duration<double>(now - started_).count();
  tick.rate = fps;
  return tick;
}

// The song's position as a clock. The device reports where it plays in
// periods (tens of ms) and the loop sees a report a frame late or early, so
// the picture's time runs on with the wall clock and is pulled gently (a
// twentieth of the gap a frame) towards where the reports say the song is:
// its step is the frame's, steady, never backwards. A gap past a quarter
// second (a seek, the song starting over) is taken at once.
double PlayingClock::playingSeconds(int64_t position, Clock::time_point now, bool paused) {
  const double reported = seconds(position);
  if (reported != lastReported_) {
    lastReported_ = reported;
    reportedAt_ = now;
  }
  const double target = reported + std::min(std::chrono::duration<double>(now - reportedAt_).count(), 0.1);
  const double guess = lastShown_ + std::chrono::duration<double>(now - lastShownAt_).count();
  const bool fresh = lastShownAt_ == Clock::time_point{};
  lastShown_ = live_ || paused || fresh || std::fabs(target - guess) > 0.25 ? reported : guess + 0.05 * (target - guess);
  lastShownAt_ = now;
  return lastShown_;
}

// Seconds from the last frame's time to `now`. Where the time jumped (a
// seek, the song starting over) the picture steps by the wall clock's
// interval instead, never backwards nor by the jump.
double PlayingClock::stepSince(double now) {
  const Clock::time_point wall = Clock::now();
  const double sinceWall =
      lastStepWall_ == Clock::time_point{} ? 0.0 : std::chrono::duration<double>(wall - lastStepWall_).count();
  double step = now - lastStepSeconds_;
  if (lastStepWall_ == Clock::time_point{} || step < 0 || step > sinceWall + 0.5) {
    step = std::min(sinceWall, 0.25);
  }
  lastStepSeconds_ = now;
  lastStepWall_ = wall;
  return step;
}

Tick StreamGrid::place(Tick tick, bool paused) {
  if (paused) {
    anchored_ = false;
    return tick;
  }
  double onGrid = anchor_ + static_cast<double>(frames_ + 1) / fps_;
  const double room = std::max(kDrift, 1.0 / fps_);
  if (anchored_ && loop_ > 0 && std::fabs(onGrid - loop_ - tick.seconds) <= room) {
    anchor_ -= loop_;
    onGrid -= loop_;
  }
  if (anchored_ && std::fabs(onGrid - tick.seconds) <= room) {
    ++frames_;
    tick.seconds = onGrid;
    tick.delta = 1.0 / fps_;
    return tick;
  }
  anchor_ = tick.seconds;
  frames_ = 0;
  anchored_ = true;
  return tick;
}
