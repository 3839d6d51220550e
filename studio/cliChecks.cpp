// cliChecks.cpp — see cliOptions.h: whether the parsed options make sense
// together, and the settings they give (each value read by the reader its
// row's rule uses, optionValues.h).
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

namespace ov = optionValues;

namespace cli {

namespace {

// --size, --fps and --crf where given; what the settings hold already (the
// defaults) where not.
Status takeSize(const std::string& text, int& width, int& height) {
  return text.empty() ? Status() : ov::readSize(text, width, height);
}

Status takeFps(const std::string& text, Rational& fps) {
  bool rounded = false;
  if (text.empty()) {
    return Status();
  }
  const Status read = ov::readFps(text, fps, rounded);
  if (read && rounded) {
    char line[160];
    std::snprintf(line, sizeof line, "vrax-studio: --fps %s is taken as %lld/%lld (%.9g frames a second)",
                  text.c_str(), static_cast<long long>(fps.num), static_cast<long long>(fps.den), fps.value());
    std::cerr << line << std::endl;
  }
  return read;
}

Status takeCrf(const std::string& text, int& crf) { return text.empty() ? Status() : ov::readCrf(text, crf); }

// Reads "--from"/"--to" when given; `given` says whether it was.
Status takeSeconds(const char* option, const std::string& text, Rational& t, bool& given) {
  given = !text.empty();
  return given ? ov::readSeconds(option, text, t) : Status();
}

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
  if (!g.titleColour.empty()) {
    if (const Status colour = ov::readTitleColour(g.titleColour, look.colour); !colour) {
      return colour;
    }
  }
  if (!g.titleSize.empty()) {
    if (const Status size = ov::readTitleSize(g.titleSize, look.size); !size) {
      return size;
    }
  }
  if (!g.titlePlate.empty()) {
    look.plate = true;
    if (const Status plate = ov::readTitlePlate(g.titlePlate, look.plateColour, look.plateOpacity); !plate) {
      return plate;
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
  if (!g.changeEvery.empty()) {
    if (const Status every = ov::readChangeEvery(g.changeEvery, o.changeEvery); !every) {
      return every;
    }
  }
  if (!g.crossfade.empty()) {
    if (const Status beats = readOptionNumber("crossfade", g.crossfade, o.crossfade); !beats) {
      return beats;
    }
  }
  if (o.crossfade > static_cast<double>(o.changeEvery) * o.beatsPerBar) {
    return Status::failure("--crossfade is longer than --change-every's bars: each picture would never show alone");
  }
  return g.seed.empty() ? Status() : ov::readSeed(g.seed, o.seed);
}

// What render and play check alike: --level, --title-for, the downbeat, the
// list of pictures, the title's look. Each value alone (--gain's range,
// --beats-per-bar's) was held to its row's rule as it was parsed.
Status checkShared(SharedOptions& o, const OptionText& g) {
  if (o.titleFor > 0 && o.title.empty()) {
    return Status::failure("--title-for needs a --title");
  }
  if (!g.downbeat.empty()) {
    if (const Status at = readOptionNumber("downbeat", g.downbeat, o.downbeat); !at) {
      return at;
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
  if (const Status length = ov::readLength(g.length, o.soundSeconds); !length) {
    return length;
  }
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
  ov::PartText numbers;
  if (const Status read = g.part.empty() ? ov::readFrames(given, numbers) : ov::readPart(given, numbers); !read) {
    return read;
  }
  if (!g.part.empty()) {
    r.partIndex = static_cast<int>(numbers.first);
    r.partCount = static_cast<int>(numbers.second);
  } else {
    r.partFirst = numbers.first;
    r.partEnd = numbers.second + 1;
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
                             takeSeconds("--from", g.from, r.from, r.hasFrom),
                             takeSeconds("--to", g.to, r.to, r.hasTo)}) {
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
