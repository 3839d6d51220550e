// engineFixture.h — a fresh RenderEngine (window, GL 4.5 core context) per
// test, and the last drawn frame read back.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "renderEngine.h"

class EngineTest : public testing::Test {
 protected:
  void SetUp() override { engine = std::make_unique<RenderEngine>(); }
  void TearDown() override { engine.reset(); }

  // The frame the last render swapped, 8-bit RGBA, rows from the top.
  // llvmpipe keeps the back buffer through a swap, so it still holds the frame.
  std::vector<unsigned char> frame(int& w, int& h) {
    glfwGetFramebufferSize(engine->window, &w, &h);
    std::vector<unsigned char> bottomUp(static_cast<size_t>(w * h * 4));
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, w, h, GL_RGBA, GL_UNSIGNED_BYTE, bottomUp.data());
    std::vector<unsigned char> rows(bottomUp.size());
    const size_t row = static_cast<size_t>(w) * 4;
    for (int y = 0; y < h; ++y) {
      std::copy_n(bottomUp.begin() + static_cast<long>(row * static_cast<size_t>(h - 1 - y)), row,
                  rows.begin() + static_cast<long>(row * static_cast<size_t>(y)));
    }
    return rows;
  }

  // RGB of the pixel at (x, y) counted from the top left of the last frame.
  std::vector<int> pixel(int x, int y) {
    int w = 0, h = 0;
    const auto rows = frame(w, h);
    const size_t at = static_cast<size_t>((y * w + x) * 4);
    return {rows[at], rows[at + 1], rows[at + 2]};
  }

  std::unique_ptr<RenderEngine> engine;
};
