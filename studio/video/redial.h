// redial.h — when a stream calls a receiver that went away again: the one
// rule for a render sent to a URL and for play's live stream. A restarted
// receiver is usually back within a second or two, so the first call comes
// ½ s after the loss, the next ½ s after that, then one a second (each call
// itself waits up to a second to be answered).
//
// Threading: the stream's encoder thread alone.
#pragma once

#include <algorithm>
#include <chrono>

class Redial {
 public:
  using Clock = std::chrono::steady_clock;

  // The receiver was lost at `now` (or never answered): the first call is due ½ s later.
  void lost(Clock::time_point now) {
    calls_ = 0;
    next_ = now + kFirst;
  }
  bool due(Clock::time_point now) const { return now >= next_; }
  // A call made at `now` found nobody: when the next is due.
  void unanswered(Clock::time_point now) {
    ++calls_;
    next_ = now + (calls_ < 2 ? kFirst : kThen);
  }

 private:
  static constexpr std::chrono::milliseconds kFirst{500};
  static constexpr std::chrono::milliseconds kThen{1000};
  Clock::time_point next_{};
  int calls_ = 0;
};
