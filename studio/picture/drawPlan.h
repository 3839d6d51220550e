// drawPlan.h — how a picture's pair is drawn: the full-screen quad (every
// pixel shaded), or geometry (the vertex stage run COUNT times with
// gl_VertexID, only the covered pixels shaded), at the frame's size or at a
// smaller scale brought up to it.
//
// A pair's folder may hold draw.txt, lines of:
//   MODE COUNT   points, lines, line-strip, triangles or triangle-strip, and
//                how many vertices (1 to 1,000,000)
//   scale S      shade at S × the frame's size (0.1 to 1), brought up with a
//                bilinear filter: for soft pictures the eye cannot tell
// "#" starts a comment. Without the file: the quad at full scale.
//
// Threading: plain functions; any thread.
#pragma once

#include <string>

#include "base/status.h"

constexpr int kMostVertices = 1000000;

enum class DrawMode { Quad, Points, Lines, LineStrip, Triangles, TriangleStrip };

struct DrawPlan {
  DrawMode mode = DrawMode::Quad;
  int count = 0;  // vertices, for geometry
  double scale = 1;
  bool geometry() const { return mode != DrawMode::Quad; }
};

// draw.txt's text read; `path` names it in messages ("FILE:LINE: why").
Result<DrawPlan> parseDrawPlan(const std::string& text, const std::string& path);
// DIR/draw.txt, or the quad at full scale where there is none.
Result<DrawPlan> readDrawPlan(const std::string& dir);
