// The music inputs end to end over the built binary: the same values in a
// render and in a window, images and cover art where a pair draws them, the
// previous frame fed back (and a span equal to a whole render), and bad
// images and badly typed inputs with their statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <thread>

#include "support.h"

namespace {

namespace fs = std::filesystem;

using vt::studio;
using vt::StudioRun;

// A fragment shader with the studio's further inputs declared before main.
std::string pairWith(const std::string& declarations, const std::string& body) {
  std::string text = vt::fragmentShader(body);
  text.insert(text.find("void main()"), declarations + "\n");
  return text;
}

int at(const std::string& pixels, int width, int x, int y, int channel) {
  return static_cast<unsigned char>(pixels[static_cast<size_t>((y * width + x) * 3 + channel)]);
}

// Two steady tones on the analysis's bins (5 and 139 of 2048 at 44.1 kHz), so
// that every input settles and stays whatever the phase of the block.
bool writeSteady(const std::string& path, double seconds) {
  return vt::writeSound(path, static_cast<int64_t>(44100 * seconds), 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                        [](int64_t f, int) {
                          const double t = static_cast<double>(f) / 44100;
                          const double bin = 44100.0 / 2048;
                          return 0.4 * std::sin(2 * M_PI * 5 * bin * t) + 0.05 * std::sin(2 * M_PI * 139 * bin * t);
                        });
}

const char* const kAnalysisDeclarations =
    "uniform float bands[64];\nuniform float bass, mid, treble, level, beat;\nuniform int beats;\n"
    "uniform vec2 resolution;";
// Red: bass, mid, treble, level in four columns; green: the band under x;
// blue: whether no onset was found and the resolution is the picture's.
const char* const kAnalysisBody =
    "int column = int(uv.x * 4.0);\n"
    "float v = column == 0 ? bass : column == 1 ? mid : column == 2 ? treble : level;\n"
    "bool sized = resolution == vec2(128.0, 64.0);\n"
    "FragColor = vec4(v, bands[int(uv.x * 63.99)], beats == 0 && beat > 1000.0 && sized ? 1.0 : 0.0, 1.0);";

// Plays song.wav in dir at `size` for about `playFor` ms, pauses it and
// keeps the paused window in window.ppm; the position play printed ("" if
// the window never came or never held still: the failure is added).
std::string pausedWindow(const vt::TempDir& dir, const std::string& size, int playFor) {
  vt::Process play({vt::studioBinary(), "play", "song.wav", "--size", size}, dir.path(), {{"ALSOFT_DRIVERS", "null"}});
  if (vt::wmctl({"wait", "song.wav", "30"}, nullptr, 40) != 0) {
    ADD_FAILURE() << "no window: " << play.err();
    return "";
  }
  // How long it plays first, not a wait for anything: what is checked holds at any moment.
  std::this_thread::sleep_for(std::chrono::milliseconds(playFor));
  const std::string paused = vt::pauseAndReadPosition(play, "song.wav");
  const bool still = !paused.empty() && vt::snapWhenStill("song.wav", dir / "window.ppm");
  vt::wmctl({"close", "song.wav"});
  EXPECT_EQ(play.wait(20), 0) << play.err();
  if (!still) {
    ADD_FAILURE() << "no paused window to keep: " << play.out();
    return "";
  }
  return paused;
}

TEST(Inputs, ARenderAndAWindowSeeTheSameValues) {
  vt::TempDir dir;
  vt::writeShaders(dir.path(), vt::kPlainVertexShader, pairWith(kAnalysisDeclarations, kAnalysisBody));
  ASSERT_TRUE(writeSteady(dir / "song.wav", 20));

  const std::string paused = pausedWindow(dir, "128x64", 1500);
  ASSERT_FALSE(paused.empty());

  const StudioRun run = studio(dir.path(), {"render", "song.wav", "still.png", "--from", paused, "--size", "128x64"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string window = vt::frameRgb(dir / "window.ppm");
  const std::string still = vt::frameRgb(dir / "still.png");
  ASSERT_EQ(window.size(), 128u * 64 * 3);
  ASSERT_EQ(still.size(), window.size());
  int worst = 0;
  for (size_t i = 0; i < still.size(); ++i) {
    worst = std::max(worst, std::abs(int(static_cast<unsigned char>(still[i])) - int(static_cast<unsigned char>(window[i]))));
  }
  EXPECT_LE(worst, 2);
  // And the values are the tones': bass and mid lit, blue (no onset, right size) on.
  EXPECT_GT(at(still, 128, 10, 32, 0), 40);
  EXPECT_EQ(at(still, 128, 10, 32, 2), 255);
}

// "progress" in a window is how far through the song the paused moment is,
// after the song has come round again (a 2 s song played for longer): the
// position play prints, over the song's length, is the red drawn.
TEST(Inputs, AWindowsProgressComesRoundWithItsSong) {
  vt::TempDir dir;
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   pairWith("uniform float progress;", "FragColor = vec4(progress, 0.0, 0.0, 1.0);"));
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 88200, 2, 44100));
  // Past the song's end (on a slow machine perhaps not yet: the red is checked either way).
  const std::string paused = pausedWindow(dir, "64x48", 2600);
  ASSERT_FALSE(paused.empty());
  const double seconds = std::stod(paused);
  ASSERT_GE(seconds, 0.0);
  ASSERT_LT(seconds, 2.0) << "the position is within the song";
  EXPECT_NEAR(at(vt::frameRgb(dir / "window.ppm"), 64, 32, 24, 0), seconds / 2.0 * 255.0, 3.0) << "at " << paused;
}

// A paused window shows the moment paused at, even where its frames come
// seldom (a picture slow to draw, as on a busy machine): in silence the
// music's clock is the song's time, so its fraction of a second, drawn as
// red, is the printed position's (up to the millisecond it is printed to).
TEST(Inputs, APausedWindowShowsTheMomentPausedAtHoweverSlowItsFrames) {
  vt::TempDir dir;
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   pairWith("uniform float bassTime;",
                            "float a = uv.x;\n"
                            "for (int i = 0; i < 6000; ++i) { a = sin(a * 1.0001 + uv.y); }\n"
                            "FragColor = vec4(fract(bassTime), 0.0, a > 100.0 ? 1.0 : 0.0, 1.0);"));
  ASSERT_TRUE(vt::writeSound(dir / "song.wav", 44100 * 20, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t, int) { return 0.0; }));
  const std::string paused = pausedWindow(dir, "64x48", 1300);
  ASSERT_FALSE(paused.empty());
  const double expected = std::fmod(std::stod(paused), 1.0) * 255.0;
  const double drawn = at(vt::frameRgb(dir / "window.ppm"), 64, 32, 24, 0);
  const double apart = std::fabs(drawn - expected);
  EXPECT_LE(std::min(apart, 255.0 - apart), 2.0) << "paused at " << paused << " s";
}

TEST(Inputs, ImagesAndCoverArtAppearWhereThePairDrawsThem) {
  vt::TempDir dir;
  // Left half red, right half blue, 64x32.
  int status = -1;
  vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=red:size=32x32", "-f", "lavfi", "-i",
                 "color=blue:size=32x32", "-filter_complex", "hstack", "-frames:v", "1", dir / "halves.png"},
                &status);
  ASSERT_EQ(status, 0);
  vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=lime:size=16x16", "-frames:v", "1",
                 dir / "green.png"},
                &status);
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100, 2, 44100));
  vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / "song.wav", "-i", dir / "green.png", "-map", "0",
                 "-map", "1", "-c:v", "png", "-disposition:v", "attached_pic", dir / "covered.flac"},
                &status);
  ASSERT_EQ(status, 0);

  // Top half: image0 (with its size checked in blue); bottom half: the cover.
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   pairWith("uniform sampler2D image0, cover;\nuniform vec2 image0Size, coverSize;",
                            "vec4 c = uv.y > 0.5 ? texture(image0, uv) : texture(cover, uv);\n"
                            "FragColor = vec4(c.rgb, 1.0);"));
  ASSERT_EQ(studio(dir.path(), {"render", "covered.flac", "a.png", "--image", "halves.png", "--size", "64x48"}).status,
            0);
  const std::string a = vt::frameRgb(dir / "a.png");
  EXPECT_GT(at(a, 64, 8, 8, 0), 200);    // top left: red
  EXPECT_LT(at(a, 64, 8, 8, 2), 50);
  EXPECT_GT(at(a, 64, 56, 8, 2), 200);   // top right: blue
  EXPECT_GT(at(a, 64, 32, 40, 1), 200);  // bottom: the embedded green cover
  EXPECT_LT(at(a, 64, 32, 40, 0), 50);

  // No cover in the song: the first image stands in; no image at all: transparent.
  ASSERT_EQ(studio(dir.path(), {"render", "song.wav", "b.png", "--image", "green.png", "--size", "64x48"}).status, 0);
  EXPECT_GT(at(vt::frameRgb(dir / "b.png"), 64, 32, 40, 1), 200);
  ASSERT_EQ(studio(dir.path(), {"render", "song.wav", "c.png", "--size", "64x48"}).status, 0);
  const std::string c = vt::frameRgb(dir / "c.png");
  EXPECT_EQ(at(c, 64, 32, 40, 0) + at(c, 64, 32, 40, 1) + at(c, 64, 32, 40, 2), 0);

  // A cover whose picture is broken: one line says so, the render goes on.
  std::string flac = vt::readText(dir / "covered.flac");
  const size_t image = flac.find("IDAT");
  ASSERT_NE(image, std::string::npos);
  for (size_t i = image + 4; i < image + 40 && i < flac.size(); ++i) {
    flac[i] = '\x5a';
  }
  vt::writeText(dir / "broken.flac", flac);
  const StudioRun broken = studio(dir.path(), {"render", "broken.flac", "d.png", "--size", "64x48"});
  EXPECT_EQ(broken.status, 0) << broken.err;
  EXPECT_EQ(vt::countOccurrences(broken.err, "the cover art in broken.flac is skipped"), 1u) << broken.err;
}

TEST(Inputs, ThePreviousFrameFeedsBackAndASpanEqualsTheWholeRender) {
  vt::TempDir dir;
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   pairWith("uniform sampler2D previous;\nuniform vec2 resolution;\nuniform int frame;",
                            "vec4 last = texture(previous, gl_FragCoord.xy / resolution);\n"
                            "FragColor = vec4(last.rgb + vec3(8.0 / 255.0), 1.0);"));
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100, 2, 44100));
  ASSERT_EQ(studio(dir.path(), {"render", "song.wav", "all.mkv", "--size", "64x48", "--to", "0.5", "--crf", "0"}).status,
            0);
  int last = -1;
  for (int n = 0; n < 25; n += 4) {
    const int grey = at(vt::frameRgb(dir / "all.mkv", n), 64, 32, 24, 1);
    EXPECT_NEAR(grey, 8 * (n + 1), 4) << n;  // black at the first frame, then 8 more each frame
    EXPECT_GT(grey, last) << n;
    last = grey;
  }
  ASSERT_EQ(studio(dir.path(),
                   {"render", "song.wav", "span.mkv", "--size", "64x48", "--from", "0.2", "--to", "0.5", "--crf", "0"})
                .status,
            0);
  for (int n = 0; n < 18; n += 6) {
    EXPECT_EQ(vt::frameRgb(dir / "span.mkv", n), vt::frameRgb(dir / "all.mkv", 12 + n)) << n;
  }
}

TEST(Inputs, BadImagesAreRefusedAndBadlyTypedInputsAreNamed) {
  vt::TempDir dir;
  vt::copyShippedShaders(dir.path());
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100, 2, 44100));
  int status = -1;
  vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=red:size=8200x8", "-frames:v", "1",
                 dir / "wide.png"},
                &status);
  ASSERT_EQ(status, 0);
  vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=red:size=8x8", "-frames:v", "1",
                 dir / "ok.jpg"},
                &status);
  ASSERT_EQ(status, 0);
  vt::writeText(dir / "text.png", "not a picture at all");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {"missing", {"--image", "none.png"}, "none.png: No such file"},
      {"not a picture", {"--image", "text.png"}, "text.png: not a picture"},
      {"too large", {"--image", "wide.png"}, "8200x8, larger than 8192"},
      {"a folder", {"--image", "."}, "not a regular file"},
      {"five", {"--image", "ok.jpg", "--image", "ok.jpg", "--image", "ok.jpg", "--image", "ok.jpg", "--image", "ok.jpg"},
       "at most 4"},
  };
  for (const auto& c : cases) {
    for (const char* command : {"render", "play"}) {
      std::vector<std::string> args = {command, "song.wav"};
      if (std::string(command) == "render") {
        args.push_back("o.png");
      }
      args.insert(args.end(), c.args.begin(), c.args.end());
      const StudioRun run = studio(dir.path(), args, 30);
      EXPECT_EQ(run.status, 2) << c.name << " " << command << "\n" << run.err;
      EXPECT_NE(run.err.find(c.message), std::string::npos) << c.name << " " << command << "\n" << run.err;
    }
  }
  EXPECT_FALSE(fs::exists(dir / "o.png"));

  // Declared with the wrong type: named once, not fed, and the picture still renders.
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   pairWith("uniform vec3 bass;\nuniform float waveform;\nuniform float bands;",
                            "FragColor = vec4(bass + vec3(waveform + bands), 1.0);"));
  const StudioRun typed = studio(dir.path(), {"render", "song.wav", "t.png", "--size", "64x48", "--image", "ok.jpg"});
  EXPECT_EQ(typed.status, 0) << typed.err;
  EXPECT_NE(typed.err.find("\"bass\" should be declared as float"), std::string::npos) << typed.err;
  EXPECT_NE(typed.err.find("\"waveform\" should be declared as sampler2D"), std::string::npos) << typed.err;
  EXPECT_NE(typed.err.find("\"bands\" should be declared as float[64]"), std::string::npos) << typed.err;
}

}  // namespace

namespace {

// The sound is a sawtooth sweep, 200 Hz + 4 kHz a second, restarting every
// two seconds. The picture measures the period between the last two upward
// zero crossings of the waveform (the newest samples at its time, nothing
// smoothed), so its frequency says the time to a fraction of a millisecond,
// but only in the middle of the sweep: below 1 kHz a period reaches more than
// a millisecond back, and above 4.5 kHz a period is under ten samples and
// the straight line between two samples misplaces a crossing by up to 15 ms
// of sweep. Done in double precision on the same samples at 3000 random
// moments, a frame taken exactly at its time reads within 1.7 ms of it from
// 0.2 s to 1.0 s into each sweep, where the test looks.

// Left: the picture's itime in ms (red, green, blue bytes); right: that
// frequency in Hz (red low byte, green high byte).
const char* const kTimeAndPitchBody = R"(if (uv.x < 0.5) {
        int ms = int(itime * 1000.0 + 0.5);
        FragColor = vec4(float(ms & 255), float((ms >> 8) & 255), float(ms >> 16), 255.0) / 255.0;
        return;
    }
    float last = -1.0;
    float before = -1.0;
    for (int i = 1023; i >= 1 && before < 0.0; --i) {
        float a = texelFetch(waveform, ivec2(i - 1, 0), 0).r;
        float b = texelFetch(waveform, ivec2(i, 0), 0).r;
        if (a < 0.0 && b >= 0.0) {
            float at = float(i - 1) + a / (a - b);
            if (last < 0.0) { last = at; } else { before = at; }
        }
    }
    int hz = before < 0.0 ? 0 : int(44100.0 / (last - before) + 0.5);
    FragColor = vec4(float(hz & 255) / 255.0, float(hz >> 8) / 255.0, 0.0, 1.0);)";

// How far the measured frequency's moment lies from itime, in seconds.
double leadOf(const std::string& rgb, int width, int height) {
  auto px = [&](int x, int c) {
    return static_cast<unsigned char>(rgb[static_cast<size_t>(((height / 2) * width + x) * 3 + c)]);
  };
  const double itime = (px(2, 0) + 256 * px(2, 1) + 65536 * px(2, 2)) / 1000.0;
  const double hz = px(width - 3, 0) + 256 * px(width - 3, 1);
  return (hz - 200.0) / 4000.0 - std::fmod(itime, 2.0);
}

// A signal that moves in time: the window and a render agree frame by frame
// on which moment of the sound belongs to their own time.
TEST(Inputs, ARenderAndAWindowAnalyseTheSameMomentOfAMovingSound) {
  vt::TempDir dir;
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   pairWith("uniform sampler2D waveform;", kTimeAndPitchBody));
  ASSERT_TRUE(vt::writeSound(dir / "sweep.wav", 44100 * 20, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t f, int) {
                               const double t = std::fmod(static_cast<double>(f) / 44100, 2.0);
                               return 0.5 * std::sin(2 * M_PI * (200.0 * t + 2000.0 * t * t));
                             }));
  // Stills, whose pixels are exact (a video's colours pass through YUV).
  std::vector<double> rendered;
  for (const char* from : {"0.3", "0.45", "0.71", "0.85", "2.4", "2.6", "2.93", "4.26", "4.5", "6.8"}) {
    const StudioRun run = studio(dir.path(), {"render", "sweep.wav", "r.png", "--size", "64x16", "--from", from,
                                              "--overwrite", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    rendered.push_back(leadOf(vt::frameRgb(dir / "r.png"), 64, 16));
  }
  std::sort(rendered.begin(), rendered.end());
  const double renderLead = rendered[rendered.size() / 2];
  // The waveform ends at the frame's time: the last whole period before it
  // reaches under a millisecond back at these pitches.
  EXPECT_NEAR(renderLead, 0.0, 0.002);
  EXPECT_LT(rendered.back() - rendered.front(), 0.004) << "the render's frames disagree among themselves";

  vt::Process play({vt::studioBinary(), "play", "sweep.wav", "--size", "64x16"}, dir.path(),
                   {{"ALSOFT_DRIVERS", "null"}});
  ASSERT_EQ(vt::wmctl({"wait", "sweep.wav", "30"}, nullptr, 40), 0) << play.err();
  std::vector<double> played;
  for (int i = 0; i < 300 && played.size() < 15; ++i) {
    ASSERT_EQ(vt::wmctl({"snap", "sweep.wav", dir / "w.ppm"}), 0);
    const std::string rgb = vt::frameRgb(dir / "w.ppm");
    ASSERT_EQ(rgb.size(), 64u * 16 * 3);
    const double itime = (static_cast<unsigned char>(rgb[(8 * 64 + 2) * 3]) +
                          256 * static_cast<unsigned char>(rgb[(8 * 64 + 2) * 3 + 1])) / 1000.0;
    if (std::fmod(itime, 2.0) > 0.2 && std::fmod(itime, 2.0) < 1.0) {
      played.push_back(leadOf(rgb, 64, 16));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(37));
  }
  vt::wmctl({"close", "sweep.wav"});
  EXPECT_EQ(play.wait(20), 0) << play.err();
  ASSERT_GE(played.size(), 10u);
  // A frame is 16.7 ms: an offset of one would show eight times over. A
  // snapshot of the screen may catch two frames half each, so the median.
  std::sort(played.begin(), played.end());
  EXPECT_NEAR(played[played.size() / 2], renderLead, 0.002) << "the window analyses another moment than a render";
  const auto close = std::count_if(played.begin(), played.end(),
                                   [&](double lead) { return std::fabs(lead - renderLead) < 0.002; });
  std::string leads;
  for (double lead : played) leads += " " + std::to_string(std::lround((lead - renderLead) * 1e4) / 10.0);
  EXPECT_GE(close * 10, static_cast<long>(played.size()) * 7) << "ms from the render's:" << leads;
}

}  // namespace

namespace {

// The waveform's history in pairs, from a sawtooth of exactly 1024 samples
// (44.1 kHz, both channels alike, each sample (n mod 1024 - 512) / 1024):
// every texel holds two of those values, the second one step (1/1024) on
// from the first but where the saw falls back and in the last column (the
// same value twice); and row k + 1, a 60 Hz tick (735 samples) older, is
// 735 steps behind row k. A pixel a texel: red where a value is not one of
// the saw's, green where a pair is not neighbours, blue where a row is not
// the tick before the one above it.
TEST(Inputs, TheWavesHistoryInPairsHoldsEachSampleAndTheNext) {
  vt::TempDir dir;
  vt::writeShaders(
      dir.path(), vt::kPlainVertexShader,
      pairWith("uniform sampler2D wavePairs;\n"
               "float valueOf(vec2 bytes) { return dot(bytes, vec2(255.0 * 256.0, 255.0)) * (2.0 / 65535.0) - 1.0; }\n"
               "bool near(float a, float b) { return abs(a - b) < 0.25 / 1024.0; }",
               "ivec2 at = ivec2(gl_FragCoord.xy);\n"
               "vec4 t = texelFetch(wavePairs, at, 0);\n"
               "float here = valueOf(t.xy);\n"
               "float next = valueOf(t.zw);\n"
               "float steps = here * 1024.0;\n"
               "bool onSaw = abs(steps - round(steps)) < 0.25 && abs(next * 1024.0 - round(next * 1024.0)) < 0.25;\n"
               "bool pair = at.x == 1023 ? near(next, here) : (near(next - here, 1.0 / 1024.0) || near(here - next, 1023.0 / 1024.0));\n"
               "float older = at.y == 15 ? here : valueOf(texelFetch(wavePairs, ivec2(at.x, at.y + 1), 0).xy);\n"
               "float behind = mod((here - older) * 1024.0, 1024.0);\n"
               "bool tick = at.y == 15 || abs(behind - 735.0) < 0.25;\n"
               "FragColor = vec4(onSaw ? 0.0 : 1.0, pair ? 0.0 : 1.0, tick ? 0.0 : 1.0, 1.0);"));
  ASSERT_TRUE(vt::writeSound(dir / "saw.wav", 44100 * 3, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t f, int) { return static_cast<double>(f % 1024 - 512) / 1024.0; }));
  const StudioRun run = studio(dir.path(), {"render", "saw.wav", "p.png", "--size", "1024x16", "--from", "1.5",
                                            "--level", "off", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string rgb = vt::frameRgb(dir / "p.png");
  ASSERT_EQ(rgb.size(), 1024u * 16 * 3);
  int wrong[3] = {0, 0, 0};
  for (size_t i = 0; i < rgb.size(); ++i) {
    wrong[i % 3] += static_cast<unsigned char>(rgb[i]) > 127 ? 1 : 0;
  }
  EXPECT_EQ(wrong[0], 0) << "values that are not the saw's";
  EXPECT_EQ(wrong[1], 0) << "pairs that are not neighbours";
  EXPECT_EQ(wrong[2], 0) << "rows that are not a tick apart";
}

}  // namespace

namespace {

// The bands' history: a tone that starts 1.0 s into the song shows, in a
// still at 1.5 s, in the rows of the last half second (row r is r 60ths of a
// second back) and not in the rows before it; "bandHistorySeconds" says
// how much of the history was heard (1.5 s: 91 ticks from 0 to 1.5); and
// the same still at 30 and at 60 frames a second is the same to the byte.
TEST(Inputs, TheBandsHistoryHoldsARowEverySixtiethOfASecond) {
  vt::TempDir dir;
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   pairWith("uniform sampler2D bandHistory;\nuniform float bandHistorySeconds;",
                            "ivec2 at = ivec2(int(gl_FragCoord.x), 719 - int(gl_FragCoord.y));\n"
                            "FragColor = vec4(clamp(texelFetch(bandHistory, at, 0).r, 0.0, 1.0), "
                            "bandHistorySeconds / 12.0, 0.0, 1.0);"));
  ASSERT_TRUE(vt::writeSound(dir / "late.wav", 44100 * 3, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t f, int) {
                               const double t = static_cast<double>(f) / 44100;
                               return t >= 1.0 ? 0.5 * std::sin(2 * M_PI * 1000.0 * t) : 0.0;
                             }));
  std::vector<std::string> stills;
  for (const char* fps : {"60", "30"}) {
    const std::string out = dir / (std::string("h") + fps + ".png");
    const StudioRun run = studio(dir.path(), {"render", "late.wav", out, "--size", "64x720", "--from", "1.5", "--fps",
                                              fps, "--level", "off", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    stills.push_back(vt::frameRgb(out));
  }
  EXPECT_TRUE(stills[0] == stills[1]) << "the history differs at 30 frames a second";
  const std::string& rgb = stills[0];
  auto at = [&](int x, int row, int c) { return static_cast<unsigned char>(rgb[static_cast<size_t>((row * 64 + x) * 3 + c)]); };
  // The tone's band: the loudest in the newest row.
  int band = 0;
  for (int x = 1; x < 64; ++x) {
    band = at(x, 0, 0) > at(band, 0, 0) ? x : band;
  }
  const int loud = at(band, 0, 0);
  ASSERT_GT(loud, 100);
  for (int row = 0; row <= 28; ++row) {
    EXPECT_GT(at(band, row, 0), loud / 2) << "row " << row << " (" << row / 60.0 << " s back) is after the start";
  }
  for (int row = 32; row < 120; ++row) {
    EXPECT_LT(at(band, row, 0), loud / 10) << "row " << row << " (" << row / 60.0 << " s back) is before the start";
  }
  EXPECT_NEAR(at(0, 0, 1), 91.0 / 60 / 12 * 255, 1.0);
}

}  // namespace
