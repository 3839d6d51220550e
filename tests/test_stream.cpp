// vrax-studio render to a live stream, received by a real ffmpeg listening
// on 127.0.0.1: the container each protocol needs, H.264 with low delay and
// AAC, frames at the song's pace and as many as the song has, and a URL
// nobody answers refused in one line within seconds, never a hang.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "support.h"

namespace {

using Clock = std::chrono::steady_clock;

using vt::freePort;
using vt::listening;

// The pictures a receiver decoded.
int framesIn(const std::string& file) {
  return std::atoi(vt::probe(file, "stream=nb_read_frames").c_str());
}

// How far a stream being received has come: its video packets (one a
// frame) and the stream time of the last, in seconds.
struct Received {
  int frames = 0;
  double seconds = 0;
};
Received receivedSoFar(const std::string& file) {
  std::istringstream in(vt::runOutput({"/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                       "packet=pts_time", "-of", "csv=p=0", file}));
  Received got;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line != "N/A") {
      ++got.frames;
      got.seconds = std::max(got.seconds, std::atof(line.c_str()));
    }
  }
  return got;
}

// Each decoded value of a stream's `entries` (one a line, csv), in order.
std::vector<std::string> frameLines(const std::string& file, const char* stream, const char* entries) {
  std::istringstream in(vt::runOutput({"/usr/bin/ffprobe", "-v", "error", "-select_streams", stream, "-show_frames",
                                       "-show_entries", std::string("frame=") + entries, "-of", "csv=p=0", file}));
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) {
      out.push_back(line);
    }
  }
  return out;
}

// Where a received stream's pictures turn bright and its sound turns loud,
// in seconds by the decoded frames' own timestamps: what a viewer sees and
// hears together.
struct FlashesAndClicks {
  std::vector<double> flashes;
  std::vector<double> clicks;
};
FlashesAndClicks flashesAndClicks(const std::string& file, int width, int height) {
  FlashesAndClicks out;
  const std::vector<std::string> pictures = frameLines(file, "v:0", "pts_time");
  const std::string raw = vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", file, "-map", "0:v", "-fps_mode",
                                         "passthrough", "-f", "rawvideo", "-pix_fmt", "gray", "-"});
  const size_t size = static_cast<size_t>(width) * height;
  double before = 255;
  for (size_t n = 0; n < pictures.size() && (n + 1) * size <= raw.size(); ++n) {
    double sum = 0;
    for (size_t i = 0; i < size; ++i) {
      sum += static_cast<unsigned char>(raw[n * size + i]);
    }
    const double mean = sum / static_cast<double>(size);
    if (mean > 128 && before < 128) {
      out.flashes.push_back(std::stod(pictures[n]));
    }
    before = mean;
  }
  const std::string sound = vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", file, "-map", "0:a", "-ac", "1",
                                           "-f", "f32le", "-"});
  std::vector<float> samples(sound.size() / 4);
  std::memcpy(samples.data(), sound.data(), samples.size() * 4);
  const int rate = std::stoi(vt::probe(file, "stream=sample_rate", "a:0"));
  size_t at = 0;
  double lastLoud = -10;
  for (const std::string& line : frameLines(file, "a:0", "pts_time,nb_samples")) {
    const double pts = std::stod(line.substr(0, line.find(',')));
    const int count = std::stoi(line.substr(line.find(',') + 1));
    for (int k = 0; k < count && at < samples.size(); ++k, ++at) {
      const double t = pts + static_cast<double>(k) / rate;
      if (std::fabs(samples[at]) > 0.2f) {
        if (t - lastLoud > 0.3) {
          out.clicks.push_back(t);
        }
        lastLoud = t;
      }
    }
  }
  return out;
}

class Stream : public ::testing::Test {
 protected:
  void SetUp() override {
    vt::copyShippedShaders(dir.path());
    ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100 * 3, 2, 44100));
  }
  // An SRT listener on 127.0.0.1:port writing what it receives to `file`, as
  // it comes (after half a second's probing: ffmpeg's default is five).
  std::unique_ptr<vt::Process> receiveSrt(int port, const std::string& file) {
    auto receiver = std::make_unique<vt::Process>(
        std::vector<std::string>{"/usr/bin/ffmpeg", "-v", "error", "-y", "-analyzeduration", "500000", "-f", "mpegts", "-i",
                                 "srt://127.0.0.1:" + std::to_string(port) + "?mode=listener", "-c", "copy",
                                 "-flush_packets", "1", "-f", "mpegts", dir / file},
        dir.path());
    EXPECT_TRUE(listening(port, true, 10)) << "the receiver never listened\n" << receiver->err();
    return receiver;
  }
  // An RTMP server on 127.0.0.1:port (ffmpeg -listen 1) writing what it receives to `file`.
  std::unique_ptr<vt::Process> receiveRtmp(int port, const std::string& file) {
    auto receiver = std::make_unique<vt::Process>(
        std::vector<std::string>{"/usr/bin/ffmpeg", "-v", "error", "-y", "-listen", "1", "-analyzeduration", "500000",
                                 "-f", "flv", "-i", "rtmp://127.0.0.1:" + std::to_string(port) + "/live/show", "-c",
                                 "copy", "-flush_packets", "1", "-f", "flv", dir / file},
        dir.path());
    EXPECT_TRUE(listening(port, false, 10)) << "the receiver never listened\n" << receiver->err();
    return receiver;
  }
  // Polls until `file` holds at least `frames` pictures; false after `seconds`.
  bool holdsFrames(const std::string& file, int frames, double seconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
      if (std::filesystem::exists(dir / file) && framesIn(dir / file) >= frames) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  // Polls the program's stderr for `text`; false after `seconds`.
  static bool says(vt::Process& program, const std::string& text, double seconds) {
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
      if (program.err().find(text) != std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  vt::TempDir dir;
};

// Each protocol's receiver gets what the README says: its container,
// H.264 and AAC, 3 s of 30 fps (90 frames, within 2%), sent at the song's
// pace (a network stream never finishes far sooner than the song lasts).
TEST_F(Stream, EachProtocolCarriesItsContainerAtTheSongsPace) {
  const struct {
    const char* scheme;
    bool udp;
    const char* format;  // the receiver's input format
    const char* container;  // what ffprobe calls it
  } cases[] = {
      {"srt", true, "mpegts", "mpegts"},
      {"rtmp", false, "flv", "flv"},
  };
  for (const auto& c : cases) {
    const int port = freePort(c.udp ? SOCK_DGRAM : SOCK_STREAM);
    ASSERT_GT(port, 0);
    const std::string at = "127.0.0.1:" + std::to_string(port);
    // Both end their stream when the sender does (UDP has no end to see).
    const bool srt = std::string(c.scheme) == "srt";
    const std::string listen = srt ? "srt://" + at + "?mode=listener" : "rtmp://" + at + "/live/show";
    const std::string send = srt ? "srt://" + at : "rtmp://" + at + "/live/show";
    std::vector<std::string> receive = {"/usr/bin/ffmpeg", "-v", "error", "-y"};
    if (std::string(c.scheme) == "rtmp") {
      receive.insert(receive.end(), {"-listen", "1"});
    }
    receive.insert(receive.end(), {"-f", c.format, "-i", listen, "-c", "copy", "-f", c.format, dir / "got"});
    vt::Process receiver(receive, dir.path());
    ASSERT_TRUE(listening(port, c.udp, 10)) << c.scheme << ": the receiver never listened\n" << receiver.err();
    const auto start = Clock::now();
    const vt::StudioRun run =
        vt::studio(dir.path(), {"render", "song.wav", send, "--size", "320x240", "--fps", "30"}, 60);
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_EQ(run.status, 0) << c.scheme << "\n" << run.err;
    EXPECT_NE(run.err.find("Streamed 90 frames"), std::string::npos) << run.err;
    EXPECT_GE(took, 2.7) << c.scheme << ": sent faster than the song plays";
    EXPECT_EQ(receiver.wait(20), 0) << c.scheme << "\n" << receiver.err();
    EXPECT_EQ(vt::probe(dir / "got", "format=format_name", "v:0"), std::string(c.container) + "\n") << c.scheme;
    // (MPEG-TS lists each stream under its program as well: the first says it.)
    EXPECT_EQ(vt::probe(dir / "got", "stream=codec_name,has_b_frames").rfind("h264\n0\n", 0), 0u) << c.scheme;
    EXPECT_EQ(vt::probe(dir / "got", "stream=codec_name", "a:0").rfind("aac\n", 0), 0u) << c.scheme;
    const int frames = std::atoi(vt::probe(dir / "got", "stream=nb_read_frames").c_str());
    EXPECT_NEAR(frames, 90, 2) << c.scheme;
  }
}

// A receiver that is not there, a scheme no stream goes to, and alpha: one
// line each, within ten seconds, with the status for its kind.
TEST_F(Stream, WhatCannotBeSentIsRefusedInOneLine) {
  const int tcp = freePort(SOCK_STREAM);
  const int udp = freePort(SOCK_DGRAM);
  const struct {
    std::vector<std::string> args;
    int status;
    const char* says;
  } cases[] = {
      {{"rtmp://127.0.0.1:" + std::to_string(tcp) + "/live/x"}, 1, "cannot stream to rtmp://127.0.0.1"},
      {{"tcp://127.0.0.1:" + std::to_string(tcp)}, 1, "cannot stream to tcp://127.0.0.1"},
      {{"srt://127.0.0.1:" + std::to_string(udp)}, 1, "cannot stream to srt://127.0.0.1"},
      {{"gopher://127.0.0.1:70"}, 2, "is not a stream this program sends"},
      {{"srt://127.0.0.1:9", "--transparent"}, 2, "--transparent cannot be streamed"},
      {{"srt://127.0.0.1:9", "--codec", "vp9"}, 2, "a stream is H.264"},
      {{"srt://127.0.0.1:0"}, 2, "the port must be a number from 1 to 65535 (got \"0\")"},
      {{"udp://127.0.0.1:65536"}, 2, "the port must be a number from 1 to 65535 (got \"65536\")"},
      {{"tcp://127.0.0.1:abc"}, 2, "the port must be a number from 1 to 65535 (got \"abc\")"},
      {{"srt://127.0.0.1"}, 2, "names no port"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"render", "song.wav"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(), {"--size", "160x120", "--fps", "30"});
    const auto start = Clock::now();
    const vt::StudioRun run = vt::studio(dir.path(), args, 60);
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(run.status, c.status) << c.args[0] << "\n" << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args[0] << "\n" << run.err;
    // Ten seconds for nobody to answer, and start-up on a busy machine.
    EXPECT_LT(took, 30.0) << c.args[0];
    for (const char* line : {"\n[", "] "}) {
      EXPECT_EQ(run.err.find(line), std::string::npos) << c.args[0] << ": a library's own line\n" << run.err;
    }
  }
}

// A receiver over tcp:// that goes away mid-stream (nobody to call again):
// the sender ends within seconds, saying so in one line, and never hangs.
TEST_F(Stream, AReceiverThatGoesAwayEndsTheStreamInOneLine) {
  ASSERT_TRUE(vt::writeTone(dir / "long.wav", 44100 * 30, 2, 44100));
  const int port = freePort(SOCK_STREAM);
  const std::string url = "tcp://127.0.0.1:" + std::to_string(port);
  vt::Process receiver({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "mpegts", "-i", url + "?listen=1", "-t", "1",
                        "-c", "copy", "-f", "mpegts", dir / "got.ts"},
                       dir.path());
  ASSERT_TRUE(listening(port, false, 10)) << receiver.err();
  vt::Process sender({vt::studioBinary(), "render", "long.wav", url, "--size", "160x120", "--fps", "30"}, dir.path(),
                     {{"DISPLAY", ""}});
  EXPECT_EQ(receiver.wait(30), 0) << receiver.err();
  // The receiver read a second and left: a write fails or stalls, at most
  // five seconds on.
  EXPECT_EQ(sender.wait(20), 1) << sender.err();
  EXPECT_NE(sender.err().find("the stream to " + url + " stopped"), std::string::npos) << sender.err();
}

// Standard output whose reader stops reading (a full pipe nobody empties):
// the render neither hangs nor ignores a signal. Interrupted while its
// write waits: status 130 at once; left alone: status 1 once the reader has
// taken nothing for five seconds, as the README promises.
TEST_F(Stream, AStalledReaderOfStandardOutputNeverHoldsTheRender) {
  ASSERT_TRUE(vt::writeTone(dir / "long.wav", 44100 * 60, 2, 44100));
  for (const bool signalled : {true, false}) {
    SCOPED_TRACE(signalled ? "interrupted" : "left alone");
    const std::string fifo = dir / (signalled ? "a.fifo" : "b.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // holds it open; never reads
    ASSERT_GE(reader, 0);
    vt::Process sender({"/bin/sh", "-c", "exec \"$0\" render long.wav - --size 160x120 --fps 30 > \"$1\"",
                        vt::studioBinary(), fifo},
                       dir.path(), {{"DISPLAY", ""}});
    // Full: the pipe holds what it can (some 58 kB of its 64 in whole
    // packets) and the writer waits.
    int held = 0;
    ASSERT_TRUE(vt::waitFor([&] { return ioctl(reader, FIONREAD, &held) == 0 && held >= 50000; }, 120)) << sender.err();
    if (signalled) {
      kill(sender.pid(), SIGINT);
      EXPECT_EQ(sender.wait(30), 130) << sender.err();
    } else {
      EXPECT_EQ(sender.wait(60), 1) << sender.err();
      EXPECT_NE(sender.err().find("five seconds"), std::string::npos) << sender.err();
    }
    close(reader);
  }
}

// play --stream sends what it draws, at the stream's rate, with the song's
// sound in step: with and without a window, over SRT and RTMP. Clicks every second at the
// flash shader's bin (1378 Hz: bin 256 in 44.1 kHz stereo) must be heard
// within one frame of the picture turning white, by the received stream's
// own timestamps; frames counted as they arrive over five seconds.
TEST_F(Stream, PlaySendsWhatItDrawsAtTheStreamRateWithTheSoundInStep) {
  vt::writeShaders(dir.path(), vt::kPlainVertexShader, vt::fragmentShader(R"(    float loudest = -100.0;
    for (int k = 240; k < 272; ++k) loudest = max(loudest, spectrum[k]);
    FragColor = vec4(vec3(loudest > -6.0 ? 1.0 : 0.0), 1.0);)"));
  ASSERT_TRUE(vt::writeSound(dir / "clicks.wav", 44100 * 4, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t f, int) {
                               const int64_t into = (f + 22050) % 44100;  // a click at each half second past
                               return into < 1323 ? 0.8 * std::sin(2 * M_PI * 1378.0 * into / 44100.0) : 0.0;
                             }));
  const struct {
    bool window;
    bool rtmp;
  } cases[] = {{false, false}, {true, false}, {false, true}};
  for (const auto& c : cases) {
    const bool window = c.window;
    SCOPED_TRACE(std::string(window ? "with a window" : "--no-window") + (c.rtmp ? ", rtmp" : ", srt"));
    const int port = freePort(c.rtmp ? SOCK_STREAM : SOCK_DGRAM);
    const std::string file = c.rtmp ? "got.flv" : "got.ts";
    const std::string url = c.rtmp ? "rtmp://127.0.0.1:" + std::to_string(port) + "/live/show"
                                   : "srt://127.0.0.1:" + std::to_string(port);
    auto receiver = c.rtmp ? receiveRtmp(port, file) : receiveSrt(port, file);
    std::vector<std::string> args = {vt::studioBinary(), "play", "clicks.wav", "--stream", url,
                                     "--size", "64x48", "--level", "off"};
    if (!window) {
      args.push_back("--no-window");
    }
    // Without a window, no display at all.
    std::map<std::string, std::string> env = {{"ALSOFT_DRIVERS", "null"}};
    if (!window) {
      env["DISPLAY"] = "";
    }
    vt::Process sender(args, dir.path(), env);
    ASSERT_TRUE(holdsFrames(file, 30, 30)) << sender.err();
    // Each count is timed at the middle of the ffprobe that took it.
    const auto count = [&](Clock::time_point& at) {
      const auto before = Clock::now();
      const Received got = receivedSoFar(dir / file);
      at = before + (Clock::now() - before) / 2;
      return got;
    };
    Clock::time_point t1, t2;
    const Received r1 = count(t1);
    std::this_thread::sleep_until(t1 + std::chrono::seconds(6));
    const Received r2 = count(t2);
    const double seconds = std::chrono::duration<double>(t2 - t1).count();
    const double streamed = r2.seconds - r1.seconds;
    // The stream's time keeps to the wall clock (its delay does not grow),
    // at 30 frames a stream second; a busy machine may drop a few frames,
    // each counted and its place kept, never more than one in ten.
    EXPECT_NEAR(streamed / seconds, 1.0, 0.04) << streamed << " s of stream in " << seconds << " s";
    const double rate = (r2.frames - r1.frames) / streamed;
    EXPECT_GE(rate, 27.0) << r1.frames << " then " << r2.frames << " frames in " << streamed << " s of stream";
    EXPECT_LE(rate, 30.5) << r1.frames << " then " << r2.frames << " frames in " << streamed << " s of stream";
    kill(sender.pid(), SIGINT);
    EXPECT_EQ(sender.wait(10), 130) << sender.err();
    EXPECT_NE(sender.err().find("streamed "), std::string::npos) << sender.err();
    EXPECT_EQ(receiver->wait(20), 0) << receiver->err();

    EXPECT_EQ(vt::probe(dir / file, "format=format_name", "v:0"), c.rtmp ? "flv\n" : "mpegts\n");
    EXPECT_EQ(vt::probe(dir / file, "stream=codec_name,has_b_frames").rfind("h264\n0\n", 0), 0u);
    EXPECT_EQ(vt::probe(dir / file, "stream=codec_name", "a:0").rfind("aac\n", 0), 0u);
    const FlashesAndClicks got = flashesAndClicks(dir / file, 64, 48);
    ASSERT_GE(got.clicks.size(), 5u);
    int matched = 0;
    for (size_t i = 1; i + 1 < got.clicks.size(); ++i) {  // the first and last may be cut
      double nearest = 10;
      for (double flash : got.flashes) {
        nearest = std::fabs(flash - got.clicks[i]) < std::fabs(nearest) ? flash - got.clicks[i] : nearest;
      }
      EXPECT_LE(std::fabs(nearest), 1.0 / 30 + 0.002) << "the click at " << got.clicks[i] << " s";
      matched += std::fabs(nearest) <= 1.0 / 30 + 0.002;
    }
    EXPECT_GE(matched, 3);
    std::filesystem::remove(dir / file);
  }
}

// play --no-window --stream of a shader with a Sound pass and no song: the
// receiver on 127.0.0.1 hears the shader's own 1000 Hz (a Goertzel filter
// over the decoded stream finds it, and nothing at 440 Hz); saved as
// 2000 Hz while it plays, it is drawn again and the receiver hears that.
TEST_F(Stream, PlaySendsTheSoundPassItPlays) {
  vt::writeText(dir / "tone.glsl", R"(vec2 mainSound(int samp, float time) {
    return vec2(0.5 * sin(6.2831853 * 1000.0 * time));
})");
  const int port = freePort(SOCK_DGRAM);
  auto receiver = receiveSrt(port, "got.ts");
  vt::Process sender({vt::studioBinary(), "play", "--shaders", "tone.glsl", "--length", "20", "--stream",
                      "srt://127.0.0.1:" + std::to_string(port), "--no-window", "--size", "64x48"},
                     dir.path(), {{"ALSOFT_DRIVERS", "null"}, {"DISPLAY", ""}, {"XDG_CACHE_HOME", dir / "cache"}});
  ASSERT_TRUE(holdsFrames("got.ts", 60, 30)) << sender.err();
  vt::writeText(dir / "tone.glsl", R"(vec2 mainSound(int samp, float time) {
    return vec2(0.5 * sin(6.2831853 * 2000.0 * time));
})");
  ASSERT_TRUE(vt::waitFor([&] { return sender.out().find("Drew the Sound pass again") != std::string::npos; }, 20))
      << sender.out() << sender.err();
  const int redrawn = framesIn(dir / "got.ts");
  ASSERT_TRUE(holdsFrames("got.ts", redrawn + 60, 30)) << sender.err();
  kill(sender.pid(), SIGINT);
  EXPECT_EQ(sender.wait(10), 130) << sender.err();
  EXPECT_EQ(receiver->wait(20), 0) << receiver->err();
  const std::string bytes = vt::runOutput(
      {"/usr/bin/ffmpeg", "-v", "error", "-i", dir / "got.ts", "-map", "0:a", "-af", "pan=mono|c0=c0", "-f", "f32le", "-"});
  std::vector<float> sound(bytes.size() / 4);
  std::memcpy(sound.data(), bytes.data(), sound.size() * 4);
  ASSERT_GT(sound.size(), 44100u * 3);
  auto amplitude = [&](double hz, size_t from = 4410) { return vt::amplitudeAt(sound, 1, 0, hz, 44100, from, 22050); };
  // Before the save (the first two seconds), in the loudest half second: a
  // busy machine may send a moment of filled-in silence as the stream starts.
  double first = 0;
  for (size_t from = 4410; from <= 44100; from += 11025) {
    first = std::max(first, amplitude(1000, from));
    EXPECT_LT(amplitude(440, from), 0.01);
  }
  EXPECT_NEAR(first, 0.5, 0.05);
  // The saved pass, in the loudest of the last three half seconds before
  // the end (stepped by a quarter): the same filled-in moment may come
  // whenever a slowed machine falls behind.
  const size_t last = sound.size() - 22050 - 4410;
  double saved = 0;
  for (size_t from = last - 22050; from <= last; from += 11025) {
    saved = std::max(saved, amplitude(2000, from));
  }
  EXPECT_NEAR(saved, 0.5, 0.05);
  EXPECT_LT(amplitude(1000, last), 0.02);
}

// The receiver goes away and comes back: play and a render paced to the
// song keep drawing, say so once each way, and the new receiver gets
// pictures within five seconds.
TEST_F(Stream, PlayAndRenderKeepGoingWhileTheReceiverIsAwayAndSendAgainOnItsReturn) {
  ASSERT_TRUE(vt::writeTone(dir / "long.wav", 44100 * 40, 2, 44100));
  for (const bool render : {false, true}) {
    SCOPED_TRACE(render ? "render SONG srt://" : "play --stream srt://");
    const int port = freePort(SOCK_DGRAM);
    const std::string url = "srt://127.0.0.1:" + std::to_string(port);
    auto first = receiveSrt(port, "first.ts");
    const std::vector<std::string> args =
        render ? std::vector<std::string>{vt::studioBinary(), "render", "long.wav", url, "--size", "64x48", "--fps", "30"}
               : std::vector<std::string>{vt::studioBinary(), "play", "song.wav", "--stream", url, "--no-window",
                                          "--size", "64x48"};
    vt::Process sender(args, dir.path(), {{"ALSOFT_DRIVERS", "null"}, {"DISPLAY", ""}});
    ASSERT_TRUE(holdsFrames("first.ts", 15, 30)) << sender.err();
    kill(first->pid(), SIGINT);
    first->wait(10);
    EXPECT_TRUE(says(sender, "the stream to " + url + " stopped", 10)) << sender.err();
    EXPECT_TRUE(sender.running());

    auto second = receiveSrt(port, "second.ts");
    const auto back = Clock::now();
    EXPECT_TRUE(holdsFrames("second.ts", 1, 10)) << sender.err();
    EXPECT_LE(std::chrono::duration<double>(Clock::now() - back).count(), 5.0);
    EXPECT_TRUE(says(sender, "sending to " + url + " again", 5)) << sender.err();
    kill(sender.pid(), SIGINT);
    EXPECT_EQ(sender.wait(10), 130) << sender.err();
    EXPECT_EQ(vt::countOccurrences(sender.err(), "stopped"), 1u) << sender.err();
    kill(second->pid(), SIGINT);
    second->wait(10);
    std::filesystem::remove(dir / "first.ts");
    std::filesystem::remove(dir / "second.ts");
  }
}

// A receiver that leaves and never comes back: the render goes on at the
// song's pace to its end, then says how many frames were sent and how many
// had none to go to, and ends with status 1 (the stream did not reach it).
TEST_F(Stream, AReceiverThatNeverComesBackEndsTheRenderWithStatusOne) {
  ASSERT_TRUE(vt::writeTone(dir / "six.wav", 44100 * 6, 2, 44100));
  const int port = freePort(SOCK_DGRAM);
  const std::string url = "srt://127.0.0.1:" + std::to_string(port);
  auto receiver = receiveSrt(port, "only.ts");
  vt::Process sender({vt::studioBinary(), "render", "six.wav", url, "--size", "64x48", "--fps", "30"}, dir.path(),
                     {{"DISPLAY", ""}});
  ASSERT_TRUE(holdsFrames("only.ts", 15, 30)) << sender.err();
  kill(receiver->pid(), SIGINT);
  receiver->wait(10);
  EXPECT_EQ(sender.wait(120), 1) << sender.err();
  EXPECT_NE(sender.err().find("stopped receiving and did not come back"), std::string::npos) << sender.err();
  EXPECT_NE(sender.err().find("with no receiver"), std::string::npos) << sender.err();
}

// What play cannot send is refused in one line, within seconds.
TEST_F(Stream, WhatPlayCannotSendIsRefusedInOneLine) {
  const int udp = freePort(SOCK_DGRAM);
  const struct {
    std::vector<std::string> args;
    int status;
    const char* says;
  } cases[] = {
      {{"--no-window"}, 2, "--no-window needs a --stream"},
      {{"--fps", "25"}, 2, "--fps is the stream's rate"},
      {{"--preset", "veryfast"}, 2, "--preset is the stream's"},
      {{"--stream", "srt://127.0.0.1:9", "--preset", "placebo"}, 2, "--preset"},
      {{"--stream", "gopher://127.0.0.1:70"}, 2, "is not a stream this program sends"},
      {{"--stream", "-"}, 2, "is not a stream this program sends"},
      {{"--stream", "srt://127.0.0.1:9", "--fps", "0"}, 2, "--fps must be"},
      {{"--stream", "srt://127.0.0.1:9", "--size", "63x48"}, 2, "even width and height"},
      {{"--stream", "srt://127.0.0.1:0"}, 2, "the port must be a number from 1 to 65535"},
      {{"--stream", "srt://127.0.0.1:" + std::to_string(udp), "--no-window"}, 1, "cannot stream to srt://127.0.0.1"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"play", "song.wav"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto start = Clock::now();
    const vt::StudioRun run = vt::studio(dir.path(), args, 60);
    EXPECT_EQ(run.status, c.status) << c.args[0] << "\n" << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args[0] << "\n" << run.err;
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 30.0) << c.args[0];
  }
}

// A stream is the render, frame for frame: lossless (--crf 0) the pictures
// a receiver decodes from `render SONG srt://…` hash the same as those
// decoded from the same render into a file.
TEST_F(Stream, ARenderedStreamHoldsTheFramesOfTheFile) {
  const int port = freePort(SOCK_DGRAM);
  auto receiver = receiveSrt(port, "got.ts");
  const std::vector<std::string> common = {"--size", "64x48", "--fps", "30", "--crf", "0", "--quiet"};
  std::vector<std::string> streamed = {"render", "song.wav", "srt://127.0.0.1:" + std::to_string(port)};
  std::vector<std::string> filed = {"render", "song.wav", "file.mkv"};
  streamed.insert(streamed.end(), common.begin(), common.end());
  filed.insert(filed.end(), common.begin(), common.end());
  const vt::StudioRun sent = vt::studio(dir.path(), streamed, 60);
  ASSERT_EQ(sent.status, 0) << sent.err;
  ASSERT_EQ(receiver->wait(20), 0) << receiver->err();
  const vt::StudioRun written = vt::studio(dir.path(), filed, 60);
  ASSERT_EQ(written.status, 0) << written.err;
  const auto hashes = [&](const std::string& file) {
    std::vector<std::string> out;
    std::istringstream in(vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / file, "-map", "0:v",
                                         "-fps_mode", "passthrough", "-f", "framemd5", "-"}));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line[0] != '#') {
        out.push_back(line.substr(line.rfind(',') + 1));
      }
    }
    return out;
  };
  const std::vector<std::string> fromStream = hashes("got.ts");
  EXPECT_EQ(fromStream.size(), 90u);
  EXPECT_EQ(fromStream, hashes("file.mkv"));
}

// play's stream goes through the flash guard as a render does: a pair
// strobing ten times a second reaches the receiver with at most three
// flashes in any second, and all ten with --flash-guard off.
TEST_F(Stream, PlaysStreamKeepsToThreeFlashesASecond) {
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   vt::fragmentShader("FragColor = vec4(vec3(mod(floor(itime * 20.0 + 0.5), 2.0)), 1.0);"));
  for (const std::string guard : {"on", "off"}) {
    const int port = freePort(SOCK_DGRAM);
    const std::string file = "strobe-" + guard + ".ts";
    auto receiver = receiveSrt(port, file);
    vt::Process sender({vt::studioBinary(), "play", "song.wav", "--no-window", "--stream",
                        "srt://127.0.0.1:" + std::to_string(port), "--size", "64x48", "--fps", "60", "--flash-guard",
                        guard},
                       dir.path(), {{"ALSOFT_DRIVERS", "null"}, {"DISPLAY", ""}});
    ASSERT_TRUE(holdsFrames(file, 150, 30)) << sender.err();
    kill(sender.pid(), SIGINT);
    EXPECT_EQ(sender.wait(10), 130) << sender.err();
    receiver->wait(20);
    const double most = vt::mostFlashesASecond(dir / file, 64, 48, 60);
    if (guard == "on") {
      EXPECT_LE(most, 3.0);
      EXPECT_NE(sender.err().find("flash guard eased"), std::string::npos) << sender.err();
    } else {
      EXPECT_GE(most, 9.5);
    }
  }
}

}  // namespace
