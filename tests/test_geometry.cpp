// Pictures that draw geometry (draw.txt: MODE COUNT) and pictures shaded at
// a smaller scale (scale S), over the built binary: shapes of known places
// drawn where they must be, pixel for pixel, in each mode; draws layered one
// over the other; a scaled soft picture within its PSNR of the full-scale
// one; the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "support.h"

namespace {

namespace fs = std::filesystem;

const char* const kWhite = R"(#version 450 core
out vec4 FragColor;
void main() { FragColor = vec4(1.0); }
)";

// 64 squares of 4×4 pixels, one in each 8×8 cell of a 64×64 frame, 2 pixels
// in from the cell's corner: two triangles (6 vertices) each.
const char* const kSquares = R"(#version 450 core
void main() {
    const vec2 corners[6] = vec2[6](vec2(0, 0), vec2(1, 0), vec2(1, 1), vec2(0, 0), vec2(1, 1), vec2(0, 1));
    int square = gl_VertexID / 6;
    vec2 at = vec2(square % 8, square / 8) * 8.0 + 2.0 + corners[gl_VertexID % 6] * 4.0;
    gl_Position = vec4(at / 32.0 - 1.0, 0.0, 1.0);
}
)";

class Geometry : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(vt::writeTone(dir / "song.wav", 44100, 2, 44100)); }
  void picture(const std::string& name, const std::string& vertex, const std::string& fragment,
               const std::string& draw) {
    fs::create_directories(dir / name);
    vt::writeText(dir / name + "/Quad.vert.glsl", vertex);
    vt::writeText(dir / name + "/Quad.frag.glsl", fragment);
    if (!draw.empty()) {
      vt::writeText(dir / name + "/draw.txt", draw);
    }
  }
  // The frame at 0.5 s as grey values, rows from the top.
  std::string still(const std::string& name, const std::string& size = "64x64") {
    const vt::StudioRun run =
        vt::studio(dir.path(), {"render", "song.wav", name + ".png", "--shaders", name, "--size", size, "--from", "0.5"});
    EXPECT_EQ(run.status, 0) << run.err;
    return vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / name + ".png", "-f", "rawvideo", "-pix_fmt",
                          "gray", "-"});
  }
  vt::TempDir dir;
};

// Each square where it is put and nothing else: 64 × 16 white pixels on black.
TEST_F(Geometry, TrianglesCoverExactlyTheirPixels) {
  picture("squares", kSquares, kWhite, "# 64 squares\ntriangles 384\n");
  const std::string grey = still("squares");
  ASSERT_EQ(grey.size(), 64u * 64);
  int wrong = 0;
  for (int y = 0; y < 64; ++y) {
    for (int x = 0; x < 64; ++x) {
      const bool inside = x % 8 >= 2 && x % 8 < 6 && y % 8 >= 2 && y % 8 < 6;
      wrong += (static_cast<unsigned char>(grey[static_cast<size_t>(y * 64 + x)]) > 128) != inside;
    }
  }
  EXPECT_EQ(wrong, 0);
}

// A line strip through a known sine: in every column the lit pixel is within
// one of the curve's row; points light exactly the pixels they are put on;
// lines and a triangle strip as they are drawn by hand.
TEST_F(Geometry, EachModeDrawsItsShape) {
  picture("sine", R"(#version 450 core
void main() {
    float x = float(gl_VertexID) / 255.0 * 2.0 - 1.0;
    gl_Position = vec4(x, 0.5 * sin(3.14159265 * x), 0.0, 1.0);
}
)", kWhite, "line-strip 256");
  const std::string sine = still("sine");
  ASSERT_EQ(sine.size(), 64u * 64);
  for (int x = 1; x < 63; ++x) {
    const double ndc = (x + 0.5) / 32.0 - 1.0;
    const double row = 32.0 - 32.0 * 0.5 * std::sin(M_PI * ndc) - 0.5;  // from the top
    int lit = -1;
    double nearest = 64;
    for (int y = 0; y < 64; ++y) {
      if (static_cast<unsigned char>(sine[static_cast<size_t>(y * 64 + x)]) > 128 && std::fabs(y - row) < nearest) {
        nearest = std::fabs(y - row);
        lit = y;
      }
    }
    EXPECT_LE(nearest, 1.0) << "column " << x << ": lit at " << lit << ", the curve at " << row;
  }

  // 16 points at pixel centres (4k + 1.5, 4k + 1.5) on the diagonal.
  picture("points", R"(#version 450 core
void main() {
    float at = float(gl_VertexID) * 4.0 + 1.5;
    gl_Position = vec4(at / 32.0 - 1.0, at / 32.0 - 1.0, 0.0, 1.0);
    gl_PointSize = 1.0;
}
)", kWhite, "points 16");
  const std::string points = still("points");
  ASSERT_EQ(points.size(), 64u * 64);
  int lit = 0;
  for (int k = 0; k < 16; ++k) {
    const int x = 4 * k + 1;
    const int y = 63 - x;
    EXPECT_GT(static_cast<unsigned char>(points[static_cast<size_t>(y * 64 + x)]), 200) << "point " << k;
  }
  for (char c : points) {
    lit += static_cast<unsigned char>(c) > 128;
  }
  EXPECT_EQ(lit, 16);

  // Two lines: a row across at y = 10.5 and a column at x = 50.5 (the second
  // pair of vertices), nothing between.
  picture("lines", R"(#version 450 core
void main() {
    const vec2 ends[4] = vec2[4](vec2(0.0, 10.5), vec2(64.0, 10.5), vec2(50.5, 0.0), vec2(50.5, 64.0));
    gl_Position = vec4(ends[gl_VertexID] / 32.0 - 1.0, 0.0, 1.0);
}
)", kWhite, "lines 4");
  const std::string lines = still("lines");
  ASSERT_EQ(lines.size(), 64u * 64);
  int onLines = 0;
  int off = 0;
  for (int y = 0; y < 64; ++y) {
    for (int x = 0; x < 64; ++x) {
      const bool on = y == 63 - 10 || x == 50;
      const bool white = static_cast<unsigned char>(lines[static_cast<size_t>(y * 64 + x)]) > 128;
      onLines += on && white;
      off += !on && white;
    }
  }
  EXPECT_GE(onLines, 126);
  EXPECT_EQ(off, 0);

  // A strip of four vertices: the left half of the frame, exactly.
  picture("strip", R"(#version 450 core
void main() {
    const vec2 corners[4] = vec2[4](vec2(-1, -1), vec2(0, -1), vec2(-1, 1), vec2(0, 1));
    gl_Position = vec4(corners[gl_VertexID], 0.0, 1.0);
}
)", kWhite, "triangle-strip 4");
  const std::string strip = still("strip");
  ASSERT_EQ(strip.size(), 64u * 64);
  int misplaced = 0;
  for (int y = 0; y < 64; ++y) {
    for (int x = 0; x < 64; ++x) {
      misplaced += (static_cast<unsigned char>(strip[static_cast<size_t>(y * 64 + x)]) > 128) != (x < 32);
    }
  }
  EXPECT_EQ(misplaced, 0);
}

// A soft picture shaded at half scale and brought up is within 40 dB of the
// same picture at full scale (PSNR over the frame), and it is not the same
// frame (the scale is used).
TEST_F(Geometry, ASoftPictureAtHalfScaleKeepsItsLook) {
  const std::string soft = vt::fragmentShader(R"(    vec2 p = uv * 3.0;
    float v = sin(p.x + itime) + sin(p.y * 1.3 - itime * 0.7) + sin(length(p - 1.5) * 2.0);
    FragColor = vec4(0.5 + 0.5 * cos(v + vec3(0.0, 2.1, 4.2)), 1.0);)");
  picture("full", vt::kPlainVertexShader, soft, "");
  picture("half", vt::kPlainVertexShader, soft, "scale 0.5\n");
  const std::string full = still("full", "320x240");
  const std::string half = still("half", "320x240");
  ASSERT_EQ(full.size(), 320u * 240);
  ASSERT_EQ(half.size(), full.size());
  double squares = 0;
  for (size_t i = 0; i < full.size(); ++i) {
    const double d = static_cast<unsigned char>(full[i]) - static_cast<unsigned char>(half[i]);
    squares += d * d;
  }
  const double mse = squares / static_cast<double>(full.size());
  EXPECT_GT(mse, 0.0);
  EXPECT_GE(10 * std::log10(255.0 * 255.0 / mse), 40.0);
}

// "scale 0.5 min 270": a picture of one-pixel stripes is shaded at full
// size where half would leave its shorter side under 270 pixels (every
// pixel black or white, as drawn), and smaller where it would not (the
// stripes, brought up, blur towards grey). Frames 160x90, 400x300 (0.9),
// 640x540 (0.5) and 1280x720 (0.5).
TEST_F(Geometry, AScaleKeepsItsLeastSide) {
  picture("stripes", vt::kPlainVertexShader,
          vt::fragmentShader("    FragColor = vec4(vec3(float(int(gl_FragCoord.x) % 2)), 1.0);"), "scale 0.5 min 270\n");
  const struct {
    std::string size;
    size_t pixels;
    bool full;
  } frames[] = {{"160x90", 160 * 90, true},
                {"400x300", 400 * 300, false},
                {"640x540", 640 * 540, false},
                {"1280x720", 1280 * 720, false}};
  for (const auto& f : frames) {
    fs::remove(dir / "stripes.png");
    const std::string grey = still("stripes", f.size);
    ASSERT_EQ(grey.size(), f.pixels) << f.size;
    int between = 0;  // neither black nor white
    for (const char c : grey) {
      const int v = static_cast<unsigned char>(c);
      between += v > 8 && v < 247;
    }
    const double share = static_cast<double>(between) / static_cast<double>(grey.size());
    if (f.full) {
      EXPECT_EQ(between, 0) << f.size;
    } else {
      EXPECT_GT(share, 0.5) << f.size;
    }
  }
}

// Laid over something, a half-scale layer brought up keeps alpha as
// coverage: every pixel it covers at all has the mark's own colour (orange),
// its edge fading out in alpha rather than darkening towards the black of
// the uncovered pixels beside it, and the disc's middle is whole.
TEST_F(Geometry, AHalfScaleLayerKeepsItsColourAtItsEdges) {
  picture("disc", vt::kPlainVertexShader, vt::fragmentShader(R"(    float r = length(uv - 0.5) * 2.0;
    float cover = 1.0 - smoothstep(0.45, 0.5, r);
    FragColor = cover > 0.0 ? vec4(1.0, 0.5, 0.0, cover) : vec4(0.0);)"), "scale 0.5\n");
  const vt::StudioRun run = vt::studio(dir.path(), {"render", "song.wav", "disc.png", "--shaders", "disc", "--size",
                                                    "96x96", "--from", "0.5", "--transparent"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string rgba = vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / "disc.png", "-f", "rawvideo",
                                          "-pix_fmt", "rgba", "-"});
  ASSERT_EQ(rgba.size(), 96u * 96 * 4);
  int edge = 0;
  int darkened = 0;
  for (size_t i = 0; i < rgba.size(); i += 4) {
    const int alpha = static_cast<unsigned char>(rgba[i + 3]);
    if (alpha < 8) {
      continue;
    }
    edge += alpha < 248;
    const int r = static_cast<unsigned char>(rgba[i]);
    const int g = static_cast<unsigned char>(rgba[i + 1]);
    darkened += std::abs(r - 255) > 12 || std::abs(g - 128) > 12;
  }
  EXPECT_GT(edge, 40);  // the edge is there, blurred by the bringing up
  EXPECT_EQ(darkened, 0);
  EXPECT_EQ(static_cast<unsigned char>(rgba[(48 * 96 + 48) * 4 + 3]), 255);
}

// Marks at full size laid over something keep their own colour where they
// half cover a pixel: 64 squares, orange at coverage 0.5, written straight
// as (255, 128, 0, 128) where they are and clear elsewhere. Blended over a
// clear frame and kept so, they were half as bright (128, 64, 0).
TEST_F(Geometry, HalfCoveredMarksKeepTheirColourLaidOverSomething) {
  picture("half", kSquares, vt::fragmentShader("    FragColor = vec4(1.0, 0.5, 0.0, 0.5);"), "triangles 384\n");
  const vt::StudioRun run = vt::studio(dir.path(), {"render", "song.wav", "half.png", "--shaders", "half", "--size",
                                                    "64x64", "--from", "0.5", "--transparent"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string rgba = vt::runOutput({"/usr/bin/ffmpeg", "-v", "error", "-i", dir / "half.png", "-f", "rawvideo",
                                          "-pix_fmt", "rgba", "-"});
  ASSERT_EQ(rgba.size(), 64u * 64 * 4);
  int marked = 0;
  for (int row = 0; row < 64; ++row) {
    for (int column = 0; column < 64; ++column) {
      const unsigned char* p = reinterpret_cast<const unsigned char*>(rgba.data()) + (row * 64 + column) * 4;
      // Rows from the top; a square covers pixels 2..5 of each 8 both ways.
      const bool inside = (column % 8) >= 2 && (column % 8) < 6 && ((63 - row) % 8) >= 2 && ((63 - row) % 8) < 6;
      if (!inside) {
        EXPECT_EQ(p[3], 0) << column << "," << row;
        continue;
      }
      ++marked;
      EXPECT_NEAR(p[0], 255, 2) << column << "," << row;
      EXPECT_NEAR(p[1], 128, 2) << column << "," << row;
      EXPECT_NEAR(p[2], 0, 2) << column << "," << row;
      EXPECT_NEAR(p[3], 128, 2) << column << "," << row;
    }
  }
  EXPECT_EQ(marked, 64 * 16);
}

// Three draws of one pair, each told which it is by "layer": a grey quad
// shaded at half scale, the 64 squares over it, then the right half at alpha
// 0.5 (coverage: half the white over what is there).
TEST_F(Geometry, DrawsAreLayeredInOrderEachToldWhichItIs) {
  picture("layers", R"(#version 450 core
layout(location = 0) in vec3 aPos;
uniform int layer;
void main() {
    const vec2 corners[6] = vec2[6](vec2(0, 0), vec2(1, 0), vec2(1, 1), vec2(0, 0), vec2(1, 1), vec2(0, 1));
    const vec2 right[4] = vec2[4](vec2(0, -1), vec2(1, -1), vec2(0, 1), vec2(1, 1));
    if (layer == 0) {
        gl_Position = vec4(aPos, 1.0);
    } else if (layer == 1) {
        int square = gl_VertexID / 6;
        vec2 at = vec2(square % 8, square / 8) * 8.0 + 2.0 + corners[gl_VertexID % 6] * 4.0;
        gl_Position = vec4(at / 32.0 - 1.0, 0.0, 1.0);
    } else {
        gl_Position = vec4(right[gl_VertexID], 0.0, 1.0);
    }
}
)", R"(#version 450 core
uniform int layer;
out vec4 FragColor;
void main() {
    FragColor = layer == 0 ? vec4(vec3(0.25), 1.0) : vec4(1.0, 1.0, 1.0, layer == 1 ? 1.0 : 0.5);
}
)", "quad\nscale 0.5\ntriangles 384  # the squares\ntriangle-strip 4\n");
  const std::string grey = still("layers");
  ASSERT_EQ(grey.size(), 64u * 64);
  int wrong = 0;
  for (int y = 0; y < 64; ++y) {
    for (int x = 0; x < 64; ++x) {
      const bool square = x % 8 >= 2 && x % 8 < 6 && y % 8 >= 2 && y % 8 < 6;
      const double under = square ? 255 : 0.25 * 255;
      const double want = x >= 32 ? 0.5 * 255 + 0.5 * under : under;
      const int got = static_cast<unsigned char>(grey[static_cast<size_t>(y * 64 + x)]);
      wrong += std::fabs(got - want) > 3;
    }
  }
  EXPECT_EQ(wrong, 0);
}

// What draw.txt cannot say, each in one line naming the file (and its line),
// with nothing written.
TEST_F(Geometry, BadDrawFilesAreRefusedInOneLine) {
  const struct {
    std::string draw;
    std::string vertex;
    std::string says;
  } cases[] = {
      {"quads 4", kSquares, "draw.txt:1: \"quads\" is neither a mode"},
      {"triangles 0", kSquares, "draw.txt:1: triangles needs a count of vertices from 1 to 1000000"},
      {"# many\ntriangles 1000001", kSquares, "draw.txt:2: triangles needs a count"},
      {"points many", kSquares, "draw.txt:1: points needs a count"},
      {"quad 4", kSquares, "draw.txt:1: quad takes no count"},
      {"quad\ntriangles 3\nscale 0.5", kSquares, "draw.txt:3: only the first draw can be at a smaller scale"},
      {"scale 0.5\nquad\nscale 0.5", kSquares, "draw.txt:3: a second scale for one draw"},
      {"quad\nquad\nquad\nquad\nquad\nquad\nquad\nquad\nquad", kSquares, "draw.txt:9: more than 8 draws"},
      {"scale 0.05", kSquares, "draw.txt:1: scale must be one number from 0.1 to 1"},
      {"scale 2", kSquares, "draw.txt:1: scale must be"},
      {"scale 0.5 min", kSquares, "draw.txt:1: scale must be one number from 0.1 to 1, then"},
      {"scale 0.5 max 270", kSquares, "draw.txt:1: scale must be one number"},
      {"scale 0.5 min 0", kSquares, "draw.txt:1: scale's min must be a whole number of pixels from 1 to 8192"},
      {"quad\nscale 0.5 min 8193", kSquares, "draw.txt:2: scale's min must be"},
      {"scale 0.5 min 2.5", kSquares, "draw.txt:1: scale's min must be"},
      {"triangles 3", "#version 450 core\nvoid main() { gl_Position = nope; }\n", "Quad.vert.glsl:2"},
  };
  for (const auto& c : cases) {
    fs::remove_all(dir / "bad");
    picture("bad", c.vertex, kWhite, c.draw);
    const vt::StudioRun run = vt::studio(dir.path(), {"render", "song.wav", "bad.png", "--shaders", "bad"});
    EXPECT_EQ(run.status, 1) << c.draw << "\n" << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "bad.png"));
  }
}

}  // namespace
