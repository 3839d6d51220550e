// A finished music video: any sound format in, its tags carried over, fades
// exact to the frame and the sample, every codec and container, alpha for
// overlays, and the refusals that name the choices.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <tuple>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "support.h"

namespace {

namespace fs = std::filesystem;

using vt::probe;
using vt::studio;
using vt::StudioRun;

std::vector<std::string> frameHashes(const std::string& file) {
  std::vector<std::string> out;
  std::istringstream in(vt::runOutput(
      {"/usr/bin/ffmpeg", "-v", "error", "-i", file, "-map", "0:v", "-f", "framemd5", "-"}));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') {
      out.push_back(line.substr(line.rfind(',') + 1));
    }
  }
  return out;
}

// Frame n as RGBA bytes (the decoder's alpha where the stream has one).
std::string rgba(const std::string& file, int n, const std::string& decoder = "") {
  std::vector<std::string> args = {"/usr/bin/ffmpeg", "-v", "error"};
  if (!decoder.empty()) {
    args.insert(args.end(), {"-c:v", decoder});
  }
  args.insert(args.end(), {"-i", file, "-vf", "select=eq(n\\," + std::to_string(n) + ")", "-frames:v", "1", "-f",
                           "rawvideo", "-pix_fmt", "rgba", "-"});
  return vt::runOutput(args);
}

double meanRgb(const std::string& pixels) {
  double sum = 0;
  for (size_t i = 0; i < pixels.size(); ++i) {
    if (i % 4 != 3) {
      sum += static_cast<unsigned char>(pixels[i]);
    }
  }
  return sum / std::max<size_t>(1, pixels.size() / 4 * 3);
}

std::vector<float> sound(const std::string& file) {
  const std::string raw =
      vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", file, "-map", "0:a", "-ac", "1", "-f", "f32le", "-"});
  std::vector<float> out(raw.size() / 4);
  std::memcpy(out.data(), raw.data(), out.size() * 4);
  return out;
}

// A bright, busy pair: fades show plainly against it.
const std::string kBright = vt::fragmentShader(
    "FragColor = vec4(0.8, 0.6 + 0.2 * sin(itime), clamp(spectrum[40] * 0.05, 0.0, 1.0), 1.0);");

class Video : public ::testing::Test {
 protected:
  void SetUp() override {
    vt::writeShaders(dir.path(), vt::kPlainVertexShader, kBright);
    ASSERT_TRUE(vt::writeSound(dir / "song.wav", 44100 * 2, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                               [](int64_t f, int c) { return 0.5 * std::sin(2 * M_PI * (440.0 + 110 * c) * f / 44100); }));
  }
  void ffmpeg(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/ffmpeg", "-v", "error", "-y"});
    int status = -1;
    vt::runOutput(args, &status);
    ASSERT_EQ(status, 0);
  }
  vt::TempDir dir;
};

TEST_F(Video, AnySoundFormatRendersAndLosslessOnesGiveIdenticalFrames) {
  ffmpeg({"-i", dir / "song.wav", dir / "song.flac"});
  ffmpeg({"-i", dir / "song.wav", "-c:a", "aac", "-metadata", "title=Night Drive", "-metadata", "artist=Test Artist",
          "-metadata", "album=Tests", dir / "song.m4a"});
  ffmpeg({"-i", dir / "song.wav", dir / "song.mp3"});
  ffmpeg({"-i", dir / "song.wav", "-c:a", "libopus", dir / "song.opus"});
  ffmpeg({"-f", "lavfi", "-i", "color=red:size=64x48:rate=25", "-i", dir / "song.wav", "-shortest", "-c:v",
          "libx264", "-c:a", "aac", dir / "clip.mp4"});
  std::map<std::string, std::vector<std::string>> hashes;
  for (const std::string input : {"song.wav", "song.flac", "song.m4a", "song.mp3", "song.opus", "clip.mp4"}) {
    const std::string out = input + ".mkv";
    const StudioRun run = studio(dir.path(), {"render", input, out, "--size", "64x48", "--crf", "0", "-q"});
    ASSERT_EQ(run.status, 0) << input << "\n" << run.err;
    hashes[input] = frameHashes(dir / out);
    // Lossy ones within one frame of the 2 s the song lasts.
    EXPECT_NEAR(static_cast<double>(hashes[input].size()), 120.0, 1.0) << input;
  }
  EXPECT_EQ(hashes["song.wav"], hashes["song.flac"]);
  // The tags come along into the video.
  const std::string tags = vt::runOutput({"/usr/bin/ffprobe", "-v", "error", "-show_entries",
                                          "format_tags=title,artist,album", "-of", "default=nw=1", dir / "song.m4a.mkv"});
  EXPECT_NE(tags.find("Night Drive"), std::string::npos) << tags;
  EXPECT_NE(tags.find("Test Artist"), std::string::npos) << tags;
  EXPECT_NE(tags.find("Tests"), std::string::npos) << tags;
}

TEST_F(Video, FadesBeginAndEndInBlackAndSilence) {
  const StudioRun run = studio(dir.path(), {"render", "song.wav", "fade.mov", "--size", "64x48", "--fade-in", "1",
                                            "--fade-out", "1", "--codec", "prores", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_LT(meanRgb(rgba(dir / "fade.mov", 0)), 2.0);
  EXPECT_GT(meanRgb(rgba(dir / "fade.mov", 60)), 100.0);  // 1 s in: full brightness
  EXPECT_NEAR(meanRgb(rgba(dir / "fade.mov", 30)), meanRgb(rgba(dir / "fade.mov", 60)) / 2, 12.0);  // halfway up
  EXPECT_LT(meanRgb(rgba(dir / "fade.mov", 119)), 2.0);
  // PCM: the ramp itself, exact to the sample.
  const std::vector<float> s = sound(dir / "fade.mov");
  ASSERT_EQ(s.size(), 88200u);
  float first = 0;
  for (size_t i = 0; i < 441; ++i) {
    first = std::max(first, std::fabs(s[i]));
  }
  EXPECT_LT(first, 0.01f);  // the first 10 ms
  float middle = 0;
  for (size_t i = 44100 - 441; i < 44100 + 441; ++i) {
    middle = std::max(middle, std::fabs(s[i]));
  }
  EXPECT_GT(middle, 0.4f);
  EXPECT_LT(std::fabs(s.back()), 0.001f);
}

TEST_F(Video, EachCodecGivesItsStreamAndAlphaSurvives) {
  struct Case {
    const char* output;
    std::vector<std::string> args;
    const char* video;
    const char* audio;
  };
  const Case cases[] = {
      {"h264.mp4", {}, "h264", "aac"},
      {"hevc.mp4", {"--codec", "hevc"}, "hevc", "aac"},
      {"vp9.webm", {}, "vp9", "opus"},
      {"av1.webm", {"--codec", "av1", "--size", "64x64"}, "av1", "opus"},
      {"av1.mkv", {"--codec", "av1", "--size", "96x64"}, "av1", "aac"},
      {"prores.mov", {"--codec", "prores"}, "prores", "pcm_s16le"},
      {"hevc.mov", {"--codec", "hevc", "--preset", "ultrafast"}, "hevc", "aac"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"render", "song.wav", c.output, "--to", "0.5", "-q"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (std::find(args.begin(), args.end(), "--size") == args.end()) {
      args.insert(args.end(), {"--size", "64x48"});
    }
    const StudioRun run = studio(dir.path(), args);
    ASSERT_EQ(run.status, 0) << c.output << "\n" << run.err;
    EXPECT_EQ(run.err, "") << c.output;  // no library chatter
    EXPECT_EQ(probe(dir / c.output, "stream=codec_name"), std::string(c.video) + "\n") << c.output;
    EXPECT_EQ(probe(dir / c.output, "stream=codec_name", "a:0"), std::string(c.audio) + "\n") << c.output;
    EXPECT_EQ(probe(dir / c.output, "stream=nb_read_frames"), "30\n") << c.output;
    // This FFmpeg reads no colours back from ProRes in mov, even its own.
    if (std::string(c.video) != "prores") {
      EXPECT_EQ(probe(dir / c.output, "stream=color_primaries"), "bt709\n") << c.output;
    }
  }

  // Alpha: the pair writes alpha = x across the picture; the overlay forms keep it.
  vt::writeShaders(dir.path(), vt::kPlainVertexShader, vt::fragmentShader("FragColor = vec4(1.0, 0.5, 0.0, uv.x);"));
  for (const auto& [output, codec, decoder] :
       {std::tuple<const char*, const char*, const char*>{"alpha.mov", "prores", ""},
        std::tuple<const char*, const char*, const char*>{"alpha.webm", "vp9", "libvpx-vp9"},
        std::tuple<const char*, const char*, const char*>{"alpha-png.mov", "png", ""}}) {
    const StudioRun run = studio(dir.path(), {"render", "song.wav", output, "--codec", codec, "--transparent",
                                              "--size", "64x48", "--to", "0.5", "-q"});
    ASSERT_EQ(run.status, 0) << output << "\n" << run.err;
    const std::string pixels = rgba(dir / output, 10, decoder);
    ASSERT_EQ(pixels.size(), 64u * 48 * 4) << output;
    for (int x : {0, 16, 32, 48, 63}) {
      const int alpha = static_cast<unsigned char>(pixels[static_cast<size_t>((24 * 64 + x) * 4 + 3)]);
      EXPECT_NEAR(alpha, (x + 0.5) / 64 * 255, 4) << output << " at x " << x;
    }
  }
}

// PNG in MOV, the light layer for editors, is lossless: a frame of it is the
// still render draws at that moment, to the byte, alpha included.
TEST_F(Video, APngLayerHoldsTheRenderedPixelsExactly) {
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   vt::fragmentShader("FragColor = vec4(fract(itime * 3.7), uv.y, 0.25, uv.x);"));
  const StudioRun layer = studio(dir.path(), {"render", "song.wav", "layer.mov", "--codec", "png", "--transparent",
                                              "--size", "64x48", "--fps", "30", "--to", "0.6", "-q"});
  ASSERT_EQ(layer.status, 0) << layer.err;
  EXPECT_EQ(probe(dir / "layer.mov", "stream=codec_name,pix_fmt"), "png\nrgba\n");
  EXPECT_EQ(probe(dir / "layer.mov", "stream=codec_name", "a:0"), "pcm_s16le\n");
  const StudioRun still = studio(dir.path(), {"render", "song.wav", "still.png", "--transparent", "--size", "64x48",
                                              "--fps", "30", "--from", "0.5", "-q"});
  ASSERT_EQ(still.status, 0) << still.err;
  const std::string frame = rgba(dir / "layer.mov", 15, "");
  ASSERT_EQ(frame.size(), 64u * 48 * 4);
  EXPECT_TRUE(frame == rgba(dir / "still.png", 0, "")) << "frame 15 differs from the still at 0.5 s";
  const StudioRun preset = studio(dir.path(), {"render", "song.wav", "p.mov", "--codec", "png", "--preset", "fast"});
  EXPECT_EQ(preset.status, 2);
  EXPECT_NE(preset.err.find("--preset has no meaning for png"), std::string::npos) << preset.err;
}

// Without --size or --fps a render is what upload sites take as it is:
// 1920x1080 at 30 frames a second (the sizes' names give the same).
TEST_F(Video, TheDefaultIsFullHdAtThirtyFramesASecond) {
  const std::map<std::string, std::string> noDisplay = {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}};
  vt::Process plain({vt::studioBinary(), "render", "song.wav", "plain.mp4", "--to", "0.5", "-q"}, dir.path(), noDisplay);
  ASSERT_EQ(plain.wait(180), 0) << plain.err();
  EXPECT_EQ(probe(dir / "plain.mp4", "stream=width,height,r_frame_rate,nb_read_frames"), "1920\n1080\n30/1\n15\n");
  for (const auto& [name, shape] : {std::pair<const char*, const char*>{"portrait", "1080\n1920\n"},
                                    {"square", "1080\n1080\n"}, {"720p", "1280\n720\n"}}) {
    vt::Process named({vt::studioBinary(), "render", "song.wav", std::string(name) + ".png", "--size", name, "-q"},
                      dir.path(), noDisplay);
    ASSERT_EQ(named.wait(180), 0) << name << "\n" << named.err();
    EXPECT_EQ(probe(dir / (std::string(name) + ".png"), "stream=width,height"), shape) << name;
  }
}

// With --transparent a fade fades the layer's alpha, as an editor fades a
// layer, and leaves its colour alone.
TEST_F(Video, ATransparentFadeFadesTheAlpha) {
  vt::writeShaders(dir.path(), vt::kPlainVertexShader, vt::fragmentShader("FragColor = vec4(1.0, 0.0, 0.0, 1.0);"));
  const StudioRun run = studio(dir.path(), {"render", "song.wav", "fade.mov", "--size", "64x48", "--fade-in", "1",
                                            "--codec", "prores", "--transparent", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string full = rgba(dir / "fade.mov", 60);
  ASSERT_EQ(full.size(), 64u * 48 * 4);
  for (const auto& [frame, alpha] : {std::pair<int, int>{0, 0}, {30, 128}, {60, 255}}) {
    const std::string pixels = rgba(dir / "fade.mov", frame);
    ASSERT_EQ(pixels.size(), full.size());
    EXPECT_NEAR(static_cast<unsigned char>(pixels[24 * 64 * 4 + 3]), alpha, 4) << "frame " << frame;
    if (alpha > 0) {  // the colour as at full strength
      EXPECT_NEAR(static_cast<unsigned char>(pixels[24 * 64 * 4]), static_cast<unsigned char>(full[24 * 64 * 4]), 2)
          << "frame " << frame;
    }
  }
}

// --background is seen where the picture's alpha leaves room, scaled to
// cover the frame and cut at the middle; --logo sits in the top-right
// corner over the picture.
TEST_F(Video, TheBackgroundShowsThroughAndTheLogoSitsInTheCorner) {
  // See-through left of x = 240, opaque red right of it.
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   vt::fragmentShader("FragColor = uv.x < 0.75 ? vec4(0.0, 1.0, 0.0, 0.0) : vec4(1.0, 0.0, 0.0, 1.0);"));
  // 200x100, yellow on its left half and blue on its right: covering 320x240
  // it is drawn 480x240 from x = -80, so its left half ends at x = 160.
  ffmpeg({"-f", "lavfi", "-i", "color=yellow:s=100x100", "-f", "lavfi", "-i", "color=blue:s=100x100", "-filter_complex",
          "[0][1]hstack", "-frames:v", "1", dir / "wall.png"});
  ffmpeg({"-f", "lavfi", "-i", "color=white:s=40x40", "-frames:v", "1", dir / "logo.png"});
  const StudioRun run = studio(dir.path(), {"render", "song.wav", "out.png", "--size", "320x240", "--background",
                                            "wall.png", "--logo", "logo.png"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string pixels = vt::runOutput(
      {"/usr/bin/ffmpeg", "-v", "error", "-i", dir / "out.png", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
  ASSERT_EQ(pixels.size(), 320u * 240 * 3);
  auto at = [&](int x, int y) {
    const size_t i = static_cast<size_t>(y * 320 + x) * 3;
    return std::array<int, 3>{static_cast<unsigned char>(pixels[i]), static_cast<unsigned char>(pixels[i + 1]),
                              static_cast<unsigned char>(pixels[i + 2])};
  };
  const std::array<int, 3> yellow = {255, 255, 0}, blue = {0, 0, 255}, red = {255, 0, 0}, white = {255, 255, 255};
  // The logo: 12% of the short side (29 px), 5% (12 px) from the top and right.
  const std::vector<std::tuple<int, int, std::array<int, 3>, const char*>> expected = {
      {5, 5, yellow, "top-left corner: the background"},   {150, 230, yellow, "the background's left half"},
      {170, 120, blue, "the background's right half"},     {260, 120, red, "the picture where it is opaque"},
      {293, 26, white, "the logo"},
      {270, 26, red, "beside the logo"},                   {293, 60, red, "below the logo"}};
  for (const auto& [x, y, colour, what] : expected) {
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(at(x, y)[static_cast<size_t>(c)], colour[static_cast<size_t>(c)], 12) << what << " at " << x << "," << y;
    }
  }
  for (const auto& [option, file] : {std::pair<const char*, const char*>{"--background", "nowhere.png"},
                                     {"--logo", "song.wav"}}) {
    const StudioRun refused = studio(dir.path(), {"render", "song.wav", "x.png", option, file});
    EXPECT_EQ(refused.status, 2) << option;
    EXPECT_NE(refused.err.find(option), std::string::npos) << refused.err;
  }
}

// The title in the three shapes people upload, read by OCR: sized from the
// shorter side, "Artist – Title" broken at the dash and never inside the
// song's two-word name, kept clear of the platforms' safe areas (portrait:
// the top 10% and bottom 20%; landscape and square: 5% at every edge).
TEST_F(Video, TheTitleFitsEveryShapeAndKeepsToTheSafeAreas) {
  vt::writeShaders(dir.path(), vt::kPlainVertexShader, vt::fragmentShader("FragColor = vec4(0.08, 0.08, 0.12, 1.0);"));
  const std::string title = "The Long Artist Name \u2013 Night Drive";
  for (const auto& [width, height] : {std::pair<int, int>{1920, 1080}, {1080, 1920}, {1080, 1080}}) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const std::string out = dir / ("t" + size + ".png");
    ASSERT_EQ(studio(dir.path(), {"render", "song.wav", out, "--title", title, "--size", size, "--from", "1"}).status, 0);
    const std::string read = vt::runOutput({"/usr/bin/tesseract", out, "-", "--psm", "6"});
    EXPECT_NE(read.find("The Long Artist Name"), std::string::npos) << size << "\n" << read;
    EXPECT_NE(read.find("Night Drive"), std::string::npos) << size << "\n" << read;
    // The text's box: every pixel brighter than the flat picture's 20.
    const std::string pixels = rgba(out, 0);
    ASSERT_EQ(pixels.size(), static_cast<size_t>(width) * height * 4);
    int minX = width, maxX = -1, minY = height, maxY = -1;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        if (static_cast<unsigned char>(pixels[static_cast<size_t>(y * width + x) * 4]) > 120) {
          minX = std::min(minX, x), maxX = std::max(maxX, x), minY = std::min(minY, y), maxY = std::max(maxY, y);
        }
      }
    }
    const bool portrait = height > width;
    EXPECT_GE(minY, height * (portrait ? 10 : 5) / 100) << size;
    EXPECT_LE(maxY, height - height * (portrait ? 20 : 5) / 100) << size;
    EXPECT_GE(minX, width * 5 / 100) << size;
    EXPECT_LE(maxX, width - width * 5 / 100) << size;
    // A line from capital to descender: 3-9% of the shorter side. At 6% the
    // whole fits 1920 across but not 1080 (about 1200 pixels wide).
    const int shorter = std::min(width, height);
    const int lines = width > 1500 ? 1 : 2;
    EXPECT_GT(maxY - minY, lines * shorter * 3 / 100) << size;
    EXPECT_LT(maxY - minY, lines * shorter * 9 / 100) << size;
  }
}

// A character the title's font lacks is drawn with an installed font that
// has it (DejaVu Sans has no Japanese; Noto Sans CJK has): read back by OCR
// in Japanese, not as empty boxes. With --font as well.
TEST_F(Video, TheTitleFallsBackCharacterByCharacter) {
  vt::writeShaders(dir.path(), vt::kPlainVertexShader, vt::fragmentShader("FragColor = vec4(0.08, 0.08, 0.12, 1.0);"));
  for (const std::vector<std::string>& font : {std::vector<std::string>{},
                                               {"--font", "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"}}) {
    std::vector<std::string> args = {"render", "song.wav", "jp.png", "--title", "\u591c\u306e\u30c9\u30e9\u30a4\u30d6 Night",
                                     "--size", "640x360", "--from", "1", "--overwrite"};
    args.insert(args.end(), font.begin(), font.end());
    ASSERT_EQ(studio(dir.path(), args).status, 0);
    const std::string read = vt::runOutput({"/usr/bin/tesseract", dir / "jp.png", "-", "-l", "jpn+eng", "--psm", "7"});
    EXPECT_NE(read.find("\u591c\u306e\u30c9\u30e9\u30a4\u30d6"), std::string::npos) << read;
    EXPECT_NE(read.find("Night"), std::string::npos) << read;
  }
}

// --title-for: the title shows for that long, then fades out over a second.
TEST_F(Video, TheTitleGoesAfterTitleFor) {
  vt::writeShaders(dir.path(), vt::kPlainVertexShader, vt::fragmentShader("FragColor = vec4(0.08, 0.08, 0.12, 1.0);"));
  ASSERT_EQ(studio(dir.path(), {"render", "song.wav", "for.mkv", "--title", "Night Drive", "--title-for", "0.5",
                                "--size", "160x120", "--crf", "0", "-q"})
                .status,
            0);
  const double plain = meanRgb(rgba(dir / "for.mkv", 119));  // 2 s in: long gone
  EXPECT_GT(meanRgb(rgba(dir / "for.mkv", 15)), plain + 0.3);   // 0.25 s: shown
  EXPECT_GT(meanRgb(rgba(dir / "for.mkv", 15)), meanRgb(rgba(dir / "for.mkv", 60)));  // 1 s: half faded
  EXPECT_NEAR(meanRgb(rgba(dir / "for.mkv", 100)), plain, 0.01);
  const StudioRun alone = studio(dir.path(), {"render", "song.wav", "x.png", "--title-for", "3"});
  EXPECT_EQ(alone.status, 2);
  EXPECT_NE(alone.err.find("--title-for needs a --title"), std::string::npos) << alone.err;
}

// An untagged song's --title auto is its file's name, as players show it
// (OCR); the common tags (date, genre, comment, album artist) come along
// into the video from libsndfile's formats and FFmpeg's alike (ffprobe).
TEST_F(Video, AnUntaggedSongIsCalledByItsNameAndCommonTagsComeAlong) {
  vt::writeShaders(dir.path(), vt::kPlainVertexShader, vt::fragmentShader("FragColor = vec4(0.08, 0.08, 0.12, 1.0);"));
  std::filesystem::copy_file(dir / "song.wav", dir / "my song.wav");
  const StudioRun untagged =
      studio(dir.path(), {"render", "my song.wav", "named.png", "--title", "auto", "--size", "800x450", "--from", "1"});
  ASSERT_EQ(untagged.status, 0) << untagged.err;
  EXPECT_NE(untagged.err.find("file name"), std::string::npos) << untagged.err;
  const std::string read = vt::runOutput({"/usr/bin/tesseract", dir / "named.png", "-", "--psm", "6"});
  EXPECT_NE(read.find("my song"), std::string::npos) << read;
  EXPECT_EQ(read.find("wav"), std::string::npos) << read;

  ffmpeg({"-i", dir / "song.wav", "-t", "1", "-metadata", "date=2024", "-metadata", "genre=Synthwave", "-metadata",
          "comment=made here", dir / "tagged.flac"});
  ffmpeg({"-i", dir / "song.wav", "-t", "1", "-c:a", "aac", "-metadata", "date=2023", "-metadata", "genre=Ambient",
          "-metadata", "album_artist=The Band", dir / "tagged.m4a"});
  const struct {
    const char* song;
    std::vector<std::string> want;
  } cases[] = {{"tagged.flac", {"2024", "Synthwave", "made here"}}, {"tagged.m4a", {"2023", "Ambient", "The Band"}}};
  for (const auto& c : cases) {
    const std::string out = std::string(c.song) + ".mp4";
    ASSERT_EQ(studio(dir.path(), {"render", c.song, out, "--size", "160x120", "-q"}).status, 0) << c.song;
    const std::string tags = vt::runOutput({"/usr/bin/ffprobe", "-v", "error", "-show_entries",
                                            "format_tags=date,genre,comment,album_artist", "-of", "default=nw=1",
                                            dir / out});
    for (const std::string& value : c.want) {
      EXPECT_NE(tags.find(value), std::string::npos) << c.song << ": " << value << "\n" << tags;
    }
  }
}

// A pair that strobes black and white every three frames at 60 fps (ten
// flashes a second): with the guard (the default) at most three flashes in
// any second, and it says so; with --flash-guard off all ten. A calm picture
// passes the guard byte for byte.
TEST_F(Video, TheFlashGuardAllowsThreeFlashesASecondAndLeavesCalmPicturesAlone) {
  vt::writeShaders(dir.path(), vt::kPlainVertexShader,
                   vt::fragmentShader("FragColor = vec4(vec3(mod(floor(itime * 20.0 + 0.5), 2.0)), 1.0);"));
  const std::vector<std::string> common = {"--size", "64x48", "--fps", "60", "--crf", "0"};
  for (const std::string guard : {"on", "off"}) {
    std::vector<std::string> args = {"render", "song.wav", "strobe-" + guard + ".mkv", "--flash-guard", guard};
    args.insert(args.end(), common.begin(), common.end());
    const StudioRun run = studio(dir.path(), args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("flash guard eased") != std::string::npos, guard == "on") << run.err;
  }
  EXPECT_LE(vt::mostFlashesASecond(dir / "strobe-on.mkv", 64, 48, 60), 3.0);
  EXPECT_EQ(vt::mostFlashesASecond(dir / "strobe-off.mkv", 64, 48, 60), 10.0);

  // A pair on the line (255 and 232 grey: 1.0 and 0.807, the darker end at
  // the rule's 0.8; an encoder's rounding takes it either side) and a strobe
  // over a third of the frame (its own blocks, however small the frame):
  // guarded, at the default quality (lossy, as people render), the whole
  // frame and a quarter of its cells flash at most three times a second.
  for (const auto& [name, body] :
       {std::pair<std::string, std::string>{"edge", "FragColor = vec4(vec3(mod(floor(itime * 20.0 + 0.5), 2.0) > 0.5 ? 1.0 : 232.0 / 255.0), 1.0);"},
        {"part", "float on = mod(floor(itime * 20.0 + 0.5), 2.0); vec2 p = gl_FragCoord.xy / vec2(64.0, 48.0);"
                 "FragColor = vec4(vec3(p.x < 0.6 && p.y < 0.6 ? on : 0.2), 1.0);"}}) {
    vt::writeShaders(dir.path(), vt::kPlainVertexShader, vt::fragmentShader(body));
    for (const std::string guard : {"on", "off"}) {
      const std::string out = name + "-" + guard + ".mp4";
      const StudioRun run = studio(dir.path(), {"render", "song.wav", out, "--flash-guard", guard, "--size", "64x48",
                                                "--fps", "60", "--overwrite", "-q"});
      ASSERT_EQ(run.status, 0) << run.err;
    }
    EXPECT_LE(vt::mostQuarterFlashesASecond(dir / (name + "-on.mp4"), 64, 48, 60), 3.0) << name;
    EXPECT_LE(vt::mostFlashesASecond(dir / (name + "-on.mp4"), 64, 48, 60), 3.0) << name;
    if (name == "part") {
      EXPECT_GE(vt::mostQuarterFlashesASecond(dir / (name + "-off.mp4"), 64, 48, 60), 9.0) << "it does strobe";
    }
  }

  vt::writeShaders(dir.path(), vt::kPlainVertexShader, kBright);
  for (const std::string guard : {"on", "off"}) {
    std::vector<std::string> args = {"render", "song.wav", "calm-" + guard + ".mkv", "--flash-guard", guard, "-q"};
    args.insert(args.end(), common.begin(), common.end());
    ASSERT_EQ(studio(dir.path(), args).status, 0);
  }
  EXPECT_EQ(frameHashes(dir / "calm-on.mkv"), frameHashes(dir / "calm-off.mkv"));
}

// The title's look: its colour, a size against the default, a rounded plate
// behind it and a subtitle under it, each checked on the pixels (a hand-set
// yellow and blue, the text's height) and the words by OCR.
TEST_F(Video, TheTitleTakesItsColourSizePlateAndSubtitle) {
  vt::writeShaders(dir.path(), vt::kPlainVertexShader, vt::fragmentShader("FragColor = vec4(0.08, 0.08, 0.12, 1.0);"));
  const auto render = [&](const std::string& out, std::vector<std::string> more) {
    std::vector<std::string> args = {"render", "song.wav", out, "--size", "640x360", "--from", "1", "--title", "HELLO"};
    args.insert(args.end(), more.begin(), more.end());
    const StudioRun run = studio(dir.path(), args);
    EXPECT_EQ(run.status, 0) << run.err;
    return rgba(dir / out, 0);
  };
  // The box of the pixels `is` picks, as {minX, minY, maxX, maxY}.
  const auto box = [](const std::string& pixels, auto is) {
    std::array<int, 4> b = {640, 360, -1, -1};
    for (int y = 0; y < 360; ++y) {
      for (int x = 0; x < 640; ++x) {
        const auto* p = reinterpret_cast<const unsigned char*>(pixels.data()) + static_cast<size_t>(y * 640 + x) * 4;
        if (is(p[0], p[1], p[2])) {
          b = {std::min(b[0], x), std::min(b[1], y), std::max(b[2], x), std::max(b[3], y)};
        }
      }
    }
    return b;
  };
  const auto white = [](int r, int g, int b) { return r > 200 && g > 200 && b > 200; };
  const auto yellow = [](int r, int g, int b) { return r > 200 && g > 200 && b < 60; };
  const auto blue = [](int r, int g, int b) { return r < 30 && g < 30 && b > 225; };

  const std::array<int, 4> plain = box(render("plain.png", {}), white);
  const std::array<int, 4> big = box(render("big.png", {"--title-size", "2"}), white);
  const double ratio = double(big[3] - big[1]) / double(plain[3] - plain[1]);
  EXPECT_GT(ratio, 1.7) << "the text's height, twice the default";
  EXPECT_LT(ratio, 2.3);

  const std::string styled = render("styled.png", {"--title-colour", "yellow", "--title-plate", "#00f@1", "--title-size", "2",
                                                   "--subtitle", "out now"});
  const std::array<int, 4> text = box(styled, yellow);
  const std::array<int, 4> plate = box(styled, blue);
  ASSERT_GE(text[2], 0) << "no yellow text";
  ASSERT_GE(plate[2], 0) << "no blue plate";
  EXPECT_EQ(box(styled, white)[2], -1) << "white text left";
  EXPECT_LT(plate[0], text[0]);
  EXPECT_LT(plate[1], text[1]);
  EXPECT_GT(plate[2], text[2]);
  EXPECT_GT(plate[3], text[3]);
  const auto* corner = reinterpret_cast<const unsigned char*>(styled.data()) + static_cast<size_t>(plate[1] * 640 + plate[0]) * 4;
  EXPECT_FALSE(blue(corner[0], corner[1], corner[2])) << "the plate's corner is square";
  // The words as a viewer reads them, white on a dark plate.
  render("words.png", {"--subtitle", "out now", "--title-plate", "black@0.6"});
  const std::string read = vt::runOutput({"/usr/bin/tesseract", dir / "words.png", "-", "--psm", "6"});
  EXPECT_NE(read.find("HELLO"), std::string::npos) << read;
  EXPECT_NE(read.find("out now"), std::string::npos) << read;

  vt::expectRefusals(dir.path(), {"render", "song.wav", "x.png", "--title", "HELLO"},
                     {{{"--title-size", "3"}, 2, "--title-size must be from 0.5 to 2.5"},
                      {{"--title-size", "big"}, 2, "--title-size"},
                      {{"--title-colour", "nope"}, 2, "--title-colour is #rrggbb"},
                      {{"--title-plate", "black@2"}, 2, "--title-plate is a colour with @OPACITY"},
                      {{"--title-plate", "@0.5"}, 2, "--title-plate"}},
                     "x.png");
  vt::expectRefusals(dir.path(), {"render", "song.wav", "x.png"},
                     {{{"--subtitle", "out now"}, 2, "need a --title"}}, "x.png");
}

// The title, read back as a viewer would: by OCR.
TEST_F(Video, TheTitleReadsAndStaysInsideThePicture) {
  vt::writeShaders(dir.path(), vt::kPlainVertexShader, vt::fragmentShader("FragColor = vec4(0.08, 0.08, 0.12, 1.0);"));
  ffmpeg({"-i", dir / "song.wav", "-c:a", "aac", "-metadata", "title=Night Drive", "-metadata", "artist=Test Artist",
          dir / "tagged.m4a"});
  auto ocr = [&](const std::string& png) {
    return vt::runOutput({"/usr/bin/tesseract", dir / png, "-", "--psm", "6"});
  };
  ASSERT_EQ(studio(dir.path(), {"render", "song.wav", "given.png", "--title", "Night Drive \u2013 Test Artist",
                                "--size", "800x450", "--from", "1"})
                .status,
            0);
  const std::string given = ocr("given.png");
  EXPECT_NE(given.find("Night Drive"), std::string::npos) << given;
  EXPECT_NE(given.find("Test Artist"), std::string::npos) << given;
  ASSERT_EQ(studio(dir.path(), {"render", "tagged.m4a", "auto.png", "--title", "auto", "--size", "800x450"}).status, 0);
  const std::string fromTags = ocr("auto.png");
  EXPECT_NE(fromTags.find("Test Artist"), std::string::npos) << fromTags;
  EXPECT_NE(fromTags.find("Night Drive"), std::string::npos) << fromTags;

  // Far too long for one line: wrapped or shrunk, inside the picture, at the top.
  const std::string longTitle =
      "An Extraordinarily Long Song Title That Goes On And On Well Past Any Reasonable Width Of A Picture";
  ASSERT_EQ(studio(dir.path(), {"render", "song.wav", "plain.png", "--size", "320x180"}).status, 0);
  ASSERT_EQ(studio(dir.path(), {"render", "song.wav", "long.png", "--size", "320x180", "--title", longTitle,
                                "--title-at", "top"})
                .status,
            0);
  const std::string plain = rgba(dir / "plain.png", 0);
  const std::string titled = rgba(dir / "long.png", 0);
  ASSERT_EQ(plain.size(), titled.size());
  int minX = 320, maxX = -1, minY = 180, maxY = -1;
  for (int y = 0; y < 180; ++y) {
    for (int x = 0; x < 320; ++x) {
      const size_t at = static_cast<size_t>((y * 320 + x) * 4);
      if (plain.compare(at, 3, titled, at, 3) != 0) {
        minX = std::min(minX, x);
        maxX = std::max(maxX, x);
        minY = std::min(minY, y);
        maxY = std::max(maxY, y);
      }
    }
  }
  ASSERT_GE(maxX, 0) << "no title drawn";
  EXPECT_GT(minX, 2);
  EXPECT_LT(maxX, 317);
  EXPECT_GT(minY, 2);
  EXPECT_LT(maxY, 90) << "a top title stays in the top half";
  EXPECT_GT(maxY - minY, 20) << "wrapped onto more than one line (a line is 6% of 180: 10 px)";
}

TEST_F(Video, ChoicesThatCannotWorkAreRefusedWithTheChoices) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"o.mp4", "--codec", "mpeg2"}, "h264, hevc, vp9, av1, prores"},
      {{"o.webm", "--codec", "h264"}, "it takes vp9, av1"},
      {{"o.mp4", "--codec", "prores"}, "it takes h264, hevc, av1, vp9"},
      {{"o.mp4", "--transparent"}, "prores in .mov, or vp9 in .webm"},
      {{"o.mov", "--codec", "hevc", "--transparent"}, "prores in .mov, or vp9 in .webm"},
      {{"o.mp4", "--fade-in", "-1"}, "--fade-in"},
      {{"o.mkv", "--codec", "av1", "--size", "64x48"}, "AV1 needs at least 64x64"},
      {{"o.mp4", "--title", "Hello", "--font", "nowhere.ttf"}, "DejaVuSans.ttf"},
      {{"o.mp4", "--title", "Hello", "--title-at", "left"}, "--title-at"},
      {{"o.mp4", "--fade-out", "nan"}, "--fade-out"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"render", "song.wav"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const StudioRun run = studio(dir.path(), args);
    EXPECT_EQ(run.status, 2) << c.args[0] << " " << c.args[1] << "\n" << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / c.args[0]));
  }
}

}  // namespace

namespace {

// Amplitude of `hz` in channel c of interleaved stereo, by correlation.
double amplitudeAt(const std::vector<float>& s, int c, double hz, int rate) {
  double re = 0, im = 0;
  const size_t frames = s.size() / 2;
  for (size_t i = 0; i < frames; ++i) {
    const double phase = 2 * M_PI * hz * static_cast<double>(i) / rate;
    re += s[2 * i + static_cast<size_t>(c)] * std::cos(phase);
    im += s[2 * i + static_cast<size_t>(c)] * std::sin(phase);
  }
  return 2 * std::hypot(re, im) / static_cast<double>(frames);
}

// 5.1 to stereo as the standard downmix does it: each front channel to its
// own side, the centre and each surround to their sides at −3 dB of it (a
// ratio of 0.707), the low-frequency channel left out. Each channel carries a
// tone of its own, so the stereo file's left and right say where each went.
TEST_F(Video, SixChannelsMixToStereoWithTheStandardWeights) {
  const double hz[6] = {300, 500, 700, 900, 1100, 1300};  // FL FR FC LFE BL BR
  ASSERT_TRUE(vt::writeSound(dir / "surround.wav", 44100 * 2, 6, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [&](int64_t f, int c) { return 0.3 * std::sin(2 * M_PI * hz[c] * f / 44100); }));
  const StudioRun run = studio(dir.path(), {"render", "surround.wav", "mix.mov", "--codec", "prores", "--size",
                                            "64x48", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(vt::probe(dir / "mix.mov", "stream=channels", "a:0"), "2\n");
  const std::string raw =
      vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / "mix.mov", "-map", "0:a", "-f", "f32le", "-"});
  std::vector<float> s(raw.size() / 4);
  std::memcpy(s.data(), raw.data(), s.size() * 4);
  ASSERT_GT(s.size(), 44100u * 2);
  const double front = amplitudeAt(s, 0, hz[0], 44100);
  ASSERT_GT(front, 0.05);
  EXPECT_NEAR(amplitudeAt(s, 1, hz[1], 44100), front, front * 0.02);      // FR on the right as FL on the left
  EXPECT_NEAR(amplitudeAt(s, 0, hz[2], 44100) / front, 0.707, 0.02);      // centre, both sides
  EXPECT_NEAR(amplitudeAt(s, 1, hz[2], 44100) / front, 0.707, 0.02);
  EXPECT_NEAR(amplitudeAt(s, 0, hz[4], 44100) / front, 0.707, 0.02);      // a surround, its own side
  EXPECT_LT(amplitudeAt(s, 1, hz[4], 44100) / front, 0.01);
  EXPECT_LT(amplitudeAt(s, 0, hz[1], 44100) / front, 0.01);               // no front crosses over
  EXPECT_LT(amplitudeAt(s, 0, hz[3], 44100) / front, 0.01);               // the LFE is left out
}

}  // namespace
