// The studio's small parts on their own: the hand-off queue, the hidden
// file and its clean-up, the offline reader's windows against the live
// window, and frame rates kept as fractions the encoders take.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "audio.h"
#include "cli.h"
#include "parts.h"
#include "sound/ffmpegSound.h"
#include "base/boundedQueue.h"
#include "base/text.h"
#include "video/frameClock.h"
#include "picture/title.h"
#include "video/pendingFile.h"
#include "sampleWindow.h"
#include "sound/soundStream.h"
#include "support.h"

namespace {

TEST(BoundedQueue, HandsOverInOrderBlocksWhenFullAndDrainsAfterClose) {
  BoundedQueue<int> queue(2);
  std::atomic<int> pushed{0};
  std::thread producer([&] {
    for (int i = 0; i < 5; ++i) {
      if (!queue.push(i)) {
        return;
      }
      ++pushed;
    }
    queue.close();
  });
  // The producer fills the queue (polled), then stops at the capacity until
  // something is taken: it is still at two a while later.
  for (int i = 0; i < 500 && pushed.load() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(pushed.load(), 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(pushed.load(), 2);
  std::vector<int> got;
  for (int item = 0; queue.pop(item);) {
    got.push_back(item);
  }
  producer.join();
  EXPECT_EQ(got, (std::vector<int>{0, 1, 2, 3, 4}));

  // A consumer that closes stops a blocked producer: closed only once the
  // producer's thread is asleep inside push (its state in /proc), so the
  // close must wake it, not merely come first.
  BoundedQueue<int> full(1);
  ASSERT_TRUE(full.push(7));
  std::atomic<pid_t> tid{0};
  std::thread blocked([&] {
    tid = static_cast<pid_t>(syscall(SYS_gettid));
    EXPECT_FALSE(full.push(8));
  });
  const auto asleep = [&] {
    if (tid.load() == 0) {
      return false;
    }
    const std::string stat = vt::readText("/proc/self/task/" + std::to_string(tid.load()) + "/stat");
    const size_t state = stat.rfind(')');
    return state != std::string::npos && state + 2 < stat.size() && stat[state + 2] == 'S';
  };
  ASSERT_TRUE(vt::waitFor(asleep, 30)) << "the producer never blocked";
  full.close();
  blocked.join();
  int item = 0;
  EXPECT_TRUE(full.pop(item));
  EXPECT_EQ(item, 7);
  EXPECT_FALSE(full.pop(item));
}

TEST(PendingFile, CommitsUnderTheTargetNameOrLeavesNothing) {
  vt::TempDir dir;
  const std::string target = dir / "out.mp4";
  {
    PendingFile file(target, false);
    EXPECT_EQ(std::filesystem::path(file.path()).filename().string().rfind(".out.mp4.partial-", 0), 0u);
    vt::writeText(file.path(), "video");
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "an uncommitted file must vanish";
  {
    PendingFile file(target, false);
    vt::writeText(file.path(), "video");
    const Status committed = file.commit();
    ASSERT_TRUE(committed) << committed.why();
  }
  EXPECT_EQ(vt::readText(target), "video");
  {
    // Without overwrite a target that appeared meanwhile is kept, and so is
    // the new file, under a numbered name that is no leftover's.
    PendingFile file(target, false);
    vt::writeText(file.path(), "second");
    const Status committed = file.commit();
    EXPECT_FALSE(committed);
    EXPECT_NE(committed.why().find("appeared"), std::string::npos);
    EXPECT_NE(committed.why().find(dir / "out (2).mp4"), std::string::npos) << committed.why();
    EXPECT_EQ(vt::readText(target), "video");
    EXPECT_EQ(vt::readText(dir / "out (2).mp4"), "second");
    EXPECT_FALSE(std::filesystem::exists(file.path()));
    std::filesystem::remove(dir / "out (2).mp4");
  }
  {
    PendingFile file(target, true);
    vt::writeText(file.path(), "third");
    const Status committed = file.commit();
    ASSERT_TRUE(committed) << committed.why();
    EXPECT_EQ(vt::readText(target), "third");
  }
}

TEST(PendingFile, HiddenNamesFitTheFileSystemAndLeftoversOfDeadProcessesGo) {
  vt::TempDir dir;
  // 255 bytes, with a two-byte character where the cut would fall.
  std::string longName(246, 'n');
  longName += "\xc3\xa9.mp4";
  longName.insert(0, std::string(255 - longName.size(), 'x'));
  ASSERT_EQ(longName.size(), 255u);
  const std::string hidden = std::filesystem::path(PendingFile::hiddenName(dir / longName, 4194304)).filename();
  EXPECT_LE(hidden.size(), 255u);
  vt::writeText(dir / hidden, "x");  // the name must be one the file system takes
  EXPECT_TRUE(std::filesystem::exists(dir / hidden));

  // A dead process's file, a live one's, and names that only look alike.
  const pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  const std::string target = dir / "song.mp4";
  const std::string dead = PendingFile::hiddenName(target, child);
  const std::string live = PendingFile::hiddenName(target, getppid());
  for (const std::string& path : {dead, live, dir / ".song.mp4.partial-12x", dir / ".song.mp4.partial-"}) {
    vt::writeText(path, "x");
  }
  std::filesystem::create_directory(PendingFile::hiddenName(dir / "other.mp4", child));
  EXPECT_EQ(PendingFile::removeLeftovers(target), 1);
  EXPECT_FALSE(std::filesystem::exists(dead));
  EXPECT_TRUE(std::filesystem::exists(live));
  EXPECT_TRUE(std::filesystem::exists(dir / ".song.mp4.partial-12x"));
  EXPECT_TRUE(std::filesystem::exists(dir / ".song.mp4.partial-"));
  EXPECT_EQ(PendingFile::removeLeftovers(dir / "other.mp4"), 0) << "only regular files are removed";
}

// When every hidden name beside the target is held by a live writer (its
// files locked), nothing of theirs is opened, written or removed: the new
// writer says it cannot write, and their files keep their bytes.
TEST(PendingFile, NamesAllHeldByOthersAreNeverTouched) {
  vt::TempDir dir;
  const std::string target = dir / "song.mp4";
  const std::string base = PendingFile::hiddenName(target, getpid());
  std::vector<int> locks;
  std::vector<std::string> held = {base};
  for (int n = 2; n <= 1001; ++n) {
    held.push_back(base + "-" + std::to_string(n));
  }
  for (const std::string& path : held) {
    vt::writeText(path, "theirs");
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    locks.push_back(fd);
  }
  {
    PendingFile file(target, false);
    EXPECT_FALSE(file.made().ok());
    EXPECT_NE(file.made().why().find("held by another writer"), std::string::npos) << file.made().why();
    std::ofstream out(file.path());
    EXPECT_FALSE(out.good()) << "its path must not open: " << file.path();
    EXPECT_FALSE(file.commit().ok());
  }
  for (const std::string& path : held) {
    ASSERT_EQ(vt::readText(path), "theirs") << path;
  }
  EXPECT_FALSE(std::filesystem::exists(target));
  for (const int fd : locks) {
    close(fd);
  }
}

// What players call an untagged song: the file's name without a leading
// track number; and a title or chapter name kept to one line.
TEST(SongNames, TrackNumbersGoAndTitlesStayOnOneLine) {
  const std::pair<const char*, const char*> names[] = {
      {"/music/04 interlude.wav", "interlude"},   {"04. Interlude.flac", "Interlude"},
      {"07 - Night Drive.ogg", "Night Drive"},    {"1-03 Side B.mp3", "Side B"},
      {"12_closing.wav", "closing"},              {"1999.wav", "1999"},
      {"Song 2.wav", "Song 2"},                   {"3 .wav", "3"},
  };
  for (const auto& [path, name] : names) {
    EXPECT_EQ(songNameOfFile(path), name) << path;
  }
  const std::pair<const char*, const char*> lines[] = {
      {"Night\nDrive", "Night Drive"}, {"\tA\r\n\x01" "B \n", "A B"}, {"plain", "plain"}, {"\n\n", ""}};
  for (const auto& [text, line] : lines) {
    EXPECT_EQ(oneLine(text), line) << printable(text);
  }
}

// The offline reader hands out, frame by frame, exactly the live window taken
// from the whole decoded sound, for any channel count and for float files.
TEST(WindowReader, WindowsEqualTheLiveWindowOfTheWholeSound) {
  struct Case {
    int channels;
    int format;
  };
  for (const Case c : {Case{1, SF_FORMAT_WAV | SF_FORMAT_PCM_16}, Case{2, SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                       Case{3, SF_FORMAT_WAV | SF_FORMAT_FLOAT}, Case{2, SF_FORMAT_FLAC | SF_FORMAT_PCM_24}}) {
    vt::TempDir dir;
    const std::string path = dir / "s.wav";
    const int64_t frames = 200000;
    ASSERT_TRUE(vt::writeSound(path, frames, c.channels, 44100, c.format, [](int64_t f, int ch) {
      return 0.9 * std::sin(static_cast<double>(f) * (0.01 + 0.003 * ch)) * ((f / 5000) % 2 ? 1.0 : 0.3);
    }));
    SoundData whole;
    std::string error;
    ASSERT_TRUE(decodeSoundQuietly(path.c_str(), whole, error)) << error;
    WindowReader reader;
    const Status opened = reader.open(path);
    ASSERT_TRUE(opened.ok()) << opened.why();
    const FrameClock clock({60, 1}, 44100);
    for (int64_t n = 0; clock.soundFrameAt(n) <= frames + 10; n += 7) {
      const int64_t at = clock.soundFrameAt(n);
      ASSERT_EQ(reader.window(at), sampleWindow(whole.samples, at, c.channels)) << c.channels << " ch, frame " << n;
    }
  }
}

// A 16-bit WAV read through FFmpeg gives the live program's values to the
// last bit, so a song sounds and looks the same whichever library reads it.
TEST(SoundFile, FfmpegAndLibsndfileAgreeToTheBitOn16BitPcm) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeSound(dir / "s.wav", 50000, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16, [](int64_t f, int c) {
    return std::sin(static_cast<double>(f) * (0.013 + 0.007 * c)) * ((f / 3000) % 2 ? 0.999 : 0.01);
  }));
  SoundData whole;
  std::string error;
  ASSERT_TRUE(decodeSoundQuietly((dir / "s.wav").c_str(), whole, error)) << error;
  FfmpegSound other;
  const Status opened = other.open(dir / "s.wav");
  ASSERT_TRUE(opened.ok()) << opened.why();
  ASSERT_EQ(other.channels(), 2);
  ASSERT_EQ(other.rate(), 44100);
  std::vector<float> floats(60000 * 2);
  ASSERT_EQ(other.read(floats.data(), 60000), 50000);
  std::vector<int16_t> shorts(100000);
  for (size_t i = 0; i < shorts.size(); ++i) {
    shorts[i] = static_cast<int16_t>(std::lrint(std::clamp(floats[i] * 32768.0f, -32768.0f, 32767.0f)));
  }
  EXPECT_EQ(shorts, whole.samples);
}

TEST(FrameRate, FractionsTheEncodersCannotKeepAreRoundedToNearOnes) {
  struct Case {
    const char* text;
    int64_t num;
    int64_t den;
  };
  const Case cases[] = {
      {"60", 60, 1},
      {"30000/1001", 30000, 1001},
      {"62.5", 125, 2},
      {"59.999999999", 60, 1},
      {"239.999999999", 240, 1},
  };
  for (const Case& c : cases) {
    Rational r;
    ASSERT_TRUE(parseRational(c.text, r)) << c.text;
    const Rational kept = limitTerms(r, 1 << 20);
    EXPECT_EQ(kept.num, c.num) << c.text;
    EXPECT_EQ(kept.den, c.den) << c.text;
  }
  Rational odd;
  ASSERT_TRUE(parseRational("2.147483648", odd));
  const Rational kept = limitTerms(odd, 1 << 20);
  EXPECT_LE(kept.num, 1 << 20);
  EXPECT_LE(kept.den, 1 << 20);
  EXPECT_NEAR(kept.value(), 2.147483648, 1e-9);
}

}  // namespace

namespace {

// A tag may hold a megabyte: the title is cut to 200 characters, counted as
// characters (not bytes), with an ellipsis, and laid out like any other.
TEST(Title, AMegabyteTagIsCutBeforeItIsShaped) {
  std::string huge;
  for (int i = 0; i < 1 << 18; ++i) {
    huge += "\xc3\xa9 \n";  // "é", a space, a line break: 4 bytes, 3 characters
  }
  const std::string cut = fitTitleLength(huge);
  size_t characters = 0;
  for (char c : cut) {
    characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }
  // 200 and the ellipsis, less the spaces before the cut.
  EXPECT_LE(characters, 201u);
  EXPECT_GE(characters, 198u);
  EXPECT_EQ(cut.substr(cut.size() - 3), "\xe2\x80\xa6");
  EXPECT_EQ(cut.find('\n'), std::string::npos);
  const Result<std::string> font = findTitleFont("");
  ASSERT_TRUE(font) << font.why();
  const Result<TitleLayout> layout = layOutTitle(huge, font.value(), 1920, 1080, TitlePlace::Bottom);
  ASSERT_TRUE(layout) << layout.why();
  EXPECT_LE(layout.value().image.width, 1920);
  EXPECT_EQ(fitTitleLength("Artist \xe2\x80\x93 Song"), "Artist \xe2\x80\x93 Song");
}

// A part's record as render makes it for this command line (after the
// program's name and "render"); "" when the line is refused.
std::string recordOf(std::vector<std::string> args) {
  args.insert(args.begin(), {"vrax-studio", "render"});
  std::vector<char*> argv;
  for (std::string& a : args) {
    argv.push_back(a.data());
  }
  CommandLine line;
  if (parseCommandLine(static_cast<int>(argv.size()), argv.data(), line)) {
    return "";
  }
  return settingsLine(line.render);
}

// Parts of renders that differ in any option that makes the video are
// never joined: every such option of render's table, given on its own (with
// what it needs beside it), changes a part's record. An option added to
// the command line without a case here fails this test.
TEST(PartRecords, EveryOptionThatMakesTheVideoChangesTheRecord) {
  vt::TempDir dir;
  const std::string pair = vt::sourceDir() + "/Shaders";
  const std::string toy = vt::sourceDir() + "/examples/shadertoy/beat";
  vt::writeText(dir / "words.lrc", "[00:01.00]hello\n");
  const std::vector<std::string> base = {dir / "song.wav", dir / "part1.mkv", "--part", "1/2"};
  struct Case {
    std::vector<std::string> given;
    std::vector<std::string> beside;  // what it needs given with it
    bool song = true;                 // false: no SOUND (a Sound pass is the song)
  };
  const std::map<std::string, Case> cases = {
      {"shaders", {{"--shaders", pair}, {}}},
      {"picture", {{"--picture", "ring"}, {}}},
      {"length", {{"--length", "30"}, {"--shaders", toy}, false}},
      {"image", {{"--image", dir / "a.png"}, {}}},
      {"background", {{"--background", dir / "b.png"}, {}}},
      {"logo", {{"--logo", dir / "c.png"}, {}}},
      {"title", {{"--title", "Song"}, {}}},
      {"title-at", {{"--title-at", "top"}, {"--title", "Song"}}},
      {"title-for", {{"--title-for", "3"}, {"--title", "Song"}}},
      {"title-colour", {{"--title-colour", "red"}, {"--title", "Song"}}},
      {"title-size", {{"--title-size", "1.5"}, {"--title", "Song"}}},
      {"title-plate", {{"--title-plate", "red@0.5"}, {"--title", "Song"}}},
      {"subtitle", {{"--subtitle", "out now"}, {"--title", "Song"}}},
      {"font", {{"--font", "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"}, {"--title", "Song"}}},
      {"set", {{"--set", "ringColour=orange"}, {"--picture", "ring"}}},
      {"palette", {{"--palette", "ocean"}, {}}},
      {"channel", {{"--channel", "1=music"}, {"--shaders", toy}}},
      {"level", {{"--level", "off"}, {}}},
      {"gain", {{"--gain", "3"}, {}}},
      {"lyrics", {{"--lyrics", dir / "words.lrc"}, {}}},
      {"change-every", {{"--change-every", "4"}, {"--picture", "ring,bars"}}},
      {"crossfade", {{"--crossfade", "2"}, {"--picture", "ring,bars"}}},
      {"shuffle", {{"--shuffle"}, {"--picture", "ring,bars"}}},
      {"seed", {{"--seed", "7"}, {"--picture", "ring,bars", "--shuffle"}}},
      {"beats-per-bar", {{"--beats-per-bar", "3"}, {}}},
      {"downbeat", {{"--downbeat", "1.5"}, {}}},
      {"preroll", {{"--preroll", "3"}, {}}},
      {"for", {{"--for", "square"}, {}}},
      {"codec", {{"--codec", "hevc"}, {}}},
      {"preset", {{"--preset", "slow"}, {}}},
      {"transparent", {{"--transparent"}, {"--codec", "prores"}}},
      {"size", {{"--size", "640x360"}, {}}},
      {"fps", {{"--fps", "24"}, {}}},
      {"from", {{"--from", "1"}, {}}},
      {"to", {{"--to", "9"}, {}}},
      {"fade-in", {{"--fade-in", "1"}, {}}},
      {"fade-out", {{"--fade-out", "1"}, {}}},
      {"crf", {{"--crf", "23"}, {}}},
      {"flash-guard", {{"--flash-guard", "off"}, {}}},
  };
  int checked = 0;
  for (const ProjectOption& row : projectOptionTable()) {
    if (row.runOnly) {
      continue;
    }
    const auto found = cases.find(row.name);
    if (found == cases.end()) {
      ADD_FAILURE() << "--" << row.name << " makes the video and has no case here";
      continue;
    }
    const Case& c = found->second;
    std::vector<std::string> without(base.begin() + (c.song ? 0 : 1), base.end());
    without.insert(without.end(), c.beside.begin(), c.beside.end());
    std::vector<std::string> with = without;
    with.insert(with.end(), c.given.begin(), c.given.end());
    const std::string before = recordOf(without);
    const std::string after = recordOf(with);
    ASSERT_FALSE(before.empty() || after.empty()) << "--" << row.name << ": the command line is refused";
    EXPECT_NE(before, after) << "--" << row.name << " leaves the part's record as it was: " << after;
    ++checked;
  }
  EXPECT_GE(checked, 39);
}

// What an option is given, not only that it is: parts with a black plate
// and a red one, or the same plate at two opacities, or two prerolls, are
// parts of different renders.
TEST(PartRecords, TheValuesGivenAreRecordedNotOnlyTheOptions) {
  vt::TempDir dir;
  const std::vector<std::string> base = {dir / "song.wav", dir / "part1.mkv", "--part", "1/2", "--title", "Song"};
  const auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> args = base;
    args.insert(args.end(), more.begin(), more.end());
    return recordOf(args);
  };
  const std::vector<std::string> records = {
      with({"--title-plate", "black@0.6"}), with({"--title-plate", "red@0.6"}), with({"--title-plate", "black@0.3"}),
      with({"--preroll", "2"}), with({"--preroll", "5"})};
  for (size_t i = 0; i < records.size(); ++i) {
    ASSERT_FALSE(records[i].empty()) << i;
    for (size_t j = i + 1; j < records.size(); ++j) {
      EXPECT_NE(records[i], records[j]) << i << " and " << j;
    }
  }
}

}  // namespace
