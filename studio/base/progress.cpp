// progress.cpp — see progress.h.
#include "base/progress.h"

#include <unistd.h>

#include <cstdio>
#include <utility>

Progress::Progress(int64_t total, double fps, bool quiet, std::string label, double silentFor)
    : start_(std::chrono::steady_clock::now()), lastDrawn_(start_), total_(total), fps_(fps), quiet_(quiet),
      label_(std::move(label)), silentFor_(silentFor), terminal_(isatty(STDERR_FILENO) == 1) {}

double Progress::elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Progress::update(int64_t done) {
  if ((quiet_ && !json_) || total_ <= 0) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  const double seconds = elapsed();
  if (seconds < silentFor_) {
    return;
  }
  const double speed = seconds > 0 ? static_cast<double>(done) / fps_ / seconds : 0.0;
  const double left = done > 0 ? seconds * static_cast<double>(total_ - done) / static_cast<double>(done) : 0.0;
  if (json_) {
    if (done != total_ && now - lastDrawn_ < std::chrono::milliseconds(250)) {
      return;
    }
    lastDrawn_ = now;
    std::fprintf(stderr, "{\"done\":%lld,\"total\":%lld,\"speed\":%.3f,\"left\":%.1f}\n", static_cast<long long>(done),
                 static_cast<long long>(total_), speed, left);
    std::fflush(stderr);
    return;
  }
  const int percent = static_cast<int>(100 * done / total_);
  if (terminal_) {
    // A few times a second is plenty for the eye.
    if (done != total_ && now - lastDrawn_ < std::chrono::milliseconds(200)) {
      return;
    }
    lastDrawn_ = now;
    std::fprintf(stderr, "\r%s%lld/%lld frames  %3d%%  %.2fx real time  %ds left   ", label_.c_str(), static_cast<long long>(done),
                 static_cast<long long>(total_), percent, speed, static_cast<int>(left + 0.5));
    std::fflush(stderr);
    drawn_ = true;
    return;
  }
  const int tenth = static_cast<int>(10 * done / total_);
  if (tenth > lastTenth_) {
    lastTenth_ = tenth;
    std::fprintf(stderr, "%s%lld/%lld frames  %d%%  %.2fx real time  %ds left\n", label_.c_str(), static_cast<long long>(done),
                 static_cast<long long>(total_), percent, speed, static_cast<int>(left + 0.5));
  }
}

void Progress::end() {
  if (drawn_) {
    std::fputc('\n', stderr);
    drawn_ = false;
  }
}

std::string humanBytes(uint64_t bytes) {
  char text[32];
  if (bytes >= 1000000) {
    std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(bytes) / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.0f kB", static_cast<double>(bytes) / 1e3);
  }
  return text;
}
