// parts.cpp — see parts.h. The record is JSON, so a part read by anything
// else still says what it is.
#include "parts.h"

#include "album.h"
#include "base/interrupt.h"
#include "base/runContext.h"
#include "plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <fstream>
#include <iomanip>
#include <sstream>

namespace {

constexpr const char* kKind = "vrax-studio part";

// What the picture is made of, as read (shader files, images, the font): a
// worker with another version of a gallery picture makes parts of another
// render. FNV-1a over each file's bytes; the songs are recorded
// by size instead (hours of sound are not read for this).
uint64_t inputsFingerprint(const RenderOptions& o) {
  uint64_t hash = 1469598103934665603ULL;
  const auto add = [&hash](const char* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ULL;
    }
  };
  std::vector<char> buffer(1 << 16);
  for (const std::string& path : filesRead(o)) {
    const bool song = path == o.sound || std::find(o.songs.begin(), o.songs.end(), path) != o.songs.end() ||
                      std::find(o.playlists.begin(), o.playlists.end(), path) != o.playlists.end();
    if (path.empty() || song) {
      continue;
    }
    std::ifstream in(path, std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
      add(buffer.data(), static_cast<size_t>(in.gcount()));
    }
  }
  return hash;
}

}  // namespace

// Everything given that changes the pictures or the finished file, as one
// line: two parts of one render have the same. Made from the option table
// (every option not about one run, as given), so an option added to the
// command line is in every part's record without a word here; then what
// the files read hold.
std::string settingsLine(const RenderOptions& o) {
  std::ostringstream line;
  for (const auto& [name, values] : o.project.options) {
    for (const std::string& value : values) {
      line << name << '=' << std::quoted(value) << ' ';
    }
  }
  line << "size=" << o.width << 'x' << o.height << " fps=" << o.fps.num << '/' << o.fps.den;
  line << " inputs=" << std::hex << inputsFingerprint(o);
  return line.str();
}

namespace {

constexpr size_t kMaxRecordBytes = 1 << 20;
constexpr int64_t kLongestSeconds = 7 * 24 * 3600;  // a week of video

// Every field of a record held to what render can have written, before any
// of them sizes a buffer or a loop: a part is a file anyone may have edited.
Status checkBounds(const PartRecord& r) {
  if (r.fps.num < 1 || r.fps.den < 1 || r.fps.num > (1 << 30) || r.fps.den > (1 << 30) || r.fps.value() < 1.0 ||
      r.fps.value() > 240.0) {
    return Status::failure("a frame rate of " + std::to_string(r.fps.num) + "/" + std::to_string(r.fps.den));
  }
  if (r.rate < 1000 || r.rate > 768000 || r.channels < 1 || r.channels > 64) {
    return Status::failure("sound of " + std::to_string(r.channels) + " channels at " + std::to_string(r.rate) + " Hz");
  }
  const Span& w = r.whole;
  if (w.first < 0 || w.soundStart < 0 || w.end - w.first != r.frames || r.frames < 1 ||
      static_cast<double>(r.frames) > static_cast<double>(kLongestSeconds) * r.fps.value()) {
    return Status::failure("a video of frames " + std::to_string(w.first) + " to " + std::to_string(w.end) + ", " +
                           std::to_string(r.frames) + " frames");
  }
  // The whole's sound is the sound of its frames, as render plans it.
  const FrameClock clock(r.fps, r.rate);
  if (w.soundStart != clock.soundFrameAt(w.first) || w.soundEnd <= w.soundStart || w.soundEnd > clock.soundFrameAt(w.end)) {
    return Status::failure("sound frames " + std::to_string(w.soundStart) + " to " + std::to_string(w.soundEnd) +
                           " for video frames " + std::to_string(w.first) + " to " + std::to_string(w.end));
  }
  if (r.count < 0 || r.count > r.frames || r.index < 0 || r.index > r.count || r.first < 0 || r.end > r.frames ||
      (!r.sound && r.end <= r.first)) {
    return Status::failure("frames " + std::to_string(r.first) + " to " + std::to_string(r.end) + " of " +
                           std::to_string(r.frames));
  }
  const double seconds = static_cast<double>(r.frames) / r.fps.value();
  if (!std::isfinite(r.fadeIn) || !std::isfinite(r.fadeOut) || r.fadeIn < 0 || r.fadeOut < 0 ||
      r.fadeIn + r.fadeOut > seconds + 1) {
    return Status::failure("fades longer than the video");
  }
  if (r.songs.empty() || r.songs.size() > 10000 || r.tags.size() > 1000 || r.chapters.size() > 10000 ||
      (!r.prints.empty() && r.prints.size() != r.songs.size())) {
    return Status::failure("lists of songs, tags or chapters that render never writes");
  }
  for (const Chapter& c : r.chapters) {
    if (c.start < 0 || c.end < c.start || c.end > w.soundEnd - w.soundStart) {
      return Status::failure("a chapter outside the sound");
    }
  }
  if (!r.sound && (r.width < 1 || r.height < 1 || r.width > 16384 || r.height > 16384)) {
    return Status::failure("pictures of " + std::to_string(r.width) + "x" + std::to_string(r.height));
  }
  return Status();
}

}  // namespace

std::string songPrint(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return "";
  }
  struct stat info {};
  bool read = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  // The whole file, a word at a time: an edit anywhere (same size, other
  // samples) changes it. A song's megabytes take milliseconds.
  uint64_t hash = 1469598103934665603ULL;
  std::vector<uint64_t> words(1 << 14);
  while (read) {
    const ssize_t got = ::read(fd, words.data(), words.size() * sizeof(uint64_t));
    if (got <= 0) {
      read = got == 0;
      break;
    }
    const size_t whole = static_cast<size_t>(got) / sizeof(uint64_t);
    if (static_cast<size_t>(got) % sizeof(uint64_t) != 0) {
      words[whole] &= (1ULL << (8 * (static_cast<size_t>(got) % sizeof(uint64_t)))) - 1;
    }
    for (size_t w = 0; w < (static_cast<size_t>(got) + 7) / 8; ++w) {
      hash = (hash ^ words[w]) * 1099511628211ULL;
      hash ^= hash >> 29;
    }
    hash = (hash ^ static_cast<uint64_t>(got)) * 1099511628211ULL;
  }
  close(fd);
  if (!read) {
    return "";
  }
  char text[24];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string partText(const PartRecord& r) {
  nlohmann::json j;
  j["kind"] = kKind;
  j["index"] = r.index;
  j["count"] = r.count;
  j["first"] = r.first;
  j["end"] = r.end;
  j["frames"] = r.frames;
  j["whole"] = {r.whole.first, r.whole.end, r.whole.soundStart, r.whole.soundEnd};
  j["fps"] = {r.fps.num, r.fps.den};
  j["fadeIn"] = r.fadeIn;
  j["fadeOut"] = r.fadeOut;
  j["songs"] = r.songs;
  j["sound"] = r.sound;
  j["tags"] = r.tags;
  j["rate"] = r.rate;
  j["channels"] = r.channels;
  nlohmann::json chapters = nlohmann::json::array();
  for (const Chapter& c : r.chapters) {
    chapters.push_back({c.start, c.end, c.title});
  }
  j["chapters"] = chapters;
  j["settings"] = r.settings;
  if (!r.sound) {
    j["size"] = {r.width, r.height};
  }
  j["prints"] = r.prints;
  return j.dump();
}

Result<PartRecord> readPartRecord(const std::string& text) {
  if (text.size() > kMaxRecordBytes) {
    return Status::failure("its part record is damaged (larger than 1 MB)");
  }
  const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object() || j.value("kind", "") != kKind) {
    return Status::failure("not a part of a render (made by render --part or --frames)");
  }
  try {
    PartRecord r;
    r.index = j.at("index").get<int>();
    r.count = j.at("count").get<int>();
    r.first = j.at("first").get<int64_t>();
    r.end = j.at("end").get<int64_t>();
    r.frames = j.at("frames").get<int64_t>();
    const auto whole = j.at("whole").get<std::vector<int64_t>>();
    const auto fps = j.at("fps").get<std::vector<int64_t>>();
    r.sound = j.at("sound").get<bool>();
    if (whole.size() != 4 || fps.size() != 2 || fps[0] <= 0 || fps[1] <= 0 || r.first < 0 ||
        (r.end <= r.first && !r.sound) || r.end > r.frames) {
      return Status::failure("its part record is damaged");
    }
    r.whole = Span{whole[0], whole[1], whole[2], whole[3]};
    r.fps = Rational{fps[0], fps[1]};
    r.fadeIn = j.at("fadeIn").get<double>();
    r.fadeOut = j.at("fadeOut").get<double>();
    r.songs = j.at("songs").get<std::vector<std::pair<std::string, int64_t>>>();
    r.tags = j.at("tags").get<std::map<std::string, std::string>>();
    r.rate = j.at("rate").get<int>();
    r.channels = j.at("channels").get<int>();
    for (const auto& c : j.at("chapters")) {
      r.chapters.push_back(Chapter{c.at(0).get<int64_t>(), c.at(1).get<int64_t>(), c.at(2).get<std::string>()});
    }
    if (r.songs.empty() || r.rate < 1 || r.channels < 1) {
      return Status::failure("its part record is damaged");
    }
    r.settings = j.at("settings").get<std::string>();
    if (j.contains("size")) {
      const auto size = j.at("size").get<std::vector<int>>();
      if (size.size() != 2) {
        return Status::failure("its part record is damaged");
      }
      r.width = size[0];
      r.height = size[1];
    }
    if (j.contains("prints")) {
      r.prints = j.at("prints").get<std::vector<std::string>>();
    }
    if (const Status bounded = checkBounds(r); !bounded) {
      return Status::failure("its part record is damaged (" + bounded.why() + ")");
    }
    return r;
  } catch (const nlohmann::json::exception&) {
    return Status::failure("its part record is damaged");
  }
}

Result<PartRecord> planPart(const RenderOptions& o, const Span& whole, const Song& song) {
  PartRecord r;
  r.frames = whole.end - whole.first;
  r.sound = o.partSound;
  if (o.partSound) {
    // No pictures: first and end stay 0.
  } else if (o.partCount > 0) {
    if (o.partCount > r.frames) {
      return Status::failure("--part " + o.part + ": the video has only " + std::to_string(r.frames) +
                             " frames, too few for " + std::to_string(o.partCount) + " parts");
    }
    r.index = o.partIndex;
    r.count = o.partCount;
    r.first = (o.partIndex - 1) * r.frames / o.partCount;
    r.end = o.partIndex * r.frames / o.partCount;
  } else {
    if (o.partFirst >= r.frames) {
      return Status::failure("--frames " + o.part + ": the video has frames 0-" + std::to_string(r.frames - 1));
    }
    r.first = o.partFirst;
    r.end = std::min(o.partEnd, r.frames);
  }
  r.whole = whole;
  r.fps = o.fps;
  r.fadeIn = o.fadeIn;
  r.fadeOut = o.fadeOut;
  for (const std::string& song : o.songs) {
    struct stat file {};
    r.songs.emplace_back(song, ::stat(song.c_str(), &file) == 0 ? static_cast<int64_t>(file.st_size) : -1);
    r.prints.push_back(songPrint(song));
  }
  r.width = o.width;
  r.height = o.height;
  r.settings = settingsLine(o);
  r.tags = song.tags;
  r.chapters = chaptersOf(song, whole);
  r.rate = song.rate;
  r.channels = song.channels;
  return r;
}

Status SongEncoding::upTo(int64_t until) {
  const Fades fades{r_.fadeIn, r_.fadeOut, false, r_.whole};
  until = std::min(until, r_.whole.soundEnd);
  while (done_ < until) {
    if (encoder_.stopping()) {
      return Status::failure("interrupted");
    }
    const int64_t want = std::min<int64_t>(until - done_, 8192);
    chunk_.assign(static_cast<size_t>(want * r_.channels), 0.0f);
    // Shorter than counted (a file changed under us): the rest stays silent.
    reader_(chunk_.data(), want);
    fades.fadeSound(r_.whole, chunk_.data(), done_, want, r_.channels, r_.rate);
    if (Status written = encoder_.writeSound(chunk_.data(), want); !written) {
      return written;
    }
    done_ += want;
  }
  return Status();
}
