// output.cpp — see output.h.
#include "show/output.h"

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
      clock_(settings_.fps, settings_.rate) {}

Status StreamOutput::open() { return live_.open(settings_, ownFramebuffer_, flashGuard_, notes_); }

bool StreamOutput::frame(Show& show) {
  if (!status_) {
    return false;
  }
  live_.bind();
  show.draw(settings_.width, settings_.height);
  // Each frame's sound is exactly its share of the stream's sound clock, so
  // the two never drift apart however long the show runs.
  const int64_t count = clock_.soundFrameAt(sent_ + 1) - clock_.soundFrameAt(sent_);
  ++sent_;
  if (const Status sent = live_.send(sound_(count)); !sent) {
    status_ = sent;
  }
  return static_cast<bool>(status_);
}

Status StreamOutput::finish() {
  const Status ended = live_.finish();
  return status_ ? ended : status_;
}

namespace {

std::unique_ptr<PlanePass> planesFor(const VideoOutput& to, int width, int height) {
  return to.layout() == PictureLayout::Planes420 ? std::make_unique<PlanePass>(width, height) : nullptr;
}

}  // namespace

RenderedOutput::RenderedOutput(VideoOutput& to, int width, int height)
    : to_(to), width_(width), height_(height), planes_(planesFor(to, width, height)),
      readback_(planes_ ? planes_->planesWidth() : width, planes_ ? planes_->planesHeight() : height) {
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
  if (status_ && glErrorsReported() > errorsBefore_) {
    status_ = Status::failure("the GL driver reported errors while drawing (above); the pictures cannot be trusted");
  }
  return status_;
}
