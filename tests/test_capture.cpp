// vrax-studio play --capture against a real PulseAudio server with a null
// sink: a tone played into the sink reaches the picture at its own bin,
// silence gives the floor, the device list shows the sink's monitor, and the
// server going away and coming back leaves the program drawing throughout.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>
#include <cstring>
#include <map>
#include <set>
#include <sys/socket.h>

#include "sound/analysis.h"
#include "sound/capture.h"
#include "support.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kMonitor = "Monitor of Null Output";

// Every pixel: the loudest bin below 4096 (red low byte, green high byte)
// and whether anything stands above the silence floor (blue).
const std::string kPeakShader = vt::fragmentShader(R"(    int best = 1;
    float top = spectrum[1];
    for (int k = 2; k < 4096; ++k) {
        if (spectrum[k] > top) { top = spectrum[k]; best = k; }
    }
    FragColor = vec4(float(best & 255) / 255.0, float(best >> 8) / 255.0, top > -6.0 ? 1.0 : 0.0, 1.0);)");

// A PulseAudio user daemon with a null sink, private to the test.
class PulseServer {
 public:
  explicit PulseServer(const std::string& runtime) : runtime_(runtime) { start(); }
  ~PulseServer() { stop(); }
  // Whether the server answered; where it cannot run at all the suite skips.
  bool started() const { return started_; }
  void start() {
    started_ = false;
    process_ = std::make_unique<vt::Process>(
        std::vector<std::string>{"/usr/bin/pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n",
                                 "--load=module-null-sink", "--load=module-native-protocol-unix"},
        runtime_, env());
    for (int i = 0; i < 100; ++i) {
      int status = -1;
      vt::Process info({"/usr/bin/pactl", "info"}, runtime_, env());
      if ((status = info.wait(10)) == 0) {
        started_ = true;
        return;
      }
      if (!process_->running()) {
        return;  // it gave up: no point asking again
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  void stop() {
    if (process_ && process_->running()) {
      kill(process_->pid(), SIGTERM);
      process_->wait(10);
    }
  }
  std::map<std::string, std::string> env() const {
    return {{"XDG_RUNTIME_DIR", runtime_}, {"ALSOFT_DRIVERS", "pulse"}, {"PULSE_SERVER", ""}};
  }

 private:
  std::string runtime_;
  std::unique_ptr<vt::Process> process_;
  bool started_ = false;
};

struct Peak {
  int bin = -1;
  bool loud = false;
};

class Capture : public ::testing::Test {
 protected:
  Capture() : pulse(runtime.path()) {}

  Peak peak() {
    const std::string file = dir / "snap.ppm";
    if (vt::wmctl({"snap", kMonitor, file}) != 0) {
      return {};
    }
    const std::string ppm = vt::readText(file);
    if (ppm.size() < 3) {
      return {};
    }
    const auto* last = reinterpret_cast<const unsigned char*>(ppm.data() + ppm.size() - 3);
    return {last[0] + 256 * last[1], last[2] > 128};
  }
  // Seconds until the picture shows the tone (or silence), negative after `limit`.
  double until(bool tone, double limit) {
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::duration<double>(limit)) {
      const Peak p = peak();
      // 1 kHz in 44.1 kHz interleaved stereo: bin 1000 × 16384 / 88200 = 185.8.
      if (tone ? (p.loud && std::abs(p.bin - 186) <= 1) : (p.bin >= 0 && !p.loud)) {
        return std::chrono::duration<double>(Clock::now() - start).count();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }
  std::unique_ptr<vt::Process> playTone() {
    return std::make_unique<vt::Process>(std::vector<std::string>{"/usr/bin/paplay", dir / "tone.wav"}, dir.path(),
                                         pulse.env());
  }
  std::unique_ptr<vt::Process> studio(std::vector<std::string> args) {
    args.insert(args.begin(), {vt::studioBinary(), "play"});
    return std::make_unique<vt::Process>(args, dir.path(), pulse.env());
  }

  void SetUp() override {
    if (!pulse.started()) {
      GTEST_SKIP() << "PulseAudio cannot start here";
    }
    vt::writeShaders(dir.path(), vt::kPlainVertexShader, kPeakShader);
    ASSERT_TRUE(vt::writeSound(dir / "tone.wav", 44100 * 30, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                               [](int64_t f, int) { return 0.3 * std::sin(2 * M_PI * 1000.0 * f / 44100); }));
  }

  vt::TempDir runtime;
  vt::TempDir dir;
  PulseServer pulse;
};

TEST_F(Capture, ListsTheMonitorAndRefusesAnUnknownName) {
  auto list = studio({"--list-devices"});
  EXPECT_EQ(list->wait(30), 0) << list->err();
  EXPECT_NE(list->out().find(kMonitor), std::string::npos) << list->out();

  auto unknown = studio({"--capture", "No Such Device"});
  EXPECT_EQ(unknown->wait(30), 2);
  EXPECT_NE(unknown->err().find("No Such Device"), std::string::npos) << unknown->err();
  EXPECT_NE(unknown->err().find(kMonitor), std::string::npos) << unknown->err();
}

TEST_F(Capture, ATonePlayedIntoTheSinkPeaksAtItsBinAndSilenceIsTheFloor) {
  auto program = studio({"--capture", "--size", "32x24"});
  ASSERT_EQ(vt::wmctl({"wait", kMonitor, "30"}, nullptr, 40), 0) << program->err();
  EXPECT_NE(program->out().find(std::string("Capturing from ") + kMonitor), std::string::npos);
  EXPECT_GE(until(false, 5), 0) << "silence before the tone";
  auto tone = playTone();
  EXPECT_GE(until(true, 10), 0) << program->err();
  tone.reset();  // paplay killed: silence again
  EXPECT_GE(until(false, 10), 0) << program->err();
  vt::wmctl({"close", kMonitor});
  EXPECT_EQ(program->wait(20), 0) << program->err();
}

TEST_F(Capture, TheServerGoingAwayLeavesSilenceUntilItIsBack) {
  auto program = studio({"--capture", kMonitor, "--size", "32x24", "--latency", "50"});
  ASSERT_EQ(vt::wmctl({"wait", kMonitor, "30"}, nullptr, 40), 0) << program->err();
  auto tone = playTone();
  ASSERT_GE(until(true, 10), 0) << program->err();

  tone.reset();
  pulse.stop();
  EXPECT_GE(until(false, 10), 0);
  EXPECT_TRUE(program->running());
  EXPECT_NE(program->err().find("went away"), std::string::npos) << program->err();

  pulse.start();
  tone = playTone();
  const double back = until(true, 10);
  EXPECT_GE(back, 0) << program->err();
  EXPECT_LE(back, 3.0) << program->err();
  EXPECT_NE(program->err().find("is back"), std::string::npos) << program->err();
  EXPECT_NE(program->err().find("--latency has no meaning"), std::string::npos) << program->err();
  vt::wmctl({"close", kMonitor});
  EXPECT_EQ(program->wait(20), 0) << program->err();
}

// A frame that takes seconds (a heavy shader in software): the next frame
// must analyse the sound of its own moment, not the oldest half second the
// device kept from before. In process: the frame's work is a sleep here.
TEST_F(Capture, AFrameSlowerThanTheDeviceBufferStillGetsTheNewestSound) {
  for (const auto& [key, value] : pulse.env()) {
    if (value.empty()) {
      unsetenv(key.c_str());
    } else {
      setenv(key.c_str(), value.c_str(), 1);
    }
  }
  ::Capture capture;
  ASSERT_TRUE(capture.open(kMonitor).ok());
  FrameSound sound;
  auto rms = [&] {
    double sum = 0;
    for (float v : sound.mono) {
      sum += static_cast<double>(v) * v;
    }
    return std::sqrt(sum / static_cast<double>(sound.mono.size()));
  };
  // Silence taken; then a slow frame during which the tone starts.
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(1)) {
    capture.around(0, sound);
    std::this_thread::sleep_for(std::chrono::milliseconds(16));
  }
  EXPECT_LT(rms(), 0.01);
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  auto tone = playTone();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  capture.around(0, sound);
  // 0.3 × sin: RMS 0.21 in each channel, as the mean of the two.
  EXPECT_GT(rms(), 0.15) << "the frame analysed sound from before the tone";
  tone.reset();
}

// play --capture --stream sends the captured sound, not silence nor the
// song: a 1 kHz tone played into the sink reaches the receiver as 1 kHz
// (its share of the decoded left channel's power) at the tone's level.
TEST_F(Capture, AStreamFromTheCaptureCarriesTheCapturedSound) {
  const int port = vt::freePort(SOCK_DGRAM);
  const std::string url = "srt://127.0.0.1:" + std::to_string(port);
  vt::Process receiver({"/usr/bin/ffmpeg", "-v", "error", "-y", "-analyzeduration", "500000", "-f", "mpegts", "-i",
                        url + "?mode=listener", "-c", "copy", "-f", "mpegts", dir / "got.ts"},
                       dir.path());
  ASSERT_TRUE(vt::listening(port, true, 10)) << receiver.err();
  std::map<std::string, std::string> env = pulse.env();
  env["DISPLAY"] = "";
  vt::Process program({vt::studioBinary(), "play", "--capture", kMonitor, "--no-window", "--stream", url, "--size",
                       "32x24"},
                      dir.path(), env);
  auto tone = playTone();
  // Polled: four seconds of frames in the receiver's file.
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(30) &&
         std::atoi(vt::probe(dir / "got.ts", "stream=nb_read_frames").c_str()) < 120) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  kill(program.pid(), SIGINT);
  EXPECT_EQ(program.wait(10), 130) << program.err();
  receiver.wait(20);
  const std::string raw = vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / "got.ts", "-map", "0:a",
                                         "-af", "pan=mono|c0=c0", "-ar", "44100", "-f", "f32le", "-"});
  std::vector<float> sound(raw.size() / 4);
  std::memcpy(sound.data(), raw.data(), sound.size() * 4);
  ASSERT_GT(sound.size(), 44100u * 3) << program.err();
  // The last two seconds: the tone plays throughout them. Its share of the
  // sound's power at 1 kHz, by a single-bin DFT over each 10 ms (ten whole
  // cycles), so what matters is that each piece is the tone, not that the
  // pieces keep one phase.
  const size_t n = 44100 * 2;
  const size_t from = sound.size() - n;
  double sum = 0, atTone = 0;
  for (size_t block = 0; block + 441 <= n; block += 441) {
    double re = 0, im = 0;
    for (size_t i = 0; i < 441; ++i) {
      const double v = sound[from + block + i];
      sum += v * v;
      re += v * std::cos(2 * M_PI * 1000.0 * static_cast<double>(i) / 44100);
      im += v * std::sin(2 * M_PI * 1000.0 * static_cast<double>(i) / 44100);
    }
    atTone += 2 * (re * re + im * im) / 441.0;
  }
  EXPECT_NEAR(std::sqrt(sum / static_cast<double>(n)), 0.3 / std::sqrt(2.0), 0.05);
  EXPECT_GT(atTone / sum, 0.9);
}

// The beat estimated as it is heard: clicks at 120 BPM played into the
// sink give bpm 120 (±1) within fifteen seconds, and the beat's phase runs.
TEST_F(Capture, ClicksPlayedIntoTheSinkGiveTheirTempoAsTheyAreHeard) {
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   "#version 450 core\nin vec2 uv;\nout vec4 FragColor;\nuniform float bpm;\nuniform float beatPhase;\n"
                   "void main() { FragColor = vec4(bpm / 255.0, beatPhase, 0.0, 1.0); }\n");
  ASSERT_TRUE(vt::writeSound(dir / "clicks.wav", 44100 * 30, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t f, int) {
                               const int64_t into = f % 22050;  // a click each half second
                               return into < 880 ? 0.6 * std::sin(2 * M_PI * 1500.0 * into / 44100) *
                                                       std::exp(-into / 44100.0 * 150)
                                                 : 0.0;
                             }));
  auto program = studio({"--capture", "--size", "32x24"});
  ASSERT_EQ(vt::wmctl({"wait", kMonitor, "30"}, nullptr, 40), 0) << program->err();
  auto clicks = std::make_unique<vt::Process>(std::vector<std::string>{"/usr/bin/paplay", dir / "clicks.wav"},
                                              dir.path(), pulse.env());
  const auto start = Clock::now();
  int bpm = -1;
  std::set<int> phases;
  while (Clock::now() - start < std::chrono::seconds(15) && (std::abs(bpm - 120) > 1 || phases.size() < 4)) {
    if (vt::wmctl({"snap", kMonitor, dir / "snap.ppm"}) == 0) {
      const std::string ppm = vt::readText(dir / "snap.ppm");
      const auto* last = reinterpret_cast<const unsigned char*>(ppm.data() + ppm.size() - 3);
      bpm = last[0];
      if (std::abs(bpm - 120) <= 1) {
        phases.insert(last[1] / 32);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_NEAR(bpm, 120, 1) << program->err();
  EXPECT_GE(phases.size(), 4u) << "the beat's phase runs through the beat";
  vt::wmctl({"close", kMonitor});
  EXPECT_EQ(program->wait(20), 0) << program->err();
}

}  // namespace
