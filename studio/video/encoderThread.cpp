// encoderThread.cpp — see encoderThread.h.
#include "video/encoderThread.h"

#include <algorithm>
#include <cmath>

#include "base/libraryLog.h"

double Fades::ramp(double done, double length) { return length > 0 ? std::clamp(done / length, 0.0, 1.0) : 1.0; }

double Fades::picture(const Span& own, int64_t n, double fps) const {
  const Span& span = over.end > over.first ? over : own;
  return std::min(ramp(static_cast<double>(n - span.first), in * fps),
                  ramp(static_cast<double>(span.end - 1 - n), out * fps));
}

double Fades::sound(const Span& span, int64_t s, double rate) const {
  return std::min(ramp(static_cast<double>(s - span.soundStart), in * rate),
                  ramp(static_cast<double>(span.soundEnd - 1 - s), out * rate));
}

void darken(std::vector<uint8_t>& rgba, double gain, bool alpha) {
  const auto scale = static_cast<uint32_t>(std::lround(gain * 65536.0));
  for (size_t i = 0; i + 3 < rgba.size(); i += 4) {
    for (size_t c = alpha ? 3 : 0; c < (alpha ? 4u : 3u); ++c) {
      rgba[i + c] = static_cast<uint8_t>((rgba[i + c] * scale + 32768) >> 16);
    }
  }
}

void darkenPlanes(std::vector<uint8_t>& planes, double gain) {
  // Black is 16 in luma and 128 in chroma: both are scaled towards it.
  const auto scale = static_cast<int32_t>(std::lround(gain * 65536.0));
  const size_t luma = planes.size() / 3 * 2;
  for (size_t i = 0; i < planes.size(); ++i) {
    const int32_t black = i < luma ? 16 : 128;
    planes[i] = static_cast<uint8_t>(black + (((planes[i] - black) * scale + 32768) >> 16));
  }
}

EncoderThread::EncoderThread(Encoder& encoder, int channels, int rate, const FrameClock& clock, const Span& span,
                             const Fades& fades, size_t bytes, SoundReader reader, FlashGuard* guard,
                             Reconnection reconnection, PictureLayout layout, WhenBehind behind)
    : encoder_(&encoder), reconnection_(std::move(reconnection)), layout_(layout), behind_(behind), bytes_(bytes),
      channels_(channels), rate_(rate), clock_(clock), span_(span), fades_(fades), reader_(std::move(reader)),
      guard_(guard), filled_(behind == WhenBehind::drop ? 4 : 2), spare_(behind == WhenBehind::drop ? 6 : 3),
      soundDone_(span.soundStart) {
  // Three pictures in flight: one drawn, one queued, one being encoded.
  for (int i = 0; i < 3; ++i) {
    spare_.push(std::vector<uint8_t>(bytes));
  }
  thread_ = std::thread([this] {
    // This thread's own FFmpeg line explains its failure, said here.
    clearLibraryDetail();
    const Status ran = run();
    status_ = ran ? ran : Status::failure(withLibraryDetail(ran.why()));
    closeAll();
  });
}

EncoderThread::~EncoderThread() {
  closeAll();
  if (thread_.joinable()) {
    thread_.join();
  }
}

void EncoderThread::closeAll() {
  filled_.close();
  spare_.close();
  pieces_.close();
}

Status EncoderThread::finish() {
  filled_.close();
  if (thread_.joinable()) {
    thread_.join();
  }
  return status_;
}

bool EncoderThread::spare(std::vector<uint8_t>& out) {
  if (behind_ == WhenBehind::wait) {
    return spare_.pop(out);
  }
  if (!spare_.tryPop(out)) {
    out.assign(bytes_, 0);
  }
  return !filled_.closed();
}

bool EncoderThread::send(std::vector<uint8_t> pixels, std::vector<float> sound) {
  if (!heldSound_.empty()) {
    sound.insert(sound.begin(), heldSound_.begin(), heldSound_.end());
    heldSound_.clear();
  }
  Handed frame{std::move(pixels), std::move(sound), skipped_};
  if (filled_.tryMove(frame)) {
    skipped_ = 0;
    return true;
  }
  if (filled_.closed()) {
    return false;
  }
  ++skipped_;
  heldSound_ = std::move(frame.sound);
  spare_.tryPush(std::move(frame.pixels));
  // Behind for longer than a second: the oldest of it goes, so the delay stays bounded.
  const auto second = static_cast<size_t>(std::max(1, rate_) * std::max(1, channels_));
  if (heldSound_.size() > second) {
    heldSound_.erase(heldSound_.begin(), heldSound_.end() - static_cast<std::ptrdiff_t>(second));
  }
  if (connected_ && dropped_++ == 0 && reconnection_.notes) {
    reconnection_.notes("the stream cannot keep up with the show: frames are dropped to keep its delay short (a "
                        "smaller --size or --fps keeps every frame)");
  }
  return true;
}

Status EncoderThread::run() {
  Handed frame;
  int64_t n = span_.first;
  while (filled_.pop(frame)) {
    n += frame.skipped;
    std::vector<uint8_t>& pixels = frame.pixels;
    const double gain = fades_.picture(span_, n, clock_.fps().value());
    if (gain < 1.0 && layout_ == PictureLayout::Planes420) {
      darkenPlanes(pixels, gain);
    } else if (gain < 1.0) {
      darken(pixels, gain, fades_.alpha);
    }
    if (guard_ != nullptr) {
      guard_->apply(pixels);
    }
    if (Status written = encode(frame, n); !written) {
      return written;
    }
    ++n;
    spare_.tryPush(std::move(pixels));
  }
  // All frames: the sound to its end. Stopped early: to the last frame's end.
  // (Dropping, each frame brought its own.)
  const int64_t until = n == span_.end ? span_.soundEnd : clock_.soundFrameAt(n);
  if (Status sound = behind_ == WhenBehind::wait ? soundUpTo(until) : Status(); !sound) {
    return sound;
  }
  if (encoder_ != nullptr) {
    return encoder_->finish();
  }
  // A receiver away at the end has nothing left to be sent, but the run did
  // not reach it: said, and a failure.
  return unsent_ > 0 ? Status::failure(reconnection_.name + " stopped receiving and did not come back: " +
                                       std::to_string(sent_) + " frames sent, " +
                                       std::to_string(unsent_) + " with no receiver")
                     : Status();
}

// Picture n and its sound. A stream that can be called again survives a
// failed write: the failure is said, and the next pictures are let go until
// a new connection is made.
Status EncoderThread::encode(const Handed& frame, int64_t n) {
  if (encoder_ == nullptr && redial_.due(std::chrono::steady_clock::now())) {
    tryAgain();
  }
  unsent_ += encoder_ == nullptr;
  Status written;
  if (encoder_ != nullptr) {
    // Stamped at its own place: the frames dropped before it leave their time empty.
    encoder_->skipVideoFrames(frame.skipped);
    written = encoder_->writeVideoFrame(frame.pixels.data());
  }
  if (written) {
    written = soundOf(frame, n);
  }
  if (written) {
    sent_ += encoder_ != nullptr;
    return written;
  }
  if (!reconnection_.connect) {
    return written;
  }
  reconnection_.drop();
  encoder_ = nullptr;
  connected_ = false;
  ++unsent_;
  reconnection_.notes(withLibraryDetail(written.why()) + "; still " +
                      (behind_ == WhenBehind::drop ? "drawing" : "rendering") + ", and trying again until it answers");
  redial_.lost(std::chrono::steady_clock::now());
  // This picture's sound let go too, so a new connection starts on a picture's time.
  return soundOf(frame, n);
}

// The sound that goes with picture n: what came with it (drop), or the
// song's up to the picture's end (wait). With nobody to send to, let go.
Status EncoderThread::soundOf(const Handed& frame, int64_t n) {
  if (behind_ == WhenBehind::wait) {
    return soundUpTo(clock_.soundFrameAt(n + 1));
  }
  if (encoder_ == nullptr || frame.sound.empty() || channels_ <= 0) {
    return Status();
  }
  return encoder_->writeSound(frame.sound.data(), static_cast<int64_t>(frame.sound.size()) / channels_);
}

void EncoderThread::tryAgain() {
  clearLibraryDetail();
  encoder_ = reconnection_.connect();
  connected_ = encoder_ != nullptr;
  if (encoder_ != nullptr) {
    reconnection_.notes("sending to " + reconnection_.name + " again");
  } else {
    redial_.unanswered(std::chrono::steady_clock::now());
  }
}

// Encodes the sound, faded, up to (not including) sound frame `until`.
Status EncoderThread::soundUpTo(int64_t until) {
  until = std::min(until, span_.soundEnd);
  while (soundDone_ < until) {
    const int64_t want = std::min<int64_t>(until - soundDone_, 8192);
    chunk_.resize(static_cast<size_t>(want * channels_));
    int64_t got = reader_ ? reader_(chunk_.data(), want) : takeHanded(want);
    if (got <= 0) {
      // Shorter than counted (a file changed under us): silence keeps the sync.
      std::fill(chunk_.begin(), chunk_.end(), 0.0f);
      got = want;
    }
    fades_.fadeSound(span_, chunk_.data(), soundDone_, got, channels_, static_cast<double>(rate_));
    if (encoder_ == nullptr) {
      // Nobody to send to: read and let go, so the sound stays at the picture's time.
    } else if (Status written = encoder_->writeSound(chunk_.data(), got); !written) {
      return written;
    }
    soundDone_ += got;
  }
  return Status();
}

// Up to `want` frames of the handed pieces into chunk_; 0 once they ended.
int64_t EncoderThread::takeHanded(int64_t want) {
  const auto channels = static_cast<size_t>(channels_);
  size_t filled = 0;
  while (filled < static_cast<size_t>(want) * channels) {
    if (at_ == piece_.size()) {
      if (!pieces_.pop(piece_)) {
        break;
      }
      at_ = 0;
      continue;
    }
    const size_t n = std::min(piece_.size() - at_, static_cast<size_t>(want) * channels - filled);
    std::copy_n(piece_.begin() + static_cast<std::ptrdiff_t>(at_), n, chunk_.begin() + static_cast<std::ptrdiff_t>(filled));
    at_ += n;
    filled += n;
  }
  return static_cast<int64_t>(filled / channels);
}

void Fades::fadeSound(const Span& span, float* samples, int64_t from, int64_t frames, int channels,
                      double rate) const {
  if (!any()) {
    return;
  }
  for (int64_t f = 0; f < frames; ++f) {
    const auto gain = static_cast<float>(sound(span, from + f, rate));
    for (int c = 0; c < channels; ++c) {
      samples[f * channels + c] *= gain;
    }
  }
}
