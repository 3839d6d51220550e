// frameClock.h — exact frame times for rendering at a fixed rate.
//
// Frame n stands for the time n ÷ fps. Every time here is an exact rational
// computed from the frame number, never a float carried from frame to frame,
// so an hour-long render lands on the same sample as a one-second one.
//
// Threading: plain values; use from any thread.
#pragma once

#include <cstdint>
#include <string>

// num ÷ den with den > 0.
struct Rational {
  int64_t num = 0;
  int64_t den = 1;
  double value() const { return static_cast<double>(num) / static_cast<double>(den); }
};

// Reads "60", "62.5", "0.25", "1e2", "2.5e-1" or "30000/1001" (no sign;
// decimals past the ninth dropped; under a billion, in steps no finer than
// a nanosecond). False for anything else.
bool parseRational(const std::string& text, Rational& out);

// r in lowest terms, or, where a term exceeds limit, the nearest fraction
// whose terms do not (encoders keep frame rates as 32-bit fractions and some
// refuse large ones).
Rational limitTerms(Rational r, int64_t limit);

class FrameClock {
 public:
  FrameClock(Rational fps, int64_t rate) : fps_(fps), rate_(rate) {}

  // The first sound frame of frame n's window: ⌊n ÷ fps × rate + ½⌋.
  int64_t soundFrameAt(int64_t n) const;
  // The first frame whose time is at or after t: ⌈t × fps⌉.
  int64_t frameAtOrAfter(Rational t) const;
  // The frames a sound of soundFrames frames needs: ⌈soundFrames ÷ rate × fps⌉.
  int64_t framesFor(int64_t soundFrames) const;
  // The sound frame nearest to t: ⌊t × rate + ½⌋.
  int64_t soundFrameAtTime(Rational t) const;
  // Frame n's time in seconds, for "itime" and progress.
  double seconds(int64_t n) const;

  Rational fps() const { return fps_; }
  int64_t rate() const { return rate_; }

 private:
  Rational fps_;
  int64_t rate_;
};
