// ffmpegSound.h — a sound decoded with FFmpeg's libraries, for what
// libsndfile does not read: AAC/M4A, ALAC, MP3, Opus, WMA and the sound of a
// video file. The default sound stream, as interleaved floats at its own
// rate and channel count, a piece at a time.
//
// A broken file ends early rather than loops: packets that do not decode
// are dropped, and a long run of them ends the sound.
//
// Threading: one thread at a time.
#pragma once

#include "base/status.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

// The tags a video carries over from its song, by FFmpeg's generic names
// (each container's own, ID3's TDRC or Vorbis's DATE, are read as these).
inline constexpr const char* kCarriedTags[] = {"title",   "artist", "album", "album_artist", "date",      "genre",
                                               "comment", "track",  "disc",  "composer",     "copyright", "publisher"};

class FfmpegSound {
 public:
  FfmpegSound();
  ~FfmpegSound();
  FfmpegSound(const FfmpegSound&) = delete;
  FfmpegSound& operator=(const FfmpegSound&) = delete;

  // Refused with FFmpeg's reason when the file holds no sound it can decode.
  // With a rate and channel count: the sound converted to them (an album's
  // song at another rate than the first), counted by reading and read from
  // the start again rather than seeked.
  Status open(const std::string& path, int rate = 0, int channels = 0);
  // Whether the file was a container FFmpeg knows, whatever came after.
  bool recognised() const { return recognised_; }
  int channels() const { return channels_; }
  int rate() const { return rate_; }
  // Moves to frame, landing early where the container can seek and decoding
  // up to it. False where it cannot (the caller then reads from the start).
  bool seek(int64_t frame);
  // The length the container states, in frames; -1 where it states none
  // that can be trusted.
  int64_t statedFrames() const { return limit_; }
  // Up to `frames` interleaved frames; 0 at the end, or where reading
  // failed (then failure() says why).
  int64_t read(float* into, int64_t frames);
  // Why reading stopped before the end ("" when it did not): a read error
  // of the file, not the end of its data.
  const std::string& failure() const { return failure_; }
  // title, artist and album where the file has them.
  std::map<std::string, std::string> tags() const;

 private:
  Status openDecoder();
  bool decodeMore();
  void take(AVFrame* frame);
  bool convertFrom(const AVFrame* frame);
  void dropBefore(const AVFrame* frame, size_t old);
  void drain();

  struct Handles;
  std::unique_ptr<Handles> parts_;
  int stream_ = -1;
  int channels_ = 0;
  int rate_ = 0;
  std::vector<float> pending_;  // decoded, not yet read
  size_t pendingAt_ = 0;
  int64_t limit_ = -1;  // frames the container says the sound has; -1: unknown
  int64_t delivered_ = 0;
  int64_t seekTarget_ = -1;  // after a seek, until the target is reached
  bool ended_ = false;
  bool recognised_ = false;
  bool converted_ = false;  // to a rate or channel count not its own
  std::string failure_;
};
