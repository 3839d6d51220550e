// Whatever lies beside the program, it never crashes, hangs or reports a
// failure as success: each bad sound or shader file is started against the
// built binary, which either ends with its message and status 255 or keeps
// its window running until asked to close, and then exits 0, with no
// sanitizer report in either case.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <thread>

#include "support.h"

namespace {

constexpr int kWav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;

void writeTone(const std::string& path, int64_t frames, int channels, int rate, int format) {
  ASSERT_TRUE(vt::writeTone(path, frames, channels, rate, format)) << path;
}

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (auto& b : bytes)
    b = static_cast<char>(random() & 0xff);
  return bytes;
}

struct Case {
  const char* name;
  std::function<void(const vt::TempDir&)> prepare;  // writes example.wav and Shaders/
  bool keepsRunning;
  const char* errorText;  // expected on standard error, or ""
};

void shippedShaders(const vt::TempDir& dir) {
  vt::copyShippedShaders(dir.path());
}

void goodSound(const vt::TempDir& dir) {
  writeTone(dir / "example.wav", 44100, 2, 44100, kWav16);
}

void soundCase(const vt::TempDir& dir, const std::function<void(const std::string&)>& write) {
  shippedShaders(dir);
  write(dir / "example.wav");
}

void shaderCase(const vt::TempDir& dir, const std::string& vertex, const std::string& fragment) {
  goodSound(dir);
  vt::writeShaders(dir.path(), vertex, fragment);
}

const char* const kFragmentWithoutStorage = R"(#version 450 core
in vec2 uv;
out vec4 c;
uniform float itime;
void main() { c = vec4(uv, 0.5 + 0.5 * sin(itime), 1.0); }
)";

std::string hugeShader() {
  std::string text = "#version 450 core\n";
  while (text.size() < 1024 * 1024) {
    text += "// a long comment line that pads the shader file to a megabyte and more.....................\n";
  }
  return text + "in vec2 uv;\nout vec4 c;\nvoid main() { c = vec4(uv, 0.0, 1.0); }\n";
}

const Case kCases[] = {
    {"SoundMissing", [](const vt::TempDir& d) { shippedShaders(d); }, false, "Error: Unable to open file: "},
    {"SoundEmpty", [](const vt::TempDir& d) { soundCase(d, [](auto p) { vt::writeText(p, ""); }); }, false,
     "Error: Unable to open file: "},
    {"SoundRandomBytes",
     [](const vt::TempDir& d) { soundCase(d, [](auto p) { vt::writeText(p, randomBytes(50000, 3)); }); }, false,
     "Error: Unable to open file: "},
    {"SoundTruncatedHeader",
     [](const vt::TempDir& d) {
       soundCase(d, [&](auto p) {
         writeTone(d / "full.wav", 1000, 2, 44100, kWav16);
         vt::writeText(p, vt::readText(d / "full.wav").substr(0, 20));
       });
     },
     false, "Error: Unable to open file: "},
    {"SoundTruncatedData",
     [](const vt::TempDir& d) {
       soundCase(d, [&](auto p) {
         writeTone(d / "full.wav", 44100, 2, 44100, kWav16);
         vt::writeText(p, vt::readText(d / "full.wav").substr(0, 44 + 80000));
       });
     },
     true, ""},
    {"SoundZeroFrames", [](const vt::TempDir& d) { soundCase(d, [](auto p) { writeTone(p, 0, 2, 44100, kWav16); }); },
     true, ""},
    {"SoundIsADirectory",
     [](const vt::TempDir& d) { soundCase(d, [](auto p) { std::filesystem::create_directory(p); }); }, false,
     "Error: Unable to open file: "},
    {"Sound8kHz", [](const vt::TempDir& d) { soundCase(d, [](auto p) { writeTone(p, 8000, 2, 8000, kWav16); }); }, true,
     ""},
    {"Sound192kHz", [](const vt::TempDir& d) { soundCase(d, [](auto p) { writeTone(p, 192000, 2, 192000, kWav16); }); },
     true, ""},
    {"Sound8Bit",
     [](const vt::TempDir& d) {
       soundCase(d, [](auto p) { writeTone(p, 44100, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_U8); });
     },
     true, ""},
    {"Sound24Bit",
     [](const vt::TempDir& d) {
       soundCase(d, [](auto p) { writeTone(p, 44100, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_24); });
     },
     true, ""},
    {"SoundFloat",
     [](const vt::TempDir& d) {
       soundCase(d, [](auto p) { writeTone(p, 44100, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_FLOAT); });
     },
     true, ""},
    {"ShadersMissing", [](const vt::TempDir& d) { goodSound(d); }, true, "Unable to open file\nUnable to open file\n"},
    {"ShadersEmpty", [](const vt::TempDir& d) { shaderCase(d, "", ""); }, true, ""},
    {"ShadersNotGlsl", [](const vt::TempDir& d) { shaderCase(d, randomBytes(3000, 5), "this is not a shader {"); },
     true, ""},
    {"ShadersDoNotLink",
     [](const vt::TempDir& d) {
       shaderCase(d, vt::kPlainVertexShader,
                  "#version 450 core\nin vec3 nowhere;\nout vec4 c;\nvoid main() { c = vec4(nowhere, 1.0); }\n");
     },
     true, "OpenGL error 1282 in glUseProgram(material.shaderProgram) at "},
    {"ShadersWithoutStorageBlock",
     [](const vt::TempDir& d) { shaderCase(d, vt::kPlainVertexShader, kFragmentWithoutStorage); }, true, ""},
    {"ShaderOfAMegabyte", [](const vt::TempDir& d) { shaderCase(d, vt::kPlainVertexShader, hugeShader()); }, true, ""},
    {"ShaderIsADirectory",
     [](const vt::TempDir& d) {
       goodSound(d);
       std::filesystem::create_directories(d / "Shaders/Quad.frag.glsl");
       vt::writeText(d / "Shaders/Quad.vert.glsl", vt::kPlainVertexShader);
     },
     true, ""},
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

class BadInput : public testing::TestWithParam<Case> {};

}  // namespace

TEST_P(BadInput, NeitherCrashesNorHangsNorCallsAFailureSuccess) {
  const Case& c = GetParam();
  vt::TempDir dir;
  c.prepare(dir);
  vt::VraxRun vrax(dir.path());
  vt::Process& run = vrax.process;
  if (c.keepsRunning) {
    ASSERT_FALSE(vrax.window().empty()) << run.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ASSERT_TRUE(run.running()) << run.err();
    EXPECT_EQ(vrax.close(), 0) << run.err();
  } else {
    EXPECT_EQ(run.wait(60), 255) << run.out() << run.err();
  }
  const std::string err = run.err();
  EXPECT_FALSE(vt::sanitizerSpoke(err)) << err;
  if (*c.errorText != '\0') {
    EXPECT_NE(err.find(c.errorText), std::string::npos) << err.substr(0, 3000);
  }
}

INSTANTIATE_TEST_SUITE_P(Matrix, BadInput, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// One to eight channels, each played at the file's own speed or as its
// first two channels.
class ChannelCount : public testing::TestWithParam<int> {};

TEST_P(ChannelCount, PlaysAndClosesCleanly) {
  vt::TempDir dir;
  vt::copyShippedShaders(dir.path());
  writeTone(dir / "example.wav", 22050, GetParam(), 44100, kWav16);
  vt::VraxRun vrax(dir.path());
  vt::Process& run = vrax.process;
  ASSERT_FALSE(vrax.window().empty()) << run.err();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(vrax.close(), 0) << run.err();
  EXPECT_FALSE(vt::sanitizerSpoke(run.err())) << run.err();
  EXPECT_NE(run.out().find("Channels: " + std::to_string(GetParam()) + "\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Matrix, ChannelCount, testing::Range(1, 9));
