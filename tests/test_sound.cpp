// Decoding "example.wav" with libsndfile, and the sample window.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "audio.h"
#include "sampleWindow.h"
#include "support.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

// Loads dir/example.wav from dir, returning the record and what was printed.
SoundData loadFrom(const vt::TempDir& dir, std::string& printed) {
  vt::ChangeDir here(dir.path());
  CaptureStdout();
  SoundData sound = loadSound();
  printed = GetCapturedStdout();
  return sound;
}

}  // namespace

TEST(LoadSound, ReportsFormatAndTheFirstTenValues) {
  vt::TempDir dir;
  std::vector<int16_t> values;
  for (int i = 0; i < 40; ++i) {
    values.push_back(static_cast<int16_t>(i % 2 == 0 ? i * 100 : -i));
  }
  values[1] = -1;
  ASSERT_TRUE(vt::writeShorts(dir / "example.wav", values, 2, 22050));
  std::string printed;
  SoundData sound = loadFrom(dir, printed);
  EXPECT_EQ(printed,
            "Sample Rate: 22050\nChannels: 2\nFrames: 20\n"
            "Sample[0]: 0\nSample[1]: -1\nSample[2]: 200\nSample[3]: -3\nSample[4]: 400\n"
            "Sample[5]: -5\nSample[6]: 600\nSample[7]: -7\nSample[8]: 800\nSample[9]: -9\n");
  EXPECT_EQ(sound.samples, values);
  EXPECT_EQ(sound.info.format, kWav16);
}

TEST(LoadSound, EmptyAndTinyFiles) {
  vt::TempDir empty;
  ASSERT_TRUE(vt::writeShorts(empty / "example.wav", {}, 1, 8000));
  std::string printed;
  SoundData sound = loadFrom(empty, printed);
  EXPECT_EQ(printed, "Sample Rate: 8000\nChannels: 1\nFrames: 0\n");
  EXPECT_TRUE(sound.samples.empty());

  vt::TempDir tiny;
  ASSERT_TRUE(vt::writeShorts(tiny / "example.wav", {7, -7, 8}, 1, 8000));
  sound = loadFrom(tiny, printed);
  EXPECT_EQ(printed, "Sample Rate: 8000\nChannels: 1\nFrames: 3\nSample[0]: 7\nSample[1]: -7\nSample[2]: 8\n");
}

TEST(LoadSound, MonoAndSixChannelFilesKeepTheirLayout) {
  vt::TempDir mono;
  ASSERT_TRUE(vt::writeSound(mono / "example.wav", 100, 1, 44100, kWav16, [](int64_t f, int) { return f / 200.0; }));
  std::string printed;
  SoundData sound = loadFrom(mono, printed);
  EXPECT_EQ(sound.info.channels, 1);
  EXPECT_EQ(sound.samples.size(), 100u);

  vt::TempDir six;
  ASSERT_TRUE(vt::writeSound(six / "example.wav", 50, 6, 48000, kWav16, [](int64_t, int c) { return c / 10.0; }));
  sound = loadFrom(six, printed);
  ASSERT_EQ(sound.samples.size(), 300u);
  for (int c = 0; c < 6; ++c) {
    EXPECT_NEAR(sound.samples[static_cast<size_t>(6 * 10 + c)], c * 3277, 2) << c;
  }
}

TEST(LoadSound, OtherEncodingsAreConvertedTo16Bit) {
  const int formats[] = {SF_FORMAT_WAV | SF_FORMAT_PCM_U8, SF_FORMAT_WAV | SF_FORMAT_PCM_24,
                         SF_FORMAT_WAV | SF_FORMAT_FLOAT};
  for (int format : formats) {
    vt::TempDir dir;
    ASSERT_TRUE(vt::writeSound(dir / "example.wav", 64, 2, 44100, format,
                               [](int64_t f, int c) { return c == 0 ? 0.5 : (f % 2 == 0 ? -0.25 : 0.25); }));
    std::string printed;
    SoundData sound = loadFrom(dir, printed);
    EXPECT_EQ(sound.info.format, format);
    ASSERT_EQ(sound.samples.size(), 128u);
    // 8-bit keeps only its own steps of 256.
    EXPECT_NEAR(sound.samples[0], 16384, 260) << std::hex << format;
    EXPECT_NEAR(sound.samples[1], -8192, 260) << std::hex << format;
    EXPECT_NEAR(sound.samples[3], 8192, 260) << std::hex << format;
  }
}

TEST(LoadSound, MissingFileIsAFailure) {
  vt::TempDir dir;
  vt::ChangeDir here(dir.path());
  EXPECT_EXIT(loadSound(), testing::ExitedWithCode(255), "Error: Unable to open file: .+");
}

TEST(SampleWindow, StartsAtTheFrameThatIsPlaying) {
  std::vector<int16_t> stereo(20000);
  for (size_t i = 0; i < stereo.size(); ++i) {
    stereo[i] = static_cast<int16_t>(i % 30000);
  }
  const auto window = sampleWindow(stereo, 1000, 2);
  ASSERT_EQ(window.size(), 2048u);
  EXPECT_FLOAT_EQ(window[0], 2000 / 1000.0f);
  EXPECT_FLOAT_EQ(window[2047], 4047 / 1000.0f);

  const auto mono = sampleWindow(stereo, 1000, 1);
  EXPECT_FLOAT_EQ(mono[0], 1.0f);
  const auto six = sampleWindow(stereo, 1000, 6);
  EXPECT_FLOAT_EQ(six[0], 6.0f);
}

TEST(SampleWindow, ShortEmptyAndOutOfRangePositions) {
  std::vector<int16_t> values(3000, -32768);
  const auto nearEnd = sampleWindow(values, 1400, 2);
  ASSERT_EQ(nearEnd.size(), 200u);
  EXPECT_FLOAT_EQ(nearEnd[0], -32.768f);
  EXPECT_TRUE(sampleWindow(values, 1500, 2).empty());
  EXPECT_TRUE(sampleWindow(values, 99999, 2).empty());
  EXPECT_TRUE(sampleWindow(values, -1, 2).empty());
  EXPECT_TRUE(sampleWindow(values, std::numeric_limits<int64_t>::max(), 8).empty());
  EXPECT_TRUE(sampleWindow(values, 0, 0).empty());
  EXPECT_TRUE(sampleWindow({}, 0, 2).empty());
  const std::vector<float> silence = sampleWindow(std::vector<int16_t>(4096, 0), 0, 2);
  EXPECT_EQ(silence, std::vector<float>(2048, 0.0f));
}

TEST(SampleLayout, FirstTwoChannelsAndTheOpenALSizeLimit) {
  const std::vector<int16_t> three = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(firstTwoChannels(three, 3), (std::vector<int16_t>{1, 2, 4, 5, 7, 8}));
  EXPECT_TRUE(firstTwoChannels(three, 1).empty());

  int32_t bytes = -1;
  EXPECT_TRUE(alByteSize(0, bytes));
  EXPECT_EQ(bytes, 0);
  EXPECT_TRUE(alByteSize(1073741823, bytes));
  EXPECT_EQ(bytes, 2147483646);
  EXPECT_FALSE(alByteSize(1073741824, bytes));
  EXPECT_FALSE(alByteSize(-2, bytes));
}

TEST(LoadSound, AHeaderThatClaimsMoreThanTheFileHoldsCostsOnlyWhatDecodes) {
  // 42 bytes of FLAC whose header announces millions of frames (found by fuzzing).
  SoundData sound;
  std::string error;
  testing::internal::CaptureStdout();
  const bool decoded =
      decodeSound((vt::sourceDir() + "/tests/fuzz-regressions/flac-claims-huge-length-272b400e").c_str(), sound, error);
  const std::string printed = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(decoded) << error;
  EXPECT_GT(sound.info.frames, 1000000);
  EXPECT_NE(printed.find("Frames: " + std::to_string(sound.info.frames) + "\n"), std::string::npos);
  EXPECT_LT(sound.samples.size(), 1000000u);
}

TEST(LoadSound, FailuresSayWhyAndPrintNothing) {
  vt::TempDir dir;
  vt::writeText(dir / "noise.wav", "RIFF\x10\0\0\0WAVEjunk");
  SoundData sound;
  std::string error;
  CaptureStdout();
  EXPECT_FALSE(decodeSound((dir / "noise.wav").c_str(), sound, error));
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(sound.samples.empty());
}
