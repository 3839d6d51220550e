// drawPlan.h — how a picture's pair is drawn: the full-screen quad (every
// pixel shaded), or geometry (the vertex stage run COUNT times with
// gl_VertexID, only the covered pixels shaded), at the frame's size or at a
// smaller scale brought up to it; or several draws one over the other, each
// told which it is by "uniform int layer".
//
// A pair's folder may hold draw.txt, lines of:
//   MODE COUNT   a draw: points, lines, line-strip, triangles or
//                triangle-strip, and how many vertices (1 to 1,000,000)
//   quad         a draw of the full-screen quad (every pixel shaded)
//   scale S      the draw on the line before (or, before any, the first) is
//                shaded at S × the frame's size (0.1 to 1) and brought up
//                with a bilinear filter: for soft layers the eye cannot tell
//   scale S min N  the same, but the layer's shorter side is never made
//                less than N pixels (nor more than the frame's): marks a
//                few pixels wide in a small frame keep their colour
// "#" starts a comment. Without the file: the quad at full scale. The
// first draw is drawn over black (nothing, when laid over something); each
// later one over what is drawn, blended by its alpha as coverage, at the
// frame's size: only the first can be at a smaller scale, as it is brought
// up under the rest.
//
// Threading: plain functions; any thread.
#pragma once

#include <string>
#include <vector>

#include "base/status.h"

constexpr int kMostVertices = 1000000;
constexpr int kMostDraws = 8;
constexpr int kMostLeastSide = 8192;

enum class DrawMode { Quad, Points, Lines, LineStrip, Triangles, TriangleStrip };

// One draw of a pair: what it is made of and the scale it is shaded at.
struct Draw {
  DrawMode mode = DrawMode::Quad;
  int count = 0;  // vertices, for geometry
  double scale = 1;
  int leastSide = 0;  // pixels; 0: none
  bool geometry() const { return mode != DrawMode::Quad; }
  // The scale it is shaded at in a frame of this size.
  double scaleIn(int width, int height) const;
};

struct DrawPlan {
  std::vector<Draw> draws{Draw{}};  // in drawing order; never empty
};

// draw.txt's text read; `path` names it in messages ("FILE:LINE: why").
Result<DrawPlan> parseDrawPlan(const std::string& text, const std::string& path);
// DIR/draw.txt, or the quad at full scale where there is none.
Result<DrawPlan> readDrawPlan(const std::string& dir);
