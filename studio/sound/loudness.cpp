// loudness.cpp — see loudness.h. libebur128 does the measuring.
#include "sound/loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "sound/soundStream.h"

namespace {

struct StateDeleter {
  void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};
using State = std::unique_ptr<ebur128_state, StateDeleter>;

// A meter for this layout: a mono file counts as the same sound in both
// ears, and 5.1's low-frequency channel is left out, as R128 has it.
State meter(int channels, int rate) {
  State state(ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate), EBUR128_MODE_I));
  if (state && channels == 1) {
    ebur128_set_channel(state.get(), 0, EBUR128_DUAL_MONO);
  }
  if (state && channels == 6) {
    ebur128_set_channel(state.get(), 3, EBUR128_UNUSED);
    ebur128_set_channel(state.get(), 4, EBUR128_LEFT_SURROUND);
    ebur128_set_channel(state.get(), 5, EBUR128_RIGHT_SURROUND);
  }
  return state;
}

double integrated(ebur128_state* state) {
  double loudness = -HUGE_VAL;
  return ebur128_loudness_global(state, &loudness) == EBUR128_SUCCESS ? loudness : -HUGE_VAL;
}

}  // namespace

Result<double> measureLoudness(const std::string& path) {
  return measureLoudness(std::vector<std::string>{path});
}

Result<double> measureLoudness(const std::vector<std::string>& paths) {
  SoundFile file;
  if (Status opened = openSound(file, paths); !opened) {
    return opened;
  }
  const std::string path = paths.size() == 1 ? paths.front() : "the album";
  State state = meter(file.channels(), file.rate());
  if (!state) {
    return Status::failure("cannot measure the loudness of " + path + ": out of memory");
  }
  constexpr int64_t kPiece = 16384;
  std::vector<float> piece(static_cast<size_t>(kPiece * file.channels()));
  for (int64_t got; (got = file.readFloats(piece.data(), kPiece)) > 0;) {
    if (ebur128_add_frames_float(state.get(), piece.data(), static_cast<size_t>(got)) != EBUR128_SUCCESS) {
      return Status::failure("cannot measure the loudness of " + path);
    }
  }
  // An error part way is not the end: what was read is not the song's loudness.
  if (const Status read = file.readStatus(); !read) {
    return Status::failure("cannot read " + path + " to its end to measure its loudness (" + read.why() +
                           "); --level off renders it without");
  }
  return integrated(state.get());
}

double measureLoudness(const std::vector<int16_t>& frames, int channels, int rate) {
  State state = meter(channels, rate);
  if (!state || channels <= 0) {
    return -HUGE_VAL;
  }
  if (ebur128_add_frames_short(state.get(), frames.data(), frames.size() / static_cast<size_t>(channels)) !=
      EBUR128_SUCCESS) {
    return -HUGE_VAL;
  }
  return integrated(state.get());
}

double levellingGain(double loudness) {
  if (!std::isfinite(loudness) || loudness < kQuietest) {
    return 0.0;
  }
  return std::clamp(kReferenceLoudness - loudness, -kMaxLevellingDb, kMaxLevellingDb);
}

double RunningLevel::step(const std::vector<float>& mono, double dt) {
  double sum = 0;
  for (float v : mono) {
    sum += static_cast<double>(v) * v;
  }
  const double power = mono.empty() ? 0.0 : sum / static_cast<double>(mono.size());
  // The first frame sets the estimate; then ten seconds' memory.
  const double keep = seconds_ > 0 ? std::exp(-dt / 10.0) : 0.0;
  power_ = power_ * keep + power * (1.0 - keep);
  seconds_ += dt;
  // A sine at full scale in both channels reads about 0 LUFS, as here.
  const double loudness = power_ > 0 ? 10.0 * std::log10(2.0 * power_) : -HUGE_VAL;
  const double target = levellingGain(loudness);
  // At most 3 dB a second, so a pause or a drop does not pump the picture.
  const double most = 3.0 * dt;
  gain_ += std::clamp(target - gain_, -most, most);
  return gain_;
}
