// osc.h — a VJ's remote control: Open Sound Control messages on a UDP port
// (liblo), turned into commands the play loop applies between frames, as it
// applies the window's keys.
//
//   /vrax/picture NAME        show the gallery picture NAME
//   /vrax/next, /vrax/previous
//   /vrax/set NAME VALUE      a setting of the picture shown (VALUE a number
//                             or a string such as "#ff8800")
//   /vrax/gain DB             what the pictures see of the sound, dB, -40..40
//   /vrax/pause               pause or play on
//
// A message with another address or other argument types becomes a Problem
// command carrying the one line to say; it changes nothing.
//
// Threading: liblo receives on a thread of its own and hands each command
// over through a small mutex-guarded list that this class owns; the play
// loop (the GL thread) takes them with take(). At most kMaxWaiting wait:
// past that the oldest are dropped and a Problem says how many.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/status.h"

struct Control {
  enum class Kind { Picture, Next, Previous, Set, Gain, Pause, Problem };
  Kind kind = Kind::Problem;
  std::string text;   // Picture: the name; Set: NAME=VALUE; Problem: the line to say
  double number = 0;  // Gain: decibels
};

class OscControl {
 public:
  OscControl() = default;
  ~OscControl();
  OscControl(const OscControl&) = delete;
  OscControl& operator=(const OscControl&) = delete;

  // Starts listening on UDP `port` of every interface; why not, else success.
  Status open(int port);
  // The commands received since the last call, oldest first; never blocks.
  std::vector<Control> take();

  // Called on liblo's thread with each message (public for liblo's C callback).
  void receive(const std::string& path, const std::string& types, const std::vector<std::string>& strings,
               const std::vector<double>& numbers);

 private:
  void hand(Control control);

  static constexpr size_t kMaxWaiting = 256;
  void* server_ = nullptr;  // lo_server_thread
  std::mutex mutex_;
  std::vector<Control> waiting_;  // guarded by mutex_
  size_t dropped_ = 0;            // guarded by mutex_
  // The loop's (take()): when each problem was last said, and how many of it since.
  struct Repeats {
    std::chrono::steady_clock::time_point said;
    size_t unsaid = 0;
  };
  static constexpr std::chrono::seconds kQuietFor{5};
  std::map<std::string, Repeats> repeats_;
};
