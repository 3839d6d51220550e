// The per-frame spectrum step against a reference step built on FFTW (a
// measured 16384-point complex plan, |X|, std::log, the same floor and blend),
// and the sample window, on the same 2048-value windows.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "sampleWindow.h"
#include "spectrum.h"

#ifdef VRAX_HAVE_FFTW
#include <fftw3.h>
#endif

namespace {

std::vector<float> window(unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> sample(-32768, 32767);
  std::vector<float> values(2048);
  for (auto& v : values)
    v = static_cast<float>(sample(random)) / 1000.0f;
  return values;
}

void BM_updateSpectrum(benchmark::State& state) {
  const std::vector<float> input = window(1);
  std::vector<float> samples;
  std::vector<float> previous;
  for (auto _ : state) {
    samples = input;
    updateSpectrum(samples, previous);
    benchmark::DoNotOptimize(samples.data());
  }
}
BENCHMARK(BM_updateSpectrum);

#ifdef VRAX_HAVE_FFTW
void BM_fftwReference(benchmark::State& state) {
  constexpr int n = kSpectrumSize;
  auto* buffer = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * n));
  fftwf_plan plan = fftwf_plan_dft_1d(n, buffer, buffer, FFTW_FORWARD, FFTW_MEASURE);
  const std::vector<float> input = window(1);
  std::vector<float> samples;
  std::vector<float> previous(n, 0.0f);
  for (auto _ : state) {
    samples = input;
    samples.resize(n, 0.0f);
    for (int j = 0; j < n; ++j) {
      buffer[j][0] = samples[static_cast<size_t>(j)];
      buffer[j][1] = 0.0f;
    }
    fftwf_execute(plan);
    for (int k = 0; k < n; ++k) {
      const float magnitude = std::abs(std::complex<float>(buffer[k][0], buffer[k][1]));
      const float l = std::log(std::max(magnitude, kMagnitudeFloor));
      samples[static_cast<size_t>(k)] = (previous[static_cast<size_t>(k)] - l) * 0.9f + l;
    }
    previous = samples;
    benchmark::DoNotOptimize(samples.data());
  }
  fftwf_destroy_plan(plan);
  fftwf_free(buffer);
}
BENCHMARK(BM_fftwReference);

// The FFTW transform alone, to show how the reference's time divides.
void BM_fftwTransformOnly(benchmark::State& state) {
  constexpr int n = kSpectrumSize;
  auto* buffer = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * n));
  fftwf_plan plan = fftwf_plan_dft_1d(n, buffer, buffer, FFTW_FORWARD, FFTW_MEASURE);
  for (auto _ : state) {
    for (int j = 0; j < n; ++j) {
      buffer[j][0] = j < 2048 ? static_cast<float>(j % 17) : 0.0f;
      buffer[j][1] = 0.0f;
    }
    fftwf_execute(plan);
    benchmark::DoNotOptimize(buffer);
  }
  fftwf_destroy_plan(plan);
  fftwf_free(buffer);
}
BENCHMARK(BM_fftwTransformOnly);
#endif

// The textbook path: the radix-2 transform over the whole padded array, |X|
// and std::log on every bin.
void BM_textbookStep(benchmark::State& state) {
  const std::vector<float> input = window(1);
  std::vector<float> previous(kSpectrumSize, 0.0f);
  std::vector<float> samples;
  for (auto _ : state) {
    samples = input;
    samples.resize(kSpectrumSize, 0.0f);
    std::vector<std::complex<float>> buffer(kSpectrumSize);
    for (size_t j = 0; j < samples.size(); ++j)
      buffer[j] = samples[j];
    fft(buffer);
    for (size_t k = 0; k < buffer.size(); ++k) {
      const float l = std::log(std::max(std::abs(buffer[k]), kMagnitudeFloor));
      samples[k] = (previous[k] - l) * 0.9f + l;
    }
    previous = samples;
    benchmark::DoNotOptimize(samples.data());
  }
}
BENCHMARK(BM_textbookStep);

void BM_sampleWindow(benchmark::State& state) {
  std::vector<int16_t> sound(44100 * 2 * 30);
  for (size_t i = 0; i < sound.size(); ++i)
    sound[i] = static_cast<int16_t>(i * 7919);
  int64_t frame = 0;
  for (auto _ : state) {
    auto values = sampleWindow(sound, frame, 2);
    benchmark::DoNotOptimize(values.data());
    frame = (frame + 735) % 1300000;
  }
}
BENCHMARK(BM_sampleWindow);

}  // namespace

BENCHMARK_MAIN();
