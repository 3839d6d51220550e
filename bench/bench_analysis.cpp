// The per-frame analysis, all inputs: cutting the frame's sound out of a
// decoded song and stepping the analysis (spectrum, bands, levels, onsets,
// waveform), as render and play do for every frame.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "sound/analysis.h"
#include "video/frameClock.h"

namespace {

std::vector<int16_t> music(int64_t frames) {
  std::vector<int16_t> out(static_cast<size_t>(frames) * 2);
  for (int64_t f = 0; f < frames; ++f) {
    const double t = static_cast<double>(f) / 44100;
    const double kick = std::exp(-std::fmod(t, 0.5) * 20) * std::sin(2 * M_PI * 60 * t);
    const double v = 0.5 * kick + 0.2 * std::sin(2 * M_PI * 440 * t) + 0.05 * std::sin(2 * M_PI * 5000 * t);
    out[static_cast<size_t>(2 * f)] = static_cast<int16_t>(v * 30000);
    out[static_cast<size_t>(2 * f + 1)] = static_cast<int16_t>(v * 25000);
  }
  return out;
}

void AnalysisStep(benchmark::State& state) {
  const std::vector<int16_t> song = music(44100 * 10);
  const FrameClock clock({60, 1}, 44100);
  Analysis analysis(44100);
  FrameSound sound;
  int64_t n = 0;
  for (auto _ : state) {
    soundAround(song, 0, 2, clock.soundFrameAt(n), sound);
    benchmark::DoNotOptimize(analysis.step(sound, clock.seconds(n)));
    n = (n + 1) % 600;
  }
}
BENCHMARK(AnalysisStep)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
