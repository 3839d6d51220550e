// Shadertoy's form end to end over the built binary: the sound texture
// against an independent computation of a browser analyser's bytes, a click
// on its own frame, the uniforms read back through pixels, errors at the
// user's line, unsupported forms refused, and the shipped examples.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "support.h"

namespace {

namespace fs = std::filesystem;

using vt::studio;
using vt::StudioRun;

int red(const std::string& pixels, int width, int x, int y) {
  return static_cast<unsigned char>(pixels[static_cast<size_t>((y * width + x) * 3)]);
}

// The two rows of iChannel0 laid out as they are: x = bin or sample, the
// lower half of the picture row 0, the upper half row 1.
const char* const kChannelDump = R"(void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    float x = (floor(fragCoord.x) + 0.5) / 512.0;
    float v = texture(iChannel0, vec2(x, fragCoord.y < iResolution.y * 0.5 ? 0.25 : 0.75)).x;
    fragColor = vec4(v, v, v, 1.0);
}
)";

TEST(Shadertoy, TheSoundTextureIsWhatABrowserAnalyserGives) {
  vt::TempDir dir;
  const double amplitude = std::pow(10.0, -12.0 / 20.0);
  ASSERT_TRUE(vt::writeSound(dir / "sine.wav", 44100 * 2, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [&](int64_t f, int) { return amplitude * std::sin(2 * M_PI * 1000.0 * f / 44100); }));
  vt::writeText(dir / "dump.glsl", kChannelDump);
  // At 1.5 s the smoothing has long settled (0.8 a frame). At the song's
  // own level, as a browser analyses it: not levelled.
  const StudioRun run = studio(dir.path(), {"render", "sine.wav", "dump.png", "--shaders", "dump.glsl", "--from",
                                            "1.5", "--size", "512x16", "--level", "off"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string pixels = vt::frameRgb(dir / "dump.png");
  ASSERT_EQ(pixels.size(), 512u * 16 * 3);

  // The analyser's window: the mono mix of the 2048 samples that end 512
  // after the frame's time (frame 90 at 60 a second: sample 66150).
  SF_INFO info{};
  const std::vector<float> sound = vt::readSound(dir / "sine.wav", info);
  const int64_t first = 66150 - 1536;
  std::vector<double> x(2048);
  for (int n = 0; n < 2048; ++n) {
    x[n] = 0.5 * (sound[2 * (first + n)] + sound[2 * (first + n) + 1]);
  }
  // Row 1 (the top of the picture): the first 512 samples as 128·(1 + v).
  for (int n = 0; n < 512; ++n) {
    const int want = static_cast<int>(std::clamp(std::floor(128.0 * (1.0 + x[n])), 0.0, 255.0));
    ASSERT_NEAR(red(pixels, 512, n, 0), want, 1) << "sample " << n;
  }
  // Row 0 (the bottom): Blackman window, |X| ÷ 2048 in dB, −100..−30 as 0..255.
  int worst = 0;
  for (int k = 0; k < 512; ++k) {
    std::complex<double> sum = 0;
    for (int n = 0; n < 2048; ++n) {
      const double w = 0.42 - 0.5 * std::cos(2 * M_PI * n / 2048) + 0.08 * std::cos(4 * M_PI * n / 2048);
      sum += w * x[n] * std::polar(1.0, -2 * M_PI * k * n / 2048);
    }
    const double db = 20 * std::log10(std::max(std::abs(sum) / 2048, 1e-30));
    const int want = static_cast<int>(std::clamp(std::floor(255.0 / 70.0 * (db + 100.0)), 0.0, 255.0));
    worst = std::max(worst, std::abs(red(pixels, 512, k, 15) - want));
  }
  EXPECT_LE(worst, 2);
  // The tone's own bin (1000 Hz × 2048 ÷ 44100 = 46.4) stands out.
  EXPECT_GT(red(pixels, 512, 46, 15), 200);
  EXPECT_LT(red(pixels, 512, 300, 15), 60);
}

TEST(Shadertoy, AClickShowsInTheSpectrumRowOnItsOwnFrame) {
  vt::TempDir dir;
  const std::vector<int> clickFrames = {40, 70, 100, 130};
  ASSERT_TRUE(vt::writeSound(dir / "clicks.wav", 44100 * 3, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [&](int64_t f, int) {
                               for (int n : clickFrames) {
                                 const int64_t start = int64_t(n) * 44100 / 60;
                                 if (f >= start && f < start + 441) {
                                   return 0.8 * std::sin(2 * M_PI * 2000.0 * static_cast<double>(f - start) / 44100);
                                 }
                               }
                               return 0.0;
                             }));
  vt::writeText(dir / "flash.glsl", R"(void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    float loudest = 0.0;
    for (int i = 80; i < 110; ++i) loudest = max(loudest, texture(iChannel0, vec2((float(i) + 0.5) / 512.0, 0.25)).x);
    fragColor = vec4(vec3(loudest > 0.7 ? 1.0 : 0.0), 1.0);
}
)");
  const StudioRun run = studio(dir.path(), {"render", "clicks.wav", "out.mkv", "--shaders", "flash.glsl", "--size",
                                            "32x32", "--crf", "0", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string raw = vt::runOutput(
      {"/usr/bin/ffmpeg", "-v", "error", "-i", dir / "out.mkv", "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt",
       "gray", "-"});
  ASSERT_EQ(raw.size(), 180u * 32 * 32);
  std::vector<int> onsets;
  for (int n = 1; n < 180; ++n) {
    const auto now = static_cast<unsigned char>(raw[static_cast<size_t>(n) * 1024 + 528]);
    const auto before = static_cast<unsigned char>(raw[static_cast<size_t>(n - 1) * 1024 + 528]);
    if (now > 128 && before < 128) {
      onsets.push_back(n);
    }
  }
  ASSERT_EQ(onsets.size(), clickFrames.size());
  for (size_t i = 0; i < onsets.size(); ++i) {
    EXPECT_NEAR(onsets[i], clickFrames[i], 1) << i;
  }
}

TEST(Shadertoy, UniformsAreExact) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100 * 4, 2, 44100));
  // Eight columns, one value each, as whole bytes.
  vt::writeText(dir / "uniforms.glsl", R"(void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    int column = int(fragCoord.x / iResolution.x * 8.0);
    float v = column == 0 ? iResolution.x : column == 1 ? iResolution.y : column == 2 ? iResolution.z * 7.0
            : column == 3 ? float(iFrame) : column == 4 ? iTime * 10.0 : column == 5 ? iTimeDelta * 3000.0
            : column == 6 ? iFrameRate : iSampleRate / 441.0;
    fragColor = vec4(v / 255.0, 0.0, 0.0, 1.0);
}
)");
  const StudioRun run = studio(dir.path(), {"render", "song.wav", "u.png", "--shaders", "uniforms.glsl", "--from",
                                            "2.5", "--fps", "30", "--size", "96x64"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string pixels = vt::frameRgb(dir / "u.png");
  const int want[8] = {96, 64, 7, 75, 25, 100, 30, 100};
  for (int c = 0; c < 8; ++c) {
    EXPECT_EQ(red(pixels, 96, c * 12 + 6, 32), want[c]) << "column " << c;
  }
}

// The rest of the site's uniforms, against the test's own clock and the
// sizes it made: the date, the mouse (none in a render), each channel's time
// and resolution (the sound is 512 × 2, an --image its own size).
TEST(Shadertoy, DateMouseAndChannelUniformsAreExact) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100 * 4, 2, 44100));
  vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=green:size=40x24:d=1", "-frames:v", "1",
                 dir / "picture.png"});
  vt::writeText(dir / "more.glsl", R"(void mainImage(out vec4 fragColor, in vec2 fragCoord) {
    int column = int(fragCoord.x / iResolution.x * 10.0);
    float v = column == 0 ? iDate.x - 2000.0 : column == 1 ? iDate.y : column == 2 ? iDate.z
            : column == 3 ? iDate.w / 400.0 : column == 4 ? iMouse.x + iMouse.y + iMouse.z + iMouse.w
            : column == 5 ? iChannelTime[0] * 10.0 : column == 6 ? iChannelResolution[0].x / 4.0
            : column == 7 ? iChannelResolution[0].y * 10.0 : column == 8 ? iChannelResolution[1].x
            : iChannelResolution[1].y;
    fragColor = vec4(v / 255.0, 0.0, 0.0, 1.0);
}
)");
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const StudioRun run = studio(dir.path(), {"render", "song.wav", "u.png", "--shaders", "more.glsl", "--from", "2.5",
                                            "--size", "100x16", "--image", "picture.png"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string pixels = vt::frameRgb(dir / "u.png");
  const int seconds = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  EXPECT_EQ(red(pixels, 100, 5, 8), local.tm_year + 1900 - 2000);
  EXPECT_EQ(red(pixels, 100, 15, 8), local.tm_mon);  // January is 0, as a browser's Date gives it
  EXPECT_EQ(red(pixels, 100, 25, 8), local.tm_mday);
  EXPECT_NEAR(red(pixels, 100, 35, 8), seconds / 400.0, 1.0);
  const int want[6] = {0, 25, 128, 20, 40, 24};
  for (int c = 4; c < 10; ++c) {
    EXPECT_EQ(red(pixels, 100, c * 10 + 5, 8), want[c - 4]) << "column " << c;
  }
}

// What a user's file may hold: comments are not code, a byte order mark and
// a #version line are the editor's and the site's habits, a mainImage made by
// a macro is code golf; a megabyte of one character must not crash the
// wrapper. Buffers and common code in any spelling are refused.
TEST(Shadertoy, WhatUsersFilesHoldIsReadAsTheSiteReadsIt) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100, 2, 44100));
  const std::string white = "void mainImage(out vec4 c, in vec2 p) { c = vec4(1.0); }\n";
  vt::writeText(dir / "commented.glsl", "// uniform samplerCube iChannel1;\n/* uniform sampler3D iChannel2; */\n" + white);
  vt::writeText(dir / "bom.glsl", "\xEF\xBB\xBF#version 300 es\n" + white);
  vt::writeText(dir / "golf.glsl", "#define mainImage(c, p) void mainImage(out vec4 c, in vec2 p)\nmainImage(o, u) { o = vec4(1.0); }\n");
  vt::writeText(dir / "spaces.glsl", white + "// " + std::string(1000000 - white.size() - 8, ' ') + "x\n");
  vt::writeText(dir / "identifier.glsl", white + "float " + std::string(40000, 'b') + " = 1.0;\n");
  vt::writeText(dir / "ownmain.glsl", white + "void main() {}\n");
  fs::create_directories(dir / "upper");
  vt::writeText(dir / "upper/image.glsl", white);
  vt::writeText(dir / "upper/common.GLSL", "float f() { return 1.0; }\n");
  fs::create_directories(dir / "tab");
  vt::writeText(dir / "tab/image.glsl", white);
  vt::writeText(dir / "tab/Buffer A.frag", white);
  struct Case {
    const char* shaders;
    int status;
    const char* says;  // in the one error line, or "" for a white picture
  };
  const Case cases[] = {
      {"commented.glsl", 0, ""},
      {"bom.glsl", 0, ""},
      {"golf.glsl", 0, ""},
      {"spaces.glsl", 0, ""},
      {"identifier.glsl", 1, "exceeds"},
      {"ownmain.glsl", 1, "the main() the Shadertoy form adds after your file"},
      {"upper", 0, ""},  // common.GLSL: Common's code, in any case
      {"tab", 0, ""},    // Buffer A.frag: the site's tab name
  };
  for (const Case& c : cases) {
    const StudioRun run = studio(dir.path(), {"render", "song.wav", "o.png", "--shaders", c.shaders, "--size", "32x32",
                                              "--overwrite"});
    EXPECT_EQ(run.status, c.status) << c.shaders << "\n" << run.err.substr(0, 2000);
    EXPECT_LT(run.err.size(), 2000u) << c.shaders;
    if (c.status == 0) {
      EXPECT_EQ(red(vt::frameRgb(dir / "o.png"), 32, 16, 16), 255) << c.shaders;
    } else {
      EXPECT_NE(run.err.find(c.says), std::string::npos) << c.shaders << "\n" << run.err.substr(0, 2000);
    }
  }
}

TEST(Shadertoy, ErrorsPointIntoTheUsersFileAndUnsupportedFormsAreRefused) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100, 2, 44100));
  vt::writeText(dir / "broken.glsl",
                "// line 1\nvoid mainImage(out vec4 c, in vec2 p) {\n    c = vec4(1.0);\n    float x = nope;\n}\n");
  fs::create_directories(dir / "multi");
  vt::writeText(dir / "multi/image.glsl", kChannelDump);
  vt::writeText(dir / "multi/bufferA.glsl", kChannelDump);
  vt::writeText(dir / "cube.glsl", std::string("uniform samplerCube iChannel1;\n") + kChannelDump);
  vt::writeText(dir / "nomain.glsl", "void main() {}\n");
  vt::expectRefusals(dir.path(), {"render", "song.wav", "o.png", "--size", "32x32"},
                     {
                         {{"--shaders", "broken.glsl"}, 1, "broken.glsl:4:"},  // the column is the driver's guess
                         {{"--shaders", "nomain.glsl"}, 1, "no mainImage"},
                     },
                     "o.png");
  // A channel declared a cubemap by hand gets the generated sky, with a line.
  const StudioRun cube = studio(dir.path(), {"render", "song.wav", "o.png", "--shaders", "cube.glsl", "--size", "32x32"});
  EXPECT_EQ(cube.status, 0) << cube.err;
  EXPECT_NE(cube.err.find("iChannel1 is declared a samplerCube: drawing a generated sky there"), std::string::npos)
      << cube.err;
  // One read with a direction is a cubemap too.
  vt::writeText(dir / "direction.glsl", "void mainImage(out vec4 c, in vec2 p) {\n"
                                        "    c = texture(iChannel2, normalize(vec3(p / iResolution.xy - 0.5, 1.0)));\n}\n");
  const StudioRun direction =
      studio(dir.path(), {"render", "song.wav", "o.png", "--shaders", "direction.glsl", "--size", "32x32", "--overwrite"});
  EXPECT_EQ(direction.status, 0) << direction.err;
  EXPECT_NE(direction.err.find("iChannel2 is read with a direction"), std::string::npos) << direction.err;
  const std::string sky = vt::frameRgb(dir / "o.png");
  EXPECT_GT(static_cast<unsigned char>(sky[16 * 32 * 3 + 16 * 3 + 2]), 150) << "the sky ahead is pale blue";
  // A folder with image.glsl alone is the single-file form.
  fs::remove(dir / "multi/bufferA.glsl");
  EXPECT_EQ(studio(dir.path(), {"render", "song.wav", "o.png", "--shaders", "multi", "--size", "32x32", "--overwrite"}).status, 0);
}

// The shipped examples build and draw something that is not black.
TEST(Shadertoy, TheShippedExamplesRender) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100 * 2, 2, 44100));
  int count = 0;
  for (const auto& entry : fs::directory_iterator(vt::sourceDir() + "/examples/shadertoy")) {
    const std::string out = dir / (entry.path().stem().string() + ".mp4");
    const StudioRun run = studio(dir.path(), {"render", "song.wav", out, "--shaders", entry.path().string(), "--to",
                                              "1", "--size", "160x90", "-q"});
    EXPECT_EQ(run.status, 0) << entry.path() << "\n" << run.err;
    const std::string last = vt::frameRgb(out, 59);
    double sum = 0;
    for (char c : last) {
      sum += static_cast<unsigned char>(c);
    }
    EXPECT_GT(sum / std::max<size_t>(1, last.size()), 5.0) << entry.path();
    ++count;
  }
  EXPECT_GE(count, 2);
}

}  // namespace
