// listening.cpp — see listening.h.
#include "sound/listening.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>

std::string captureDeviceList() {
  const std::string fallback = defaultCaptureDevice();
  std::string out;
  for (const auto& name : captureDevices()) {
    out += name + (name == fallback ? "  (default)" : "") + "\n";
  }
  return out.empty() ? "(no capture devices)\n" : out;
}

Status Listening::open(const Notes& notes) {
  if (o_.capture) {
    const auto names = captureDevices();
    const std::string device = o_.captureDevice.empty() ? monitorOrDefault(names) : o_.captureDevice;
    if (device.empty()) {
      return Status::failure("there is no capture device");
    }
    if (std::find(names.begin(), names.end(), device) == names.end()) {
      usageError_ = true;
      std::string list = captureDeviceList();
      list.pop_back();
      return Status::failure("no capture device is called \"" + device + "\". These are:\n" + list);
    }
    capture_ = std::make_unique<Capture>();
    if (const Status opened = capture_->open(device); !opened) {
      return opened;
    }
    name_ = capture_->name();
    liveTempo_ = std::make_unique<LiveTempo>(capture_->rate(), o_.tempo.beatsPerBar);
    capture_->onArrived([tempo = liveTempo_.get()](const std::vector<int16_t>& values) { tempo->add(values, 2); });
    if (o_.latencyGiven) {
      notes("--latency has no meaning for a capture device; ignored");
    }
    rate_ = capture_->rate();
    return Status();
  }
  if (const Status decoded = decodeWholeSound(o_.sound, sound_, &tags_); !decoded) {
    return Status::failure("cannot read the sound " + o_.sound + ": " + decoded.why());
  }
  if (sound_.samples.empty()) {
    return Status::failure(o_.sound + " holds no sound to play");
  }
  name_ = o_.name.empty() ? std::filesystem::path(o_.sound).filename().string() : o_.name;
  if (const Status opened = playback_.open(sound_); !opened) {
    // The picture follows the song all the same; only the sound is missing.
    notes(opened.why() + ": playing silently (ALSOFT_DRIVERS chooses OpenAL's output, e.g. pulse or alsa)");
    playback_.openSilent(sound_);
  }
  const int channels = sound_.info.channels;
  rate_ = sound_.info.samplerate;
  frames_ = static_cast<int64_t>(sound_.samples.size()) / channels;
  latencyFrames_ = static_cast<int64_t>(std::llround(o_.latencyMs * static_cast<double>(rate_) / 1000.0));
  file_ = std::make_unique<MemorySound>(sound_.samples, channels, static_cast<int>(rate_));
  if (o_.level) {
    songGain_ = levellingGain(measureLoudness(sound_.samples, channels, static_cast<int>(rate_)));
  }
  return Status();
}

Status Listening::replaceSound(const std::string& path) {
  SoundData fresh;
  if (capture_) {
    return Status::failure("a capture device has no song to replace");
  }
  if (const Status decoded = decodeWholeSound(path, fresh); !decoded) {
    return decoded;
  }
  if (fresh.info.channels != sound_.info.channels || fresh.info.samplerate != sound_.info.samplerate ||
      fresh.samples.empty()) {
    return Status::failure("the new sound is not of the old one's rate and channels");
  }
  // The worker reads sound_: it is waited for before sound_ changes.
  if (tracking_.valid()) {
    tracking_.get();
  }
  sound_.samples = std::move(fresh.samples);
  sound_.info = fresh.info;
  frames_ = static_cast<int64_t>(sound_.samples.size()) / sound_.info.channels;
  if (const Status replaced = playback_.replace(sound_); !replaced) {
    return replaced;
  }
  if (o_.level) {
    songGain_ = levellingGain(measureLoudness(sound_.samples, sound_.info.channels, static_cast<int>(rate_)));
  }
  beats_ = BeatGrid{};
  tracked_ = false;
  taken_ = false;
  return Status();
}

void Listening::trackBeats() {
  if (capture_ || tracked_) {
    return;
  }
  beats_ = tracking_.valid() ? tracking_.get()
                             : findBeats(sound_.samples, sound_.info.channels, static_cast<int>(rate_), o_.tempo);
  tracked_ = true;
}

std::vector<float> Listening::streamSound(int64_t count, bool paused, int64_t at) {
  const int channels = streamChannels();
  std::vector<float> out(static_cast<size_t>(count * channels), 0.0f);
  if (capture_) {
    capturedSound(out);
    return out;
  }
  if (paused) {
    return out;
  }
  at = (at % frames_ + frames_) % frames_;
  const int64_t gap = std::llabs(cursor_ - at);
  if (cursor_ < 0 || std::min(gap, frames_ - gap) > count / 2) {
    cursor_ = at;
  }
  for (int64_t f = 0; f < count; ++f) {
    const auto from = static_cast<size_t>(((cursor_ + f) % frames_) * channels);
    for (int c = 0; c < channels; ++c) {
      out[static_cast<size_t>(f * channels + c)] = static_cast<float>(sound_.samples[from + static_cast<size_t>(c)]) / 32768.0f;
    }
  }
  cursor_ = (cursor_ + count) % frames_;
  return out;
}

// The server delivers in fragments (50 ms from PulseAudio, a frame and a
// half at 30 fps), unevenly. Sending starts once three frames' worth has
// come: two so a late fragment finds a frame in hand instead of a gap, and
// one because the picture sees a capture late (its window ends at the
// newest sample, where a song's starts at the playing one), so the sound is
// held back as far and a click's sound lands on its flash's frame. A gap
// (the device stalled) is silence and sending starts over the same way.
// Past five frames' worth the stream has fallen behind the device: the
// oldest is dropped.
void Listening::capturedSound(std::vector<float>& out) {
  capture_->takeArrived(arrived_);
  const size_t want = out.size();
  // Half a second ahead of what is sent: the stream has fallen behind the
  // device, and the oldest goes (counted) so the delay stays short.
  const size_t most = std::max<size_t>(16 * want, static_cast<size_t>(rate_) * 2 / 2);
  if (arrived_.size() > most) {
    capturedDropped_ += static_cast<int64_t>((arrived_.size() - most) / 2);
    arrived_.erase(arrived_.begin(), arrived_.end() - static_cast<ptrdiff_t>(most));
  }
  primed_ = primed_ ? arrived_.size() >= want : arrived_.size() >= 3 * want;
  if (!primed_) {
    // Silence where the device gave nothing in time: counted once sending began.
    capturedGaps_ += sending_ ? static_cast<int64_t>(want / 2) : 0;
    return;
  }
  sending_ = true;
  std::transform(arrived_.begin(), arrived_.begin() + static_cast<ptrdiff_t>(want), out.begin(),
                 [](int16_t v) { return static_cast<float>(v) / 32768.0f; });
  arrived_.erase(arrived_.begin(), arrived_.begin() + static_cast<ptrdiff_t>(want));
}

BeatAt Listening::liveBeat() const {
  return liveTempo_ ? liveTempo_->now() : BeatAt{};
}

bool Listening::takeTrackedBeats(BeatGrid& grid) {
  if (capture_ || taken_) {
    return false;
  }
  if (!tracked_ && !tracking_.valid()) {
    // Asked for first mid-show (a picture saved with a tempo input): tracked
    // on a worker while the frames go on, the beat at rest meanwhile.
    tracking_ = std::async(std::launch::async, [this] {
      return findBeats(sound_.samples, sound_.info.channels, static_cast<int>(rate_), o_.tempo);
    });
  }
  if (!tracked_ && tracking_.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
    beats_ = tracking_.get();
    tracked_ = true;
  }
  if (!tracked_) {
    return false;
  }
  taken_ = true;
  grid = beats_;
  return true;
}
