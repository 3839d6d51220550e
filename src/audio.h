// audio.h — the sound file and its playback.
//
// loadSound decodes "example.wav" from the working directory whole, as
// interleaved 16-bit samples, and reports its format on standard output.
// AudioDevice opens the default OpenAL device, plays the sound in an endless
// loop at the file's own speed, and hands out the window of samples at the
// frame that is playing. Start-up failures print one line on standard error
// and end the process with status -1.
//
// Threading: construct, query and destroy on one thread. OpenAL mixes on its
// own; the only value read back from it is the playback position.
#pragma once

#include <AL/al.h>
#include <AL/alc.h>
#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

struct SoundData {
  std::vector<int16_t> samples;  // frames × channels, interleaved
  SF_INFO info;                  // as libsndfile filled it
};

// The longest sound played: OpenAL takes at most 2^31 − 1 bytes per buffer.
constexpr int64_t kMaxSoundValues = 1073741823;

// Decodes a sound file whole into sound and prints its format lines and first
// values. On failure returns false with the reason in error and prints nothing.
bool decodeSound(const char* path, SoundData& sound, std::string& error);

// decodeSound without a word on standard output.
bool decodeSoundQuietly(const char* path, SoundData& sound, std::string& error);

// Reads up to `frames` frames at the file's position into `into` as
// interleaved 16-bit values; floating-point data is scaled to the 16-bit range
// (libsndfile would truncate it). scratch is reused between calls. Returns
// the frames read, 0 at the end or on an error.
int64_t readShortFrames(SNDFILE* file, const SF_INFO& info, int16_t* into, int64_t frames,
                        std::vector<float>& scratch);

// Uploads the sound to an OpenAL buffer at its own rate: mono, stereo, the
// multichannel layouts the device offers, else its first two channels. Needs
// a current OpenAL context. False with the reason if OpenAL cannot take it.
bool bufferSound(ALuint buffer, const SoundData& sound, std::string& error);

// Decodes "example.wav" from the working directory; if that fails, says why on
// standard error and ends the process with status -1.
SoundData loadSound();

class AudioDevice {
 public:
  AudioDevice();
  ~AudioDevice();
  AudioDevice(const AudioDevice&) = delete;
  AudioDevice& operator=(const AudioDevice&) = delete;

  // Up to 2048 values (each ÷ 1000) from the frame that is playing.
  std::vector<float> getSamples();

  ALCdevice* device = nullptr;
  ALCcontext* context = nullptr;
  ALuint source = 0;
  ALuint buffer = 0;
  SoundData sound;
};
