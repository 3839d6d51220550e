// vrax-studio render used the way a hostile or careless user would: the song
// given as its own output, signals of every kind and at every stage, names
// FFmpeg would take for URLs, odd rates and samples, pipes and folders where
// files belong. Each case either works or fails with one clear line and its
// status; none loses the song, hangs, or leaves a hidden file behind.
#include <gtest/gtest.h>
#include <fstream>
#include <sys/mount.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>

#include "support.h"

namespace {

namespace fs = std::filesystem;

using vt::probe;
using vt::studio;
using vt::StudioRun;

// Frames of the video stream a player decodes; 0 when it is not playable.
int playableFrames(const std::string& file) {
  const std::string n = probe(file, "stream=nb_read_frames");
  return n.empty() ? 0 : std::atoi(n.c_str());
}

std::vector<std::string> hiddenFiles(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".partial") != std::string::npos) {
      out.push_back(name);
    }
  }
  return out;
}

// Our own lines only: no FFmpeg "[codec @ 0x…]" lines, no hidden names.
void expectOneVoice(const std::string& err, const std::string& name) {
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_NE(line.rfind("[", 0), 0u) << name << ": a library's own line\n" << err;
    EXPECT_EQ(line.find(".partial"), std::string::npos) << name << ": names the hidden file\n" << err;
  }
}

// CPU seconds a process has used (from /proc), to see that it is busy.
double cpuSeconds(int pid) {
  std::istringstream stat(vt::readText("/proc/" + std::to_string(pid) + "/stat"));
  std::string field;
  double ticks = 0;
  for (int i = 1; i <= 15 && stat >> field; ++i) {
    if (i == 14 || i == 15) {
      ticks += std::atof(field.c_str());
    }
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

using vt::waitFor;

// A pair whose frames from `slowFrom` seconds on take many seconds in
// software (a long dependent loop in every pixel), the ones before it none.
void writeSlowPair(const std::string& dir, double slowFrom) {
  vt::writeShaders(dir, vt::kPlainVertexShader,
                   vt::fragmentShader("    int n = itime >= " + std::to_string(slowFrom) +
                                      " ? 400000 : 4;\n"
                                      "    float a = uv.x;\n"
                                      "    for (int i = 0; i < n; ++i) { a = sin(a * 1.0001 + uv.y); }\n"
                                      "    FragColor = vec4(a, uv, 1.0);"));
}

class Abuse : public ::testing::Test {
 protected:
  void SetUp() override {
    vt::copyShippedShaders(dir.path());
    ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100 * 3, 2, 44100));
  }
  // Starts a render of a minute-long song and waits for its first progress line.
  std::unique_ptr<vt::Process> startLongRender(const std::string& output) {
    EXPECT_TRUE(vt::writeTone(dir / "long.wav", 44100 * 60, 2, 44100));
    auto p = std::make_unique<vt::Process>(
        std::vector<std::string>{vt::studioBinary(), "render", "long.wav", output, "--size", "320x240", "--fps", "60"}, dir.path(),
        std::map<std::string, std::string>{{"DISPLAY", ""}});
    for (int i = 0; i < 1500 && p->running() && p->err().find("frames") == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Every caller needs a render under way: a progress line says it is.
    if (p->err().find("frames") == std::string::npos || !p->running()) {
      ADD_FAILURE() << "the render did not get under way\n" << p->err();
    }
    return p;
  }
  vt::TempDir dir;
};

// A cache folder on a full filesystem: the program's caches are optional,
// so a render there completes (the GL driver's own cache, which maps its
// index there, is turned off rather than ending the run with SIGBUS), for
// the driver's first compile of these shaders (an empty cache).
TEST_F(Abuse, AFullFilesystemUnderTheCacheFolderCostsOnlyTheCache) {
  const std::string full = dir / "full";
  std::filesystem::create_directory(full);
  if (getuid() != 0 || mount("tmpfs", full.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "mounting a small filesystem needs root";
  }
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{full};
  // Filled to the last block.
  {
    std::ofstream filler(full + "/filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
    }
  }
  for (const std::string out : {"still.png", "clip.mp4"}) {
    vt::Process p({vt::studioBinary(), "render", "song.wav", out, "--size", "160x120", "--to", "1", "-q"}, dir.path(),
                  {{"DISPLAY", ""}, {"XDG_CACHE_HOME", full}, {"MESA_SHADER_CACHE_DISABLE", ""}});
    EXPECT_EQ(p.wait(120), 0) << out << "\n" << p.err();
    EXPECT_TRUE(std::filesystem::exists(dir / out)) << out;
  }
}

TEST_F(Abuse, TheSongIsNeverTheOutputWhateverItsNameOrFlags) {
  fs::copy_file(dir / "song.wav", dir / "song.mkv");
  fs::create_symlink("song.mkv", dir / "link.mkv");
  fs::create_hard_link(dir / "song.mkv", dir / "hard.mkv");
  const std::string before = vt::readText(dir / "song.mkv");
  for (const std::string& output : std::vector<std::string>{"song.mkv", "./song.mkv", "link.mkv", "hard.mkv", dir / "song.mkv"}) {
    const StudioRun run = studio(dir.path(), {"render", "song.mkv", output, "--overwrite", "-q"});
    EXPECT_EQ(run.status, 2) << output << "\n" << run.err;
    EXPECT_NE(run.err.find("is the sound"), std::string::npos) << run.err;
  }
  EXPECT_EQ(vt::readText(dir / "song.mkv"), before);
}

TEST_F(Abuse, HangUpAndClosedStderrKeepTheRender) {
  // A hang-up finishes the file as Ctrl-C does.
  auto p = startLongRender("hup.mp4");
  kill(p->pid(), SIGHUP);
  EXPECT_EQ(p->wait(60), 130) << p->err();
  EXPECT_GT(playableFrames(dir / "hup.mp4"), 0);
  EXPECT_TRUE(hiddenFiles(dir.path()).empty());

  // stderr into `| head -c 1`: progress stops, the render goes on to the end.
  int status = -1;
  const std::string out =
      vt::runOutput({"/bin/bash", "-c",
                     "cd '" + dir.path() + "' && DISPLAY= '" + vt::studioBinary() +
                         "' render song.wav piped.mp4 --size 64x48 --fps 30 2>&1 | head -c 1; "
                         "echo \" ${PIPESTATUS[0]}\""},
                     &status);
  EXPECT_EQ(out.substr(out.find(' ') + 1), "0\n") << out;
  EXPECT_EQ(playableFrames(dir / "piped.mp4"), 90);
}

// The second signal comes while the first still waits for a frame (a slow
// one here, so it always does): it ends the run at once and leaves nothing.
TEST_F(Abuse, ASecondSignalNeverLeavesAHalfWrittenFile) {
  writeSlowPair(dir.path(), 0.1);  // the first frame quick, the second long
  for (int gapMs : {0, 20, 200}) {
    const std::string name = "twice" + std::to_string(gapMs) + ".mp4";
    vt::Process p({vt::studioBinary(), "render", "song.wav", name, "--size", "320x240", "--fps", "5"}, dir.path(),
                  {{"DISPLAY", ""}});
    // Seconds of work: only the second frame takes that long.
    ASSERT_TRUE(waitFor([&] { return !p.running() || cpuSeconds(p.pid()) > 2.0; }, 60)) << p.err();
    ASSERT_TRUE(p.running()) << p.err();
    kill(p.pid(), SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    kill(p.pid(), SIGTERM);
    EXPECT_EQ(p.wait(60), 130) << p.err();
    EXPECT_NE(p.err().find("interrupted again"), std::string::npos) << gapMs << "\n" << p.err();
    EXPECT_FALSE(fs::exists(dir / name)) << gapMs;
    EXPECT_TRUE(hiddenFiles(dir.path()).empty()) << gapMs;
  }
}

// The encoder failing after the file exists: a file-size limit makes every
// write past it fail, as a full disk does, for any user.
TEST_F(Abuse, AWriteFailingMidwayIsReportedAndLeavesNothing) {
  ASSERT_TRUE(vt::writeSound(dir / "noise.wav", 44100 * 3, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t f, int c) { return std::sin(double(f * 7919 + c * 104729) * 12.9898) * 0.8; }));
  int status = -1;
  const std::string out = vt::runOutput(
      {"/bin/bash", "-c",
       "cd '" + dir.path() + "' && ulimit -f 64 && trap '' XFSZ && DISPLAY= exec '" + vt::studioBinary() +
           "' render noise.wav o.mp4 --size 320x240 -q 2>&1"},
      &status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("File too large"), std::string::npos) << out;
  EXPECT_NE(out.find(dir / "o.mp4"), std::string::npos) << "names OUTPUT and its folder\n" << out;
  expectOneVoice(out, "file too large");
  EXPECT_FALSE(fs::exists(dir / "o.mp4"));
  EXPECT_TRUE(hiddenFiles(dir.path()).empty());
}

TEST_F(Abuse, LeftoversOfKilledRendersAreRemovedByTheNext) {
  auto p = startLongRender("o.mp4");
  kill(p->pid(), SIGKILL);
  p->wait(10);
  ASSERT_EQ(hiddenFiles(dir.path()).size(), 1u) << "SIGKILL leaves the hidden file";
  // A live render's file is left alone.
  const std::string live = "." + std::string("o.mp4") + ".partial-" + std::to_string(getpid());
  vt::writeText(dir / live, "in progress");
  const StudioRun run = studio(dir.path(), {"render", "song.wav", "o.mp4", "--size", "64x48", "-q"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(hiddenFiles(dir.path()), std::vector<std::string>{live});
}

// Before the first frame is done nothing is written yet, so one signal ends
// the run at once, whatever the program is busy with: stepping up to --from,
// the driver compiling and drawing a heavy first frame, or a still.
TEST_F(Abuse, InterruptsBeforeTheFirstFrameIsDoneEndTheRunAtOnce) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool heavy;  // the first frame is slow, else the stepping before it
  };
  const Case cases[] = {
      {"stepping to --from", {"render", "long.wav", "o.mp4", "--from", "50", "--shaders", "trail", "--size",
                              "1920x1080"}, false},
      {"a heavy first frame", {"render", "song.wav", "o.mp4", "--size", "320x240"}, true},
      {"a heavy still", {"render", "song.wav", "o.png", "--size", "320x240"}, true},
  };
  ASSERT_TRUE(vt::writeTone(dir / "long.wav", 44100 * 60, 2, 44100));
  for (const Case& c : cases) {
    vt::TempDir place;
    fs::copy_file(dir / (c.heavy ? "song.wav" : "long.wav"), place / (c.heavy ? "song.wav" : "long.wav"));
    writeSlowPair(place.path(), c.heavy ? 0.0 : 1e9);
    // A feedback trail: the frames before --from are drawn, at full size.
    fs::copy(vt::sourceDir() + "/examples/shadertoy/trail", place / "trail");
    std::vector<std::string> argv = {vt::studioBinary()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    vt::Process p(argv, place.path(), {{"DISPLAY", ""}});
    // Busy for a second of its own: well inside the work before the first frame.
    ASSERT_TRUE(waitFor([&] { return !p.running() || cpuSeconds(p.pid()) > 1.0; }, 60)) << c.name;
    ASSERT_TRUE(p.running()) << c.name << ": done before it could be interrupted\n" << p.err();
    const auto sent = std::chrono::steady_clock::now();
    kill(p.pid(), SIGINT);
    EXPECT_EQ(p.wait(20), 130) << c.name << "\n" << p.err();
    // "At once": well before the work it interrupts would end (a frame of
    // seconds, a minute of stepping), with room for a machine five times
    // slower than this one.
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(5)) << c.name;
    EXPECT_FALSE(fs::exists(place / "o.mp4")) << c.name;
    EXPECT_FALSE(fs::exists(place / "o.png")) << c.name;
    EXPECT_TRUE(hiddenFiles(place.path()).empty()) << c.name;
  }
}

// What systemd, container stops and `timeout -k` do: SIGTERM, then SIGKILL
// while a slow frame is still drawn. The first signal is answered at once;
// the hidden file the kill leaves is removed by the next render to the name.
TEST_F(Abuse, TermThenKillDuringASlowFrameLeavesOnlyWhatTheNextRenderRemoves) {
  writeSlowPair(dir.path(), 0.1);  // the first frame quick, the second long
  vt::Process p({vt::studioBinary(), "render", "song.wav", "o.mp4", "--size", "320x240", "--fps", "5"}, dir.path(),
                {{"DISPLAY", ""}});
  // Seconds of work: only the second frame takes that long.
  ASSERT_TRUE(waitFor([&] { return !p.running() || cpuSeconds(p.pid()) > 2.0; }, 60)) << p.err();
  ASSERT_TRUE(p.running()) << p.err();
  kill(p.pid(), SIGTERM);
  EXPECT_TRUE(waitFor([&] { return p.err().find("stopping after this frame") != std::string::npos; }, 1.0))
      << p.err();
  kill(p.pid(), SIGKILL);
  p.wait(10);
  ASSERT_EQ(hiddenFiles(dir.path()).size(), 1u) << "SIGKILL leaves the hidden file";
  vt::copyShippedShaders(dir.path());
  const StudioRun next = studio(dir.path(), {"render", "song.wav", "o.mp4", "--size", "64x48", "-q"});
  EXPECT_EQ(next.status, 0) << next.err;
  EXPECT_TRUE(hiddenFiles(dir.path()).empty());
}

// Another render's file is never removed: one that appeared under OUTPUT
// while rendering is kept, and so is the new one, under a name of its own
// that no later render takes for a leftover.
TEST_F(Abuse, AKeptRenderIsNeverRemovedByALaterOne) {
  auto p = startLongRender("out.mp4");
  ASSERT_TRUE(p->running()) << p->err();
  vt::writeText(dir / "out.mp4", "theirs");
  kill(p->pid(), SIGINT);
  EXPECT_EQ(p->wait(60), 1) << p->err();
  EXPECT_NE(p->err().find("out (2).mp4"), std::string::npos) << p->err();
  EXPECT_EQ(vt::readText(dir / "out.mp4"), "theirs");
  const int kept = playableFrames(dir / "out (2).mp4");
  EXPECT_GT(kept, 0);
  const StudioRun next = studio(dir.path(), {"render", "song.wav", "out.mp4", "--size", "64x48", "--overwrite", "-q"});
  EXPECT_EQ(next.status, 0) << next.err;
  EXPECT_EQ(playableFrames(dir / "out (2).mp4"), kept);
  EXPECT_TRUE(hiddenFiles(dir.path()).empty());
}

// A render in another PID namespace (a container sharing the folder) names
// its hidden file with a pid that means nothing here; it holds the file's
// lock, and that is what keeps it.
TEST_F(Abuse, AHiddenFileWhoseWriterHoldsItsLockIsLeftAlone) {
  const pid_t child = fork();
  if (child == 0) {
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);  // its pid is now free: "gone" as seen from here
  const std::string hidden = dir / (".o.mp4.partial-" + std::to_string(child));
  vt::writeText(hidden, "another container's render");
  const int fd = open(hidden.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  const StudioRun held = studio(dir.path(), {"render", "song.wav", "o.mp4", "--size", "64x48", "--overwrite", "-q"});
  EXPECT_EQ(held.status, 0) << held.err;
  EXPECT_TRUE(fs::exists(hidden)) << "a locked file was removed";
  close(fd);  // its writer is gone now
  const StudioRun freed = studio(dir.path(), {"render", "song.wav", "o.mp4", "--size", "64x48", "--overwrite", "-q"});
  EXPECT_EQ(freed.status, 0) << freed.err;
  EXPECT_FALSE(fs::exists(hidden));
}

// Every file a run reads is protected as the song is, whatever the flags.
TEST_F(Abuse, NoInputIsEverAnOutput) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* input;
  };
  fs::copy_file(dir / "song.wav", dir / "font.mp4");
  vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=blue:size=32x32:d=1", "-frames:v", "1",
                 dir / "cover.png"});
  ASSERT_TRUE(fs::exists(dir / "cover.png"));
  vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=red:size=32x32:d=1", "-c:v", "libx264",
                 dir / "bg.mp4"});
  ASSERT_TRUE(fs::exists(dir / "bg.mp4"));
  vt::writeText(dir / "shader.png", "void mainImage(out vec4 c, in vec2 p) { c = vec4(1.0); }\n");
  vt::writeText(dir / "times.txt", "mine\n");
  const Case cases[] = {
      {"an image", {"render", "song.wav", "cover.png", "--image", "cover.png", "--overwrite"}, "cover.png"},
      {"a video as image", {"render", "song.wav", "bg.mp4", "--image", "bg.mp4", "--overwrite"}, "bg.mp4"},
      {"the font", {"render", "song.wav", "font.mp4", "--title", "x", "--font", "font.mp4", "--overwrite"}, "font.mp4"},
      {"a shader file", {"render", "song.wav", "shader.png", "--shaders", "shader.png", "--overwrite"}, "shader.png"},
      {"the pair", {"render", "song.wav", "Shaders/Quad.frag.glsl", "--overwrite"}, "Shaders/Quad.frag.glsl"},
      {"frame times over the song", {"play", "song.wav", "--frame-times", "song.wav", "--overwrite"}, "song.wav"},
      {"frame times over an image", {"play", "song.wav", "--image", "cover.png", "--frame-times", "cover.png"},
       "cover.png"},
      {"frame times over a file", {"play", "song.wav", "--frame-times", "times.txt"}, "times.txt"},
  };
  for (const Case& c : cases) {
    const std::string before = vt::readText(dir / c.input);
    const StudioRun run = studio(dir.path(), c.args, 30);
    EXPECT_EQ(run.status, 2) << c.name << "\n" << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.name << "\n" << run.err;
    EXPECT_EQ(vt::readText(dir / c.input), before) << c.name;
  }
  EXPECT_TRUE(hiddenFiles(dir.path()).empty());
}

// Where hard links fail (FAT, some shares) the file is renamed into place,
// still never over a file that is there.
TEST_F(Abuse, WithoutHardLinksTheFileIsRenamedIntoPlace) {
  const std::map<std::string, std::string> env = {{"DISPLAY", ""}, {"LD_PRELOAD", NO_LINKS_LIBRARY}};
  vt::Process made({vt::studioBinary(), "render", "song.wav", "o.mp4", "--size", "64x48", "--fps", "60", "-q"}, dir.path(), env);
  EXPECT_EQ(made.wait(120), 0) << made.err();
  EXPECT_EQ(playableFrames(dir / "o.mp4"), 180);
  vt::Process still({vt::studioBinary(), "render", "song.wav", "o.png", "--size", "64x48", "-q"}, dir.path(), env);
  EXPECT_EQ(still.wait(120), 0) << still.err();
  EXPECT_TRUE(fs::exists(dir / "o.png"));
  EXPECT_TRUE(hiddenFiles(dir.path()).empty());
}

// --verbose lets the libraries speak; without it they are quiet.
TEST_F(Abuse, VerboseShowsTheLibrariesOwnLines) {
  const StudioRun quiet = studio(dir.path(), {"render", "song.wav", "q.mp4", "--size", "64x48", "-q"});
  EXPECT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.err, "");
  const StudioRun loud = studio(dir.path(), {"render", "song.wav", "v.mp4", "--size", "64x48", "-q", "--verbose"});
  EXPECT_EQ(loud.status, 0) << loud.err;
  EXPECT_NE(loud.err.find("libx264"), std::string::npos) << loud.err;
}

TEST_F(Abuse, NamesThatAreLegalFilesRender) {
  fs::create_directories(dir / "pipe:x");
  const std::string longName = std::string(251, 'n') + ".mp4";
  for (const std::string& name : {std::string("10:30.mp4"), std::string("a:b.mp4"), std::string("intro:live.mkv"),
                                  std::string("pipe:x/o.mp4"), std::string("UP.MP4"), std::string("UP.MKV"),
                                  std::string("UP.MOV"), std::string("Still.PnG"), longName}) {
    const StudioRun run = studio(dir.path(), {"render", "song.wav", name, "--size", "64x48", "--to", "0.5", "-q"});
    EXPECT_EQ(run.status, 0) << name << "\n" << run.err;
    EXPECT_GT(playableFrames(dir / name), 0) << name;
  }
  EXPECT_TRUE(hiddenFiles(dir.path()).empty());
}

TEST_F(Abuse, OddRatesAndSamplesRenderInStepOrAreRefused) {
  struct Case {
    std::vector<std::string> args;
    int frames;  // video frames expected
  };
  const Case cases[] = {
      {{"--fps", "59.999999999"}, 180},
      {{"--fps", "239.999999999"}, 720},
      {{"--fps", "2.147483648"}, 7},
      {{"--fps", "1", "--to", "2.5"}, 3},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"render", "song.wav", "o.mkv", "--size", "64x48", "--overwrite", "-q"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const StudioRun run = studio(dir.path(), args);
    ASSERT_EQ(run.status, 0) << c.args[1] << "\n" << run.err;
    EXPECT_EQ(playableFrames(dir / "o.mkv"), c.frames) << c.args[1];
    // The video ends with the sound, never after it.
    const double video = std::stod(probe(dir / "o.mkv", "format=duration", "v:0"));
    const double span = c.args.size() > 2 ? 2.5 : 3.0;
    EXPECT_LE(video, span + 0.03) << c.args[1];
  }
  // Infinities and absurd values are clamped: the sound track is there.
  ASSERT_TRUE(vt::writeSound(dir / "inf.wav", 44100, 1, 44100, SF_FORMAT_WAV | SF_FORMAT_FLOAT, [](int64_t f, int) {
    return f == 100 ? INFINITY : f == 200 ? -INFINITY : f == 300 ? 1e30 : 0.3 * std::sin(f * 0.05);
  }));
  const StudioRun inf = studio(dir.path(), {"render", "inf.wav", "inf.mp4", "--size", "64x48", "-q"});
  EXPECT_EQ(inf.status, 0) << inf.err;
  EXPECT_EQ(probe(dir / "inf.mp4", "stream=codec_name", "a:0"), "aac\n");
}

TEST_F(Abuse, EveryRefusalIsOneClearLineWithItsStatus) {
  const std::vector<vt::Refusal> cases = {
      {{"bogus"}, 2, "unknown command \"bogus\"; the commands are render, play, pictures, join and serve"},
      {{"render", "song.wav", "o.mp4", "--fps", "0.000000001"}, 2, "--fps"},
      {{"render", "slow.wav", "o.mp4"}, 1, "8000 Hz"},
      {{"render", "folder", "o.mp4"}, 1, "is a directory"},
      {{"render", "fifo", "o.mp4"}, 1, "not a regular file"},
      {{"render", "/dev/stdin", "o.mp4"}, 1, "not a regular file"},
      {{"render", "song.wav", "o.mp4", "--shaders", "DirPair"}, 1, "is a directory"},
      {{"render", "song.wav", "o.mp4", "--shaders", "Nowhere"}, 1, "No such file or directory"},
      {{"render", "song.wav", "o.mp4", "--shaders", "Huge"}, 1, "larger than 1 MB"},
      {{"render", "song.wav", "dangling.mp4"}, 2, "exists"},
      {{"render", "song.wav", "o.mp4", "--from", "3.5"}, 2, "(3 s)"},
      {{"play", "song.wav", "--latency", "nan"}, 2, "--latency"},
      {{"play", "song.wav", "--capture"}, 2, "not both"},
      {{"render", "song.wav", "o.png", "--codec", "vp9"}, 2, "--codec is for videos"},
      {{"render", "song.wav", "o.mp4", "--preset", "quick"}, 2, "veryfast"},
      {{"render", "song.wav", "o.webm", "--preset", "fast"}, 2, "0 (slowest, best) to 8"},
      {{"render", "song.wav", "o.webm", "--preset", "99"}, 2, "0 (slowest, best) to 8"},
      {{"render", "song.wav", "o.mkv", "--codec", "av1", "--preset", "veryfast"}, 2,
       "0 (slowest, best) to 13"},
      {{"render", "song.wav", "o.mkv", "--codec", "av1", "--preset", "-1"}, 2, "to 13"},
      {{"render", "song.wav", "o.mov", "--codec", "prores", "--preset", "fast"}, 2,
       "no speed presets"},
      {{"render", "song.wav", "o.mkv", "--codec", "av1", "--crf", "0"}, 2, "lossless"},
      {{"render", "song.wav", "o.mp4", "--crf", "1.5"}, 2, "whole number"},
      {{"render", "song.wav", "o.mp4", "--crf", "60"}, 2, "0 (lossless) to 51"},
      {{"render", "song.wav", "folder", "--overwrite"}, 2, "is a folder"},
      {{"render", "song.wav", "o.mp4", "--fade-in", "2", "--fade-out", "2"}, 2,
       "longer than what is rendered"},
      {{"render", "song.wav", "o.mp4", "--to", "1", "--fade-out", "1.5"}, 2,
       "longer than what is rendered"},
      {{"render", "song.wav", "o.mp4", "--title-at", "left"}, 2, "vrax-studio: "},
      {{"render", "song.wav", "o.mp4", "--size", "16x16", "--title", "Supercalifragilistic"},
       2, "does not fit"},
  };
  ASSERT_TRUE(vt::writeSound(dir / "slow.wav", 10, 1, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t, int) { return 0.5; }));
  fs::create_directories(dir / "folder");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  fs::create_directories(dir / "DirPair/Quad.frag.glsl");
  vt::writeText(dir / "DirPair/Quad.vert.glsl", vt::kPlainVertexShader);
  fs::create_directories(dir / "Huge");
  vt::writeText(dir / "Huge/Quad.vert.glsl", vt::kPlainVertexShader);
  vt::writeText(dir / "Huge/Quad.frag.glsl", vt::fragmentShader(std::string(3 << 20, ' ') + "FragColor = vec4(1);"));
  fs::create_symlink("nowhere.mp4", dir / "dangling.mp4");
  vt::expectRefusals(dir.path(), {}, cases, "o.mp4");
  EXPECT_TRUE(fs::is_symlink(dir / "dangling.mp4"));
  EXPECT_TRUE(hiddenFiles(dir.path()).empty());
}

TEST_F(Abuse, StartsInTheLastFrameAreAccepted) {
  const StudioRun run = studio(dir.path(), {"render", "song.wav", "end.png", "--from", "2.9999", "--size", "64x48"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fs::exists(dir / "end.png"));
}

// Run from its build tree in any folder, the program finds the tree's pair;
// a copy with no pair anywhere says where it looked.
TEST_F(Abuse, TheShippedPairIsFoundFromAnyFolderOrTheSearchIsNamed) {
  vt::TempDir elsewhere;
  fs::copy_file(dir / "song.wav", elsewhere / "song.wav");
  const StudioRun found = studio(elsewhere.path(), {"render", "song.wav", "o.png", "--size", "64x48", "-q"});
  EXPECT_EQ(found.status, 0) << found.err;
  fs::copy_file(vt::studioBinary(), elsewhere / "vrax-studio");
  const StudioRun lost =
      studio(elsewhere.path(), {"render", "song.wav", "p.png", "--size", "64x48", "-q"}, 60, elsewhere / "vrax-studio");
  EXPECT_EQ(lost.status, 1) << lost.err;
  EXPECT_NE(lost.err.find("looked in"), std::string::npos) << lost.err;
  EXPECT_NE(lost.err.find("--shaders"), std::string::npos) << lost.err;
}

}  // namespace
