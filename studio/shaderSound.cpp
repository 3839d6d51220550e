// shaderSound.cpp — see shaderSound.h.
#include "shaderSound.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <vector>

#include "base/interrupt.h"
#include "base/runContext.h"
#include "base/places.h"
#include "base/progress.h"
#include "base/text.h"
#include "cli.h"
#include "picture/offscreen.h"
#include "picture/shaderSource.h"
#include "picture/soundPass.h"
#include "video/pendingFile.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kKeptSongs = 16;
constexpr int64_t kChunk = SoundPass::kBlockSamples;

Result<std::optional<PassSource>> soundSourceOf(const std::string& shaders,
                                                const std::vector<ChannelSetting>& channels = {}) {
  const Result<ShaderSource> found = findShaderSource(shaders);
  if (!found) {
    return found.status();
  }
  return readSoundSource(found.value(), channels);
}

// The cache, else (no home, or a cache that cannot be written: a read-only
// home, a full disk) a folder of this user's in the temporary folder.
std::string cacheFolder() {
  std::string folder = userCacheFolder("sound");
  std::error_code ec;
  if (!folder.empty()) {
    fs::create_directories(folder, ec);
    if (access(folder.c_str(), W_OK | X_OK) == 0) {
      return folder;
    }
  }
  folder = (fs::temp_directory_path(ec) / ("vrax-studio-sound-" + std::to_string(getuid()))).string();
  fs::create_directories(folder, ec);
  return folder;
}

// Each piece hashed with an end mark, so "ab"+"c" differs from "a"+"bc".
uint64_t mixed(uint64_t hash, const std::string& text) {
  return fnv1a(std::string(1, '\xff'), fnv1a(text, hash));
}

// Everything the samples are made from: the code in each form tried, what
// each channel shows, how many samples.
std::string fingerprint(const PassSource& pass, int64_t frames) {
  uint64_t hash = mixed(fnv1a(""), pass.fragment.text);
  for (const ShaderFile& other : pass.otherForms) {
    hash = mixed(hash, other.text);
  }
  for (const Channel& channel : pass.channels) {
    hash = mixed(hash, std::to_string(static_cast<int>(channel.kind)) + " " + std::to_string(channel.index) + " " +
                           channel.file + " " + std::to_string(static_cast<int>(channel.filter)) +
                           (channel.repeat ? "r" : "c") + (channel.vflip ? "f" : "n"));
    std::error_code ec;
    if (!channel.file.empty()) {
      hash = mixed(hash, std::to_string(fs::file_size(channel.file, ec)));
    }
  }
  char name[64];
  std::snprintf(name, sizeof name, "%016llx-%lld.wav", static_cast<unsigned long long>(mixed(hash, "v1")),
                static_cast<long long>(frames));
  return name;
}

// A kept drawing is believed when it opens as what was written: 44.1 kHz
// stereo floats of the length asked for.
bool wholeDrawing(const std::string& path, int64_t frames) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    return false;
  }
  sf_close(file);
  return info.frames == frames && info.channels == 2 && info.samplerate == SoundPass::kRate &&
         (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_FLOAT;
}


// The shader's name for the file's title tag: its file or folder's.
std::string shaderName(const std::string& shaders) {
  const fs::path path = fs::path(shaders).lexically_normal();
  const std::string name = (path.has_filename() ? path : path.parent_path()).stem().string();
  return name.empty() ? "Sound pass" : name;
}

// The driver's first error line (it names the file and line), else the first line.
std::string firstError(const std::string& log) {
  std::istringstream lines(log);
  std::string first;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("error") != std::string::npos) {
      return line;
    }
    first = first.empty() ? line : first;
  }
  return first;
}

// Draws the pass into the open file, a block at a time.
Status drawInto(SoundPass& pass, SNDFILE* file, int64_t frames, const ShaderSongRequest& request) {
  std::vector<float> samples(static_cast<size_t>(kChunk) * 2);
  Progress progress(frames, SoundPass::kRate, request.quiet, "Sound pass: ", 1.0);
  for (int64_t done = 0; done < frames; done += kChunk) {
    if (stopping(request.run)) {
      return Status::failure("interrupted");
    }
    const int64_t count = std::min(kChunk, frames - done);
    if (const Status drawn = pass.draw(done, count, samples.data()); !drawn) {
      progress.end();
      return drawn;
    }
    if (sf_writef_float(file, samples.data(), count) != count) {
      progress.end();
      return Status::failure(std::string("cannot write the drawn sound: ") + sf_strerror(file));
    }
    progress.update(done + count);
    if (request.live && done == 0 && pass.drawSeconds() * SoundPass::kRate > static_cast<double>(count)) {
      char pace[64];
      std::snprintf(pace, sizeof pace, "%.2fx", static_cast<double>(count) / SoundPass::kRate / pass.drawSeconds());
      say("the Sound pass of " + request.shaders + " draws slower than it plays (" + pace +
          " real time): drawing all of it before playing");
    }
  }
  progress.end();
  return Status();
}

Status drawSong(const PassSource& source, const std::string& path, int64_t frames, const ShaderSongRequest& request) {
  std::unique_ptr<OffscreenContext> context;
  if (request.ownContext) {
    context = std::make_unique<OffscreenContext>();
    if (const Status opened = context->open(16, 16); !opened) {
      return opened;
    }
  }
  const SoundCanvas canvas;
  if (!canvas.made()) {
    return canvas.made();
  }
  SoundPass pass;
  if (const Status built = pass.build(source, request.verbose ? say : Notes()); !built) {
    return Status::failure("the Sound pass of " + request.shaders + " does not build: " + firstError(built.why()) +
                           (request.verbose ? "\n" + built.why() : ""));
  }
  PendingFile pending(path, true);
  if (!pending.made()) {
    return pending.made();
  }
  SF_INFO info{};
  info.channels = 2;
  info.samplerate = SoundPass::kRate;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(pending.path().c_str(), SFM_WRITE, &info);
  if (file == nullptr) {
    return Status::failure("cannot write " + path + ": " + sf_strerror(nullptr));
  }
  sf_set_string(file, SF_STR_TITLE, shaderName(request.shaders).c_str());
  Status drawn = drawInto(pass, file, frames, request);
  if (sf_close(file) != 0 && drawn) {
    drawn = Status::failure("cannot finish " + path);
  }
  if (!drawn) {
    return Status::failure("the Sound pass of " + request.shaders + ": " + drawn.why());
  }
  if (pass.nonFinite() > 0) {
    say("the Sound pass of " + request.shaders + " gave " + std::to_string(pass.nonFinite()) +
        " samples that are not numbers (NaN or infinite): they are silence");
  }
  if (request.verbose) {
    char line[160];
    std::snprintf(line, sizeof line, "drew %.1f s of sound in %.2f s (%.2f s a minute of sound)",
                  static_cast<double>(frames) / SoundPass::kRate, pass.drawSeconds(),
                  pass.drawSeconds() * 60.0 * SoundPass::kRate / static_cast<double>(frames));
    say("the Sound pass of " + request.shaders + ": " + line);
  }
  return pending.commit();
}

}  // namespace

namespace {
Result<std::string> songOfPass(const PassSource& source, const ShaderSongRequest& request);
}  // namespace

Notes withoutSoundNote(const Notes& notes) {
  return [notes](const std::string& line) {
    if (line.find(kSoundLeftOut) == std::string::npos && notes) {
      notes(line);
    }
  };
}

std::optional<int> useShaderSong(SharedOptions& o, double to, bool quiet, const RunContext& run, bool required,
                                 bool live) {
  if (o.soundGiven || o.shaders.empty()) {
    return std::nullopt;
  }
  const Result<std::optional<PassSource>> source = soundSourceOf(o.shaders, o.channelSettings);
  const bool has = source && source.value();
  if (!required && !has) {
    return std::nullopt;
  }
  if (!has) {
    return report(kExitUsage, source ? o.shaders + " has no Sound pass to be the song; give a SOUND" : source.why());
  }
  const double seconds = o.soundSeconds > 0 ? o.soundSeconds : std::max(kShaderSongSeconds, to);
  if (seconds > kLongestShaderSong) {
    return report(kExitUsage, "--to is past the hour a Sound pass plays at most");
  }
  ShaderSongRequest request{o.shaders, seconds, quiet, o.verbose, live, o.channelSettings};
  request.run = &run;
  const Result<std::string> song = songOfPass(*source.value(), request);
  if (!song) {
    return report(run.stopping() ? kExitInterrupted : kExitFailure, song.why());
  }
  o.songs = {song.value()};
  o.sound = song.value();
  o.soundFromShaders = true;
  o.soundShaders = o.shaders;
  o.soundName = "the Sound pass of " + shaderName(o.shaders);
  if (!o.picture.empty()) {
    o.shaders.clear();
  }
  return std::nullopt;
}


Result<std::string> shaderSong(const ShaderSongRequest& request) {
  const Result<std::optional<PassSource>> source = soundSourceOf(request.shaders, request.channels);
  if (!source) {
    return source.status();
  }
  if (!source.value()) {
    return Status::failure(request.shaders + " has no Sound pass to be the song; give a SOUND");
  }
  return songOfPass(*source.value(), request);
}

namespace {

// The drawing of `source` kept in the cache: found there, or drawn now.
Result<std::string> songOfPass(const PassSource& source, const ShaderSongRequest& request) {
  const auto frames = static_cast<int64_t>(request.seconds * SoundPass::kRate + 0.5);
  const std::string folder = cacheFolder();
  const std::string path = folder + "/" + fingerprint(source, frames);
  if (request.verbose) {
    say("the Sound pass of " + request.shaders + " is the song: " + secondsText(request.seconds) +
        " at 44100 Hz (--length; " + secondsText(kShaderSongSeconds) + " unless given), kept as " + path);
  }
  if (wholeDrawing(path, frames)) {
    std::error_code ec;
    fs::last_write_time(path, fs::file_time_type::clock::now(), ec);
    return path;
  }
  if (const Status drawn = drawSong(source, path, frames, request); !drawn) {
    return drawn;
  }
  keepNewestFiles(folder, kKeptSongs, ".wav");
  return path;
}

}  // namespace

Status writeSoundtrack(const std::string& path, const std::string& output, int64_t first, int64_t end,
                       bool overwrite, const RunContext& run) {
  SF_INFO in{};
  SNDFILE* from = sf_open(path.c_str(), SFM_READ, &in);
  if (from == nullptr) {
    return Status::failure("cannot read " + path + ": " + sf_strerror(nullptr));
  }
  std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> reading(from, sf_close);
  if (sf_seek(from, first, SEEK_SET) != first) {
    return Status::failure("cannot read " + path + " from frame " + std::to_string(first));
  }
  PendingFile pending(output, overwrite);
  if (!pending.made()) {
    return pending.made();
  }
  SF_INFO info{};
  info.channels = in.channels;
  info.samplerate = in.samplerate;
  info.format = hasExtension(output, ".flac") ? SF_FORMAT_FLAC | SF_FORMAT_PCM_24 : SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* to = sf_open(pending.path().c_str(), SFM_WRITE, &info);
  if (to == nullptr) {
    return Status::failure("cannot write " + output + ": " + sf_strerror(nullptr));
  }
  std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> writing(to, sf_close);
  // A sample at full scale is the largest 24-bit value, not a wrap to the most negative.
  sf_command(to, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  if (const char* title = sf_get_string(from, SF_STR_TITLE)) {
    sf_set_string(to, SF_STR_TITLE, title);
  }
  std::vector<float> samples(static_cast<size_t>(kChunk) * static_cast<size_t>(in.channels));
  for (int64_t done = first; done < end;) {
    if (run.stopping()) {
      return Status::failure("interrupted");
    }
    const int64_t got = sf_readf_float(from, samples.data(), std::min(kChunk, end - done));
    if (got <= 0 || sf_writef_float(to, samples.data(), got) != got) {
      return Status::failure("cannot write " + output + ": " + sf_strerror(got <= 0 ? from : to));
    }
    done += got;
  }
  if (sf_close(writing.release()) != 0) {
    return Status::failure("cannot finish " + output);
  }
  return pending.commit();
}
