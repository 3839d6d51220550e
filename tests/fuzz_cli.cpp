// libFuzzer target over the command line's own parsers: the input, split at
// its first newline, is read as a size, a frame rate and a time, and whatever
// they accept is used as render would (rate kept as a small fraction, frame
// and sound positions at both ends of a long song). Each step must hold the
// invariants render relies on, or the target aborts.
//
//   fuzz_cli [libFuzzer options] [CORPUS...]
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzzCheck.h"
#include "cli.h"
#include "video/frameClock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t cut = text.find('\n');
  const std::string first = text.substr(0, cut);
  const std::string second = cut == std::string::npos ? first : text.substr(cut + 1);

  int width = 0;
  int height = 0;
  if (parseSize(first, width, height)) {
    check(width >= 1 && height >= 1);
  }
  Rational fps;
  if (parseRational(first, fps) && fps.value() >= 1.0 && fps.value() <= 240.0) {
    const Rational kept = limitTerms(fps, 1 << 20);
    check(kept.num >= 1 && kept.den >= 1 && kept.num <= (1 << 20) && kept.den <= (1 << 20));
    check(kept.value() > 0.99 && kept.value() < 240.01);
    Rational at;
    if (parseRational(second, at)) {
      for (int64_t rate : {8000, 44100, 192000}) {
        const FrameClock clock(kept, rate);
        const int64_t n = clock.frameAtOrAfter(at);
        check(n >= 0);
        check(clock.soundFrameAt(n) >= clock.soundFrameAtTime(at) - rate);
        check(clock.framesFor(rate * 3600 * 3) >= 0);
      }
    }
  }
  return 0;
}
