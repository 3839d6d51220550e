// The per-frame analysis driven with numbers: bands against sines of known
// level, onsets on a click track and none on a held tone or silence, the
// same motion at 30 and 60 frames a second, and the waveform and level.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "sound/analysis.h"
#include "video/frameClock.h"

namespace {

constexpr int kRate = 44100;

// A stereo sound of `seconds`, both channels value(t).
std::vector<int16_t> sound(double seconds, const std::function<double(int64_t)>& value) {
  const auto frames = static_cast<int64_t>(seconds * kRate);
  std::vector<int16_t> out(static_cast<size_t>(frames) * 2);
  for (int64_t f = 0; f < frames; ++f) {
    const auto v = static_cast<int16_t>(std::lrint(std::clamp(value(f), -1.0, 32767.0 / 32768.0) * 32768.0));
    out[static_cast<size_t>(2 * f)] = v;
    out[static_cast<size_t>(2 * f + 1)] = v;
  }
  return out;
}

std::function<double(int64_t)> sine(double hz, double db) {
  const double amplitude = std::pow(10.0, db / 20.0);
  return [=](int64_t f) { return amplitude * std::sin(2 * M_PI * hz * static_cast<double>(f) / kRate); };
}

// Runs the analysis over the sound at fps; calls seen(n, inputs) for every frame.
void analyse(const std::vector<int16_t>& samples, Rational fps,
             const std::function<void(int64_t, const AudioInputs&)>& seen) {
  const FrameClock clock(fps, kRate);
  Analysis analysis(kRate);
  FrameSound frame;
  const int64_t frames = clock.framesFor(static_cast<int64_t>(samples.size()) / 2);
  for (int64_t n = 0; n < frames; ++n) {
    soundAround(samples, 0, 2, clock.soundFrameAt(n), frame);
    seen(n, analysis.step(frame, clock.seconds(n)));
  }
}

AudioInputs settled(const std::vector<int16_t>& samples) {
  AudioInputs last;
  analyse(samples, {60, 1}, [&](int64_t, const AudioInputs& in) { last = in; });
  return last;
}

int bandOf(double hz) {
  for (int k = 0; k < kBands; ++k) {
    if (hz >= Analysis::bandLow(k) && hz < Analysis::bandHigh(k)) {
      return k;
    }
  }
  return -1;
}

TEST(Analysis, BandsReadSinesOnTheirDecibelScaleAndSilenceAsZero) {
  const AudioInputs loud = settled(sound(1.0, sine(1000, 0)));
  const AudioInputs quiet = settled(sound(1.0, sine(1000, -20)));
  const int k = bandOf(1000);
  ASSERT_GE(k, 0);
  EXPECT_EQ(std::max_element(loud.bands.begin(), loud.bands.end()) - loud.bands.begin(), k);
  EXPECT_EQ(std::max_element(quiet.bands.begin(), quiet.bands.end()) - quiet.bands.begin(), k);
  EXPECT_NEAR(loud.bands[k], 1.0, 1.5 / 70);  // 0 dB: a full-scale sine inside the band
  EXPECT_NEAR((loud.bands[k] - quiet.bands[k]) * 70.0, 20.0, 1.5);
  // A full-scale sine is 3 dB below full scale in RMS.
  EXPECT_NEAR(loud.level, (60.0 - 3.01) / 60.0, 0.01);
  EXPECT_NEAR(quiet.level, (60.0 - 23.01) / 60.0, 0.01);
  EXPECT_GT(loud.mid, loud.bass);
  EXPECT_GT(loud.mid, loud.treble);

  const AudioInputs silence = settled(sound(1.0, [](int64_t) { return 0.0; }));
  for (float band : silence.bands) {
    EXPECT_EQ(band, 0.0f);
  }
  EXPECT_EQ(silence.level, 0.0f);
  EXPECT_EQ(silence.bass + silence.mid + silence.treble, 0.0f);
}

TEST(Analysis, ABandRisesAtOnceAndFallsWithItsTimeConstant) {
  // One second of tone, then silence.
  const auto samples = sound(2.0, [](int64_t f) { return f < kRate ? sine(1000, 0)(f) : 0.0; });
  const int k = bandOf(1000);
  std::vector<float> band;
  analyse(samples, {60, 1}, [&](int64_t, const AudioInputs& in) { band.push_back(in.bands[k]); });
  EXPECT_GT(band[3], 0.95f);  // the first frames that hold the tone
  // Half a second into the silence: e^(-0.5/0.15) of the level, within a frame.
  const float at = band[90];
  EXPECT_NEAR(at, band[60 + 1] * std::exp(-(90 - 61) / 60.0 / 0.15), 0.05);
  EXPECT_LT(band[119], 0.05f);
}

TEST(Analysis, OnsetsLandOnTheClicksAndNotOnToneOrSilence) {
  const std::vector<int> clickFrames = {30, 75, 100, 140, 170, 205};
  const auto clicks = sound(4.0, [&](int64_t f) {
    for (int n : clickFrames) {
      const int64_t start = static_cast<int64_t>(n) * kRate / 60;
      if (f >= start && f < start + 441) {
        return 0.8 * std::sin(2 * M_PI * 2000.0 * static_cast<double>(f - start) / kRate);
      }
    }
    return 0.0;
  });
  std::vector<int> onsets;
  int beats = 0;
  analyse(clicks, {60, 1}, [&](int64_t n, const AudioInputs& in) {
    if (in.beats > beats) {
      EXPECT_LT(in.beat, 1.0 / 60) << n;
      onsets.push_back(static_cast<int>(n));
      beats = in.beats;
    }
  });
  ASSERT_EQ(onsets.size(), clickFrames.size());
  for (size_t i = 0; i < onsets.size(); ++i) {
    EXPECT_NEAR(onsets[i], clickFrames[i], 1) << i;
  }

  // Kicks: a falling 60 Hz thump over a held pad, twice a second.
  const auto kicks = sound(4.0, [](int64_t f) {
    const double t = static_cast<double>(f % (kRate / 2)) / kRate;
    return 0.7 * std::exp(-t * 20) * std::sin(2 * M_PI * (50 + 80 * std::exp(-t * 30)) * t) + sine(440, -20)(f);
  });
  AudioInputs last;
  analyse(kicks, {60, 1}, [&](int64_t, const AudioInputs& in) { last = in; });
  EXPECT_NEAR(last.beats, 8, 1);

  for (const auto& quiet : {sound(3.0, sine(440, -6)), sound(3.0, [](int64_t) { return 0.0; })}) {
    AudioInputs end;
    analyse(quiet, {60, 1}, [&](int64_t, const AudioInputs& in) { end = in; });
    EXPECT_EQ(end.beats, 0);
    EXPECT_EQ(end.beat, kNoBeatYet);
  }
}

TEST(Analysis, ThirtyAndSixtyFramesASecondMoveAlike) {
  // A swell and fade with a glide: everything moves, nothing jumps.
  const auto samples = sound(4.0, [](int64_t f) {
    const double t = static_cast<double>(f) / kRate;
    const double gain = 0.5 * (1 - std::cos(2 * M_PI * t / 4));
    return gain * std::sin(2 * M_PI * (200 * t + 30 * t * t)) * 0.7;
  });
  std::vector<AudioInputs> at60;
  std::vector<AudioInputs> at30;
  analyse(samples, {60, 1}, [&](int64_t, const AudioInputs& in) { at60.push_back(in); });
  analyse(samples, {30, 1}, [&](int64_t, const AudioInputs& in) { at30.push_back(in); });
  double worst = 0;
  for (size_t n = 0; n < at30.size() && 2 * n < at60.size(); ++n) {
    for (int k = 0; k < kBands; ++k) {
      worst = std::max(worst, static_cast<double>(std::abs(at30[n].bands[k] - at60[2 * n].bands[k])));
    }
    worst = std::max(worst, static_cast<double>(std::abs(at30[n].level - at60[2 * n].level)));
  }
  EXPECT_LT(worst, 0.02);
}

// The browser's analyser smooths 0.8 a call, and a browser calls it sixty
// times a second: after the tone stops, its bin falls 20·log10(0.8) dB every
// 60th of a second whatever the frame rate, -1.94 dB, 7.07 bytes of the
// texture's 255 for 70 dB.
TEST(Analysis, TheBrowserTextureFallsAlikeAtThirtyAndSixtyFrames) {
  const auto samples = sound(2.0, [](int64_t f) { return f < kRate ? sine(1000, -12)(f) : 0.0; });
  const int bin = static_cast<int>(std::lround(1000.0 * kBlock / kRate));  // 46
  for (const Rational fps : {Rational{60, 1}, Rational{30, 1}}) {
    std::vector<int> bytes;
    analyse(samples, fps, [&](int64_t, const AudioInputs& in) { bytes.push_back(in.browser[bin]); });
    const auto per = static_cast<size_t>(fps.value());
    // 0.2 s into the silence (the block has left the tone by then) to 0.5 s: 18 sixtieths.
    const double fall = bytes[per * 6 / 5] - bytes[per * 3 / 2];
    EXPECT_NEAR(fall, 18 * 255.0 / 70.0 * -20.0 * std::log10(0.8), 3.0) << fps.num << " frames a second";
  }
}

// A seek starts the analysis afresh: no band carries the music from before
// it, and what the block already holds at the new place is no onset.
TEST(Analysis, ARestartForgetsWhatCameBefore) {
  const auto loud = sound(1.0, sine(1000, 0));
  const auto kick = sound(1.0, [](int64_t f) {
    const double t = static_cast<double>(f) / kRate;
    return 0.7 * std::exp(-t * 20) * std::sin(2 * M_PI * 60 * t);
  });
  Analysis analysis(kRate);
  FrameSound frame;
  for (int n = 0; n < 60; ++n) {
    soundAround(loud, 0, 2, static_cast<int64_t>(n) * kRate / 60, frame);
    analysis.step(frame, n / 60.0);
  }
  const int k = bandOf(1000);
  EXPECT_GT(analysis.inputs().bands[k], 0.95f);
  const int beatsBefore = analysis.inputs().beats;
  analysis.restart();
  // The new place: a kick already under way. Seconds go back, as after a seek.
  soundAround(kick, 0, 2, 2 * kBehind, frame);
  const AudioInputs& after = analysis.step(frame, 0.1);
  EXPECT_LT(after.bands[k], 0.3f) << "the tone before the seek carried over";
  EXPECT_EQ(after.beat, kNoBeatYet);
  EXPECT_EQ(after.beats, beatsBefore);
}

// The music's clocks run at one second a second in silence, faster with the
// music but never by more than its gain allows in a frame, alike at 30 and
// 60 frames a second, and start at the time of the first frame analysed.
TEST(Analysis, MusicClocksRunWithTheMusicWithoutJumps) {
  const auto samples = sound(6.0, [](int64_t f) {
    const double t = static_cast<double>(f) / kRate;
    return t < 2.0 ? 0.0 : 0.8 * std::sin(2 * M_PI * 80.0 * t) * (0.5 + 0.5 * std::sin(2 * M_PI * 1.3 * t));
  });
  std::vector<AudioInputs> at60;
  std::vector<AudioInputs> at30;
  analyse(samples, {60, 1}, [&](int64_t, const AudioInputs& in) { at60.push_back(in); });
  analyse(samples, {30, 1}, [&](int64_t, const AudioInputs& in) { at30.push_back(in); });
  EXPECT_DOUBLE_EQ(at60[0].bassTime, 0.0);
  // Silence: exactly time.
  EXPECT_NEAR(at60[90].bassTime - at60[30].bassTime, 1.0, 1e-9);
  EXPECT_NEAR(at60[90].levelTime - at60[30].levelTime, 1.0, 1e-9);
  // Music: faster, and never more than (1 + gain) a second in any frame.
  EXPECT_GT(at60[299].bassTime - at60[179].bassTime, 2.5);
  for (size_t n = 1; n < at60.size(); ++n) {
    const double step = at60[n].bassTime - at60[n - 1].bassTime;
    EXPECT_GE(step, 1.0 / 60 - 1e-9) << n;
    EXPECT_LE(step, (1.0 + kClockGain) / 60 + 1e-9) << n;
  }
  for (size_t n = 0; n < at30.size() && 2 * n < at60.size(); ++n) {
    EXPECT_NEAR(at30[n].bassTime, at60[2 * n].bassTime, 0.03 + 0.01 * at60[2 * n].bassTime) << n;
  }
  // A restart (a seek) starts the clocks again at the time of the next frame.
  Analysis analysis(kRate);
  FrameSound frame;
  soundAround(samples, 0, 2, 44100 * 3, frame);
  analysis.step(frame, 3.0);
  analysis.restart();
  soundAround(samples, 0, 2, 44100 * 5, frame);
  EXPECT_DOUBLE_EQ(analysis.step(frame, 5.0).midTime, 5.0);
}

// How much song the bands' history holds: from the song's start however late
// the first frame comes (a window opened on a busy machine; ticks 0..60 by
// 1.0 s), from the seek after a seek (ticks 300..330 by 5.5 s), from the
// start again when the song begins over, and never more than twelve seconds.
TEST(Analysis, TheBandsHistoryCoversTheSongFromItsStartOrTheSeek) {
  const auto silence = sound(1.0, [](int64_t) { return 0.0; });
  FrameSound frame;
  auto heldAfter = [&](Analysis& analysis, std::initializer_list<double> steps) {
    float held = 0;
    for (double seconds : steps) {
      soundAround(silence, 0, 2, kBehind, frame);
      held = analysis.step(frame, seconds).bandHistorySeconds;
    }
    return held;
  };
  const struct {
    const char* what;
    std::initializer_list<double> before;
    bool seek;
    std::initializer_list<double> steps;
    double held;
  } cases[] = {
      {"a first frame at 0.4 s", {}, false, {0.4, 1.0}, 61.0 / 60},
      {"a first frame at 0", {}, false, {0.0, 1.0}, 61.0 / 60},
      {"a first frame 20 s in", {}, false, {20.0, 21.0}, 12.0},
      {"a seek to 5 s", {0.0, 1.0}, true, {5.0, 5.5}, 31.0 / 60},
      {"the song begun over", {0.0, 3.0}, false, {0.3, 1.0}, 61.0 / 60},
  };
  for (const auto& c : cases) {
    Analysis analysis(kRate);
    heldAfter(analysis, c.before);
    if (c.seek) {
      analysis.restart();
    }
    EXPECT_NEAR(heldAfter(analysis, c.steps), c.held, 1e-6) << c.what;
  }
}

TEST(Analysis, TheWaveformIsTheNewestMonoSamplesAtTheFrame) {
  // Left and right differ: the waveform is their mean.
  std::vector<int16_t> samples(static_cast<size_t>(kRate) * 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(i % 2 == 0 ? (i / 2) % 2000 : -1000);
  }
  FrameSound frame;
  Analysis analysis(kRate);
  const int64_t at = 10000;
  soundAround(samples, 0, 2, at, frame);
  const AudioInputs& in = analysis.step(frame, 0.0);
  for (int i = 0; i < kWaveform; i += 97) {
    const int64_t f = at - kWaveform + i;
    EXPECT_FLOAT_EQ(in.waveform[i], (static_cast<float>(f % 2000) - 1000.0f) / 2.0f / 32768.0f) << i;
  }
  // Before the start of the sound: silence.
  soundAround(samples, 0, 2, 100, frame);
  EXPECT_EQ(analysis.step(frame, 0.1).waveform[0], 0.0f);
}

}  // namespace
