// interrupt.cpp — see interrupt.h. The handler uses only async-signal-safe
// calls: write, unlink, _exit.
#include "base/interrupt.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

namespace {

std::atomic<int> requested{0};
std::atomic<bool> cooperative{false};

// The guarded paths: fixed buffers, since the handler cannot allocate. A
// slot is free (0), being written (1) or armed (2); the handler removes
// only armed ones, so it never reads a path half copied.
struct Guarded {
  std::atomic<int> state{0};
  char path[4096] = {};
};
Guarded guarded[GuardedPath::kGuardedPaths];

// The terminal's stderr as it was when signals were first caught: a
// library's start-up may point fd 2 at /dev/null for a moment (QuietStderr),
// and the handler's line must not vanish into it.
std::atomic<int> terminal{STDERR_FILENO};

void say(const char* text) {
  ssize_t ignored = write(terminal.load(), text, std::strlen(text));
  (void)ignored;
}

void onSignal(int) {
  const int count = requested.fetch_add(1) + 1;
  if (cooperative.load() && count == 1) {
    // The frame under way may take long (a slow shader); say at once what happens.
    say("\nvrax-studio: stopping after this frame (again to stop at once)\n");
    return;
  }
  for (Guarded& g : guarded) {
    if (g.state.load() == 2) {
      unlink(g.path);
    }
  }
  say(count == 1 ? "\nvrax-studio: interrupted; nothing written\n"
                 : "\nvrax-studio: interrupted again; stopped at once, nothing written\n");
  _exit(130);
}

}  // namespace

void catchInterrupts() {
  if (terminal.load() == STDERR_FILENO) {
    const int kept = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (kept >= 0) {
      terminal.store(kept);
    }
  }
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

void stopLoopsOnSignal() {
  cooperative.store(true);
  // A signal that came before this point has already ended the process.
}

int signalsReceived() { return requested.load(); }

void GuardedPath::hold(const char* path) {
  release();
  if (path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof guarded[0].path) {
    return;
  }
  for (int i = 0; i < kGuardedPaths; ++i) {
    int free = 0;
    if (guarded[i].state.compare_exchange_strong(free, 1)) {
      std::strcpy(guarded[i].path, path);
      guarded[i].state.store(2);
      slot_ = i;
      return;
    }
  }
}

void GuardedPath::release() {
  if (slot_ >= 0) {
    guarded[slot_].state.store(0);
    slot_ = -1;
  }
}
