// vrax-studio render to a live stream, received by a real ffmpeg listening
// on 127.0.0.1: the container each protocol needs, H.264 with low delay and
// AAC, frames at the song's pace and as many as the song has, and a URL
// nobody answers refused in one line within seconds, never a hang.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>

#include "support.h"

namespace {

using Clock = std::chrono::steady_clock;

// A port of 127.0.0.1 free now for `type` (SOCK_STREAM or SOCK_DGRAM).
int freePort(int type) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof at;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    return -1;
  }
  const int port = ntohs(at.sin_port);
  close(fd);
  return port;
}

// Whether something listens on 127.0.0.1:port (ss lists it), polled.
bool listening(int port, bool udp, double seconds) {
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    const std::string out = vt::runOutput({"/usr/bin/ss", udp ? "-lun" : "-ltn"});
    if (out.find("127.0.0.1:" + std::to_string(port) + " ") != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

class Stream : public ::testing::Test {
 protected:
  void SetUp() override {
    vt::copyShippedShaders(dir.path());
    ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100 * 3, 2, 44100));
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
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"render", "song.wav"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(), {"--size", "160x120", "--fps", "30"});
    const auto start = Clock::now();
    const vt::StudioRun run = vt::studio(dir.path(), args, 30);
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(run.status, c.status) << c.args[0] << "\n" << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args[0] << "\n" << run.err;
    EXPECT_LT(took, 15.0) << c.args[0];
    for (const char* line : {"\n[", "] "}) {
      EXPECT_EQ(run.err.find(line), std::string::npos) << c.args[0] << ": a library's own line\n" << run.err;
    }
  }
}

// A receiver that goes away mid-stream: the sender ends within seconds,
// saying so in one line, and never hangs.
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

}  // namespace
