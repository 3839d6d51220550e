// playback.h — a decoded sound played in an endless loop through OpenAL, with
// pause, resume and seek, and its position read back for the picture.
//
// Threading: one thread. OpenAL mixes on its own; only the position crosses.
#pragma once

#include "base/status.h"

#include <AL/al.h>
#include <AL/alc.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "audio.h"

class Playback {
 public:
  Playback() = default;
  ~Playback();
  Playback(const Playback&) = delete;
  Playback& operator=(const Playback&) = delete;

  // Opens the default device and starts the sound; refused with the reason.
  Status open(const SoundData& sound);
  // No device: the sound "plays" by the wall clock, heard by nobody, so the
  // picture still follows the song's position.
  void openSilent(const SoundData& sound);
  bool silent() const { return silent_; }
  // The frame that is playing.
  int64_t position() const;
  void seek(int64_t frame);
  void setPaused(bool paused);
  // Another sound in its place (a Sound pass drawn again), playing on from
  // the same frame where it is as long.
  Status replace(const SoundData& sound);

 private:
  ALCdevice* device_ = nullptr;
  ALCcontext* context_ = nullptr;
  ALuint source_ = 0;
  ALuint buffer_ = 0;
  int64_t frames_ = 0;
  // Silent: the position is base_ plus the wall clock since started_ (while not paused).
  bool silent_ = false;
  bool paused_ = false;
  double rate_ = 0;
  int64_t base_ = 0;
  std::chrono::steady_clock::time_point started_;
};
