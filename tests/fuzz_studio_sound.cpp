// libFuzzer target over the studio's sound reading: the input becomes a file
// that SoundFile opens (libsndfile first, FFmpeg for the rest), counts, and
// reads back in windows and in floats, as render does. A lying or broken
// file must end, with bounded memory, and never crash.
//
//   fuzz_studio_sound [libFuzzer options] [CORPUS...]
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "sound/soundStream.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/vrax-fuzz-studio-XXXXXX";
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) {
    std::abort();
  }
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen("sound", "wb");
  if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
    std::abort();
  }
  SoundFile sound;
  if (sound.open("sound").ok()) {
    // A header may claim hours; reading stops where the data does.
    const int64_t frames = countFrames(sound);
    (void)frames;
  }
  WindowReader windows;
  if (windows.open("sound").ok()) {
    FrameSound out;
    for (int64_t frame : {0, 1000, 50000}) {
      windows.around(frame, out);
    }
  }
  return 0;
}
