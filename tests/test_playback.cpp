// What OpenAL actually plays, recorded by OpenAL Soft's wave writer: the
// file, looped, at its own speed, for every channel layout.
//
// Each test case runs in a process of its own (CTest runs them one by one),
// so the wave writer's configuration is read fresh by the first OpenAL call.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "audio.h"
#include "support.h"

namespace {

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr double kPi = 3.14159265358979323846;

// Plays dir/example.wav for the given time with the wave writer and returns
// what it recorded as interleaved floats.
std::vector<float> record(const vt::TempDir& dir, double seconds, SF_INFO& info) {
  vt::writeText(dir / "alsoft.conf",
                "[general]\ndrivers=wave\nfrequency=48000\nchannels=stereo\nsample-type=int16\n"
                "[wave]\nfile=" +
                    (dir / "played.wav") + "\n");
  setenv("ALSOFT_CONF", (dir / "alsoft.conf").c_str(), 1);
  unsetenv("ALSOFT_DRIVERS");
  {
    vt::ChangeDir here(dir.path());
    testing::internal::CaptureStdout();
    AudioDevice audio;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    testing::internal::GetCapturedStdout();
  }
  return vt::readSound(dir / "played.wav", info);
}

// Loudness of one channel in 2 ms blocks.
std::vector<double> envelope(const std::vector<float>& data, int channels, int channel, int rate) {
  const size_t block = static_cast<size_t>(rate / 500);
  std::vector<double> out;
  const size_t frames = data.size() / static_cast<size_t>(channels);
  for (size_t start = 0; start + block <= frames; start += block) {
    double sum = 0;
    for (size_t i = start; i < start + block; ++i) {
      const double v = data[i * static_cast<size_t>(channels) + static_cast<size_t>(channel)];
      sum += v * v;
    }
    out.push_back(std::sqrt(sum / static_cast<double>(block)));
  }
  return out;
}

// Times (s) at which a channel goes from quiet to loud.
std::vector<double> onsets(const std::vector<float>& data, int channels, int channel, int rate) {
  const auto env = envelope(data, channels, channel, rate);
  double peak = 0;
  for (double e : env)
    peak = std::max(peak, e);
  std::vector<double> times;
  for (size_t i = 1; i < env.size(); ++i) {
    if (env[i] > 0.5 * peak && env[i - 1] <= 0.5 * peak) {
      times.push_back(static_cast<double>(i) * 0.002);
    }
  }
  return times;
}

// Frequency of a channel over [from, to) seconds, from its zero crossings.
double frequency(const std::vector<float>& data, int channels, int channel, int rate, double from, double to) {
  int crossings = 0;
  const size_t a = static_cast<size_t>(from * rate), b = static_cast<size_t>(to * rate);
  for (size_t i = a + 1; i < b; ++i) {
    const float p = data[(i - 1) * static_cast<size_t>(channels) + static_cast<size_t>(channel)];
    const float q = data[i * static_cast<size_t>(channels) + static_cast<size_t>(channel)];
    crossings += (p < 0) != (q < 0);
  }
  return crossings / 2.0 / (to - from);
}

// The loop period seen in a channel: the spacing of its onsets.
void expectLoopPeriod(const std::vector<double>& times, double period) {
  ASSERT_GE(times.size(), 3u);
  for (size_t i = 1; i < times.size(); ++i) {
    EXPECT_NEAR(times[i] - times[i - 1], period, 0.006) << "onset " << i;
  }
}

}  // namespace

// 0.3 s of a 1 kHz tone, then 0.2 s of silence, at 22.05 kHz.
TEST(Playback, MonoPlaysAtItsOwnSpeedInALoop) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeSound(dir / "example.wav", 11025, 1, 22050, kWav16, [](int64_t f, int) {
    return f < 6615 ? 0.5 * std::sin(2 * kPi * 1000.0 * f / 22050) : 0.0;
  }));
  SF_INFO info;
  const auto played = record(dir, 2.2, info);
  ASSERT_EQ(info.channels, 2);
  ASSERT_GT(info.frames, 48000);
  const auto times = onsets(played, 2, 0, info.samplerate);
  expectLoopPeriod(times, 0.5);
  EXPECT_NEAR(frequency(played, 2, 0, info.samplerate, times[0] + 0.05, times[0] + 0.25), 1000.0, 15.0);
  // The centre of a mono source reaches both sides.
  EXPECT_EQ(onsets(played, 2, 1, info.samplerate).size(), times.size());
}

// Left: 800 Hz in the first half; right: 1.6 kHz in the second; 0.4 s at 44.1 kHz.
TEST(Playback, StereoPlaysBothSidesAtItsOwnSpeedInALoop) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeSound(dir / "example.wav", 17640, 2, 44100, kWav16, [](int64_t f, int c) {
    const bool first = f < 8820;
    if (c == 0)
      return first ? 0.5 * std::sin(2 * kPi * 800.0 * f / 44100) : 0.0;
    return first ? 0.0 : 0.5 * std::sin(2 * kPi * 1600.0 * f / 44100);
  }));
  SF_INFO info;
  const auto played = record(dir, 2.0, info);
  const auto left = onsets(played, 2, 0, info.samplerate);
  const auto right = onsets(played, 2, 1, info.samplerate);
  expectLoopPeriod(left, 0.4);
  expectLoopPeriod(right, 0.4);
  EXPECT_NEAR(frequency(played, 2, 0, info.samplerate, left[0] + 0.03, left[0] + 0.17), 800.0, 15.0);
  EXPECT_NEAR(frequency(played, 2, 1, info.samplerate, right[0] + 0.03, right[0] + 0.17), 1600.0, 20.0);
  // Right starts half a loop after left.
  EXPECT_NEAR(std::fmod(right[0] - left[0] + 0.4, 0.4), 0.2, 0.01);
}

// Six channels play as 5.1 where OpenAL offers it; three have no layout and
// play as their first two. Either way the speed is the file's own.
void expectMultichannelAtItsOwnSpeed(int channels) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeSound(dir / "example.wav", 12000, channels, 48000, kWav16, [](int64_t f, int c) {
    return c == 0 && f < 6000 ? 0.5 * std::sin(2 * kPi * 600.0 * f / 48000) : 0.0;
  }));
  SF_INFO info;
  const auto played = record(dir, 1.6, info);
  const auto times = onsets(played, 2, 0, info.samplerate);
  expectLoopPeriod(times, 0.25);
  ASSERT_FALSE(times.empty());
  EXPECT_NEAR(frequency(played, 2, 0, info.samplerate, times[0] + 0.02, times[0] + 0.1), 600.0, 15.0);
}

TEST(Playback, SixChannelsPlayAtTheirOwnSpeed) {
  expectMultichannelAtItsOwnSpeed(6);
}

TEST(Playback, ThreeChannelsPlayAsTheirFirstTwo) {
  expectMultichannelAtItsOwnSpeed(3);
}

// When the position cannot be read (here: the source is gone), the window
// starts at the beginning of the sound rather than at whatever was in memory.
TEST(Playback, AFailedPositionQueryGivesTheWindowAtTheStart) {
  setenv("ALSOFT_DRIVERS", "null", 1);
  unsetenv("ALSOFT_CONF");
  vt::TempDir dir;
  std::vector<int16_t> values(44100 * 2);
  for (size_t i = 0; i < values.size(); ++i)
    values[i] = static_cast<int16_t>(1000 + i % 5000);
  ASSERT_TRUE(vt::writeShorts(dir / "example.wav", values, 2, 44100));
  vt::ChangeDir here(dir.path());
  testing::internal::CaptureStdout();
  {
    AudioDevice audio;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    alDeleteSources(1, &audio.source);
    const std::vector<float> window = audio.getSamples();
    ASSERT_EQ(window.size(), 2048u);
    EXPECT_FLOAT_EQ(window[0], 1.0f);
    EXPECT_FLOAT_EQ(window[1], 1.001f);
  }
  testing::internal::GetCapturedStdout();
}
