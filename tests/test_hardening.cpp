// vrax-studio under the third round of abuse, end to end with the built
// program: exports of the wrong shape, files that are not files where text
// or a target belongs, inputs named indirectly (cubemap faces), playlists in
// a picture's clothes, a file-size limit, and finished work that finds its
// name taken. Each either works or is refused in one line with its status,
// within seconds, and nothing the run reads or finished is lost.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <future>
#include <thread>
#include <sstream>

#include "base/interrupt.h"
#include "base/runContext.h"
#include "glCall.h"
#include "picture/glErrors.h"
#include "picture/offscreen.h"
#include "support.h"
#include "video/pendingFile.h"

namespace {

namespace fs = std::filesystem;

const char* const kToy = "void mainImage(out vec4 fragColor, in vec2 fragCoord) { fragColor = vec4(1.0, 0.5, 0.0, 1.0); }\n";

// A small PNG of one colour, made by ffmpeg.
void writePng(const std::string& path, const std::string& colour = "red") {
  int status = 0;
  vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "color=" + colour + ":s=8x8", "-frames:v",
                 "1", path},
                &status);
  ASSERT_EQ(status, 0) << path;
}

// Standard error has exactly one line and it says `says`.
void expectOneLine(const vt::StudioRun& run, const std::string& says, const std::string& called) {
  EXPECT_NE(run.err.find(says), std::string::npos) << called << "\n" << run.err;
  EXPECT_EQ(vt::countOccurrences(run.err, "\n"), 1u) << called << "\n" << run.err;
}

class Hardening : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100 / 2, 2, 44100));
    vt::writeText(dir / "toy.glsl", kToy);
  }
  vt::StudioRun render(std::vector<std::string> args, double seconds = 60) {
    args.insert(args.begin(), "render");
    args.insert(args.end(), {"--size", "64x48"});
    return vt::studio(dir.path(), args, seconds);
  }
  vt::TempDir dir;
};

// Every read of the export checks the type it reads: none of these may abort
// (exit 134) or pass; each is refused in one line and nothing is written.
TEST_F(Hardening, ExportsOfTheWrongShapeAreRefusedInOneLine) {
  const std::string image = R"({"type":"image","name":"Image","inputs":[],"code":"void mainImage(out vec4 c, in vec2 p){c=vec4(1);}"})";
  auto buffer = [](const std::string& outputs) {
    return R"({"type":"buffer","name":"","inputs":[],"outputs":)" + outputs +
           R"(,"code":"void mainImage(out vec4 c, in vec2 p){c=vec4(1);}"})";
  };
  auto exported = [&](const std::string& passes) { return R"({"Shader":{"renderpass":[)" + passes + "]}}"; };
  auto imageReading = [](const std::string& channel) {
    return R"({"type":"image","name":"Image","outputs":[],"inputs":[{"channel":)" + channel +
           R"(,"ctype":"music"}],"code":"void mainImage(out vec4 c, in vec2 p){c=vec4(1);}"})";
  };
  const std::string bigCode(1200 * 1024, ' ');
  const struct {
    std::string json;
    std::string says;
  } cases[] = {
      {exported(buffer("[1]") + "," + image), "is not one this program knows"},
      {exported(buffer(R"(["x"])") + "," + image), "is not one this program knows"},
      {exported(buffer("[null]") + "," + image), "is not one this program knows"},
      {exported(buffer("[[1]]") + "," + image), "is not one this program knows"},
      {exported(buffer("[true]") + "," + image), "is not one this program knows"},
      {R"([{"renderpass":[)" + buffer("[1]") + "," + image + "]}]", "is not one this program knows"},
      {exported(imageReading("4294967296")), "reads channel 4294967296; channels are 0 to 3"},
      {exported(imageReading(R"("0")")), "reads channel \"0\"; channels are 0 to 3"},
      {exported(imageReading("-1")), "reads channel -1; channels are 0 to 3"},
      {exported(imageReading("1.5")), "reads channel 1.5; channels are 0 to 3"},
      {exported(R"({"type":"image","inputs":[],"code":")" + bigCode + R"("})"), "larger than 1 MB"},
      {exported(R"({"type":"image","inputs":[],"code":"void mainImage(out vec4 c, in vec2 p){c=vec4(1);}\u0000"})"),
       "holds a NUL byte"},
  };
  for (const auto& c : cases) {
    vt::writeText(dir / "x.json", c.json);
    const vt::StudioRun run = render({"song.wav", "out.png", "--shaders", "x.json"});
    EXPECT_EQ(run.status, 1) << c.json.substr(0, 200) << "\n" << run.err;
    expectOneLine(run, c.says, c.json.substr(0, 200));
    EXPECT_FALSE(fs::exists(dir / "out.png"));
  }
}

// Thousands of the same note come out as one line with a count, and a name
// of megabytes is cut.
TEST_F(Hardening, RepeatedNotesAreCountedAndLongNamesCut) {
  std::string passes = R"({"type":"image","inputs":[],"code":"void mainImage(out vec4 c, in vec2 p){c=vec4(1);}"})";
  for (int i = 0; i < 5000; ++i) {
    passes += R"(,{"type":"sound","inputs":[],"code":""})";
  }
  vt::writeText(dir / "x.json", R"({"Shader":{"renderpass":[)" + passes + "]}}");
  vt::StudioRun run = render({"song.wav", "out.png", "--shaders", "x.json"});
  EXPECT_EQ(run.status, 0) << run.err.substr(0, 2000);
  EXPECT_EQ(vt::countOccurrences(run.err, "Sound pass is left out"), 1u) << run.err.substr(0, 2000);
  EXPECT_NE(run.err.find("(5000 times)"), std::string::npos) << run.err.substr(0, 2000);

  const std::string longName(3 << 20, 'n');
  vt::writeText(dir / "y.json", R"({"Shader":{"renderpass":[{"type":"weird","name":")" + longName + R"(","code":""}]}})");
  run = render({"song.wav", "out2.png", "--shaders", "y.json"});
  EXPECT_EQ(run.status, 1);
  EXPECT_LT(run.err.size(), 400u) << run.err.substr(0, 400);
}

// A cubemap named by its folder reads six files: each is protected as the
// run's input, whether named on the command line or in channels.txt.
TEST_F(Hardening, CubemapFacesAreInputs) {
  fs::create_directory(dir / "cube");
  for (const char* face : {"px", "nx", "py", "ny", "pz", "nz"}) {
    writePng(dir / ("cube/" + std::string(face) + ".png"));
  }
  const std::string before = vt::readText(dir / "cube/px.png");
  vt::writeText(dir / "sky.glsl",
                "void mainImage(out vec4 fragColor, in vec2 fragCoord) { fragColor = texture(iChannel1, vec3(1, 0, 0)); }\n");
  fs::create_directory(dir / "passes");
  vt::writeText(dir / "passes/image.glsl",
                "void mainImage(out vec4 fragColor, in vec2 fragCoord) { fragColor = texture(iChannel0, vec3(1, 0, 0)); }\n");
  vt::writeText(dir / "passes/channels.txt", "image: 0=cubemap:" + (dir / "cube") + "\n");
  const struct {
    std::vector<std::string> args;
  } cases[] = {
      {{"render", "song.wav", "cube/px.png", "--shaders", "sky.glsl", "--channel", "1=cubemap:cube", "--overwrite",
        "--size", "64x48"}},
      {{"render", "song.wav", "cube/px.png", "--shaders", "passes", "--overwrite", "--size", "64x48"}},
      {{"play", "song.wav", "--shaders", "passes", "--frame-times", "cube/px.png", "--overwrite"}},
  };
  for (const auto& c : cases) {
    const vt::StudioRun run = vt::studio(dir.path(), c.args, 60);
    EXPECT_EQ(run.status, 2) << c.args[0] << " " << c.args[3] << "\n" << run.err;
    EXPECT_NE(run.err.find("reads; choose another"), std::string::npos) << run.err;
    EXPECT_EQ(vt::readText(dir / "cube/px.png"), before);
  }
  // And the cubemap itself is drawn: +X of a red cube is red.
  const vt::StudioRun drawn = render({"song.wav", "sky.png", "--shaders", "sky.glsl", "--channel", "1=cubemap:cube"});
  ASSERT_EQ(drawn.status, 0) << drawn.err;
  const std::string rgb = vt::frameRgb(dir / "sky.png");
  ASSERT_EQ(rgb.size(), 64u * 48 * 3);
  EXPECT_GT(static_cast<unsigned char>(rgb[0]), 240);
  EXPECT_LT(static_cast<unsigned char>(rgb[1]), 15);
}

// A target that is a device, a pipe or a folder is never replaced, with or
// without --overwrite; a target whose folder is missing is refused before
// anything is done, not after the run.
TEST_F(Hardening, OnlyFilesAreTargetsAndTheirFolderMustBeThere) {
  ASSERT_EQ(mkfifo((dir / "pipe.mp4").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo((dir / "pipe.txt").c_str(), 0644), 0);
  const std::vector<vt::Refusal> cases = {
      {{"render", "song.wav", "/dev/full", "--overwrite"}, 2, "is a character device"},
      {{"render", "song.wav", "/dev/null"}, 2, "is a character device"},
      {{"render", "song.wav", "pipe.mp4", "--overwrite"}, 2, "is a pipe (FIFO)"},
      {{"render", "song.wav", "nodir/out.mp4"}, 2, "folder nodir does not exist"},
      {{"render", "song.wav", "toy.glsl/out.mp4"}, 2, "toy.glsl is not a folder"},
      {{"play", "song.wav", "--frame-times", "/dev/full", "--overwrite"}, 2, "is a character device"},
      {{"play", "song.wav", "--frame-times", "pipe.txt", "--overwrite"}, 2, "is a pipe (FIFO)"},
      {{"play", "song.wav", "--frame-times", "nodir/x.txt"}, 2, "folder nodir does not exist"},
  };
  vt::expectRefusals(dir.path(), {}, cases);
  struct stat info {};
  ASSERT_EQ(stat("/dev/full", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode)) << "/dev/full was replaced";
  ASSERT_EQ(stat((dir / "pipe.mp4").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// Pipes and devices where the studio reads text are refused at once and by
// name (a FIFO would block forever); one in another gallery picture's
// about.txt does not stop listing the gallery or rendering this picture.
TEST_F(Hardening, PipesAndDevicesWhereTextBelongsAreRefusedAtOnce) {
  fs::create_directories(dir / "passes");
  vt::writeText(dir / "passes/image.glsl", kToy);
  ASSERT_EQ(mkfifo((dir / "passes/channels.txt").c_str(), 0644), 0);
  fs::create_directories(dir / "fifo-pass");
  ASSERT_EQ(mkfifo((dir / "fifo-pass/image.glsl").c_str(), 0644), 0);
  fs::create_directories(dir / "pair");
  vt::copyShippedShaders(dir / "pair");
  ASSERT_EQ(mkfifo((dir / "pair/Shaders/settings.txt").c_str(), 0644), 0);
  fs::create_directories(dir / "looped");
  vt::writeText(dir / "looped/image.glsl", kToy);
  fs::create_symlink("channels.txt", dir / "looped/channels.txt");
  fs::create_directories(dir / "dangling");
  vt::writeText(dir / "dangling/image.glsl", kToy);
  fs::create_symlink("nothing-here.txt", dir / "dangling/channels.txt");
  const std::vector<vt::Refusal> cases = {
      {{"render", "song.wav", "out.png", "--shaders", "passes"}, 1, "channels.txt: it is a pipe (FIFO), not a file"},
      {{"render", "song.wav", "out.png", "--shaders", "fifo-pass"}, 1, "image.glsl: it is a pipe (FIFO), not a file"},
      {{"render", "song.wav", "out.png", "--shaders", "pair/Shaders"}, 2, "settings.txt: it is a pipe (FIFO), not a file"},
      {{"render", "song.wav", "out.png", "--shaders", "looped"}, 1, "a link that leads round in a loop"},
      {{"render", "song.wav", "out.png", "--shaders", "dangling"}, 1, "channels.txt: No such file or directory"},
  };
  vt::expectRefusals(dir.path(), {}, cases, "out.png");

  // A gallery of two pictures, one with a FIFO for its about.txt and one
  // whose about.txt leads to an endless device.
  fs::create_directories(dir / "gallery/good");
  fs::create_directories(dir / "gallery/stuck");
  fs::create_directories(dir / "gallery/endless");
  for (const char* p : {"good", "stuck", "endless"}) {
    vt::writeText(dir / ("gallery/" + std::string(p) + "/image.glsl"), kToy);
  }
  vt::writeText(dir / "gallery/good/about.txt", "a plain picture\n");
  ASSERT_EQ(mkfifo((dir / "gallery/stuck/about.txt").c_str(), 0644), 0);
  fs::create_symlink("/dev/zero", dir / "gallery/endless/about.txt");
  vt::Process list({vt::studioBinary(), "pictures"}, dir.path(), {{"VRAX_PICTURES", dir / "gallery"}});
  ASSERT_EQ(list.wait(20), 0) << list.err();
  EXPECT_NE(list.out().find("a plain picture"), std::string::npos) << list.out();
  EXPECT_NE(list.out().find("stuck"), std::string::npos) << list.out();
  EXPECT_LT(list.out().size(), 2000u);
  vt::Process one({vt::studioBinary(), "render", "song.wav", "good.png", "--picture", "good", "--size", "64x48"},
                  dir.path(), {{"VRAX_PICTURES", dir / "gallery"}, {"DISPLAY", ""}});
  EXPECT_EQ(one.wait(60), 0) << one.err();
  EXPECT_TRUE(fs::exists(dir / "good.png"));
}

// Pictures are opened only by picture formats: a playlist saved as a .png
// that names another file is refused, never followed, wherever a picture is
// taken.
TEST_F(Hardening, APlaylistNamedLikeAPictureIsNotOpened) {
  writePng(dir / "secret.png", "blue");
  vt::writeText(dir / "evil.png", "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nsecret.png\n#EXT-X-ENDLIST\n");
  vt::writeText(dir / "concat.png", "ffconcat version 1.0\nfile secret.png\n");
  for (const char* bad : {"evil.png", "concat.png"}) {
    const std::vector<vt::Refusal> cases = {
        {{"--background", bad}, 2, "not a picture"},
        {{"--logo", bad}, 2, "not a picture"},
        {{"--image", bad}, 2, "not a picture"},
    };
    vt::expectRefusals(dir.path(), {"render", "song.wav", "out.png", "--size", "64x48"}, cases, "out.png");
    const vt::StudioRun channel = render({"song.wav", "out.png", "--shaders", "toy.glsl", "--channel",
                                          std::string("1=") + bad});
    EXPECT_EQ(channel.status, 1) << channel.err;
    EXPECT_NE(channel.err.find("not a picture"), std::string::npos) << channel.err;
  }
}

// A file-size limit fails the write in one line instead of killing the
// run with SIGXFSZ; nothing is left behind.
TEST_F(Hardening, AFileSizeLimitIsOneLineAndLeavesNothing) {
  ASSERT_TRUE(vt::writeTone(dir / "long.wav", 44100 * 20, 2, 44100));
  vt::Process run({"/bin/sh", "-c", "ulimit -f 64; exec \"$0\" render long.wav out.mp4 --size 320x240 -q",
                   vt::studioBinary()},
                  dir.path(), {{"DISPLAY", ""}});
  EXPECT_EQ(run.wait(120), 1) << run.err();
  EXPECT_NE(run.err().find("File too large"), std::string::npos) << run.err();
  EXPECT_EQ(vt::countOccurrences(run.err(), "\n"), 1u) << run.err();
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().find("out"), std::string::npos) << entry.path();
    EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos) << entry.path();
  }
}

// Names and messages never put raw control bytes or broken UTF-8 on the
// terminal, and a name with a line break keeps "Wrote ..." on one line.
TEST_F(Hardening, MessagesEscapeWhatCameFromNames) {
  const vt::StudioRun missing = render({"so\x1b[2Jng\xff.wav", "out.png"});
  EXPECT_EQ(missing.status, 1) << missing.err;
  EXPECT_EQ(missing.err.find('\x1b'), std::string::npos) << missing.err;
  EXPECT_EQ(missing.err.find('\xff'), std::string::npos) << missing.err;
  EXPECT_NE(missing.err.find("\\x1b[2Jng\\xff.wav"), std::string::npos) << missing.err;
  const vt::StudioRun wrote = render({"song.wav", "two\nlines.png", "--shaders", "toy.glsl"});
  EXPECT_EQ(wrote.status, 0) << wrote.err;
  EXPECT_NE(wrote.err.find("Wrote \"two\\x0alines.png\""), std::string::npos) << wrote.err;
  EXPECT_TRUE(fs::exists(dir / "two\nlines.png"));
}

// Forms of published shaders that browsers draw: each renders, with the
// colour its code computes by hand (0.5 → 128, 0.25 → 64, 0.75 → 191).
TEST_F(Hardening, PublishedFormsBrowsersDrawRenderHere) {
  const struct {
    const char* name;
    const char* code;
    int r, g;
  } cases[] = {
      {"locals a browser zero-fills",
       "void mainImage(out vec4 fragColor, in vec2 fragCoord) {\n  float t; vec3 a;\n"
       "  for (int i = 0; i < 4; i++) { t += 0.125; a += vec3(0.0625); }\n  fragColor = vec4(t, a.g, 0.0, 1.0);\n}\n",
       128, 64},
      {"sample as a name",
       "void mainImage(out vec4 fragColor, in vec2 fragCoord) {\n  float sample = 0.5;\n"
       "  fragColor = vec4(sample, 0.25, 0.0, 1.0);\n}\n",
       128, 64},
      {"tokens after #ifdef",
       "#define A 1\n#ifdef A extra words\nconst float k = 0.25;\n#endif\n"
       "void mainImage(out vec4 fragColor, in vec2 fragCoord) { fragColor = vec4(0.5, k, 0.0, 1.0); }\n",
       128, 64},
      {"main() defined as mainImage, gl_FragCoord as its argument",
       "#define main() mainImage(out vec4 fragColor, in vec2 fragCoord)\n#define gl_FragCoord fragCoord\n"
       "void main() { fragColor = vec4(0.5, gl_FragCoord.x > -1.0 ? 0.25 : 1.0, 0.0, 1.0); }\n",
       128, 64},
      {"a mainImage macro holding the body", "#define mainImage(O, u) O = vec4(0.25, 0.75, u.x * 0.0, 1.0)\n", 64, 191},
      {"globals initialised from uniforms",
       "vec2 res = iResolution.xy / 4.;\nfloat k = 0.125,\n  m = iTime * 0.0 + 0.125;\n#define TWICE(x) (2.0 * x)\n"
       "struct S { float v; };\nfloat f(float x) { return x; }\n"
       "void mainImage(out vec4 fragColor, in vec2 fragCoord) { fragColor = vec4(f(res.x / 32.0), k + m, 0.0, 1.0); }\n",
       128, 64},
      {"a volume channel (generated noise)",
       "uniform sampler3D iChannel0;\nvoid mainImage(out vec4 fragColor, in vec2 fragCoord) {\n"
       "  vec4 n = texture(iChannel0, vec3(0.5));\n  fragColor = vec4(0.5, n.a >= 0.0 ? 0.25 : 1.0, 0.0, 1.0);\n}\n",
       128, 64},
  };
  for (const auto& c : cases) {
    vt::writeText(dir / "form.glsl", c.code);
    const vt::StudioRun run = render({"song.wav", "form.png", "--shaders", "form.glsl", "--overwrite"});
    ASSERT_EQ(run.status, 0) << c.name << "\n" << run.err;
    EXPECT_EQ(run.err.find("ATTENTION"), std::string::npos) << c.name << ": Mesa's own line\n" << run.err;
    const std::string rgb = vt::frameRgb(dir / "form.png");
    ASSERT_EQ(rgb.size(), 64u * 48 * 3) << c.name;
    EXPECT_NEAR(static_cast<unsigned char>(rgb[0]), c.r, 1) << c.name;
    EXPECT_NEAR(static_cast<unsigned char>(rgb[1]), c.g, 1) << c.name;
  }
}

// A byte-order mark before channels.txt's first line is not part of it.
TEST_F(Hardening, AByteOrderMarkIsNotText) {
  fs::create_directory(dir / "passes");
  vt::writeText(dir / "passes/image.glsl",
                "void mainImage(out vec4 fragColor, in vec2 fragCoord) { fragColor = texture(iChannel2, vec2(0.5)); }\n");
  writePng(dir / "passes/blue.png", "blue");
  vt::writeText(dir / "passes/channels.txt", "\xEF\xBB\xBF" "image: 2=blue.png\n");
  const vt::StudioRun run = render({"song.wav", "bom.png", "--shaders", "passes"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string rgb = vt::frameRgb(dir / "bom.png");
  ASSERT_EQ(rgb.size(), 64u * 48 * 3);
  EXPECT_LT(static_cast<unsigned char>(rgb[0]), 10);
  EXPECT_GT(static_cast<unsigned char>(rgb[2]), 245);
}

// Values refused for what they are, each in one line with a usage status;
// values that are fine numbers are taken.
TEST_F(Hardening, ValuesAreJudgedByWhatTheyAre) {
  vt::copyShippedShaders(dir.path());
  vt::writeText(dir / "Shaders/settings.txt", "\xEF\xBB\xBF" "amount float 0.5 how much\ntint colour #ff0000 a tint\n");
  ASSERT_EQ(mkfifo((dir / "fifo.ttf").c_str(), 0644), 0);
  fs::create_directory(dir / "fonts");
  const std::vector<vt::Refusal> cases = {
      {{"render", "song.wav", "o.png", "--set", "amount=1e39"}, 2, "a float can hold"},
      {{"render", "song.wav", "o.png", "--set", "amount=-1e39"}, 2, "a float can hold"},
      {{"render", "song.wav", "o.png", "--set", "tint=#-1-1-1"}, 2, "tint is a colour: #rrggbb, #rgb or a name"},
      {{"render", "song.wav", "o.png", "--set", "tint=#+f+f+f"}, 2, "tint is a colour: #rrggbb, #rgb or a name"},
      {{"render", "song.wav", "o.png", "--set", "tint=# ff ff"}, 2, "tint is a colour: #rrggbb, #rgb or a name"},
      {{"render", "song.wav", "o.png", "--title", "Hi", "--font", "fonts"}, 2, "it is a directory, not a font file"},
      {{"render", "song.wav", "o.png", "--title", "Hi", "--font", "fifo.ttf"}, 2, "it is a pipe (FIFO), not a font file"},
      {{"render", "song.wav", "o.png", "--title", "Hi", "--font", "/dev/zero"}, 2,
       "it is a character device, not a font file"},
      {{"play", "song.wav", "--size", "16384x16384"}, 2, "--size 16384x16384 is out of range"},
      {{"render", "song.wav", "o.png", "--size", "16x16", "--title", "Hello"}, 2, "the title does not fit a 16x16"},
      {{"render", "song.wav", "o.png", "--size", "16x16", "--title", "Hello there, a much longer title"}, 2,
       "the title does not fit a 16x16"},
      {{"play", "song.wav", "--size", "4000x100"}, 2, "--size 4000x100 is out of range"},
  };
  vt::expectRefusals(dir.path(), {}, cases, "o.png");
  // The byte-order mark is not part of the first setting's name; a number a
  // float holds is taken, however it is written.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--set", "amount=3e38"}, {"--fps", "3.14159265358979"}, {"--fps", "1e2"},
        {"--set", "tint=#00FFaa"}}) {
    std::vector<std::string> all = {"song.wav", "ok.png", "--overwrite"};
    all.insert(all.end(), args.begin(), args.end());
    const vt::StudioRun run = render(all);
    EXPECT_EQ(run.status, 0) << args[0] << " " << args[1] << "\n" << run.err;
  }
  vt::writeText(dir / "Shaders/settings.txt", "amount float 1e308 too much for a float\n");
  const vt::StudioRun huge = render({"song.wav", "o.png"});
  EXPECT_EQ(huge.status, 2) << huge.err;
  EXPECT_NE(huge.err.find("settings.txt:1: the default: amount is a number a float can hold"), std::string::npos)
      << huge.err;
}

// makeExample takes --help as a question, not as a file name.
TEST(Tools, MakeExampleHelpWritesNothing) {
  vt::TempDir dir;
  int status = -1;
  const std::string out = vt::runOutput({vt::makeExampleBinary(), "--help"}, &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("usage: makeExample"), std::string::npos) << out;
  vt::Process unknown({vt::makeExampleBinary(), "--hepl"}, dir.path());
  EXPECT_EQ(unknown.wait(20), 2);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

// With every numbered name taken and the target taken meanwhile, the
// finished file is kept under a dated name, never deleted.
TEST(PendingFileNames, FinishedWorkOutlastsEveryNumberedName) {
  vt::TempDir dir;
  const std::string target = dir / "out.mp4";
  PendingFile file(target, false);
  vt::writeText(file.path(), "finished");
  vt::writeText(target, "theirs");
  for (int n = 2; n < 1000; ++n) {
    vt::writeText(PendingFile::numberedName(target, n), "");
  }
  const Status committed = file.commit();
  EXPECT_FALSE(committed);
  const std::string said = committed.why();
  const size_t at = said.find("the new file is ");
  ASSERT_NE(at, std::string::npos) << said;
  const std::string kept = said.substr(at + 16);
  EXPECT_NE(kept.find("out ("), std::string::npos) << kept;
  EXPECT_EQ(vt::readText(kept), "finished") << said;
  EXPECT_EQ(vt::readText(target), "theirs");
  EXPECT_FALSE(fs::exists(file.path()));
}

// A device or a pipe that takes the target's name during the run is left
// alone even with --overwrite; the new file gets a name of its own.
TEST(PendingFileNames, AnOverwriteNeverReplacesWhatIsNotAFile) {
  vt::TempDir dir;
  const std::string target = dir / "out.txt";
  PendingFile file(target, true);
  vt::writeText(file.path(), "finished");
  ASSERT_EQ(mkfifo(target.c_str(), 0644), 0);
  const Status committed = file.commit();
  EXPECT_FALSE(committed);
  EXPECT_NE(committed.why().find("is not a file"), std::string::npos) << committed.why();
  EXPECT_EQ(vt::readText(dir / "out (2).txt"), "finished");
  struct stat info {};
  ASSERT_EQ(stat(target.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// Every writer's hidden file is removed when a second signal ends the
// process at once, not only the last one made: a render's video and its
// chapter list, or two runs in one process, each have one open.
TEST(PendingFileNames, ASecondSignalRemovesEveryWritersHiddenFile) {
  vt::TempDir dir;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    catchInterrupts();
    stopLoopsOnSignal();
    PendingFile video(dir / "out.mp4", false);
    PendingFile chapters(dir / "out.chapters.txt", false);
    PendingFile shot(dir / "shot.png", false);
    const char byte = video.made() && chapters.made() && shot.made() ? 'y' : 'n';
    // The first signal heard is said back, so the second is not sent while
    // the first is pending (two pending signals of a kind are one). Polled:
    // a signal between a check and a pause() would be waited for again.
    if (write(ready[1], &byte, 1) != 1) {
      _exit(3);
    }
    while (signalsReceived() == 0) {
      usleep(1000);
    }
    const char heard = 's';
    if (write(ready[1], &heard, 1) != 1) {
      _exit(3);
    }
    for (;;) {
      usleep(1000);
    }
  }
  close(ready[1]);
  // Each word from the child within 20 s, else it is ended and the test fails.
  const auto hear = [&](char& byte) {
    pollfd waiting{ready[0], POLLIN, 0};
    return poll(&waiting, 1, 20000) == 1 && read(ready[0], &byte, 1) == 1;
  };
  char byte = 0;
  if (!hear(byte) || byte != 'y') {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    FAIL() << "the child did not make its three hidden files";
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);
  // The first asks the run to stop after its frame; the second ends it at once.
  kill(child, SIGINT);
  if (!hear(byte)) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    FAIL() << "the child did not hear the first signal";
  }
  kill(child, SIGINT);
  close(ready[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  for (const auto& left : fs::directory_iterator(dir.path())) {
    ADD_FAILURE() << "left behind: " << left.path();
  }
}

// A run stopped on its own leaves another run in the same process going;
// a signal reaches both.
TEST(RunContexts, OneRunStopsAloneAndASignalStopsEvery) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    catchInterrupts();
    stopLoopsOnSignal();
    RunContext page;
    RunContext job;
    page.cancel();
    if (!page.stopping() || job.stopping()) {
      _exit(1);
    }
    raise(SIGTERM);
    _exit(job.stopping() && page.stopping() ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Two runs in one process, each drawing on its own thread with its own
// context: the three GL errors one makes (GL_INVALID_ENUM from a buffer
// target that does not exist) are its own, and the other, which drew nothing
// wrong between its two counts, counts none of them.
TEST(RunContexts, EachRunCountsOnlyItsOwnContextsGLErrors) {
  std::promise<void> quietOpen;
  std::promise<void> faultsMade;
  std::promise<void> quietCounted;
  unsigned long quietSeen = 99;
  std::thread quiet([&] {
    OffscreenContext context;
    const Status opened = context.open(64, 64);
    const unsigned long before = glErrorsOnThisThread();
    quietOpen.set_value();
    faultsMade.get_future().wait();
    quietSeen = opened ? glErrorsOnThisThread() - before : 99;
    quietCounted.set_value();
  });
  quietOpen.get_future().wait();
  unsigned long faultySeen = 0;
  const unsigned long reportedBefore = glErrorsReported();
  std::thread faulty([&] {
    OffscreenContext context;
    ASSERT_TRUE(context.open(64, 64));
    const unsigned long before = glErrorsOnThisThread();
    for (int i = 0; i < 3; ++i) {
      GL_CALL(glBindBuffer(0x1234, 0));
    }
    faultySeen = glErrorsOnThisThread() - before;
  });
  faulty.join();
  faultsMade.set_value();
  quietCounted.get_future().wait();
  quiet.join();
  EXPECT_EQ(faultySeen, 3u);
  EXPECT_EQ(quietSeen, 0u);
  EXPECT_EQ(glErrorsReported() - reportedBefore, 3u);  // the process's own count still sees them all
}

}  // namespace
