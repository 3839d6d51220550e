// Shadertoy's multipass shaders end to end over the built binary, with
// hand-made probes whose answers are known: a buffer that counts in steps
// too fine for 8 bits, the order in which passes see each other, Common
// shared by passes, music routed through a buffer against the single-file
// texture, samplers, an export and a folder giving the same frames, a span
// equal to a whole render, stand-ins for the site's media, the keyboard in
// a window, and refusals.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "support.h"

namespace {

namespace fs = std::filesystem;

using vt::studio;
using vt::StudioRun;

struct Rgb {
  int r, g, b;
};

Rgb pixel(const std::string& rgb, int width, int x, int y) {
  const size_t at = static_cast<size_t>((y * width + x) * 3);
  return {static_cast<unsigned char>(rgb[at]), static_cast<unsigned char>(rgb[at + 1]),
          static_cast<unsigned char>(rgb[at + 2])};
}

class Multipass : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100 * 3, 2, 44100)); }
  // A folder of passes: name → code, plus channels.txt when given.
  std::string folder(const std::string& name, const std::map<std::string, std::string>& files) {
    fs::create_directories(dir / name);
    for (const auto& [file, text] : files) {
      vt::writeText((fs::path(dir.path()) / name / file).string(), text);
    }
    return name;
  }
  // The one frame at `from` seconds as 32×32 RGB.
  std::string still(const std::string& shaders, const std::string& from, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"render", "song.wav", "o.png", "--shaders", shaders, "--from", from,
                                     "--size", "32x32", "--overwrite"};
    args.insert(args.end(), extra.begin(), extra.end());
    last = studio(dir.path(), args);
    EXPECT_EQ(last.status, 0) << shaders << "\n" << last.err;
    return last.status == 0 ? vt::frameRgb(dir / "o.png") : std::string(32 * 32 * 3, '\0');
  }
  vt::TempDir dir;
  StudioRun last{};
};

// Adds 1/1024 a frame: 8-bit targets would round every step away.
TEST_F(Multipass, ABufferKeepsFloatsFromFrameToFrame) {
  folder("count", {{"buffer-a.glsl", R"(void mainImage(out vec4 o, in vec2 p) {
    o = texture(iChannel0, p / iResolution.xy) + vec4(1.0 / 1024.0);
})"},
                   {"image.glsl", R"(void mainImage(out vec4 o, in vec2 p) {
    o = vec4(texture(iChannel0, p / iResolution.xy).x * 1024.0 / 255.0, 0.0, 0.0, 1.0);
})"},
                   {"channels.txt", "buffer-a: 0=buffer-a\nimage: 0=buffer-a\n"}});
  // Frames 0 to 100 drawn: 101 steps.
  EXPECT_NEAR(pixel(still("count", "100/60"), 32, 16, 16).r, 101, 1);
}

// A reads B (drawn after it: the frame before's), B reads A (drawn before it: this frame's).
TEST_F(Multipass, PassesSeeEachOtherInTheSitesOrder) {
  const std::string a = R"(void mainImage(out vec4 o, in vec2 p) {
    o = vec4(float(iFrame), texelFetch(iChannel0, ivec2(p), 0).x, 0.0, 1.0);
})";
  const std::string b = R"(void mainImage(out vec4 o, in vec2 p) {
    o = vec4(texelFetch(iChannel0, ivec2(p), 0).x, 0.0, 0.0, 1.0);
})";
  const std::string image = R"(void mainImage(out vec4 o, in vec2 p) {
    vec4 a = texelFetch(iChannel0, ivec2(p), 0);
    o = vec4(a.x, a.y, texelFetch(iChannel1, ivec2(p), 0).x, 255.0) / 255.0;
})";
  folder("order", {{"buffer-a.glsl", a}, {"buffer-b.glsl", b}, {"image.glsl", image},
                   {"channels.txt", "buffer-a: 0=buffer-b\nbuffer-b: 0=buffer-a\nimage: 0=buffer-a 1=buffer-b\n"}});
  const Rgb at50 = pixel(still("order", "50/60"), 32, 5, 5);
  EXPECT_EQ(at50.r, 50);  // A this frame
  EXPECT_EQ(at50.g, 49);  // what A saw of B: the frame before's
  EXPECT_EQ(at50.b, 50);  // what B saw of A: this frame's
}

// Common's code in two passes, and an error in it named by its own file and line.
TEST_F(Multipass, CommonIsSharedAndItsErrorsNameIt) {
  folder("common", {{"common.glsl", "float half_() { return 0.5; }\n"},
                    {"buffer-a.glsl", "void mainImage(out vec4 o, in vec2 p) { o = vec4(half_()); }\n"},
                    {"image.glsl", "void mainImage(out vec4 o, in vec2 p) {\n"
                                   "    o = vec4(texelFetch(iChannel0, ivec2(p), 0).x, half_(), 0.0, 1.0);\n}\n"},
                    {"channels.txt", "image: 0=buffer-a\n"}});
  const Rgb shown = pixel(still("common", "0"), 32, 3, 3);
  EXPECT_NEAR(shown.r, 128, 1);
  EXPECT_NEAR(shown.g, 128, 1);
  vt::writeText(dir / "common/common.glsl", "float half_() {\n  return nope;\n}\n");
  const StudioRun run = studio(dir.path(), {"render", "song.wav", "x.png", "--shaders", "common", "--size", "32x32"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("common/common.glsl:2:"), std::string::npos) << run.err;
}

// The music through a buffer's iChannel2 is the texture a single file reads on iChannel0.
TEST_F(Multipass, MusicOnAnyChannelOfAnyPass) {
  const std::string dump = R"(void mainImage(out vec4 o, in vec2 p) {
    float x = (floor(p.x * 16.0) + 0.5) / 512.0;
    o = vec4(texture(iChannel0, vec2(x, p.y < 16.0 ? 0.25 : 0.75)).x, 0.0, 0.0, 1.0);
})";
  vt::writeText(dir / "single.glsl", dump);
  std::string routed = dump;
  routed.replace(routed.find("iChannel0"), 9, "iChannel2");
  folder("routed", {{"buffer-a.glsl", routed},
                    {"image.glsl", "void mainImage(out vec4 o, in vec2 p) { o = texelFetch(iChannel0, ivec2(p), 0); }\n"},
                    {"channels.txt", "buffer-a: 2=music\nimage: 0=buffer-a\n"}});
  const std::string want = still("single.glsl", "1.5");
  EXPECT_GT(vt::mean(want), 5.0) << "the song shows";
  EXPECT_EQ(still("routed", "1.5"), want);
}

// A 2×2 picture (red, blue over green, white) read between and beyond its texels.
TEST_F(Multipass, SamplersAreTheChannelsOwn) {
  const std::string ppm = std::string("P6 2 2 255\n") + std::string("\xff\x00\x00\x00\x00\xff", 6) +
                          std::string("\x00\xff\x00\xff\xff\xff", 6);
  vt::writeText(dir / "quad.ppm", ppm);
  ASSERT_EQ(vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-y", "-i", dir / "quad.ppm", dir / "quad.png"}), "");
  vt::writeText(dir / "read.glsl", R"(void mainImage(out vec4 o, in vec2 p) {
    // Left half: the middle of the picture; right half: a quarter beyond its right edge, top row.
    o = texture(iChannel1, p.x < 16.0 ? vec2(0.5, 0.75) : vec2(1.5 - 0.25, 0.75));
})");
  struct Case {
    const char* channel;
    Rgb middle;  // between the top row's two texels (nearest: the right one)
    Rgb beyond;  // u = 1.25 on the top row
  };
  const Case cases[] = {
      {"1=quad.png,nearest,clamp", {0, 0, 255}, {0, 0, 255}},
      {"1=quad.png,linear,clamp", {128, 0, 128}, {0, 0, 255}},
      {"1=quad.png,nearest,repeat", {0, 0, 255}, {255, 0, 0}},
      // Without the site's flip the file's first row is at the bottom: the top row is green, white.
      {"1=quad.png,nearest,clamp,noflip", {255, 255, 255}, {255, 255, 255}},
  };
  for (const Case& c : cases) {
    const std::string shown = still("read.glsl", "0", {"--channel", c.channel});
    const Rgb middle = pixel(shown, 32, 8, 16);
    const Rgb beyond = pixel(shown, 32, 24, 16);
    EXPECT_NEAR(middle.r, c.middle.r, 2) << c.channel;
    EXPECT_NEAR(middle.g, c.middle.g, 2) << c.channel;
    EXPECT_NEAR(middle.b, c.middle.b, 2) << c.channel;
    EXPECT_NEAR(beyond.r, c.beyond.r, 2) << c.channel;
    EXPECT_NEAR(beyond.g, c.beyond.g, 2) << c.channel;
    EXPECT_NEAR(beyond.b, c.beyond.b, 2) << c.channel;
  }
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    out += c == '\n' ? std::string("\\n") : c == '"' ? std::string("\\\"") : std::string(1, c);
  }
  return out + "\"";
}

const char* const kTrailBuffer = R"(void mainImage(out vec4 o, in vec2 p) {
    vec2 uv = p / iResolution.xy;
    float level = texture(iChannel1, vec2(uv.x * 0.2, 0.25)).x;
    o = max(texture(iChannel0, uv) * 0.9, vec4(step(uv.y, level)));
})";
const char* const kTrailImage = R"(void mainImage(out vec4 o, in vec2 p) {
    o = vec4(texture(iChannel0, p / iResolution.xy).xyz * vec3(1.0, 0.6, 0.3) + common_tint(), 1.0);
})";
const char* const kTrailCommon = "vec3 common_tint() { return vec3(0.0, 0.0, 0.1); }\n";

// The same shader as the site exports it (buffer ids, string flags, a
// Sound pass) and as a folder: the same frames; and a span of it equals the
// same frames of a whole render.
TEST_F(Multipass, AnExportAndAFolderDrawTheSameAndASpanMatchesTheWhole) {
  const std::string json = std::string(R"({"Shader": {"info": {"id": "x", "name": "trail"}, "renderpass": [
    {"name": "Image", "type": "image", "code": )") + jsonString(kTrailImage) + R"(,
     "inputs": [{"id": "4dXGR8", "channel": 0, "type": "buffer", "src": "/media/previz/buffer00.png",
                 "sampler": {"filter": "linear", "wrap": "clamp", "vflip": "true", "srgb": "false", "internal": "byte"}}],
     "outputs": [{"id": "4dfGRr", "channel": 0}]},
    {"name": "Common", "type": "common", "code": )" + jsonString(kTrailCommon) + R"(, "inputs": [], "outputs": []},
    {"name": "Sound", "type": "sound", "code": "vec2 mainSound(int s, float t) { return vec2(0.0); }", "inputs": [], "outputs": []},
    {"name": "Buf A", "type": "buffer", "code": )" + jsonString(kTrailBuffer) + R"(,
     "inputs": [{"id": 257, "channel": 0, "ctype": "buffer", "sampler": {"filter": "linear", "wrap": "clamp", "vflip": true}},
                {"id": "XsfGRn", "channel": 1, "ctype": "music", "src": "/media/a/song.mp3", "sampler": {"filter": "linear"}}],
     "outputs": [{"id": "4dXGR8", "channel": 0}]}]}})";
  vt::writeText(dir / "trail.json", json);
  folder("trail", {{"Buffer A.glsl", kTrailBuffer}, {"image.glsl", kTrailImage}, {"common.glsl", kTrailCommon},
                   {"channels.txt", "# the trail\nbuffer-a: 0=buffer-a 1=music\nimage: 0=buffer-a,linear\n"}});
  const std::string fromJson = still("trail.json", "1");
  EXPECT_NE(last.err.find("Sound pass is left out"), std::string::npos) << last.err;
  EXPECT_GT(vt::mean(fromJson), 10.0);
  EXPECT_EQ(still("trail", "1"), fromJson);

  for (const auto& [out, span] : {std::pair<const char*, std::vector<std::string>>{"whole.mkv", {"--to", "2"}},
                                  {"span.mkv", {"--from", "1", "--to", "2"}}}) {
    std::vector<std::string> args = {"render", "song.wav", out, "--shaders", "trail.json", "--size", "64x48",
                                     "--crf", "0", "-q"};
    args.insert(args.end(), span.begin(), span.end());
    const StudioRun run = studio(dir.path(), args);
    ASSERT_EQ(run.status, 0) << run.err;
  }
  for (int n : {0, 29, 59}) {
    EXPECT_EQ(vt::frameRgb(dir / "span.mkv", n), vt::frameRgb(dir / "whole.mkv", 60 + n)) << "frame " << 60 + n;
  }
}

// What the site has and this program does not is put in, each with one line.
TEST_F(Multipass, TheSitesMediaHaveStandIns) {
  const std::string json = std::string(R"({"renderpass": [{"name": "Image", "type": "image", "code": )") +
                           jsonString(R"(void mainImage(out vec4 o, in vec2 p) {
    vec2 uv = p / iResolution.xy;
    o = p.x < 16.0 ? textureLod(iChannel0, uv * 4.0, 0.0) : texture(iChannel1, normalize(vec3(uv - 0.5, 1.0)));
    o.w = 1.0;
})") + R"(, "inputs": [
      {"id": 5, "channel": 0, "type": "texture", "src": "/media/a/0a40562379b63dfb89227e6d172f39fdce9022cba76623f1054a2c83d6c0ba5d.png",
       "sampler": {"filter": "mipmap", "wrap": "repeat", "vflip": "true"}},
      {"id": 6, "channel": 1, "type": "cubemap", "src": "/media/a/585f9546c092f53ded45332b343144396c0b2d70d9965f585ebc172080d8aa58.jpg"},
      {"id": 7, "channel": 2, "type": "webcam"}], "outputs": []}]})";
  vt::writeText(dir / "media.json", json);
  const std::string shown = still("media.json", "0");
  // Noise on the left: not flat.
  int lowest = 255, highest = 0;
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 16; ++x) {
      lowest = std::min(lowest, pixel(shown, 32, x, y).r);
      highest = std::max(highest, pixel(shown, 32, x, y).r);
    }
  }
  EXPECT_GT(highest - lowest, 60) << "the stand-in texture is flat";
  // The sky looking ahead is pale blue.
  const Rgb sky = pixel(shown, 32, 24, 16);
  EXPECT_GT(sky.b, sky.r);
  EXPECT_GT(sky.b, 150);
  for (const char* said : {"iChannel0 is the site's texture", "--channel image:0=FILE", "iChannel1 is the site's cubemap",
                           "iChannel2 is a webcam"}) {
    EXPECT_EQ(vt::countOccurrences(last.err, said), 1u) << said << "\n" << last.err;
  }
}

// A cubemap of one's own: six faces in a folder, each seen in its direction.
TEST_F(Multipass, ACubemapFromSixFaces) {
  fs::create_directories(dir / "sky");
  const std::pair<const char*, const char*> faces[] = {{"px", "red"},   {"nx", "lime"},    {"py", "blue"},
                                                       {"ny", "yellow"}, {"pz", "magenta"}, {"nz", "cyan"}};
  for (const auto& [face, colour] : faces) {
    ASSERT_EQ(vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                             std::string("color=") + colour + ":s=8x8", "-frames:v", "1", dir / (std::string(face) + ".png")}),
              "");
    fs::rename(dir / (std::string(face) + ".png"), fs::path(dir.path()) / "sky" / (std::string(face) + ".png"));
  }
  vt::writeText(dir / "look.glsl", R"(void mainImage(out vec4 o, in vec2 p) {
    // Six strips, one for each direction: +x, -x, +y, -y, +z, -z.
    int strip = int(p.x / iResolution.x * 6.0);
    vec3 dirs[6] = vec3[6](vec3(1, 0, 0), vec3(-1, 0, 0), vec3(0, 1, 0), vec3(0, -1, 0), vec3(0, 0, 1), vec3(0, 0, -1));
    o = texture(iChannel1, dirs[strip]);
})");
  const StudioRun run = studio(dir.path(), {"render", "song.wav", "sky.png", "--shaders", "look.glsl", "--channel",
                                            "1=cubemap:sky", "--size", "96x16"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string shown = vt::frameRgb(dir / "sky.png");
  const Rgb want[6] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}, {255, 0, 255}, {0, 255, 255}};
  for (int strip = 0; strip < 6; ++strip) {
    const Rgb got = pixel(shown, 96, strip * 16 + 8, 8);
    EXPECT_NEAR(got.r, want[strip].r, 3) << "strip " << strip;
    EXPECT_NEAR(got.g, want[strip].g, 3) << "strip " << strip;
    EXPECT_NEAR(got.b, want[strip].b, 3) << "strip " << strip;
  }
}

TEST_F(Multipass, RefusalsSayWhy) {
  vt::writeText(dir / "image.glsl", "void mainImage(out vec4 o, in vec2 p) { o = vec4(1.0); }\n");
  vt::writeText(dir / "notjson.json", "{\"renderpass\": [");
  vt::writeText(dir / "noimage.json", R"({"renderpass": [{"name": "Buffer A", "type": "buffer", "code": ""}]})");
  vt::writeText(dir / "cube.json", R"({"renderpass": [{"name": "Image", "type": "image", "code": ""},
                                                      {"name": "Cube A", "type": "cubemap", "code": ""}]})");
  folder("badlist", {{"image.glsl", "void mainImage(out vec4 o, in vec2 p) { o = vec4(1.0); }\n"},
                     {"channels.txt", "image: 0=buffer-a\nimage: 7=music\n"}});
  vt::copyShippedShaders(dir.path());
  vt::expectRefusals(dir.path(), {"render", "song.wav", "o.png", "--size", "32x32"},
                     {
                         {{"--shaders", "notjson.json"}, 1, "is not JSON"},
                         {{"--shaders", "noimage.json"}, 1, "has no Image pass"},
                         {{"--shaders", "cube.json"}, 1, "draws a cubemap"},
                         {{"--shaders", "badlist"}, 1, "channels.txt:2: \"7\" is not a channel"},
                         {{"--shaders", "image.glsl", "--channel", "buffer-b:0=music"}, 1, "has no buffer-b pass"},
                         {{"--shaders", "image.glsl", "--channel", "5=music"}, 2, "channels are 0 to 3"},
                         {{"--shaders", "image.glsl", "--channel", "1=missing.png"}, 2, "neither music"},
                         {{"--shaders", "image.glsl", "--channel", "shadow:1=music"}, 2, "is not a pass"},
                         {{"--channel", "1=music"}, 1, "--channel is for Shadertoy's form"},
                     },
                     "o.png");
}

// Whether the centre of the window titled `title` shows `want` within twenty
// seconds (a loaded machine draws and snaps slowly; the answer comes at once
// when it is right).
bool windowShows(const std::string& dir, const std::string& title, Rgb want) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    const std::string file = dir + "/snap.ppm";
    if (vt::wmctl({"snap", title, file}) == 0) {
      const std::string ppm = vt::readText(file);
      int width = 0, height = 0, max = 0, header = 0;
      if (std::sscanf(ppm.c_str(), "P6 %d %d %d%n", &width, &height, &max, &header) == 3) {
        const size_t at = static_cast<size_t>(header + 1) + 3 * static_cast<size_t>((height / 2) * width + width / 2);
        if (at + 3 <= ppm.size() && static_cast<unsigned char>(ppm[at]) == want.r &&
            static_cast<unsigned char>(ppm[at + 1]) == want.g && static_cast<unsigned char>(ppm[at + 2]) == want.b) {
          return true;
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Keyboard rows in a window: A held, A pressed (latched by a buffer, since a
// press lasts one frame), A toggled.
TEST_F(Multipass, TheKeyboardInAWindow) {
  if (std::getenv("DISPLAY") == nullptr) {
    GTEST_SKIP() << "no display for a window";
  }
  folder("keys", {{"buffer-a.glsl", R"(void mainImage(out vec4 o, in vec2 p) {
    o = max(texelFetch(iChannel0, ivec2(0), 0), vec4(texelFetch(iChannel1, ivec2(65, 1), 0).x));
})"},
                  {"image.glsl", R"(void mainImage(out vec4 o, in vec2 p) {
    o = vec4(texelFetch(iChannel1, ivec2(65, 0), 0).x, texelFetch(iChannel0, ivec2(0), 0).x,
             texelFetch(iChannel1, ivec2(65, 2), 0).x, 1.0);
})"},
                  {"channels.txt", "buffer-a: 0=buffer-a,nearest 1=keyboard\nimage: 0=buffer-a,nearest 1=keyboard\n"}});
  ASSERT_TRUE(vt::writeTone(dir / "keys.wav", 44100 * 30, 2, 44100));
  vt::Process play({vt::studioBinary(), "play", "keys.wav", "--shaders", "keys", "--size", "64x64"}, dir.path(),
                   {{"ALSOFT_DRIVERS", "null"}});
  ASSERT_EQ(vt::wmctl({"wait", "keys.wav", "30"}, nullptr, 40), 0) << play.err();
  auto shows = [&](Rgb want) { return windowShows(dir.path(), "keys.wav", want); };
  EXPECT_TRUE(shows({0, 0, 0})) << "no key yet";
  vt::wmctl({"keydown", "keys.wav", "a"});
  EXPECT_TRUE(shows({255, 255, 255})) << "A held, pressed and toggled on";
  vt::wmctl({"keyup", "keys.wav", "a"});
  EXPECT_TRUE(shows({0, 255, 255})) << "A released, still toggled on";
  vt::wmctl({"key", "keys.wav", "a"});
  EXPECT_TRUE(shows({0, 255, 0})) << "A toggled off";
  vt::wmctl({"close", "keys.wav"});
  EXPECT_EQ(play.wait(20), 0) << play.err();
}

// play reloads a save of any pass; a broken one keeps the last good build
// and names its file and line.
TEST_F(Multipass, PlayReloadsAnyPassAndKeepsTheLastGoodOne) {
  if (std::getenv("DISPLAY") == nullptr) {
    GTEST_SKIP() << "no display for a window";
  }
  folder("live", {{"buffer-a.glsl", "void mainImage(out vec4 o, in vec2 p) { o = vec4(1.0, 0.0, 0.0, 1.0); }\n"},
                  {"image.glsl", "void mainImage(out vec4 o, in vec2 p) { o = texelFetch(iChannel0, ivec2(p), 0); }\n"},
                  {"channels.txt", "image: 0=buffer-a,nearest\n"}});
  ASSERT_TRUE(vt::writeTone(dir / "live.wav", 44100 * 30, 2, 44100));
  vt::Process play({vt::studioBinary(), "play", "live.wav", "--shaders", "live", "--size", "64x64"}, dir.path(),
                   {{"ALSOFT_DRIVERS", "null"}});
  ASSERT_EQ(vt::wmctl({"wait", "live.wav", "30"}, nullptr, 40), 0) << play.err();
  EXPECT_TRUE(windowShows(dir.path(), "live.wav", {255, 0, 0}));
  vt::writeText(dir / "live/buffer-a.glsl", "void mainImage(out vec4 o, in vec2 p) { o = vec4(0.0, 0.0, 1.0, 1.0); }\n");
  EXPECT_TRUE(windowShows(dir.path(), "live.wav", {0, 0, 255})) << "a saved buffer is drawn";
  vt::writeText(dir / "live/buffer-a.glsl", "void mainImage(out vec4 o, in vec2 p) {\n  o = nope;\n}\n");
  for (int i = 0; i < 300 && play.err().find("buffer-a.glsl:2:") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(play.err().find("live/buffer-a.glsl:2:"), std::string::npos) << play.err();
  // The last good build stays, inside the thin red frame that says it is stale.
  EXPECT_TRUE(windowShows(dir.path(), "live.wav", {0, 0, 255}));
  vt::wmctl({"close", "live.wav"});
  EXPECT_EQ(play.wait(20), 0) << play.err();
}

}  // namespace
