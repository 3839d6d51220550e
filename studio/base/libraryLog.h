// libraryLog.h — the libraries' own messages kept off the terminal.
//
// FFmpeg logs through a callback: its lines are kept, not printed, and the
// latest error is folded into our one line where it explains a failure
// (withLibraryDetail). ALSA, Mesa and OpenAL write straight to stderr, so
// while they start up QuietStderr points stderr at /dev/null. --verbose
// shows all of it as the libraries wrote it.
//
// Threading: FFmpeg may log from any thread; each thread keeps its own latest
// line, so withLibraryDetail explains a failure with what FFmpeg said on the
// thread that failed. QuietStderr swaps the process's stderr: only on the
// main thread, and only while no other thread of ours may write there (a
// library's own threads may: their complaints are what it hides). The
// signal handler writes to a copy of the terminal's stderr it took first,
// so its line is never swapped away.
#pragma once

#include <string>

// Routes FFmpeg's log; verbose prints everything it says.
void routeLibraryLogs(bool verbose);
// message, with FFmpeg's latest error line in brackets after it when there is one.
std::string withLibraryDetail(const std::string& message);
// Forgets the kept line, so what an earlier operation said is never taken
// for the reason a later one failed; each operation that may fail calls it first.
void clearLibraryDetail();
// The kept line, taken ("" for none).
std::string takeLibraryDetail();

class QuietStderr {
 public:
  QuietStderr();
  ~QuietStderr();
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int saved_ = -1;
};
