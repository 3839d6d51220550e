// Shadertoy's Sound pass as the song, over the built binary: known signals
// written by small sound shaders and read back by independent measures (a
// Goertzel filter on each ear, a click found at its sample, ffmpeg's
// decoding of the video's sound), in every form a pass comes in, through
// --from, parts and join, the image pass's music channel, and the refusals.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "support.h"

namespace {

namespace fs = std::filesystem;

// A sine on each ear: 440 Hz at 0.5 left, 660 Hz at 0.25 right.
const char* const kSines = R"(vec2 mainSound(int samp, float time) {
    return vec2(0.5 * sin(6.2831853 * 440.0 * time), 0.25 * sin(6.2831853 * 660.0 * time));
})";

// One sample at full scale, at sample 30000 (0.680 s), the rest silence.
const char* const kClick = R"(vec2 mainSound(int samp, float time) {
    return samp == 30000 ? vec2(1.0, -1.0) : vec2(0.0);
})";

// The amplitude of `hz` in one channel of interleaved stereo.
double amplitudeAt(const std::vector<float>& stereo, int channel, double hz, int rate, size_t from, size_t count) {
  return vt::amplitudeAt(stereo, 2, channel, hz, rate, from, count);
}

// The video's (or file's) sound as ffmpeg decodes it: interleaved stereo floats.
std::vector<float> decodedSound(const std::string& file) {
  const std::string bytes = vt::runOutput(
      {"/usr/bin/ffmpeg", "-v", "error", "-i", file, "-map", "0:a", "-ac", "2", "-f", "f32le", "-"});
  std::vector<float> values(bytes.size() / 4);
  std::memcpy(values.data(), bytes.data(), values.size() * 4);
  return values;
}

class SoundPass : public ::testing::Test {
 protected:
  // The studio with a cache of its own, so each case draws its sound afresh.
  vt::StudioRun run(std::vector<std::string> args, double seconds = 120) {
    if (args[0] == "render" && std::find(args.begin(), args.end(), "--size") == args.end()) {
      args.insert(args.end(), {"--size", "64x48", "--fps", "30"});
    }
    args.insert(args.begin(), vt::studioBinary());
    vt::Process p(args, dir.path(), {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"XDG_CACHE_HOME", dir / "cache"}});
    const int status = p.wait(seconds);
    return {status, p.err()};
  }
  std::vector<float> wav(const std::string& name, SF_INFO& info) { return vt::readSound(dir / name, info); }
  vt::TempDir dir;
};

// The soundtrack alone, as 32-bit floats at 44.1 kHz: each ear's sine at its
// frequency and amplitude, nothing of the other's, and exactly as long as asked.
TEST_F(SoundPass, EachEarCarriesItsSineAtItsAmplitude) {
  vt::writeText(dir / "sines.glsl", kSines);
  const vt::StudioRun made = run({"render", "sines.wav", "--shaders", "sines.glsl", "--length", "2"});
  ASSERT_EQ(made.status, 0) << made.err;
  SF_INFO info{};
  const std::vector<float> s = wav("sines.wav", info);
  EXPECT_EQ(info.frames, 88200);
  EXPECT_EQ(info.samplerate, 44100);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT);
  // A second of whole periods of both: 440 and 660 cycles.
  EXPECT_NEAR(amplitudeAt(s, 0, 440, 44100, 22050, 44100), 0.5, 0.005);
  EXPECT_NEAR(amplitudeAt(s, 1, 660, 44100, 22050, 44100), 0.25, 0.005);
  EXPECT_LT(amplitudeAt(s, 0, 660, 44100, 22050, 44100), 0.002);
  EXPECT_LT(amplitudeAt(s, 1, 440, 44100, 22050, 44100), 0.002);

  // 24-bit FLAC of the same: the same sines within a 24-bit step.
  ASSERT_EQ(run({"render", "sines.flac", "--shaders", "sines.glsl", "--length", "2"}).status, 0);
  SF_INFO flacInfo{};
  const std::vector<float> f = wav("sines.flac", flacInfo);
  ASSERT_EQ(f.size(), s.size());
  EXPECT_EQ(flacInfo.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_24);
  double worst = 0;
  for (size_t i = 0; i < f.size(); ++i) {
    worst = std::max(worst, static_cast<double>(std::fabs(f[i] - s[i])));
  }
  EXPECT_LT(worst, 2.0 / (1 << 23));
}

// Every form a Sound pass comes in writes the same known values: a single
// file with either signature (any names and spacing), an export's Sound
// pass, mainSound in Common under an empty Sound pass, sound.glsl in a
// folder; and iSampleRate is the site's 44100.
TEST_F(SoundPass, EveryFormAndSignatureWritesItsSamples) {
  const std::string image = R"(void mainImage(out vec4 c, in vec2 p) { c = vec4(0.5); })";
  auto jsonString = [](const std::string& code) {
    std::string out = "\"";
    for (char c : code) {
      out += c == '\n' ? std::string("\\n") : c == '"' ? std::string("\\\"") : std::string(1, c);
    }
    return out + "\"";
  };
  const std::string withSample = "vec2\nmainSound( in int  s ,float t_DO_NOT_USE )\n{ return vec2(0.25, -0.5); }";
  const std::string timeOnly = "vec2 mainSound(float t) { return vec2(0.25, -0.5); }";
  const std::string rate = "vec2 mainSound(int s, float t) { return vec2(iSampleRate / 100000.0, -0.5); }";
  vt::writeText(dir / "int.glsl", withSample);
  vt::writeText(dir / "float.glsl", image + "\n" + timeOnly);
  vt::writeText(dir / "rate.glsl", rate);
  // One published pass names its function by a macro.
  vt::writeText(dir / "macro.glsl", "vec2 snd(int s, float t) { return vec2(0.25, -0.5); }\n#define mainSound snd\n");
  // Old copies outside the site still say iGlobalTime.
  vt::writeText(dir / "old.glsl", "vec2 mainSound(float t) { return vec2(0.25 + 0.0 * iGlobalTime, -0.5); }");
  vt::writeText(dir / "export.json", R"({"Shader":{"info":{"name":"x"},"renderpass":[
    {"type":"image","name":"Image","inputs":[],"outputs":[],"code":)" + jsonString(image) + R"(},
    {"type":"sound","name":"Sound","inputs":[],"outputs":[],"code":)" + jsonString(withSample) + R"(}]}})");
  vt::writeText(dir / "common.json", R"({"Shader":{"info":{"name":"x"},"renderpass":[
    {"type":"image","name":"Image","inputs":[],"outputs":[],"code":)" + jsonString(image) + R"(},
    {"type":"common","name":"Common","inputs":[],"outputs":[],"code":)" + jsonString(timeOnly) + R"(},
    {"type":"sound","name":"Sound","inputs":[],"outputs":[],"code":""}]}})");
  fs::create_directories(dir / "folder");
  vt::writeText(dir / "folder/image.glsl", image);
  vt::writeText(dir / "folder/sound.glsl", withSample);
  const struct {
    const char* shaders;
    float left;
  } cases[] = {{"int.glsl", 0.25f}, {"float.glsl", 0.25f}, {"export.json", 0.25f},
               {"common.json", 0.25f}, {"folder", 0.25f}, {"rate.glsl", 0.441f}, {"old.glsl", 0.25f}, {"macro.glsl", 0.25f}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shaders);
    const vt::StudioRun made = run({"render", "out.wav", "--shaders", c.shaders, "--length", "0.5", "--overwrite"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err.find("left out"), std::string::npos) << made.err;
    SF_INFO info{};
    const std::vector<float> s = wav("out.wav", info);
    ASSERT_EQ(info.frames, 22050);
    EXPECT_FLOAT_EQ(s[0], c.left);
    EXPECT_FLOAT_EQ(s[1], -0.5f);
    EXPECT_FLOAT_EQ(s[s.size() - 2], c.left);
    EXPECT_FLOAT_EQ(s[s.size() - 1], -0.5f);
  }
}

// A one-sample click is at its own sample: in the whole soundtrack, after
// --from (sample-exact at a start that is no whole frame or block), and in
// a video where the sound is lossless.
TEST_F(SoundPass, AClickIsAtItsSampleFromAnyStart) {
  vt::writeText(dir / "click.glsl", kClick);
  const struct {
    std::vector<std::string> from;
    int64_t at;
  } cases[] = {{{}, 30000}, {{"--from", "0.5"}, 30000 - 22050}, {{"--from", "0.0123"}, 30000 - 542}};
  for (const auto& c : cases) {
    std::vector<std::string> args = {"render", "click.wav", "--shaders", "click.glsl", "--length", "1", "--overwrite"};
    args.insert(args.end(), c.from.begin(), c.from.end());
    const vt::StudioRun made = run(args);
    ASSERT_EQ(made.status, 0) << made.err;
    SF_INFO info{};
    const std::vector<float> s = wav("click.wav", info);
    std::vector<int64_t> loud;
    for (int64_t i = 0; i < info.frames; ++i) {
      if (std::fabs(s[static_cast<size_t>(2 * i)]) > 0.5f) {
        loud.push_back(i);
      }
    }
    ASSERT_EQ(loud.size(), 1u) << (c.from.empty() ? "whole" : c.from[1]);
    EXPECT_EQ(loud[0], c.at);
    EXPECT_EQ(s[static_cast<size_t>(2 * c.at + 1)], -1.0f);
  }
  // A video whose sound is PCM (a .mov of ProRes): the click where it is.
  const vt::StudioRun video = run({"render", "click.mov", "--shaders", "click.glsl", "--length", "1", "--codec", "prores"});
  ASSERT_EQ(video.status, 0) << video.err;
  const std::vector<float> v = decodedSound(dir / "click.mov");
  size_t loudest = 0;
  for (size_t i = 0; i < v.size() / 2; ++i) {
    loudest = std::fabs(v[2 * i]) > std::fabs(v[2 * loudest]) ? i : loudest;
  }
  EXPECT_EQ(loudest, 30000u);
  EXPECT_GT(v[2 * loudest], 0.99f);
}

// Parts share the whole render's soundtrack: joined, their sound is the
// whole render's, sample for sample as decoded.
TEST_F(SoundPass, PartsJoinedCarryTheWholeRendersSound) {
  vt::writeText(dir / "sines.glsl", kSines);
  const std::vector<std::string> common = {"--shaders", "sines.glsl", "--length", "2"};
  auto render = [&](std::vector<std::string> args) {
    args.insert(args.end(), common.begin(), common.end());
    const vt::StudioRun made = run(args);
    EXPECT_EQ(made.status, 0) << made.err;
  };
  render({"render", "whole.mkv"});
  render({"render", "p1.mkv", "--part", "1/2"});
  render({"render", "p2.mkv", "--part", "2/2"});
  vt::Process join({vt::studioBinary(), "join", "joined.mkv", "p1.mkv", "p2.mkv"}, dir.path(),
                   {{"XDG_CACHE_HOME", dir / "cache"}});
  ASSERT_EQ(join.wait(120), 0) << join.err();
  const std::vector<float> whole = decodedSound(dir / "whole.mkv");
  const std::vector<float> joined = decodedSound(dir / "joined.mkv");
  ASSERT_GT(whole.size(), 2u * 80000);
  ASSERT_EQ(joined.size(), whole.size());
  EXPECT_EQ(std::memcmp(joined.data(), whole.data(), whole.size() * 4), 0);
  EXPECT_NEAR(amplitudeAt(whole, 0, 440, 44100, 22050, 44100), 0.5, 0.02);
}

// The image pass hears the Sound pass through its music channel: a sine of
// 2000 Hz is brightest in the browser analyser's bin for it, 2000 ÷ (44100
// ÷ 2048) = bin 92.9 of a row of 512.
TEST_F(SoundPass, TheImagePassHearsItsOwnSoundInTheRightColumn) {
  vt::writeText(dir / "hear.glsl", R"(vec2 mainSound(int s, float time) { return vec2(0.5 * sin(6.2831853 * 2000.0 * time)); }
void mainImage(out vec4 c, in vec2 p) {
    c = vec4(vec3(texture(iChannel0, vec2(p.x / iResolution.x, 0.25)).x), 1.0);
})");
  const vt::StudioRun made =
      run({"render", "hear.png", "--shaders", "hear.glsl", "--from", "1", "--size", "512x16", "--level", "off"});
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string rgb = vt::frameRgb(dir / "hear.png");
  ASSERT_EQ(rgb.size(), 512u * 16 * 3);
  int brightest = 0;
  for (int x = 0; x < 512; ++x) {
    brightest = static_cast<unsigned char>(rgb[static_cast<size_t>((8 * 512 + x) * 3)]) >
                        static_cast<unsigned char>(rgb[static_cast<size_t>((8 * 512 + brightest) * 3)])
                    ? x
                    : brightest;
  }
  EXPECT_NEAR(brightest, 93, 1);
}

// A gallery picture draws over the Sound pass (--shaders for the sound,
// --picture for the look), and what the sound is made of is said once: the
// NaN it gave, as silence.
TEST_F(SoundPass, AGalleryPictureDrawsOverItAndNotANumberIsSilence) {
  vt::writeText(dir / "nan.glsl", R"(vec2 mainSound(int s, float t) {
    return s % 1000 == 7 ? vec2(sqrt(-1.0 - t)) : vec2(0.5 * sin(6.2831853 * 220.0 * t));
})");
  const vt::StudioRun made = run({"render", "nan.mp4", "--shaders", "nan.glsl", "--picture", "bars", "--length", "1"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(vt::countOccurrences(made.err, "not numbers"), 1u) << made.err;
  EXPECT_NE(made.err.find("gave 45 samples"), std::string::npos) << made.err;
  EXPECT_EQ(vt::probe(dir / "nan.mp4", "stream=nb_read_frames"), "30\n");
  EXPECT_GT(vt::mean(vt::frameRgb(dir / "nan.mp4", 20)), 2.0);
  ASSERT_EQ(run({"render", "nan.wav", "--shaders", "nan.glsl", "--length", "1"}).status, 0);
  SF_INFO info{};
  const std::vector<float> s = wav("nan.wav", info);
  EXPECT_EQ(s[2 * 7], 0.0f);
  EXPECT_EQ(s[2 * 1007 + 1], 0.0f);
  EXPECT_NEAR(s[2 * 8], 0.5 * std::sin(2 * M_PI * 220.0 * 8 / 44100), 1e-4);
}

// A Sound pass reads the channels it is given, as the other passes do: a
// folder's "sound:" line and --channel sound:N=WHAT (noise, then black: the
// noise is heard, black is silence).
TEST_F(SoundPass, ItsChannelsAreTheOnesItIsGiven) {
  fs::create_directories(dir / "hears");
  vt::writeText(dir / "hears/image.glsl", "void mainImage(out vec4 c, in vec2 p) { c = vec4(1.0); }");
  vt::writeText(dir / "hears/sound.glsl", R"(vec2 mainSound(int s, float t) {
    return vec2(texelFetch(iChannel0, ivec2(s % 64, (s / 64) % 64), 0).r - 0.5);
})");
  vt::writeText(dir / "hears/channels.txt", "image: 0=music\nsound: 0=noise\n");
  for (const bool black : {false, true}) {
    std::vector<std::string> args = {"render", "n.wav", "--shaders", "hears", "--length", "0.1", "--overwrite"};
    if (black) {
      args.insert(args.end(), {"--channel", "sound:0=black"});
    }
    const vt::StudioRun made = run(args);
    ASSERT_EQ(made.status, 0) << made.err;
    SF_INFO info{};
    const std::vector<float> s = wav("n.wav", info);
    double spread = 0;
    for (size_t i = 0; i < s.size(); i += 2) {
      spread = std::max(spread, static_cast<double>(std::fabs(s[i] - s[0])));
    }
    if (black) {
      EXPECT_EQ(spread, 0.0);
      EXPECT_FLOAT_EQ(s[0], -0.5f);
    } else {
      EXPECT_GT(spread, 0.3);
    }
  }
}

// The shipped example, written at 120 BPM, is heard at 120 BPM by the tempo
// tracker, measured by the levelling, and named as a Sound pass, not as the
// file it is kept in.
TEST_F(SoundPass, TheStudioHearsTheExamplesBeat) {
  const vt::StudioRun made = run({"render", "m.png", "--shaders", vt::sourceDir() + "/examples/shadertoy/beat",
                                  "--picture", "metronome", "--from", "10", "--verbose"});
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_NE(made.err.find("the beat of the Sound pass of beat: 120.0 BPM"), std::string::npos) << made.err;
  EXPECT_NE(made.err.find("the song measures -"), std::string::npos) << made.err;
}

// What is refused, each with its one line and status, and no file made.
TEST_F(SoundPass, RefusalsSayWhyInOneLine) {
  vt::writeText(dir / "plain.glsl", "void mainImage(out vec4 c, in vec2 p) { c = vec4(1.0); }");
  vt::writeText(dir / "broken.glsl", "vec2 mainSound(int s, float t) {\n  return vec2(nope);\n}\n");
  vt::writeText(dir / "sines.glsl", kSines);
  vt::writeText(dir / "slow.glsl", R"(vec2 mainSound(int samp, float time) {
    float x = time;
    // Nested: a software rasteriser ends any one loop after 65535 turns.
    for (int i = 0; i < int(iSampleRate) / 2000; i++)
        for (int j = 0; j < 60000; j++) x = sin(x + float(j));
    return vec2(x * 0.1);
})");
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100, 2, 44100));
  const struct {
    std::vector<std::string> args;
    int status;
    std::string says;
  } cases[] = {
      {{"render", "o.mp4", "--shaders", "plain.glsl"}, 2, "plain.glsl has no Sound pass to be the song"},
      {{"render", "o.mp4", "--shaders", "broken.glsl"}, 1,
       "the Sound pass of broken.glsl does not build: broken.glsl:2:"},
      {{"render", "o.wav", "--shaders", "slow.glsl"}, 1, "too slow to make a soundtrack"},
      {{"render", "song.wav", "o.mp4", "--shaders", "sines.glsl", "--picture", "bars"}, 2,
       "give either --shaders or --picture"},
      {{"render", "song.wav", "o.mp4", "--length", "5"}, 2, "--length is how long a shader's Sound pass plays"},
      {{"render", "o.wav", "--shaders", "sines.glsl", "--length", "0"}, 2, "--length must be seconds"},
      {{"render", "o.wav", "--shaders", "sines.glsl", "--length", "5000"}, 2, "--length must be seconds"},
      {{"render", "o.wav", "--shaders", "sines.glsl", "--to", "4000"}, 2, "past the hour"},
      {{"render", "o.wav", "--shaders", "sines.glsl", "--length", "1", "--from", "2"}, 2, "--from is past the end"},
      {{"play", "--shaders", "plain.glsl", "--picture", "bars"}, 2, "plain.glsl has no Sound pass"},
      {{"play", "--shaders", "sines.glsl", "--capture", "--length", "5"}, 2, "--capture plays what the device hears"},
  };
  for (const auto& c : cases) {
    const vt::StudioRun refused = run(c.args, 90);
    EXPECT_EQ(refused.status, c.status) << c.says << "\n" << refused.err;
    EXPECT_NE(refused.err.find(c.says), std::string::npos) << refused.err;
    EXPECT_LE(vt::countOccurrences(refused.err, "\n"), 2u) << refused.err;
    EXPECT_FALSE(fs::exists(dir / "o.mp4"));
    EXPECT_FALSE(fs::exists(dir / "o.wav"));
  }
  // A cache that cannot be made costs nothing but the keeping.
  vt::Process noCache({vt::studioBinary(), "render", "kept.wav", "--shaders", "sines.glsl", "--length", "1"}, dir.path(),
                      {{"XDG_CACHE_HOME", "/proc/no-such-folder"}});
  EXPECT_EQ(noCache.wait(60), 0) << noCache.err();
  EXPECT_TRUE(fs::exists(dir / "kept.wav"));
  // The song given is the sound; the Sound pass is left out with one line.
  const vt::StudioRun withSong = run({"render", "song.wav", "o.png", "--shaders", "sines.glsl"});
  EXPECT_EQ(withSong.status, 0) << withSong.err;
  EXPECT_EQ(vt::countOccurrences(withSong.err, "the Sound pass is left out; the song is the sound"), 1u) << withSong.err;
}

}  // namespace
