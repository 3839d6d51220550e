// progress.h — how far a render has come, on standard error.
//
// On a terminal one line is rewritten in place; otherwise a line is written
// at every tenth of the way. Quiet prints nothing.
//
// Threading: the render loop's thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class Progress {
 public:
  // label goes before each line ("" for a render's own frames); nothing is
  // shown before silentFor seconds have passed (a short wait needs no report).
  Progress(int64_t total, double fps, bool quiet, std::string label = "", double silentFor = 0);
  void update(int64_t done);
  // From now on each report is one JSON object a line, {"done":N,"total":N,
  // "speed":X,"left":S}, a few times a second and at the end, quiet or not:
  // for a program that follows the render.
  void asJson() { json_ = true; }
  // Ends the in-place line, if one was written.
  void end();
  double elapsed() const;

 private:
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDrawn_;
  int64_t total_;
  double fps_;
  bool quiet_;
  std::string label_;
  double silentFor_;
  bool terminal_;
  bool drawn_ = false;
  bool json_ = false;
  int lastTenth_ = 0;
};

// "1.23 MB", "512 kB".
std::string humanBytes(uint64_t bytes);
