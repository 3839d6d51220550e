// sampleWindow.cpp — see sampleWindow.h.
#include "sampleWindow.h"

#include <algorithm>
#include <limits>

std::vector<float> sampleWindow(const std::vector<int16_t>& samples, int64_t frame, int channels) {
  std::vector<float> window;
  if (frame < 0 || channels < 1) {
    return window;
  }
  const auto total = static_cast<int64_t>(samples.size());
  // A position beyond any real sound cannot overflow the multiplication below.
  if (frame > total) {
    return window;
  }
  const int64_t start = frame * channels;
  if (start >= total) {
    return window;
  }
  const int64_t end = std::min(total, start + kWindowValues);
  window.reserve(static_cast<size_t>(end - start));
  for (int64_t i = start; i < end; ++i) {
    window.push_back(static_cast<float>(samples[static_cast<size_t>(i)]) / 1000.0f);
  }
  return window;
}

std::vector<int16_t> firstTwoChannels(const std::vector<int16_t>& samples, int channels) {
  std::vector<int16_t> stereo;
  if (channels < 2) {
    return stereo;
  }
  const size_t frames = samples.size() / static_cast<size_t>(channels);
  stereo.resize(frames * 2);
  for (size_t f = 0; f < frames; ++f) {
    stereo[2 * f] = samples[f * channels];
    stereo[2 * f + 1] = samples[f * channels + 1];
  }
  return stereo;
}

bool alByteSize(int64_t values, int32_t& bytes) {
  if (values < 0 || values > std::numeric_limits<int32_t>::max() / 2) {
    return false;
  }
  bytes = static_cast<int32_t>(values * 2);
  return true;
}
