// Frames on their way to the encoder: the 4:2:0 planes made on the GL side
// and as they are read back against libswscale's conversion of the same
// pixels and against BT.709's codes for flat colours (the conversion the
// encoder makes itself), a fade on the planes against a fade on the pixels,
// and a whole render made either way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "picture/offscreen.h"
#include "picture/picture.h"
#include "show/planePass.h"
#include "support.h"
#include "video/encoderThread.h"
#include "video/pictureLayout.h"
#include "video/planes.h"

extern "C" {
#include <libswscale/swscale.h>
}

using namespace vt;

namespace {

// RGBA rows bottom-up, as GL reads them, into the planes' layout, by
// libswscale as the encoder calls it: bilinear, accurate rounding, BT.709
// limited range from full-range RGB.
std::vector<uint8_t> swscalePlanes(const std::vector<uint8_t>& rgba, int w, int h) {
  SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_RGBA, w, h, AV_PIX_FMT_YUV420P, SWS_BILINEAR | SWS_ACCURATE_RND,
                                   nullptr, nullptr, nullptr);
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(sws, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
  std::vector<uint8_t> out(pictureBytes(PictureLayout::Planes420, w, h));
  uint8_t* planes[3] = {out.data(), out.data() + w * h, out.data() + w * h + w / 2};
  const int strides[3] = {w, w, w};  // a chroma row: Cb on the left, Cr on the right
  const uint8_t* rows[1] = {rgba.data() + static_cast<ptrdiff_t>(h - 1) * w * 4};
  const int rowStride[1] = {-w * 4};
  sws_scale(sws, rows, rowStride, 0, h, planes, strides);
  sws_freeContext(sws);
  return out;
}

// Sharp edges and smooth ramps: single pixels of random colour, saturated
// one-pixel stripes, and gradients of each channel.
std::vector<uint8_t> testPicture(int w, int h) {
  std::mt19937 random(11);
  std::uniform_int_distribution<int> code(0, 255);
  std::vector<uint8_t> rgba(static_cast<size_t>(w) * h * 4, 255);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &rgba[(static_cast<size_t>(y) * w + x) * 4];
      if (x < w / 4) {
        p[0] = static_cast<uint8_t>(code(random)), p[1] = static_cast<uint8_t>(code(random)),
        p[2] = static_cast<uint8_t>(code(random));
      } else if (x < w / 2) {
        const bool odd = (x + y) % 2 == 1;
        p[0] = odd ? 255 : 0, p[1] = (y % 3 == 0) ? 255 : 0, p[2] = odd ? 0 : 255;
      } else {
        p[0] = static_cast<uint8_t>(255 * (x - w / 2) / (w / 2 - 1));
        p[1] = static_cast<uint8_t>(255 * y / (h - 1));
        p[2] = static_cast<uint8_t>(255 - p[0] / 2);
      }
    }
  }
  return rgba;
}

// The largest difference of any code, and where.
std::string worst(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int& most) {
  most = 0;
  size_t at = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const int d = std::abs(a[i] - b[i]);
    if (d > most) {
      most = d, at = i;
    }
  }
  return "byte " + std::to_string(at) + ": " + std::to_string(a[at]) + " against " + std::to_string(b[at]);
}

// The picture drawn on the pass' canvas (blitted from a texture holding
// it), converted, and read back as the render reads it.
std::vector<uint8_t> glPlanes(const std::vector<uint8_t>& rgba, int w, int h) {
  PlanePass pass(w, h);
  EXPECT_TRUE(pass.status()) << pass.status().why();
  GLuint texture = 0;
  GLuint source = 0;
  glCreateTextures(GL_TEXTURE_2D, 1, &texture);
  glTextureStorage2D(texture, 1, GL_RGBA8, w, h);
  glTextureSubImage2D(texture, 0, 0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
  glCreateFramebuffers(1, &source);
  glNamedFramebufferTexture(source, GL_COLOR_ATTACHMENT0, texture, 0);
  pass.bindCanvas();
  glBindFramebuffer(GL_READ_FRAMEBUFFER, source);
  glBlitFramebuffer(0, 0, w, h, 0, 0, w, h, GL_COLOR_BUFFER_BIT, GL_NEAREST);
  pass.convert();
  std::vector<uint8_t> out(pictureBytes(PictureLayout::Planes420, w, h));
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, pass.planesWidth(), pass.planesHeight(), GL_RGBA, GL_UNSIGNED_BYTE, out.data());
  pass.release();
  glDeleteFramebuffers(1, &source);
  glDeleteTextures(1, &texture);
  EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
  return out;
}

}  // namespace

std::vector<uint8_t> planesAsReadBack(const std::vector<uint8_t>& rgba, int w, int h) {
  std::vector<uint8_t> out(pictureBytes(PictureLayout::Planes420, w, h));
  rgbaToPlanes420(rgba.data(), w, h, out.data());
  return out;
}

// Every luma and chroma code of both ways of making planes within one of
// libswscale's, at a height whose half is even, one whose half is odd, and
// a frame of 1080p.
TEST(Planes, BothWaysMakeWhatLibswscaleMakesWithinOneCode) {
  OffscreenContext context;
  const Status opened = context.open(16, 16);
  ASSERT_TRUE(opened) << opened.why();
  for (const auto& [w, h] : std::vector<std::pair<int, int>>{{64, 48}, {72, 34}, {1920, 1080}}) {
    const std::vector<uint8_t> rgba = testPicture(w, h);
    const std::vector<uint8_t> reference = swscalePlanes(rgba, w, h);
    for (const bool gl : {true, false}) {
      SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + (gl ? " on the GL side" : " as read back"));
      int most = 0;
      const std::string where = worst(gl ? glPlanes(rgba, w, h) : planesAsReadBack(rgba, w, h), reference, most);
      EXPECT_LE(most, 1) << where;
    }
  }
}

// Flat colours in four quadrants, each to BT.709's limited-range codes
// worked out by hand (Y = 16 + 219 Y', Cb = 128 + 224 (B' - Y') / 1.8556,
// Cr = 128 + 224 (R' - Y') / 1.5748), away from the quadrants' edges.
TEST(Planes, FlatColoursBecomeBt709sCodes) {
  struct Flat {
    uint8_t r, g, b;
    int y, cb, cr;
  };
  const Flat flats[4] = {
      {255, 255, 255, 235, 128, 128},  // white, top left
      {255, 0, 0, 63, 102, 240},       // red, top right
      {0, 0, 255, 32, 240, 118},       // blue, bottom left
      {0, 0, 0, 16, 128, 128},         // black, bottom right
  };
  constexpr int kW = 32;
  constexpr int kH = 24;
  std::vector<uint8_t> rgba(static_cast<size_t>(kW) * kH * 4, 255);
  for (int row = 0; row < kH; ++row) {  // rows as read: bottom-up
    for (int x = 0; x < kW; ++x) {
      const Flat& f = flats[(row < kH / 2 ? 2 : 0) + (x < kW / 2 ? 0 : 1)];
      uint8_t* p = &rgba[(static_cast<size_t>(row) * kW + static_cast<size_t>(x)) * 4];
      p[0] = f.r, p[1] = f.g, p[2] = f.b;
    }
  }
  const std::vector<uint8_t> planes = planesAsReadBack(rgba, kW, kH);
  for (int q = 0; q < 4; ++q) {
    const int x = (q % 2) * (kW / 2) + kW / 4;  // a quadrant's middle, from the top
    const int y = (q / 2) * (kH / 2) + kH / 4;
    const uint8_t* chroma = planes.data() + kW * kH + (y / 2) * kW;
    EXPECT_EQ(planes[static_cast<size_t>(y * kW + x)], flats[q].y) << "quadrant " << q;
    EXPECT_EQ(chroma[x / 2], flats[q].cb) << "quadrant " << q;
    EXPECT_EQ(chroma[kW / 2 + x / 2], flats[q].cr) << "quadrant " << q;
  }
}

// A fade on the planes (towards limited range's black) against libswscale's
// planes of the pixels faded: within one code, the alpha-free case of
// --fade-in and --fade-out.
TEST(Planes, AFadeDarkensThePlanesAsItDarkensThePixels) {
  constexpr int kW = 64;
  constexpr int kH = 48;
  const std::vector<uint8_t> rgba = testPicture(kW, kH);
  for (const double gain : {0.0, 0.25, 0.5, 0.9}) {
    std::vector<uint8_t> planes = swscalePlanes(rgba, kW, kH);
    darkenPlanes(planes, gain);
    std::vector<uint8_t> faded = rgba;
    darken(faded, gain, false);
    int most = 0;
    const std::string where = worst(planes, swscalePlanes(faded, kW, kH), most);
    EXPECT_LE(most, 1) << "gain " << gain << ", " << where;
  }
}

// A lossless render with the planes made on the GL side (forced here, where
// llvmpipe would leave them to the read-back) decodes to the frames of the
// default render within one code, faded in and guarded alike.
TEST(Planes, ARenderMadeEitherWayHoldsTheSameFrames) {
  TempDir dir;
  ASSERT_TRUE(writeTone(dir.path() + "/song.wav", 44100 * 2, 2, 44100));
  const std::vector<std::string> common = {"render", "song.wav", "--picture", "ring", "--size", "320x240",
                                           "--fps", "30", "--crf", "0", "--fade-in", "0.5", "--overwrite"};
  std::vector<std::string> a = common;
  a.insert(a.begin() + 2, "rgba.mkv");
  a.push_back("--verbose");
  StudioRun run = studio(dir.path(), a);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("4:2:0 as they are read back"), std::string::npos) << run.err;
  setenv("VRAX_GL_PLANES", "1", 1);
  std::vector<std::string> b = common;
  b.insert(b.begin() + 2, "planes.mkv");
  b.push_back("--verbose");
  run = studio(dir.path(), b);
  unsetenv("VRAX_GL_PLANES");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("4:2:0 on the GL side"), std::string::npos) << run.err;
  const auto frames = [&](const std::string& name) {
    return runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir.path() + "/" + name, "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"});
  };
  const std::string x = frames("rgba.mkv");
  const std::string y = frames("planes.mkv");
  ASSERT_EQ(x.size(), y.size());
  ASSERT_EQ(x.size() % (size_t{320} * 240 * 3 / 2), 0u);
  ASSERT_GE(x.size() / (size_t{320} * 240 * 3 / 2), 60u);
  int most = 0;
  const std::string where =
      worst(std::vector<uint8_t>(x.begin(), x.end()), std::vector<uint8_t>(y.begin(), y.end()), most);
  EXPECT_LE(most, 1) << where;
}

namespace {

// Every texel the GL driver holds in 2D textures (all levels): texture
// names are small numbers, so the first few thousand are all of them.
int64_t texelsHeld() {
  int64_t texels = 0;
  for (GLuint name = 1; name < 4000; ++name) {
    if (!glIsTexture(name)) {
      continue;
    }
    GLint target = 0;
    glGetTextureParameteriv(name, GL_TEXTURE_TARGET, &target);
    for (GLint level = 0; target == GL_TEXTURE_2D && level < 16; ++level) {
      GLint w = 0;
      GLint h = 0;
      glGetTextureLevelParameteriv(name, level, GL_TEXTURE_WIDTH, &w);
      glGetTextureLevelParameteriv(name, level, GL_TEXTURE_HEIGHT, &h);
      texels += static_cast<int64_t>(w) * h;
    }
  }
  glGetError();
  return texels;
}

PictureSource onePass(const std::string& body, std::array<Channel, 4> channels = {}) {
  PassSource pass;
  pass.name = "image";
  pass.vertex = ShaderFile{"quad.vert", "#version 450 core\nlayout(location = 0) in vec2 position;\n"
                                        "void main() { gl_Position = vec4(position, 0.0, 1.0); }\n"};
  pass.fragment = ShaderFile{"picture.frag", "#version 450 core\nout vec4 colour;\n" + body};
  pass.channels = channels;
  return PictureSource{{pass}, {}};
}

}  // namespace

// A 1024x1024 --image costs a texture only while a pass reads it: nothing
// for a picture that does not, the image (with its smaller sizes) once for
// one that does; a Shadertoy channel's file is let go when a rebuild no
// longer reads it.
TEST(Textures, OnlyWhatAPassReadsIsHeld) {
  OffscreenContext context;
  const Status opened = context.open(64, 64);
  ASSERT_TRUE(opened) << opened.why();
  constexpr int64_t kSide = 1024;
  TempDir files;
  const std::string png = files / "image.png";
  runOutput({"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=gray:size=1024x1024", "-frames:v", "1", png});
  const Result<ImageSource> image = ImageFile::open(png);
  ASSERT_TRUE(image) << image.why();
  // A PNG whose header is whole and whose pixels are cut off: found out
  // only when a pass reads it, since an unread image is never decoded.
  const std::string whole = readText(png);
  writeText(files / "cut.png", whole.substr(0, 64));
  const Result<ImageSource> cut = ImageFile::open(files / "cut.png");
  ASSERT_TRUE(cut) << "a header that states a fitting size is refused before decoding: " << cut.why();

  Picture picture;
  ASSERT_TRUE(picture.build(onePass("void main() { colour = vec4(1.0); }\n"), nullptr));
  const int64_t bare = texelsHeld();
  ASSERT_TRUE(picture.setImage(0, image.value()));
  ASSERT_TRUE(picture.setImage(1, cut.value())) << "an image no pass reads was decoded";
  EXPECT_LT(texelsHeld() - bare, kSide * kSide / 16) << "an image no pass reads was uploaded";

  const Status reads = picture.build(
      onePass("uniform sampler2D image0;\nvoid main() { colour = texture(image0, vec2(0.5)); }\n"), nullptr);
  ASSERT_TRUE(reads) << reads.why();
  const int64_t withImage = texelsHeld() - bare;
  EXPECT_GE(withImage, kSide * kSide) << "the image a pass reads is missing";
  EXPECT_LT(withImage, kSide * kSide * 3 / 2) << "the image was uploaded more than once";
  const Status readsCut = picture.build(
      onePass("uniform sampler2D image1;\nvoid main() { colour = texture(image1, vec2(0.5)); }\n"), nullptr);
  EXPECT_FALSE(readsCut) << "the cut-off image read as if whole";

  ASSERT_TRUE(picture.build(
      onePass("uniform sampler2D image0;\nvoid main() { colour = texture(image0, vec2(0.5)); }\n"), nullptr));
  TempDir dir;
  const std::string file = dir / "channel.png";
  runOutput({"/usr/bin/ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=red:size=512x512", "-frames:v", "1", file});
  std::array<Channel, 4> channels{};
  channels[0].kind = ChannelKind::File;
  channels[0].file = file;
  const Status shows = picture.build(
      onePass("uniform sampler2D iChannel0;\nvoid main() { colour = texture(iChannel0, vec2(0.5)); }\n", channels),
      nullptr);
  ASSERT_TRUE(shows) << shows.why();
  const int64_t withChannel = texelsHeld() - bare;
  EXPECT_GE(withChannel - withImage, 512 * 512) << "the channel's file is missing";
  ASSERT_TRUE(picture.build(onePass("void main() { colour = vec4(1.0); }\n"), nullptr));
  EXPECT_LT(texelsHeld() - bare, withImage + 512 * 512 / 16) << "the channel's file was kept after the rebuild";
}

// --verbose says what a late start costs: a picture no pass of which reads
// a frame before draws nothing before --from; the feedback trail draws ten
// seconds (it declares no memory), or what --preroll asks.
TEST(PreRoll, VerboseSaysWhetherFramesBeforeTheStartAreDrawn) {
  TempDir dir;
  ASSERT_TRUE(writeTone(dir / "song.wav", 44100 * 20, 2, 44100));
  struct Case {
    std::vector<std::string> picture;
    const char* says;
  };
  const Case cases[] = {
      {{"--picture", "ring"}, "before --from: nothing drawn (no pass reads a frame before)"},
      {{"--shaders", sourceDir() + "/examples/shadertoy/trail"}, "before --from: 10 s drawn (a pass reads a frame before)"},
      {{"--shaders", sourceDir() + "/examples/shadertoy/trail", "--preroll", "3"}, "before --from: 3 s drawn"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"render", "song.wav", "still.png", "--from", "15", "--size", "64x48", "--verbose",
                                     "--overwrite"};
    args.insert(args.end(), c.picture.begin(), c.picture.end());
    const StudioRun run = studio(dir.path(), args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
}
