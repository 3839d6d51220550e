// makeExample — writes the example song: 30 s of 44.1 kHz 16-bit stereo at
// 128 BPM, sixteen bars with kick, snare, hi-hats, a bass line, a chord pad
// under a filter sweep, a breakdown and one bar of silence.
//
// Deterministic: the same bytes on every run. Tails that run past the end are
// wrapped to the start, so the song loops without a click at the seam.
//
//   makeExample [FILE]     default "example.wav"; an existing file is kept
//   makeExample --force FILE
#include <sndfile.h>

#include <sys/stat.h>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr double kBpm = 128.0;
constexpr double kBeat = 60.0 / kBpm;
constexpr double kBar = 4 * kBeat;
constexpr int kBars = 16;
constexpr double kPi = 3.14159265358979323846;

struct Mix {
  std::vector<float> left, right;
  explicit Mix(size_t frames) : left(frames), right(frames) {}
  size_t frames() const { return left.size(); }
  // Adds one sample; positions past the end wrap around to the start.
  void add(int64_t frame, float value, float pan) {
    const size_t i = static_cast<size_t>(frame) % frames();
    left[i] += value * std::sqrt(0.5f * (1.0f - pan));
    right[i] += value * std::sqrt(0.5f * (1.0f + pan));
  }
};

// A small deterministic noise source (xorshift).
struct Noise {
  uint32_t state = 0x9e3779b9u;
  float next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<float>(state) / 2147483648.0f - 1.0f;
  }
};

int64_t at(double seconds) {
  return static_cast<int64_t>(std::lround(seconds * kRate));
}

double midiHz(int note) {
  return 440.0 * std::pow(2.0, (note - 69) / 12.0);
}

void kick(Mix& mix, double t0, float gain) {
  double phase = 0;
  for (int64_t i = 0; i < at(0.35); ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double hz = 45.0 + 110.0 * std::exp(-t * 28.0);
    phase += 2 * kPi * hz / kRate;
    const double attack = std::min(1.0, t * 2000.0);
    mix.add(at(t0) + i, gain * static_cast<float>(attack * std::sin(phase) * std::exp(-t * 9.0)), 0.0f);
  }
}

void snare(Mix& mix, Noise& noise, double t0, float gain) {
  float previous = 0;
  for (int64_t i = 0; i < at(0.25); ++i) {
    const double t = static_cast<double>(i) / kRate;
    const float n = noise.next();
    const float bright = n - 0.6f * previous;  // tilt the noise upwards
    previous = n;
    const double body = 0.5 * std::sin(2 * kPi * 185.0 * t) * std::exp(-t * 30.0);
    const double value = (0.6 * bright * std::exp(-t * 18.0) + body) * std::min(1.0, t * 3000.0);
    mix.add(at(t0) + i, gain * static_cast<float>(value), 0.1f);
  }
}

void hat(Mix& mix, Noise& noise, double t0, float gain, double decay, float pan) {
  float previous = 0;
  for (int64_t i = 0; i < at(0.12); ++i) {
    const double t = static_cast<double>(i) / kRate;
    const float n = noise.next();
    const float high = n - previous;  // a first difference: mostly treble
    previous = n;
    mix.add(at(t0) + i, gain * high * static_cast<float>(std::exp(-t * decay) * std::min(1.0, t * 5000.0)), pan);
  }
}

// A saw through a one-pole low-pass, with a short attack and release.
void bass(Mix& mix, double t0, double length, int note, float gain) {
  const double hz = midiHz(note);
  double phase = 0, low = 0;
  const double alpha = 1.0 - std::exp(-2 * kPi * 420.0 / kRate);
  for (int64_t i = 0; i < at(length + 0.05); ++i) {
    const double t = static_cast<double>(i) / kRate;
    phase += hz / kRate;
    phase -= std::floor(phase);
    const double saw = 2 * phase - 1;
    low += alpha * (saw - low);
    const double env = std::min(1.0, t * 400.0) * (t < length ? 1.0 : std::max(0.0, 1.0 - (t - length) * 20.0));
    mix.add(at(t0) + i, gain * static_cast<float>(low * env), 0.0f);
  }
}

// Brightness of the pad's filter over the song, 0 (closed) … 1 (open).
double sweep(double t) {
  const double bar = t / kBar;
  if (bar < 2)
    return 0.05 + 0.1 * bar / 2;
  if (bar < 4)
    return 0.15 + 0.1 * (bar - 2) / 2;
  if (bar < 8)
    return 0.25 + 0.75 * (bar - 4) / 4;
  if (bar < 10)
    return 1.0;
  if (bar < 12)
    return 0.3;
  return 1.0 - 0.85 * (bar - 12) / 4;
}

// One chord tone: two detuned saws through a state-variable low-pass whose
// cutoff follows the sweep.
void padNote(Mix& mix, double t0, double length, int note, float gain, float pan) {
  const double hz = midiHz(note);
  double p1 = 0, p2 = 0.37, low = 0, band = 0;
  const double release = 0.4;
  for (int64_t i = 0; i < at(length + release); ++i) {
    const double t = static_cast<double>(i) / kRate;
    p1 += hz * 1.003 / kRate;
    p2 += hz * 0.997 / kRate;
    p1 -= std::floor(p1);
    p2 -= std::floor(p2);
    const double input = (2 * p1 - 1) + (2 * p2 - 1);
    const double cutoff = 150.0 + 4500.0 * sweep(t0 + t) * sweep(t0 + t);
    const double f = 2 * std::sin(kPi * cutoff / kRate);
    low += f * band;
    const double high = input - low - 0.5 * band;
    band += f * high;
    const double attack = std::min(1.0, t / 0.15);
    const double tail = t < length ? 1.0 : std::max(0.0, 1.0 - (t - length) / release);
    mix.add(at(t0) + i, gain * static_cast<float>(low * attack * tail), pan);
  }
}

std::vector<int16_t> render() {
  const size_t frames = static_cast<size_t>(at(kBars * kBar));
  Mix mix(frames);
  Noise noise;
  // A minor, F, C, G: roots for the bass, triads for the pad.
  const int roots[4] = {45, 41, 48, 43};
  const int chords[4][3] = {{57, 60, 64}, {57, 60, 65}, {55, 60, 64}, {55, 59, 62}};

  for (int bar = 0; bar < kBars; ++bar) {
    const double t0 = bar * kBar;
    const int chord = bar % 4;
    const bool silent = bar == 11;
    const bool breakdown = bar == 10;
    const bool drums = (bar >= 4 && bar <= 9) || bar >= 12;
    const bool hats = bar >= 2 && !silent;
    const bool bassOn = (bar >= 2 && bar <= 9) || bar >= 12;
    if (silent)
      continue;

    for (int v = 0; v < 3; ++v) {
      const float pan = (v - 1) * 0.5f;
      padNote(mix, t0, kBar - 0.05, chords[chord][v], breakdown ? 0.05f : 0.07f, pan);
    }
    if (hats) {
      const int perBar = (bar >= 8 && bar <= 9) || bar >= 14 ? 16 : 8;
      for (int h = 0; h < perBar; ++h) {
        const bool open = perBar == 8 && h % 2 == 1;
        const float gain = breakdown ? 0.06f : (h % 2 == 0 ? 0.14f : 0.10f);
        hat(mix, noise, t0 + h * kBar / perBar, gain, open ? 25.0 : 60.0, h % 2 == 0 ? 0.3f : -0.3f);
      }
    }
    if (drums) {
      for (int b = 0; b < 4; ++b) {
        kick(mix, t0 + b * kBeat, 0.9f);
        if (b % 2 == 1)
          snare(mix, noise, t0 + b * kBeat, 0.45f);
      }
      if (bar % 4 == 3)
        kick(mix, t0 + 3.5 * kBeat, 0.6f);  // a pick-up into the next phrase
    }
    if (bassOn) {
      const int pattern[8] = {0, 0, 12, 0, 0, 7, 0, 12};
      for (int e = 0; e < 8; ++e) {
        bass(mix, t0 + e * kBeat / 2, kBeat / 2 - 0.04, roots[chord] - 12 + pattern[e], 0.32f);
      }
    }
  }

  // Scale to a -1 dBFS peak, then a gentle soft clip.
  float peak = 0;
  for (size_t i = 0; i < frames; ++i) {
    peak = std::max({peak, std::fabs(mix.left[i]), std::fabs(mix.right[i])});
  }
  const float scale = peak > 0 ? 0.89f / peak : 1.0f;
  std::vector<int16_t> out(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    out[2 * i] = static_cast<int16_t>(std::lround(32767.0 * std::tanh(mix.left[i] * scale * 1.1) / std::tanh(1.1)));
    out[2 * i + 1] =
        static_cast<int16_t>(std::lround(32767.0 * std::tanh(mix.right[i] * scale * 1.1) / std::tanh(1.1)));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  bool force = false;
  std::string path = "example.wav";
  bool named = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("usage: makeExample [--force] [FILE]\n"
                  "Writes the 30 s example song to FILE (default example.wav); an existing file is kept\n"
                  "unless --force.\n");
      return 0;
    }
    if (std::strcmp(argv[i], "--force") == 0) {
      force = true;
    } else if (argv[i][0] == '-' || named) {
      // An option it does not know is never taken for a file name.
      std::fprintf(stderr, "makeExample: %s: %s; usage: makeExample [--force] [FILE]\n", argv[i],
                   named ? "one FILE only" : "no such option");
      return 2;
    } else {
      path = argv[i];
      named = true;
    }
  }
  struct stat existing {};
  if (!force && stat(path.c_str(), &existing) == 0) {
    std::printf("%s exists; left as it is\n", path.c_str());
    return 0;
  }
  const std::vector<int16_t> samples = render();
  SF_INFO info{};
  info.samplerate = kRate;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    std::fprintf(stderr, "makeExample: cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
    return 1;
  }
  const sf_count_t frames = static_cast<sf_count_t>(samples.size() / 2);
  const sf_count_t written = sf_writef_short(file, samples.data(), frames);
  sf_close(file);
  if (written != frames) {
    std::fprintf(stderr, "makeExample: short write to %s\n", path.c_str());
    return 1;
  }
  std::printf("wrote %s: %.1f s, %d Hz, 16-bit stereo\n", path.c_str(), static_cast<double>(frames) / kRate, kRate);
  return 0;
}
