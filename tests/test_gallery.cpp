// Every picture in pictures/, one parameterised suite (a new folder there is
// tested without touching this file): it builds and renders, reacts to the
// music, lives in silence, never writes a NaN or an infinity, and draws in a
// window what a render draws at the same time. Then stepping through the
// gallery in play, with a broken picture skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "sound/analysis.h"
#include "picture/offscreen.h"
#include "picture/picture.h"
#include "picture/shaderSource.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> pictureNames() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(vt::sourceDir() + "/pictures", ec)) {
    if (entry.is_directory()) {
      names.push_back(entry.path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string about(const std::string& name) {
  std::ifstream in(vt::sourceDir() + "/pictures/" + name + "/about.txt");
  std::string line;
  std::getline(in, line);
  return line;
}

// The exit status of a render, its standard error in err.
int studio(const std::string& dir, const std::vector<std::string>& args, std::string* err = nullptr) {
  const vt::StudioRun run = vt::studio(dir, args, 120);
  if (err != nullptr) {
    *err = run.err;
  }
  return run.status;
}

using vt::mean;
using vt::meanDifference;

std::string rgb(const std::string& file) {
  return vt::frameRgb(file);
}

// Two seconds of music (kicks, a chord, hats, a high tone) then two of silence.
double music(int64_t f) {
  const double t = static_cast<double>(f) / 44100;
  if (t >= 2.0) {
    return 0.0;
  }
  const double beat = std::fmod(t, 0.5);
  const double kick = std::exp(-beat * 18) * std::sin(2 * M_PI * (50 + 90 * std::exp(-beat * 30)) * beat);
  const double chord = std::sin(2 * M_PI * 220 * t) + std::sin(2 * M_PI * 277 * t) + std::sin(2 * M_PI * 330 * t);
  const double hat = std::fmod(t + 0.25, 0.5) < 0.03 ? std::sin(f * 12.9898) * 0.5 : 0.0;
  return 0.5 * kick + 0.08 * chord + hat + 0.05 * std::sin(2 * M_PI * 3000 * t);
}

class Gallery : public ::testing::TestWithParam<std::string> {
 protected:
  std::string path() const { return vt::sourceDir() + "/pictures/" + GetParam(); }
  vt::TempDir dir;
};

TEST_P(Gallery, HasADescriptionAndIsListed) {
  EXPECT_FALSE(about(GetParam()).empty());
  const std::string listed = vt::runOutput({vt::studioBinary(), "pictures"});
  EXPECT_NE(listed.find(GetParam() + " "), std::string::npos) << listed;
}

TEST_P(Gallery, ReactsToMusicAndLivesInSilence) {
  ASSERT_TRUE(vt::writeSound(dir / "song.wav", 44100 * 4, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t f, int) { return music(f); }));
  // As long as the song, so the two differ in their sound only (progress, the clock alike).
  ASSERT_TRUE(vt::writeSound(dir / "silence.wav", 44100 * 4, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t, int) { return 0.0; }));
  std::string err;
  const std::vector<std::pair<std::string, std::string>> stills = {
      {"song.wav", "1.0"}, {"song.wav", "3.5"}, {"silence.wav", "1.0"}, {"silence.wav", "2.0"}};
  std::vector<std::string> pictures;
  for (size_t i = 0; i < stills.size(); ++i) {
    const std::string out = dir / ("still" + std::to_string(i) + ".png");
    ASSERT_EQ(studio(dir.path(), {"render", stills[i].first, out, "--picture", GetParam(), "--from", stills[i].second,
                                  "--size", "160x120"},
                     &err),
              0)
        << err;
    pictures.push_back(rgb(out));
  }
  // The same moment with music and without: a picture driven by its clock alone looks the same.
  EXPECT_GE(meanDifference(pictures[0], pictures[2]), 3.0) << "the music at 1 s and silence at 1 s look alike";
  EXPECT_GE(meanDifference(pictures[0], pictures[1]), 3.0) << "a loud moment and a silent one look alike";
  EXPECT_GT(mean(pictures[2]), 2.0) << "silence is black";
  EXPECT_GT(meanDifference(pictures[2], pictures[3]), 0.2) << "silence is frozen";
}

// Drawn directly into float pixels: any NaN or infinity a picture computes
// stays one, where an 8-bit picture would hide it.
TEST_P(Gallery, NeverComputesANaNOrAnInfinity) {
  OffscreenContext context;
  const Status opened = context.open(96, 64, true);
  ASSERT_TRUE(opened) << opened.why();
  Picture picture;
  const Result<ShaderSource> source = findShaderSource(path());
  ASSERT_TRUE(source) << source.why();
  const Result<PictureSource> passes = readPictureSource(source.value());
  ASSERT_TRUE(passes) << passes.why();
  const Status built = picture.build(passes.value(), nullptr);
  ASSERT_TRUE(built) << built.why();

  std::mt19937 random(7);
  std::uniform_int_distribution<int> noise(-32768, 32767);
  const std::vector<std::pair<const char*, std::function<int16_t(int64_t)>>> sounds = {
      {"silence", [](int64_t) { return int16_t(0); }},
      {"full-scale noise", [&](int64_t) { return static_cast<int16_t>(noise(random)); }},
      {"0 Hz offset", [](int64_t) { return int16_t(32767); }},
  };
  for (const auto& [name, sample] : sounds) {
    std::vector<int16_t> samples(44100 * 2);
    for (size_t i = 0; i < samples.size(); ++i) {
      samples[i] = sample(static_cast<int64_t>(i));
    }
    Analysis analysis(44100);
    FrameSound sound;
    for (int n = 0; n < 20; ++n) {
      soundAround(samples, 0, 2, n * 735, sound);
      const AudioInputs& inputs = analysis.step(sound, n / 60.0);
      picture.setInputs(inputs);
      FrameTimes times;
      times.seconds = n / 60.0;
      times.delta = 1 / 60.0;
      times.frame = n;
      picture.draw(96, 64, times);
    }
    std::vector<float> pixels(96 * 64 * 4);
    glReadPixels(0, 0, 96, 64, GL_RGBA, GL_FLOAT, pixels.data());
    const size_t bad = static_cast<size_t>(
        std::count_if(pixels.begin(), pixels.end(), [](float v) { return !std::isfinite(v); }));
    EXPECT_EQ(bad, 0u) << name;
  }
}

// The same time in a window and in a render: the same picture. The song is
// silent, so what is compared is the drawing and its time, not where within
// a frame the window happened to take its samples (the inputs' own suite
// compares those). The render runs at 240 frames a second so one lands
// within 4 ms of the window's; pictures that feed back their last frame
// carry a history of their own frames, so they render at the window's 60
// and are held to a looser bound.
TEST_P(Gallery, AWindowDrawsWhatARenderDraws) {
  if (std::getenv("DISPLAY") == nullptr) {
    GTEST_SKIP() << "no display for a window";
  }
  ASSERT_TRUE(vt::writeSound(dir / "song.wav", 44100 * 20, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t, int) { return 0.0; }));
  vt::Process play({vt::studioBinary(), "play", "song.wav", "--picture", GetParam(), "--size", "160x120"},
                   dir.path(), {{"ALSOFT_DRIVERS", "null"}});
  ASSERT_EQ(vt::wmctl({"wait", "song.wav", "30"}, nullptr, 40), 0) << play.err();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  const std::string paused = vt::pauseAndReadPosition(play, "song.wav");
  ASSERT_FALSE(paused.empty()) << play.out() << play.err();
  // The paused frame, once the window shows it (a busy machine may still be
  // drawing the frame before).
  ASSERT_TRUE(vt::snapWhenStill("song.wav", dir / "window.ppm")) << "the paused window kept changing";
  vt::wmctl({"close", "song.wav"});
  EXPECT_EQ(play.wait(20), 0) << play.err();

  const bool feedsBack = !vt::runOutput({"/bin/grep", "-rl", "uniform sampler2D previous", path() + "/"}).empty() ||
                         fs::exists(path() + "/buffer-a.glsl");
  std::string err;
  ASSERT_EQ(studio(dir.path(),
                   {"render", "song.wav", "still.png", "--picture", GetParam(), "--from", paused, "--size", "160x120",
                    "--fps", feedsBack ? "60" : "240"},
                   &err),
            0)
      << err;
  const double difference = meanDifference(rgb(dir / "window.ppm"), rgb(dir / "still.png"));
  EXPECT_LT(difference, feedsBack ? 12.0 : 3.0) << "at " << paused << " s";
}

// N and P (and Page Down / Page Up) step through a gallery; a picture that
// does not build is skipped with a line, and the title names the picture.
TEST(GalleryInPlay, StepsThroughPicturesAndSkipsABrokenOne) {
  if (std::getenv("DISPLAY") == nullptr) {
    GTEST_SKIP() << "no display for a window";
  }
  vt::TempDir dir;
  const std::string gallery = dir / "gallery";
  vt::writeGalleryPicture(gallery, "a-red", "FragColor = vec4(1.0, 0.0, 0.0, 1.0);");
  vt::writeGalleryPicture(gallery, "b-broken", "FragColor = nothing;");
  vt::writeGalleryPicture(gallery, "c-blue", "FragColor = vec4(0.0, 0.0, 1.0, 1.0);");
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100 * 20, 2, 44100));
  vt::Process play({vt::studioBinary(), "play", "song.wav", "--picture", "a-red", "--size", "160x120"}, dir.path(),
                   {{"ALSOFT_DRIVERS", "null"}, {"VRAX_PICTURES", gallery}});
  ASSERT_EQ(vt::wmctl({"wait", "song.wav", "30"}, nullptr, 40), 0) << play.err();
  auto centre = [&]() {
    if (vt::wmctl({"snap", "song.wav", dir / "snap.ppm"}) != 0) {
      ADD_FAILURE() << "no snapshot of the window";
      return std::string();
    }
    const std::string pixels = rgb(dir / "snap.ppm");
    return pixels.substr(3 * (60 * 160 + 80), 3);
  };
  auto until = [&](const std::string& colour) {
    for (int i = 0; i < 300; ++i) {
      if (centre() == colour) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  const std::string red("\xff\x00\x00", 3);
  const std::string blue("\x00\x00\xff", 3);
  ASSERT_TRUE(until(red)) << play.err();
  vt::wmctl({"key", "song.wav", "n"});
  ASSERT_TRUE(until(blue)) << play.err();
  EXPECT_NE(play.err().find("skipping the picture b-broken"), std::string::npos) << play.err();
  std::string title;
  for (int i = 0; i < 100 && title.find("c-blue") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    vt::wmctl({"title", "song.wav"}, &title);
  }
  EXPECT_NE(title.find("c-blue"), std::string::npos) << title;
  vt::wmctl({"key", "song.wav", "Next"});  // Page Down wraps round to the first
  EXPECT_TRUE(until(red));
  vt::wmctl({"key", "song.wav", "Prior"});  // Page Up: back past the broken one
  EXPECT_TRUE(until(blue));
  vt::wmctl({"key", "song.wav", "p"});
  EXPECT_TRUE(until(red));
  vt::wmctl({"close", "song.wav"});
  EXPECT_EQ(play.wait(20), 0) << play.err();
}

// 105 s of loud music, made once for every case: kicks every half second,
// a chord that swells and fades every seven seconds, hats; `scale` times it.
std::string writeMusic(const std::string& name, double scale) {
  const std::string file = vt::sharedInput(name, [scale](const std::string& file) {
    return vt::writeSound(file, 44100 * 105, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16, [scale](int64_t f, int) {
      const double t = static_cast<double>(f) / 44100;
      const double beat = std::fmod(t, 0.5);
      const double kick = 0.6 * std::exp(-beat * 18) * std::sin(2 * M_PI * (50 + 90 * std::exp(-beat * 30)) * beat);
      const double swell = 0.5 + 0.5 * std::sin(2 * M_PI * t / 7);
      const double chord = 0.12 * swell * (std::sin(2 * M_PI * 220 * t) + std::sin(2 * M_PI * 277 * t) +
                                           std::sin(2 * M_PI * 330 * t));
      const double hat = std::fmod(t, 0.25) < 0.02 ? 0.1 * std::sin(f * 1.7) * std::sin(f * 0.31) : 0.0;
      return scale * std::clamp(kick + chord + hat, -0.99, 0.99);
    });
  });
  EXPECT_FALSE(file.empty()) << name;
  return file;
}

const std::string& loudSong() {
  static const std::string path = writeMusic("loud.wav", 1.0);
  return path;
}

// The example song the project ships a writer for: 30 s of real-sounding
// music (drums, bass, chords), where loudSong is a test signal.
const std::string& exampleSong() {
  static const std::string path = vt::sharedInput("example.wav", [](const std::string& file) {
    int status = 0;
    vt::runOutput({vt::makeExampleBinary(), file}, &status);
    return status == 0;
  });
  EXPECT_FALSE(path.empty());
  return path;
}

// The same, 20 dB quieter.
const std::string& quietSong() {
  static const std::string path = writeMusic("quiet.wav", 0.1);
  return path;
}

// As long, and silent: the moment without its music.
const std::string& silentSong() {
  static const std::string path = writeMusic("silent.wav", 0.0);
  return path;
}

// A still of `song` at `from` seconds, 160x120, at `fps`.
std::string stillAt(const std::string& dir, const std::string& picture, const std::string& song, const char* from,
                    const char* fps) {
  static int made = 0;
  const std::string out = dir + "/still-" + std::to_string(made++) + ".png";
  const vt::StudioRun run = vt::studio(dir, {"render", song, out, "--picture", picture, "--from", from, "--fps", fps,
                                             "--size", "160x120", "-q"});
  EXPECT_EQ(run.status, 0) << run.err;
  return rgb(out);
}

// The median change from one frame to the next over `seconds` from `from`, at 30 fps.
double medianChange(const std::string& dir, const std::string& picture, const std::string& from) {
  const std::string out = dir + "/steady-" + from + ".mkv";
  const vt::StudioRun run =
      vt::studio(dir, {"render", loudSong(), out, "--picture", picture, "--from", from, "--to",
                       std::to_string(std::stoi(from) + 2), "--fps", "30", "--size", "160x120", "--crf", "0", "-q"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string raw = vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", out, "-fps_mode", "passthrough", "-f",
                                         "rawvideo", "-pix_fmt", "rgb24", "-"});
  const size_t frame = 160 * 120 * 3;
  std::vector<double> changes;
  for (size_t n = 1; (n + 1) * frame <= raw.size(); ++n) {
    changes.push_back(vt::meanDifference(raw.substr((n - 1) * frame, frame), raw.substr(n * frame, frame)));
  }
  if (changes.empty()) {
    ADD_FAILURE() << "no frames";
    return 0;
  }
  std::sort(changes.begin(), changes.end());
  return changes[changes.size() / 2];
}

// Motion that follows the music never strobes, however late in the song:
// a picture changes 100 s in about as much from frame to frame as 5 s in.
// Through five seconds of silence every picture keeps moving: frames a
// second apart differ by at least 1/255 on average, at 320x180 (the smaller
// the frame, the more of it a moving mark covers).
TEST_P(Gallery, KeepsMovingThroughSilence) {
  ASSERT_TRUE(vt::writeSound(dir / "silence.wav", 44100 * 6, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t, int) { return 0.0; }));
  std::string err;
  ASSERT_EQ(studio(dir.path(), {"render", "silence.wav", "quiet.mkv", "--picture", GetParam(), "--fps", "30", "--size",
                                "320x180", "--crf", "0", "-q"},
                   &err),
            0)
      << err;
  for (int second = 1; second < 5; ++second) {
    EXPECT_GE(meanDifference(vt::frameRgb(dir / "quiet.mkv", 30 * second), vt::frameRgb(dir / "quiet.mkv", 30 * (second + 1))),
              1.0)
        << "from " << second << " s to " << second + 1 << " s";
  }
}

// Decays, trails, falls and scrolls are per second: the same moment drawn
// at 24 and at 60 frames a second looks the same.
TEST_P(Gallery, TheSameMomentLooksTheSameAtAnyFrameRate) {
  const std::string at24 = stillAt(dir.path(), GetParam(), loudSong(), "6", "24");
  const std::string at60 = stillAt(dir.path(), GetParam(), loudSong(), "6", "60");
  EXPECT_LE(meanDifference(at24, at60), 4.0);
  // Alike because both show the music's moment, not because neither shows any.
  EXPECT_GE(meanDifference(at60, stillAt(dir.path(), GetParam(), silentSong(), "6", "60")), 3.0)
      << "the moment looks the same without its music";
}

// Scope's trail at 24 and at 60 fps with sound that changes completely from
// one frame to the next (pink noise over a low tone, as a dense mix is): the
// trail drawn from the frames before differed by 10.4/255; drawn from the
// waveform's 60 Hz history it is under 1.
TEST(GalleryScope, ItsTrailIsTheSameAtAnyFrameRateWithDenseSound) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeSound(dir / "dense.wav", 44100 * 8, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t f, int) {
                               // A fixed pseudo-random sequence, then a 110 Hz tone under it.
                               const double noise = std::sin(static_cast<double>(f) * 12.9898) * 43758.5453;
                               return 0.3 * (noise - std::floor(noise) - 0.5) +
                                      0.3 * std::sin(2 * M_PI * 110.0 * static_cast<double>(f) / 44100);
                             }));
  std::vector<std::string> stills;
  for (const char* fps : {"24", "60"}) {
    const std::string out = dir / (std::string("at") + fps + ".png");
    const vt::StudioRun run = vt::studio(dir.path(), {"render", "dense.wav", out, "--picture", "scope", "--from", "6",
                                                      "--fps", fps, "--size", "160x120"});
    ASSERT_EQ(run.status, 0) << run.err;
    stills.push_back(rgb(out));
  }
  EXPECT_LE(meanDifference(stills[0], stills[1]), 1.0);
}

TEST_P(Gallery, MovesAsSteadilyLateInTheSongAsEarly) {
  const double early = medianChange(dir.path(), GetParam(), "4");
  const double late = medianChange(dir.path(), GetParam(), "99");
  EXPECT_LE(late, 1.5 * early + 2.0) << "5 s in: " << early << ", 100 s in: " << late;
  EXPECT_LE(late, 15.0);
  // Neither frozen late nor still at all.
  EXPECT_GE(late, 0.5 * early) << "5 s in: " << early << ", 100 s in: " << late;
  EXPECT_GT(early, 0.2) << "the picture hardly moves with the music";
}

// A kick shows on the frame it starts: after silence, a kick at exactly 2 s
// changes frame 120 (at 60 fps) from the one before at least twice as much as
// anything changed in the frames before it.
TEST_P(Gallery, ShowsAKickOnItsOnsetFrame) {
  ASSERT_TRUE(vt::writeSound(dir / "kick.wav", 44100 * 3, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16, [](int64_t f, int) {
    const double t = static_cast<double>(f) / 44100 - 2.0;
    return t < 0 ? 0.0 : 0.8 * std::exp(-t * 18) * std::sin(2 * M_PI * (50 + 90 * std::exp(-t * 30)) * t);
  }));
  const vt::StudioRun run = vt::studio(dir.path(), {"render", "kick.wav", "kick.mkv", "--picture", GetParam(), "--from",
                                                    "1.8", "--to", "2.05", "--fps", "60", "--size", "160x120", "--crf",
                                                    "0", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  // Frame 0 of the file is frame 108 of the song: the onset frame is the 12th.
  double before = 0;
  for (int n = 1; n < 12; ++n) {
    before = std::max(before, meanDifference(vt::frameRgb(dir / "kick.mkv", n - 1), vt::frameRgb(dir / "kick.mkv", n)));
  }
  const double onset = meanDifference(vt::frameRgb(dir / "kick.mkv", 11), vt::frameRgb(dir / "kick.mkv", 12));
  EXPECT_GE(onset, 0.5);
  EXPECT_GE(onset, 2 * before) << "largest change before: " << before;
}

// The share of a frame's rows with something of the picture in them: a
// pixel above 12/255 in any channel (a black row is empty screen).
double rowsDrawn(const std::string& rgb, int width, int height) {
  int drawn = 0;
  for (int y = 0; y < height; ++y) {
    const auto row = rgb.begin() + static_cast<ptrdiff_t>(y) * width * 3;
    drawn += std::any_of(row, row + width * 3, [](char c) { return static_cast<unsigned char>(c) > 12; }) ? 1 : 0;
  }
  return static_cast<double>(drawn) / height;
}

// Every picture in the shapes phones and feeds use: it draws something
// that moves with the music in portrait and in square, over at least 85% of
// the rows in both, and cover's ring of bands keeps clear of the edges of
// its square (in the outermost twentieth of the shorter side only its faint
// halo, never the ring itself, which is near white).
TEST_P(Gallery, DrawsInPortraitAndSquare) {
  for (const auto& [width, height] : {std::pair<int, int>{90, 160}, {120, 120}}) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    std::vector<std::string> stills;
    for (const char* from : {"12", "12.25"}) {
      const std::string out = dir / (size + "-" + from + ".png");
      const vt::StudioRun run = vt::studio(dir.path(), {"render", loudSong(), out, "--picture", GetParam(), "--from",
                                                        from, "--size", size, "-q"});
      ASSERT_EQ(run.status, 0) << size << "\n" << run.err;
      stills.push_back(rgb(out));
    }
    EXPECT_GE(meanDifference(stills[0], stills[1]), 1.0) << size << ": the same a quarter of a second later";
    EXPECT_GE(rowsDrawn(stills[0], width, height), 0.85) << size << ": rows of empty screen";
    if (GetParam() != "cover") {
      continue;
    }
    // The ring's square in the middle (in portrait the bands' bars fill
    // the rows above and below it, edge to edge, by design).
    const int side = std::min(width, height);
    const int margin = side / 20;
    const int top = (height - side) / 2;
    const int left = (width - side) / 2;
    double edge = 0;
    for (int y = top; y < top + side; ++y) {
      for (int x = left; x < left + side; ++x) {
        if (x < left + margin || x >= left + side - margin || y < top + margin || y >= top + side - margin) {
          for (int c = 0; c < 3; ++c) {
            edge = std::max(edge, double(static_cast<unsigned char>(stills[0][static_cast<size_t>((y * width + x) * 3 + c)])));
          }
        }
      }
    }
    EXPECT_LT(edge, 80.0) << size << ": the ring reaches the edge";
  }
}

// Without the flash guard, on music, a gallery picture makes at most three
// general flashes in any second (WCAG 2.3.1, over the whole frame and over
// any quarter of it): the guard is for pictures of one's own, not a crutch
// for these. The example song's first ten seconds made plasma flash 3.5
// times a second by quarters.
TEST_P(Gallery, FlashesAtMostThreeTimesASecondUnguarded) {
  for (const std::string& song : {exampleSong(), loudSong()}) {
    const std::string out = dir / "flashes.mkv";
    const vt::StudioRun run = vt::studio(dir.path(), {"render", song, out, "--picture", GetParam(), "--to", "10",
                                                      "--size", "160x90", "--fps", "30", "--flash-guard", "off",
                                                      "--crf", "10", "--overwrite", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_LE(vt::mostFlashesASecond(out, 160, 90, 30), 3.0) << song;
    EXPECT_LE(vt::mostQuarterFlashesASecond(out, 160, 90, 30), 3.0) << song;
  }
}

// Levelled, the same music 20 dB quieter looks as it does at its own
// loudness: at the same moment the two differ by at most 4/255.
TEST_P(Gallery, LooksAlikeLoudAndTwentyDecibelsQuieter) {
  std::vector<std::string> stills;
  for (const std::string& song : {loudSong(), quietSong()}) {
    const std::string out = dir / ("level" + std::to_string(stills.size()) + ".png");
    const vt::StudioRun run = vt::studio(dir.path(), {"render", song, out, "--picture", GetParam(), "--from", "12",
                                                      "--size", "160x120", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    stills.push_back(rgb(out));
  }
  EXPECT_LE(meanDifference(stills[0], stills[1]), 4.0);
  // Alike because levelling brought the quiet one up, not because neither reacts.
  EXPECT_GE(meanDifference(stills[0], stillAt(dir.path(), GetParam(), silentSong(), "12", "30")), 3.0)
      << "the moment looks the same without its music";
}

// With --transparent a picture's background gives way and its marks stay:
// at a loud moment at least a quarter of the frame has alpha <= 16 and the
// marks reach 240. A picture that fills the frame by nature says so in its
// about.txt, and --transparent with it says so in one line.
TEST_P(Gallery, TransparentLeavesOnlyTheMarks) {
  std::ifstream about(path() + "/about.txt");
  std::string line;
  bool fullFrame = false;
  while (std::getline(about, line)) {
    fullFrame = fullFrame || line.rfind("full-frame", 0) == 0;
  }
  const std::string out = dir / "alpha.png";
  const vt::StudioRun run = vt::studio(dir.path(), {"render", loudSong(), out, "--picture", GetParam(), "--from", "12",
                                                    "--size", "320x180", "--transparent"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.find("fills the whole frame") != std::string::npos, fullFrame) << run.err;
  if (fullFrame) {
    return;
  }
  const std::string pixels = vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", out, "-f", "rawvideo", "-pix_fmt",
                                            "rgba", "-"});
  ASSERT_EQ(pixels.size(), 320u * 180 * 4);
  size_t clear = 0;
  int most = 0;
  for (size_t i = 3; i < pixels.size(); i += 4) {
    const int alpha = static_cast<unsigned char>(pixels[i]);
    clear += alpha <= 16 ? 1 : 0;
    most = std::max(most, alpha);
  }
  EXPECT_GE(static_cast<double>(clear) / (320 * 180), 0.25);
  EXPECT_GE(most, 240);
}

INSTANTIATE_TEST_SUITE_P(Pictures, Gallery, ::testing::ValuesIn(pictureNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace

namespace {

// Over white, a layer's partly covered pixels next to a mark are never
// darker than the mark (by more than 10/255): their colour is the mark's own,
// not one darkened by coverage. The glowing pictures and scope's trail,
// whose marks are each one colour fading out; cover's art, a mid grey, has
// the widest edge.
TEST(GalleryLayer, APartlyCoveredPixelOverWhiteIsNoDarkerThanItsMark) {
  vt::TempDir dir;
  int status = 0;
  vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=gray:s=64x64", "-frames:v", "1",
                 dir / "grey.png"},
                &status);
  ASSERT_EQ(status, 0);
  const int width = 320;
  const int height = 180;
  for (const char* picture : {"cover", "ring", "pulse", "scope"}) {
    const std::string out = dir / (std::string(picture) + ".png");
    const vt::StudioRun run = vt::studio(dir.path(), {"render", loudSong(), out, "--picture", picture, "--image",
                                                      "grey.png", "--from", "12", "--size", "320x180", "--transparent"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string px = vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", out, "-f", "rawvideo", "-pix_fmt",
                                          "rgba", "-"});
    ASSERT_EQ(px.size(), static_cast<size_t>(width * height * 4));
    auto at = [&](int x, int y, int c) { return static_cast<unsigned char>(px[static_cast<size_t>((y * width + x) * 4 + c)]); };
    auto luma = [](double r, double g, double b) { return 0.2126 * r + 0.7152 * g + 0.0722 * b; };
    double worst = 0;
    int partial = 0;
    for (int y = 2; y < height - 2; ++y) {
      for (int x = 2; x < width - 2; ++x) {
        const double a = at(x, y, 3) / 255.0;
        if (a < 0.03 || a > 0.97) {
          continue;
        }
        // The darkest (near) whole mark beside it.
        double mark = 256;
        for (int dy = -2; dy <= 2; ++dy) {
          for (int dx = -2; dx <= 2; ++dx) {
            if (at(x + dx, y + dy, 3) >= 248) {
              mark = std::min(mark, luma(at(x + dx, y + dy, 0), at(x + dx, y + dy, 1), at(x + dx, y + dy, 2)));
            }
          }
        }
        if (mark > 255) {
          continue;
        }
        ++partial;
        const double overWhite =
            luma(at(x, y, 0) * a + 255 * (1 - a), at(x, y, 1) * a + 255 * (1 - a), at(x, y, 2) * a + 255 * (1 - a));
        worst = std::max(worst, mark - overWhite);
      }
    }
    EXPECT_GT(partial, 0) << picture << ": no edge to look at";
    EXPECT_LE(worst, 10.0) << picture << ": a dark fringe over white";
  }
}

// Cover is shaded at half size but for its art: a hard edge in the art (a
// 512-pixel image, black on the left, white on the right, shown a little
// smaller at 1080p) is still a step between two pixels across the middle
// row, where a half-size layer brought up spreads it over two or more
// between its two levels.
TEST(GalleryLayer, CoversArtKeepsItsEdgesSharp) {
  vt::TempDir dir;
  int status = 0;
  vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                 "color=black:s=512x512,drawbox=x=256:y=0:w=256:h=512:color=white:t=fill", "-frames:v", "1",
                 dir / "edge.png"},
                &status);
  ASSERT_EQ(status, 0);
  const std::string out = dir / "cover.png";
  const vt::StudioRun run = vt::studio(dir.path(), {"render", silentSong(), out, "--picture", "cover", "--image",
                                                    "edge.png", "--from", "2", "--size", "1920x1080", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string rgb = vt::frameRgb(out);
  ASSERT_EQ(rgb.size(), static_cast<size_t>(1920 * 1080 * 3));
  // Green, across the middle row from well inside the black half to well
  // inside the white one.
  std::vector<int> row;
  for (int x = 900; x <= 1020; ++x) {
    row.push_back(static_cast<unsigned char>(rgb[static_cast<size_t>((540 * 1920 + x) * 3 + 1)]));
  }
  const int dark = row.front();
  const int bright = row.back();
  ASSERT_GT(bright - dark, 150) << "no edge in the art";
  const auto between = std::count_if(row.begin(), row.end(), [&](int v) {
    return v > dark + 0.1 * (bright - dark) && v < dark + 0.9 * (bright - dark);
  });
  EXPECT_LE(between, 1) << "the art's edge is blurred over " << between << " pixels";
}

// With a title, the pictures whose marks reached through it in portrait
// keep clear of it: at 30 dB up, the words read by OCR, their box (where the
// title alone over black has its pixels) holds no mark (no bright saturated
// pixel), and the band round it (4 to 14 pixels out) nothing bright at all
// (no bar, cap, ring or line).
TEST(GalleryLayer, MarksKeepClearOfTheTitle) {
  vt::TempDir dir;
  const int width = 540;
  const int height = 960;
  const std::vector<std::string> common = {"--from", "12", "--size", "540x960", "--title", "HELLO WORLD", "--gain",
                                           "30", "-q"};
  auto render = [&](const std::string& out, std::vector<std::string> args) {
    args.insert(args.begin(), {"render", loudSong(), out});
    args.insert(args.end(), common.begin(), common.end());
    const vt::StudioRun run = vt::studio(dir.path(), args);
    EXPECT_EQ(run.status, 0) << run.err;
    return vt::frameRgb(out);
  };
  vt::writeShaders(dir.path(), vt::kPlainVertexShader, vt::fragmentShader("FragColor = vec4(0.0, 0.0, 0.0, 1.0);"));
  const std::string alone = render(dir / "alone.png", {});
  ASSERT_EQ(alone.size(), static_cast<size_t>(width * height * 3));
  int left = width, top = height, right = 0, bottom = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (static_cast<unsigned char>(alone[static_cast<size_t>((y * width + x) * 3)]) > 40) {
        left = std::min(left, x);
        top = std::min(top, y);
        right = std::max(right, x + 1);
        bottom = std::max(bottom, y + 1);
      }
    }
  }
  ASSERT_LT(left, right) << "no title drawn";
  for (const char* picture : {"bars", "scope", "cover"}) {
    const std::string out = dir / (std::string(picture) + ".png");
    const std::string rgb = render(out, {"--picture", picture});
    ASSERT_EQ(rgb.size(), static_cast<size_t>(width * height * 3));
    const std::string crop = dir / "crop.png";
    vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", out, "-vf",
                   "crop=" + std::to_string(right - left + 40) + ":" + std::to_string(bottom - top + 40) + ":" +
                       std::to_string(std::max(0, left - 20)) + ":" + std::to_string(std::max(0, top - 20)),
                   crop});
    const std::string read = vt::runOutput({"/usr/bin/tesseract", crop, "-", "--psm", "7"});
    EXPECT_NE(read.find("HELLO WORLD"), std::string::npos) << picture << ": OCR read \"" << read << "\"";
    int inMarks = 0, around = 0;
    for (int y = std::max(0, top - 14); y < std::min(height, bottom + 14); ++y) {
      for (int x = std::max(0, left - 14); x < std::min(width, right + 14); ++x) {
        const auto* p = reinterpret_cast<const unsigned char*>(rgb.data()) + (y * width + x) * 3;
        const int most = std::max({p[0], p[1], p[2]});
        const int least = std::min({p[0], p[1], p[2]});
        const bool inside = x >= left && x < right && y >= top && y < bottom;
        const bool near = x >= left - 4 && x < right + 4 && y >= top - 4 && y < bottom + 4;
        inMarks += inside && most > 120 && most - least > 90 ? 1 : 0;
        around += !near && most > 150 ? 1 : 0;
      }
    }
    EXPECT_EQ(inMarks, 0) << picture << ": marks in the title's box " << left << "," << top << "-" << right << ","
                          << bottom;
    EXPECT_EQ(around, 0) << picture << ": bright marks round the title's box";
  }
}

// VRAX_PICTURES names a gallery of one's own: when it is wrong, the message
// says it is VRAX_PICTURES and what is wrong with it.
TEST(GalleryOfOnesOwn, AWrongVraxPicturesIsNamedWithWhatIsWrong) {
  vt::TempDir dir;
  fs::create_directories(dir / "empty");
  vt::writeText(dir / "a-file", "not a folder\n");
  const std::pair<std::string, const char*> cases[] = {
      {dir / "missing", "does not exist"}, {dir / "a-file", "is not a folder"}, {dir / "empty", "holds no picture"}};
  for (const auto& [folder, says] : cases) {
    vt::Process p({vt::studioBinary(), "pictures"}, dir.path(), {{"VRAX_PICTURES", folder}});
    EXPECT_EQ(p.wait(30), 1) << folder;
    EXPECT_NE(p.err().find("VRAX_PICTURES names " + folder), std::string::npos) << p.err();
    EXPECT_NE(p.err().find(says), std::string::npos) << p.err();
  }
}


// A picture's settings: --set changes what is drawn, the defaults are those
// settings.txt gives, and a wrong name or value is a usage error.
TEST(PictureSettings, SetChangesThePictureAndWrongOnesAreRefused) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeSound(dir / "silence.wav", 44100 * 2, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t, int) { return 0.0; }));
  fs::create_directories(dir / "gain");
  vt::writeText(dir / "gain/Quad.vert.glsl", vt::kPlainVertexShader);
  vt::writeText(dir / "gain/Quad.frag.glsl", vt::fragmentShader("FragColor = vec4(gain, 0.0, 0.0, 1.0);").insert(
                                                 std::string("#version 450 core\n").size(), "uniform float gain;\n"));
  vt::writeText(dir / "gain/settings.txt", "# a test\ngain  float  0.5  0..1  how red\n");
  auto red = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {"render", "silence.wav", "o.png", "--from", "1", "--size", "32x32", "--overwrite"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string err;
    EXPECT_EQ(studio(dir.path(), args, &err), 0) << err;
    return rgb(dir / "o.png");
  };
  EXPECT_NEAR(static_cast<unsigned char>(red({"--shaders", "gain"})[0]), 128, 1);
  EXPECT_EQ(static_cast<unsigned char>(red({"--shaders", "gain", "--set", "gain=1"})[0]), 255);
  // A colour by its CSS name or #rgb draws that colour exactly.
  fs::create_directories(dir / "tint");
  vt::writeText(dir / "tint/Quad.vert.glsl", vt::kPlainVertexShader);
  vt::writeText(dir / "tint/Quad.frag.glsl", vt::fragmentShader("FragColor = vec4(tint, 1.0);").insert(
                                                 std::string("#version 450 core\n").size(), "uniform vec3 tint;\n"));
  vt::writeText(dir / "tint/settings.txt", "tint  colour  #000000  the colour\n");
  const struct {
    const char* value;
    int r, g, b;
  } colours[] = {{"teal", 0, 128, 128}, {"Sky Blue", 135, 206, 235}, {"#f80", 255, 136, 0}, {"gray", 128, 128, 128}};
  for (const auto& c : colours) {
    const std::string pixel = red({"--shaders", "tint", "--set", std::string("tint=") + c.value});
    EXPECT_NEAR(static_cast<unsigned char>(pixel[0]), c.r, 1) << c.value;
    EXPECT_NEAR(static_cast<unsigned char>(pixel[1]), c.g, 1) << c.value;
    EXPECT_NEAR(static_cast<unsigned char>(pixel[2]), c.b, 1) << c.value;
  }
  // The --set examples --help gives run.
  for (const std::vector<std::string>& example : {std::vector<std::string>{"--picture", "ring", "--set", "ringColour=orange"},
                                                  {"--picture", "bars", "--set", "lowColour=#0cf"}}) {
    red(example);  // which expects status 0
  }
  const std::string help = vt::runOutput({vt::studioBinary(), "render", "--help"});
  EXPECT_NE(help.find("--picture ring --set ringColour=orange"), std::string::npos) << help;
  // Waterfall's quiet rows are the backdrop × a ripple of 1 ± 0.6 that starts
  // at 1 with the song (the top row at 1 s) and rises to the right: pure red
  // in the top left corner.
  const std::string top = red({"--picture", "waterfall", "--set", "backdrop=#ff0000"});
  EXPECT_GE(static_cast<unsigned char>(top[0]), 250);
  EXPECT_EQ(static_cast<unsigned char>(top[1]), 0);
  EXPECT_EQ(static_cast<unsigned char>(top[2]), 0);
  // Ring's corner is its background: backColour × (1.3 − 0.6 × 1.37) = 0.48
  // of red, tone-mapped as 1.8c / (1 + 1.8c) = 0.46 (117); the ring's marks
  // add under 1% there.
  const std::string corner = red({"--picture", "ring", "--set", "backColour=#ff0000", "--set", "rippleColour=#000000"});
  EXPECT_NEAR(static_cast<unsigned char>(corner[0]), 117, 8);
  EXPECT_LT(static_cast<unsigned char>(corner[1]), 8);
  EXPECT_LT(static_cast<unsigned char>(corner[2]), 8);

  fs::create_directories(dir / "badDefault");
  fs::copy(dir / "gain/Quad.vert.glsl", dir / "badDefault/Quad.vert.glsl");
  fs::copy(dir / "gain/Quad.frag.glsl", dir / "badDefault/Quad.frag.glsl");
  vt::writeText(dir / "badDefault/settings.txt", "gain float 9 0..1 how red\n");
  vt::expectRefusals(dir.path(), {"render", "silence.wav", "x.png", "--size", "32x32"},
                     {
                         {{"--shaders", "gain", "--set", "gain=2"}, 2, "gain goes from 0 to 1 (got 2)"},
                         {{"--shaders", "gain", "--set", "gain=red"}, 2, "gain is a number"},
                         {{"--shaders", "gain", "--set", "spin=1"}, 2, "no setting \"spin\"; this picture has gain"},
                         {{"--shaders", "gain", "--set", "gain"}, 2, "expected NAME=VALUE"},
                         {{"--picture", "bars", "--set", "lowColour=#12"}, 2, "lowColour is a colour: #rrggbb, #rgb or a name"},
                         {{"--picture", "bars", "--set", "lowColour=#12345"}, 2, "lowColour is a colour"},
                         {{"--picture", "bars", "--set", "lowColour=notacolour"}, 2, "lowColour is a colour"},
                         {{"--shaders", "badDefault"}, 2, "settings.txt:1: the default: gain goes from 0 to 1"},
                     },
                     "x.png");
}

// pictures --describe: a line a setting, as settings.txt gives them.
TEST(PictureSettings, DescribeListsNameTypeDefaultAndMeaning) {
  int status = 0;
  const std::string bars = vt::runOutput({vt::studioBinary(), "pictures", "--describe", "bars"}, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(bars,
            "lowColour  vec3  #1abff2  the bars near the centre line\n"
            "highColour  vec3  #f2408c  the bars at their tips\n"
            "glowColour  vec3  #3366e6  the glow along the centre line that swells with the bass\n");
  vt::runOutput({vt::studioBinary(), "pictures", "--describe", "nosuch"}, &status);
  EXPECT_EQ(status, 2);
  // Every gallery picture has its colours as settings (ring too: its copy
  // in the gallery, not the shipped pair the live program draws).
  for (const std::string& name : pictureNames()) {
    const std::string said = vt::runOutput({vt::studioBinary(), "pictures", "--describe", name}, &status);
    EXPECT_EQ(status, 0) << name;
    EXPECT_NE(said.find("  vec3  #"), std::string::npos) << name << ": " << said;
  }
}

// Scrolling pictures are full from the first second: at 1 s into loud
// noise at least 80% of the spectrogram's columns and of the waterfall's
// rows are brighter than the same picture in silence (before, only what had
// scrolled in was: an eighth and a twelfth).
TEST(GalleryScrolling, ScrollingPicturesAreFullFromTheFirstSecond) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeSound(dir / "noise.wav", 44100 * 3, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t f, int) {
                               const double x = std::sin(static_cast<double>(f) * 12.9898) * 43758.5453;
                               return 0.8 * (x - std::floor(x) - 0.5);
                             }));
  ASSERT_TRUE(vt::writeSound(dir / "silence.wav", 44100 * 3, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t, int) { return 0.0; }));
  const int width = 160, height = 90;
  for (const auto& [picture, byColumn] :
       {std::pair<const char*, bool>{"spectrogram", true}, std::pair<const char*, bool>{"waterfall", false}}) {
    std::vector<std::string> stills;
    for (const char* song : {"noise.wav", "silence.wav"}) {
      const std::string out = dir / (std::string(picture) + song + ".png");
      const vt::StudioRun run = vt::studio(dir.path(), {"render", song, out, "--picture", picture, "--from", "1",
                                                        "--size", "160x90", "--level", "off", "-q"});
      ASSERT_EQ(run.status, 0) << run.err;
      stills.push_back(vt::frameRgb(out));
    }
    const int lines = byColumn ? width : height;
    const int along = byColumn ? height : width;
    int drawn = 0;
    for (int line = 0; line < lines; ++line) {
      double loud = 0, quiet = 0;
      for (int i = 0; i < along; ++i) {
        const int x = byColumn ? line : i, y = byColumn ? i : line;
        for (int c = 0; c < 3; ++c) {
          const size_t at = static_cast<size_t>((y * width + x) * 3 + c);
          loud += static_cast<unsigned char>(stills[0][at]);
          quiet += static_cast<unsigned char>(stills[1][at]);
        }
      }
      drawn += (loud - quiet) / (along * 3) > 20 ? 1 : 0;
    }
    EXPECT_GE(drawn, lines * 8 / 10) << picture << ": " << (byColumn ? "columns" : "rows") << " drawn of " << lines;
  }
}

// Drawn from the bands' history, a frame needs no frames before it: a still
// 90 s into a song is, byte for byte, frame 900 (10 fps) of a render of
// the whole song in lossless PNG frames, and it costs one frame (no step
// through the song is drawn).
TEST(GalleryScrolling, AStillNinetySecondsInIsTheWholeRendersFrame) {
  vt::TempDir dir;
  // A tone gliding up and down over noise bursts a few times a second: each
  // second of the history differs from the last.
  ASSERT_TRUE(vt::writeSound(dir / "song.wav", 44100 * 91, 1, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t f, int) {
                               const double t = static_cast<double>(f) / 44100;
                               const double pitch = 300 + 250 * std::sin(0.7 * t);
                               const double noise = std::sin(static_cast<double>(f) * 12.9898) * 43758.5453;
                               const double burst = std::fmod(t * 2.7, 1.0) < 0.15 ? 0.4 : 0.0;
                               return 0.3 * std::sin(2 * M_PI * pitch * t) + burst * (noise - std::floor(noise) - 0.5);
                             }));
  for (const char* picture : {"spectrogram", "waterfall"}) {
    SCOPED_TRACE(picture);
    const std::vector<std::string> common = {"--picture", picture, "--size", "96x54", "--fps", "10", "-q", "--overwrite"};
    std::vector<std::string> whole = {"render", "song.wav", "whole.mov", "--to", "90.05", "--codec", "png"};
    whole.insert(whole.end(), common.begin(), common.end());
    vt::StudioRun run = vt::studio(dir.path(), whole);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> still = {"render", "song.wav", "still.png", "--from", "90"};
    still.insert(still.end(), common.begin(), common.end());
    run = vt::studio(dir.path(), still);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string a = vt::frameRgb(dir / "whole.mov", 900);
    const std::string b = vt::frameRgb(dir / "still.png");
    ASSERT_EQ(a.size(), size_t{96} * 54 * 3);
    EXPECT_EQ(a, b) << "mean difference " << vt::meanDifference(a, b);
  }
}

// Pictures whose hues turn (pulse's sparks, ring, cover, horizon) take
// them from the palette's ramp: under forest every coloured pixel of
// pulse's burst is a green or the sand between (hues 30° to 170°), where
// its own sparks run round the whole wheel.
TEST(PictureSettings, APalettesRampColoursTheTurningHuesToo) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeSound(dir / "song.wav", 44100 * 4, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t f, int) { return music(f); }));
  for (const char* picture : {"pulse", "ring", "cover"}) {
    const vt::StudioRun run = vt::studio(dir.path(), {"render", "song.wav", "p.png", "--picture", picture, "--from",
                                                      "1.1", "--size", "160x90", "--palette", "forest", "--overwrite",
                                                      "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string rgb = vt::frameRgb(dir / "p.png");
    size_t coloured = 0;
    size_t onRamp = 0;
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
      const auto* p = reinterpret_cast<const unsigned char*>(rgb.data()) + i;
      const int hi = std::max({p[0], p[1], p[2]});
      const int lo = std::min({p[0], p[1], p[2]});
      if (hi < 100 || hi - lo < 50) {
        continue;
      }
      double hue = 0;
      if (hi == p[0]) {
        hue = std::fmod(60.0 * (p[1] - p[2]) / (hi - lo) + 360.0, 360.0);
      } else if (hi == p[1]) {
        hue = 60.0 * (p[2] - p[0]) / (hi - lo) + 120.0;
      } else {
        hue = 60.0 * (p[0] - p[1]) / (hi - lo) + 240.0;
      }
      ++coloured;
      onRamp += hue >= 30.0 && hue <= 170.0;
    }
    ASSERT_GT(coloured, 20u) << picture << ": nothing coloured to judge";
    EXPECT_GE(static_cast<double>(onRamp) / static_cast<double>(coloured), 0.95) << picture;
  }
}

// --palette: bars under mono is grey wherever it is bright (no pixel's
// channels more than 25 apart, where the default has cyan bars 100 and more
// apart); ocean is bluer than it is red and sunset redder than blue; --set
// still changes one colour over it; an unknown palette names the others.
TEST(PictureSettings, APaletteRecoloursEveryPictureAndSetStillWins) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100 * 3, 2, 44100));
  const auto still = [&](std::vector<std::string> more) {
    std::vector<std::string> args = {"render", "song.wav", "p.png", "--picture", "bars", "--from", "2", "--size",
                                     "160x90", "--level", "off", "--gain", "30", "--overwrite", "-q"};
    args.insert(args.end(), more.begin(), more.end());
    const vt::StudioRun run = vt::studio(dir.path(), args);
    EXPECT_EQ(run.status, 0) << run.err;
    return vt::frameRgb(dir / "p.png");
  };
  const auto spread = [](const std::string& rgb) {
    int most = 0;
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
      const auto* p = reinterpret_cast<const unsigned char*>(rgb.data()) + i;
      if (std::max({p[0], p[1], p[2]}) > 100) {
        most = std::max(most, std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]}));
      }
    }
    return most;
  };
  const auto channelMean = [](const std::string& rgb, int c) {
    double sum = 0;
    for (size_t i = static_cast<size_t>(c); i < rgb.size(); i += 3) {
      sum += static_cast<unsigned char>(rgb[i]);
    }
    return sum / static_cast<double>(rgb.size() / 3);
  };
  EXPECT_GT(spread(still({})), 100);
  EXPECT_LE(spread(still({"--palette", "mono"})), 25);
  const std::string ocean = still({"--palette", "ocean"});
  const std::string sunset = still({"--palette", "sunset"});
  EXPECT_GT(channelMean(ocean, 2), channelMean(ocean, 0) + 5);
  EXPECT_GT(channelMean(sunset, 0), channelMean(sunset, 2) + 5);
  // Spread over the ramp, not one flat blue: ocean's bars run from its deep
  // blue (#1a6fd6) at the centre line to its mint (#7ef2d6) at the tips.
  const auto any = [](const std::string& rgb, const std::function<bool(int, int, int)>& is) {
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
      const auto* p = reinterpret_cast<const unsigned char*>(rgb.data()) + i;
      if (is(p[0], p[1], p[2])) {
        return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(any(ocean, [](int, int g, int b) { return b > 120 && b - g > 60; })) << "no deep blue";
  EXPECT_TRUE(any(ocean, [](int r, int g, int b) { return g > 150 && g >= b && r > 60; })) << "no mint";
  EXPECT_GT(spread(still({"--palette", "mono", "--set", "lowColour=red"})), 100);
  int status = 0;
  EXPECT_NE(vt::runOutput({vt::studioBinary(), "pictures", "--palettes"}, &status).find("mono  #ffffff"),
            std::string::npos);
  EXPECT_EQ(status, 0);
  vt::expectRefusals(dir.path(), {"render", "song.wav", "x.png", "--picture", "bars"},
                     {{{"--palette", "nope"}, 2, "the palettes are sunset, ocean, neon, forest, mono"}}, "x.png");
}

// A cell's caption reads over the brightest picture: a gallery of one
// white picture, its sheet's first cell cut out, read back by OCR.
TEST(ContactSheet, CaptionsReadOverABrightCell) {
  vt::TempDir dir;
  const std::string gallery = dir / "gallery";
  vt::writeGalleryPicture(gallery, "white", "FragColor = vec4(1.0);");
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100 * 6, 2, 44100));
  int status = -1;
  const std::string said =
      vt::runOutput({"/usr/bin/env", "VRAX_PICTURES=" + gallery, vt::studioBinary(), "pictures", "--sheet",
                     dir / "song.wav", dir / "sheet.png", "--size", "256x144"},
                    &status, 180);
  ASSERT_EQ(status, 0) << said;
  // The first cell, enlarged as a reader would zoom in.
  vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", dir / "sheet.png", "-vf",
                 "crop=256:144:0:0,scale=768:432", dir / "cell.png"},
                &status);
  ASSERT_EQ(status, 0);
  const std::string read = vt::runOutput({"/usr/bin/tesseract", dir / "cell.png", "-", "--psm", "6"});
  EXPECT_NE(read.find("white"), std::string::npos) << read;
}

// Bars' treble half moves with real music as its bass half does: over two
// seconds of the example song (drums, bass, chords), the frame-to-frame
// change in the right third (the treble's bars) is at least a third of the
// left third's (the bass's).
TEST(GalleryBars, TheTrebleMovesAsTheBassDoes) {
  vt::TempDir dir;
  const vt::StudioRun run = vt::studio(dir.path(), {"render", exampleSong(), "bars.mkv", "--picture", "bars", "--from",
                                                    "8", "--to", "10", "--fps", "30", "--size", "192x108", "--crf",
                                                    "0", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string raw = vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / "bars.mkv", "-f", "rawvideo",
                                         "-pix_fmt", "rgb24", "-"});
  const size_t frame = 192 * 108 * 3;
  double change[2] = {0, 0};  // the left third's, the right third's
  for (size_t n = 1; (n + 1) * frame <= raw.size(); ++n) {
    for (size_t y = 0; y < 108; ++y) {
      for (size_t x = 0; x < 192; ++x) {
        const int third = x < 64 ? 0 : x >= 128 ? 1 : -1;
        if (third < 0) {
          continue;
        }
        for (size_t c = 0; c < 3; ++c) {
          const size_t at = (y * 192 + x) * 3 + c;
          change[third] += std::abs(static_cast<unsigned char>(raw[n * frame + at]) -
                                    static_cast<unsigned char>(raw[(n - 1) * frame + at]));
        }
      }
    }
  }
  ASSERT_GT(change[0], 0.0);
  EXPECT_GE(change[1], change[0] / 3) << "bass third " << change[0] << ", treble third " << change[1];
}

// A picture that cannot be drawn, sorted first, is skipped with its line;
// the rows after it are drawn (what went wrong in one is not the others').
TEST(ContactSheet, APictureThatCannotBeDrawnSpoilsNoOtherRow) {
  vt::TempDir dir;
  const std::string gallery = dir / "gallery";
  vt::writeGalleryPicture(gallery, "a-broken", "FragColor = nothing;");
  vt::writeGalleryPicture(gallery, "b-red", "FragColor = vec4(1.0, 0.0, 0.0, 1.0);");
  vt::writeGalleryPicture(gallery, "c-blue", "FragColor = vec4(0.0, 0.0, 1.0, 1.0);");
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100 * 6, 2, 44100));
  vt::Process sheet({vt::studioBinary(), "pictures", "--sheet", dir / "song.wav", dir / "sheet.png", "--size", "64x36"},
                    dir.path(), {{"VRAX_PICTURES", gallery}});
  ASSERT_EQ(sheet.wait(180), 0) << sheet.err();
  const std::string said = sheet.err();
  EXPECT_NE(said.find("skipping the picture a-broken"), std::string::npos) << said;
  EXPECT_NE(said.find("2 pictures"), std::string::npos) << said;
  // Row b (the second) is red in its top half, row c blue.
  const std::string all = vt::frameRgb(dir / "sheet.png");
  const size_t width = 3 * 64;
  const auto pixel = [&](size_t row, size_t y) { return all.substr(((row * 36 + y) * width + 32) * 3, 3); };
  EXPECT_EQ(pixel(1, 5), std::string("\xff\x00\x00", 3));
  EXPECT_EQ(pixel(2, 5), std::string("\x00\x00\xff", 3));
}

// pictures --sheet: a song quiet for four seconds, then 12 dB louder, then
// 12 dB louder again; the sheet finds one moment in each part, draws a row
// a gallery picture (as many rows as `pictures` lists) and a column a
// moment, and each cell above its label is the still `render --from` draws
// at that moment. What cannot be a sheet is refused in one line.
TEST(ContactSheet, EveryPictureAtTheSongsQuietAverageAndLoudestMoments) {
  vt::TempDir dir;
  const std::string song = dir / "song.wav";
  ASSERT_TRUE(vt::writeSound(song, 44100 * 12, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16, [](int64_t f, int) {
    const double dbfs = f < 44100 * 4 ? -30 : f < 44100 * 8 ? -18 : -6;
    return std::pow(10.0, dbfs / 20) * std::sin(2 * M_PI * 220 * static_cast<double>(f) / 44100);
  }));
  const std::string sheet = dir / "sheet.png";
  int status = -1;
  const std::string said =
      vt::runOutput({vt::studioBinary(), "pictures", "--sheet", song, sheet, "--size", "128x72"}, &status, 180);
  ASSERT_EQ(status, 0) << said;
  const auto secondsOf = [&](const std::string& moment) {
    const size_t at = said.find(moment + " ");
    const size_t open = said.find('(', at);
    return at == std::string::npos || open == std::string::npos ? -1.0 : std::stod(said.substr(open + 1));
  };
  const double quiet = secondsOf("quiet"), average = secondsOf("average"), loudest = secondsOf("loudest");
  EXPECT_TRUE(quiet > 0 && quiet < 4) << said;
  EXPECT_TRUE(average > 4 && average < 8) << said;
  EXPECT_TRUE(loudest > 8 && loudest < 12) << said;

  // The rows in the order `pictures` lists them.
  std::vector<std::string> names;
  std::istringstream listed(vt::runOutput({vt::studioBinary(), "pictures"}));
  for (std::string line; std::getline(listed, line) && !line.empty();) {
    names.push_back(line.substr(0, line.find(' ')));
  }
  EXPECT_EQ(names.size(), pictureNames().size());
  EXPECT_EQ(vt::probe(sheet, "stream=width,height"),
            "384\n" + std::to_string(72 * names.size()) + "\n");
  const std::string all = vt::frameRgb(sheet);
  const size_t row = static_cast<size_t>(384) * 3;
  // The top half of cell (picture p, moment m), which the label never reaches.
  const auto cellTop = [&](size_t p, int m) {
    std::string top;
    for (size_t y = 0; y < 36; ++y) {
      top += all.substr((p * 72 + y) * row + static_cast<size_t>(m) * 128 * 3, 128 * 3);
    }
    return top;
  };
  const double moments[] = {quiet, average, loudest};
  for (const char* name : {"bars", "scope"}) {
    const size_t p = static_cast<size_t>(std::find(names.begin(), names.end(), name) - names.begin());
    ASSERT_LT(p, names.size());
    for (int m = 0; m < 3; ++m) {
      const std::string still = dir / "still.png";
      std::ostringstream from;
      from << moments[m];
      ASSERT_EQ(vt::studio(dir.path(), {"render", song, still, "--picture", name, "--from", from.str(), "--size",
                                        "128x72", "--fps", "30", "-q", "--overwrite"})
                    .status,
                0);
      const std::string expected = vt::frameRgb(still).substr(0, 36 * 128 * 3);
      EXPECT_LT(vt::meanDifference(cellTop(p, m), expected), 0.5) << name << " at " << from.str() << " s";
    }
    EXPECT_GT(vt::mean(cellTop(p, 2)), vt::mean(cellTop(p, 0))) << name << ": the loudest looks like the quietest";
  }

  vt::expectRefusals(dir.path(), {"pictures"},
                     {{{"--sheet", song, dir / "sheet.mp4"}, 2, "a contact sheet is a .png"},
                      {{"--sheet", song, sheet}, 2, "exists; pass --overwrite"},
                      {{"--sheet", dir / "none.wav", dir / "new.png"}, 2, "none.wav"},
                      {{"--sheet", song, dir / "new.png", "--size", "8x8"}, 2, "64x36 to 1920x1080"},
                      {{"--size", "128x72"}, 2, "--size is for --sheet"},
                      {{"--sheet", song, dir / "new.png", "--describe", "bars"}, 2, "give one"}},
                     dir / "new.png");
}

}  // namespace
