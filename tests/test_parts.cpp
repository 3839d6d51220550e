// One render split into parts and joined: the joined file against the
// whole render of the same song, decoded frame by frame (framemd5) and its
// sound sample by sample; bad sets of parts refused with nothing written;
// the parts made by GNU parallel on this machine and over ssh (a server
// started here on 127.0.0.1, so the files really travel).
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support.h"

namespace fs = std::filesystem;
using namespace vt;

namespace {

// The decoded frames' checksums, one a line, without the header.
std::string frames(const std::string& file, const char* stream = "0:v") {
  const std::string all =
      runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", file, "-map", stream, "-f", "framemd5", "-"});
  std::string out;
  size_t at = 0;
  while (at < all.size()) {
    const size_t end = std::min(all.find('\n', at), all.size());
    if (all[at] != '#') {
      out += all.substr(at, end - at) + "\n";
    }
    at = end + 1;
  }
  return out;
}

int sh(const std::string& dir, const std::string& command, std::string* err = nullptr, double seconds = 240) {
  Process p({"/bin/sh", "-c", command}, dir);
  const int status = p.wait(seconds);
  if (err != nullptr) {
    *err = p.out() + p.err();
  }
  return status;
}

// A song whose picture changes every moment: a tone gliding over bursts.
void writeSong(const std::string& path, int seconds) {
  ASSERT_TRUE(writeSound(path, 44100 * seconds, 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16, [](int64_t f, int c) {
    const double t = static_cast<double>(f) / 44100;
    const double noise = std::sin(static_cast<double>(f) * 12.9898 + c) * 43758.5453;
    return 0.3 * std::sin(2 * M_PI * (200 + 150 * std::sin(0.9 * t)) * t) +
           (std::fmod(t * 2.3, 1.0) < 0.2 ? 0.3 : 0.0) * (noise - std::floor(noise) - 0.5);
  }));
}

}  // namespace

// Lossless parts joined in a shuffled order are the whole render: every
// decoded frame and the sound the same, for a picture without state, one
// with a trail (scope), one drawn from the bands' history (waterfall), a
// feedback export (the trail example: its ten seconds drawn before each
// part), with a late start and fades.
TEST(Parts, JoinedPartsAreTheWholeRender) {
  TempDir dir;
  writeSong(dir / "song.wav", 9);
  struct Case {
    std::vector<std::string> picture;
    const char* extension;
  };
  const Case cases[] = {
      {{"--picture", "bars"}, "mkv"},
      {{"--picture", "scope"}, "mp4"},
      {{"--picture", "waterfall"}, "webm"},
      {{"--shaders", sourceDir() + "/examples/shadertoy/trail"}, "mkv"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.picture.back());
    const std::string ext = c.extension;
    // The flash guard off: it eases against the second before, which a part
    // does not see (its first frames may then differ from the whole's).
    std::vector<std::string> common = {"--size", "128x72", "--fps", "30", "--crf", "0", "--from", "2", "--to",
                                       "8", "--fade-in", "1", "--fade-out", "1", "-q", "--overwrite",
                                       "--flash-guard", "off"};
    common.insert(common.end(), c.picture.begin(), c.picture.end());
    std::vector<std::string> whole = {"render", "song.wav", "whole." + ext};
    whole.insert(whole.end(), common.begin(), common.end());
    StudioRun run = studio(dir.path(), whole);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> join = {"join", "joined." + ext, "--overwrite", "-q"};
    for (const int k : {3, 1, 2}) {
      const std::string part = "part" + std::to_string(k) + "." + ext;
      std::vector<std::string> args = {"render", "song.wav", part, "--part", std::to_string(k) + "/3"};
      args.insert(args.end(), common.begin(), common.end());
      run = studio(dir.path(), args);
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(probe(dir / part, "stream=codec_type", "a"), "") << "a part holds no sound";
      join.push_back(part);
    }
    run = studio(dir.path(), join);
    ASSERT_EQ(run.status, 0) << run.err;
    // The sound as its own part: join copies it instead of encoding the song.
    std::vector<std::string> sound = {"render", "song.wav", "sound." + ext, "--part", "sound"};
    sound.insert(sound.end(), common.begin(), common.end());
    run = studio(dir.path(), sound);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(probe(dir / ("sound." + ext), "stream=codec_type", "v"), "") << "the sound part holds no pictures";
    join[1] = "copied." + ext;
    join.push_back("sound." + ext);
    run = studio(dir.path(), join);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string a = frames(dir / ("whole." + ext));
    EXPECT_EQ(std::count(a.begin(), a.end(), '\n'), 180);
    for (const std::string& joined : {"joined." + ext, "copied." + ext}) {
      EXPECT_EQ(a, frames(dir / joined)) << joined;
      EXPECT_EQ(frames(dir / ("whole." + ext), "0:a"), frames(dir / joined, "0:a")) << joined;
    }
  }
}

// Parts at the default quality (lossy, B-frames) join in every container
// render writes parts in, with the song encoded by join or copied from a
// sound part; the joined file holds every frame, as ffprobe counts them.
TEST(Parts, DefaultPartsJoinInEveryContainer) {
  TempDir dir;
  writeSong(dir / "song.wav", 3);
  for (const std::string ext : {"mkv", "mp4", "webm", "mov"}) {
    SCOPED_TRACE(ext);
    const std::vector<std::string> common = {"--to", "2", "--size", "160x90", "--picture", "bars", "-q", "--overwrite"};
    std::vector<std::string> join = {"join", "joined." + ext, "--overwrite", "-q"};
    for (const std::string part : {"1/2", "2/2", "sound"}) {
      const std::string name = "part" + std::string(1, part[0]) + "." + ext;
      std::vector<std::string> args = {"render", "song.wav", name, "--part", part};
      args.insert(args.end(), common.begin(), common.end());
      const StudioRun run = studio(dir.path(), args);
      ASSERT_EQ(run.status, 0) << run.err;
      if (part != "sound") {
        join.push_back(name);
      }
    }
    StudioRun run = studio(dir.path(), join);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(probe(dir / ("joined." + ext), "stream=nb_read_frames"), "120\n");  // 2 s at 60 fps
    join[1] = "copied." + ext;
    join.push_back("parts." + ext);
    run = studio(dir.path(), join);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(probe(dir / ("copied." + ext), "stream=nb_read_frames"), "120\n");
    EXPECT_NE(probe(dir / ("copied." + ext), "stream=codec_type", "a"), "") << "the sound copied";
  }
}

// join --verbose says what each part is: its frames of the whole (2 s at
// 60 fps: 120, halved), its size, and the sound part as the sound.
TEST(Parts, JoinVerboseSaysWhatEachPartIs) {
  TempDir dir;
  writeSong(dir / "song.wav", 3);
  for (const std::string part : {"1/2", "2/2", "sound"}) {
    const StudioRun run = studio(dir.path(), {"render", "song.wav", "p" + std::string(1, part[0]) + ".mkv", "--part",
                                              part, "--to", "2", "--size", "160x90", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
  }
  const StudioRun run = studio(dir.path(), {"join", "joined.mkv", "p2.mkv", "ps.mkv", "p1.mkv", "--verbose"});
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* said : {"join: p1.mkv: part 1/2, frames 0 to 59 of 120 at 60/1 fps, 160x90, 60 pictures",
                           "join: p2.mkv: part 2/2, frames 60 to 119 of 120 at 60/1 fps, 160x90, 60 pictures",
                           "join: ps.mkv: the sound part, frames 0 to 88200 of the song at 44100 Hz"}) {
    EXPECT_NE(run.err.find(said), std::string::npos) << said << "\n" << run.err;
  }
}

// What join refuses, in one line naming the part, with exit 2 and no file;
// and the part options render refuses.
TEST(Parts, BadSetsOfPartsAreRefusedAndNothingIsWritten) {
  TempDir dir;
  writeSong(dir / "song.wav", 4);
  writeSong(dir / "other.wav", 4);
  const std::vector<std::string> common = {"--picture", "bars", "--fps", "30", "-q"};
  const auto render = [&](const std::string& song, const std::string& out, std::vector<std::string> extra) {
    std::vector<std::string> args = {"render", song, out};
    args.insert(args.end(), common.begin(), common.end());
    args.insert(args.end(), extra.begin(), extra.end());
    if (std::find(extra.begin(), extra.end(), "--size") == extra.end()) {
      args.insert(args.end(), {"--size", "96x64"});
    }
    const StudioRun run = studio(dir.path(), args);
    ASSERT_EQ(run.status, 0) << run.err;
  };
  for (const char* k : {"1", "2", "3"}) {
    render("song.wav", std::string("p") + k + ".mkv", {"--part", std::string(k) + "/3"});
  }
  render("song.wav", "big2.mkv", {"--part", "2/3", "--size", "128x64"});
  render("other.wav", "other2.mkv", {"--part", "2/3"});
  render("song.wav", "whole.mkv", {});
  render("song.wav", "f0-59.mkv", {"--frames", "0-59"});
  // A picture's shader edited between two parts: the same options, another picture.
  fs::copy(sourceDir() + "/pictures/bars", dir / "mine", fs::copy_options::recursive);
  const auto renderMine = [&](const std::string& out, const std::string& part) {
    const StudioRun run = studio(dir.path(), {"render", "song.wav", out, "--shaders", "mine", "--fps", "30", "-q",
                                              "--size", "96x64", "--part", part});
    ASSERT_EQ(run.status, 0) << run.err;
  };
  renderMine("mine1.mkv", "1/3");
  renderMine("mine3.mkv", "3/3");
  for (const auto& entry : fs::directory_iterator(dir / "mine")) {
    if (entry.path().extension() == ".glsl") {
      writeText(entry.path(), readText(entry.path()) + "\n// edited\n");
    }
  }
  renderMine("edited2.mkv", "2/3");
  // One render's parts with a black plate behind the title, one with a red
  // one; one drawn after a longer preroll.
  for (const char* k : {"1", "2", "3"}) {
    render("song.wav", std::string("plate") + k + ".mkv",
           {"--part", std::string(k) + "/3", "--title", "T", "--title-plate", "black@0.6"});
  }
  render("song.wav", "redplate2.mkv", {"--part", "2/3", "--title", "T", "--title-plate", "red@0.6"});
  render("song.wav", "preroll2.mkv", {"--part", "2/3", "--preroll", "3"});
  render("song.wav", "s1.mkv", {"--part", "sound"});
  render("other.wav", "other-sound.mkv", {"--part", "sound"});
  // The last second of part 3 cut off, its record kept; the sound's likewise.
  ASSERT_EQ(sh(dir.path(), "ffmpeg -v error -i p3.mkv -t 0.5 -c copy -map_metadata 0 short3.mkv && "
                           "ffmpeg -v error -i s1.mkv -t 2 -c copy -map_metadata 0 short-sound.mkv && "
                           "cp s1.mkv s2.mkv"),
            0);

  expectRefusals(dir.path(), {"join", "out.mkv"},
                 {
                     {{"p1.mkv", "p3.mkv"}, 2, "are in none of the parts"},
                     {{"p1.mkv", "p2.mkv", "p2.mkv", "p3.mkv"}, 2, "which p2.mkv holds too"},
                     {{"p1.mkv", "f0-59.mkv", "p2.mkv", "p3.mkv"}, 2, "holds too"},
                     {{"p1.mkv", "big2.mkv", "p3.mkv"}, 2, "big2.mkv is a part of another render"},
                     {{"p1.mkv", "other2.mkv", "p3.mkv"}, 2, "other2.mkv is a part of another render"},
                     {{"p1.mkv", "p2.mkv", "short3.mkv"}, 2, "short3.mkv is cut short"},
                     {{"p1.mkv", "whole.mkv"}, 2, "whole.mkv: not a part of a render"},
                     {{"p1.mkv", "missing.mkv"}, 2, "missing.mkv"},
                     {{"p1.mkv", "p2.mp4"}, 2, "is not a matroska part"},
                     {{"p1.mkv", "p2.mkv", "p3.mkv", "s1.mkv", "s2.mkv"}, 2, "are both the sound of the render"},
                     {{"p1.mkv", "p2.mkv", "p3.mkv", "other-sound.mkv"}, 2, "other-sound.mkv is a part of another render"},
                     {{"p1.mkv", "p2.mkv", "p3.mkv", "short-sound.mkv"}, 2, "short-sound.mkv is cut short"},
                     {{"s1.mkv"}, 2, "frames 0-"},
                     {{"mine1.mkv", "edited2.mkv", "mine3.mkv"}, 2, "edited2.mkv is a part of another render"},
                     {{"plate1.mkv", "redplate2.mkv", "plate3.mkv"}, 2, "redplate2.mkv is a part of another render"},
                     {{"p1.mkv", "preroll2.mkv", "p3.mkv"}, 2, "preroll2.mkv is a part of another render"},
                 },
                 "out.mkv");
  // A record edited to claim what render never writes is refused before
  // any of it sizes a buffer or a loop (each edit by its own rule).
  const std::string record = runOutput({"/usr/bin/ffprobe", "-v", "error", "-show_entries", "format_tags=comment",
                                        "-of", "default=nw=1:nk=1", dir / "p2.mkv"});
  ASSERT_NE(record.find("\"channels\":2"), std::string::npos) << record;
  const auto tampered = [&](const std::string& name, const std::string& pattern, const std::string& with) {
    const std::string text = std::regex_replace(record.substr(0, record.find_last_not_of('\n') + 1),
                                                std::regex(pattern), with, std::regex_constants::format_first_only);
    ASSERT_NE(text, record) << pattern;
    int status = -1;
    runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / "p2.mkv", "-c", "copy", "-map_metadata", "0",
               "-metadata", "comment=" + text, dir / name},
              &status);
    ASSERT_EQ(status, 0);
  };
  tampered("channels2.mkv", R"("channels":2)", R"("channels":100000000)");
  tampered("fps2.mkv", R"("fps":\[30,1\])", R"("fps":[4294967296,1])");
  tampered("span2.mkv", R"("frames":120)", R"("frames":10000000000)");
  tampered("start2.mkv", R"("whole":\[0,)", R"("whole":[-30,)");
  tampered("rate2.mkv", R"("rate":44100)", R"("rate":1)");
  // Encoded again at another size, its record kept.
  ASSERT_EQ(sh(dir.path(), "ffmpeg -v error -i p2.mkv -vf scale=64:32 -map_metadata 0 small2.mkv && mkfifo fifo2.mkv"), 0);
  std::vector<Refusal> edited;
  for (const char* name : {"channels2.mkv", "fps2.mkv", "span2.mkv", "start2.mkv", "rate2.mkv"}) {
    edited.push_back({{"p1.mkv", name, "p3.mkv"}, 2, std::string(name) + ": its part record is damaged"});
  }
  edited.push_back({{"p1.mkv", "small2.mkv", "p3.mkv"}, 2, "small2.mkv holds pictures of 64x32, not the 96x64"});
  edited.push_back({{"p1.mkv", "fifo2.mkv", "p3.mkv"}, 2, "fifo2.mkv is a pipe (FIFO), not a part"});
  expectRefusals(dir.path(), {"join", "out.mkv"}, edited, "out.mkv");

  // A part's name with a newline in it stays within the one line.
  {
    const StudioRun run = studio(dir.path(), {"join", "out.mkv", "p1.mkv", "gone\nvrax-studio: all is well.mkv"});
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }

  // Nothing join reads is what it writes, --overwrite or not.
  const std::string before = frames(dir / "p1.mkv");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"join", "p1.mkv", "p1.mkv", "p2.mkv", "p3.mkv", "--overwrite"},
        {"join", "s1.mkv", "p1.mkv", "p2.mkv", "p3.mkv", "s1.mkv", "--overwrite"}}) {
    const StudioRun run = studio(dir.path(), args);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find("is one of the parts"), std::string::npos) << run.err;
  }
  EXPECT_EQ(frames(dir / "p1.mkv"), before);
  EXPECT_EQ(frames(dir / "s1.mkv", "0:a"), frames(dir / "s2.mkv", "0:a"));

  // The song changed since the parts were made, to the same size: noticed.
  {
    std::string song = readText(dir / "song.wav");
    for (size_t i = song.size() / 2; i < song.size() / 2 + 4000; ++i) {
      song[i] = static_cast<char>(~song[i]);
    }
    writeText(dir / "song.wav", song);
  }
  expectRefusals(dir.path(), {"join", "out.mkv"}, {{{"p1.mkv", "p2.mkv", "p3.mkv"}, 2, "has changed since"}}, "out.mkv");

  expectRefusals(dir.path(), {"render", "song.wav"},
                 {
                     {{"o.mkv", "--part", "0/3"}, 2, "--part must be K/N"},
                     {{"o.mkv", "--part", "4/3"}, 2, "--part must be K/N"},
                     {{"o.mkv", "--part", "one/3"}, 2, "--part must be K/N"},
                     {{"o.mkv", "--frames", "9-3"}, 2, "--frames must be A-B"},
                     {{"o.mkv", "--frames", "0-9223372036854775807"}, 2, "--frames must be A-B"},
                     {{"o.mkv", "--frames", "99999999999999999999-3"}, 2, "--frames must be A-B"},
                     // An empty value (a shell variable never set) is never the default quietly taken.
                     {{"o.mkv", "--part", ""}, 2, "--part was given an empty value"},
                     {{"o.mkv", "--frames", ""}, 2, "--frames was given an empty value"},
                     {{"o.mkv", "--size", ""}, 2, "--size was given an empty value"},
                     {{"o.mkv", "--codec", ""}, 2, "--codec was given an empty value"},
                     {{"o.mkv", "--lyrics", ""}, 2, "--lyrics was given an empty value"},
                     {{"o.mkv", "--part", "1/2", "--frames", "0-9"}, 2, "either --part or --frames"},
                     {{"o.png", "--part", "1/2"}, 2, "not a still"},
                     {{"o.png", "--part", "sound"}, 2, "not a still"},
                     {{"o.mkv", "--part", "1/500"}, 2, "too few for 500 parts"},
                     // 4 s at the 60 frames a second a render without --fps is given here.
                     {{"o.mkv", "--frames", "900-999"}, 2, "the video has frames 0-239"},
                 },
                 "o.mkv");
}

// The README's recipes, run: parts by GNU parallel on this machine's two
// cores, a video for each song of an album, then parts over ssh to two "machines" (two logins to an ssh server
// started here on 127.0.0.1 with throwaway keys): the song sent with
// --transferfile, each part returned with --return, the remote copies
// removed with --cleanup. Both joins equal the whole render.
TEST(Parts, GnuParallelMakesThePartsHereAndOverSsh) {
  TempDir dir;
  writeSong(dir / "song.wav", 6);
  const std::string studioPath = studioBinary();
  const std::string common = " --picture ring --size 160x96 --fps 30 --crf 0 -q --overwrite";
  std::string said;
  ASSERT_EQ(sh(dir.path(), "'" + studioPath + "' render song.wav whole.mkv" + common, &said), 0) << said;
  const std::string expected = frames(dir / "whole.mkv");

  // The sound part as one more job; its name from {= s:/.*:: =} too.
  ASSERT_EQ(sh(dir.path(), "parallel --will-cite -j 2 '" + studioPath + "' render song.wav 'here{= s:/.*:: =}.mkv' --part {}" +
                               common + " ::: 1/4 2/4 3/4 4/4 sound && '" + studioPath + "' join here.mkv here*.mkv -q",
               &said),
            0)
      << said;
  EXPECT_TRUE(fs::exists(dir / "heresound.mkv"));
  EXPECT_EQ(frames(dir / "here.mkv"), expected);
  EXPECT_EQ(frames(dir / "here.mkv", "0:a"), frames(dir / "whole.mkv", "0:a"));

  // One video per song of an album.
  writeSong(dir / "first.wav", 2);
  writeSong(dir / "second.wav", 3);
  ASSERT_EQ(sh(dir.path(), "parallel --will-cite '" + studioPath + "' render {} {.}.mp4 --size 160x96 -q ::: first.wav "
                           "second.wav",
               &said),
            0)
      << said;
  EXPECT_EQ(probe(dir / "first.mp4", "stream=nb_read_frames"), "60\n");
  EXPECT_EQ(probe(dir / "second.mp4", "stream=nb_read_frames"), "90\n");

  // The server: its own host key, one user key, loopback only.
  const int port = freePort(SOCK_STREAM);
  const std::string config = "Port " + std::to_string(port) +
                             "\nListenAddress 127.0.0.1\nHostKey " + dir / "host" + "\nAuthorizedKeysFile " +
                             dir / "authorized" + "\nPidFile " + dir / "sshd.pid" +
                             "\nStrictModes no\nUsePAM no\nPasswordAuthentication no\nPermitRootLogin "
                             "prohibit-password\nSubsystem sftp internal-sftp\n";
  writeText(dir / "sshd_config", config);
  ASSERT_EQ(sh(dir.path(), "mkdir -p /run/sshd && ssh-keygen -q -t ed25519 -N '' -f host && "
                           "ssh-keygen -q -t ed25519 -N '' -f user && cp user.pub authorized",
               &said),
            0)
      << said;
  Process server({"/usr/sbin/sshd", "-D", "-e", "-f", dir / "sshd_config"}, dir.path());
  ASSERT_TRUE(listening(port, false, 10)) << server.err();
  const std::string ssh = "ssh -p " + std::to_string(port) + " -i " + dir / "user" +
                          " -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR";
  // A login starts with a fresh environment: the sanitizers' settings of a
  // checked build are passed on with the command.
  std::string remote = "'" + studioPath + "'";
  for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) {
      remote = std::string(name) + "='" + value + "' " + remote;
    }
  }
  // Two logins: one as 127.0.0.1, one as localhost; each takes one job at a time.
  writeText(dir / "machines", "1/" + ssh + " root@127.0.0.1\n1/" + ssh + " root@localhost\n");
  ASSERT_EQ(sh(dir.path(), "parallel --will-cite --sshloginfile machines --workdir ... --transferfile song.wav --return "
                           "there{}.mkv --cleanup " + remote + " render song.wav there{}.mkv --part {}/4" +
                               common + " ::: 1 2 3 4 && '" + studioPath + "' join there.mkv there*.mkv -q",
               &said, 300),
            0)
      << said << server.err();
  EXPECT_EQ(frames(dir / "there.mkv"), expected);
  EXPECT_TRUE(fs::exists(dir / "there1.mkv")) << "a part was not returned";
  kill(server.pid(), SIGTERM);
  server.wait(10);
}
