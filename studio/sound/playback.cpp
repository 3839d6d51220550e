// playback.cpp — see playback.h.
#include "sound/playback.h"

#include "base/libraryLog.h"

Playback::~Playback() {
  if (source_ != 0) {
    alSourceStop(source_);
    alDeleteSources(1, &source_);
    source_ = 0;
  }
  if (buffer_ != 0) {
    alDeleteBuffers(1, &buffer_);
    buffer_ = 0;
  }
  if (context_ != nullptr) {
    alcMakeContextCurrent(nullptr);
    alcDestroyContext(context_);
    context_ = nullptr;
  }
  if (device_ != nullptr) {
    alcCloseDevice(device_);
    device_ = nullptr;
  }
}

bool Playback::open(const SoundData& sound, std::string& error) {
  {
    const QuietStderr quiet;  // ALSA's complaints when there is no sound card
    device_ = alcOpenDevice(nullptr);
  }
  if (device_ == nullptr) {
    error = "cannot open the sound device";
    return false;
  }
  context_ = alcCreateContext(device_, nullptr);
  if (context_ == nullptr || !alcMakeContextCurrent(context_)) {
    error = "cannot set up the sound device";
    return false;
  }
  alGenBuffers(1, &buffer_);
  alGenSources(1, &source_);
  if (!bufferSound(buffer_, sound, error)) {
    return false;
  }
  if (alGetError() != AL_NO_ERROR) {
    error = "the sound device refused the sound";
    return false;
  }
  frames_ = static_cast<int64_t>(sound.samples.size()) / sound.info.channels;
  alSourcei(source_, AL_BUFFER, static_cast<ALint>(buffer_));
  alSourcei(source_, AL_LOOPING, AL_TRUE);
  alSourcePlay(source_);
  return true;
}

int64_t Playback::position() const {
  ALint offset = 0;
  alGetSourcei(source_, AL_SAMPLE_OFFSET, &offset);
  return offset;
}

void Playback::seek(int64_t frame) {
  if (frames_ <= 0) {
    return;
  }
  frame = ((frame % frames_) + frames_) % frames_;
  alSourcei(source_, AL_SAMPLE_OFFSET, static_cast<ALint>(frame));
}

void Playback::setPaused(bool paused) {
  ALint state = 0;
  alGetSourcei(source_, AL_SOURCE_STATE, &state);
  if (paused && state == AL_PLAYING) {
    alSourcePause(source_);
  } else if (!paused && state != AL_PLAYING) {
    alSourcePlay(source_);
  }
}
