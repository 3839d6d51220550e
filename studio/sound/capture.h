// capture.h — what a capture device hears (a microphone, or a "Monitor of …"
// source carrying what an output plays), as the picture's sample window.
//
// Samples are read through OpenAL's capture functions at 44.1 kHz in stereo,
// the layout the live program's picture assumes, so shader pairs need no
// change. Every frame takes what has arrived without waiting and keeps the
// newest 4096 values (2048 frames). A device that goes away leaves silence; keepAlive
// tries to open it again once a second and says when it is back.
//
// Threading: one thread (the play loop's).
#pragma once

#include <AL/alc.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/status.h"
#include "sound/soundSource.h"

// The capture devices by name, and the one the system takes by default.
std::vector<std::string> captureDevices();
std::string defaultCaptureDevice();
// What the computer plays: the default output's monitor, else the default input
// ("" when there is no capture device at all).
// `names`: the capture devices as captureDevices() listed them (each listing
// asks the sound server again, which a busy machine answers slowly).
std::string monitorOrDefault(const std::vector<std::string>& names);

class Capture : public SoundSource {
 public:
  Capture() = default;
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Opens the named device (one of captureDevices()).
  Status open(const std::string& name);
  const std::string& name() const { return name_; }
  int rate() const override { return kRate; }
  // What has arrived, without waiting: the window is the newest 2048
  // interleaved values, each ÷ 1000, and the mono block the newest kBlock
  // frames; silence where nothing came. `frame` is not used.
  void around(int64_t frame, FrameSound& out) override;
  // Every value that arrived since the last call, in order (interleaved
  // stereo), for a stream that sends the captured sound; only kept once
  // asked for, and at most a second of it.
  void takeArrived(std::vector<int16_t>& out);
  // Called with everything that arrives, in order, as around() takes it
  // (interleaved stereo), on the play loop's thread.
  void onArrived(std::function<void(const std::vector<int16_t>&)> hook) { onArrived_ = std::move(hook); }
  // Notices a device that went away and reopens it once a second; says
  // each to notes.
  void keepAlive(const Notes& notes);

  static constexpr int kRate = 44100;

 private:
  // first: the opening try, made before other threads run, with stderr quiet.
  bool start(bool first);
  void stop();

  ALCdevice* device_ = nullptr;
  std::string name_;
  std::vector<int16_t> ring_;  // the newest kBlock frames, oldest first
  std::vector<int16_t> incoming_;
  std::vector<int16_t> arrived_;
  bool keepArrived_ = false;
  std::function<void(const std::vector<int16_t>&)> onArrived_;
  std::chrono::steady_clock::time_point lastTry_;
};
