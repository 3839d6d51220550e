// liveOutput.cpp — see liveOutput.h.
#include "show/liveOutput.h"

#include <limits>

LiveOutput::~LiveOutput() {
  finish();
  readback_.reset();
  if (framebuffer_ != 0) {
    glDeleteFramebuffers(1, &framebuffer_);
    framebuffer_ = 0;
  }
  if (colour_ != 0) {
    glDeleteTextures(1, &colour_);
    colour_ = 0;
  }
}

Status LiveOutput::open(const EncoderSettings& settings, bool ownFramebuffer, bool flashGuard, Notes notes) {
  settings_ = settings;
  settings_.stream = true;
  settings_.lastPicture = -1;
  // A live show has no end it knows of: its span runs on, unfaded.
  constexpr int64_t kNoEnd = std::numeric_limits<int64_t>::max();
  EncodedOutput::Plan plan{settings_, false, FrameClock(settings_.fps, settings_.rate), Span{0, kNoEnd, 0, kNoEnd},
                           Fades{}, SoundReader(), flashGuard, false, std::move(notes), WhenBehind::drop};
  stream_ = std::make_unique<EncodedOutput>(std::move(plan));
  if (const Status opened = stream_->open(); !opened) {
    stream_.reset();
    return opened;
  }
  if (ownFramebuffer) {
    GL_CALL(glCreateTextures(GL_TEXTURE_2D, 1, &colour_));
    GL_CALL(glTextureStorage2D(colour_, 1, GL_RGBA8, settings_.width, settings_.height));
    GL_CALL(glCreateFramebuffers(1, &framebuffer_));
    GL_CALL(glNamedFramebufferTexture(framebuffer_, GL_COLOR_ATTACHMENT0, colour_, 0));
    if (glCheckNamedFramebufferStatus(framebuffer_, GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
      return Status::failure("cannot make a " + std::to_string(settings_.width) + "x" + std::to_string(settings_.height) +
                             " framebuffer for the stream");
    }
  }
  // One picture in flight: a live frame goes out in the turn it was drawn
  // (a deeper ring would add a frame's time of delay for each picture).
  readback_ = std::make_unique<Readback>(settings_.width, settings_.height, 1);
  return Status();
}

void LiveOutput::bind() {
  if (framebuffer_ != 0) {
    GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_));
  }
}

Status LiveOutput::send(std::vector<float> sound) {
  if (stream_ == nullptr) {
    return finished_;  // ended already
  }
  readback_->start();
  sounds_.push_back(std::move(sound));
  const Status sent = readback_->pending() < readback_->depth() ? Status() : sendOldest();
  // The pump stopped (a receiver that cannot be called again): its verdict.
  return stopped_ ? finish() : sent;
}

// The oldest picture read back, with the sound of its own stream frame.
Status LiveOutput::sendOldest() {
  std::vector<uint8_t> pixels;
  stopped_ = !stream_->spare(pixels);
  const Status read = readback_->finish(pixels.data());
  if (read && !stopped_) {
    stopped_ = !stream_->send(std::move(pixels), std::move(sounds_.front()));
  }
  sounds_.pop_front();
  return read;
}

void LiveOutput::present(int windowWidth, int windowHeight) {
  if (framebuffer_ == 0) {
    return;
  }
  GL_CALL(glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_));
  GL_CALL(glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0));
  GL_CALL(glBlitFramebuffer(0, 0, settings_.width, settings_.height, 0, 0, windowWidth, windowHeight,
                            GL_COLOR_BUFFER_BIT, GL_LINEAR));
  GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, 0));
}

Status LiveOutput::finish() {
  if (stream_ == nullptr) {
    return finished_;
  }
  while (readback_ && readback_->pending() > 0 && !stopped_ && sendOldest()) {
  }
  finished_ = stream_->finish();
  sent_ = stream_->sent();
  dropped_ = stream_->dropped();
  unsent_ = stream_->unsent();
  eased_ = stream_->guard() ? stream_->guard()->eased() : 0;
  stream_.reset();
  return finished_;
}
