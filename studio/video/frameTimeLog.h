// frameTimeLog.h — `play --frame-times FILE`: each frame's work (events to
// swapped, without the wait for the next) in ms, one a line, written when
// play ends as a render writes its file: under a hidden name, then named,
// never over a file that appeared meanwhile unless --overwrite.
//
// Threading: the loop's thread.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "base/status.h"

class FrameTimeLog {
 public:
  // path "": nothing is kept or written.
  FrameTimeLog(std::string path, bool overwrite) : path_(std::move(path)), overwrite_(overwrite) {}
  void add(std::chrono::steady_clock::duration work) {
    if (!path_.empty()) {
      times_.push_back(std::chrono::duration<double, std::milli>(work).count());
    }
  }
  // The file, complete and named; why not.
  Status write() const;

 private:
  std::string path_;
  bool overwrite_;
  std::vector<double> times_;
};
