// soundStream.cpp — see soundStream.h.
#include "sound/soundStream.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstring>

#include "audio.h"
#include "base/libraryLog.h"
#include "base/text.h"
#include "sampleWindow.h"

Status checkSoundPath(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    return Status::failure(std::strerror(errno));
  }
  if (S_ISDIR(info.st_mode)) {
    return Status::failure("it is a directory");
  }
  if (!S_ISREG(info.st_mode)) {
    return Status::failure("it is not a regular file (a pipe or a device); save the sound to a file first");
  }
  return Status();
}

SoundFile::~SoundFile() {
  if (file_ != nullptr) {
    sf_close(file_);
    file_ = nullptr;
  }
}

namespace {

// Containers libsndfile cannot read, and MP3, which FFmpeg reads past a
// damaged frame where libsndfile stops.
bool readByFfmpeg(const std::string& path) {
  static const char* const kFfmpegs[] = {".m4a", ".m4b", ".mp4", ".aac", ".mp3", ".mkv",
                                         ".mka", ".webm", ".mov", ".wma", ".ac3"};
  return std::any_of(std::begin(kFfmpegs), std::end(kFfmpegs), [&](const char* e) { return hasExtension(path, e); });
}

}  // namespace

// The layout FFmpeg's reader gives: its channels and rate, as floats.
void SoundFile::takeFfmpegLayout() {
  info_ = SF_INFO{};
  info_.channels = ffmpeg_->channels();
  info_.samplerate = ffmpeg_->rate();
  info_.format = SF_FORMAT_FLOAT;
}

Status SoundFile::open(const std::string& path, int rate, int channels) {
  info_ = SF_INFO{};
  path_ = path;
  position_ = 0;
  wantRate_ = rate;
  wantChannels_ = channels;
  if (const Status usable = checkSoundPath(path); !usable) {
    return usable;
  }
  // A name libsndfile never reads is FFmpeg's from the start: the song is
  // opened once, not once by each reader.
  if (readByFfmpeg(path)) {
    ffmpeg_ = std::make_unique<FfmpegSound>();
    clearLibraryDetail();
    if (ffmpeg_->open(path, rate, channels)) {
      takeFfmpegLayout();
      return Status();
    }
    ffmpeg_.reset();
  }
  file_ = sf_open(path.c_str(), SFM_READ, &info_);
  // libsndfile's MP3 reading stops for good at the first damaged frame;
  // FFmpeg's skips it and goes on, as players do. FFmpeg's also converts.
  const bool convert = file_ != nullptr && ((rate > 0 && info_.samplerate != rate) ||
                                            (channels > 0 && info_.channels != channels));
  if (file_ != nullptr && ((info_.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG || convert)) {
    sf_close(file_);
    file_ = nullptr;
  }
  if (file_ == nullptr) {
    const std::string libsndfile = sf_strerror(nullptr);
    ffmpeg_ = std::make_unique<FfmpegSound>();
    clearLibraryDetail();
    if (const Status opened = ffmpeg_->open(path, rate, channels); !opened) {
      // The reason of the reader that knew the file best: FFmpeg's where it
      // knew the container (a video without sound), what FFmpeg's parser
      // said where it broke off (an m4a cut short), else libsndfile's.
      const std::string detail = takeLibraryDetail();
      const std::string why = ffmpeg_->recognised() ? opened.why()
                              : !detail.empty()    ? "it is damaged or cut short (" + detail + ")"
                                                   : libsndfile;
      ffmpeg_.reset();
      return Status::failure(why);
    }
    takeFfmpegLayout();
  }
  if (info_.channels < 1 || info_.samplerate < 1) {
    return Status::failure("the file declares " + std::to_string(info_.channels) + " channels at " +
            std::to_string(info_.samplerate) + " Hz");
  }
  return Status();
}

Status SoundFile::openAlbum(const std::vector<std::string>& paths) {
  info_ = SF_INFO{};
  path_ = paths.empty() ? std::string() : paths.front();
  position_ = 0;
  album_ = std::make_unique<AlbumSound>();
  if (const Status opened = album_->open(paths); !opened) {
    album_.reset();
    return opened;
  }
  info_.channels = album_->channels();
  info_.samplerate = album_->rate();
  info_.format = SF_FORMAT_FLOAT;
  return Status();
}

std::vector<Track> SoundFile::tracks() const {
  return album_ ? album_->tracks() : std::vector<Track>{};
}

Status SoundFile::seek(int64_t frame) {
  if (frame == position_) {
    return Status();
  }
  if (album_) {
    const Status sought = album_->seek(frame);
    position_ = sought ? frame : position_;
    return sought;
  }
  if (file_ != nullptr && sf_seek(file_, frame, SEEK_SET) == frame) {
    position_ = frame;
    return Status();
  }
  if (file_ != nullptr && sf_seek(file_, 0, SEEK_SET) != 0) {
    return Status::failure(std::string("cannot go back to its start: ") + sf_strerror(file_));
  }
  position_ = 0;
  if (ffmpeg_ && ffmpeg_->seek(frame)) {
    position_ = frame;
    return Status();
  }
  if (ffmpeg_) {
    // From the start again, where the container cannot seek (or near the start).
    ffmpeg_ = std::make_unique<FfmpegSound>();
    if (const Status opened = ffmpeg_->open(path_, wantRate_, wantChannels_); !opened) {
      return Status::failure("cannot open it again from its start: " + opened.why());
    }
  }
  std::vector<float> drop(4096 * static_cast<size_t>(info_.channels));
  int64_t done = 0;
  while (done < frame) {
    const int64_t got = readFloats(drop.data(), std::min<int64_t>(4096, frame - done));
    if (got <= 0) {
      const Status read = readStatus();
      return Status::failure("it ends before " + std::to_string(frame) + " frames" +
                             (read ? std::string() : " (" + read.why() + ")"));
    }
    done += got;
  }
  return Status();
}

int64_t SoundFile::readRaw(float* into, int64_t frames) {
  const int64_t got = album_    ? album_->read(into, frames)
                      : ffmpeg_ ? ffmpeg_->read(into, frames)
                                : std::max<sf_count_t>(0, sf_readf_float(file_, into, frames));
  position_ += got;
  return got;
}

Status SoundFile::readStatus() const {
  if (album_ && !album_->failure().empty()) {
    return Status::failure(album_->failure());
  }
  if (ffmpeg_ && !ffmpeg_->failure().empty()) {
    return Status::failure(ffmpeg_->failure());
  }
  if (!ffmpeg_ && file_ != nullptr && sf_error(file_) != SF_ERR_NO_ERROR) {
    return Status::failure(sf_strerror(file_));
  }
  return Status();
}

int64_t SoundFile::readFloats(float* into, int64_t frames) {
  const int64_t got = readRaw(into, frames);
  sanitise(into, got * info_.channels);
  return got;
}

// A broken float file may carry NaN or infinities; they would poison the
// encoder's state.
void SoundFile::sanitise(float* values, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    if (!(values[i] == values[i])) {
      values[i] = 0.0f;
    }
    values[i] = std::clamp(values[i], -kMaxSampleValue, kMaxSampleValue);
  }
}

int64_t SoundFile::readShorts(int16_t* into, int64_t frames, std::vector<float>& scratch) {
  if (!ffmpeg_ && !album_) {
    const int64_t got = readShortFrames(file_, info_, into, frames, scratch);
    position_ += got;
    return got;
  }
  // As the live program turns float files into 16-bit values; the floats
  // stay in scratch as readFloats gives them.
  scratch.resize(static_cast<size_t>(frames) * static_cast<size_t>(info_.channels));
  const int64_t got = readFloats(scratch.data(), frames);
  for (size_t i = 0; i < static_cast<size_t>(got) * static_cast<size_t>(info_.channels); ++i) {
    const float v = std::isnan(scratch[i]) ? 0.0f : scratch[i] * 32768.0f;
    into[i] = static_cast<int16_t>(std::lrint(std::clamp(v, -32768.0f, 32767.0f)));
  }
  return got;
}

std::map<std::string, std::string> SoundFile::tags() const {
  if (album_) {
    return album_->tags();
  }
  if (ffmpeg_) {
    return ffmpeg_->tags();
  }
  // libsndfile knows a few strings of a few formats (not a FLAC's comment,
  // say); FFmpeg's reading of the same file gives the rest.
  std::map<std::string, std::string> out;
  FfmpegSound probe;
  if (probe.open(path_)) {
    out = probe.tags();
  }
  const std::pair<const char*, int> keys[] = {
      {"title", SF_STR_TITLE}, {"artist", SF_STR_ARTIST},     {"album", SF_STR_ALBUM},       {"date", SF_STR_DATE},
      {"genre", SF_STR_GENRE}, {"comment", SF_STR_COMMENT}, {"copyright", SF_STR_COPYRIGHT}, {"track", SF_STR_TRACKNUMBER}};
  for (const auto& [name, id] : keys) {
    const char* value = file_ != nullptr ? sf_get_string(file_, id) : nullptr;
    if (value != nullptr && value[0] != '\0') {
      out[name] = value;
    }
  }
  return out;
}

Status decodeWholeSound(const std::string& path, SoundData& out, std::map<std::string, std::string>* tags) {
  SoundFile file;
  if (const Status opened = file.open(path); !opened) {
    return opened;
  }
  if (tags != nullptr) {
    *tags = file.tags();
  }
  // Decided from the length the container states, before decoding hours of it.
  if (file.statedFrames() > kMaxSoundValues / file.channels()) {
    return Status::failure("it is longer than can be played in one piece");
  }
  out.samples.clear();
  out.info = SF_INFO{};
  out.info.channels = file.channels();
  out.info.samplerate = file.rate();
  const auto channels = static_cast<size_t>(file.channels());
  constexpr int64_t kChunk = 1 << 16;
  std::vector<float> scratch;
  int64_t frames = 0;
  for (;;) {
    if (static_cast<int64_t>(out.samples.size() + kChunk * channels) > kMaxSoundValues) {
      return Status::failure("it is longer than can be played in one piece");
    }
    out.samples.resize(static_cast<size_t>(frames + kChunk) * channels);
    const int64_t got = file.readShorts(out.samples.data() + static_cast<size_t>(frames) * channels, kChunk, scratch);
    frames += got;
    if (got < kChunk) {
      break;
    }
  }
  out.samples.resize(static_cast<size_t>(frames) * channels);
  out.info.frames = frames;
  return Status();
}

int64_t countFrames(SoundFile& file) {
  if (file.statedFrames() >= 0) {
    return file.statedFrames();
  }
  constexpr int64_t kChunk = 1 << 15;
  std::vector<int16_t> values(static_cast<size_t>(kChunk) * static_cast<size_t>(file.channels()));
  std::vector<float> scratch;
  int64_t total = 0;
  for (;;) {
    const int64_t got = file.readShorts(values.data(), kChunk, scratch);
    if (got <= 0) {
      break;
    }
    total += got;
  }
  return total;
}

Status WindowReader::open(const std::string& path) {
  file_ = std::make_unique<SoundFile>();
  return file_->open(path);
}

void WindowReader::use(std::shared_ptr<SoundFile> file) {
  file_ = std::move(file);
}

Status WindowReader::startAt(int64_t frame) {
  const int64_t from = std::max<int64_t>(0, frame - kBehind);
  buffer_.clear();
  start_ = from;
  ended_ = false;
  return file_->seek(from);
}

void WindowReader::tap(int64_t first, int64_t end, SoundTap tap) {
  tapFirst_ = first;
  tapEnd_ = end;
  tap_ = std::move(tap);
}

void WindowReader::readTo(int64_t frame) {
  const int channels = file_->channels();
  while (!ended_ && start_ + static_cast<int64_t>(buffer_.size()) / channels < frame) {
    constexpr int64_t kChunk = 4096;
    const size_t old = buffer_.size();
    const int64_t at = start_ + static_cast<int64_t>(old) / channels;
    buffer_.resize(old + static_cast<size_t>(kChunk * channels));
    const int64_t got = file_->readShorts(buffer_.data() + old, kChunk, scratch_);
    buffer_.resize(old + static_cast<size_t>(got * channels));
    ended_ = got < kChunk;
    // The part of this chunk the tap asked for, as floats.
    const int64_t from = std::max(at, tapFirst_);
    const int64_t to = std::min(at + got, tapEnd_);
    if (tap_ && file_->shortsKeepFloats() && to > from) {
      const auto begin = scratch_.begin() + (from - at) * channels;
      tap_(std::vector<float>(begin, begin + (to - from) * channels));
    }
  }
}

void WindowReader::around(int64_t frame, FrameSound& out) {
  const int channels = file_->channels();
  const int64_t need = std::max<int64_t>(kAhead, (kWindowValues + channels - 1) / channels);
  // Frames behind the block are dropped in large steps, so the copy is rare.
  const int64_t keepFrom = frame - kBehind;
  if (keepFrom - start_ > 1 << 16) {
    const int64_t drop = std::min(keepFrom - start_, static_cast<int64_t>(buffer_.size()) / channels);
    buffer_.erase(buffer_.begin(), buffer_.begin() + drop * channels);
    start_ += drop;
  }
  readTo(frame + need);
  soundAround(buffer_, start_, channels, frame, out);
}

std::vector<float> WindowReader::window(int64_t frame) {
  FrameSound sound;
  around(frame, sound);
  return sound.window;
}

Status openSound(SoundFile& file, const std::vector<std::string>& paths) {
  return paths.size() == 1 ? file.open(paths.front()) : file.openAlbum(paths);
}

// The real length is counted: a header may claim far more than the file holds.
Result<Song> openSong(const std::vector<std::string>& paths) {
  auto file = std::make_shared<SoundFile>();
  const std::string& path = paths.front();
  if (const Status opened = openSound(*file, paths); !opened) {
    return Status::failure(paths.size() == 1 ? "cannot read the sound " + path + ": " + opened.why() : opened.why());
  }
  if (file->rate() < kMinSoundRate) {
    return Status::failure(path + " is sampled at " + std::to_string(file->rate()) + " Hz; a video's sound needs " +
                           std::to_string(kMinSoundRate) + " Hz or more");
  }
  Song song{path, paths, file->channels(), file->rate(), countFrames(*file), file->tags(), {}, file};
  if (song.frames == 0) {
    return Status::failure(path + " holds no sound to render");
  }
  song.tracks = file->tracks();
  if (song.tracks.empty()) {
    song.tracks.push_back(Track{path, 0, song.frames, song.tags});
  }
  return song;
}

Result<std::function<int64_t(float* out, int64_t frames)>> songFrom(const std::vector<std::string>& paths, int64_t from) {
  auto file = std::make_shared<SoundFile>();
  if (const Status opened = openSound(*file, paths); !opened) {
    return opened;
  }
  if (const Status sought = file->seek(from); !sought) {
    return Status::failure("cannot read the sound of " + paths.front() + " from its span's start: " + sought.why());
  }
  return std::function<int64_t(float*, int64_t)>(
      [file](float* out, int64_t frames) { return file->readFloats(out, frames); });
}
