// analysis.h — everything a picture can read about the sound, computed once
// per frame from the samples around the frame's time. No GL, no AL: the same
// numbers for a render, a window and a capture device, and testable alone.
//
// The sound of one frame (FrameSound) is cut from any source by
// soundAround: the live program's sample window starting at the frame
// (unchanged, for the spectrum), and kBlock mono samples (the mean of the
// channels, −1..1) from kBehind before the frame to kAhead after it.
//
// Analysis carries what lasts from frame to frame: the spectrum's blend, the
// bands' decay, their held peaks and the onset detector's history. Its smoothing runs in
// seconds, not frames, so 30 and 60 frames a second move alike.
//
// Threading: one Analysis per thread; soundAround is a plain function.
#pragma once

#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <utility>
#include <vector>

constexpr int kBands = 64;
constexpr int kWaveform = 1024;
// The waveforms kept for "waveHistory": one a 60th of a second, this many.
constexpr int kWaveHistory = 16;
constexpr double kWaveHistoryRate = 60.0;
// The bands kept for "bandHistory": one row a 60th of a second, twelve seconds.
constexpr int kBandHistory = 720;
constexpr int kBlock = 2048;
constexpr int kBehind = 1536;
constexpr int kAhead = kBlock - kBehind;
// "beat" before the first onset.
constexpr float kNoBeatYet = 1.0e6f;

struct FrameSound {
  std::vector<float> window;  // the live program's window: up to 2048 values ÷ 1000
  std::vector<float> mono;    // kBlock samples, frames [frame − kBehind, frame + kAhead)
};

// The sound around `frame` from buffer, which holds interleaved 16-bit frames
// of the sound starting at sound frame bufferStart. Frames outside the
// buffer (before the song, past its end) are silence.
void soundAround(const std::vector<int16_t>& buffer, int64_t bufferStart, int channels, int64_t frame,
                 FrameSound& out);

// How much faster than time a music clock runs at full level.
constexpr double kClockGain = 2.0;

// How fast a band's held peak falls, in the bands' 0..1 a second.
constexpr double kPeakFall = 0.25;

struct AudioInputs {
  std::vector<float> spectrum;  // kSpectrumSize values, as the live program's
  std::array<float, kBands> bands{};
  // Each band's highest level lately, falling kPeakFall a second: what a
  // meter's peak caps show, the same at any frame rate.
  std::array<float, kBands> peaks{};
  float bass = 0, mid = 0, treble = 0;
  float level = 0;     // the sound's own loudness, never levelled
  float loudness = 0;  // the same of the sound as levelled (setGain)
  float beat = kNoBeatYet;
  int beats = 0;
  // Clocks that run faster with the music: each the integral over seconds of
  // 1 + kClockGain × (bass, mid, treble, loudness). A picture moves with them
  // instead of with time × a level, which would jump with every change of
  // the level by an amount growing with the time. They start at the time of
  // the first frame analysed and again after a seek.
  double bassTime = 0, midTime = 0, trebleTime = 0, levelTime = 0;
  std::array<float, kWaveform> waveform{};
  // The waveform at each of the last kWaveHistory 60 Hz ticks, newest first
  // (row 0 the latest tick at or before the frame): the same rows at any
  // frame rate, so a trail drawn from them is frame-rate true.
  std::vector<float> waveHistory = std::vector<float>(static_cast<size_t>(kWaveform) * kWaveHistory, 0.0f);
  // The bands at each of the last kBandHistory 60 Hz ticks, newest first,
  // and how many seconds of them were heard (since the start or a seek): a
  // scrolling picture drawn from them needs no frame before and is the same
  // at any frame rate.
  std::vector<float> bandHistory = std::vector<float>(static_cast<size_t>(kBands) * kBandHistory, 0.0f);
  float bandHistorySeconds = 0;
  // The sound as a web browser's analyser gives it to Shadertoy's form, 512
  // values a row: row 0 the first 512 of its 1024 byte magnitudes (Blackman
  // window, |X| ÷ 2048, smoothed 0.8 a 60th of a second, −100..−30 dB as
  // 0..255), row 1 the first 512 samples as 128·(1 + v).
  std::array<uint8_t, 1024> browser{};
};

// |X[k]|² for k = 0 .. kBlock/2 of kBlock real values, with its tables made once.
class RealFft {
 public:
  RealFft();
  void power(const float* x, double* out);

 private:
  static constexpr int kHalfBlock = kBlock / 2;
  std::vector<std::complex<double>> twiddle_;
  std::vector<std::complex<double>> unpack_;
  std::vector<int> reversed_;
  std::vector<std::complex<double>> z_;
};

class Analysis {
 public:
  explicit Analysis(int rate);

  // One frame: its sound and its time in seconds. Consumes sound.window.
  const AudioInputs& step(FrameSound& sound, double seconds);
  // Levelling: everything but "level" is computed from the sound scaled by
  // this many dB (0 by default; "level" stays the sound's own loudness).
  void setGain(double db) { gain_ = static_cast<float>(std::pow(10.0, db / 20.0)); }
  // Forgets the bands' smoothing and the onset history (a seek, or a song
  // that starts over); the count of onsets and the spectrum's blend stay.
  // After a restart the histories begin at the next step.
  void restart();
  const AudioInputs& inputs() const { return inputs_; }

  // Band k's edges in Hz.
  static double bandLow(int k);
  static double bandHigh(int k) { return bandLow(k + 1); }

 private:
  // Scales the frame's sound by the gain; the RMS of the sound as it was.
  double levelSound(FrameSound& sound) const;
  void advanceClocks(double seconds, double dt);
  void measureBands(const std::vector<float>& mono, std::array<float, kBands>& raw);
  void measureLikeABrowser(const std::vector<float>& mono, double dt);
  bool onset(const std::array<float, kBands>& raw, double dt);

  int rate_;
  AudioInputs inputs_;
  std::vector<float> spectrumHistory_;
  std::array<float, kBands> lastRaw_{};
  std::vector<float> hann_;
  std::vector<float> blackman_;
  std::vector<double> browserSmoothed_;
  std::vector<float> windowed_;
  std::vector<double> power_;
  RealFft fft_;
  std::array<std::pair<int, int>, kBands> bandBins_{};
  void keepHistories(double seconds);

  double lastSeconds_ = 0;
  int64_t lastWaveTick_ = -1;  // the 60 Hz tick last kept in waveHistory and bandHistory
  int64_t bandRows_ = 0;       // rows of bandHistory heard since the start or a seek
  // The histories begin at the song's start (a new analysis, or the song
  // begun over) rather than at the first step (after a seek).
  bool historyFromSongStart_ = true;
  double startSeconds_ = 0;
  double lastOnset_ = -1;
  double fluxMean_ = 0;
  bool started_ = false;
  float gain_ = 1.0f;
};
