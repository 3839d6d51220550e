// audio.cpp — see audio.h.
#include "audio.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <string>

#include "sampleWindow.h"

int64_t readShortFrames(SNDFILE* file, const SF_INFO& info, int16_t* into, int64_t frames,
                        std::vector<float>& scratch) {
  const int subtype = info.format & SF_FORMAT_SUBMASK;
  const bool floating = subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
  if (frames <= 0 || info.channels < 1) {
    return 0;
  }
  if (!floating) {
    return std::max<sf_count_t>(0, sf_readf_short(file, into, frames));
  }
  const size_t channels = static_cast<size_t>(info.channels);
  scratch.resize(static_cast<size_t>(frames) * channels);
  const sf_count_t got = std::max<sf_count_t>(0, sf_readf_float(file, scratch.data(), frames));
  for (size_t i = 0; i < static_cast<size_t>(got) * channels; ++i) {
    const float v = std::isnan(scratch[i]) ? 0.0f : scratch[i] * 32768.0f;
    into[i] = static_cast<int16_t>(std::lrint(std::clamp(v, -32768.0f, 32767.0f)));
  }
  return got;
}

namespace {

// Reads up to info.frames frames as interleaved 16-bit values, a chunk at a
// time, so that memory follows what the file delivers and not what its header
// claims (a few bytes of FLAC can claim gigabytes). Returns the frames read.
int64_t readShorts(SNDFILE* file, const SF_INFO& info, std::vector<int16_t>& out) {
  constexpr sf_count_t kChunkFrames = 1 << 16;
  const size_t channels = static_cast<size_t>(info.channels);
  std::vector<float> scratch;
  sf_count_t done = 0;
  while (done < info.frames) {
    const sf_count_t want = std::min(kChunkFrames, info.frames - done);
    out.resize(static_cast<size_t>(done + want) * channels);
    int16_t* into = out.data() + static_cast<size_t>(done) * channels;
    const sf_count_t got = readShortFrames(file, info, into, want, scratch);
    done += got;
    if (got < want) {
      break;
    }
  }
  out.resize(static_cast<size_t>(done) * channels);
  return done;
}

// Both decoders in one: `verbose` prints the format lines and first values.
bool decode(const char* path, SoundData& sound, std::string& error, bool verbose) {
  sound.samples.clear();
  sound.info = SF_INFO{};
  SNDFILE* file = sf_open(path, SFM_READ, &sound.info);
  if (file == nullptr) {
    error = sf_strerror(nullptr);
    return false;
  }
  if (verbose) {
    std::cout << "Sample Rate: " << sound.info.samplerate << std::endl;
    std::cout << "Channels: " << sound.info.channels << std::endl;
    std::cout << "Frames: " << static_cast<int64_t>(sound.info.frames) << std::endl;
  }

  // A header may claim any length; what OpenAL could never take is refused
  // before anything is allocated for it.
  const int64_t frames = sound.info.frames;
  const int64_t channels = sound.info.channels;
  if (frames < 0 || channels < 1) {
    sf_close(file);
    error = "the file declares " + std::to_string(frames) + " frames of " + std::to_string(channels) + " channels";
    return false;
  }
  if (frames > kMaxSoundValues / channels) {
    sf_close(file);
    error = "sound too large to play: " + std::to_string(frames) + " frames of " + std::to_string(channels) +
            " channels, at most " + std::to_string(kMaxSoundValues) + " values";
    return false;
  }
  // A file that delivers fewer frames than it announced plays what it delivered.
  const int64_t count = readShorts(file, sound.info, sound.samples) * channels;
  sf_close(file);

  for (int64_t i = 0; verbose && i < 10 && i < count; ++i) {
    std::cout << "Sample[" << static_cast<uint64_t>(i) << "]: " << sound.samples[static_cast<size_t>(i)] << std::endl;
  }
  return true;
}

}  // namespace

bool decodeSound(const char* path, SoundData& sound, std::string& error) {
  return decode(path, sound, error, true);
}

bool decodeSoundQuietly(const char* path, SoundData& sound, std::string& error) {
  return decode(path, sound, error, false);
}

SoundData loadSound() {
  SoundData result;
  std::string error;
  if (!decodeSound("example.wav", result, error)) {
    std::cerr << "Error: Unable to open file: " << error << std::endl;
    std::exit(-1);
  }
  return result;
}

namespace {

// OpenAL Soft's multichannel formats, where the device offers them.
ALenum multichannelFormat(int channels) {
  if (!alIsExtensionPresent("AL_EXT_MCFORMATS")) {
    return AL_NONE;
  }
  switch (channels) {
    case 4:
      return alGetEnumValue("AL_FORMAT_QUAD16");
    case 6:
      return alGetEnumValue("AL_FORMAT_51CHN16");
    case 7:
      return alGetEnumValue("AL_FORMAT_61CHN16");
    case 8:
      return alGetEnumValue("AL_FORMAT_71CHN16");
    default:
      return AL_NONE;
  }
}

}  // namespace

bool bufferSound(ALuint buffer, const SoundData& sound, std::string& error) {
  // Every file plays at its own speed: the format follows the channel count,
  // and what OpenAL cannot lay out plays as its first two channels.
  const int channels = sound.info.channels;
  ALenum format = AL_NONE;
  std::vector<int16_t> fallback;
  const std::vector<int16_t>* data = &sound.samples;
  if (channels == 1) {
    format = AL_FORMAT_MONO16;
  } else if (channels == 2) {
    format = AL_FORMAT_STEREO16;
  } else {
    format = multichannelFormat(channels);
    if (format == AL_NONE) {
      format = AL_FORMAT_STEREO16;
      fallback = firstTwoChannels(sound.samples, channels);
      data = &fallback;
    }
  }
  int32_t bytes = 0;
  if (!alByteSize(static_cast<int64_t>(data->size()), bytes)) {
    error = "sound too large to play: " + std::to_string(data->size() * 2) + " bytes, at most 2147483646";
    return false;
  }
  alBufferData(buffer, format, data->empty() ? nullptr : data->data(), bytes, sound.info.samplerate);
  return true;
}

AudioDevice::AudioDevice() {
  std::cout << "Start audio Device\n";
  device = alcOpenDevice(nullptr);
  if (device == nullptr) {
    std::cerr << "Failed to open audio device" << std::endl;
    std::exit(-1);
  }
  context = alcCreateContext(device, nullptr);
  if (context == nullptr || !alcMakeContextCurrent(context)) {
    std::cerr << "Failed to create or set audio context" << std::endl;
    alcCloseDevice(device);
    std::exit(-1);
  }
  alGenBuffers(1, &buffer);
  alGenSources(1, &source);

  sound = loadSound();

  std::string error;
  if (!bufferSound(buffer, sound, error)) {
    std::cerr << "Error: " << error << std::endl;
    std::exit(-1);
  }
  alSourcei(source, AL_BUFFER, static_cast<ALint>(buffer));
  alSourcei(source, AL_LOOPING, 1);
  alSourcePlay(source);
}

std::vector<float> AudioDevice::getSamples() {
  // Stays 0 if the query fails: the window then shows the start of the sound.
  ALint offset = 0;
  alGetSourcei(source, AL_SAMPLE_OFFSET, &offset);
  return sampleWindow(sound.samples, offset, sound.info.channels);
}

AudioDevice::~AudioDevice() {
  std::cout << "shutdown audio Device\n";
  alDeleteSources(1, &source);
  alDeleteBuffers(1, &buffer);
  alcMakeContextCurrent(nullptr);
  alcDestroyContext(context);
  alcCloseDevice(device);
}
