// libFuzzer target over the sound-loading path: the input becomes
// "example.wav" in a private folder, which is decoded as the program does and
// then cut into sample windows at several positions.
//
//   fuzz_sound [libFuzzer options] [CORPUS...]
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio.h"
#include "sampleWindow.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/vrax-fuzz-XXXXXX";
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) {
    std::abort();
  }
  // The loader reports every file's format; that is noise here.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen("example.wav", "wb");
  if (file == nullptr) {
    std::abort();
  }
  if (size > 0 && std::fwrite(data, 1, size, file) != size) {
    std::abort();
  }
  std::fclose(file);

  SoundData sound;
  std::string error;
  if (!decodeSound("example.wav", sound, error)) {
    return 0;
  }
  const int channels = sound.info.channels;
  const int64_t frames = static_cast<int64_t>(sound.samples.size()) / channels;
  for (int64_t frame : {int64_t{0}, frames / 2, frames - 1, frames, frames + 1, int64_t{-1}, INT64_MAX / 2}) {
    const std::vector<float> window = sampleWindow(sound.samples, frame, channels);
    if (window.size() > static_cast<size_t>(kWindowValues)) {
      std::abort();
    }
  }
  if (channels > 2) {
    const std::vector<int16_t> stereo = firstTwoChannels(sound.samples, channels);
    if (stereo.size() != static_cast<size_t>(frames) * 2) {
      std::abort();
    }
  }
  return 0;
}
