// interrupt.cpp — see interrupt.h.
#include "interrupt.h"

#include <csignal>

namespace {

volatile std::sig_atomic_t requested = 0;

void onSignal(int) {
  requested = 1;
}

}  // namespace

void catchInterrupts() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() {
  return requested != 0;
}
