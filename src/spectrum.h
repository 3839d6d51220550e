// spectrum.h — the per-frame audio analysis: the sample window in, a smoothed
// logarithmic spectrum of kSpectrumSize values out. No GL, no AL.
//
// Threading: updateSpectrum keeps per-thread scratch buffers, so it may run on
// several threads at once with their own arrays.
#pragma once

#include <complex>
#include <vector>

constexpr int kSpectrumSize = 16384;
// The smallest magnitude the spectrum shows, one 16-bit step after the ÷1000
// scaling; silence maps to its logarithm.
constexpr float kMagnitudeFloor = 0.001f;

// In-place radix-2 forward Fourier transform; the length must be a power of two.
void fft(std::vector<std::complex<float>>& a);

// samples: the window in (usually 2048 values), zero-padded to kSpectrumSize,
// replaced by ln(max(|X[k]|, floor)) blended as (previous − L) × 0.9 + L.
// previous: the last frame's result, carried between calls; empty at start.
void updateSpectrum(std::vector<float>& samples, std::vector<float>& previous);
