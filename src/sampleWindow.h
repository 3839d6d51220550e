// sampleWindow.h — pure work on decoded 16-bit samples: the window handed to
// the spectrum each frame and the shapes OpenAL needs. No OpenAL here, so it
// can be tested and benchmarked alone.
//
// Threading: plain functions on caller-owned data.
#pragma once

#include <cstdint>
#include <vector>

// Values taken per window, whatever the channel count.
constexpr int kWindowValues = 2048;

// The window at the frame that is playing: up to kWindowValues interleaved
// values starting at value index frame × channels, each divided by 1000. Cut
// short at the end of the sound, never wrapped; empty for a negative frame, a
// frame past the end or a channel count below 1.
std::vector<float> sampleWindow(const std::vector<int16_t>& samples, int64_t frame, int channels);

// The first two channels of an interleaved sound with `channels` channels, as
// interleaved stereo. For channel counts that have no playable layout.
std::vector<int16_t> firstTwoChannels(const std::vector<int16_t>& samples, int channels);

// Byte size of `values` 16-bit values, if it fits OpenAL's signed 32-bit size.
bool alByteSize(int64_t values, int32_t& bytes);
