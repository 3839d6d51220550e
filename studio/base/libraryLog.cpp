// libraryLog.cpp — see libraryLog.h.
#include "base/libraryLog.h"

extern "C" {
#include <libavutil/log.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<bool> verbose{false};
// Each thread's own: FFmpeg calls the log on the thread that fails, so an
// operation's failure is never explained by another thread's warning
// (the GL thread decoding an image while the encoder thread writes).
thread_local std::string latest;

void onLog(void* object, int level, const char* format, va_list args) {
  if (verbose.load()) {
    av_log_default_callback(object, level, format, args);
    return;
  }
  if (level > AV_LOG_ERROR) {
    return;
  }
  char line[1024];
  int prefix = 1;
  av_log_format_line2(object, level, format, args, line, sizeof line, &prefix);
  std::string text(line);
  // "[libx264 @ 0x55…] message": keep the component's name, drop the address.
  const size_t at = text.find(" @ 0x");
  const size_t close = text.find("] ");
  if (text.rfind('[', 0) == 0 && at != std::string::npos && close != std::string::npos && at < close) {
    text = text.substr(1, at - 1) + ": " + text.substr(close + 2);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  if (!text.empty()) {
    latest = text;
  }
}

}  // namespace

void routeLibraryLogs(bool beVerbose) {
  verbose.store(beVerbose);
  // SVT-AV1 prints its settings to stderr itself unless told to keep to errors.
  setenv("SVT_LOG", beVerbose ? "4" : "1", 0);
  av_log_set_level(beVerbose ? AV_LOG_VERBOSE : AV_LOG_ERROR);
  av_log_set_callback(onLog);
}

std::string withLibraryDetail(const std::string& message) {
  if (latest.empty()) {
    return message;
  }
  std::string out = message + " (" + latest + ")";
  latest.clear();
  return out;
}

void clearLibraryDetail() {
  latest.clear();
}

std::string takeLibraryDetail() {
  std::string out;
  out.swap(latest);
  return out;
}

QuietStderr::QuietStderr() {
  if (verbose.load()) {
    return;
  }
  std::fflush(stderr);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) {
    return;
  }
  saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
  if (saved_ >= 0) {
    dup2(null, STDERR_FILENO);
  }
  close(null);
}

QuietStderr::~QuietStderr() {
  if (saved_ >= 0) {
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
}
