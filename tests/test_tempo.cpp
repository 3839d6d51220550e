// The beat tracker against click tracks made here at known tempos: the
// tempo within half a BPM after four seconds, every beat within a frame at
// 60 fps, the downbeat where the bar's first click is louder, a step of
// tempo followed within four seconds, and no beat where there is none.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <thread>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sound/tempo.h"
#include "support.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// A click: 20 ms of a 1.5 kHz tone over a little noise, dying away.
double click(double since, std::mt19937& noise) {
  if (since < 0 || since >= 0.02) {
    return 0;
  }
  std::uniform_real_distribution<double> n(-0.3, 0.3);
  return (std::sin(2 * kPi * 1500 * since) + n(noise)) * std::exp(-since * 150);
}

// Clicks at the given beat times, the first of each bar of four louder
// (from the beat `downbeat` on), in stereo 16-bit values.
std::vector<int16_t> clickTrack(const std::vector<double>& beats, double seconds, int rate, int downbeat = 0) {
  std::vector<int16_t> values(static_cast<size_t>(seconds * rate) * 2, 0);
  std::mt19937 noise(7);
  for (size_t b = 0; b < beats.size(); ++b) {
    const double loud = (static_cast<int>(b) - downbeat) % 4 == 0 ? 0.8 : 0.35;
    const auto first = static_cast<int64_t>(std::ceil(beats[b] * rate));
    for (int64_t f = first; f < first + rate / 50 && f * 2 + 1 < static_cast<int64_t>(values.size()); ++f) {
      const double v = loud * click(static_cast<double>(f) / rate - beats[b], noise);
      values[static_cast<size_t>(f * 2)] = values[static_cast<size_t>(f * 2 + 1)] =
          static_cast<int16_t>(std::lrint(v * 32767));
    }
  }
  return values;
}

std::vector<double> steadyBeats(double bpm, double first, double seconds) {
  std::vector<double> beats;
  for (double t = first; t < seconds; t += 60.0 / bpm) {
    beats.push_back(t);
  }
  return beats;
}

}  // namespace

// The example song, built at 128 BPM from t = 0 (tools/makeExample): drums
// in bars 4-9 and 12-15 around a breakdown and a bar of silence. Where the
// drums play, from their third beat (the beat taken up again within two),
// every beat of the song is a beat of the grid (within 20 ms) at 128 ± 0.5
// BPM, after the break too.
TEST(Tempo, TheExampleSongsBeatIsFoundAndTakenUpAgainAfterItsBreak) {
  vt::TempDir dir;
  ASSERT_EQ(vt::runOutput({vt::makeExampleBinary(), dir / "example.wav"}).find("error"), std::string::npos);
  const Result<BeatGrid> grid = findBeats({dir / "example.wav"}, TempoSettings{});
  ASSERT_TRUE(grid.ok()) << grid.why();
  ASSERT_TRUE(grid.value().steady());
  const double beat = 60.0 / 128;
  for (const auto& [firstBar, endBar] : {std::pair<int, int>{4, 10}, {12, 16}}) {
    for (int k = firstBar * 4 + 2; k < endBar * 4; ++k) {
      const BeatAt at = grid.value().at(k * beat + 0.001);
      double off = at.beatPhase;
      off -= std::round(off);
      EXPECT_LT(std::fabs(off) * beat, 0.02) << "the beat at " << k * beat << " s";
      EXPECT_NEAR(at.bpm, 128, 0.5) << "at " << k * beat << " s";
    }
  }
}

// A capture's beat as it is heard: a click track fed a 60th of a second at
// a time gives its tempo within half a BPM after ten seconds, and a phase
// within a tenth of a beat of the truth; silence after it rests.
TEST(Tempo, TheLiveEstimateFollowsTheClicksAsTheyArrive) {
  const std::vector<double> truth = steadyBeats(120, 0.25, 16);
  const std::vector<int16_t> clicks = clickTrack(truth, 16, 44100);
  LiveTempo live(44100, 4);
  constexpr size_t kTick = 735 * 2;  // a 60th of a second, stereo
  for (size_t at = 0; at < clicks.size(); at += kTick) {
    live.add(std::vector<int16_t>(clicks.begin() + static_cast<std::ptrdiff_t>(at),
                                  clicks.begin() + static_cast<std::ptrdiff_t>(std::min(clicks.size(), at + kTick))),
             2);
    const double heard = static_cast<double>(std::min(clicks.size(), at + kTick)) / 2 / 44100;
    if (heard > 10) {
      const BeatAt now = live.now();
      ASSERT_NEAR(now.bpm, 120, 0.5) << "at " << heard << " s";
      double off = now.beatPhase - std::fmod((heard - 0.25) * 2, 1.0);
      off -= std::round(off);
      ASSERT_LT(std::fabs(off), 0.1) << "at " << heard << " s";
    }
  }
  live.add(std::vector<int16_t>(44100 * 2 * 5, 0), 2);
  EXPECT_EQ(live.now().bpm, 0);
}

// A picture that draws how far its beat input is from the true beat at its
// own time, in seconds: grey 128 on time, 4 codes a millisecond early or
// late. The click track below beats at 120 BPM from 0.25 s.
constexpr const char* kBeatError = R"(
  float truth = fract((itime - 0.25) * 2.0);
  float off = beatPhase - truth;
  off -= round(off);  // a phase of 0.99 against 0.01 is 0.02 early
  float bpmOff = abs(bpm - 120.0) < 0.5 ? 1.0 : 0.0;
  FragColor = vec4(0.5 + off * 0.5 * 1.02, bpmOff, float(barIndex & 1), 1.0);)";

// Frames of a video as RGB bytes, `width` × `height` each.
std::vector<std::string> rgbFrames(const std::string& file, int width, int height) {
  const std::string bytes =
      vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", file, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
  std::vector<std::string> frames;
  const size_t size = static_cast<size_t>(width) * height * 3;
  for (size_t at = 0; at + size <= bytes.size(); at += size) {
    frames.push_back(bytes.substr(at, size));
  }
  return frames;
}

// How far a frame's beatPhase is from the truth, in seconds at 120 BPM (its middle pixel).
double beatError(const std::string& frame, int width, int height) {
  const size_t middle = (static_cast<size_t>(height / 2) * width + width / 2) * 3;
  return (static_cast<unsigned char>(frame[middle]) - 127.5) / 255.0 / 1.02 * 2.0 * 0.5;
}

// At each tempo and rate: the tempo read anywhere after four seconds within
// half a BPM, each beat's own frame at 60 fps the one the grid starts a beat
// in (±1), and the louder click found as the downbeat.
TEST(Tempo, ClickTracksAtKnownTemposGiveTheirTempoBeatsAndDownbeat) {
  for (const int rate : {44100, 48000}) {
    for (const double bpm : {70.0, 90.0, 120.0, 128.0, 140.0, 174.0}) {
      SCOPED_TRACE(std::to_string(bpm) + " BPM at " + std::to_string(rate) + " Hz");
      // Two beats of lead-in before the first downbeat, the bar starting late.
      const std::vector<double> truth = steadyBeats(bpm, 0.3, 30);
      const BeatGrid grid = findBeats(clickTrack(truth, 30, rate, 2), 2, rate, TempoSettings{});
      ASSERT_TRUE(grid.steady());
      for (double t = 4; t < 29; t += 0.37) {
        ASSERT_NEAR(grid.at(t).bpm, bpm, 0.5) << "at " << t << " s";
      }
      // Frame n at 60 fps starts a beat when the phase wraps between n − 1 and n.
      int worst = 0;
      for (size_t b = 0; b + 1 < truth.size(); ++b) {
        const auto trueFrame = static_cast<int>(std::ceil(truth[b] * 60));
        int found = -1000;
        for (int n = trueFrame - 3; n <= trueFrame + 3; ++n) {
          if (grid.at(n / 60.0).beatIndex != grid.at((n - 1) / 60.0).beatIndex) {
            found = n;
          }
        }
        worst = std::max(worst, std::abs(found - trueFrame));
      }
      EXPECT_LE(worst, 1);
      // The louder click (the third beat) starts bar 0; the two before are its lead-in.
      const BeatAt atDownbeat = grid.at(truth[2] + 0.01);
      EXPECT_EQ(atDownbeat.barIndex, 0);
      EXPECT_LT(atDownbeat.barPhase, 0.05);
      EXPECT_EQ(grid.at(truth[6] + 0.01).barIndex, 1);
      EXPECT_EQ(grid.at(truth[1] + 0.01).barIndex, -1);
    }
  }
}

// 120 BPM for 30 s, then 128: the tempo read 128 ± 0.5 from four seconds after.
TEST(Tempo, AStepOfTempoIsFollowedWithinFourSeconds) {
  std::vector<double> truth = steadyBeats(120, 0.25, 30);
  for (double t = truth.back() + 60.0 / 128; t < 60; t += 60.0 / 128) {
    truth.push_back(t);
  }
  const BeatGrid grid = findBeats(clickTrack(truth, 60, 44100), 2, 44100, TempoSettings{});
  ASSERT_TRUE(grid.steady());
  EXPECT_NEAR(grid.at(25).bpm, 120, 0.5);
  for (double t = 34; t < 59; t += 0.25) {
    ASSERT_NEAR(grid.at(t).bpm, 128, 0.5) << "at " << t << " s";
  }
}

// Silence, a held tone and clicks at random times give no grid: bpm 0 and
// the phases at rest.
TEST(Tempo, NoSteadyBeatGivesNoTempo) {
  std::mt19937 random(3);
  std::vector<double> scattered;
  for (double t = 0.2; t < 30; t += std::uniform_real_distribution<double>(0.15, 1.4)(random)) {
    scattered.push_back(t);
  }
  std::vector<int16_t> tone(44100 * 20 * 2);
  for (size_t i = 0; i < tone.size(); ++i) {
    tone[i] = static_cast<int16_t>(8000 * std::sin(2 * kPi * 220 * static_cast<double>(i / 2) / 44100));
  }
  const struct {
    const char* name;
    std::vector<int16_t> sound;
  } cases[] = {{"silence", std::vector<int16_t>(44100 * 20 * 2, 0)}, {"a held tone", tone},
               {"clicks at random", clickTrack(scattered, 30, 44100)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const BeatGrid grid = findBeats(c.sound, 2, 44100, TempoSettings{});
    EXPECT_FALSE(grid.steady()) << grid.beats().size() << " beats, " << grid.bpm() << " BPM";
    const BeatAt at = grid.at(10);
    EXPECT_EQ(at.bpm, 0);
    EXPECT_EQ(at.beatPhase, 0);
    EXPECT_EQ(at.barIndex, 0);
  }
}

// The beat inputs end to end: a render of a click track at 30 and 60 fps
// and `play` of the same file streamed to a receiver, each frame drawing how
// far its beatPhase is from the click track's own beat at its time: a
// render within 2 ms, play (its frames' moments as it drew them) within a
// 60th of a second; bpm read as 120 after four seconds.
TEST(Tempo, RenderAndPlayReadTheSameBeatAtTheSameMoment) {
  vt::TempDir dir;
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   vt::fragmentShader("  " + std::string(kBeatError)).insert(
                       std::string("#version 450 core\n").size(),
                       "uniform float bpm;\nuniform float beatPhase;\nuniform int barIndex;\n"));
  // 12 s: a whole number of beats, so play's loop keeps the beat.
  const std::vector<double> truth = steadyBeats(120, 0.25, 12);
  ASSERT_TRUE(vt::writeShorts(dir / "clicks.wav", clickTrack(truth, 12, 44100), 2, 44100));
  for (const char* fps : {"30", "60"}) {
    SCOPED_TRACE(std::string("render at ") + fps + " fps");
    const vt::StudioRun run = vt::studio(dir.path(), {"render", "clicks.wav", "beat.mov", "--codec", "png", "--size",
                                                      "16x16", "--fps", fps, "--level", "off", "--verbose", "--overwrite"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("the beat of clicks.wav: 120.0 BPM (1"), std::string::npos) << run.err;
    const std::vector<std::string> frames = rgbFrames(dir / "beat.mov", 16, 16);
    ASSERT_EQ(frames.size(), static_cast<size_t>(12 * std::atoi(fps)));
    for (size_t n = 0; n < frames.size(); ++n) {
      ASSERT_NEAR(beatError(frames[n], 16, 16), 0.0, 0.002) << "frame " << n;
      if (n >= static_cast<size_t>(4 * std::atoi(fps))) {
        ASSERT_EQ(static_cast<unsigned char>(frames[n][16 * 8 * 3 + 8 * 3 + 1]), 255) << "bpm at frame " << n;
      }
    }
  }
  // Shadertoy's form: iBpm, iBeatPhase and iBarPhase, a still 5.6 s in
  // (2.7 beats after the downbeat at 4.25 s: bar 1, found from the louder click).
  vt::writeText(dir / "beat.glsl", R"(void mainImage(out vec4 fragColor, in vec2 fragCoord) {
  fragColor = vec4(iBeatPhase, iBarPhase, iBpm / 255.0, 1.0);
})");
  const vt::StudioRun still = vt::studio(dir.path(), {"render", "clicks.wav", "beat.png", "--shaders", "beat.glsl",
                                                      "--size", "16x16", "--from", "5.6", "--level", "off"});
  ASSERT_EQ(still.status, 0) << still.err;
  const std::string pixel = vt::frameRgb(dir / "beat.png").substr(0, 3);
  EXPECT_NEAR(static_cast<unsigned char>(pixel[0]), 0.7 * 255, 1.5);
  EXPECT_NEAR(static_cast<unsigned char>(pixel[1]), (2.7 / 4) * 255, 1.5);
  EXPECT_EQ(static_cast<unsigned char>(pixel[2]), 120);

  // play, streamed: its frames as it drew them at the song's position.
  const int port = vt::freePort(SOCK_DGRAM);
  // The receiver takes four seconds of frames and ends.
  vt::Process receiver({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "mpegts", "-i",
                        "srt://127.0.0.1:" + std::to_string(port) + "?mode=listener", "-c", "copy", "-frames:v",
                        "120", "-f", "mpegts", dir / "got.ts"},
                       dir.path());
  ASSERT_TRUE(vt::listening(port, true, 10)) << receiver.err();
  vt::Process play({vt::studioBinary(), "play", "clicks.wav", "--stream", "srt://127.0.0.1:" + std::to_string(port),
                    "--no-window", "--size", "64x48", "--level", "off"},
                   dir.path(), {{"ALSOFT_DRIVERS", "null"}, {"DISPLAY", ""}});
  EXPECT_EQ(receiver.wait(40), 0) << receiver.err();
  kill(play.pid(), SIGINT);
  EXPECT_EQ(play.wait(10), 130) << play.err();
  const std::vector<std::string> frames = rgbFrames(dir / "got.ts", 64, 48);
  ASSERT_GE(frames.size(), 100u);
  for (size_t n = 0; n < frames.size(); ++n) {
    ASSERT_NEAR(beatError(frames[n], 64, 48), 0.0, 1.0 / 60) << "streamed frame " << n;
  }
}

// A playlist over a click track at 120 BPM (downbeats every 2 s from 0.25 s,
// found from the louder first click): --change-every 1 --crossfade 2, so
// ring gives way to bars from the downbeat at 2.25 s over one second, bars
// to ring from 4.25 s. Every frame is its picture's own frame at that moment
// (each rendered alone), or during a crossfade their blend by how far it
// is through it, within 2/255.
TEST(Playlist, ChangesStartOnDownbeatsAndBlendBothPicturesOwnFrames) {
  vt::TempDir dir;
  const std::vector<double> truth = steadyBeats(120, 0.25, 8);
  ASSERT_TRUE(vt::writeShorts(dir / "clicks.wav", clickTrack(truth, 8, 44100), 2, 44100));
  const std::vector<std::string> common = {"--size", "64x36", "--fps", "30", "--to", "6", "--codec", "png",
                                           "--level", "off"};
  const auto render = [&](const std::string& out, std::vector<std::string> args) {
    args.insert(args.begin(), {"render", "clicks.wav", out});
    args.insert(args.end(), common.begin(), common.end());
    const vt::StudioRun run = vt::studio(dir.path(), args);
    EXPECT_EQ(run.status, 0) << run.err;
  };
  render("ring.mov", {"--picture", "ring"});
  render("bars.mov", {"--picture", "bars"});
  render("both.mov", {"--picture", "ring,bars", "--change-every", "1", "--crossfade", "2"});
  const std::vector<std::string> alone[2] = {rgbFrames(dir / "ring.mov", 64, 36), rgbFrames(dir / "bars.mov", 64, 36)};
  const std::vector<std::string> both = rgbFrames(dir / "both.mov", 64, 36);
  ASSERT_EQ(both.size(), 180u);
  ASSERT_EQ(alone[0].size(), both.size());
  ASSERT_EQ(alone[1].size(), both.size());
  int blended = 0;
  for (size_t n = 0; n < both.size(); ++n) {
    const double bar = (static_cast<double>(n) / 30 - 0.25) / 2;  // bars since the first downbeat
    const int segment = std::max(0, static_cast<int>(std::floor(bar)));
    const double beatsIn = (bar - segment) * 4;
    const double mix = segment > 0 && beatsIn < 2 ? beatsIn / 2 : 1;
    const std::string& to = alone[segment % 2][n];
    const std::string& from = alone[(segment + 1) % 2][n];
    int worst = 0;
    for (size_t i = 0; i < both[n].size(); ++i) {
      const double want = static_cast<unsigned char>(from[i]) * (1 - mix) + static_cast<unsigned char>(to[i]) * mix;
      worst = std::max(worst, static_cast<int>(std::ceil(std::fabs(static_cast<unsigned char>(both[n][i]) - want) - 0.5)));
    }
    ASSERT_LE(worst, 2) << "frame " << n << " (" << (mix < 1 ? "crossfading, " : "") << "mix " << mix << ")";
    blended += mix < 1;
  }
  EXPECT_EQ(blended, 2 * 30);  // two crossfades of a second
}

// Each picture of a list keeps its own settings: --set plasma.NAME changes
// plasma where it shows and leaves ring's frames as they were.
TEST(Playlist, EachPictureKeepsItsOwnSettings) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeShorts(dir / "clicks.wav", clickTrack(steadyBeats(120, 0.25, 6), 6, 44100), 2, 44100));
  const auto still = [&](const std::string& at, const std::vector<std::string>& more) {
    std::vector<std::string> args = {"render", "clicks.wav", "still.png", "--picture", "ring,plasma", "--change-every",
                                     "1", "--from", at, "--size", "64x36", "--overwrite", "-q"};
    args.insert(args.end(), more.begin(), more.end());
    const vt::StudioRun run = vt::studio(dir.path(), args);
    EXPECT_EQ(run.status, 0) << run.err;
    return vt::frameRgb(dir / "still.png");
  };
  const std::vector<std::string> set = {"--set", "plasma.tint=#ff0000"};
  EXPECT_EQ(still("1", {}), still("1", set)) << "ring shows at 1 s: unchanged";
  EXPECT_GT(vt::meanDifference(still("3.5", {}), still("3.5", set)), 2.0) << "plasma shows at 3.5 s: its glow changed";
  // A bare name reaches every picture of the list that has it, the first
  // one too (its sets are read before its settings are handed on).
  const std::vector<std::string> bare = {"--set", "backColour=#ff0000"};
  EXPECT_GT(vt::meanDifference(still("1", {}), still("1", bare)), 20.0) << "ring's background turned red";
  EXPECT_EQ(still("3.5", {}), still("3.5", bare)) << "plasma has no backColour: unchanged";
}

// The same --seed makes the same video byte for byte; another seed another
// order. Lists and their options that cannot be used are refused in one line.
TEST(Playlist, ASeedMakesTheSameVideoAndBadListsAreRefused) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeShorts(dir / "clicks.wav", clickTrack(steadyBeats(120, 0.25, 12), 12, 44100), 2, 44100));
  const auto md5 = [&](const std::string& seed) {
    const vt::StudioRun run = vt::studio(dir.path(), {"render", "clicks.wav", "s.mkv", "--picture", "all", "--shuffle",
                                                      "--seed", seed, "--change-every", "1", "--size", "32x18",
                                                      "--fps", "10", "--overwrite", "-q"});
    EXPECT_EQ(run.status, 0) << run.err;
    return vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / "s.mkv", "-map", "0:v", "-f", "framemd5", "-"});
  };
  const std::string first = md5("7");
  EXPECT_EQ(md5("7"), first);
  EXPECT_NE(md5("8"), first);
  vt::expectRefusals(dir.path(), {"render", "clicks.wav", "out.mp4"},
                     {{{"--picture", "ring,nosuch"}, 2, "nosuch"},
                      {{"--picture", "ring,,bars"}, 2, "--picture: an empty name in the list"},
                      {{"--picture", "ring,"}, 2, "--picture: an empty name in the list"},
                      {{"--picture", "ring", "--change-every", "2"}, 2, "need a list of pictures"},
                      {{"--picture", "ring,bars", "--change-every", "0"}, 2, "--change-every must be bars"},
                      {{"--picture", "ring,bars", "--crossfade", "-1"}, 2, "--crossfade must be beats"},
                      {{"--picture", "ring,bars", "--change-every", "1", "--crossfade", "5"}, 2, "longer than"},
                      {{"--picture", "ring,bars", "--seed", "x"}, 2, "--seed must be"},
                      {{"--picture", "ring,bars", "--set", "plasma.glowColour=#ff0"}, 2, "plasma is not one of"},
                      {{"--picture", "ring,bars", "--set", "nosuch=1"}, 2, "no picture of the list has a setting"}},
                     "out.mp4");
}

// A render of a list with a picture that does not build fails with that
// picture's reason and leaves no file (play, below, leaves it out and goes on).
TEST(Playlist, ARenderOfAListWithABrokenPictureFailsAndWritesNothing) {
  vt::TempDir dir;
  const std::string gallery = dir / "gallery";
  vt::writeGalleryPicture(gallery, "red", "FragColor = vec4(1.0, 0.0, 0.0, 1.0);");
  vt::writeGalleryPicture(gallery, "broken", "FragColor = nothing;");
  ASSERT_TRUE(vt::writeShorts(dir / "clicks.wav", clickTrack(steadyBeats(120, 0.25, 4), 4, 44100), 2, 44100));
  vt::Process render({vt::studioBinary(), "render", "clicks.wav", "out.mp4", "--picture", "red,broken", "--size",
                      "32x18", "--fps", "10"},
                     dir.path(), {{"VRAX_PICTURES", gallery}});
  EXPECT_EQ(render.wait(120), 1) << render.err();
  EXPECT_NE(render.err().find("does not build"), std::string::npos) << render.err();
  EXPECT_NE(render.err().find("nothing"), std::string::npos) << render.err();
  EXPECT_FALSE(std::filesystem::exists(dir / "out.mp4"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2) << "only the song and the gallery";
}

// Party mode in play: a list's pictures change on the music's bars, one
// that does not build is skipped with one line, L holds the picture showing
// (no change for more than two bars) and lets go again, N steps the list.
TEST(Playlist, PlayChangesPicturesAndLocksStepsAndSkipsABrokenOne) {
  if (std::getenv("DISPLAY") == nullptr) {
    GTEST_SKIP() << "no display for a window";
  }
  vt::TempDir dir;
  const std::string gallery = dir / "gallery";
  vt::writeGalleryPicture(gallery, "red", "FragColor = vec4(1.0, 0.0, 0.0, 1.0);");
  vt::writeGalleryPicture(gallery, "broken", "FragColor = nothing;");
  vt::writeGalleryPicture(gallery, "blue", "FragColor = vec4(0.0, 0.0, 1.0, 1.0);");
  // A bar every 2 s: the pictures take turns every bar, cut on the downbeat.
  ASSERT_TRUE(vt::writeShorts(dir / "clicks.wav", clickTrack(steadyBeats(120, 0.25, 40), 40, 44100), 2, 44100));
  vt::Process play({vt::studioBinary(), "play", "clicks.wav", "--picture", "red,broken,blue", "--change-every", "1",
                    "--crossfade", "0", "--size", "160x120"},
                   dir.path(), {{"ALSOFT_DRIVERS", "null"}, {"VRAX_PICTURES", gallery}});
  ASSERT_EQ(vt::wmctl({"wait", "clicks.wav", "30"}, nullptr, 40), 0) << play.err();
  const auto centre = [&]() {
    if (vt::wmctl({"snap", "clicks.wav", dir / "snap.ppm"}) != 0) {
      return std::string();
    }
    return vt::frameRgb(dir / "snap.ppm").substr(3 * (60 * 160 + 80), 3);
  };
  const std::string red("\xff\x00\x00", 3);
  const std::string blue("\x00\x00\xff", 3);
  // Seen to change colour within `seconds`, from `now` (what showed before).
  const auto changesFrom = [&](const std::string& now, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
      const std::string seen = centre();
      if (!seen.empty() && seen != now && (seen == red || seen == blue)) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  };
  const auto changes = [&](double seconds) { return changesFrom(centre(), seconds); };
  EXPECT_TRUE(changes(5)) << play.err();
  EXPECT_TRUE(changes(5)) << play.err();
  EXPECT_NE(play.err().find("--picture: broken does not build; skipped"), std::string::npos) << play.err();
  vt::wmctl({"key", "clicks.wav", "l"});
  // What shows when the lock is taken may be the picture it locks after a frame in flight.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(changes(4.5)) << "locked, yet the picture changed";
  const std::string locked = centre();
  vt::wmctl({"key", "clicks.wav", "n"});
  EXPECT_TRUE(changesFrom(locked, 3)) << "N steps the list while locked";
  vt::wmctl({"key", "clicks.wav", "l"});
  EXPECT_TRUE(changes(5)) << "unlocked, the pictures change again";
  vt::wmctl({"close", "clicks.wav"});
  EXPECT_EQ(play.wait(20), 0) << play.err();
  EXPECT_NE(play.out().find("Locked on "), std::string::npos) << play.out();
  EXPECT_NE(play.out().find("Unlocked"), std::string::npos) << play.out();
}
