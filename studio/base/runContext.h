// runContext.h — one run of a command (a render, a play, a sheet, a join):
// what asks it to stop. Each command makes one and hands it to what it
// drives; nothing below reads a process-wide flag, so two runs in one
// process (a page's jobs, a test) stop each on its own.
//
// A run stops when it is cancelled, or when the process is asked to stop by
// a signal: a signal is the whole process's, so every run hears it. What a
// run writes is guarded by its writers (GuardedPath, in interrupt.h), each
// its own slot, so a second signal removes every half-written file.
//
// Threading: made and cancelled on any thread; stopping() may be read from
// any thread (the show's loop, the encoder's interrupt callback).
#pragma once

#include <atomic>

#include "base/interrupt.h"

class RunContext {
 public:
  RunContext() = default;
  RunContext(const RunContext&) = delete;
  RunContext& operator=(const RunContext&) = delete;

  // Whether the run should stop at its next frame (or its next wait).
  bool stopping() const { return cancelled_.load() || signalsReceived() > 0; }
  // Asks this run alone to stop.
  void cancel() { cancelled_.store(true); }

 private:
  std::atomic<bool> cancelled_{false};
};

// Whether `run` is stopping; a part given no run (a tool, a test) stops only
// for a signal.
inline bool stopping(const RunContext* run) { return run != nullptr ? run->stopping() : signalsReceived() > 0; }
