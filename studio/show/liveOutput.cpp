// liveOutput.cpp — see liveOutput.h.
#include "show/liveOutput.h"

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
  stream_ = std::make_unique<LiveStream>(settings_, flashGuard, std::move(notes));
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
  readback_->start();
  sounds_.push_back(std::move(sound));
  return readback_->pending() < readback_->depth() ? Status() : sendOldest();
}

// The oldest picture read back, with the sound of its own stream frame.
Status LiveOutput::sendOldest() {
  std::vector<uint8_t> pixels = stream_->spare();
  if (const Status read = readback_->finish(pixels.data()); !read) {
    return read;
  }
  stream_->send(std::move(pixels), std::move(sounds_.front()));
  sounds_.pop_front();
  return Status();
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
  while (readback_ && readback_->pending() > 0 && sendOldest()) {
  }
  finished_ = stream_->finish();
  sent_ = stream_->sent();
  dropped_ = stream_->dropped();
  unsent_ = stream_->unsent();
  eased_ = stream_->eased();
  stream_.reset();
  return finished_;
}
