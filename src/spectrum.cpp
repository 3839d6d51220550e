// spectrum.cpp — see spectrum.h.
//
// The window is real and at most 2048 values long, padded to 16384. That
// shape buys three savings over a plain 16384-point complex transform:
//   * the real input is packed two values per complex point, so an 8192-point
//     transform Z gives every bin X[k] for k ≤ 8192, and the upper half of the
//     spectrum mirrors the lower (|X[N−k]| = |X[k]| for real input);
//   * the packed input has only 1024 non-zero points of 8192, so the first
//     three decimation-in-frequency stages are pure twiddle products:
//     Z[8q + r] = FFT1024(z[n]·W8192^(r·n))[q] for r = 0 … 7;
//   * the eight 1024-point transforms share their twiddles, so they run side
//     by side as the eight lanes of one vector (GCC/Clang vector extension),
//     two radix-2 stages per pass. Lane r of row q is Z[8q + r], so the
//     result lands in natural order.
// The logarithm is taken as ½·ln|X|² with a polynomial that is exact to
// about 1e-7, so no square root is needed.
#include "spectrum.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr int N = kSpectrumSize;
constexpr int kHalf = N / 2;            // points of the packed transform
constexpr int kLanes = 8;               // sub-transforms run side by side
constexpr int kRows = kHalf / kLanes;   // 1024, points of each sub-transform
constexpr int kRowBits = 10;            // log2(kRows), even: stages go in pairs
constexpr int kFastWindow = 2 * kRows;  // longest window the fast path takes
constexpr float kSmoothing = 0.9f;
constexpr double kTwoPi = 6.283185307179586476925286766559;

// Four floats handled as one value, the width of baseline x86-64 SIMD (wider
// generic vectors get split poorly without AVX). A row of eight lanes is two.
typedef float Quad __attribute__((vector_size(4 * sizeof(float))));
constexpr int kQuads = kLanes / 4;
typedef Quad Lanes[kQuads];

const float kFloorLog = std::log(kMagnitudeFloor);
const float kFloorPower = kMagnitudeFloor * kMagnitudeFloor;

struct Tables {
  uint16_t bitReverse[kRows];
  // W8192^(r·n) for input point n, lane r.
  Lanes laneRe[kRows], laneIm[kRows];
  // W1024^k for the sub-transform butterflies.
  float rowRe[kRows / 2], rowIm[kRows / 2];
  // W16384^k for unpacking the real transform, k = 0 … 8192.
  float unpackRe[kHalf + 1], unpackIm[kHalf + 1];

  Tables() {
    for (int i = 0; i < kRows; ++i) {
      int r = 0;
      for (int b = 0; b < kRowBits; ++b) {
        r |= ((i >> b) & 1) << (kRowBits - 1 - b);
      }
      bitReverse[i] = static_cast<uint16_t>(r);
    }
    for (int n = 0; n < kRows; ++n) {
      for (int r = 0; r < kLanes; ++r) {
        const double angle = -kTwoPi * r * n / kHalf;
        laneRe[n][r / 4][r % 4] = static_cast<float>(std::cos(angle));
        laneIm[n][r / 4][r % 4] = static_cast<float>(std::sin(angle));
      }
    }
    for (int k = 0; k < kRows / 2; ++k) {
      const double angle = -kTwoPi * k / kRows;
      rowRe[k] = static_cast<float>(std::cos(angle));
      rowIm[k] = static_cast<float>(std::sin(angle));
    }
    for (int k = 0; k <= kHalf; ++k) {
      const double angle = -kTwoPi * k / N;
      unpackRe[k] = static_cast<float>(std::cos(angle));
      unpackIm[k] = static_cast<float>(std::sin(angle));
    }
  }
};

const Tables& tables() {
  static const Tables t;
  return t;
}

struct Scratch {
  Lanes re[kRows];
  Lanes im[kRows];
  // The transform's result as plain floats, with Z[N/2] = Z[0] appended.
  alignas(64) float flatRe[kHalf + 1];
  alignas(64) float flatIm[kHalf + 1];
  alignas(64) float logs[kHalf + 1];
  alignas(64) uint32_t bits[kHalf + 1];
  alignas(64) uint32_t floored[kHalf + 1];
  alignas(64) float mantissa[kHalf + 1];
  alignas(64) float exponent[kHalf + 1];
  std::vector<std::complex<float>> full;  // only for windows too long for the fast path
};

Scratch& scratch() {
  static thread_local Scratch s;
  return s;
}

// ln(power[k]) / 2 = ln |X[k]|, floored, for k < count. The mantissa is
// split off with integer arithmetic so that it lands in [√½, √2), then a
// polynomial (exact to about 1e-7) does the rest. Branch-free, so the loops
// vectorise.
void halfLogs(float* __restrict power, uint32_t* __restrict bits, uint32_t* __restrict floored,
              float* __restrict mantissa, float* __restrict exponent, int count) {
  std::memcpy(bits, power, sizeof(float) * static_cast<size_t>(count));
  uint32_t floorBits;
  std::memcpy(&floorBits, &kFloorPower, sizeof floorBits);
  for (int k = 0; k < count; ++k) {
    // Powers are never negative, and non-negative floats order like their
    // bits. Floored bins are marked and get the exact floor value at the end.
    floored[k] = bits[k] < floorBits ? ~0u : 0u;
    const uint32_t b = bits[k] < floorBits ? floorBits : bits[k];
    const uint32_t shifted = b - 0x3f3504f3u;  // the bits of √½
    exponent[k] = static_cast<float>(static_cast<int32_t>(shifted) >> 23);
    bits[k] = b - (shifted & 0xff800000u);
  }
  std::memcpy(mantissa, bits, sizeof(float) * static_cast<size_t>(count));
  for (int k = 0; k < count; ++k) {
    const float e = exponent[k];
    const float f = mantissa[k] - 1.0f;
    const float z = f * f;
    float y = 7.0376836292e-2f;
    y = y * f - 1.1514610310e-1f;
    y = y * f + 1.1676998740e-1f;
    y = y * f - 1.2420140846e-1f;
    y = y * f + 1.4249322787e-1f;
    y = y * f - 1.6668057665e-1f;
    y = y * f + 2.0000714765e-1f;
    y = y * f - 2.4999993993e-1f;
    y = y * f + 3.3333331174e-1f;
    y = y * f * z;
    y += -2.12194440e-4f * e;
    y += -0.5f * z;
    power[k] = 0.5f * (f + y + 0.693359375f * e);
  }
  uint32_t floorLogBits;
  std::memcpy(&floorLogBits, &kFloorLog, sizeof floorLogBits);
  std::memcpy(bits, power, sizeof(float) * static_cast<size_t>(count));
  for (int k = 0; k < count; ++k) {
    bits[k] = (bits[k] & ~floored[k]) | (floorLogBits & floored[k]);
  }
  std::memcpy(power, bits, sizeof(float) * static_cast<size_t>(count));
}

// Two radix-2 stages at once over rows a, b = a + h, c = a + 2h, d = a + 3h
// (h = half the first stage's length): one pass over memory instead of two.
// w1 is the first stage's twiddle for both of its pairs; w2 and w3 are the
// second stage's for (a, c) and (b, d).
inline void butterflyPair(Lanes* __restrict re, Lanes* __restrict im, int a, int h, float w1r, float w1i, float w2r,
                          float w2i, float w3r, float w3i) {
  const int b = a + h, c = a + 2 * h, d = a + 3 * h;
  for (int q = 0; q < kQuads; ++q) {
    // First stage: (a, b) and (c, d).
    const Quad vr = re[b][q] * w1r - im[b][q] * w1i, vi = re[b][q] * w1i + im[b][q] * w1r;
    const Quad xr = re[d][q] * w1r - im[d][q] * w1i, xi = re[d][q] * w1i + im[d][q] * w1r;
    const Quad a1r = re[a][q] + vr, a1i = im[a][q] + vi, b1r = re[a][q] - vr, b1i = im[a][q] - vi;
    const Quad c1r = re[c][q] + xr, c1i = im[c][q] + xi, d1r = re[c][q] - xr, d1i = im[c][q] - xi;
    // Second stage: (a, c) and (b, d).
    const Quad yr = c1r * w2r - c1i * w2i, yi = c1r * w2i + c1i * w2r;
    const Quad zr = d1r * w3r - d1i * w3i, zi = d1r * w3i + d1i * w3r;
    re[a][q] = a1r + yr;
    im[a][q] = a1i + yi;
    re[c][q] = a1r - yr;
    im[c][q] = a1i - yi;
    re[b][q] = b1r + zr;
    im[b][q] = b1i + zi;
    re[d][q] = b1r - zr;
    im[d][q] = b1i - zi;
  }
}

// Packs the window two values per point, twists each lane by its twiddle and
// places the rows in bit-reversed order, ready for the transform.
void packRows(const std::vector<float>& window, Scratch& s) {
  const Tables& t = tables();
  const int used = static_cast<int>(window.size());
  for (int n = 0; n < kRows; ++n) {
    const float x0 = 2 * n < used ? window[2 * n] : 0.0f;
    const float x1 = 2 * n + 1 < used ? window[2 * n + 1] : 0.0f;
    for (int q = 0; q < kQuads; ++q) {
      s.re[t.bitReverse[n]][q] = x0 * t.laneRe[n][q] - x1 * t.laneIm[n][q];
      s.im[t.bitReverse[n]][q] = x0 * t.laneIm[n][q] + x1 * t.laneRe[n][q];
    }
  }
}

// Decimation in time over the rows, two stages (len and 2·len) per pass;
// every lane uses the same twiddle. kRows is an even power of two.
void transformRows(Scratch& s) {
  const Tables& t = tables();
  for (int len = 2; len <= kRows / 2; len <<= 2) {
    const int half = len / 2;
    const int step1 = kRows / len;        // W_len^k = W1024^(k·step1)
    const int step2 = kRows / (2 * len);  // W_2len^k
    for (int start = 0; start < kRows; start += 2 * len) {
      for (int k = 0; k < half; ++k) {
        butterflyPair(s.re, s.im, start + k, half, t.rowRe[k * step1], t.rowIm[k * step1], t.rowRe[k * step2],
                      t.rowIm[k * step2], t.rowRe[(k + half) * step2], t.rowIm[(k + half) * step2]);
      }
    }
  }
}

// Unpacks the real transform into power[k] = |X[k]|², k = 0 … N/2:
// X[k] = E[k] + W16384^k·O[k], where E and O, the transforms of the even and
// odd values, come from Z[k] and conj(Z[N/2 − k]).
void unpackPower(Scratch& s) {
  const Tables& t = tables();
  float* __restrict zRe = s.flatRe;
  float* __restrict zIm = s.flatIm;
  std::memcpy(zRe, s.re, sizeof s.re);
  std::memcpy(zIm, s.im, sizeof s.im);
  zRe[kHalf] = zRe[0];
  zIm[kHalf] = zIm[0];
  float* __restrict power = s.logs;
  for (int k = 0; k <= kHalf; ++k) {
    const float zr = zRe[k], zi = zIm[k];
    const float cr = zRe[kHalf - k], ci = -zIm[kHalf - k];
    const float er = 0.5f * (zr + cr), ei = 0.5f * (zi + ci);
    const float or_ = 0.5f * (zi - ci), oi = -0.5f * (zr - cr);  // (Z − conj Z') / 2i
    const float wr = t.unpackRe[k], wi = t.unpackIm[k];
    const float xr = er + (or_ * wr - oi * wi);
    const float xi = ei + (or_ * wi + oi * wr);
    power[k] = xr * xr + xi * xi;
  }
}

// logs[k] := ln max(|X[k]|, floor) for k = 0 … N/2 of the padded window.
void halfSpectrumLogs(const std::vector<float>& window, Scratch& s) {
  packRows(window, s);
  transformRows(s);
  unpackPower(s);
  halfLogs(s.logs, s.bits, s.floored, s.mantissa, s.exponent, kHalf + 1);
}

}  // namespace

void fft(std::vector<std::complex<float>>& a) {
  const int n = static_cast<int>(a.size());
  if (n < 2) {
    return;
  }
  for (int i = 1, j = 0; i < n; ++i) {
    int bit = n >> 1;
    for (; j & bit; bit >>= 1) {
      j ^= bit;
    }
    j ^= bit;
    if (i < j) {
      std::swap(a[i], a[j]);
    }
  }
  // Twiddles come from the angle of each one rather than from repeated
  // products, so large sizes keep their accuracy.
  std::vector<std::complex<float>> w(static_cast<size_t>(n / 2));
  for (int len = 2; len <= n; len <<= 1) {
    const double angle = -kTwoPi / len;
    const int half = len / 2;
    for (int k = 0; k < half; ++k) {
      w[k] = std::complex<float>(static_cast<float>(std::cos(angle * k)), static_cast<float>(std::sin(angle * k)));
    }
    for (int i = 0; i < n; i += len) {
      for (int k = 0; k < half; ++k) {
        const std::complex<float> u = a[i + k];
        const std::complex<float> v = a[i + k + half] * w[k];
        a[i + k] = u + v;
        a[i + k + half] = u - v;
      }
    }
  }
}

void updateSpectrum(std::vector<float>& samples, std::vector<float>& previous) {
  Scratch& s = scratch();
  if (static_cast<int>(samples.size()) <= kFastWindow) {
    halfSpectrumLogs(samples, s);
  } else {
    s.full.assign(N, std::complex<float>(0.0f, 0.0f));
    const int used = std::min(static_cast<int>(samples.size()), N);
    for (int j = 0; j < used; ++j) {
      s.full[j] = std::complex<float>(samples[j], 0.0f);
    }
    fft(s.full);
    for (int k = 0; k <= kHalf; ++k) {
      s.logs[k] = std::log(std::max(std::abs(s.full[k]), kMagnitudeFloor));
    }
  }
  samples.resize(N);
  if (previous.size() != static_cast<size_t>(N)) {
    previous.assign(N, 0.0f);
  }
  // Real input: the upper half of the bins mirrors the lower.
  const float* __restrict logs = s.logs;
  float* __restrict out = samples.data();
  const float* __restrict prev = previous.data();
  for (int k = 0; k <= kHalf; ++k) {
    out[k] = (prev[k] - logs[k]) * kSmoothing + logs[k];
  }
  for (int k = kHalf + 1; k < N; ++k) {
    out[k] = (prev[k] - logs[N - k]) * kSmoothing + logs[N - k];
  }
  std::copy(samples.begin(), samples.end(), previous.begin());
}
