// Lyrics over the picture, end to end over the built binary: an LRC and an
// SRT file's lines read by OCR at known times in landscape, portrait and
// square, inside the title's margins, each line's first frame the one its
// time falls in; an ASS file's own place and colour; lyrics from the song's
// tags; and lines that cannot be read named by file and line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "support.h"

using namespace vt;
namespace fs = std::filesystem;

namespace {

class Lyrics : public ::testing::Test {
 protected:
  void SetUp() override {
    // A dark, still picture: the words are all there is to read.
    writeShaders(dir.path(), kPlainVertexShader, fragmentShader("  FragColor = vec4(0.05, 0.05, 0.1, 1.0);"));
    ASSERT_TRUE(writeTone(dir / "song.wav", 44100 * 8, 2, 44100));
  }
  std::string ocr(const std::string& still) {
    return runOutput({"/usr/bin/tesseract", dir / still, "-", "--psm", "6"});
  }
  TempDir dir;
};

// The rows (from the top) with a bright pixel in them, in an RGB frame.
std::pair<int, int> wordRows(const std::string& rgb, int width, int height) {
  int first = -1, last = -1;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (static_cast<unsigned char>(rgb[(static_cast<size_t>(y) * width + x) * 3]) > 128) {
        first = first < 0 ? y : first;
        last = y;
        break;
      }
    }
  }
  return {first, last};
}

}  // namespace

// Lines at known times, unsorted in the LRC (players sort them), read in
// stills a little after each time; in every shape inside the margins.
TEST_F(Lyrics, LrcAndSrtLinesAreReadAtTheirTimesInEveryShape) {
  writeText(dir / "song.lrc", "[ti:Test]\n[00:04.00]GREEN RIVER\n[00:01.00]BLUE MORNING\n[00:02.50]RED SUNSET\n");
  writeText(dir / "song.srt",
            "1\n00:00:01,000 --> 00:00:02,400\nBLUE MORNING\n\n2\n00:00:02,500 --> 00:00:03,900\nRED SUNSET\n\n"
            "3\n00:00:04,000 --> 00:00:06,000\nGREEN RIVER\n");
  const struct {
    const char* at;
    const char* want;
  } moments[] = {{"1.2", "BLUE"}, {"2.7", "RED"}, {"4.3", "GREEN"}};
  for (const char* file : {"song.lrc", "song.srt"}) {
    for (const auto& [width, height] : {std::pair<int, int>{640, 360}, {360, 640}, {480, 480}}) {
      for (const auto& m : moments) {
        SCOPED_TRACE(std::string(file) + " " + std::to_string(width) + "x" + std::to_string(height) + " at " + m.at);
        const StudioRun run = studio(dir.path(), {"render", "song.wav", "still.png", "--lyrics", file, "--from", m.at,
                                                  "--size", std::to_string(width) + "x" + std::to_string(height),
                                                  "--overwrite", "-q"});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string read = ocr("still.png");
        EXPECT_NE(read.find(m.want), std::string::npos) << read;
        EXPECT_EQ(std::count(read.begin(), read.end(), '\n') <= 2, true) << "one line at a time: " << read;
        const auto [top, bottom] = wordRows(frameRgb(dir / "still.png"), width, height);
        ASSERT_GE(top, 0);
        EXPECT_LE(bottom, height - static_cast<int>(height * 0.05)) << "inside the bottom margin";
        EXPECT_GE(top, height / 2) << "at the bottom";
      }
    }
  }
}

// Each line's first frame is the frame its time falls in (30 fps: 1.0 s
// is frame 30, 2.5 s frame 75) and a line ends where the next begins: LRC
// and SRT, in landscape, portrait and square.
TEST_F(Lyrics, EachLineStartsOnItsOwnFrameInEveryShape) {
  writeText(dir / "song.lrc", "[00:01.00]ONE\n[00:02.50]TWO\n");
  writeText(dir / "song.srt", "1\n00:00:01,000 --> 00:00:02,500\nONE\n\n2\n00:00:02,500 --> 00:00:04,000\nTWO\n");
  for (const char* file : {"song.lrc", "song.srt"}) {
    for (const auto& [width, height] : {std::pair<int, int>{160, 90}, {90, 160}, {120, 120}}) {
      SCOPED_TRACE(std::string(file) + " " + std::to_string(width) + "x" + std::to_string(height));
      const StudioRun run = studio(dir.path(), {"render", "song.wav", "words.mkv", "--lyrics", file, "--to", "3",
                                                "--size", std::to_string(width) + "x" + std::to_string(height),
                                                "--fps", "30", "--crf", "0", "--overwrite", "-q"});
      ASSERT_EQ(run.status, 0) << run.err;
      const auto frame = [&](int n) { return frameRgb(dir / "words.mkv", n); };
      EXPECT_LT(wordRows(frame(29), width, height).first, 0);
      EXPECT_GE(wordRows(frame(30), width, height).first, 0);
      EXPECT_GT(meanDifference(frame(74), frame(75)), 0.2) << "the second line replaces the first on frame 75";
      EXPECT_LT(meanDifference(frame(73), frame(74)), 0.01);
    }
  }
}

// A line too long for one line wraps inside the margins the title keeps
// (its words no nearer the sides than 5% of the width), in every shape.
TEST_F(Lyrics, ALongLineWrapsInsideTheMargins) {
  writeText(dir / "long.srt", "1\n00:00:01,000 --> 00:00:05,000\n"
                              "THE LONGEST LINE OF THIS SONG GOES ON AND ON WELL PAST THE EDGE OF ANY SCREEN\n");
  for (const auto& [width, height] : {std::pair<int, int>{640, 360}, {360, 640}, {480, 480}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    const StudioRun run = studio(dir.path(), {"render", "song.wav", "long.png", "--lyrics", "long.srt", "--from", "2",
                                              "--size", std::to_string(width) + "x" + std::to_string(height),
                                              "--overwrite", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string rgb = frameRgb(dir / "long.png");
    int left = width, right = -1, rows = 0;
    for (int y = 0; y < height; ++y) {
      bool any = false;
      for (int x = 0; x < width; ++x) {
        if (static_cast<unsigned char>(rgb[(static_cast<size_t>(y) * width + x) * 3]) > 128) {
          left = std::min(left, x);
          right = std::max(right, x);
          any = true;
        }
      }
      rows += any;
    }
    EXPECT_GE(left, width / 20);
    EXPECT_LE(right, width - width / 20);
    EXPECT_GT(rows, height * 6 / 100) << "more than one line";
  }
}

// Words the font lacks drawn by a font that has them (Japanese in Noto Sans
// CJK), read back by OCR in Japanese, not as empty boxes.
TEST_F(Lyrics, ScriptsTheFontLacksFallBackToAFontThatHasThem) {
  writeText(dir / "jp.lrc", "[00:01.00]\u591c\u306e\u30c9\u30e9\u30a4\u30d6 Night\n");
  const StudioRun run = studio(dir.path(), {"render", "song.wav", "jp.png", "--lyrics", "jp.lrc", "--from", "2",
                                            "--size", "640x360", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string read = runOutput({"/usr/bin/tesseract", dir / "jp.png", "-", "-l", "jpn+eng", "--psm", "6"});
  EXPECT_NE(read.find("\u591c\u306e\u30c9\u30e9\u30a4\u30d6"), std::string::npos) << read;
}

// An ASS file's own style: its \pos place and its colour (pure red, at the top left).
TEST_F(Lyrics, AnAssFileKeepsItsOwnPlaceAndColour) {
  writeText(dir / "song.ass",
            "[Script Info]\nScriptType: v4.00+\nPlayResX: 640\nPlayResY: 360\n\n[V4+ Styles]\n"
            "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, "
            "Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, "
            "MarginL, MarginR, MarginV, Encoding\n"
            "Style: Red,DejaVu Sans,40,&H000000FF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,0,0,7,0,0,0,1\n\n"
            "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
            "Dialogue: 0,0:00:01.00,0:00:05.00,Red,,0,0,0,,{\\pos(20,20)}RED WORDS\n");
  const StudioRun run = studio(dir.path(), {"render", "song.wav", "ass.png", "--lyrics", "song.ass", "--from", "2",
                                            "--size", "640x360", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string rgb = frameRgb(dir / "ass.png");
  int red = 0, elsewhere = 0;
  for (int y = 0; y < 360; ++y) {
    for (int x = 0; x < 640; ++x) {
      const size_t p = (static_cast<size_t>(y) * 640 + x) * 3;
      const bool isRed = static_cast<unsigned char>(rgb[p]) > 200 && static_cast<unsigned char>(rgb[p + 1]) < 60 &&
                         static_cast<unsigned char>(rgb[p + 2]) < 60;
      (x < 320 && y < 80 ? red : elsewhere) += isRed;
    }
  }
  EXPECT_GT(red, 300);
  EXPECT_EQ(elsewhere, 0);
  EXPECT_NE(ocr("ass.png").find("RED WORDS"), std::string::npos);
}

// --lyrics auto takes timed lyrics from the tags; plain lyrics are refused
// with the reason. Lines that cannot be read are named by file and line.
// What a lyrics file or tag may ask is bounded: a folder, a pipe or a file
// past 4 MB is refused at once by what it is; a tag past 4 MB is called too
// large (not missing); sizes, outlines and blur past what a frame shows are
// clamped, and cues past 64 at once are not drawn, so a clip of such a
// script renders in the time of an ordinary one, its words still there.
TEST_F(Lyrics, WhatAScriptAsksIsBoundedAndStrangeFilesAreRefused) {
  fs::create_directory(dir / "folder.lrc");
  ASSERT_EQ(mkfifo((dir / "pipe.lrc").c_str(), 0600), 0);
  writeText(dir / "big.lrc", "[00:01.00]" + std::string(5 << 20, 'x') + "\n");
  writeText(dir / "meta.txt", ";FFMETADATA1\nLYRICS=[00:01.00]" + std::string(5 << 20, 'y') + "\n");
  runOutput({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", dir / "song.wav", "-i", dir / "meta.txt", "-map_metadata",
             "1", dir / "bigtag.flac"});
  std::string many = "";
  for (int i = 1; i <= 20001; ++i) {
    many += std::to_string(i) + "\n00:00:00,000 --> 00:00:05,000\nline " + std::to_string(i) + "\n\n";
  }
  writeText(dir / "many.srt", many);
  expectRefusals(dir.path(), {"render", "song.wav", "out.png", "--from", "1", "--lyrics"},
                 {{{"folder.lrc"}, 2, "a directory, not a file"},
                  {{"pipe.lrc"}, 2, "a pipe (FIFO), not a file"},
                  {{"big.lrc"}, 2, "larger than 4 MB"},
                  {{"many.srt"}, 2, "the lyrics hold 20001 lines; at most 20000"}},
                 "out.png");
  expectRefusals(dir.path(), {"render", "bigtag.flac", "out.png", "--from", "1", "--lyrics", "auto"},
                 {{{}, 2, "larger than 4 MB, too large for lyrics"}}, "out.png");

  // A script asking for glyphs a hundred thousand pixels tall, turning,
  // blurred, outlined past the frame, and 2,000 cues at one moment.
  std::string script =
      "[Script Info]\nScriptType: v4.00+\nPlayResX: 640\nPlayResY: 360\n\n[V4+ Styles]\nFormat: Name, Fontname, "
      "Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, Bold, Italic, Underline, StrikeOut, "
      "ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, "
      "Encoding\nStyle: Big,DejaVu Sans,40,&H00FFFFFF,&H00FFFFFF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,"
      "100000,100000,2,10,10,10,1\n\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, "
      "Effect, Text\n";
  script += "Dialogue: 0,0:00:00.00,0:00:03.00,Big,,0,0,0,,{\\fs100000\\blur50}HUGE\n";
  script += "Dialogue: 0,0:00:00.00,0:00:03.00,Big,,0,0,0,,{\\t(\\fs100000\\frz36000\\blur50)}TURN\n";
  for (int i = 0; i < 2000; ++i) {
    script += "Dialogue: 0,0:00:00.00,0:00:03.00,Big,,0,0,0,,{\\fscx1000000\\bord100000}cue\n";
  }
  writeText(dir / "huge.ass", script);
  const StudioRun run = studio(dir.path(), {"render", "song.wav", "huge.mkv", "--to", "3", "--fps", "10", "--size",
                                            "320x180", "--lyrics", "huge.ass", "-q"},
                               120);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(probe(dir / "huge.mkv", "stream=nb_read_frames"), "30\n");
}

TEST_F(Lyrics, TagsAndBadFilesAreHandledWithOneLine) {
  runOutput({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", dir / "song.wav", "-metadata",
             "LYRICS=[00:01.00]TAGGED WORDS", dir / "timed.flac"});
  runOutput({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", dir / "song.wav", "-metadata", "LYRICS=just words",
             dir / "plain.flac"});
  const StudioRun run = studio(dir.path(), {"render", "timed.flac", "tag.png", "--lyrics", "auto", "--from", "2",
                                            "--size", "800x450", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(ocr("tag.png").find("TAGGED WORDS"), std::string::npos);

  writeText(dir / "badtime.lrc", "[00:01.00]fine\n[00:0x.00]broken\n");
  writeText(dir / "untimed.lrc", "[00:01.00]fine\nno time here\n");
  writeText(dir / "badword.lrc", "[00:01.00]<00:01.00>one <0a:02.00>two\n");
  writeText(dir / "bad.srt", "1\n00:00:01,000 --> 00:00:02,000\nfine\n\n2\n00:00:03,000 -> 00:00:04,000\nbroken\n");
  writeText(dir / "badtime.srt", "1\n00:00:01,000 --> 00:00:xx,000\nbroken\n");
  writeText(dir / "bad.vtt", "not a header\n\n00:01.000 --> 00:02.000\nwords\n");
  writeText(dir / "bad.ass", "[Script Info]\n\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, "
                             "MarginV, Effect, Text\nDialogue: 0,0:00:01.00,0:00:02.00,Default\n");
  expectRefusals(dir.path(), {"render", "song.wav", "out.png", "--from", "1", "--lyrics"},
                 {{{"badtime.lrc"}, 2, "badtime.lrc:2: not a time: [00:0x.00]"},
                  {{"untimed.lrc"}, 2, "untimed.lrc:2: a line without a time"},
                  {{"badword.lrc"}, 2, "badword.lrc:1: not a word time"},
                  {{"bad.srt"}, 2, "bad.srt:5: a cue without"},
                  {{"badtime.srt"}, 2, "badtime.srt:2: not a time"},
                  {{"bad.vtt"}, 2, "bad.vtt:1: a WebVTT file starts with WEBVTT"},
                  {{"bad.ass"}, 2, "bad.ass:5: a Dialogue line with fewer than ten fields"},
                  {{"missing.lrc"}, 2, "--lyrics: cannot read missing.lrc: No such file"}},
                 "out.png");
  expectRefusals(dir.path(), {"render", "plain.flac", "out.png", "--from", "1", "--lyrics", "auto"},
                 {{{}, 2, "have no times"}}, "out.png");
  expectRefusals(dir.path(), {"render", "song.wav", "out.png", "--from", "1", "--lyrics", "auto"},
                 {{{}, 2, "has no lyrics in its tags"}}, "out.png");
}
