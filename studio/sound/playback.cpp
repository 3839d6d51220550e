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

Status Playback::open(const SoundData& sound) {
  {
    const QuietStderr quiet;  // ALSA's complaints when there is no sound card
    device_ = alcOpenDevice(nullptr);
  }
  if (device_ == nullptr) {
    return Status::failure("cannot open the sound device");
  }
  context_ = alcCreateContext(device_, nullptr);
  if (context_ == nullptr || !alcMakeContextCurrent(context_)) {
    return Status::failure("cannot set up the sound device");
  }
  alGenBuffers(1, &buffer_);
  alGenSources(1, &source_);
  if (std::string error; !bufferSound(buffer_, sound, error)) {
    return Status::failure(error);
  }
  if (alGetError() != AL_NO_ERROR) {
    return Status::failure("the sound device refused the sound");
  }
  frames_ = static_cast<int64_t>(sound.samples.size()) / sound.info.channels;
  alSourcei(source_, AL_BUFFER, static_cast<ALint>(buffer_));
  alSourcei(source_, AL_LOOPING, AL_TRUE);
  alSourcePlay(source_);
  return Status();
}

Status Playback::replace(const SoundData& sound) {
  const int64_t at = position();
  const int64_t frames = static_cast<int64_t>(sound.samples.size()) / sound.info.channels;
  if (silent_) {
    frames_ = frames;
    seek(at);
    return Status();
  }
  ALint state = 0;
  alGetSourcei(source_, AL_SOURCE_STATE, &state);
  alSourceStop(source_);
  alSourcei(source_, AL_BUFFER, 0);
  alDeleteBuffers(1, &buffer_);
  buffer_ = 0;
  alGenBuffers(1, &buffer_);
  if (std::string error; !bufferSound(buffer_, sound, error)) {
    return Status::failure(error);
  }
  frames_ = frames;
  alSourcei(source_, AL_BUFFER, static_cast<ALint>(buffer_));
  alSourcei(source_, AL_LOOPING, AL_TRUE);
  seek(at);
  if (state == AL_PLAYING) {
    alSourcePlay(source_);
  }
  return alGetError() == AL_NO_ERROR ? Status() : Status::failure("the sound device refused the sound");
}

void Playback::openSilent(const SoundData& sound) {
  silent_ = true;
  frames_ = static_cast<int64_t>(sound.samples.size()) / sound.info.channels;
  rate_ = sound.info.samplerate;
  started_ = std::chrono::steady_clock::now();
}

int64_t Playback::position() const {
  if (silent_) {
    const double ran = paused_ ? 0.0 : std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    return frames_ > 0 ? (base_ + static_cast<int64_t>(ran * rate_)) % frames_ : 0;
  }
  ALint offset = 0;
  alGetSourcei(source_, AL_SAMPLE_OFFSET, &offset);
  return offset;
}

void Playback::seek(int64_t frame) {
  if (frames_ <= 0) {
    return;
  }
  frame = ((frame % frames_) + frames_) % frames_;
  if (silent_) {
    base_ = frame;
    started_ = std::chrono::steady_clock::now();
    return;
  }
  alSourcei(source_, AL_SAMPLE_OFFSET, static_cast<ALint>(frame));
}

void Playback::setPaused(bool paused) {
  if (silent_) {
    if (paused != paused_) {
      base_ = position();
      started_ = std::chrono::steady_clock::now();
      paused_ = paused;
    }
    return;
  }
  ALint state = 0;
  alGetSourcei(source_, AL_SOURCE_STATE, &state);
  if (paused && state == AL_PLAYING) {
    alSourcePause(source_);
  } else if (!paused && state != AL_PLAYING) {
    alSourcePlay(source_);
  }
}
