// capture.cpp — see capture.h.
#include "sound/capture.h"

#include <AL/al.h>
#include <AL/alext.h>

#include <algorithm>

#include "base/libraryLog.h"
#include "sampleWindow.h"

namespace {

constexpr int kBufferFrames = Capture::kRate / 2;  // room for half a second between frames
// Reads a frame may make of a device that keeps delivering: a server's whole
// backlog is some seconds, a device's buffer half of one.
constexpr int kMaxDrainRounds = 64;


std::string text(const ALCchar* s) {
  return s != nullptr ? s : "";
}

}  // namespace

std::vector<std::string> captureDevices() {
  std::vector<std::string> names;
  const ALCchar* list = alcGetString(nullptr, ALC_CAPTURE_DEVICE_SPECIFIER);
  for (const ALCchar* at = list; at != nullptr && *at != '\0'; at += names.back().size() + 1) {
    names.emplace_back(at);
  }
  return names;
}

std::string defaultCaptureDevice() {
  return text(alcGetString(nullptr, ALC_CAPTURE_DEFAULT_DEVICE_SPECIFIER));
}

std::string monitorOrDefault(const std::vector<std::string>& names) {
  // What the computer plays: the monitor of the default output, if any.
  const std::string output = text(alcGetString(nullptr, ALC_DEFAULT_ALL_DEVICES_SPECIFIER));
  const std::string monitor = "Monitor of " + output;
  return std::find(names.begin(), names.end(), monitor) != names.end() ? monitor : defaultCaptureDevice();
}

Capture::~Capture() {
  stop();
}

Status Capture::open(const std::string& name) {
  name_ = name;
  if (!start(true)) {
    return Status::failure("cannot open the capture device \"" + name_ + "\"");
  }
  return Status();
}

bool Capture::start(bool first) {
  lastTry_ = std::chrono::steady_clock::now();
  if (first) {
    const QuietStderr quiet;  // ALSA and PulseAudio's own complaints, before other threads run
    device_ = alcCaptureOpenDevice(name_.c_str(), kRate, AL_FORMAT_STEREO16, kBufferFrames);
  } else {
    // Later tries run beside Mesa's and OpenAL's threads: the process's
    // stderr is not ours to swap then, so what ALSA says is let through.
    device_ = alcCaptureOpenDevice(name_.c_str(), kRate, AL_FORMAT_STEREO16, kBufferFrames);
  }
  if (device_ == nullptr) {
    return false;
  }
  alcCaptureStart(device_);
  return true;
}

void Capture::stop() {
  if (device_ != nullptr) {
    alcCaptureStop(device_);
    alcCaptureCloseDevice(device_);
    device_ = nullptr;
  }
}

void Capture::around(int64_t, FrameSound& out) {
  constexpr size_t kKept = static_cast<size_t>(kBlock) * 2;
  // Everything the device holds, again and again until it holds nothing: a
  // frame slower than the device's buffer would otherwise leave the rest
  // queued in the sound server, and the picture would fall seconds behind.
  // Only the newest kKept values are kept; the backlog is dropped.
  for (int round = 0; device_ != nullptr && round < kMaxDrainRounds; ++round) {
    ALCint available = 0;
    alcGetIntegerv(device_, ALC_CAPTURE_SAMPLES, 1, &available);
    if (available <= 0) {
      break;
    }
    incoming_.resize(static_cast<size_t>(available) * 2);
    alcCaptureSamples(device_, incoming_.data(), available);
    ring_.insert(ring_.end(), incoming_.begin(), incoming_.end());
    if (onArrived_) {
      onArrived_(incoming_);
    }
    if (keepArrived_) {
      arrived_.insert(arrived_.end(), incoming_.begin(), incoming_.end());
      constexpr size_t kSecond = static_cast<size_t>(kRate) * 2;
      if (arrived_.size() > kSecond) {
        arrived_.erase(arrived_.begin(), arrived_.end() - static_cast<ptrdiff_t>(kSecond));
      }
    }
    if (ring_.size() > kKept) {
      ring_.erase(ring_.begin(), ring_.end() - static_cast<ptrdiff_t>(kKept));
    }
  }
  std::vector<int16_t> newest(kKept - ring_.size(), 0);
  newest.insert(newest.end(), ring_.begin(), ring_.end());
  soundAround(newest, 0, 2, kBlock - kAhead, out);
  out.window = sampleWindow(newest, kBlock - kWindowValues / 2, 2);
}

void Capture::takeArrived(std::vector<int16_t>& out) {
  keepArrived_ = true;
  out.insert(out.end(), arrived_.begin(), arrived_.end());
  arrived_.clear();
}

void Capture::keepAlive(const Notes& notes) {
  if (device_ != nullptr) {
    ALCint connected = 1;
    alcGetIntegerv(device_, ALC_CONNECTED, 1, &connected);
    if (connected) {
      return;
    }
    stop();
    ring_.clear();
    if (notes) {
      notes("the capture device \"" + name_ + "\" went away; drawing silence and trying again every second");
    }
    return;
  }
  if (std::chrono::steady_clock::now() - lastTry_ < std::chrono::seconds(1)) {
    return;
  }
  if (start(false) && notes) {
    notes("the capture device \"" + name_ + "\" is back");
  }
}
