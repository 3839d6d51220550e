// output.cpp — see output.h.
#include "show/output.h"

#include <limits>

// GLFW after the loader, so it does not pull in the system GL header.
#include <GLFW/glfw3.h>

bool WindowOutput::frame(Show& show) {
  glfwGetFramebufferSize(window_.get(), &width_, &height_);
  if (width_ <= 0 || height_ <= 0) {
    return true;  // minimised: nothing to draw into
  }
  if (mirror_ != nullptr) {
    mirror_->present(width_, height_);
  } else {
    show.draw(width_, height_);
  }
  return true;
}

void WindowOutput::flip() {
  glfwSwapBuffers(window_.get());
  const auto now = std::chrono::steady_clock::now();
  if (measuredFrom_ == std::chrono::steady_clock::time_point{}) {
    measuredFrom_ = now;
    return;
  }
  ++framesMeasured_;
  const double seconds = std::chrono::duration<double>(now - measuredFrom_).count();
  if (seconds < 0.5) {
    return;
  }
  // The first half second's frames come unpaced while the pacer finds out
  // whether the swap waits for the display: not the rate the window runs at.
  if (measures_++ > 0) {
    fps_ = framesMeasured_ / seconds;
  }
  framesMeasured_ = 0;
  measuredFrom_ = now;
}

void WindowOutput::title(const std::function<TitleBar()>& bar) {
  const auto now = std::chrono::steady_clock::now();
  if (now - titled_ <= std::chrono::milliseconds(500)) {
    return;
  }
  titled_ = now;
  TitleBar said = bar();
  said.fps = fps_;
  window_.setTitle(titleBarText(said));
}

StreamOutput::StreamOutput(EncoderSettings settings, bool ownFramebuffer, bool flashGuard, SoundOfFrame sound,
                           Notes notes)
    : settings_(std::move(settings)),
      ownFramebuffer_(ownFramebuffer),
      flashGuard_(flashGuard),
      sound_(std::move(sound)),
      notes_(std::move(notes)),
      clock_(settings_.fps, settings_.rate) {
  settings_.stream = true;
  settings_.lastPicture = -1;
}

StreamOutput::~StreamOutput() {
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

Status StreamOutput::open() {
  // A live show has no end it knows of: its span runs on, unfaded.
  constexpr int64_t kNoEnd = std::numeric_limits<int64_t>::max();
  EncodedOutput::Plan plan{settings_, false, FrameClock(settings_.fps, settings_.rate), Span{0, kNoEnd, 0, kNoEnd},
                           Fades{}, SoundReader(), flashGuard_, false, notes_, WhenBehind::drop};
  pump_ = std::make_unique<EncodedOutput>(std::move(plan));
  if (const Status opened = pump_->open(); !opened) {
    pump_.reset();
    return opened;
  }
  if (ownFramebuffer_) {
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

bool StreamOutput::frame(Show& show) {
  if (!status_) {
    return false;
  }
  if (framebuffer_ != 0) {
    GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_));
  }
  show.draw(settings_.width, settings_.height);
  const int64_t count = clock_.soundFrameAt(drawn_ + 1) - clock_.soundFrameAt(drawn_);
  ++drawn_;
  if (const Status sent = send(sound_(count)); !sent) {
    status_ = sent;
  }
  return static_cast<bool>(status_);
}

Status StreamOutput::send(std::vector<float> sound) {
  if (pump_ == nullptr) {
    return finished_;  // ended already
  }
  readback_->start();
  sounds_.push_back(std::move(sound));
  const Status sent = readback_->pending() < readback_->depth() ? Status() : sendOldest();
  // The pump stopped (a receiver that cannot be called again): its verdict.
  return stopped_ ? finish() : sent;
}

// The oldest picture read back, with the sound of its own stream frame.
Status StreamOutput::sendOldest() {
  std::vector<uint8_t> pixels;
  stopped_ = !pump_->spare(pixels);
  const Status read = readback_->finish(pixels.data());
  if (read && !stopped_) {
    stopped_ = !pump_->send(std::move(pixels), std::move(sounds_.front()));
  }
  sounds_.pop_front();
  return read;
}

void StreamOutput::present(int windowWidth, int windowHeight) {
  if (framebuffer_ == 0) {
    return;
  }
  GL_CALL(glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer_));
  GL_CALL(glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0));
  GL_CALL(glBlitFramebuffer(0, 0, settings_.width, settings_.height, 0, 0, windowWidth, windowHeight,
                            GL_COLOR_BUFFER_BIT, GL_LINEAR));
  GL_CALL(glBindFramebuffer(GL_FRAMEBUFFER, 0));
}

Status StreamOutput::finish() {
  if (pump_ != nullptr) {
    while (readback_ && readback_->pending() > 0 && !stopped_ && sendOldest()) {
    }
    finished_ = pump_->finish();
    sent_ = pump_->sent();
    dropped_ = pump_->dropped();
    unsent_ = pump_->unsent();
    eased_ = pump_->guard() ? pump_->guard()->eased() : 0;
    pump_.reset();
  }
  return status_ ? finished_ : status_;
}

namespace {

std::unique_ptr<PlanePass> planesFor(const VideoOutput& to, int width, int height) {
  return to.layout() == PictureLayout::Planes420 && PlanePass::wanted() ? std::make_unique<PlanePass>(width, height)
                                                                         : nullptr;
}

// A GPU copies a picture back while the next is drawn, so two are in
// flight; a software rasteriser copies it as it is asked, so a second
// buffer (8 MB at 1080p) would only be held.
int readbackDepth() { return PlanePass::pays() ? 2 : 1; }

}  // namespace

RenderedOutput::RenderedOutput(VideoOutput& to, int width, int height)
    : to_(to), width_(width), height_(height), planes_(planesFor(to, width, height)),
      readback_(planes_ ? planes_->planesWidth() : width, planes_ ? planes_->planesHeight() : height,
                readbackDepth(), planes_ == nullptr && to.layout() == PictureLayout::Planes420) {
  if (planes_ && !planes_->status()) {
    status_ = planes_->status();
  }
}

bool RenderedOutput::frame(Show& show) {
  if (!status_) {
    return false;
  }
  if (planes_ == nullptr) {
    show.draw(width_, height_);
    readback_.start();
  } else {
    planes_->bindCanvas();
    show.draw(width_, height_);
    planes_->convert();
    readback_.start();
    planes_->release();
  }
  return readback_.pending() < readback_.depth() || handOver();
}

// Hands the oldest picture read back to the VideoOutput; false once it stopped.
bool RenderedOutput::handOver() {
  std::vector<uint8_t> pixels;
  if (!to_.spare(pixels)) {
    return false;
  }
  if (const Status read = readback_.finish(pixels.data()); !read) {
    status_ = read;
    return false;
  }
  ++handed_;
  return to_.take(std::move(pixels));
}

Status RenderedOutput::finish() {
  while (status_ && readback_.pending() > 0 && handOver()) {
  }
  // Only errors while this output drew: an earlier run's (another row of a
  // contact sheet, a picture skipped before) are not this one's.
  if (status_ && glErrorsOnThisThread() > errorsBefore_) {
    status_ = Status::failure("the GL driver reported errors while drawing (above); the pictures cannot be trusted");
  }
  return status_;
}
