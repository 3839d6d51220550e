// soundStream.cpp — see soundStream.h.
#include "soundStream.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "audio.h"
#include "sampleWindow.h"

SoundFile::~SoundFile() {
  if (file_ != nullptr) {
    sf_close(file_);
    file_ = nullptr;
  }
}

bool checkSoundPath(const std::string& path, std::string& error) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    error = "it is a directory";
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = "it is not a regular file (a pipe or a device); save the sound to a file first";
    return false;
  }
  return true;
}

bool SoundFile::open(const std::string& path, std::string& error) {
  info_ = SF_INFO{};
  if (!checkSoundPath(path, error)) {
    return false;
  }
  file_ = sf_open(path.c_str(), SFM_READ, &info_);
  if (file_ == nullptr) {
    error = sf_strerror(nullptr);
    return false;
  }
  if (info_.channels < 1 || info_.samplerate < 1) {
    error = "the file declares " + std::to_string(info_.channels) + " channels at " +
            std::to_string(info_.samplerate) + " Hz";
    return false;
  }
  return true;
}

bool SoundFile::seek(int64_t frame) {
  if (sf_seek(file_, frame, SEEK_SET) == frame) {
    return true;
  }
  if (sf_seek(file_, 0, SEEK_SET) != 0) {
    return false;
  }
  std::vector<float> drop(4096 * static_cast<size_t>(info_.channels));
  int64_t done = 0;
  while (done < frame) {
    const int64_t got = readFloats(drop.data(), std::min<int64_t>(4096, frame - done));
    if (got <= 0) {
      return false;
    }
    done += got;
  }
  return true;
}

int64_t SoundFile::readFloats(float* into, int64_t frames) {
  const int64_t got = std::max<sf_count_t>(0, sf_readf_float(file_, into, frames));
  // A broken float file may carry NaN or infinities; they would poison the
  // encoder's state.
  for (int64_t i = 0; i < got * info_.channels; ++i) {
    if (!(into[i] == into[i])) {
      into[i] = 0.0f;
    }
    into[i] = std::clamp(into[i], -kMaxSampleValue, kMaxSampleValue);
  }
  return got;
}

int64_t countFrames(SoundFile& file) {
  constexpr int64_t kChunk = 1 << 15;
  std::vector<int16_t> values(static_cast<size_t>(kChunk) * static_cast<size_t>(file.channels()));
  std::vector<float> scratch;
  int64_t total = 0;
  for (;;) {
    const int64_t got = readShortFrames(file.handle(), file.info(), values.data(), kChunk, scratch);
    if (got <= 0) {
      break;
    }
    total += got;
  }
  return total;
}

void WindowReader::around(int64_t frame, FrameSound& out) {
  const int channels = file_.channels();
  const int64_t need = std::max<int64_t>(kAhead, (kWindowValues + channels - 1) / channels);
  // Frames behind the block are dropped in large steps, so the copy is rare.
  const int64_t keepFrom = frame - kBehind;
  if (keepFrom - start_ > 1 << 16) {
    const int64_t drop = std::min(keepFrom - start_, static_cast<int64_t>(buffer_.size()) / channels);
    buffer_.erase(buffer_.begin(), buffer_.begin() + drop * channels);
    start_ += drop;
  }
  while (!ended_ && static_cast<int64_t>(buffer_.size()) / channels < frame - start_ + need) {
    constexpr int64_t kChunk = 4096;
    const size_t old = buffer_.size();
    buffer_.resize(old + static_cast<size_t>(kChunk * channels));
    const int64_t got = readShortFrames(file_.handle(), file_.info(), buffer_.data() + old, kChunk, scratch_);
    buffer_.resize(old + static_cast<size_t>(got * channels));
    ended_ = got < kChunk;
  }
  soundAround(buffer_, start_, channels, frame, out);
}

std::vector<float> WindowReader::window(int64_t frame) {
  FrameSound sound;
  around(frame, sound);
  return sound.window;
}
