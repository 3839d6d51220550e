// liveStream.cpp — see liveStream.h.
#include "video/liveStream.h"

#include <algorithm>
#include <chrono>

#include "base/libraryLog.h"
#include "video/redial.h"

using Clock = Redial::Clock;

LiveStream::LiveStream(EncoderSettings settings, bool flashGuard, Notes notes)
    : settings_(std::move(settings)), notes_(std::move(notes)) {
  settings_.stream = true;
  settings_.lastPicture = -1;
  if (flashGuard) {
    guard_ = std::make_unique<FlashGuard>(settings_.width, settings_.height, settings_.fps.value());
  }
}

LiveStream::~LiveStream() { finish(); }  // a verdict nobody asked for is let go

Status LiveStream::open() {
  clearLibraryDetail();
  encoder_ = std::make_unique<Encoder>();
  if (const Status opened = encoder_->open(settings_); !opened) {
    encoder_.reset();
    return Status::failure(withLibraryDetail(opened.why()));
  }
  connected_ = true;
  thread_ = std::thread([this] { run(); });
  return Status();
}

std::vector<uint8_t> LiveStream::spare() {
  std::vector<uint8_t> buffer;
  if (!spares_.tryPop(buffer)) {
    buffer.resize(static_cast<size_t>(settings_.width) * static_cast<size_t>(settings_.height) * 4);
  }
  return buffer;
}

bool LiveStream::send(std::vector<uint8_t> pixels, std::vector<float> sound) {
  if (!heldSound_.empty()) {
    sound.insert(sound.begin(), heldSound_.begin(), heldSound_.end());
    heldSound_.clear();
  }
  // A dropped picture's sound goes with the next one: the sound sent has no
  // gap, and the next picture is stamped where it falls (the frames skipped
  // counted), so the stream's time keeps to the wall clock.
  std::vector<float> kept = sound;
  if (queue_.tryPush(Frame{std::move(pixels), std::move(sound), skipped_})) {
    skipped_ = 0;
    return true;
  }
  ++skipped_;
  heldSound_ = std::move(kept);
  // Behind for longer than a second: the oldest of it goes, so the delay stays bounded.
  const size_t second = static_cast<size_t>(std::max(1, settings_.rate) * std::max(1, settings_.channels));
  if (heldSound_.size() > second) {
    heldSound_.erase(heldSound_.begin(), heldSound_.end() - static_cast<ptrdiff_t>(second));
  }
  if (connected_ && dropped_++ == 0) {
    notes_("the stream cannot keep up with the show: frames are dropped to keep its delay short (a smaller --size "
           "or --fps keeps every frame)");
  }
  return false;
}

Status LiveStream::finish() {
  queue_.close();
  if (thread_.joinable()) {
    thread_.join();
  }
  if (encoder_) {
    const Status flushed = encoder_->finish();
    encoder_.reset();
    finished_ = flushed ? Status() : Status::failure(withLibraryDetail(flushed.why()));
  } else if (unsent_ > 0 && finished_) {
    finished_ = Status::failure(settings_.name + " stopped receiving and did not come back");
  }
  return finished_;
}

Status LiveStream::write(const Frame& frame) {
  if (Status written = encoder_->writeVideoFrame(frame.pixels.data()); !written) {
    return written;
  }
  if (!frame.sound.empty() && settings_.channels > 0) {
    return encoder_->writeSound(frame.sound.data(), static_cast<int64_t>(frame.sound.size()) / settings_.channels);
  }
  return Status();
}

// A new connection, with new encoders: the receiver starts a stream afresh.
bool LiveStream::connect() {
  auto encoder = std::make_unique<Encoder>();
  clearLibraryDetail();
  // A receiver that is back answers at once; a long wait only delays the next try.
  EncoderSettings settings = settings_;
  settings.connectSeconds = 1.0;
  if (!encoder->open(settings)) {
    return false;
  }
  encoder_ = std::move(encoder);
  connected_ = true;
  return true;
}

void LiveStream::run() {
  Frame frame;
  Redial redial;
  while (queue_.pop(frame)) {
    if (encoder_ == nullptr && redial.due(Clock::now())) {
      if (connect()) {
        notes_("sending to " + settings_.name + " again");
      } else {
        redial.unanswered(Clock::now());
      }
    }
    if (encoder_ == nullptr) {
      ++unsent_;
    } else {
      if (guard_) {
        guard_->apply(frame.pixels);
      }
      encoder_->skipVideoFrames(frame.skipped);
      if (const Status written = write(frame); !written) {
        // Its muxer may be stuck mid-packet: dropped, never flushed.
        encoder_.reset();
        connected_ = false;
        notes_(written.why() + "; still drawing, and trying again until it answers");
        redial.lost(Clock::now());
        ++unsent_;
      } else {
        ++sent_;
      }
    }
    spares_.tryPush(std::move(frame.pixels));
  }
}
