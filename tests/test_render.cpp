// vrax-studio render, end to end over the built binary with no display:
// picture and sound in step on a click track, identical frames from identical
// input and from a span, the streams' shape and tags, and every bad input
// with its status. The exact frame times are checked on their own first.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "video/frameClock.h"
#include "picture/picture.h"
#include "support.h"

namespace {

using vt::probe;
using vt::studio;
using vt::StudioRun;

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    out.push_back(line);
  }
  return out;
}

// Mean brightness of every decoded frame.
std::vector<double> frameBrightness(const std::string& file, int width, int height) {
  const std::string raw = vt::runOutput(
      {"/usr/bin/ffmpeg", "-v", "error", "-i", file, "-map", "0:v", "-fps_mode", "passthrough", "-f", "rawvideo",
       "-pix_fmt", "gray", "-"});
  const size_t size = static_cast<size_t>(width) * height;
  std::vector<double> out;
  for (size_t at = 0; at + size <= raw.size(); at += size) {
    double sum = 0;
    for (size_t i = 0; i < size; ++i) {
      sum += static_cast<unsigned char>(raw[at + i]);
    }
    out.push_back(sum / static_cast<double>(size));
  }
  return out;
}

// The decoded sound as mono floats, as a player would present it (at `rate`
// where one is given). mkv has no way to say that AAC's priming is not part
// of the sound but its timestamps, which put it before 0, where a player
// does not play it: there decoding starts at 0. (mp4 and mov say so in an
// edit list, webm in the Opus stream's own delay, and the decoder obeys.)
// The sound as a player places it: each decoded sample with its time, from
// the decoded frames' own timestamps (ffprobe), at the stream's own rate.
struct TimedSound {
  std::vector<float> samples;  // mono
  std::vector<double> times;   // seconds, one a sample
};
TimedSound timedSound(const std::string& file) {
  TimedSound out;
  const std::string raw = vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", file, "-map", "0:a", "-ac", "1", "-f",
                                         "f32le", "-"});
  out.samples.resize(raw.size() / 4);
  std::memcpy(out.samples.data(), raw.data(), out.samples.size() * 4);
  const int rate = std::stoi(vt::probe(file, "stream=sample_rate", "a:0"));
  std::istringstream frames(vt::runOutput({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "a:0", "-show_frames",
                                           "-show_entries", "frame=pts_time,nb_samples", "-of", "csv=p=0", file}));
  std::string line;
  while (std::getline(frames, line)) {
    const size_t comma = line.find(',');
    if (comma == std::string::npos) {
      continue;
    }
    const double pts = std::stod(line.substr(0, comma));
    const int count = std::stoi(line.substr(comma + 1));
    for (int k = 0; k < count; ++k) {
      out.times.push_back(pts + static_cast<double>(k) / rate);
    }
  }
  return out;
}

std::vector<float> decodedSound(const std::string& file, int rate = 0) {
  std::vector<std::string> args = {"/usr/bin/ffmpeg", "-v", "error"};
  if (file.size() > 4 && file.compare(file.size() - 4, 4, ".mkv") == 0) {
    args.insert(args.end(), {"-ss", "0"});
  }
  args.insert(args.end(), {"-i", file, "-map", "0:a", "-ac", "1"});
  if (rate > 0) {
    args.insert(args.end(), {"-ar", std::to_string(rate)});
  }
  args.insert(args.end(), {"-f", "f32le", "-"});
  const std::string raw = vt::runOutput(args);
  std::vector<float> out(raw.size() / 4);
  std::memcpy(out.data(), raw.data(), out.size() * 4);
  return out;
}

std::vector<std::string> frameHashes(const std::string& file) {
  std::vector<std::string> out;
  for (const auto& line :
       lines(vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", file, "-map", "0:v", "-f", "framemd5", "-"}))) {
    if (!line.empty() && line[0] != '#') {
      out.push_back(line.substr(line.rfind(',') + 1));
    }
  }
  return out;
}

// Bright where the spectrum around bin 256 stands above the silence floor.
const std::string kFlashShader = vt::fragmentShader(R"(    float loudest = -100.0;
    for (int k = 240; k < 272; ++k) loudest = max(loudest, spectrum[k]);
    FragColor = vec4(vec3(loudest > -6.0 ? 1.0 : 0.0), 1.0);)");

// A pair whose picture depends on the spectrum and on time.
const std::string kBusyShader = vt::fragmentShader(R"(    float s = spectrum[int(uv.x * 2047.0)];
    FragColor = vec4(fract(s * 0.37), fract(itime * 0.7 + uv.y), aspect * 0.5, 1.0);)");

// Smooth across the picture (so 4:2:0 loses nothing), changing with time.
const std::string kSmoothShader = vt::fragmentShader(R"(    FragColor = vec4(fract(itime * 5.0 + 0.25), clamp((spectrum[40] + 7.0) / 20.0, 0.0, 1.0), uv.y, 1.0);)");

TEST(FrameClock, SoundFramesComeFromTheFrameNumberWithoutDrift) {
  struct Case {
    const char* fps;
    int64_t rate;
    int64_t frame;
    int64_t soundFrame;
  };
  const Case cases[] = {
      {"60", 48000, 1, 800},
      {"62.5", 44100, 1, 706},                   // 705.6 rounds up
      {"62.5", 44100, 3, 2117},                  // 2116.8
      {"30000/1001", 48000, 1, 1602},            // 1601.6
      {"62.5", 44100, 675000, 476280000},        // three hours in, exact
      {"29.97", 44100, 323676, 476280000},       // 3 hours: 323676 × 100/2997 × 44100 exactly
      {"29.97", 44100, 323677, 476281471},       // 476281471.47…
      {"240", 8000, 864000 * 3, 28800000 * 3}};  // 3 hours at 240 fps
  for (const auto& c : cases) {
    Rational fps;
    ASSERT_TRUE(parseRational(c.fps, fps)) << c.fps;
    EXPECT_EQ(FrameClock(fps, c.rate).soundFrameAt(c.frame), c.soundFrame) << c.fps << " frame " << c.frame;
  }
  const FrameClock clock({125, 2}, 44100);
  EXPECT_EQ(clock.framesFor(44100), 63);  // 62.5 frames a second: the last frame starts at 0.992 s
  EXPECT_EQ(clock.framesFor(44101), 63);
  EXPECT_EQ(clock.framesFor(1), 1);
  EXPECT_EQ(clock.frameAtOrAfter({1, 1}), 63);
  EXPECT_EQ(clock.frameAtOrAfter({16, 1}), 1000);
}

TEST(FrameClock, ReadsOnlyNumbers) {
  struct Case {
    const char* text;
    bool ok;
    int64_t num;
    int64_t den;
  };
  const Case cases[] = {{"60", true, 60, 1},       {"62.5", true, 625, 10}, {"0.25", true, 25, 100},
                        {"30000/1001", true, 30000, 1001}, {"1.", true, 1, 1},      {"", false, 0, 0},
                        {".", false, 0, 0},        {"-1", false, 0, 0},     {"1e3", true, 1000, 1},
                        {"2.5e-1", true, 1, 4},    {"1E+2", true, 100, 1},  {"1e", false, 0, 0},
                        {"e2", false, 0, 0},       {"1e-99", false, 0, 0},  {"182.e15", false, 0, 0},
                        {"1e-10", false, 0, 0},    {"999999999.5e0", true, 1999999999, 2},  {"3.14159265358979", true, 3141592653, 1000000000},
                        {"1/0", false, 0, 0},      {"nan", false, 0, 0},    {"1.2.3", false, 0, 0},
                        {"12345678901", false, 0, 0}};
  for (const auto& c : cases) {
    Rational r;
    EXPECT_EQ(parseRational(c.text, r), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(r.num * c.den, c.num * r.den) << c.text;
    }
  }
}

// Shader logs name the file and the shader's own line, whichever driver wrote them.
TEST(ShaderLog, NamesTheFileAndLine) {
  struct Case {
    const char* log;
    const char* described;
  };
  const Case cases[] = {
      {"0:12(5): error: `nope' undeclared\n", "my/Quad.frag.glsl:12:5: error: `nope' undeclared\n"},
      {"0:3(1): error: syntax error\n0:4(2): warning: unused\n",
       "my/Quad.frag.glsl:3:1: error: syntax error\nmy/Quad.frag.glsl:4:2: warning: unused\n"},
      {"0(7) : error C1008: undefined variable\n", "my/Quad.frag.glsl:7: error C1008: undefined variable\n"},
      {"error: unresolved symbol\n\n", "my/Quad.frag.glsl: error: unresolved symbol\n"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(describeShaderLog(c.log, "my/Quad.frag.glsl"), c.described) << c.log;
  }
}

// Clicks on exact frame times at 96 kHz: a frame's window (1024 stereo
// frames, 10.7 ms) ends before the next frame starts, so a click can first
// show on its own frame and no earlier.
TEST(Render, FlashesAndSoundLandOnTheClicksOwnFrames) {
  vt::TempDir dir;
  vt::writeShaders(dir.path(), vt::kPlainVertexShader, kFlashShader);
  const int rate = 96000;
  const std::vector<int> clickFrames = {40, 70, 100, 130, 160};
  ASSERT_TRUE(vt::writeSound(dir / "clicks.wav", 3 * rate, 2, rate, kWav16, [&](int64_t f, int) {
    for (int n : clickFrames) {
      const int64_t start = int64_t(n) * rate / 60;
      if (f >= start && f < start + 480) {
        return 0.8 * std::sin(2 * M_PI * 3000.0 * static_cast<double>(f - start) / rate);
      }
    }
    return 0.0;
  }));
  // Every container, each with its default sound (AAC; Opus in webm, which
  // runs at 48 kHz, so the sound is compared back at the click track's rate).
  for (const std::string out : {"out.mp4", "out.mkv", "out.mov", "out.webm"}) {
    const StudioRun run = studio(dir.path(), {"render", "clicks.wav", out, "--size", "64x48", "--quiet"});
    ASSERT_EQ(run.status, 0) << out << "\n" << run.err;
    EXPECT_EQ(run.err, "") << out;

    const std::vector<double> frames = frameBrightness(dir / out, 64, 48);
    ASSERT_EQ(frames.size(), 180u) << out;
    std::vector<int> onsets;
    for (size_t n = 20; n < frames.size(); ++n) {  // the first frames blend against zeros
      if (frames[n] > 128 && frames[n - 1] < 128) {
        onsets.push_back(static_cast<int>(n));
      }
    }
    EXPECT_EQ(onsets, clickFrames) << out;

    const std::vector<float> sound = decodedSound(dir / out, rate);
    // The end may keep the last frame's padding: ffmpeg ignores the edit
    // list's end, though it honours its start.
    ASSERT_GE(sound.size(), 3u * rate - 16) << out;
    ASSERT_LE(sound.size(), 3u * rate + 2048) << out;
    for (int n : clickFrames) {
      const int64_t expected = int64_t(n) * rate / 60;
      int64_t onset = -1;
      for (int64_t i = expected - rate / 20; i < expected + rate / 20; ++i) {
        if (std::fabs(sound[static_cast<size_t>(i)]) > 0.2f) {
          onset = i;
          break;
        }
      }
      EXPECT_NEAR(static_cast<double>(onset - expected) / rate, 0.0, 0.001) << out << ": click on frame " << n;
    }
    // Where a player puts the clicks: by the decoded frames' timestamps.
    const TimedSound timed = timedSound(dir / out);
    ASSERT_EQ(timed.samples.size(), timed.times.size()) << out;
    for (int n : clickFrames) {
      const double expected = n / 60.0;
      double heard = -1;
      for (size_t i = 0; i < timed.samples.size(); ++i) {
        if (std::fabs(timed.times[i] - expected) < 0.05 && std::fabs(timed.samples[i]) > 0.2f) {
          heard = timed.times[i];
          break;
        }
      }
      EXPECT_NEAR(heard, expected, 0.001) << out << ": click on frame " << n << ", by the frames' times";
    }
  }
}

TEST(Render, SameInputSameFramesAndASpanEqualsItsPartOfTheWhole) {
  vt::TempDir dir;
  vt::writeShaders(dir.path(), vt::kPlainVertexShader, kBusyShader);
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100 * 5 / 2, 2, 44100));
  // Lossless, so equal pictures decode to equal frames whatever the encoder's choices.
  const std::vector<std::string> common = {"--size", "96x64", "--crf", "0", "--quiet"};
  auto render = [&](const std::string& out, std::vector<std::string> extra) {
    std::vector<std::string> args = {"render", "song.wav", out};
    args.insert(args.end(), common.begin(), common.end());
    args.insert(args.end(), extra.begin(), extra.end());
    const StudioRun run = studio(dir.path(), args);
    EXPECT_EQ(run.status, 0) << run.err;
    return frameHashes(dir / out);
  };
  const auto whole = render("a.mkv", {});
  const auto again = render("b.mkv", {});
  const auto span = render("c.mp4", {"--from", "1", "--to", "2"});
  ASSERT_EQ(whole.size(), 150u);
  EXPECT_EQ(whole, again);
  ASSERT_EQ(span.size(), 60u);
  EXPECT_EQ(span, std::vector<std::string>(whole.begin() + 60, whole.begin() + 120));
  EXPECT_NE(whole[60], whole[61]);
}

// A still or a clip from --from is the whole render's frame there, also
// for a picture whose clock runs with the music (midTime, as plasma's):
// mids in bursts over 14 s make that clock's value at 12 s depend on all
// of them.
TEST(Render, AStillOrClipFromLateInTheSongIsTheWholeRendersFrame) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeSound(dir / "song.wav", 44100 * 14, 1, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t f, int) {
                               const double t = static_cast<double>(f) / 44100;
                               const bool on = std::fmod(t, 1.7) < 0.8;
                               return on ? 0.6 * std::sin(2 * M_PI * 1000 * t) : 0.0;
                             }));
  // Grey, so the lossless 4:2:0 videos hold the drawn values (to a level's
  // rounding) and a still compares with a video's frame.
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   "#version 450 core\nuniform float midTime;\nuniform float aspect;\nout vec4 FragColor;\n"
                   "layout(std430, binding = 0) buffer Spectrum { float spectrum[]; };\n"
                   "void main() { float x = gl_FragCoord.x / 64.0;\n"
                   "  FragColor = vec4(vec3(fract(0.37 * midTime + 0.5 * x)), 1.0); }\n");
  const std::vector<std::string> common = {"--size", "64x36", "--fps", "30", "--quiet", "--overwrite",
                                           "--level", "off", "--flash-guard", "off"};
  const auto run = [&](std::vector<std::string> args) {
    args.insert(args.end(), common.begin(), common.end());
    const StudioRun done = studio(dir.path(), args);
    EXPECT_EQ(done.status, 0) << done.err;
  };
  run({"render", "song.wav", "whole.mkv", "--crf", "0"});
  run({"render", "song.wav", "still.png", "--from", "12"});
  run({"render", "song.wav", "clip.mkv", "--crf", "0", "--from", "12", "--to", "13"});
  const std::string wholeAt12 = vt::frameRgb(dir / "whole.mkv", 360);
  EXPECT_LT(vt::meanDifference(vt::frameRgb(dir / "still.png"), wholeAt12), 1.0);
  EXPECT_EQ(vt::frameRgb(dir / "clip.mkv", 0), wholeAt12);
  EXPECT_GT(vt::meanDifference(wholeAt12, vt::frameRgb(dir / "whole.mkv", 330)), 3.0) << "the picture moves";
}

TEST(Render, StreamsHaveTheSizeRateCountSoundAndColourTheyShould) {
  struct Case {
    int channels;
    int rate;
    const char* output;
    const char* soundChannels;
    const char* soundRate;
    const char* container;
  };
  const Case cases[] = {{1, 8000, "mono.mp4", "1", "8000", "mp4"},
                        {6, 48000, "surround.mov", "2", "48000", "mov"},
                        {3, 37800, "odd.mkv", "2", "44100", "mkv"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    vt::TempDir dir;
    vt::copyShippedShaders(dir.path());
    // 1.01 s at 62.5 frames a second: 63.125, so 64 frames.
    ASSERT_TRUE(vt::writeTone(dir / "in.wav", c.rate * 101 / 100, c.channels, c.rate));
    const StudioRun run =
        studio(dir.path(), {"render", "in.wav", c.output, "--size", "320x180", "--fps", "62.5", "--quiet"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string file = dir / c.output;
    EXPECT_EQ(lines(probe(file, "stream=codec_name,width,height,r_frame_rate,nb_read_frames,color_space,"
                                "color_range,color_primaries,color_transfer")),
              (std::vector<std::string>{"h264", "320", "180", "tv", "bt709", "bt709", "bt709", "125/2", "64"}));
    const auto sound = lines(probe(file, "stream=codec_name,sample_rate,channels", "a:0"));
    EXPECT_EQ(sound, (std::vector<std::string>{"aac", c.soundRate, c.soundChannels}));
    // Video from 0; sound from 0 (mp4, mov: an edit list skips the priming)
    // or from before 0 by the priming (mkv), so its sample 0 still plays at 0.
    const double rate = std::stod(c.soundRate);
    EXPECT_EQ(probe(file, "stream=start_time"), "0.000000\n");
    EXPECT_NEAR(std::stod(probe(file, "stream=start_time", "a:0")), c.container == std::string("mkv") ? -1024 / rate : 0, 0.001);
    const double decoded = decodedSound(file).size() / rate;
    EXPECT_GE(decoded, 1.01 - 1e-6);
    EXPECT_LE(decoded, 1.01 + 1024 / rate);
  }
}

TEST(Render, APngIsTheFrameAtFrom) {
  vt::TempDir dir;
  vt::writeShaders(dir.path(), vt::kPlainVertexShader, kSmoothShader);
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100 * 3, 2, 44100));
  ASSERT_EQ(studio(dir.path(), {"render", "song.wav", "still.png", "--size", "96x64", "--from", "1.5"}).status, 0);
  // The sawtooth flashes five times a second: the guard would ease it, and
  // this is about which frame a still is.
  ASSERT_EQ(studio(dir.path(), {"render", "song.wav", "all.mkv", "--size", "96x64", "--crf", "0", "-q",
                                "--flash-guard", "off"})
                .status,
            0);
  EXPECT_EQ(lines(probe(dir / "still.png", "stream=codec_name,width,height")),
            (std::vector<std::string>{"png", "96", "64"}));
  auto rgb = [&](const std::string& file, int frame) {
    return vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / file, "-vf",
                          "select=eq(n\\," + std::to_string(frame) + "),scale=in_color_matrix=bt709:in_range=tv",
                          "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
  };
  auto meanDifference = [](const std::string& a, const std::string& b) {
    EXPECT_EQ(a.size(), b.size());
    double sum = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
      sum += std::abs(int(static_cast<unsigned char>(a[i])) - int(static_cast<unsigned char>(b[i])));
    }
    return sum / static_cast<double>(std::max<size_t>(1, a.size()));
  };
  // Frame 90 stands for 1.5 s; its neighbours are visibly different pictures.
  const std::string still = rgb("still.png", 0);
  EXPECT_LT(meanDifference(still, rgb("all.mkv", 90)), 3.0);
  EXPECT_GT(meanDifference(still, rgb("all.mkv", 89)), 5.0);
  EXPECT_GT(meanDifference(still, rgb("all.mkv", 91)), 5.0);
}

TEST(Render, BadInputGetsItsMessageAndStatus) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"unknown option", {"song.wav", "o.mp4", "--bogus"}, 2, "bogus"},
      {"no output", {"song.wav"}, 2, "OUTPUT"},
      {"size not WxH", {"song.wav", "o.mp4", "--size", "12x"}, 2, "--size"},
      {"odd size", {"song.wav", "o.mp4", "--size", "801x600"}, 2, "even"},
      {"size too large", {"song.wav", "o.mp4", "--size", "7680x4320"}, 2, "3840"},
      {"fps zero", {"song.wav", "o.mp4", "--fps", "0"}, 2, "--fps"},
      {"fps too high", {"song.wav", "o.mp4", "--fps", "241"}, 2, "--fps"},
      {"fps not a number", {"song.wav", "o.mp4", "--fps", "fast"}, 2, "--fps"},
      {"crf out of range", {"song.wav", "o.mp4", "--crf", "60"}, 2, "crf"},
      {"from after to", {"song.wav", "o.mp4", "--from", "0.8", "--to", "0.5"}, 2, "before --to"},
      {"from past the end", {"song.wav", "o.mp4", "--from", "1"}, 2, "past the end"},
      {"unknown container", {"song.wav", "o.avi"}, 2, ".mp4"},
      {"output exists", {"song.wav", "taken.mp4"}, 2, "--overwrite"},
      {"missing sound", {"none.wav", "o.mp4"}, 1, "none.wav"},
      {"not a sound", {"noise.wav", "o.mp4"}, 1, "noise.wav"},
      {"empty sound", {"empty.wav", "o.mp4"}, 1, "no sound"},
      {"broken shader", {"song.wav", "o.mp4", "--shaders", "Broken"}, 1, "Broken/Quad.frag.glsl:3:"},
      {"missing shaders", {"song.wav", "o.mp4", "--shaders", "Nowhere"}, 1, "Nowhere: No such file"},
  };
  vt::TempDir dir;
  vt::copyShippedShaders(dir.path());
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100, 2, 44100));
  ASSERT_TRUE(vt::writeShorts(dir / "empty.wav", {}, 2, 44100));
  vt::writeText(dir / "noise.wav", std::string(4096, '\x5a'));
  vt::writeText(dir / "taken.mp4", "mine");
  std::filesystem::create_directories(dir / "Broken");
  vt::writeText(dir / "Broken/Quad.vert.glsl", vt::kPlainVertexShader);
  vt::writeText(dir / "Broken/Quad.frag.glsl", "#version 450 core\nout vec4 FragColor;\nvoid main() { oops }\n");
  for (const auto& c : cases) {
    std::vector<std::string> args = {"render"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const StudioRun run = studio(dir.path(), args, 60);
    EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.name << "\n" << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "o.mp4")) << c.name;
  }
  EXPECT_EQ(vt::readText(dir / "taken.mp4"), "mine");
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos) << entry.path();
  }
}

// Odd sounds either render correctly or are refused; none crashes or hangs.
// The shapes upload sites ask for, by name, give the picture sizes they stand for.
TEST(Render, NamedSizesGiveTheirShapes) {
  vt::TempDir dir;
  vt::copyShippedShaders(dir.path());
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100, 2, 44100));
  const std::pair<const char*, const char*> sizes[] = {{"720p", "1280,720"},     {"1080p", "1920,1080"},
                                                       {"1440p", "2560,1440"},   {"4k", "3840,2160"},
                                                       {"portrait", "1080,1920"}, {"square", "1080,1080"}};
  for (const auto& [name, shape] : sizes) {
    const StudioRun run = studio(dir.path(), {"render", "song.wav", std::string(name) + ".mp4", "--size", name, "--to",
                                              "0.05", "--fps", "20", "-q"});
    ASSERT_EQ(run.status, 0) << name << "\n" << run.err;
    EXPECT_EQ(vt::runOutput({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                             "stream=width,height", "-of", "csv=p=0", dir / (std::string(name) + ".mp4")}),
              std::string(shape) + "\n")
        << name;
  }
  const StudioRun wrong = studio(dir.path(), {"render", "song.wav", "o.mp4", "--size", "8k"});
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.err.find("portrait"), std::string::npos) << wrong.err;
}

TEST(Render, OddSoundsRenderOrAreRefused) {
  struct Case {
    const char* name;
    std::function<bool(const std::string&)> write;
    int status;
  };
  const Case cases[] = {
      {"one frame", [](const std::string& p) { return vt::writeTone(p, 1, 2, 44100); }, 0},
      {"eight channels", [](const std::string& p) { return vt::writeTone(p, 22050, 8, 44100); }, 0},
      {"8 kHz mono", [](const std::string& p) { return vt::writeTone(p, 8000, 1, 8000); }, 0},
      {"float beyond full scale",
       [](const std::string& p) {
         return vt::writeSound(p, 4410, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_FLOAT, [](int64_t, int) { return 4.0; });
       },
       0},
  };
  for (const auto& c : cases) {
    vt::TempDir dir;
    vt::copyShippedShaders(dir.path());
    ASSERT_TRUE(c.write(dir / "in.wav")) << c.name;
    const StudioRun run = studio(dir.path(), {"render", "in.wav", "o.mp4", "--size", "64x48", "-q"}, 60);
    EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.err;
    EXPECT_EQ(probe(dir / "o.mp4", "stream=codec_name"), "h264\n") << c.name;
  }
  // A FLAC header claiming hours that the file does not hold, with no frame
  // that decodes: refused at once as holding no sound, nothing written
  // (neither a hang reading the claimed length nor an empty video).
  for (const char* name : {"flac-claims-huge-length-272b400e", "flac-claims-huge-length-ec861dce"}) {
    vt::TempDir dir;
    vt::copyShippedShaders(dir.path());
    const std::string file = vt::sourceDir() + "/tests/fuzz-regressions/" + name;
    const StudioRun run = studio(dir.path(), {"render", file, "o.mp4", "--size", "64x48", "-q"}, 60);
    EXPECT_EQ(run.status, 1) << name << "\n" << run.err;
    EXPECT_NE(run.err.find("holds no sound to render"), std::string::npos) << name << "\n" << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "o.mp4")) << name;
  }
}

// A full disk: the failure is reported as one, and no partial file is left.
TEST(Render, AFullDiskFailsAndLeavesNothing) {
  vt::TempDir dir;
  vt::copyShippedShaders(dir.path());
  // Noise: 192 kb/s of sound alone outgrows the disk within three seconds.
  ASSERT_TRUE(vt::writeSound(dir / "song.wav", 44100 * 3, 2, 44100, kWav16, [](int64_t f, int c) {
    return std::sin(static_cast<double>(f * 7919 + c * 104729) * 12.9898) * 0.8;
  }));
  const std::string small = dir / "small";
  std::filesystem::create_directories(small);
  int status = -1;
  vt::runOutput({"/bin/mount", "-t", "tmpfs", "-o", "size=48k", "tmpfs", small}, &status);
  if (status != 0) {
    GTEST_SKIP() << "cannot mount a small filesystem here";
  }
  const StudioRun run = studio(dir.path(), {"render", "song.wav", small + "/o.mp4", "--size", "320x240", "-q"});
  const bool empty = std::filesystem::is_empty(small);
  vt::runOutput({"/bin/umount", small});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
  EXPECT_TRUE(empty);
}

TEST(Render, AnInterruptKeepsAPlayableVideoOfWhatWasRendered) {
  for (int signal : {SIGINT, SIGTERM}) {
    vt::TempDir dir;
    vt::copyShippedShaders(dir.path());
    ASSERT_TRUE(vt::writeTone(dir / "long.wav", 44100 * 60, 2, 44100));
    vt::Process p({vt::studioBinary(), "render", "long.wav", "o.mp4", "--size", "320x240", "--fps", "60"}, dir.path(),
                  {{"DISPLAY", ""}});
    // The first progress line says frames are done (however long a busy
    // machine takes to get there): a signal then keeps what was rendered.
    ASSERT_TRUE(vt::waitFor([&] { return !p.running() || p.err().find("frames") != std::string::npos; }, 120))
        << p.err();
    kill(p.pid(), signal);
    EXPECT_EQ(p.wait(60), 130) << p.err();
    EXPECT_NE(p.err().find("interrupted"), std::string::npos) << p.err();
    const auto shape = lines(probe(dir / "o.mp4", "stream=codec_name,nb_read_frames"));
    ASSERT_EQ(shape.size(), 2u) << "no playable video";
    EXPECT_GT(std::stoi(shape[1]), 0);
    EXPECT_LT(std::stoi(shape[1]), 3600);
    const double sound = decodedSound(dir / "o.mp4").size() / 44100.0;
    EXPECT_NEAR(sound, std::stoi(shape[1]) / 60.0, 0.03);
  }
}

}  // namespace
