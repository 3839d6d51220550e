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
//     by side, eight lanes per butterfly, which the compiler vectorises. Lane r
//     of row q is Z[8q + r], so the result lands in natural order.
// The logarithm is taken as ½·ln|X|² with a polynomial that is exact to
// about 1e-7, so no square root is needed.
#include "spectrum.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

constexpr int N = kSpectrumSize;
constexpr int kHalf = N / 2;              // points of the packed transform
constexpr int kLanes = 8;                 // sub-transforms run side by side
constexpr int kRows = kHalf / kLanes;     // 1024, points of each sub-transform
constexpr int kRowBits = 10;              // log2(kRows)
constexpr int kFastWindow = 2 * kRows;    // longest window the fast path takes
constexpr float kSmoothing = 0.9f;
constexpr double kTwoPi = 6.283185307179586476925286766559;

const float kFloorLog = std::log(kMagnitudeFloor);
const float kFloorPower = kMagnitudeFloor * kMagnitudeFloor;

struct Tables {
  uint16_t bitReverse[kRows];
  // W8192^(r·n) for input point n and lane r, at [n·kLanes + r].
  float laneRe[kHalf], laneIm[kHalf];
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
        laneRe[n * kLanes + r] = static_cast<float>(std::cos(angle));
        laneIm[n * kLanes + r] = static_cast<float>(std::sin(angle));
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
  alignas(64) float re[kHalf];
  alignas(64) float im[kHalf];
  alignas(64) float logs[kHalf + 1];
  std::vector<std::complex<float>> full;  // only for windows too long for the fast path
};

Scratch& scratch() {
  static thread_local Scratch s;
  return s;
}

// Natural logarithm of positive normal floats, exact to about 1e-7. Written
// branch-free so that the loop vectorises.
inline float fastLog(float x) {
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  int exponent = static_cast<int>(bits >> 23) - 127;
  bits = (bits & 0x007fffffu) | 0x3f800000u;
  float m;
  std::memcpy(&m, &bits, sizeof m);
  // Centre the mantissa on 1 so the polynomial sees |f| < 0.42.
  const bool high = m > 1.41421356f;
  m = high ? m * 0.5f : m;
  exponent += high ? 1 : 0;
  const float e = static_cast<float>(exponent);
  const float f = m - 1.0f;
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
  return f + y + 0.693359375f * e;
}

// One radix-2 stage of the kLanes side-by-side sub-transforms.
inline void butterflyRows(float* __restrict re, float* __restrict im, int a, int b, float wr, float wi) {
  float* __restrict ar = re + a * kLanes;
  float* __restrict ai = im + a * kLanes;
  float* __restrict br = re + b * kLanes;
  float* __restrict bi = im + b * kLanes;
  for (int l = 0; l < kLanes; ++l) {
    const float vr = br[l] * wr - bi[l] * wi;
    const float vi = br[l] * wi + bi[l] * wr;
    br[l] = ar[l] - vr;
    bi[l] = ai[l] - vi;
    ar[l] += vr;
    ai[l] += vi;
  }
}

// logs[k] := ln max(|X[k]|, floor) for k = 0 … N/2 of the padded window.
void halfSpectrumLogs(const std::vector<float>& window, Scratch& s) {
  const Tables& t = tables();
  float* __restrict re = s.re;
  float* __restrict im = s.im;

  // Pack, twist each lane by its twiddle and place rows in bit-reversed order.
  const int used = static_cast<int>(window.size());
  for (int n = 0; n < kRows; ++n) {
    const float x0 = 2 * n < used ? window[2 * n] : 0.0f;
    const float x1 = 2 * n + 1 < used ? window[2 * n + 1] : 0.0f;
    float* __restrict rowR = re + t.bitReverse[n] * kLanes;
    float* __restrict rowI = im + t.bitReverse[n] * kLanes;
    const float* __restrict wr = t.laneRe + n * kLanes;
    const float* __restrict wi = t.laneIm + n * kLanes;
    for (int l = 0; l < kLanes; ++l) {
      rowR[l] = x0 * wr[l] - x1 * wi[l];
      rowI[l] = x0 * wi[l] + x1 * wr[l];
    }
  }

  // Decimation in time over the rows; every lane uses the same twiddle.
  for (int len = 2; len <= kRows; len <<= 1) {
    const int half = len / 2;
    const int step = kRows / len;
    for (int start = 0; start < kRows; start += len) {
      for (int k = 0; k < half; ++k) {
        butterflyRows(re, im, start + k, start + k + half, t.rowRe[k * step], t.rowIm[k * step]);
      }
    }
  }

  // Unpack the real transform: X[k] = E[k] + W16384^k·O[k], where E and O are
  // the transforms of the even and odd values, recovered from Z[k] and Z[N/2 − k].
  float* __restrict power = s.logs;
  for (int k = 0; k <= kHalf; ++k) {
    const int a = k == kHalf ? 0 : k;
    const int b = k == 0 ? 0 : kHalf - k;
    const float zr = re[a], zi = im[a];
    const float cr = re[b], ci = -im[b];  // conj(Z[N/2 − k])
    const float er = 0.5f * (zr + cr), ei = 0.5f * (zi + ci);
    // O = (Z − conj Z') / 2i
    const float or_ = 0.5f * (zi - ci), oi = -0.5f * (zr - cr);
    const float wr = t.unpackRe[k], wi = t.unpackIm[k];
    const float xr = er + (or_ * wr - oi * wi);
    const float xi = ei + (or_ * wi + oi * wr);
    power[k] = xr * xr + xi * xi;
  }
  for (int k = 0; k <= kHalf; ++k) {
    const float p = power[k];
    const float l = 0.5f * fastLog(p < kFloorPower ? 1.0f : p);
    power[k] = p < kFloorPower ? kFloorLog : l;
  }
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
