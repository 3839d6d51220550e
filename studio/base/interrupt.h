// interrupt.h — Ctrl-C, SIGTERM and SIGHUP, and what they mean at each stage.
//
// Until a command says it can stop on its own (stopLoopsOnSignal), a signal
// ends the process at once with status 130, whatever the driver is doing:
// nothing is written yet, and a shader compile or a sound probe cannot be
// asked to hurry. Commands say so only once their first frame is drawn and
// finished, since a software driver compiles at the first draw. From then on
// the first signal only asks every run to stop after the current frame
// (each run's RunContext hears it; see runContext.h) and says so at once,
// so a render still completes the file it has. A second signal ends the
// process at once, after removing every hidden file a GuardedPath holds,
// so no half-written file is ever left, whichever run or writer made it.
// SIGPIPE is ignored: a closed stderr must not end a render.
//
// Threading: catchInterrupts and the stage calls on the main thread; the
// signal count may be read from any thread, GuardedPaths made and let go
// on any thread, and the handler may run on any thread.
#pragma once

void catchInterrupts();
// From now on the first signal asks the loops to stop.
void stopLoopsOnSignal();
// Signals received so far; not zero once the process was asked to stop.
int signalsReceived();

// A path removed if a second signal ends the process, for as long as this
// object holds it. Up to kGuardedPaths at once in a process (one hidden
// file per writer: far more than any run has open); past that, one more is
// left unguarded rather than another's slot taken.
class GuardedPath {
 public:
  static constexpr int kGuardedPaths = 16;
  GuardedPath() = default;
  ~GuardedPath() { release(); }
  GuardedPath(const GuardedPath&) = delete;
  GuardedPath& operator=(const GuardedPath&) = delete;
  // Guards path (in place of what this held before).
  void hold(const char* path);
  // Stops guarding (the file was committed or removed by its writer).
  void release();

 private:
  int slot_ = -1;
};
