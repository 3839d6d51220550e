// main.cpp — VRAX: plays "example.wav" in a loop and draws its spectrum with
// the shader pair in "Shaders/", until the window is closed.
//
// One thread. The loop draws a frame once 16 ms have passed since the last
// one and spins in between. Objects are declared in start-up order, so they
// are torn down in the reverse: sound before the engine and its window.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Model.h"
#include "audio.h"
#include "renderEngine.h"
#include "scene.h"
#include "spectrum.h"

int main() {
  using Clock = std::chrono::steady_clock;
  constexpr int64_t kFrameNs = 16000000;

  RenderEngine engine;
  std::vector<float> vertices;
  std::vector<int> indices;
  std::string vertexSource;
  std::string fragmentSource;
  GLuint program = 0;
  std::shared_ptr<Model> model;
  setUpScene(engine, vertices, indices, vertexSource, fragmentSource, program, model);
  std::vector<float> samples;
  AudioDevice audio;
  std::vector<float> previous;
  const Clock::time_point start = Clock::now();
  Clock::time_point last = start;

  while (!glfwWindowShouldClose(engine.window)) {
    const Clock::time_point now = Clock::now();
    if (std::chrono::duration_cast<std::chrono::nanoseconds>(now - last).count() < kFrameNs) {
      continue;
    }
    last = now;
    samples = audio.getSamples();
    updateSpectrum(samples, previous);
    const int64_t elapsedMs = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start).count() / 1000000;
    engine.setUniform("aspect", engine.getAspect());
    engine.setUniform("itime", static_cast<float>(elapsedMs) / 1000.0f);
    engine.models[0]->material.setBuffer("audio", samples);
    engine.render();
  }
  return 0;
}
