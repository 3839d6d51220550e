// An album made one video, end to end over the built binary: songs given
// one after another or listed in an .m3u playlist play gapless (the video's
// sound is the songs' samples end to end; a song at another rate and
// channel count converted, its tone kept), a chapter a song in the file
// (ffprobe) and in a list beside it, each song's title over its own frames
// (OCR), each song levelled or the album as one, an album's parts joined,
// and bad playlists refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <tuple>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "album.h"
#include "show/songFeed.h"
#include "support.h"

namespace fs = std::filesystem;
using namespace vt;

namespace {

constexpr double kPi = 3.14159265358979323846;

// A sine of `hz` at `amplitude`, as 16-bit values (the same in each channel).
std::vector<int16_t> sine(double hz, double amplitude, double seconds, int channels, int rate) {
  std::vector<int16_t> values;
  const auto frames = static_cast<int64_t>(seconds * rate);
  for (int64_t f = 0; f < frames; ++f) {
    const double v = amplitude * std::sin(2 * kPi * hz * static_cast<double>(f) / rate);
    for (int c = 0; c < channels; ++c) {
      values.push_back(static_cast<int16_t>(std::lrint(v * 32767)));
    }
  }
  return values;
}

void ffmpeg(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-v", "error", "-y"};
  argv.insert(argv.end(), args.begin(), args.end());
  int status = -1;
  runOutput(argv, &status);
  ASSERT_EQ(status, 0);
}

// A file's sound as 16-bit stereo values, as ffmpeg decodes it.
std::vector<int16_t> soundOf(const std::string& file) {
  const std::string bytes =
      runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", file, "-map", "0:a", "-ac", "2", "-f", "s16le", "-"});
  std::vector<int16_t> values(bytes.size() / 2);
  std::memcpy(values.data(), bytes.data(), values.size() * 2);
  return values;
}

// The power of `hz` in the left channel of stereo values (Goertzel), against all of it.
double shareAt(const std::vector<int16_t>& stereo, size_t from, size_t frames, double hz, int rate) {
  double s1 = 0, s2 = 0, total = 0;
  const double k = 2 * std::cos(2 * kPi * hz / rate);
  for (size_t i = 0; i < frames; ++i) {
    const double x = stereo[2 * (from + i)];
    const double s = x + k * s1 - s2;
    s2 = s1;
    s1 = s;
    total += x * x;
  }
  const double power = s1 * s1 + s2 * s2 - k * s1 * s2;
  return total > 0 ? 2 * power / (static_cast<double>(frames) * total) : 0;
}

// A pair that paints one input as grey (its declaration, then the colour).
void writeInputPicture(const std::string& dir, const std::string& declaration, const std::string& colour) {
  std::string fragment = fragmentShader("FragColor = vec4(vec3(" + colour + "), 1.0);");
  fragment.insert(fragment.find("void main()"), declaration + "\n");
  writeShaders(dir, kPlainVertexShader, fragment);
}

class Album : public ::testing::Test {
 protected:
  TempDir dir;
};

}  // namespace

// Two songs from a playlist (a comment, a blank line, a path through a
// folder, Windows line ends) and one given after it, at 22.05 kHz mono
// where the others are 48 kHz stereo: the video's sound is the first two
// sample for sample and then the third converted (its length and tone
// kept, in both ears), a chapter starting exactly at each song, named from
// its tags or else its file's name, and the list a video site reads.
TEST_F(Album, TheSongsPlayEndToEndWithAChapterEach) {
  const std::vector<int16_t> a = sine(440, 0.5, 1.0, 2, 48000);
  const std::vector<int16_t> b = sine(1000, 0.4, 0.75, 2, 48000);
  ASSERT_TRUE(writeShorts(dir / "a.wav", a, 2, 48000));
  ffmpeg({"-i", dir / "a.wav", "-metadata", "artist=Ann Artist", "-metadata", "title=Morning", dir / "a.flac"});
  fs::create_directory(dir / "sub");
  ASSERT_TRUE(writeShorts(dir / "b.wav", b, 2, 48000));
  ASSERT_TRUE(writeShorts(dir / "c.wav", sine(2000, 0.5, 0.5, 1, 22050), 1, 22050));
  writeText(dir / "list.m3u", "#EXTM3U\r\n# the first two\r\na.flac\r\n\r\nsub/../b.wav\r\n");
  const StudioRun run = studio(dir.path(), {"render", "list.m3u", "c.wav", "album.mov", "--codec", "png", "--size",
                                            "64x36", "--fps", "10", "--picture", "bars"});
  ASSERT_EQ(run.status, 0) << run.err;

  const std::vector<int16_t> got = soundOf(dir / "album.mov");
  ASSERT_GE(got.size(), a.size() + b.size());
  EXPECT_TRUE(std::equal(a.begin(), a.end(), got.begin())) << "the first song is not there sample for sample";
  EXPECT_TRUE(std::equal(b.begin(), b.end(), got.begin() + static_cast<std::ptrdiff_t>(a.size())))
      << "the second song does not follow the first without a gap";
  const size_t third = (got.size() - a.size() - b.size()) / 2;
  EXPECT_NEAR(static_cast<double>(third), 24000.0, 48.0) << "half a second at 48 kHz";
  const size_t from = (a.size() + b.size()) / 2 + 1000;
  EXPECT_GT(shareAt(got, from, 20000, 2000, 48000), 0.9) << "the third song's tone";
  size_t unequal = 0;
  for (size_t i = a.size() + b.size(); i + 1 < got.size(); i += 2) {
    unequal += got[i] != got[i + 1] ? 1 : 0;
  }
  EXPECT_EQ(unequal, 0u) << "a mono song is heard in both ears";

  const std::string chapters = runOutput({"/usr/bin/ffprobe", "-v", "error", "-show_chapters", "-show_entries",
                                          "chapter=start_time:chapter_tags=title", "-of", "csv=p=0", dir / "album.mov"});
  EXPECT_EQ(chapters, "0.000000,Ann Artist – Morning\n1.000000,b\n1.750000,c\n");
  EXPECT_EQ(readText(dir / "album.chapters.txt"), "0:00 Ann Artist – Morning\n0:01 b\n0:01 c\n");
  EXPECT_EQ(probe(dir / "album.mov", "stream=nb_read_frames"), "23\n") << "2.25 s at 10 frames a second";
  EXPECT_NE(run.err.find("3 chapters"), std::string::npos) << run.err;
}

// The chapters a span reaches, from its start, and the list past an hour
// (a DJ set), against times worked out by hand: a first song of 3725 s puts
// the second at 1:02:05; from 3724 s the first chapter is the long song's
// last second; a span inside one song has that song only.
TEST(AlbumChapters, TheSpansChaptersAndTheListPastAnHour) {
  Song song;
  song.rate = 8000;
  song.tracks = {Track{"/music/long.flac", 0, 8000LL * 3725, {}},
                 Track{"end.wav", 8000LL * 3725, 8000, {{"artist", "Bo"}, {"title", "Coda"}}}};
  const int64_t all = 8000LL * 3726;
  EXPECT_EQ(chapterList(chaptersOf(song, Span{0, 3726, 0, all}), 8000), "0:00 long\n1:02:05 Bo – Coda\n");
  const std::vector<Chapter> late = chaptersOf(song, Span{3724, 3726, 8000LL * 3724, all});
  ASSERT_EQ(late.size(), 2u);
  EXPECT_EQ(late[1].start, 8000);
  EXPECT_EQ(late[1].end, 16000);
  EXPECT_EQ(chapterList(late, 8000), "0:00 long\n0:01 Bo – Coda\n");
  EXPECT_EQ(chaptersOf(song, Span{0, 100, 0, 8000 * 100}).size(), 1u);
  song.tracks.pop_back();
  EXPECT_TRUE(chaptersOf(song, Span{0, 100, 0, 8000 * 100}).empty()) << "a single song has no chapters";
}

// Which song plays at a sound frame and how far through it, for a render's
// album and for a window's one song played over and over, against values
// worked out by hand: songs of 100, 50 and 0 frames starting at 1000 (past
// the end, the last; a song of no length is 0 through).
TEST(SongFeeds, TheSongAtASoundFrameAndHowFarThrough) {
  const SongFeed album({SongStart{0, 1000, 100, "a", 0}, SongStart{3, 1100, 50, "b", 0}, SongStart{5, 1150, 0, "c", 0}},
                       false);
  const SongFeed looped({SongStart{0, 0, 200, "", 0}}, true);
  const struct {
    const SongFeed& feed;
    int64_t at;
    size_t index;
    double progress;
  } cases[] = {
      {album, 1000, 0, 0.0},  {album, 1025, 0, 0.25}, {album, 1099, 0, 0.99}, {album, 1100, 1, 0.0},
      {album, 1140, 1, 0.8},  {album, 900, 0, 0.0},   {album, 5000, 2, 0.0},  {looped, 50, 0, 0.25},
      {looped, 450, 0, 0.25}, {looped, -50, 0, 0.75}, {looped, 200, 0, 0.0},
  };
  for (const auto& c : cases) {
    const SongAt at = c.feed.at(c.at);
    EXPECT_EQ(at.index, c.index) << "at " << c.at;
    EXPECT_NEAR(at.progress, c.progress, 1e-12) << "at " << c.at;
  }
  EXPECT_EQ(SongFeed().at(10).progress, 0.0) << "no songs (a capture)";
}

// Both drivers take a frame's level and beat from the feed's one answer: a
// song's gain where it plays (a VJ's change from then on), and the beat of
// a grid at 120 BPM from 0.5 s (a beat every 500 sound frames at 1000 a
// second) at the frame's sound frame, a looping song's taken round to its
// start. Values worked out by hand.
TEST(SongFeeds, TheLevelAndTheBeatAtASoundFrame) {
  std::vector<double> beats;
  for (int k = 0; k < 8; ++k) {
    beats.push_back(0.5 + 0.5 * k);
  }
  const BeatGrid grid = BeatGrid::fromBeats(beats, std::vector<float>(beats.size(), 1.0f), TempoSettings{});
  ASSERT_TRUE(grid.steady());
  SongFeed album({SongStart{0, 0, 2000, "a", -3.0}, SongStart{60, 2000, 2000, "b", 2.0}}, false, 1000);
  album.setBeats(grid);
  SongFeed looped({SongStart{0, 0, 4000, "", 1.5}}, true, 1000);
  looped.setBeats(grid);
  const struct {
    const SongFeed& feed;
    int64_t at;
    double gainDb;
    int beatIndex;
    double beatPhase;
  } cases[] = {
      {album, 1250, -3.0, 1, 0.5}, {album, 3000, 2.0, 5, 0.0},  {album, 2999, 2.0, 4, 0.998},
      {looped, 1250, 1.5, 1, 0.5}, {looped, 5250, 1.5, 1, 0.5}, {looped, 7000, 1.5, 5, 0.0},
  };
  for (const auto& c : cases) {
    const SongAt at = c.feed.at(c.at);
    EXPECT_DOUBLE_EQ(at.gainDb, c.gainDb) << "at " << c.at;
    EXPECT_EQ(at.beat.beatIndex, c.beatIndex) << "at " << c.at;
    EXPECT_NEAR(at.beat.beatPhase, c.beatPhase, 1e-9) << "at " << c.at;
    EXPECT_NEAR(at.beat.bpm, 120.0, 1e-9) << "at " << c.at;
  }
  album.setGainDb(1, 5.0);
  EXPECT_DOUBLE_EQ(album.at(3000).gainDb, 5.0) << "the gain turned while the second song plays";
  EXPECT_DOUBLE_EQ(album.at(1000).gainDb, -3.0) << "the first song's own gain kept";
  album.setSongs({SongStart{0, 0, 4000, "", 0.0}});
  EXPECT_EQ(album.at(1250).beat.beatIndex, 1) << "the beat kept when the songs are set again";
  EXPECT_EQ(SongFeed({SongStart{0, 0, 4000, "", 0.0}}, true).at(1250).beat.bpm, 0.0) << "no grid: at rest";
}

// --title auto over an album: each song's own tags over its own frames.
TEST_F(Album, EachSongsTitleIsOverItsOwnFrames) {
  ASSERT_TRUE(writeShorts(dir / "one.wav", sine(220, 0.3, 2.0, 2, 44100), 2, 44100));
  ASSERT_TRUE(writeShorts(dir / "two.wav", sine(330, 0.3, 2.0, 2, 44100), 2, 44100));
  ffmpeg({"-i", dir / "one.wav", "-metadata", "title=Morning Light", dir / "one.flac"});
  ffmpeg({"-i", dir / "two.wav", "-metadata", "title=Evening Rain", dir / "two.flac"});
  for (const auto& [at, want, other] : {std::tuple<const char*, const char*, const char*>{"1", "Morning", "Evening"},
                                        {"3", "Evening", "Morning"}}) {
    const std::string still = std::string("at") + at + ".png";
    const StudioRun run = studio(dir.path(), {"render", "one.flac", "two.flac", still, "--from", at, "--title", "auto",
                                              "--size", "800x450", "--picture", "bars", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string read = runOutput({"/usr/bin/tesseract", dir / still, "-", "--psm", "6"});
    EXPECT_NE(read.find(want), std::string::npos) << at << " s: " << read;
    EXPECT_EQ(read.find(other), std::string::npos) << at << " s: " << read;
  }
}

// Each song seen at the reference loudness, or (--level album) the album
// at one loudness with its songs as loud against each other as they are.
TEST_F(Album, EachSongIsLevelledOrTheAlbumAsOne) {
  // The bands as a picture, so what the analysis sees shows in the frame.
  writeInputPicture(dir.path(), "uniform float bands[64];", "bands[int(uv.x * 63.99)]");
  // The same tone at −6 and −26 dBFS, 3 s each.
  ASSERT_TRUE(writeShorts(dir / "loud.wav", sine(220, 0.5, 3.0, 2, 44100), 2, 44100));
  ASSERT_TRUE(writeShorts(dir / "quiet.wav", sine(220, 0.05, 3.0, 2, 44100), 2, 44100));
  auto still = [&](std::vector<std::string> songs, const std::string& at, const std::string& out,
                   std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"render"};
    args.insert(args.end(), songs.begin(), songs.end());
    args.insert(args.end(), {out, "--size", "64x48", "--from", at});
    args.insert(args.end(), more.begin(), more.end());
    const StudioRun run = studio(dir.path(), args);
    EXPECT_EQ(run.status, 0) << run.err;
    return std::make_pair(frameRgb(dir / out), run.err);
  };
  // Each song at the reference: the quiet song, 2 s in, looks as it does alone.
  const auto alone = still({"quiet.wav"}, "2", "alone.png", {"-q"});
  const auto each = still({"loud.wav", "quiet.wav"}, "5", "each.png");
  EXPECT_LE(meanDifference(each.first, alone.first), 1.0);
  EXPECT_NE(each.second.find("the songs measure"), std::string::npos) << each.second;

  // The album as one: gated as R128 gates, the quiet song (20 dB down) does
  // not count, so the album measures as the loud song alone, and the quiet
  // song is seen 20 dB below it.
  const auto loud = still({"loud.wav"}, "2", "loud.png", {});
  const auto album = still({"loud.wav", "quiet.wav"}, "5", "album.png", {"--level", "album"});
  const size_t at = album.second.find("the album measures ");
  ASSERT_NE(at, std::string::npos) << album.second;
  const double lufs = std::strtod(album.second.c_str() + at + 19, nullptr);
  const size_t loudAt = loud.second.find("measures ");
  ASSERT_NE(loudAt, std::string::npos) << loud.second;
  EXPECT_NEAR(lufs, std::strtod(loud.second.c_str() + loudAt + 9, nullptr), 0.2);
  char gain[32];
  std::snprintf(gain, sizeof gain, "%.2f", -14.0 - lufs);
  const auto quietAsAlbum = still({"quiet.wav"}, "2", "quiet-album.png", {"--level", "off", "--gain", gain, "-q"});
  EXPECT_LE(meanDifference(album.first, quietAsAlbum.first), 1.0);
  EXPECT_GE(meanDifference(album.first, each.first), 4.0) << "the two modes look the same";
}

// An album split into parts and joined is its whole render: every frame,
// the sound and the chapter list, titles changing inside a part.
TEST_F(Album, AnAlbumsPartsJoinToTheWhole) {
  ASSERT_TRUE(writeShorts(dir / "one.wav", sine(220, 0.3, 1.3, 2, 44100), 2, 44100));
  ASSERT_TRUE(writeShorts(dir / "two.wav", sine(660, 0.3, 1.1, 2, 44100), 2, 44100));
  ffmpeg({"-i", dir / "one.wav", "-metadata", "title=One", dir / "one.flac"});
  const std::vector<std::string> common = {"one.flac", "two.wav"};
  const std::vector<std::string> look = {"--size", "128x72", "--fps", "20", "--picture", "scope", "--title", "auto",
                                         "--crf", "0", "-q"};
  auto render = [&](const std::string& out, std::vector<std::string> more) {
    std::vector<std::string> args = {"render"};
    args.insert(args.end(), common.begin(), common.end());
    args.push_back(out);
    args.insert(args.end(), look.begin(), look.end());
    args.insert(args.end(), more.begin(), more.end());
    const StudioRun run = studio(dir.path(), args);
    EXPECT_EQ(run.status, 0) << out << ": " << run.err;
  };
  render("whole.mkv", {});
  render("p1.mkv", {"--part", "1/2"});
  render("p2.mkv", {"--part", "2/2"});
  const StudioRun joined = studio(dir.path(), {"join", "joined.mkv", "p2.mkv", "p1.mkv", "-q"});
  ASSERT_EQ(joined.status, 0) << joined.err;
  const auto frames = [&](const std::string& file, const char* stream) {
    return runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / file, "-map", stream, "-f", "framemd5", "-"});
  };
  EXPECT_EQ(frames("joined.mkv", "0:v"), frames("whole.mkv", "0:v"));
  EXPECT_EQ(soundOf(dir / "joined.mkv"), soundOf(dir / "whole.mkv"));
  EXPECT_EQ(readText(dir / "joined.chapters.txt"), "0:00 One\n0:01 two\n");
  EXPECT_EQ(readText(dir / "whole.chapters.txt"), "0:00 One\n0:01 two\n");

  // With the sound as its own part, a join needs no song: the machine that
  // joins may never have had the songs.
  render("sound.mkv", {"--part", "sound"});
  fs::rename(dir / "one.flac", dir / "away.flac");
  const StudioRun without = studio(dir.path(), {"join", "lost.mkv", "p1.mkv", "p2.mkv"});
  EXPECT_EQ(without.status, 2);
  EXPECT_NE(without.err.find("one.flac, is not here"), std::string::npos) << without.err;
  const StudioRun copied = studio(dir.path(), {"join", "copied.mkv", "p1.mkv", "sound.mkv", "p2.mkv", "-q"});
  ASSERT_EQ(copied.status, 0) << copied.err;
  EXPECT_EQ(frames("copied.mkv", "0:v"), frames("whole.mkv", "0:v"));
  EXPECT_EQ(soundOf(dir / "copied.mkv"), soundOf(dir / "whole.mkv"));
  EXPECT_EQ(readText(dir / "copied.chapters.txt"), "0:00 One\n0:01 two\n");
  EXPECT_EQ(runOutput({"/usr/bin/ffprobe", "-v", "error", "-show_chapters", "-of", "csv=p=0", dir / "copied.mkv"}),
            runOutput({"/usr/bin/ffprobe", "-v", "error", "-show_chapters", "-of", "csv=p=0", dir / "whole.mkv"}));
}

// `progress` is how far through the song playing it is: a quarter and three
// quarters of one song, and a quarter of an album's second song.
TEST_F(Album, ProgressIsHowFarThroughTheSongPlaying) {
  writeInputPicture(dir.path(), "uniform float progress;", "progress");
  ASSERT_TRUE(writeShorts(dir / "two.wav", sine(220, 0.3, 2.0, 2, 48000), 2, 48000));
  ASSERT_TRUE(writeShorts(dir / "four.wav", sine(330, 0.3, 4.0, 2, 48000), 2, 48000));
  const struct {
    std::vector<std::string> songs;
    const char* at;
    double expected;
  } cases[] = {{{"four.wav"}, "1", 0.25}, {{"four.wav"}, "3", 0.75}, {{"two.wav", "four.wav"}, "3", 0.25},
               {{"two.wav", "four.wav"}, "1", 0.5}};
  for (const auto& c : cases) {
    std::vector<std::string> args = {"render"};
    args.insert(args.end(), c.songs.begin(), c.songs.end());
    args.insert(args.end(), {"p.png", "--from", c.at, "--size", "16x16", "--overwrite", "-q", "--level", "off"});
    const StudioRun run = studio(dir.path(), args);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string rgb = frameRgb(dir / "p.png");
    ASSERT_FALSE(rgb.empty());
    EXPECT_NEAR(static_cast<unsigned char>(rgb[0]), c.expected * 255, 2.0) << c.songs.size() << " songs, at " << c.at;
  }
}

TEST_F(Album, BadPlaylistsAndAlbumOptionsAreRefused) {
  ASSERT_TRUE(writeShorts(dir / "a.wav", sine(440, 0.3, 0.5, 2, 44100), 2, 44100));
  writeText(dir / "missing.m3u", "a.wav\nnot-here.flac\n");
  writeText(dir / "web.m3u", "http://example.com/song.mp3\n");
  writeText(dir / "empty.m3u", "#EXTM3U\n# nothing\n");
  writeText(dir / "notes.txt", "not a sound");
  writeText(dir / "taken.chapters.txt", "mine");
  writeText(dir / "nested.m3u", "a.wav\n\nmissing.m3u\n");
  expectRefusals(dir.path(), {}, {
      {{"render", "nested.m3u", "out.mp4"}, 2, "nested.m3u line 3: missing.m3u is a playlist; a playlist lists songs"},
      {{"render", "missing.m3u", "out.mp4"}, 2, "missing.m3u line 2: "},
      {{"render", "web.m3u", "out.mp4"}, 2, "web.m3u line 1: http://example.com/song.mp3 is not a file here"},
      {{"render", "empty.m3u", "out.mp4"}, 2, "lists no song"},
      {{"render", "a.wav"}, 2, "OUTPUT is required"},
      {{"render", "a.wav", "notes.txt", "out.mp4"}, 1, "cannot read the sound notes.txt"},
      {{"render", "a.wav", "a.wav", "taken.mp4"}, 2, "taken.chapters.txt"},
      {{"play", "a.wav", "--level", "album"}, 2, "--level album is for a render of several songs"},
  }, "out.mp4");
  EXPECT_EQ(readText(dir / "taken.chapters.txt"), "mine");
  EXPECT_FALSE(fs::exists(dir / "taken.mp4"));
}
