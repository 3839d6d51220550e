// scripts/record end to end: a real private Xvfb, the wave writer, ffmpeg.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "support.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

std::string ffprobe(const std::string& file, const std::string& stream, const std::string& entries) {
  vt::Process probe({"/usr/bin/ffprobe", "-v", "error", "-select_streams", stream, "-show_entries", "stream=" + entries,
                     "-of", "default=noprint_wrappers=1", file},
                    "/");
  probe.wait(60);
  return probe.out();
}

double field(const std::string& text, const std::string& name) {
  const size_t at = text.find(name + "=");
  if (at == std::string::npos)
    return -1;
  const std::string value = text.substr(at + name.size() + 1);
  const size_t slash = value.find('/');
  if (slash != std::string::npos && slash < value.find('\n')) {
    return std::atof(value.substr(0, slash).c_str()) / std::atof(value.substr(slash + 1).c_str());
  }
  return std::atof(value.c_str());
}

vt::Process record(const vt::TempDir& dir, const std::string& seconds, const std::string& target) {
  return vt::Process({"/bin/bash", vt::sourceDir() + "/scripts/record", seconds, target}, dir.path(),
                     {{"VRAX_WORKDIR", dir.path()}});
}

}  // namespace

TEST(Record, ThreeSecondsGiveAnMp4WithPictureAndSoundAndAFrame) {
  vt::TempDir dir;
  vt::copyShippedShaders(dir.path());
  ASSERT_TRUE(vt::writeSound(dir / "example.wav", 88200, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t f, int) { return 0.4 * std::sin(2 * kPi * 220.0 * f / 44100); }));
  vt::Process run = record(dir, "3", dir / "clip.mp4");
  ASSERT_EQ(run.wait(180), 0) << run.out() << run.err();
  EXPECT_NE(run.out().find("Recorded 3 s of VRAX"), std::string::npos) << run.out();

  const std::string video = ffprobe(dir / "clip.mp4", "v:0", "codec_name,width,height,avg_frame_rate");
  EXPECT_NE(video.find("codec_name=h264"), std::string::npos) << video;
  EXPECT_EQ(field(video, "width"), 800);
  EXPECT_EQ(field(video, "height"), 600);
  EXPECT_NEAR(field(video, "avg_frame_rate"), 60.0, 1.0) << video;
  const std::string audio = ffprobe(dir / "clip.mp4", "a:0", "codec_name,duration");
  EXPECT_NE(audio.find("codec_name=aac"), std::string::npos) << audio;
  EXPECT_NEAR(field(audio, "duration"), 3.0, 0.1) << audio;
  EXPECT_GT(vt::readText(dir / "clip.png").size(), 1000u);
}

TEST(Record, SaysWhyWhenTheProgramEndsEarlyOrTheFileCannotBeWritten) {
  vt::TempDir dir;
  vt::copyShippedShaders(dir.path());
  // No example.wav: the program ends with its own message.
  vt::Process early = record(dir, "2", dir / "clip.mp4");
  EXPECT_NE(early.wait(180), 0);
  EXPECT_NE(early.err().find("VRAX ended early (exit status 255)"), std::string::npos) << early.err();
  EXPECT_NE(early.err().find("Error: Unable to open file: "), std::string::npos) << early.err();

  vt::Process unwritable = record(dir, "2", "/proc/vrax/clip.mp4");
  EXPECT_NE(unwritable.wait(180), 0);
  EXPECT_NE(unwritable.err().find("record: cannot create the folder /proc/vrax"), std::string::npos)
      << unwritable.err();

  vt::Process nonsense = record(dir, "soon", dir / "clip.mp4");
  EXPECT_NE(nonsense.wait(180), 0);
  EXPECT_NE(nonsense.err().find("SECONDS must be a number"), std::string::npos) << nonsense.err();
}
