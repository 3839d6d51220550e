// capture.h — what a capture device hears (a microphone, or a "Monitor of …"
// source carrying what an output plays), as the picture's sample window.
//
// Samples are read through OpenAL's capture functions at 44.1 kHz in stereo,
// the layout the live program's picture assumes, so shader pairs need no
// change. Every frame takes what has arrived without waiting and keeps the
// newest 2048 values. A device that goes away leaves silence; keepAlive
// tries to open it again once a second and says when it is back.
//
// Threading: one thread (the play loop's).
#pragma once

#include <AL/alc.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "soundSource.h"

// Prints the capture devices, one a line, the default marked; returns the exit status.
int listCaptureDevices();

class Capture : public SoundSource {
 public:
  Capture() = default;
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Opens the named device, or with an empty name a monitor of the default
  // output, else the default input. Returns an exit status: 0 when open, 2 for
  // a name that matches no device (the list is shown), 1 when it cannot open.
  int open(const std::string& requested);
  const std::string& name() const { return name_; }
  int rate() const override { return kRate; }
  // What has arrived, without waiting: the window is the newest 2048
  // interleaved values, each ÷ 1000, and the mono block the newest kBlock
  // frames; silence where nothing came. `frame` is not used.
  void around(int64_t frame, FrameSound& out) override;
  // Notices a device that went away and reopens it once a second.
  void keepAlive();

  static constexpr int kRate = 44100;

 private:
  bool start();
  void stop();

  ALCdevice* device_ = nullptr;
  std::string name_;
  std::vector<int16_t> ring_;  // the newest kBlock frames, oldest first
  std::vector<int16_t> incoming_;
  std::chrono::steady_clock::time_point lastTry_;
  bool lost_ = false;
};
