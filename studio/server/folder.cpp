// folder.cpp — see folder.h.
#include "server/folder.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>
#include <vector>

#include "sound/ffmpegSound.h"

namespace fs = std::filesystem;

namespace {

// The sound files FFmpeg reads that people keep music in; a video's sound
// is read too, but a folder's videos are mostly renders, not songs.
const char* const kSongExtensions[] = {".wav", ".flac", ".mp3", ".m4a", ".aac", ".ogg", ".oga",
                                       ".opus", ".aif", ".aiff", ".wma", ".mka", ".ac3", ".wv"};

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool plainName(const std::string& name) {
  if (name.empty() || name.size() > 200 || name[0] == '.' || name.find('/') != std::string::npos) {
    return false;
  }
  return std::none_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f || c == '\\'; });
}

bool isShaderFolder(const fs::path& folder) {
  std::error_code error;
  return fs::exists(folder / "image.glsl", error) || fs::exists(folder / "Quad.frag.glsl", error);
}

long long stampOf(const fs::directory_entry& entry) {
  std::error_code error;
  const auto time = entry.last_write_time(error).time_since_epoch().count();
  return static_cast<long long>(time) ^ static_cast<long long>(entry.file_size(error) << 1);
}

SongEntry readSong(const std::string& folder, const std::string& file) {
  SongEntry entry;
  entry.file = file;
  FfmpegSound sound;
  if (sound.open(folder + "/" + file)) {
    entry.tags = sound.tags();
    int64_t frames = sound.statedFrames();
    if (frames <= 0 && sound.rate() > 0) {
      // No length stated that can be trusted: counted by decoding, once (cached).
      std::vector<float> buffer(static_cast<size_t>(8192 * std::max(1, sound.channels())));
      frames = 0;
      for (int64_t got; (got = sound.read(buffer.data(), 8192)) > 0;) {
        frames += got;
      }
    }
    if (frames > 0 && sound.rate() > 0) {
      entry.seconds = static_cast<double>(frames) / sound.rate();
    }
  }
  return entry;
}

}  // namespace

bool isSongName(const std::string& name) {
  const std::string extension = lowered(fs::path(name).extension().string());
  return std::find(std::begin(kSongExtensions), std::end(kSongExtensions), extension) != std::end(kSongExtensions);
}

ServedFolder::ServedFolder(const std::string& folder) {
  std::error_code error;
  folder_ = fs::canonical(folder, error).string();
  if (error) {
    folder_ = folder;
  }
}

Result<std::string> ServedFolder::resolve(const std::string& name, Refusal* refusal) const {
  const auto refuse = [&](Refusal kind, const std::string& why) {
    if (refusal != nullptr) {
      *refusal = kind;
    }
    return Status::failure(why);
  };
  if (name.empty() || name[0] == '/' || name.find('\0') != std::string::npos || name.find('\\') != std::string::npos) {
    return refuse(Refusal::Forbidden, "not a name under the folder");
  }
  std::stringstream parts(name);
  std::string part;
  while (std::getline(parts, part, '/')) {
    // "..", "." and hidden files (the queue's state, half-written renders).
    if (!part.empty() && part[0] == '.') {
      return refuse(Refusal::Forbidden, "not a name under the folder");
    }
  }
  std::error_code error;
  const fs::path real = fs::canonical(fs::path(folder_) / name, error);
  if (error) {
    return refuse(Refusal::Missing, "no such file");
  }
  const std::string text = real.string();
  // A link may lead anywhere; only where it ends counts.
  if (text.compare(0, folder_.size() + 1, folder_ + "/") != 0) {
    return refuse(Refusal::Forbidden, "outside the folder");
  }
  return text;
}

std::vector<SongEntry> ServedFolder::songs() {
  std::vector<std::pair<std::string, long long>> found;
  std::error_code error;
  for (fs::directory_iterator it(folder_, error); !error && it != fs::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (plainName(name) && isSongName(name) && resolve(name)) {
      found.emplace_back(name, stampOf(*it));
    }
  }
  std::sort(found.begin(), found.end());
  std::vector<SongEntry> songs;
  std::lock_guard<std::mutex> hold(cacheLock_);
  std::map<std::string, Cached> kept;
  for (const auto& [name, stamp] : found) {
    const auto cached = cache_.find(name);
    Cached entry = cached != cache_.end() && cached->second.stamp == stamp ? cached->second
                                                                           : Cached{stamp, readSong(folder_, name)};
    songs.push_back(entry.entry);
    kept[name] = entry;
  }
  cache_ = std::move(kept);
  return songs;
}

std::vector<std::string> ServedFolder::shaders() const {
  std::vector<std::string> found;
  std::error_code error;
  for (fs::directory_iterator it(folder_, error); !error && it != fs::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!plainName(name) || !resolve(name)) {
      continue;
    }
    const std::string extension = lowered(it->path().extension().string());
    const bool project = name.size() > 10 && name.compare(name.size() - 10, 10, ".vrax.json") == 0;
    if ((it->is_regular_file(error) && ((extension == ".json" && !project) || extension == ".glsl")) ||
        (it->is_directory(error) && isShaderFolder(it->path()))) {
      found.push_back(name);
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::vector<std::string> ServedFolder::filesEndingWith(const std::vector<std::string>& extensions) const {
  std::vector<std::string> found;
  std::error_code error;
  for (fs::directory_iterator it(folder_, error); !error && it != fs::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    const std::string extension = lowered(it->path().extension().string());
    if (plainName(name) && it->is_regular_file(error) &&
        std::find(extensions.begin(), extensions.end(), extension) != extensions.end() && resolve(name)) {
      found.push_back(name);
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

Result<std::string> ServedFolder::newSongName(const std::string& name) const {
  if (!plainName(name) || !isSongName(name)) {
    return Status::failure("\"" + name + "\" is not a song's file name (a plain name ending in .flac, .wav, .mp3, ...)");
  }
  std::error_code error;
  if (fs::exists(fs::symlink_status(fs::path(folder_) / name, error))) {
    return Status::failure(name + " is in the folder already; nothing was replaced");
  }
  return (fs::path(folder_) / name).string();
}

std::string ServedFolder::freeName(const std::string& stem, const std::string& extension) const {
  std::error_code error;
  for (int n = 1;; ++n) {
    const std::string name = n == 1 ? stem + extension : stem + "-" + std::to_string(n) + extension;
    const std::string project = n == 1 ? stem + ".vrax.json" : stem + "-" + std::to_string(n) + ".vrax.json";
    if (!fs::exists(fs::symlink_status(fs::path(folder_) / name, error)) &&
        !fs::exists(fs::symlink_status(fs::path(folder_) / project, error))) {
      return name;
    }
  }
}
