// Writes a small seed corpus for fuzz_sound: one short sound in each
// container and encoding libsndfile writes, so the fuzzer starts from files
// that decode.
//
//   makeFuzzSeeds DIR
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: makeFuzzSeeds DIR\n");
    return 2;
  }
  const struct {
    const char* name;
    int format;
    int channels;
  } kinds[] = {
      {"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2},  {"pcm8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1},
      {"pcm24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2},  {"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2},
      {"six.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 6},    {"ulaw.wav", SF_FORMAT_WAV | SF_FORMAT_ULAW, 1},
      {"ima.wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 2}, {"sound.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2},
      {"sound.au", SF_FORMAT_AU | SF_FORMAT_PCM_16, 1},    {"sound.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2},
      {"sound.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 2},  {"sound.caf", SF_FORMAT_CAF | SF_FORMAT_PCM_16, 2},
  };
  int failures = 0;
  for (const auto& kind : kinds) {
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = kind.channels;
    info.format = kind.format;
    const std::string path = std::string(argv[1]) + "/" + kind.name;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
      std::fprintf(stderr, "makeFuzzSeeds: %s: %s\n", kind.name, sf_strerror(nullptr));
      ++failures;
      continue;
    }
    std::vector<float> values(static_cast<size_t>(64 * kind.channels));
    for (size_t i = 0; i < values.size(); ++i) {
      values[i] = static_cast<float>(0.5 * std::sin(0.3 * static_cast<double>(i)));
    }
    sf_writef_float(file, values.data(), 64);
    sf_close(file);
  }
  return failures == 0 ? 0 : 1;
}
