// The example song: deterministic, the promised format, a seamless loop, and
// the range the picture needs (loud bars and a quiet one).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "support.h"

namespace {

int makeExample(const std::vector<std::string>& args, std::string* out = nullptr) {
  std::vector<std::string> argv = {vt::makeExampleBinary()};
  argv.insert(argv.end(), args.begin(), args.end());
  vt::Process process(argv, "/");
  const int status = process.wait(120);
  if (out != nullptr)
    *out = process.out();
  return status;
}

double peak(const std::vector<float>& data, size_t from, size_t to) {
  double p = 0;
  for (size_t i = from; i < to; ++i)
    p = std::max(p, static_cast<double>(std::fabs(data[i])));
  return p;
}

}  // namespace

TEST(ExampleSong, IsThirtySecondsOfDeterministicStereoThatLoopsWithoutAClick) {
  vt::TempDir dir;
  ASSERT_EQ(makeExample({dir / "a.wav"}), 0);
  ASSERT_EQ(makeExample({dir / "b.wav"}), 0);
  EXPECT_EQ(vt::readText(dir / "a.wav"), vt::readText(dir / "b.wav"));

  SF_INFO info;
  const std::vector<float> song = vt::readSound(dir / "a.wav", info);
  EXPECT_EQ(info.samplerate, 44100);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_NEAR(static_cast<double>(info.frames) / 44100, 30.0, 0.5);

  // The step across the seam is no larger than a typical step inside the song.
  std::vector<double> steps;
  for (size_t i = 2; i < song.size(); i += 2)
    steps.push_back(std::fabs(song[i] - song[i - 2]));
  std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
  const double typical = steps[steps.size() / 2];
  for (int c = 0; c < 2; ++c) {
    EXPECT_LE(std::fabs(song[static_cast<size_t>(c)] - song[song.size() - 2 + static_cast<size_t>(c)]), 2 * typical);
  }

  // Loud somewhere, and a bar (1.875 s) near-silent somewhere.
  EXPECT_GT(peak(song, 0, song.size()), 0.8);
  const size_t bar = static_cast<size_t>(1.875 * 44100) * 2;
  double quietest = 1.0;
  for (size_t start = 0; start + bar <= song.size(); start += bar / 4) {
    quietest = std::min(quietest, peak(song, start, start + bar / 2));
  }
  EXPECT_LT(quietest, 0.01);
}

TEST(ExampleSong, NeverOverwritesAFileThatIsThere) {
  vt::TempDir dir;
  vt::writeText(dir / "example.wav", "mine");
  std::string out;
  EXPECT_EQ(makeExample({dir / "example.wav"}, &out), 0);
  EXPECT_EQ(vt::readText(dir / "example.wav"), "mine");
  EXPECT_NE(out.find("left as it is"), std::string::npos);
}
