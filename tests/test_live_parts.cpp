// The live show's pure parts, in process: the flash guard on frames whose
// luminance is known by construction, the playing clock on positions and
// wall-clock times given by hand, and the bounded queue's non-blocking ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "base/boundedQueue.h"
#include "picture/settings.h"
#include "sound/moments.h"
#include "support.h"
#include "show/playingClock.h"
#include "video/flashGuard.h"
#include "video/pictureLayout.h"
#include "video/redial.h"
#include "video/videoOutput.h"

namespace {

constexpr int kW = 64;
constexpr int kH = 32;

// A frame of one grey level (sRGB code value), opaque.
std::vector<uint8_t> grey(uint8_t v) {
  std::vector<uint8_t> f(static_cast<size_t>(kW) * kH * 4, v);
  for (size_t i = 3; i < f.size(); i += 4) {
    f[i] = 255;
  }
  return f;
}

// Relative luminance of an sRGB grey code value.
double luminance(uint8_t v) {
  const double c = v / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

// Opposing changes of 0.1 or more in a sequence of whole-frame luminances
// (the darker side below 0.8), frame numbers of each.
std::vector<int> changes(const std::vector<double>& y) {
  std::vector<int> out;
  double extreme = y.front();
  int direction = 0;
  for (size_t n = 1; n < y.size(); ++n) {
    if (direction <= 0 && y[n] - extreme >= 0.1 && extreme < 0.8) {
      direction = 1, extreme = y[n], out.push_back(static_cast<int>(n));
    } else if (direction >= 0 && extreme - y[n] >= 0.1 && y[n] < 0.8) {
      direction = -1, extreme = y[n], out.push_back(static_cast<int>(n));
    } else if ((direction > 0 && y[n] > extreme) || (direction < 0 && y[n] < extreme)) {
      extreme = y[n];
    }
  }
  return out;
}

// Black and white every other frame at 60 fps, 3 s: 30 flashes a second
// drawn; at most six changes (three flashes) in any 60 frames sent, and the
// guard says what it eased and counted. The same whether the frames come as
// RGBA or as 4:2:0 planes (limited range: black 16, white 235, no colour 128).
TEST(FlashGuard, AStrobeKeepsToSixChangesInAnySecond) {
  for (const PictureLayout layout : {PictureLayout::Rgba, PictureLayout::Planes420}) {
    const bool planes = layout == PictureLayout::Planes420;
    SCOPED_TRACE(planes ? "planes" : "RGBA");
    FlashGuard guard(kW, kH, 60, 3, layout);
    std::vector<double> sent;
    for (int n = 0; n < 180; ++n) {
      std::vector<uint8_t> f = grey(n % 2 ? 255 : 0);
      if (planes) {
        f.assign(pictureBytes(layout, kW, kH), 128);
        std::fill_n(f.begin(), kW * kH, n % 2 ? 235 : 16);
      }
      guard.apply(f);
      const size_t step = planes ? 1 : 4;
      for (size_t i = 0; i < (planes ? size_t{kW} * kH : f.size()); i += step) {
        ASSERT_EQ(f[i], f[0]);  // eased evenly: still one grey
        ASSERT_TRUE(planes ? f[kW * kH + i / 2] == 128 : f[i + 3] == 255);  // colourless, alpha untouched
      }
      const double code = planes ? (f[0] - 16) * 255.0 / 219.0 : f[0];
      sent.push_back(luminance(static_cast<uint8_t>(std::lround(std::clamp(code, 0.0, 255.0)))));
    }
    const std::vector<int> c = changes(sent);
    for (size_t i = 0; i < c.size(); ++i) {
      size_t inSecond = 0;
      while (i + inSecond < c.size() && c[i + inSecond] < c[i] + 60) {
        ++inSecond;
      }
      EXPECT_LE(inSecond, 6u) << "from frame " << c[i];
    }
    EXPECT_GE(c.size(), 12u);  // the flashes the second allows still come
    EXPECT_GT(guard.eased(), 60);
    EXPECT_EQ(guard.mostInASecond(), 6);
  }
}

// A pair on the line: 255 and 232 grey (1.0 and 0.807, the darker end at
// the rule's 0.8) strobing every three frames, as an encoder then hands it
// on: each value a code lower (232 becomes 231, 0.799). Measured after that
// rounding, at most six changes in any second.
TEST(FlashGuard, APairOnTheLineIsCaughtWhateverTheRounding) {
  FlashGuard guard(kW, kH, 60);
  std::vector<double> sent;
  for (int n = 0; n < 180; ++n) {
    std::vector<uint8_t> f = grey((n + 1) / 3 % 2 ? 255 : 232);
    guard.apply(f);
    sent.push_back(luminance(static_cast<uint8_t>(std::max(0, f[0] - 1))));
  }
  const std::vector<int> c = changes(sent);
  for (size_t i = 0; i < c.size(); ++i) {
    size_t inSecond = 0;
    while (i + inSecond < c.size() && c[i + inSecond] < c[i] + 60) {
      ++inSecond;
    }
    EXPECT_LE(inSecond, 6u) << "from frame " << c[i];
  }
  EXPECT_GT(guard.eased(), 0);
}

// What the guard passes untouched, byte for byte: a slow fade (no change of
// 0.1 within a frame's step that reverses fast), and a strobe over a
// sixteenth of the frame (its top-left corner).
TEST(FlashGuard, LeavesSlowFadesAndSmallFlashesAlone) {
  struct Case {
    const char* name;
    std::vector<uint8_t> (*frame)(int n);
  };
  const Case cases[] = {
      {"a fade up and down over two seconds", [](int n) { return grey(static_cast<uint8_t>(n < 60 ? n * 4 : 476 - n * 4)); }},
      {"a strobe in a sixteenth of the frame",
       [](int n) {
         std::vector<uint8_t> f = grey(40);
         for (int y = 0; y < kH / 4; ++y) {
           for (int x = 0; x < kW / 4; ++x) {
             const size_t at = (static_cast<size_t>(y) * kW + x) * 4;
             f[at] = f[at + 1] = f[at + 2] = n % 2 ? 255 : 0;
           }
         }
         return f;
       }},
  };
  for (const Case& c : cases) {
    FlashGuard guard(kW, kH, 60);
    for (int n = 0; n < 119; ++n) {
      const std::vector<uint8_t> drawn = c.frame(n);
      std::vector<uint8_t> sent = drawn;
      EXPECT_FALSE(guard.apply(sent)) << c.name << ", frame " << n;
      ASSERT_EQ(sent, drawn) << c.name << ", frame " << n;
    }
    EXPECT_EQ(guard.eased(), 0) << c.name;
  }
}

// The playing clock at 30 frames a second, by hand: the song's position in
// seconds, a steady step, no time while paused, a seek taken at once with a
// step of the wall clock's interval, and a capture's running time without
// its paused spans.
TEST(PlayingClock, TimesAndStepsFollowThePositionAndThePause) {
  using Clock = PlayingClock::Clock;
  const auto ms = [](int n) { return std::chrono::milliseconds(n); };
  PlayingClock song(44100, false);
  const Clock::time_point start = Clock::now();
  Tick t = song.tick(44100, start, false, 0, 30);
  EXPECT_DOUBLE_EQ(t.seconds, 1.0);
  EXPECT_EQ(t.frame, 0);
  EXPECT_DOUBLE_EQ(t.rate, 30);
  t = song.tick(44100 + 1470, start + ms(33), false, 1, 30);
  EXPECT_NEAR(t.seconds, 1.0 + 1470.0 / 44100, 0.002);
  t = song.tick(44100 + 1470, start + ms(66), true, 2, 30);
  EXPECT_EQ(t.delta, 0.0);
  EXPECT_DOUBLE_EQ(t.seconds, 1.0 + 1470.0 / 44100);
  // A seek ten seconds on: the time jumps, the step does not.
  t = song.tick(44100 * 11, start + ms(99), false, 3, 30);
  EXPECT_DOUBLE_EQ(t.seconds, 11.0);
  EXPECT_GE(t.delta, 0.0);
  EXPECT_LE(t.delta, 0.25);

  PlayingClock capture(44100, true);
  capture.tick(0, start, false, 0, 30);
  EXPECT_NEAR(capture.tick(0, start + ms(500), false, 1, 30).seconds, 0.5, 1e-9);
  EXPECT_NEAR(capture.tick(0, start + ms(1500), true, 2, 30).seconds, 0.5, 1e-9);   // paused a second
  EXPECT_NEAR(capture.tick(0, start + ms(2000), false, 3, 30).seconds, 1.0, 1e-9);  // half a second on
}

// A song's stream frames on the stream's grid, by hand: ticks that come
// with a loop's jitter land on exact 1/30 s steps from the first; a seek
// moves the grid to the clock; the song starting over (a 4 s song) takes
// the grid back by exactly 4 s, keeping its phase; a paused tick passes.
TEST(StreamGrid, FramesLandOnTheStreamsStepsAcrossJitterSeeksAndTheLoop) {
  StreamGrid grid(30, 4.0);
  const auto at = [&](double seconds, bool paused = false) {
    Tick tick;
    tick.seconds = seconds;
    tick.delta = 0.05;
    return grid.place(tick, paused);
  };
  EXPECT_DOUBLE_EQ(at(1.0).seconds, 1.0);
  const double jitter[] = {0.004, -0.006, 0.011, -0.002, 0.0};
  for (int k = 1; k <= 5; ++k) {
    const Tick tick = at(1.0 + k / 30.0 + jitter[k - 1]);
    EXPECT_NEAR(tick.seconds, 1.0 + k / 30.0, 1e-12) << k;
    EXPECT_NEAR(tick.delta, 1 / 30.0, 1e-12) << k;
  }
  EXPECT_DOUBLE_EQ(at(2.5).seconds, 2.5);  // a seek
  EXPECT_NEAR(at(2.5 + 1 / 30.0 + 0.007).seconds, 2.5 + 1 / 30.0, 1e-12);
  // 3.9 s on the grid, then the song starts over: 0.0 + jitter is taken as 4.0 - 4.
  for (int k = 2; 2.5 + k / 30.0 < 3.99; ++k) {
    at(2.5 + k / 30.0);
  }
  const double last = 2.5 + 44 / 30.0;
  EXPECT_NEAR(at(last + 1 / 30.0 - 4.0 + 0.009).seconds, last + 1 / 30.0 - 4.0, 1e-9);
  EXPECT_DOUBLE_EQ(at(0.3, true).seconds, 0.3);  // paused: as it is
  EXPECT_DOUBLE_EQ(at(0.31).seconds, 0.31);      // then anchored afresh
}

// When a lost receiver is called again, in milliseconds from the loss,
// worked out by hand: at 500, then 500 after an unanswered call, then every
// 1000; a new loss starts the schedule again; never due before its time.
TEST(Redial, CallsSoonAfterALossThenEverySecond) {
  using ms = std::chrono::milliseconds;
  const Redial::Clock::time_point t0{};
  Redial redial;
  EXPECT_TRUE(redial.due(t0)) << "a stream that never answered is called at once";
  redial.lost(t0);
  int64_t now = 0;
  std::vector<int64_t> calls;
  while (now <= 4500) {
    if (redial.due(t0 + ms(now))) {
      calls.push_back(now);
      redial.unanswered(t0 + ms(now));
    }
    now += 50;
  }
  EXPECT_EQ(calls, (std::vector<int64_t>{500, 1000, 2000, 3000, 4000}));
  redial.lost(t0 + ms(4100));
  EXPECT_FALSE(redial.due(t0 + ms(4550)));
  EXPECT_TRUE(redial.due(t0 + ms(4600)));
}

TEST(BoundedQueue, TryPushAndTryPopNeverWait) {
  BoundedQueue<int> q(2);
  int out = 0;
  EXPECT_FALSE(q.tryPop(out));
  EXPECT_TRUE(q.tryPush(1));
  EXPECT_TRUE(q.tryPush(2));
  EXPECT_FALSE(q.tryPush(3));  // full: dropped
  EXPECT_TRUE(q.tryPop(out));
  EXPECT_EQ(out, 1);
  q.close();
  EXPECT_FALSE(q.tryPush(4));
  EXPECT_TRUE(q.tryPop(out));
  EXPECT_EQ(out, 2);
  EXPECT_FALSE(q.tryPop(out));
}

// A palette by hand: a dark setting (#090512, luminance under 5%) takes the
// background; the others are spread over the ramp (its colours from dark to
// light) in their order: the darkest end, the lightest, the middle, and
// round again; a float setting is left alone; the ramp itself follows
// (paletteLow, paletteMid, paletteHigh, and paletted on).
TEST(Palette, DarkSettingsTakeTheBackgroundAndTheRestSpreadOverTheRamp) {
  std::vector<Setting> settings(6);
  const std::array<float, 3> dark = {9 / 255.0f, 5 / 255.0f, 18 / 255.0f};
  const std::array<float, 3> light = {0.5f, 0.5f, 0.5f};
  for (size_t i = 0; i < settings.size(); ++i) {
    settings[i].name = "s" + std::to_string(i);
    settings[i].colour = i != 5;
    settings[i].value = i == 1 ? dark : light;
  }
  settings[5].value = {0.25f, 0.0f, 0.0f};
  const Result<std::vector<Setting>> mono = applyPalette(settings, "mono");
  ASSERT_TRUE(mono) << mono.why();
  // mono's ramp: #707070 #b0b0b0 #ffffff; its background #050505.
  const float expected[5] = {0x70 / 255.0f, 5 / 255.0f, 1.0f, 0xb0 / 255.0f, 0x70 / 255.0f};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_NEAR(mono.value()[i].value[0], expected[i], 1e-6) << i;
  }
  EXPECT_FLOAT_EQ(mono.value()[5].value[0], 0.25f);
  ASSERT_EQ(mono.value().size(), 10u);
  EXPECT_EQ(mono.value()[9].name, "paletted");
  EXPECT_FALSE(mono.value()[9].colour);
  EXPECT_EQ(mono.value()[9].value[0], 1.0f);
  const std::pair<const char*, float> stops[3] = {{"paletteLow", 0x70 / 255.0f}, {"paletteMid", 0xb0 / 255.0f},
                                                  {"paletteHigh", 1.0f}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(mono.value()[6 + i].name, stops[i].first);
    EXPECT_NEAR(mono.value()[6 + i].value[1], stops[i].second, 1e-6);
  }
  EXPECT_FALSE(applyPalette(settings, "nope"));
}

// The moments of a song in three 4-second parts at -30, -6 and -18 dBFS
// after a second of silence: the quiet one in the first part (the silence
// is not a passage), the loudest in the second, the average in the third.
TEST(Moments, QuietAverageAndLoudestComeFromTheirOwnParts) {
  vt::TempDir dir;
  ASSERT_TRUE(vt::writeSound(dir / "parts.wav", 44100 * 13, 1, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                             [](int64_t f, int) {
                               const double t = static_cast<double>(f) / 44100;
                               const double dbfs = t < 1 ? -200 : t < 5 ? -30 : t < 9 ? -6 : -18;
                               return std::pow(10.0, dbfs / 20) * std::sin(2 * M_PI * 440 * t);
                             }));
  const Result<SongMoments> m = findMoments(dir / "parts.wav");
  ASSERT_TRUE(m) << m.why();
  EXPECT_NEAR(m.value().length, 13.0, 1e-6);
  // A window is a second long, its middle every half second: the one half
  // over the quiet part is its quietest (the silent ones are left out).
  EXPECT_TRUE(m.value().quiet >= 1.0 && m.value().quiet <= 4.5) << m.value().quiet;
  EXPECT_TRUE(m.value().loudest >= 5.5 && m.value().loudest <= 8.5) << m.value().loudest;
  EXPECT_TRUE(m.value().average >= 9.5 && m.value().average <= 12.5) << m.value().average;
}

}  // namespace


// The pump's live policy. Sixty frames handed as fast as a loop can (far
// faster than x264 encodes them), each a grey naming its index: frames
// that come while the encoder is behind are let go, never waited for, and
// each frame that goes out is stamped at its own index, so a drop leaves a
// gap in the stream's time instead of pulling every later frame early.
// Read back by ffprobe and ffmpeg: every received frame's time (from the
// first) is its grey's index ÷ 30, and sent and dropped add up to sixty.
TEST(Pump, ALiveFrameThatCannotGoIsDroppedAndTheNextKeepsItsPlaceInTime) {
  vt::TempDir dir;
  const std::string file = dir / "live.ts";
  EncoderSettings settings;
  settings.path = file;
  settings.stream = true;
  settings.name = "live.ts";
  settings.format = "mpegts";
  settings.width = 320;
  settings.height = 240;
  settings.fps = Rational{30, 1};
  settings.channels = 2;
  settings.rate = 44100;
  constexpr int64_t kNoEnd = std::numeric_limits<int64_t>::max();
  EncodedOutput out(EncodedOutput::Plan{settings, false, FrameClock(settings.fps, settings.rate),
                                        Span{0, kNoEnd, 0, kNoEnd}, Fades{}, SoundReader(), false, false,
                                        [](const std::string&) {}, WhenBehind::drop});
  ASSERT_TRUE(out.open());
  constexpr int kFrames = 60;
  for (int i = 0; i < kFrames; ++i) {
    std::vector<uint8_t> pixels;
    ASSERT_TRUE(out.spare(pixels));
    ASSERT_EQ(pixels.size(), 320u * 240u * 4u);
    for (size_t p = 0; p < pixels.size(); p += 4) {
      pixels[p] = pixels[p + 1] = pixels[p + 2] = static_cast<uint8_t>(40 + 3 * i);
      pixels[p + 3] = 255;
    }
    ASSERT_TRUE(out.send(std::move(pixels), std::vector<float>(1470 * 2, 0.0f)));
  }
  ASSERT_TRUE(out.finish());
  EXPECT_GT(out.dropped(), 0) << "every frame waited for: the encoder was never behind a loop with no pause";
  EXPECT_EQ(out.sent() + out.dropped(), kFrames);

  std::istringstream times(vt::probe(file, "frame=pts_time"));
  std::vector<double> seconds;
  for (double t = 0; times >> t;) {
    seconds.push_back(t);
  }
  ASSERT_EQ(static_cast<int64_t>(seconds.size()), out.sent());
  for (size_t f = 0; f < seconds.size(); ++f) {
    const std::string rgb = vt::frameRgb(file, static_cast<int>(f));
    ASSERT_FALSE(rgb.empty()) << "frame " << f;
    const long index = std::lround((vt::mean(rgb) - 40.0) / 3.0);
    EXPECT_NEAR((seconds[f] - seconds[0]) * 30.0, static_cast<double>(index), 0.01) << "frame " << f;
  }
}
