// The built program end to end: started in a folder of the test's own, asked
// to close the way a window manager asks, its console output and exit status
// read, and its window's pixels read back from the X server.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

namespace {

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr double kPi = 3.14159265358979323846;

void sleepFor(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// A quiet 1-second stereo tone, enough to start the sound.
void writeTone(const vt::TempDir& dir) {
  ASSERT_TRUE(vt::writeTone(dir / "example.wav", 44100, 2, 44100));
}

struct Picture {
  int width = 0, height = 0;
  std::vector<unsigned char> rgb;
  const unsigned char* at(int x, int y) const { return &rgb[static_cast<size_t>((y * width + x) * 3)]; }
};

Picture snap(const vt::TempDir& dir, const std::string& name) {
  Picture picture;
  const std::string path = dir / name;
  if (vt::wmctl({"snap", "VRAX", path}) != 0) {
    return picture;
  }
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr)
    return picture;
  if (std::fscanf(in, "P6 %d %d 255", &picture.width, &picture.height) == 2) {
    std::fgetc(in);
    picture.rgb.resize(static_cast<size_t>(picture.width * picture.height * 3));
    if (std::fread(picture.rgb.data(), 1, picture.rgb.size(), in) != picture.rgb.size())
      picture.rgb.clear();
  }
  std::fclose(in);
  return picture;
}

}  // namespace

TEST(Program, OpensTheWindowDrawsAndClosesWhenTheWindowManagerAsks) {
  vt::TempDir dir;
  vt::copyShippedShaders(dir.path());
  writeTone(dir);
  vt::VraxRun run(dir.path());
  ASSERT_EQ(run.window(), "800 600\n") << run.process.err();
  sleepFor(1.0);
  ASSERT_TRUE(run.process.running()) << run.process.err();
  const Picture picture = snap(dir, "frame.ppm");
  ASSERT_EQ(picture.width, 800);
  // Something other than the clear colour is on screen.
  const unsigned char* centre = picture.at(400, 300);
  EXPECT_FALSE(std::abs(centre[0] - 51) <= 1 && std::abs(centre[1] - 77) <= 1 && std::abs(centre[2] - 77) <= 1);
  EXPECT_EQ(run.close(), 0);

  const std::string out = run.process.out();
  EXPECT_EQ(run.process.err(), "");
  const size_t added = out.find("Model added\n");
  const size_t audio = out.find("Start audio Device\nSample Rate: 44100\nChannels: 2\nFrames: 44100\nSample[0]: 0\n");
  const size_t shutdown = out.find("shutdown audio Device\n");
  const size_t deleted = out.find("model deleted\n");
  ASSERT_NE(added, std::string::npos) << out;
  EXPECT_NE(out.find("6\n20\nModel added\n"), std::string::npos);
  ASSERT_NE(audio, std::string::npos) << out;
  ASSERT_NE(shutdown, std::string::npos);
  ASSERT_NE(deleted, std::string::npos);
  EXPECT_LT(added, audio);
  EXPECT_LT(audio, shutdown);
  EXPECT_LT(shutdown, deleted);
  EXPECT_EQ(out.substr(out.size() - std::string("shutdown audio Device\nmodel deleted\n").size()),
            "shutdown audio Device\nmodel deleted\n");
}

TEST(Program, WithoutShadersItReportsAndKeepsRunning) {
  vt::TempDir dir;
  writeTone(dir);
  vt::VraxRun run(dir.path());
  ASSERT_EQ(run.window(), "800 600\n") << run.process.err();
  sleepFor(0.5);
  EXPECT_EQ(run.close(), 0);
  const std::string err = run.process.err();
  EXPECT_EQ(err.rfind("Unable to open file\nUnable to open file\n", 0), 0u) << err;
  const std::string out = run.process.out();
  EXPECT_NE(out.find("COMPILATION_FAILED"), std::string::npos) << out;
  EXPECT_NE(out.find("ERROR::SHADER::PROGRAM::LINKING_FAILED\n"), std::string::npos) << out;
}

TEST(Program, AProgramThatFailsToLinkIsReportedEveryFrame) {
  vt::TempDir dir;
  writeTone(dir);
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   "#version 450 core\nin vec3 nowhere;\nout vec4 c;\nvoid main() { c = vec4(nowhere, 1.0); }\n");
  vt::VraxRun run(dir.path());
  ASSERT_FALSE(run.window().empty());
  sleepFor(1.0);
  EXPECT_EQ(run.close(), 0);
  const std::string err = run.process.err();
  const size_t reports = vt::countOccurrences(err, "OpenGL error 1282 in glUseProgram(material.shaderProgram) at ");
  const size_t atLine = vt::countOccurrences(err, "src/Model.cpp:60\n");
  // About 60 frames a second; llvmpipe under load may manage fewer.
  EXPECT_GE(reports, 10u) << err.substr(0, 2000);
  EXPECT_EQ(reports, atLine);
}

TEST(Program, MissingSoundFileIsAFailure) {
  vt::TempDir dir;
  vt::copyShippedShaders(dir.path());
  vt::VraxRun run(dir.path());
  EXPECT_EQ(run.process.wait(30), 255);
  EXPECT_NE(run.process.err().find("Error: Unable to open file: "), std::string::npos) << run.process.err();
  EXPECT_NE(run.process.out().find("Start audio Device\n"), std::string::npos);
}

// A shader that paints red when the buffer holds exactly 16384 floats and
// green when its last value is a finite spectrum value.
TEST(Program, EveryFrameUploadsTheWholeSpectrum) {
  vt::TempDir dir;
  writeTone(dir);
  vt::writeShaders(dir.path(), vt::kPlainVertexShader, R"(#version 450 core
in vec2 uv;
out vec4 c;
layout(std430, binding = 0) readonly buffer Audio { float spectrum[]; };
void main() {
    float last = spectrum[16383];
    bool finite = !isnan(last) && !isinf(last) && last >= -6.91 && last < 30.0;
    c = vec4(spectrum.length() == 16384 ? 1.0 : 0.0, finite ? 1.0 : 0.0, 0.0, 1.0);
}
)");
  vt::VraxRun run(dir.path());
  ASSERT_FALSE(run.window().empty());
  sleepFor(0.8);
  const Picture picture = snap(dir, "frame.ppm");
  EXPECT_EQ(run.close(), 0);
  ASSERT_EQ(picture.width, 800);
  EXPECT_EQ(picture.at(10, 10)[0], 255);
  EXPECT_EQ(picture.at(10, 10)[1], 255);
  EXPECT_EQ(run.process.err(), "");
}

// The shipped picture follows the sound: 2.5 s of loud chords and beats, then
// 2.5 s of silence, looped.
TEST(Program, ShippedPictureDiffersBetweenLoudAndSilent) {
  vt::TempDir dir;
  vt::copyShippedShaders(dir.path());
  ASSERT_TRUE(vt::writeSound(dir / "example.wav", 220500, 2, 44100, kWav16, [](int64_t f, int) {
    if (f >= 110250)
      return 0.0;
    const double t = f / 44100.0;
    const double beat = std::exp(-std::fmod(t, 0.25) * 12.0);
    return 0.25 * (std::sin(2 * kPi * 55 * t) * beat + std::sin(2 * kPi * 220 * t) + std::sin(2 * kPi * 330 * t) +
                   0.5 * std::sin(2 * kPi * 1760 * t) + 0.3 * std::sin(2 * kPi * 5000 * t));
  }));
  vt::VraxRun run(dir.path());
  ASSERT_FALSE(run.window().empty());
  sleepFor(1.2);
  const Picture loud = snap(dir, "loud.ppm");
  sleepFor(2.6);
  const Picture quiet = snap(dir, "quiet.ppm");
  EXPECT_EQ(run.close(), 0);
  ASSERT_EQ(loud.rgb.size(), quiet.rgb.size());
  ASSERT_FALSE(loud.rgb.empty());
  double difference = 0, loudLight = 0, quietLight = 0;
  for (size_t i = 0; i < loud.rgb.size(); ++i) {
    difference += std::abs(loud.rgb[i] - quiet.rgb[i]);
    loudLight += loud.rgb[i];
    quietLight += quiet.rgb[i];
  }
  difference /= static_cast<double>(loud.rgb.size());
  EXPECT_GT(difference, 4.0);
  EXPECT_GT(loudLight, quietLight * 1.1);
}
