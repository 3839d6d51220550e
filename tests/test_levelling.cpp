// Levelling end to end over the built binary: a song's loudness measured as
// EBU R128 reads it (its test signals: a 1 kHz sine at −23 dBFS reads −23
// LUFS), what the pictures see brought to one loudness while the sound in
// the video stays bit for bit, silence never lifted, and the options.
// RunningLevel (a capture's levelling) is driven with numbers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "sound/loudness.h"
#include "support.h"

namespace {

using vt::studio;
using vt::StudioRun;

// A stereo (or mono) sine of `hz` at `dbfs` peak, `seconds` long.
void writeSine(const std::string& path, double dbfs, int channels = 2, double seconds = 5, double hz = 1000) {
  const double amplitude = std::pow(10.0, dbfs / 20.0);
  ASSERT_TRUE(vt::writeSound(path, static_cast<int64_t>(44100 * seconds), channels, 44100,
                             SF_FORMAT_WAV | SF_FORMAT_PCM_24, [=](int64_t f, int) {
                               return amplitude * std::sin(2 * M_PI * hz * static_cast<double>(f) / 44100);
                             }));
}

// The loudness the render's line gives, or NaN.
double measured(const std::string& err) {
  const size_t at = err.find("measures ");
  return at == std::string::npos ? std::nan("") : std::strtod(err.c_str() + at + 9, nullptr);
}

// The bands as a picture: each column the level of the band under it.
const std::string kBands = vt::fragmentShader("FragColor = vec4(vec3(bands[int(uv.x * 63.99)]), 1.0);");
std::string withBands(const std::string& body) {
  std::string text = body;
  text.insert(text.find("void main()"), "uniform float bands[64];\n");
  return text;
}

class Levelling : public ::testing::Test {
 protected:
  void SetUp() override { vt::writeShaders(dir.path(), vt::kPlainVertexShader, withBands(kBands)); }
  vt::TempDir dir;
};

TEST_F(Levelling, TheSongIsMeasuredAsR128ReadsIt) {
  struct Case {
    double dbfs;
    int channels;
    double lufs;
  };
  // EBU Tech 3341's first cases: a stereo 1 kHz sine at −23 and −33 dBFS;
  // a mono file counts in both ears (dual mono), so reads the same.
  for (const Case& c : {Case{-23, 2, -23}, Case{-33, 2, -33}, Case{-23, 1, -23}}) {
    writeSine(dir / "sine.wav", c.dbfs, c.channels);
    const StudioRun run = studio(dir.path(), {"render", "sine.wav", "s.png", "--size", "64x48", "--from", "1",
                                              "--overwrite"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NEAR(measured(run.err), c.lufs, 0.15) << c.dbfs << " dBFS, " << c.channels << " channels\n" << run.err;
  }
}

// The same music 20 dB quieter looks as it does at its own loudness, while
// without levelling it plainly does not; the video's sound is not touched.
TEST_F(Levelling, QuietAndLoudLookAlikeAndTheSoundStaysAsItIs) {
  writeSine(dir / "loud.wav", -6, 2, 3, 220);
  writeSine(dir / "quiet.wav", -26, 2, 3, 220);
  auto still = [&](const std::string& song, const std::string& out, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"render", song, out, "--size", "64x48", "--from", "2", "-q"};
    args.insert(args.end(), more.begin(), more.end());
    const StudioRun run = studio(dir.path(), args);
    EXPECT_EQ(run.status, 0) << run.err;
    return vt::frameRgb(dir / out);
  };
  const std::string loud = still("loud.wav", "loud.png");
  EXPECT_LE(vt::meanDifference(loud, still("quiet.wav", "quiet.png")), 1.0);
  EXPECT_GE(vt::meanDifference(still("loud.wav", "loud-off.png", {"--level", "off"}),
                               still("quiet.wav", "quiet-off.png", {"--level", "off"})),
            4.0);
  // --gain moves what the pictures see: 20 dB more of the quiet song without
  // levelling is the loud song without it.
  EXPECT_LE(vt::meanDifference(still("loud.wav", "l.png", {"--level", "off"}),
                               still("quiet.wav", "q.png", {"--level", "off", "--gain", "20"})),
            1.0);
  for (const char* level : {"on", "off"}) {
    const std::string out = std::string("sound-") + level + ".mov";
    ASSERT_EQ(studio(dir.path(), {"render", "quiet.wav", out, "--size", "64x48", "--codec", "prores", "--level", level,
                                  "-q"})
                  .status,
              0);
  }
  const std::string on = vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / "sound-on.mov", "-map", "0:a",
                                        "-f", "s16le", "-"});
  EXPECT_GT(on.size(), 44100u * 4 * 2);
  EXPECT_EQ(on, vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / "sound-off.mov", "-map", "0:a", "-f",
                               "s16le", "-"}));
}

// Silence and a hiss far below music are never lifted into noise.
TEST_F(Levelling, SilenceAndNearSilenceAreNotLifted) {
  ASSERT_TRUE(vt::writeSound(dir / "silence.wav", 44100 * 3, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t, int) { return 0.0; }));
  ASSERT_TRUE(vt::writeSound(dir / "hiss.wav", 44100 * 3, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_24,
                             [](int64_t f, int c) { return 0.0002 * std::sin(double(f * 7919 + c * 104729) * 12.9898); }));
  for (const char* song : {"silence.wav", "hiss.wav"}) {
    const StudioRun levelled = studio(dir.path(), {"render", song, "on.png", "--size", "64x48", "--from", "2",
                                                   "--overwrite"});
    ASSERT_EQ(levelled.status, 0) << levelled.err;
    EXPECT_NE(levelled.err.find("silent or nearly"), std::string::npos) << song << "\n" << levelled.err;
    ASSERT_EQ(studio(dir.path(), {"render", song, "off.png", "--size", "64x48", "--from", "2", "--level", "off",
                                  "--overwrite"})
                  .status,
              0);
    EXPECT_EQ(vt::frameRgb(dir / "on.png"), vt::frameRgb(dir / "off.png")) << song;
  }
  // The same renders of a quiet song (about -43 LUFS: far above the hiss,
  // far below the reference) differ: levelling is on here, and only
  // silence is spared it.
  writeSine(dir / "quiet.wav", -40, 2, 3);
  ASSERT_EQ(studio(dir.path(), {"render", "quiet.wav", "on.png", "--size", "64x48", "--from", "2", "--overwrite"}).status,
            0);
  ASSERT_EQ(studio(dir.path(), {"render", "quiet.wav", "off.png", "--size", "64x48", "--from", "2", "--level", "off",
                                "--overwrite"})
                .status,
            0);
  EXPECT_GT(vt::meanDifference(vt::frameRgb(dir / "on.png"), vt::frameRgb(dir / "off.png")), 1.0);
}

// What was measured is kept for that very file: a second still of the song
// takes the kept figure (said with --verbose) and is the same picture; a
// song changed since, a damaged entry, or a cache folder that cannot be
// made is measured again (R128's reading of a known sine), never a failure.
TEST_F(Levelling, TheMeasureIsKeptForTheSameFileOnly) {
  const std::string cache = dir / "cache";
  ASSERT_EQ(setenv("XDG_CACHE_HOME", cache.c_str(), 1), 0);
  const std::string kept = "as measured before";
  const auto still = [&](const std::string& out) {
    return studio(dir.path(), {"render", "song.wav", out, "--size", "64x48", "--from", "1", "--verbose",
                               "--overwrite"});
  };
  writeSine(dir / "song.wav", -23);
  const StudioRun first = still("a.png");
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.err.find(kept), std::string::npos) << first.err;
  const StudioRun second = still("b.png");
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_NE(second.err.find(kept), std::string::npos) << second.err;
  EXPECT_NEAR(measured(second.err), -23, 0.15) << second.err;
  EXPECT_EQ(vt::frameRgb(dir / "a.png"), vt::frameRgb(dir / "b.png"));

  writeSine(dir / "song.wav", -33);
  const StudioRun changed = still("c.png");
  EXPECT_EQ(changed.err.find(kept), std::string::npos) << changed.err;
  EXPECT_NEAR(measured(changed.err), -33, 0.15) << changed.err;

  for (const auto& entry : std::filesystem::directory_iterator(cache + "/vrax-studio/loudness")) {
    std::ofstream(entry.path()) << "vrax-studio loudness 1\nnot this\n-99\n";
  }
  const StudioRun damaged = still("d.png");
  EXPECT_EQ(damaged.err.find(kept), std::string::npos) << damaged.err;
  EXPECT_NEAR(measured(damaged.err), -33, 0.15) << damaged.err;

  // The entry for this very song, with its key, holding what no song
  // measures, or replaced by a pipe or a link to an endless device: never
  // believed, never waited on, never read whole.
  std::filesystem::remove_all(cache + "/vrax-studio/loudness");
  ASSERT_EQ(still("only.png").status, 0);  // one entry: this song's
  std::string entryPath;
  for (const auto& entry : std::filesystem::directory_iterator(cache + "/vrax-studio/loudness")) {
    entryPath = entry.path();
  }
  ASSERT_FALSE(entryPath.empty());
  const std::string good = vt::readText(entryPath);
  const std::string head = good.substr(0, good.find('\n', good.find('\n') + 1) + 1);
  for (const std::string value : {"100.0", "1e308", "inf", "nan", "-33.0 and more"}) {
    vt::writeText(entryPath, head + value + "\n");
    const StudioRun run = still("v.png");
    EXPECT_EQ(run.err.find(kept), std::string::npos) << value << "\n" << run.err;
    EXPECT_NEAR(measured(run.err), -33, 0.15) << value << "\n" << run.err;
  }
  for (const bool pipe : {true, false}) {
    std::filesystem::remove(entryPath);
    if (pipe) {
      ASSERT_EQ(mkfifo(entryPath.c_str(), 0600), 0);
    } else {
      std::filesystem::create_symlink("/dev/zero", entryPath);
    }
    const StudioRun run = still("w.png");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NEAR(measured(run.err), -33, 0.15) << (pipe ? "a pipe" : "/dev/zero") << "\n" << run.err;
  }

  // The folder keeps the 2,000 newest entries: old ones go as new ones come.
  const std::string folder = cache + "/vrax-studio/loudness";
  for (int i = 0; i < 2100; ++i) {
    const std::string old = folder + "/old" + std::to_string(i);
    vt::writeText(old, "x");
    std::filesystem::last_write_time(old, std::filesystem::file_time_type::clock::now() - std::chrono::hours(24));
  }
  writeSine(dir / "song.wav", -30);
  ASSERT_EQ(still("x.png").status, 0);
  const auto entries = std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator());
  EXPECT_EQ(entries, 2000);
  EXPECT_FALSE(std::filesystem::exists(folder + "/old0")) << "an old entry stayed";
  writeSine(dir / "song.wav", -33);

  std::ofstream(dir / "notAFolder") << "x";
  ASSERT_EQ(setenv("XDG_CACHE_HOME", (dir / "notAFolder").c_str(), 1), 0);
  const StudioRun unwritable = still("e.png");
  EXPECT_EQ(unwritable.status, 0) << unwritable.err;
  EXPECT_NEAR(measured(unwritable.err), -33, 0.15) << unwritable.err;
  unsetenv("XDG_CACHE_HOME");
}

TEST_F(Levelling, BadLevelOptionsAreRefused) {
  writeSine(dir / "song.wav", -20, 2, 1);
  vt::expectRefusals(dir.path(), {"render", "song.wav", "o.png"},
                     {{{"--gain", "41"}, 2, "--gain must be decibels from -40 to 40"},
                      {{"--gain", "nan"}, 2, "--gain"},
                      {{"--gain", "loud"}, 2, "--gain"},
                      {{"--level", "maybe"}, 2, "--level"}},
                     "o.png");
}

// A capture's levelling, with numbers: a −40 dBFS sine is lifted towards
// the reference (−14 LUFS: 26 dB, bounded to 24) at 3 dB a second; silence
// afterwards brings the gain back down to 0 at the same pace, never up.
TEST(RunningLevelling, FollowsTheLoudnessAtAFewDecibelsASecond) {
  RunningLevel level;
  std::vector<float> sine(2048);
  for (size_t i = 0; i < sine.size(); ++i) {
    sine[i] = static_cast<float>(0.01 * std::sin(2 * M_PI * 1000.0 * static_cast<double>(i) / 44100));
  }
  double gain = level.step(sine, 0);
  for (int frame = 1; frame <= 60; ++frame) {
    gain = level.step(sine, 1.0 / 60);
  }
  EXPECT_NEAR(gain, 3.0, 0.01);  // one second at 3 dB a second
  for (int frame = 0; frame < 60 * 30; ++frame) {
    gain = level.step(sine, 1.0 / 60);
  }
  EXPECT_NEAR(gain, 24.0, 0.01);
  const std::vector<float> silence(2048, 0.0f);
  double lowest = gain;
  for (int frame = 0; frame < 60 * 120; ++frame) {
    const double next = level.step(silence, 1.0 / 60);
    EXPECT_LE(next, lowest + 1e-9);
    lowest = next;
  }
  EXPECT_NEAR(lowest, 0.0, 1e-9);
  // A full-scale sine reads about 0 LUFS: brought down 14 dB.
  std::vector<float> full(sine);
  for (float& v : full) {
    v *= 100.0f;
  }
  for (int frame = 0; frame < 60 * 60; ++frame) {
    gain = level.step(full, 1.0 / 60);
  }
  EXPECT_NEAR(gain, -14.0, 0.2);
}

}  // namespace

// A levelled render of an m4a opens the song as few times as it can: to
// render it, to fingerprint it for the kept measure and to measure it
// (each open counted at the C library by a preloaded library); once the
// measure is kept, one fewer.
TEST(SongOpens, ALevelledM4aRenderOpensTheSongAtMostThreeTimes) {
  vt::TempDir dir;
  vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=440:duration=3", "-ac", "2",
                 "-c:a", "aac", dir / "song.m4a"});
  ASSERT_TRUE(std::filesystem::exists(dir / "song.m4a"));
  const std::string counted = dir / "opens.txt";
  const auto opensOfARender = [&] {
    std::filesystem::remove(counted);
    vt::Process render({vt::studioBinary(), "render", "song.m4a", "out.mp4", "--size", "64x48", "--fps", "30",
                        "--overwrite"},
                       dir.path(),
                       {{"DISPLAY", ""},
                        {"XDG_CACHE_HOME", dir / "cache"},
                        {"LD_PRELOAD", COUNT_OPENS_LIBRARY},
                        {"VRAX_COUNT_NAME", "song.m4a"},
                        {"VRAX_COUNT_FILE", counted}});
    EXPECT_EQ(render.wait(120), 0) << render.err();
    std::ifstream lines(counted);
    int opens = 0;
    for (std::string line; std::getline(lines, line);) {
      ++opens;
    }
    return opens;
  };
  const int first = opensOfARender();
  EXPECT_GE(first, 1);  // the count sees the render's own open
  EXPECT_LE(first, 3);
  EXPECT_LE(opensOfARender(), 2);
}
