// moments.cpp — see moments.h.
#include "sound/moments.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "sound/soundStream.h"

namespace {

// Below the loudest by more than this is a fade or a gap, not music.
constexpr double kMusicRangeDb = 40.0;

struct Window {
  double middle;  // seconds
  double db;
};

// The level of each one-second window, a window every half second (a song
// under a second is one window).
std::vector<Window> windowLevels(const std::vector<double>& halfSeconds, double half) {
  std::vector<Window> windows;
  const size_t count = halfSeconds.size() < 2 ? halfSeconds.size() : halfSeconds.size() - 1;
  for (size_t i = 0; i < count; ++i) {
    const double power = i + 1 < halfSeconds.size() ? (halfSeconds[i] + halfSeconds[i + 1]) / 2 : halfSeconds[i];
    windows.push_back({(static_cast<double>(i) + (i + 1 < halfSeconds.size() ? 1.0 : 0.5)) * half,
                       10 * std::log10(std::max(power, 1e-20))});
  }
  return windows;
}

}  // namespace

Result<SongMoments> findMoments(const std::string& path) {
  SoundFile file;
  if (const Status opened = file.open(path); !opened) {
    return Status::failure("cannot read the sound " + path + ": " + opened.why());
  }
  const int channels = file.channels();
  const int64_t half = std::max<int64_t>(1, file.rate() / 2);
  std::vector<float> piece(static_cast<size_t>(half * channels));
  std::vector<double> halfSeconds;  // mean power of each half second
  int64_t frames = 0;
  for (int64_t got; (got = file.readFloats(piece.data(), half)) > 0; frames += got) {
    double sum = 0;
    for (int64_t i = 0; i < got * channels; ++i) {
      sum += static_cast<double>(piece[static_cast<size_t>(i)]) * piece[static_cast<size_t>(i)];
    }
    halfSeconds.push_back(sum / static_cast<double>(got * channels));
  }
  if (const Status read = file.readStatus(); !read) {
    return Status::failure("cannot read " + path + " to its end: " + read.why());
  }
  if (halfSeconds.empty()) {
    return Status::failure(path + " holds no sound");
  }
  std::vector<Window> windows = windowLevels(halfSeconds, static_cast<double>(half) / file.rate());
  const auto loudest = std::max_element(windows.begin(), windows.end(), [](const Window& a, const Window& b) {
    return a.db < b.db;
  });
  SongMoments moments;
  moments.length = static_cast<double>(frames) / file.rate();
  moments.loudest = loudest->middle;
  const double floor = loudest->db - kMusicRangeDb;
  windows.erase(std::remove_if(windows.begin(), windows.end(), [&](const Window& w) { return w.db < floor; }),
                windows.end());
  std::vector<Window> byLevel = windows;
  std::sort(byLevel.begin(), byLevel.end(), [](const Window& a, const Window& b) { return a.db < b.db; });
  moments.quiet = byLevel.front().middle;
  moments.average = byLevel[byLevel.size() / 2].middle;
  return moments;
}
