// analysis.cpp — see analysis.h.
#include "sound/analysis.h"

#include <algorithm>
#include <cmath>
#include <complex>

#include "sampleWindow.h"
#include "spectrum.h"

namespace {

constexpr double kLowest = 30.0;
constexpr double kHighest = 16000.0;
constexpr double kFall = 0.15;        // seconds: the time constant of a falling band
constexpr double kFluxMemory = 0.5;   // seconds: the onset threshold's memory
constexpr double kRefractory = 0.1;   // seconds between two onsets at least
constexpr float kMinFlux = 0.06f;     // a rise this large across a band group is an onset

float toUnit(double db, double floor) {
  return static_cast<float>(std::clamp((db - floor) / -floor, 0.0, 1.0));
}

// A falling value decays towards raw; a rising one is taken at once.
float follow(float held, float raw, double dt) {
  return raw >= held ? raw : raw + (held - raw) * static_cast<float>(std::exp(-dt / kFall));
}

double centre(int k) {
  return std::sqrt(Analysis::bandLow(k) * Analysis::bandHigh(k));
}

}  // namespace

void soundAround(const std::vector<int16_t>& buffer, int64_t bufferStart, int channels, int64_t frame,
                 FrameSound& out) {
  out.window = frame >= bufferStart ? sampleWindow(buffer, frame - bufferStart, channels) : std::vector<float>();
  out.mono.assign(kBlock, 0.0f);
  if (channels < 1) {
    return;
  }
  const int64_t frames = static_cast<int64_t>(buffer.size()) / channels;
  const float scale = 1.0f / (32768.0f * static_cast<float>(channels));
  for (int i = 0; i < kBlock; ++i) {
    const int64_t f = frame - kBehind + i - bufferStart;
    if (f < 0 || f >= frames) {
      continue;
    }
    int sum = 0;
    for (int c = 0; c < channels; ++c) {
      sum += buffer[static_cast<size_t>(f * channels + c)];
    }
    out.mono[static_cast<size_t>(i)] = static_cast<float>(sum) * scale;
  }
}

double Analysis::bandLow(int k) {
  return kLowest * std::pow(kHighest / kLowest, static_cast<double>(k) / kBands);
}

Analysis::Analysis(int rate)
    : rate_(rate), hann_(kBlock), blackman_(kBlock), browserSmoothed_(kBlock / 2, 0.0), windowed_(kBlock),
      power_(kBlock / 2 + 1) {
  for (int n = 0; n < kBlock; ++n) {
    const double phase = 2.0 * M_PI * n / kBlock;
    hann_[static_cast<size_t>(n)] = static_cast<float>(0.5 - 0.5 * std::cos(phase));
    blackman_[static_cast<size_t>(n)] = static_cast<float>(0.42 - 0.5 * std::cos(phase) + 0.08 * std::cos(2 * phase));
  }
  // The bins whose centres lie in each band; a band narrower than a bin
  // takes the bin nearest its centre.
  const double binHz = static_cast<double>(rate_) / kBlock;
  for (int k = 0; k < kBands; ++k) {
    int first = static_cast<int>(std::ceil(bandLow(k) / binHz));
    int last = std::min(kBlock / 2, static_cast<int>(std::ceil(bandHigh(k) / binHz)) - 1);
    if (first > last) {
      first = last = std::min(kBlock / 2, static_cast<int>(std::lround(centre(k) / binHz)));
    }
    bandBins_[static_cast<size_t>(k)] = {first, last};
  }
}

// Each 60 Hz tick crossed since the last step gets a row (the same waveform
// and bands for ticks crossed at once); a jump back starts the histories again.
void Analysis::keepHistories(double seconds) {
  const auto tick = static_cast<int64_t>(std::floor(seconds * kWaveHistoryRate + 1e-6));
  const size_t row = kWaveform;
  if (lastWaveTick_ < 0 || tick < lastWaveTick_) {
    std::fill(inputs_.waveHistory.begin(), inputs_.waveHistory.end(), 0.0f);
    std::fill(inputs_.bandHistory.begin(), inputs_.bandHistory.end(), 0.0f);
    bandRows_ = 0;
    // A window's first frame comes a moment after its sound began (more on a
    // busy machine): the ticks in between were heard too, so they get rows,
    // and a moment shows the same span of song as a render's still of it.
    lastWaveTick_ = historyFromSongStart_ ? std::min<int64_t>(-1, tick - 1) : tick - 1;
    historyFromSongStart_ = false;
  }
  const int64_t crossed = std::min<int64_t>(tick - lastWaveTick_, kWaveHistory);
  for (int64_t i = 0; i < crossed; ++i) {
    std::copy_backward(inputs_.waveHistory.begin(), inputs_.waveHistory.end() - static_cast<ptrdiff_t>(row),
                       inputs_.waveHistory.end());
    std::copy(inputs_.waveform.begin(), inputs_.waveform.end(), inputs_.waveHistory.begin());
  }
  // The bands move down by all the rows crossed at once, then each new row
  // holds the bands heard now.
  const int64_t rows = std::min<int64_t>(tick - lastWaveTick_, kBandHistory);
  if (rows > 0) {
    auto& history = inputs_.bandHistory;
    const auto shift = static_cast<ptrdiff_t>(rows * kBands);
    std::copy_backward(history.begin(), history.end() - shift, history.end());
    for (int64_t r = 0; r < rows; ++r) {
      std::copy(inputs_.bands.begin(), inputs_.bands.end(), history.begin() + static_cast<ptrdiff_t>(r * kBands));
    }
    bandRows_ = std::min<int64_t>(bandRows_ + rows, kBandHistory);
  }
  inputs_.bandHistorySeconds = static_cast<float>(static_cast<double>(bandRows_) / kWaveHistoryRate);
  lastWaveTick_ = tick;
}

void Analysis::restart() {
  lastWaveTick_ = -1;
  // The live program's spectrum blends on across seeks, as it always has.
  std::fill(browserSmoothed_.begin(), browserSmoothed_.end(), 0.0);
  inputs_.bands.fill(0.0f);
  inputs_.peaks.fill(0.0f);
  inputs_.level = 0;
  inputs_.loudness = 0;
  lastRaw_.fill(0.0f);
  fluxMean_ = 0;
  lastOnset_ = -1;
  started_ = false;
}

RealFft::RealFft() : twiddle_(kHalfBlock / 2), unpack_(kHalfBlock), reversed_(kHalfBlock), z_(kHalfBlock) {
  for (int k = 0; k < kHalfBlock / 2; ++k) {
    twiddle_[static_cast<size_t>(k)] = std::polar(1.0, -2.0 * M_PI * k / kHalfBlock);
  }
  for (int k = 0; k < kHalfBlock; ++k) {
    unpack_[static_cast<size_t>(k)] = std::polar(1.0, -2.0 * M_PI * k / kBlock);
  }
  int bits = 0;
  while ((1 << bits) < kHalfBlock) {
    ++bits;
  }
  for (int i = 0; i < kHalfBlock; ++i) {
    int r = 0;
    for (int b = 0; b < bits; ++b) {
      r |= ((i >> b) & 1) << (bits - 1 - b);
    }
    reversed_[static_cast<size_t>(i)] = r;
  }
}

// The kBlock real values as kHalfBlock complex ones (even + i·odd), one
// complex transform, then the two halves pulled apart.
void RealFft::power(const float* x, double* out) {
  for (int i = 0; i < kHalfBlock; ++i) {
    const int r = reversed_[static_cast<size_t>(i)];
    z_[static_cast<size_t>(r)] = {x[2 * i], x[2 * i + 1]};
  }
  for (int len = 2; len <= kHalfBlock; len <<= 1) {
    const int half = len / 2;
    const int step = kHalfBlock / len;
    for (int i = 0; i < kHalfBlock; i += len) {
      for (int k = 0; k < half; ++k) {
        const std::complex<double>& w = twiddle_[static_cast<size_t>(k * step)];
        std::complex<double>& a = z_[static_cast<size_t>(i + k)];
        std::complex<double>& b = z_[static_cast<size_t>(i + k + half)];
        const double vr = b.real() * w.real() - b.imag() * w.imag();
        const double vi = b.real() * w.imag() + b.imag() * w.real();
        b = {a.real() - vr, a.imag() - vi};
        a = {a.real() + vr, a.imag() + vi};
      }
    }
  }
  for (int k = 0; k <= kHalfBlock; ++k) {
    const std::complex<double> zk = z_[static_cast<size_t>(k % kHalfBlock)];
    const std::complex<double> zm = std::conj(z_[static_cast<size_t>((kHalfBlock - k) % kHalfBlock)]);
    const std::complex<double> even = 0.5 * (zk + zm);
    const std::complex<double> odd = std::complex<double>(0.0, -0.5) * (zk - zm);
    const std::complex<double> w = k < kHalfBlock ? unpack_[static_cast<size_t>(k)] : std::complex<double>(-1.0, 0.0);
    out[k] = std::norm(even + w * odd);
  }
}

// Each band's power against a full-scale sine inside it: the power of the
// band's bins against the sine's whole power, or, for a band narrower than
// the bins, its strongest (or nearest) bin against the sine's peak bin.
void Analysis::measureBands(const std::vector<float>& mono, std::array<float, kBands>& raw) {
  for (int n = 0; n < kBlock; ++n) {
    windowed_[static_cast<size_t>(n)] = mono[static_cast<size_t>(n)] * hann_[static_cast<size_t>(n)];
  }
  fft_.power(windowed_.data(), power_.data());
  const double n2 = static_cast<double>(kBlock) * kBlock;
  const double sinePower = 3.0 * n2 / 32.0;  // Σ|X|² over positive bins, Hann, amplitude 1
  const double sinePeak = n2 / 16.0;         // the peak bin's |X|²
  for (int k = 0; k < kBands; ++k) {
    const auto [first, last] = bandBins_[static_cast<size_t>(k)];
    double sum = 0;
    double peak = 0;
    for (int b = first; b <= last; ++b) {
      const double p = power_[static_cast<size_t>(b)];
      sum += p;
      peak = std::max(peak, p);
    }
    const double power = std::max({sum / sinePower, peak / sinePeak, 1e-20});
    raw[static_cast<size_t>(k)] = toUnit(10.0 * std::log10(power), -70.0);
  }
}

// As a browser's AnalyserNode with its defaults (2048 samples, smoothing 0.8,
// −100..−30 dB), the smoothing scaled to the time that passed so any frame
// rate moves as 60 frames a second do.
void Analysis::measureLikeABrowser(const std::vector<float>& mono, double dt) {
  for (int n = 0; n < kBlock; ++n) {
    windowed_[static_cast<size_t>(n)] = mono[static_cast<size_t>(n)] * blackman_[static_cast<size_t>(n)];
  }
  fft_.power(windowed_.data(), power_.data());
  const double keep = std::pow(0.8, 60.0 * dt);
  for (int k = 0; k < kBlock / 2; ++k) {
    double& smoothed = browserSmoothed_[static_cast<size_t>(k)];
    smoothed = keep * smoothed + (1.0 - keep) * std::sqrt(power_[static_cast<size_t>(k)]) / kBlock;
    if (k < 512) {
      const double db = 20.0 * std::log10(std::max(smoothed, 1e-30));
      const double byte = std::floor(255.0 / 70.0 * (db + 100.0));
      inputs_.browser[static_cast<size_t>(k)] = static_cast<uint8_t>(std::clamp(byte, 0.0, 255.0));
    }
  }
  for (int n = 0; n < 512; ++n) {
    const double byte = std::floor(128.0 * (1.0 + mono[static_cast<size_t>(n)]));
    inputs_.browser[static_cast<size_t>(512 + n)] = static_cast<uint8_t>(std::clamp(byte, 0.0, 255.0));
  }
}

// Spectral flux of the low (under 250 Hz) and the mid (250 Hz - 4 kHz)
// bands, each against a threshold that follows its recent average.
bool Analysis::onset(const std::array<float, kBands>& raw, double dt) {
  double low = 0, mid = 0;
  int lows = 0, mids = 0;
  for (int k = 0; k < kBands; ++k) {
    const double c = centre(k);
    const double rise = std::max(0.0f, raw[static_cast<size_t>(k)] - lastRaw_[static_cast<size_t>(k)]);
    if (c < 250.0) {
      low += rise;
      ++lows;
    } else if (c < 4000.0) {
      mid += rise;
      ++mids;
    }
  }
  const double flux = std::max(low / lows, mid / mids);
  const bool above = flux > kMinFlux && flux > 2.0 * fluxMean_;
  fluxMean_ += (flux - fluxMean_) * (1.0 - std::exp(-dt / kFluxMemory));
  return above;
}

void Analysis::advanceClocks(double seconds, double dt) {
  if (!started_) {
    inputs_.bassTime = inputs_.midTime = inputs_.trebleTime = inputs_.levelTime = seconds;
    return;
  }
  inputs_.bassTime += dt * (1.0 + kClockGain * inputs_.bass);
  inputs_.midTime += dt * (1.0 + kClockGain * inputs_.mid);
  inputs_.trebleTime += dt * (1.0 + kClockGain * inputs_.treble);
  inputs_.levelTime += dt * (1.0 + kClockGain * inputs_.loudness);
}

double Analysis::levelSound(FrameSound& sound) const {
  double energy = 0;
  for (float v : sound.mono) {
    energy += static_cast<double>(v) * v;
  }
  if (gain_ != 1.0f) {
    for (float& v : sound.window) {
      v *= gain_;
    }
    for (float& v : sound.mono) {
      v *= gain_;
    }
  }
  return std::sqrt(energy / kBlock);
}

const AudioInputs& Analysis::step(FrameSound& sound, double seconds) {
  double dt = started_ ? seconds - lastSeconds_ : 0.0;
  if (dt < 0) {  // the sound started over
    restart();
    historyFromSongStart_ = true;
    dt = 0;
  }
  const double rms = levelSound(sound);
  updateSpectrum(sound.window, spectrumHistory_);
  inputs_.spectrum.swap(sound.window);

  std::array<float, kBands> raw{};
  measureBands(sound.mono, raw);
  // At the first frame after a start there is no past to smooth against:
  // as a browser would after a frame at 60 a second.
  measureLikeABrowser(sound.mono, started_ ? dt : 1.0 / 60);
  const float level = toUnit(20.0 * std::log10(std::max(rms, 1e-10)), -60.0);
  const float loudness = toUnit(20.0 * std::log10(std::max(rms * gain_, 1e-10)), -60.0);

  // The block reaches back before the first frame, into what the analysis
  // never heard (before the song, or before a seek): a sound that was
  // already there is not an onset.
  const bool warm = started_ && seconds - startSeconds_ >= static_cast<double>(kBehind) / rate_;
  const bool rising = started_ && onset(raw, dt);
  const bool beat = warm && rising && (lastOnset_ < 0 || seconds - lastOnset_ >= kRefractory);
  if (beat) {
    lastOnset_ = seconds;
    ++inputs_.beats;
  }
  inputs_.beat = lastOnset_ < 0 ? kNoBeatYet : static_cast<float>(seconds - lastOnset_);

  double sums[3] = {0, 0, 0};
  int counts[3] = {0, 0, 0};
  for (int k = 0; k < kBands; ++k) {
    float& band = inputs_.bands[static_cast<size_t>(k)];
    band = started_ ? follow(band, raw[static_cast<size_t>(k)], dt) : raw[static_cast<size_t>(k)];
    float& peak = inputs_.peaks[static_cast<size_t>(k)];
    peak = std::max(band, peak - static_cast<float>(kPeakFall * dt));
    const double c = centre(k);
    const int group = c < 250.0 ? 0 : c < 4000.0 ? 1 : 2;
    sums[group] += band;
    ++counts[group];
  }
  inputs_.bass = static_cast<float>(sums[0] / counts[0]);
  inputs_.mid = static_cast<float>(sums[1] / counts[1]);
  inputs_.treble = static_cast<float>(sums[2] / counts[2]);
  inputs_.level = started_ ? follow(inputs_.level, level, dt) : level;
  inputs_.loudness = started_ ? follow(inputs_.loudness, loudness, dt) : loudness;
  advanceClocks(seconds, dt);
  std::copy(sound.mono.begin() + (kBehind - kWaveform), sound.mono.begin() + kBehind, inputs_.waveform.begin());
  keepHistories(seconds);

  lastRaw_ = raw;
  lastSeconds_ = seconds;
  if (!started_) {
    startSeconds_ = seconds;
  }
  started_ = true;
  return inputs_;
}
