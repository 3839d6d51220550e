// videoOutput.cpp — see videoOutput.h.
#include "video/videoOutput.h"

#include "base/libraryLog.h"

StillOutput::StillOutput(const std::string& target, bool overwrite, int width, int height, bool keepAlpha,
                         std::string name)
    : file_(target, overwrite), width_(width), height_(height), keepAlpha_(keepAlpha), name_(std::move(name)) {}

bool StillOutput::spare(std::vector<uint8_t>& out) {
  if (taken_) {
    return false;
  }
  out.resize(static_cast<size_t>(width_) * static_cast<size_t>(height_) * 4);
  return true;
}

bool StillOutput::take(std::vector<uint8_t> pixels) {
  pixels_ = std::move(pixels);
  taken_ = true;
  return true;
}

Status StillOutput::finish() {
  if (!taken_) {
    return Status::failure("no frame was drawn");
  }
  return writePng(file_.path(), pixels_.data(), width_, height_, name_, keepAlpha_);
}

EncodedOutput::EncodedOutput(Plan plan) : plan_(std::move(plan)) {}

EncodedOutput::~EncodedOutput() {
  // The thread first: it uses the encoder and the guard.
  thread_.reset();
}

Status EncodedOutput::open() {
  // A file is written under a hidden name until complete; a stream has no name to guard.
  EncoderSettings settings = plan_.settings;
  if (!settings.stream) {
    file_ = std::make_unique<PendingFile>(settings.path, plan_.overwrite);
    if (!file_->made()) {
      return file_->made();
    }
    settings.path = file_->path();
  }
  clearLibraryDetail();
  encoder_ = std::make_unique<Encoder>();
  if (const Status opened = encoder_->open(settings); !opened) {
    return Status::failure(withLibraryDetail(opened.why()));
  }
  if (plan_.flashGuard) {
    guard_ = std::make_unique<FlashGuard>(settings.width, settings.height, settings.fps.value(), 3, settings.layout);
  }
  // Who is called again when the receiver goes away: a live show's receiver
  // whatever the URL (the show goes on); a render's only where the URL has
  // a receiver to call (a caller's srt://, rtmp://), else the render ends.
  const bool callAgain = plan_.behind == WhenBehind::drop || streamReconnects(settings.path);
  Reconnection reconnection;
  if (settings.stream && plan_.notes && callAgain) {
    reconnection.name = settings.name;
    reconnection.notes = plan_.notes;
    reconnection.drop = [this] { encoder_.reset(); };
    reconnection.connect = [this, settings]() -> Encoder* {
      // A receiver that is back answers at once; a long wait only delays the next try.
      EncoderSettings again = settings;
      again.connectSeconds = 1.0;
      auto encoder = std::make_unique<Encoder>();
      if (!encoder->open(again)) {
        return nullptr;
      }
      encoder_ = std::move(encoder);
      return encoder_.get();
    };
  }
  thread_ = std::make_unique<EncoderThread>(*encoder_, settings.channels, settings.rate, plan_.clock, plan_.span,
                                            plan_.fades, pictureBytes(settings.layout, settings.width, settings.height),
                                            plan_.reader, guard_.get(), std::move(reconnection), settings.layout,
                                            plan_.behind);
  return Status();
}
