// soundStream.h — a sound file read a piece at a time, for rendering songs of
// any length in constant memory.
//
// SoundFile reads with libsndfile what it knows (WAV, FLAC, Ogg Vorbis,
// AIFF, ...), exactly as the live program does, and everything else with
// FFmpeg's libraries (M4A, MP3, Opus, WMA, a video's sound).
//
// SoundFile owns one reader: libsndfile's handle or an FfmpegSound. WindowReader hands out the sample
// window of a frame, for frames that only move forward, and keeps only the
// few thousand frames around it. countFrames finds how many frames a file
// really delivers, whatever its header claims.
//
// Threading: each object on one thread at a time; two readers of one file
// each open their own SoundFile.
#pragma once

#include <sndfile.h>

#include "sound/soundSource.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "audio.h"
#include "sound/album.h"
#include "sound/ffmpegSound.h"

// Rates below this are refused: no video's sound track carries them.
constexpr int kMinSoundRate = 8000;
// Float samples are kept within ±this: louder is no longer sound, and an
// infinity or 1e30 would break the sound encoder.
constexpr float kMaxSampleValue = 16.0f;

// Refused with a plain reason when path is not a regular file that can be
// opened: missing, a folder, a pipe or a device (which could be read only
// once, or block for ever waiting for a writer).
Status checkSoundPath(const std::string& path);

class SoundFile {
 public:
  SoundFile() = default;
  ~SoundFile();
  SoundFile(const SoundFile&) = delete;
  SoundFile& operator=(const SoundFile&) = delete;

  // Refused with the reason, or with why the format cannot be used. With a
  // rate and channel count, read converted to them where the file has others.
  Status open(const std::string& path, int rate = 0, int channels = 0);
  // Several songs as one sound (an album); refused naming the song.
  Status openAlbum(const std::vector<std::string>& paths);
  // Each song's place in an album's sound; none for a single file.
  std::vector<Track> tracks() const;
  // Moves to frame; reads and drops frames where the format cannot seek.
  Status seek(int64_t frame);
  // Interleaved floats, -1 .. 1 at full scale, NaN as 0 and anything beyond
  // ±kMaxSampleValue clamped; returns the frames read, 0 at the end or
  // where reading failed: readStatus() tells the two apart.
  int64_t readFloats(float* into, int64_t frames);
  // Success while the reads so far met no read error; else why one failed.
  Status readStatus() const;
  // Interleaved 16-bit values as the live program decodes them (floats
  // scaled to the 16-bit range); scratch is reused. Frames read, 0 at the end.
  int64_t readShorts(int16_t* into, int64_t frames, std::vector<float>& scratch);
  // title, artist and album where the file has them.
  std::map<std::string, std::string> tags() const;

  // The length a compressed file's container states and FFmpeg trusts; -1
  // otherwise (then only reading it through tells).
  int64_t statedFrames() const { return album_ ? album_->frames() : ffmpeg_ ? ffmpeg_->statedFrames() : -1; }
  int channels() const { return info_.channels; }
  int rate() const { return info_.samplerate; }
  // Whether readShorts leaves in scratch the floats readFloats would give
  // (FFmpeg's decoding; libsndfile's reads the 16-bit values directly).
  bool shortsKeepFloats() const { return ffmpeg_ != nullptr || album_ != nullptr; }

 private:
  void takeFfmpegLayout();
  int64_t readRaw(float* into, int64_t frames);
  static void sanitise(float* values, int64_t count);

  std::string path_;
  SNDFILE* file_ = nullptr;
  std::unique_ptr<FfmpegSound> ffmpeg_;  // when libsndfile cannot read it (or must convert)
  std::unique_ptr<AlbumSound> album_;    // an album's songs, instead of either
  int wantRate_ = 0;                     // what open() was asked to convert to
  int wantChannels_ = 0;
  SF_INFO info_{};
  int64_t position_ = 0;  // the next frame a read gives
};

// A whole sound in memory, for play: through SoundFile, so play reads what
// render reads. Refused with the reason (also when it is too long to play).
Status decodeWholeSound(const std::string& path, SoundData& out, std::map<std::string, std::string>* tags = nullptr);

// The frames the file holds: the length its container states where FFmpeg
// trusts it, else read to its end (a header may claim hours a file does not hold).
int64_t countFrames(SoundFile& file);

// One song, or an album's songs one after another.
Status openSound(SoundFile& file, const std::vector<std::string>& paths);

// A song (or an album) to make a video of: its shape, tags and real length,
// with the one reader opened to count it (which the show then reads).
struct Song {
  std::string path;                // for messages: the song, or the album's first song
  std::vector<std::string> paths;  // what is read: one song, or the album's
  int channels = 0;
  int rate = 0;
  int64_t frames = 0;
  std::map<std::string, std::string> tags;
  std::vector<Track> tracks;  // each song's place; one for a single song
  std::shared_ptr<SoundFile> file;
};
// Refused with the reason: unreadable, sampled below kMinSoundRate, empty.
Result<Song> openSong(const std::vector<std::string>& paths);
inline Result<Song> openSong(const std::string& path) { return openSong(std::vector<std::string>{path}); }
// The song's samples from sound frame `from` through a reader of its own
// (for a format whose reader cannot hand over what it decodes): reads up to
// `frames` interleaved frames into `out`, the frames read.
Result<std::function<int64_t(float* out, int64_t frames)>> songFrom(const std::vector<std::string>& paths, int64_t from);

// A file read offline: the sound around each frame's time, for frames that
// only move forward.
class WindowReader : public SoundSource {
 public:
  Status open(const std::string& path);
  // Reads a file opened already (the one the length was counted with).
  void use(std::shared_ptr<SoundFile> file);
  // Starts reading so that frames from `frame` on can be asked for (the
  // file is seeked, not read through). Only before the first around().
  Status startAt(int64_t frame);
  // Each piece of sound from `first` up to `end` is handed to `to`, in
  // order, as interleaved floats, as it is read: one decoding serves the
  // picture and the video's sound. Only where the file keeps its floats
  // (SoundFile::shortsKeepFloats).
  using SoundTap = std::function<void(std::vector<float> floats)>;
  void tap(int64_t first, int64_t end, SoundTap to);
  // Reads on until `frame` (or the end), handing what it reads to the tap.
  void readTo(int64_t frame);
  bool tapsFloats() const { return file_ && file_->shortsKeepFloats(); }
  int rate() const override { return file_->rate(); }
  // The sound of the frame starting at sound frame `frame`: the window exactly
  // as the live program takes it from the whole decoded sound (up to 2048
  // interleaved values ÷ 1000, cut short at the end), and the mono block
  // around it. `frame` never goes back.
  void around(int64_t frame, FrameSound& out) override;
  std::vector<float> window(int64_t frame);

 private:
  std::shared_ptr<SoundFile> file_;
  std::vector<int16_t> buffer_;  // frames from start_ on, interleaved
  std::vector<float> scratch_;
  int64_t start_ = 0;  // the file is read up to start_ + buffer_'s frames
  bool ended_ = false;
  SoundTap tap_;
  int64_t tapFirst_ = 0;
  int64_t tapEnd_ = 0;
};
