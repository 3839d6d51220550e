// Reading songs as they come: streams that change their channels or rate
// half-way, seeking into compressed files, the length a container states,
// damaged MP3s, and the reason given for files that hold no sound. Every
// file is made here by the ffmpeg program from signals with known values.
#include <gtest/gtest.h>

#include <cstring>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "sound/soundStream.h"
#include "support.h"

namespace {

class SoundReading : public ::testing::Test {
 protected:
  void ffmpeg(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/ffmpeg", "-v", "error", "-y"});
    int status = -1;
    vt::runOutput(args, &status);
    ASSERT_EQ(status, 0);
  }
  void concatenate(const std::vector<std::string>& parts, const std::string& out) {
    std::ofstream file(dir / out, std::ios::binary);
    for (const std::string& part : parts) {
      std::ifstream in(dir / part, std::ios::binary);
      file << in.rdbuf();
    }
  }
  // The whole file through the studio's reader.
  static std::vector<float> readAll(const std::string& path, int& channels, int& rate) {
    SoundFile file;
    const Status opened = file.open(path);
    EXPECT_TRUE(opened.ok()) << opened.why();
    channels = file.channels();
    rate = file.rate();
    std::vector<float> all;
    std::vector<float> chunk(4096 * static_cast<size_t>(std::max(channels, 1)));
    for (int64_t got; (got = file.readFloats(chunk.data(), 4096)) > 0;) {
      all.insert(all.end(), chunk.begin(), chunk.begin() + got * channels);
    }
    return all;
  }
  // Upward zero crossings a second of the channels' sum over [from, to) seconds.
  static double pitch(const std::vector<float>& s, int channels, int rate, double from, double to) {
    const auto a = static_cast<size_t>(from * rate);
    const auto b = std::min(static_cast<size_t>(to * rate), s.size() / channels);
    auto mix = [&](size_t i) {
      float sum = 0;
      for (int c = 0; c < channels; ++c) {
        sum += s[i * channels + c];
      }
      return sum;
    };
    int crossings = 0;
    for (size_t i = a + 1; i < b; ++i) {
      crossings += mix(i - 1) < 0 && mix(i) >= 0;
    }
    return crossings / (static_cast<double>(b - a) / rate);
  }
  vt::TempDir dir;
};

// A TV recording or a joined ADTS file changes layout or rate mid-stream:
// the reader keeps the first layout and rate, at the right speed and length.
TEST_F(SoundReading, MidStreamChangesKeepSpeedLengthAndChannels) {
  struct Case {
    const char* name;
    std::vector<std::string> first;
    std::vector<std::string> second;
  };
  const Case cases[] = {
      {"stereo then mono", {"-ac", "2"}, {"-ac", "1"}},
      {"5.1 then mono", {"-af", "pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0"}, {"-ac", "1"}},
      {"44.1 then 22.05 kHz", {"-ar", "44100", "-ac", "2"}, {"-ar", "22050", "-ac", "2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> a = {"-f", "lavfi", "-i", "sine=1000:d=2:r=44100"};
    a.insert(a.end(), c.first.begin(), c.first.end());
    a.insert(a.end(), {"-c:a", "aac", "-f", "adts", dir / "a.aac"});
    std::vector<std::string> b = {"-f", "lavfi", "-i", "sine=1000:d=2:r=44100"};
    b.insert(b.end(), c.second.begin(), c.second.end());
    b.insert(b.end(), {"-c:a", "aac", "-f", "adts", dir / "b.aac"});
    ffmpeg(a);
    ffmpeg(b);
    concatenate({"a.aac", "b.aac"}, "joined.aac");
    int channels = 0;
    int rate = 0;
    const std::vector<float> s = readAll(dir / "joined.aac", channels, rate);
    ASSERT_GT(channels, 0);
    const double seconds = static_cast<double>(s.size()) / channels / rate;
    EXPECT_NEAR(seconds, 4.0, 0.15);  // raw ADTS keeps its priming and padding: about 45 ms a part
    // The tone is 1 kHz in both halves: no double speed, no silence.
    EXPECT_NEAR(pitch(s, channels, rate, 0.5, 1.5), 1000.0, 5.0);
    EXPECT_NEAR(pitch(s, channels, rate, 2.5, 3.5), 1000.0, 5.0);
  }
  // And the command renders it whole.
  const vt::StudioRun run = vt::studio(dir.path(), {"render", "joined.aac", "out.mp4", "--size", "64x48", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NEAR(std::stod(vt::probe(dir / "out.mp4", "stream=duration", "a:0")), 4.0, 0.15);
}

// A seek lands where reading from the start would have come to, sample for
// sample, and the stated length is the song's own.
TEST_F(SoundReading, SeekingCompressedSoundMatchesReadingThrough) {
  ffmpeg({"-f", "lavfi", "-i", "aevalsrc=sin(2*PI*(200+300*t)*t)|0.5*sin(2*PI*700*t):d=10:s=44100", "-c:a", "aac",
          dir / "sweep.m4a"});
  int channels = 0;
  int rate = 0;
  const std::vector<float> whole = readAll(dir / "sweep.m4a", channels, rate);
  ASSERT_EQ(channels, 2);
  EXPECT_EQ(whole.size(), 441000u * 2) << "the song is 10 s at 44.1 kHz";
  {
    SoundFile file;
    const Status opened = file.open(dir / "sweep.m4a");
    ASSERT_TRUE(opened.ok()) << opened.why();
    EXPECT_EQ(file.statedFrames(), 441000);
    EXPECT_EQ(countFrames(file), 441000);
  }
  for (const int64_t target : {int64_t{44100}, int64_t{3 * 44100 + 17}, int64_t{7 * 44100 + 1023}, int64_t{430000}}) {
    SCOPED_TRACE(target);
    SoundFile file;
    const Status opened = file.open(dir / "sweep.m4a");
    ASSERT_TRUE(opened.ok()) << opened.why();
    ASSERT_TRUE(file.seek(target));
    std::vector<float> got(8192 * 2);
    const int64_t n = file.readFloats(got.data(), 8192);
    ASSERT_EQ(n, std::min<int64_t>(8192, 441000 - target));
    float worst = 0;
    for (int64_t i = 0; i < n * 2; ++i) {
      worst = std::max(worst, std::fabs(got[static_cast<size_t>(i)] - whole[static_cast<size_t>(target * 2 + i)]));
    }
    EXPECT_LT(worst, 1e-4f);
  }
}

// libsndfile's MP3 reading ends at the first damaged frame; the rest of the
// song is still there for a decoder that skips it.
TEST_F(SoundReading, DamagedMp3IsReadPastTheDamage) {
  ffmpeg({"-f", "lavfi", "-i", "sine=440:d=9.7", "-ac", "2", "-b:a", "128k", dir / "song.mp3"});
  {
    std::fstream file(dir / "song.mp3", std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(0, std::ios::end);
    const auto size = static_cast<std::streamoff>(file.tellg());
    file.seekp(size / 8);
    for (int i = 0; i < 3000; ++i) {
      file.put(static_cast<char>(i % 7 != 0 ? 0xFF : 0x00));
    }
  }
  int channels = 0;
  int rate = 0;
  const std::vector<float> s = readAll(dir / "song.mp3", channels, rate);
  ASSERT_GT(channels, 0);
  // 3000 bytes at 128 kb/s are under 0.2 s.
  EXPECT_GT(static_cast<double>(s.size()) / channels / rate, 9.3);
  const vt::StudioRun run = vt::studio(dir.path(), {"render", "song.mp3", "out.mp4", "--size", "64x48", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.find("Note:"), std::string::npos) << run.err;
  EXPECT_GT(std::stod(vt::probe(dir / "out.mp4", "stream=duration", "a:0")), 9.3);
}

// What cannot be read says why in the words of the reader that knew it best.
TEST_F(SoundReading, FilesWithoutSoundSayWhy) {
  ffmpeg({"-f", "lavfi", "-i", "color=red:size=64x48:d=2", "-c:v", "libx264", dir / "silent-film.mp4"});
  ffmpeg({"-f", "lavfi", "-i", "sine=440:d=5", "-c:a", "aac", "-movflags", "-faststart", dir / "whole.m4a"});
  {
    std::ifstream in(dir / "whole.m4a", std::ios::binary);
    std::vector<char> head(40000);
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    std::ofstream(dir / "cut.m4a", std::ios::binary).write(head.data(), in.gcount());
  }
  vt::writeText(dir / "notes.txt", "not a song\n");
  struct Case {
    const char* file;
    const char* says;
  };
  const Case cases[] = {
      {"silent-film.mp4", "holds no sound"},
      {"cut.m4a", "damaged or cut short"},
      {"notes.txt", "Format not recognised"},
  };
  for (const Case& c : cases) {
    const vt::StudioRun run = vt::studio(dir.path(), {"render", c.file, "out.mp4", "--size", "64x48", "-q"});
    EXPECT_EQ(run.status, 1) << c.file;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << c.file << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.file << ": " << run.err;
  }
}

// A span deep into a compressed song starts from a seek, not from reading
// the song through, and shows the same frames as the whole render there.
TEST_F(SoundReading, ASpanOfACompressedSongEqualsItsPartOfTheWhole) {
  ffmpeg({"-f", "lavfi", "-i", "aevalsrc=sin(2*PI*(200+50*t)*t)*(0.5+0.4*sin(2*PI*0.7*t)):d=25:s=44100", "-ac", "2",
          "-c:a", "aac", dir / "song.m4a"});
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   vt::fragmentShader("float v = clamp((spectrum[int(uv.x * 400.0)] + 7.0) / 20.0, 0.0, 1.0);\n"
                                      "    FragColor = vec4(v, uv.y * v, itime / 25.0, 1.0);"));
  const std::vector<std::string> common = {"--size", "64x48", "--crf", "0", "-q"};
  auto render = [&](const std::string& out, std::vector<std::string> extra) {
    std::vector<std::string> args = {"render", "song.m4a", out};
    args.insert(args.end(), common.begin(), common.end());
    args.insert(args.end(), extra.begin(), extra.end());
    const vt::StudioRun run = vt::studio(dir.path(), args);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string raw = vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / out, "-fps_mode",
                                           "passthrough", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    return raw;
  };
  const std::string whole = render("whole.mkv", {});
  const std::string span = render("span.mkv", {"--from", "22", "--to", "23"});
  const size_t frame = 64 * 48 * 3;
  ASSERT_EQ(whole.size(), 1500 * frame);
  ASSERT_EQ(span.size(), 60 * frame);
  int worst = 0;
  for (size_t i = 0; i < span.size(); ++i) {
    worst = std::max(worst, std::abs(int(static_cast<unsigned char>(span[i])) -
                                     int(static_cast<unsigned char>(whole[22 * 60 * frame + i]))));
  }
  EXPECT_LE(worst, 1);
}


// The video's sound of a compressed song comes from the same decoding that
// feeds the picture: what a span of it holds is the song's own samples there,
// as FFmpeg's program decodes them (PCM in .mov keeps them to 16 bits).
TEST_F(SoundReading, AVideosSoundIsTheSongsOwnOverTheSpan) {
  ffmpeg({"-f", "lavfi", "-i", "aevalsrc=sin(2*PI*(300+40*t)*t)*0.6|sin(2*PI*(500-30*t)*t)*0.4:d=8:s=44100", "-c:a",
          "aac", dir / "song.m4a"});
  vt::copyShippedShaders(dir.path());
  const vt::StudioRun run = vt::studio(dir.path(), {"render", "song.m4a", "out.mov", "--codec", "prores", "--from", "3",
                                                    "--to", "5", "--size", "64x48", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  auto floats = [&](const std::string& file) {
    const std::string raw = vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / file, "-map", "0:a", "-f",
                                           "f32le", "-ac", "2", "-"});
    std::vector<float> out(raw.size() / sizeof(float));
    std::memcpy(out.data(), raw.data(), out.size() * sizeof(float));
    return out;
  };
  const std::vector<float> song = floats("song.m4a");
  const std::vector<float> video = floats("out.mov");
  ASSERT_EQ(video.size(), 2u * 44100 * 2);
  ASSERT_GE(song.size(), 2u * 44100 * 5);
  double worst = 0;
  for (size_t i = 0; i < video.size(); ++i) {
    worst = std::max(worst, std::abs(double(video[i]) - double(song[2 * 44100 * 3 + i])));
  }
  EXPECT_LT(worst, 2.0 / 32768 + 1e-4);
}

}  // namespace
