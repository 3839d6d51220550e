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
// The registered hidden file; a fixed buffer, since the handler cannot allocate.
char guarded[4096] = {};
std::atomic<bool> hasGuarded{false};

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
  if (hasGuarded.load()) {
    unlink(guarded);
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

void guardFile(const char* path) {
  hasGuarded.store(false);
  if (path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof guarded) {
    return;
  }
  std::strcpy(guarded, path);
  hasGuarded.store(true);
}

bool interrupted() {
  return requested.load() != 0;
}
