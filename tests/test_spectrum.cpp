// The transform and the per-frame spectrum step, against double-precision
// references.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "spectrum.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Bin k of the n-point DFT of in (zero-padded to n), in double precision.
template <typename T>
std::complex<double> dftBin(const std::vector<T>& in, size_t n, size_t k) {
  std::complex<double> sum = 0;
  for (size_t j = 0; j < in.size(); ++j) {
    sum += std::complex<double>(in[j]) * std::polar(1.0, -2.0 * kPi * static_cast<double>((k * j) % n) / n);
  }
  return sum;
}

// ln max(|X[k]|, floor) of the window zero-padded to the spectrum size, in double precision.
std::vector<double> referenceLogs(const std::vector<float>& window) {
  std::vector<double> logs(kSpectrumSize);
  for (size_t k = 0; k <= kSpectrumSize / 2; ++k) {
    const double magnitude = std::abs(dftBin(window, kSpectrumSize, k));
    logs[k] = std::log(std::max(magnitude, static_cast<double>(kMagnitudeFloor)));
    logs[(kSpectrumSize - k) % kSpectrumSize] = logs[k];
  }
  return logs;
}

std::vector<float> randomWindow(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> sample(-32768, 32767);
  std::vector<float> window(size);
  for (auto& v : window)
    v = static_cast<float>(sample(random)) / 1000.0f;
  return window;
}

}  // namespace

// Error bound: a radix-2 transform in single precision loses about
// log2(n) · 2^-24 relative to the signal's energy; 2e-6 · sqrt(Σ|x|²) · log2(n)
// holds with room to spare for every size.
TEST(Fft, MatchesADirectTransformAtEverySize) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  for (int bits = 1; bits <= 14; ++bits) {
    const size_t n = size_t{1} << bits;
    std::vector<std::complex<float>> data(n);
    double energy = 0;
    for (auto& v : data) {
      v = {value(random), value(random)};
      energy += std::norm(std::complex<double>(v));
    }
    auto actual = data;
    fft(actual);
    const double bound = 2e-6 * std::sqrt(energy) * bits;
    // The direct transform is O(n²): every bin up to 4096 points, a spread above.
    for (size_t k = 0; k < n; k += n <= 4096 ? 1 : 97) {
      ASSERT_LT(std::abs(std::complex<double>(actual[k]) - dftBin(data, n, k)), bound) << "n=" << n << " k=" << k;
    }
  }
}

TEST(Fft, LeavesLengthsBelowTwoAlone) {
  std::vector<std::complex<float>> one = {{3.0f, -1.0f}};
  fft(one);
  EXPECT_EQ(one[0], std::complex<float>(3.0f, -1.0f));
  std::vector<std::complex<float>> none;
  fft(none);
  EXPECT_TRUE(none.empty());
}

TEST(Spectrum, FirstFrameIsATenthOfTheLogMagnitude) {
  for (size_t size : {2048u, 1000u, 1u, 5000u}) {
    std::vector<float> samples = randomWindow(size, static_cast<unsigned>(size));
    const auto expected =
        referenceLogs(std::vector<float>(samples.begin(), samples.begin() + std::min<size_t>(size, kSpectrumSize)));
    std::vector<float> previous;
    updateSpectrum(samples, previous);
    ASSERT_EQ(samples.size(), static_cast<size_t>(kSpectrumSize));
    ASSERT_EQ(previous, samples);
    for (int k = 0; k < kSpectrumSize; ++k) {
      // Bins near a zero of the transform are ill-conditioned in single precision.
      if (expected[static_cast<size_t>(k)] < 0.0)
        continue;
      ASSERT_NEAR(samples[static_cast<size_t>(k)], 0.1 * expected[static_cast<size_t>(k)], 2e-4)
          << "size " << size << " bin " << k;
    }
  }
}

TEST(Spectrum, BlendsNinetyPercentOfThePreviousFrame) {
  std::vector<float> previous;
  std::vector<float> first = randomWindow(2048, 1);
  updateSpectrum(first, previous);
  std::vector<float> samples = randomWindow(2048, 2);
  const auto logs = referenceLogs(samples);
  const std::vector<float> before = previous;
  updateSpectrum(samples, previous);
  for (int k = 0; k < kSpectrumSize; k += 7) {
    const size_t i = static_cast<size_t>(k);
    if (logs[i] < 0.0)
      continue;
    ASSERT_NEAR(samples[i], (before[i] - logs[i]) * 0.9 + logs[i], 2e-4) << k;
  }
}

TEST(Spectrum, SilenceSitsOnTheFloorAndNeverGoesNonFinite) {
  const float floorLog = std::log(kMagnitudeFloor);
  EXPECT_NEAR(floorLog, -6.9078, 1e-4);
  std::vector<float> previous;
  std::vector<float> samples(2048, 0.0f);
  updateSpectrum(samples, previous);
  // The first frame blends the floor's exact value against zeros.
  const float first = (0.0f - floorLog) * 0.9f + floorLog;
  for (float v : samples)
    ASSERT_EQ(v, first);
  for (int frame = 0; frame < 400; ++frame) {
    samples.assign(2048, 0.0f);
    updateSpectrum(samples, previous);
    for (float v : samples)
      ASSERT_TRUE(std::isfinite(v));
  }
  // Every bin settles on the same value. The blend stops moving once 0.9 of
  // the gap rounds back to the gap, which leaves up to 5 ulps (2.4e-6).
  for (float v : samples)
    ASSERT_EQ(v, samples[0]);
  EXPECT_NEAR(samples[0], floorLog, 3e-6);
  // Empty windows (past the end of a sound) are silence too.
  samples.clear();
  updateSpectrum(samples, previous);
  for (float v : samples)
    ASSERT_NEAR(v, floorLog, 3e-6);
}

TEST(Spectrum, PureTonePeaksWhereItsFrequencyPredicts) {
  // 1 kHz in both channels at 44.1 kHz, interleaved: 88200 values a second.
  std::vector<float> samples(2048);
  for (size_t i = 0; i < samples.size(); ++i) {
    const double t = static_cast<double>(i / 2) / 44100.0;
    samples[i] = static_cast<float>(10.0 * std::sin(2 * kPi * 1000.0 * t));
  }
  std::vector<float> previous;
  updateSpectrum(samples, previous);
  int peak = 1;
  for (int k = 1; k < kSpectrumSize / 2; ++k) {
    if (samples[static_cast<size_t>(k)] > samples[static_cast<size_t>(peak)])
      peak = k;
  }
  EXPECT_NEAR(peak, 1000.0 * kSpectrumSize / 88200.0, 1.0);
  // Steady: the magnitude does not swing with the tone's phase.
  std::vector<float> shifted(2048);
  for (size_t i = 0; i < shifted.size(); ++i) {
    const double t = static_cast<double>(i / 2) / 44100.0;
    shifted[i] = static_cast<float>(10.0 * std::sin(2 * kPi * 1000.0 * t + 1.0));
  }
  std::vector<float> previousShifted;
  updateSpectrum(shifted, previousShifted);
  EXPECT_NEAR(shifted[static_cast<size_t>(peak)], samples[static_cast<size_t>(peak)], 0.01);
}

TEST(Spectrum, ShortWindowIsZeroPadded) {
  std::vector<float> shortWindow = randomWindow(300, 9);
  std::vector<float> padded = shortWindow;
  padded.resize(2048, 0.0f);
  std::vector<float> a, b;
  updateSpectrum(shortWindow, a);
  updateSpectrum(padded, b);
  ASSERT_EQ(shortWindow.size(), padded.size());
  for (size_t k = 0; k < padded.size(); ++k) {
    ASSERT_FLOAT_EQ(shortWindow[k], padded[k]) << k;
  }
}

TEST(Spectrum, UpperHalfMirrorsTheLower) {
  std::vector<float> samples = randomWindow(2048, 3);
  std::vector<float> previous;
  updateSpectrum(samples, previous);
  for (int k = 1; k < kSpectrumSize / 2; ++k) {
    ASSERT_EQ(samples[static_cast<size_t>(k)], samples[static_cast<size_t>(kSpectrumSize - k)]) << k;
  }
}
