// cliChecks.cpp — see cliOptions.h: whether the parsed options make sense
// together, and the settings they give.
#include "cliOptions.h"

#include <sstream>

#include "base/status.h"
#include "base/text.h"
#include "video/encoder.h"
#include "picture/gallery.h"
#include "picture/shaderSource.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <climits>
#include <cstdlib>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>

namespace {

constexpr int kMaxSide = 3840;
constexpr long kMaxPixels = 3840L * 2160L;

// Turns "--fps" text into a rational the encoders can keep, or says why not.
Status checkFps(const std::string& text, Rational& fps) {
  if (!parseRational(text, fps) || fps.value() < 1.0 || fps.value() > 240.0) {
    return Status::failure("--fps must be a number from 1 to 240, e.g. 30, 60 or 62.5 (got \"" + text + "\")");
  }
  const Rational kept = limitTerms(fps, 1 << 20);
  if (kept.num * fps.den != fps.num * kept.den) {
    char line[160];
    std::snprintf(line, sizeof line, "vrax-studio: --fps %s is taken as %lld/%lld (%.9g frames a second)",
                  text.c_str(), static_cast<long long>(kept.num), static_cast<long long>(kept.den), kept.value());
    std::cerr << line << std::endl;
  }
  fps = kept;
  return Status();
}

// The one pixel limit of render and play: a window larger than the largest
// video would take gigabytes of buffers for a multipass picture.
Status checkSize(const std::string& text, int width, int height) {
  if (width > kMaxSide || height > kMaxSide || long(width) * height > kMaxPixels || width < 16 || height < 16) {
    return Status::failure("--size " + text + " is out of range: 16 to 3840 a side, at most 3840x2160 pixels");
  }
  return Status();
}

Status checkCrf(const std::string& text, int& crf) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !std::isfinite(value)) {
    return Status::failure("--crf must be a whole number from 0 to 51 (got \"" + text + "\")");
  }
  if (value != std::floor(value)) {
    return Status::failure("--crf must be a whole number, not a fraction (got \"" + text + "\")");
  }
  if (value < 0 || value > 51) {
    return Status::failure("--crf " + text + " is not in range: 0 (lossless) to 51");
  }
  crf = static_cast<int>(value);
  return Status();
}

// Reads "--from"/"--to" when given; `given` says whether it was.
Status checkSeconds(const char* option, const std::string& text, Rational& t, bool& given) {
  given = !text.empty();
  if (given && !parseRational(text, t)) {
    return Status::failure(std::string(option) + " must be seconds, e.g. 12 or 90.5 (got \"" + text + "\")");
  }
  return Status();
}

}  // namespace
bool parseSize(const std::string& text, int& width, int& height) {
  // The shapes people upload, by the names sites give them.
  static const struct {
    const char* name;
    int width;
    int height;
  } named[] = {{"360p", 640, 360}, {"720p", 1280, 720}, {"1080p", 1920, 1080}, {"1440p", 2560, 1440}, {"4k", 3840, 2160},
               {"portrait", 1080, 1920}, {"square", 1080, 1080}};
  for (const auto& n : named) {
    if (text == n.name) {
      width = n.width;
      height = n.height;
      return true;
    }
  }
  const size_t x = text.find_first_of("xX");
  if (x == std::string::npos || x == 0 || x + 1 >= text.size() || text.size() > 11) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    if (i != x && !std::isdigit(static_cast<unsigned char>(text[i]))) {
      return false;
    }
  }
  width = std::stoi(text.substr(0, x));
  height = std::stoi(text.substr(x + 1));
  return width >= 1 && height >= 1;
}

namespace cli {

namespace {

// --size, --fps and --crf where given; what the settings hold already (the
// defaults) where not.
Status takeSize(const std::string& text, int& width, int& height) {
  if (text.empty()) {
    return Status();
  }
  if (!parseSize(text, width, height)) {
    return Status::failure("--size must look like 1280x720 or be 360p, 720p, 1080p, 1440p, 4k, portrait or square (got \"" +
                           text + "\")");
  }
  return checkSize(text, width, height);
}

Status takeFps(const std::string& text, Rational& fps) { return text.empty() ? Status() : checkFps(text, fps); }

Status takeCrf(const std::string& text, int& crf) { return text.empty() ? Status() : checkCrf(text, crf); }

}  // namespace

TitlePlace place(const std::string& at) {
  return at == "top" ? TitlePlace::Top : at == "bottom" ? TitlePlace::Bottom : TitlePlace::Centre;
}

// --title-at, --title-colour, --title-size, --title-plate into the title's look.
Status checkTitleLook(SharedOptions& o, const OptionText& g) {
  TitleLook& look = o.titleLook;
  look.place = place(g.titleAt);
  const bool styled = !g.titleColour.empty() || !g.titleSize.empty() || !g.titlePlate.empty() || !look.subtitle.empty();
  if (styled && o.title.empty()) {
    return Status::failure("--title-colour, --title-size, --title-plate and --subtitle need a --title");
  }
  if (!g.titleColour.empty() && !parseColour(g.titleColour, look.colour)) {
    return Status::failure("--title-colour is #rrggbb, #rgb or a colour's name such as white or teal (got \"" +
                           g.titleColour + "\")");
  }
  if (!g.titleSize.empty()) {
    char* end = nullptr;
    look.size = std::strtod(g.titleSize.c_str(), &end);
    if (end == g.titleSize.c_str() || *end != '\0' || !(look.size >= kMinTitleSize && look.size <= kMaxTitleSize)) {
      return Status::failure("--title-size must be from 0.5 to 2.5 (got \"" + g.titleSize + "\")");
    }
  }
  if (!g.titlePlate.empty()) {
    const size_t at = g.titlePlate.find('@');
    const std::string opacity = at == std::string::npos ? "" : g.titlePlate.substr(at + 1);
    char* end = nullptr;
    look.plate = true;
    look.plateOpacity = opacity.empty() ? 0.6f : std::strtof(opacity.c_str(), &end);
    const bool opacityOk = opacity.empty() || (end != opacity.c_str() && *end == '\0' && look.plateOpacity >= 0 &&
                                               look.plateOpacity <= 1);
    if (!parseColour(g.titlePlate.substr(0, at), look.plateColour) || !opacityOk) {
      return Status::failure("--title-plate is a colour with @OPACITY from 0 to 1, e.g. black@0.6 (got \"" +
                             g.titlePlate + "\")");
    }
  }
  return Status();
}

// --picture a,b,c or all, and what changes them.
Status checkPlaylist(SharedOptions& o, const OptionText& g) {
  if (o.picture.find(',') != std::string::npos || o.picture == "all") {
    if (o.picture == "all") {
      for (const GalleryEntry& entry : galleryPictures()) {
        o.playlist.push_back(entry.name);
      }
    } else {
      std::istringstream list(o.picture);
      for (std::string name; std::getline(list, name, ',');) {
        if (name.empty()) {
          return Status::failure("--picture: an empty name in the list \"" + o.picture + "\"");
        }
        o.playlist.push_back(name);
      }
      if (o.picture.back() == ',') {
        return Status::failure("--picture: an empty name in the list \"" + o.picture + "\"");
      }
    }
    if (o.playlist.empty()) {
      return Status::failure("--picture all: the gallery has no pictures (" + galleryProblem() + ")");
    }
    o.picture = o.playlist.front();
  }
  const bool listed = o.playlist.size() > 1;
  if (!listed && (!g.changeEvery.empty() || !g.crossfade.empty() || o.shuffle || !g.seed.empty())) {
    return Status::failure("--change-every, --crossfade, --shuffle and --seed need a list of pictures (--picture a,b)");
  }
  char* end = nullptr;
  if (!g.changeEvery.empty()) {
    const long every = std::strtol(g.changeEvery.c_str(), &end, 10);
    if (end == g.changeEvery.c_str() || *end != '\0' || every < 1 || every > 1000) {
      return Status::failure("--change-every must be bars from 1 to 1000 (got \"" + g.changeEvery + "\")");
    }
    o.changeEvery = static_cast<int>(every);
  }
  if (!g.crossfade.empty()) {
    o.crossfade = std::strtod(g.crossfade.c_str(), &end);
    if (end == g.crossfade.c_str() || *end != '\0' || !(o.crossfade >= 0 && o.crossfade <= 64)) {
      return Status::failure("--crossfade must be beats from 0 to 64 (got \"" + g.crossfade + "\")");
    }
  }
  if (o.crossfade > static_cast<double>(o.changeEvery) * o.beatsPerBar) {
    return Status::failure("--crossfade is longer than --change-every's bars: each picture would never show alone");
  }
  if (!g.seed.empty()) {
    const unsigned long long seed = std::strtoull(g.seed.c_str(), &end, 10);
    if (end == g.seed.c_str() || *end != '\0' || g.seed[0] == '-' || seed > 0xFFFFFFFFull) {
      return Status::failure("--seed must be a whole number from 0 to 4294967295 (got \"" + g.seed + "\")");
    }
    o.seed = static_cast<uint32_t>(seed);
  }
  return Status();
}

// What render and play check alike: --level, --gain, --title-for, the title's look.
Status checkShared(SharedOptions& o, const OptionText& g) {
  if (!std::isfinite(o.gainDb) || o.gainDb < -40 || o.gainDb > 40) {
    return Status::failure("--gain must be decibels from -40 to 40");
  }
  if (!std::isfinite(o.titleFor) || o.titleFor < 0 || o.titleFor > 36000) {
    return Status::failure("--title-for must be seconds from 0 to 36000");
  }
  if (o.titleFor > 0 && o.title.empty()) {
    return Status::failure("--title-for needs a --title");
  }
  if (o.beatsPerBar < 1 || o.beatsPerBar > 16) {
    return Status::failure("--beats-per-bar must be from 1 to 16");
  }
  if (!g.downbeat.empty()) {
    char* end = nullptr;
    o.downbeat = std::strtod(g.downbeat.c_str(), &end);
    if (end == g.downbeat.c_str() || *end != '\0' || !(o.downbeat >= 0 && o.downbeat <= 36000)) {
      return Status::failure("--downbeat must be seconds from 0 to 36000 (got \"" + g.downbeat + "\")");
    }
  }
  if (const Status listed = checkPlaylist(o, g); !listed) {
    return listed;
  }
  o.level = g.level != "off";
  return checkTitleLook(o, g);
}

// render's options about parts, presets and how the run reports.

// --channel's settings, read once for both commands.
Status checkChannels(SharedOptions& o) {
  for (const std::string& text : o.channels) {
    Result<ChannelSetting> setting = parseChannelSetting(text, "");
    if (!setting) {
      return Status::failure("--channel " + text + ": " + setting.why());
    }
    o.channelSettings.push_back(setting.value());
  }
  return Status();
}

// --length is for a Sound pass that is the song.
Status checkLength(SharedOptions& o, const OptionText& g) {
  if (g.length.empty()) {
    return Status();
  }
  Rational seconds;
  bool given = false;
  if (!checkSeconds("--length", g.length, seconds, given) || seconds.value() < 0.01 || seconds.value() > 3600) {
    return Status::failure("--length must be seconds from 0.01 to 3600 (got \"" + g.length + "\")");
  }
  o.soundSeconds = seconds.value();
  if (o.soundGiven) {
    return Status::failure("--length is how long a shader's Sound pass plays; a SOUND is as long as it is");
  }
  return Status();
}

// What the picture is made of, the same for render and play: a look or a
// shader (both only where the shader's Sound pass is the song), how long a
// Sound pass plays, what each channel reads.
Status checkSource(SharedOptions& o, const OptionText& g) {
  if (!o.picture.empty() && !o.shaders.empty() && o.soundGiven) {
    return Status::failure("give either --shaders or --picture, not both (both: --shaders' Sound pass is the song, "
                           "with no SOUND given)");
  }
  if (const Status length = checkLength(o, g); !length) {
    return length;
  }
  return checkChannels(o);
}

// --part K/N or --frames A-B: whole numbers, K from 1 to N, A not after B.
Status checkPart(RenderOptions& r, const OptionText& g) {
  if (g.part.empty() && g.frames.empty()) {
    return Status();
  }
  if (!g.part.empty() && !g.frames.empty()) {
    return Status::failure("give either --part or --frames, not both");
  }
  if (g.part == "sound") {
    r.partSound = true;
    r.part = g.part;
    return Status();
  }
  const std::string& given = g.part.empty() ? g.frames : g.part;
  const char separator = g.part.empty() ? '-' : '/';
  const size_t at = given.find(separator);
  long long a = 0;
  long long b = 0;
  char* end = nullptr;
  bool whole = at != std::string::npos && at > 0 && at + 1 < given.size() && std::isdigit(static_cast<unsigned char>(given[0])) &&
               std::isdigit(static_cast<unsigned char>(given[at + 1]));
  if (whole) {
    // Past a 32-bit frame count (over two years at 30 fps) is no frame of a song.
    errno = 0;
    a = std::strtoll(given.c_str(), &end, 10);
    whole = end == given.c_str() + at && errno == 0 && a <= INT32_MAX;
    b = std::strtoll(given.c_str() + at + 1, &end, 10);
    whole = whole && *end == '\0' && errno == 0 && b <= INT32_MAX;
  }
  if (!g.part.empty()) {
    if (!whole || a < 1 || b < 1 || a > b || b > 100000) {
      return Status::failure("--part must be K/N with 1 <= K <= N, as 3/8 (got \"" + given + "\")");
    }
    r.partIndex = static_cast<int>(a);
    r.partCount = static_cast<int>(b);
  } else {
    if (!whole || a > b) {
      return Status::failure("--frames must be A-B, the first and last frame from 0, as 0-899 (got \"" + given + "\")");
    }
    r.partFirst = a;
    r.partEnd = b + 1;
  }
  r.part = given;
  return Status();
}

// SOUND takes every name given; the last is OUTPUT. One name with
// --shaders: OUTPUT, and the shaders' Sound pass the song.
Status takeOutput(RenderOptions& r) {
  if (r.output.empty() && r.songs.size() >= 2) {
    r.output = r.songs.back();
    r.songs.pop_back();
  }
  if (r.output.empty() && r.songs.size() == 1 && !r.shaders.empty()) {
    r.output = r.songs.front();
    r.songs.clear();
    r.soundGiven = false;
  }
  if (r.output.empty()) {
    return Status::failure("OUTPUT is required");
  }
  r.sound = r.songs.empty() ? std::string() : r.songs.front();
  return Status();
}

// --for NAME: the sizes and rates the places a video goes to take; what
// is given beside it wins.
void usePreset(RenderOptions& r, OptionText& g) {
  static const std::map<std::string, const char*> kSizes = {
      {"youtube", "1920x1080"}, {"reel", "1080x1920"}, {"square", "1080x1080"}, {"layer", "1920x1080"},
      {"preview", "640x360"}};
  const auto found = kSizes.find(g.use);
  if (found == kSizes.end()) {
    return;
  }
  g.size = g.size.empty() ? found->second : g.size;
  r.transparent = r.transparent || g.use == "layer";
}

Status checkRender(RenderOptions& r, OptionText g) {
  if (const Status names = takeOutput(r); !names) {
    return names;
  }
  r.levelAlbum = g.level == "album";
  usePreset(r, g);
  // An editor's layer in a .mov is ProRes 4444 unless --codec says otherwise.
  if (r.transparent && r.codec.empty() && hasExtension(r.output, ".mov")) {
    r.codec = "prores";
  }
  if (const Status source = checkSource(r, g); !source) {
    return source;
  }
  for (const Status& step : {takeSize(g.size, r.width, r.height), takeFps(g.fps, r.fps), takeCrf(g.crf, r.crf),
                             checkSeconds("--from", g.from, r.from, r.hasFrom),
                             checkSeconds("--to", g.to, r.to, r.hasTo)}) {
    if (!step) {
      return step;
    }
  }
  if (r.hasFrom && r.hasTo && r.from.value() >= r.to.value()) {
    return Status::failure("--from must come before --to");
  }
  if (r.hasTo && r.to.num == 0) {
    return Status::failure("--to must be after the start");
  }
  for (const auto& [name, seconds] : {std::pair<const char*, double>{"--fade-in", r.fadeIn}, {"--fade-out", r.fadeOut}}) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 3600) {
      return Status::failure(std::string(name) + " must be seconds from 0 to 3600");
    }
  }
  if (const Status shared = checkShared(r, g); !shared) {
    return shared;
  }
  r.flashGuard = g.flashGuard != "off";
  return checkPart(r, g);
}

// --stream, --fps and --no-window: what can be refused before anything opens.
Status checkPlayStream(PlayOptions& p, const OptionText& g) {
  if (p.stream.empty()) {
    if (p.noWindow) {
      return Status::failure("--no-window needs a --stream to send to");
    }
    if (!g.fps.empty()) {
      return Status::failure("--fps is the stream's rate; it needs a --stream");
    }
    return Status();
  }
  if (const Status fps = takeFps(g.fps, p.fps); !fps) {
    return fps;
  }
  if (!isStreamOutput(p.stream) || p.stream == "-" || streamContainerFor(p.stream).empty()) {
    return Status::failure(p.stream + " is not a stream this program sends: srt://, udp:// and tcp:// carry MPEG-TS, "
                           "rtmp:// carries FLV");
  }
  if (const Status address = checkStreamAddress(p.stream); !address) {
    return address;
  }
  if (p.width % 2 != 0 || p.height % 2 != 0) {
    return Status::failure("a stream needs an even width and height (got " + std::to_string(p.width) + "x" +
                           std::to_string(p.height) + ")");
  }
  return Status();
}

Status checkPlay(PlayOptions& p, OptionText g, const CLI::App* play) {
  if (g.level == "album") {
    return Status::failure("--level album is for a render of several songs; play levels the song it plays");
  }
  p.soundGiven = play->count("SOUND") > 0;
  if (const Status source = checkSource(p, g); !source) {
    return source;
  }
  p.capture = g.capture->count() > 0;
  if (p.capture && !g.length.empty()) {
    return Status::failure("--length is how long a shader's Sound pass plays; --capture plays what the device hears");
  }
  p.hasLatency = play->count("--latency") > 0;
  if (p.hasLatency && !std::isfinite(p.latencyMs)) {
    return Status::failure("--latency must be a number of milliseconds from -2000 to 2000");
  }
  if (play->count("--preset") > 0 && p.stream.empty()) {
    return Status::failure("--preset is the stream's; it needs a --stream");
  }
  if (p.capture && play->count("SOUND") > 0) {
    return Status::failure("give either a SOUND to play or --capture, not both");
  }
  if (const Status shared = checkShared(p, g); !shared) {
    return shared;
  }
  if (const Status size = takeSize(g.size, p.width, p.height); !size) {
    return size;
  }
  p.flashGuard = g.flashGuard != "off";
  return checkPlayStream(p, g);
}

}  // namespace cli
