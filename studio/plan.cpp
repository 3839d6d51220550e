// plan.cpp — see plan.h.
#include "plan.h"

#include "base/defaults.h"

#include <sstream>

#include <fstream>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "base/text.h"
#include "picture/gallery.h"
#include "picture/shaderSource.h"
#include "sound/loudness.h"
#include "sound/loudnessCache.h"
#include "video/encoder.h"
#include "video/pendingFile.h"

namespace {

// What --shaders or --picture names (the shipped pair without either);
// "" for a gallery picture that is not there.
std::string chosenShaders(const SharedOptions& o) {
  if (o.picture.empty()) {
    return o.shaders.empty() ? defaultShaderDir() : o.shaders;
  }
  const Result<GalleryEntry> chosen = findGalleryPicture(o.picture);
  return chosen ? chosen.value().path : "";
}

}  // namespace

std::vector<std::string> filesRead(const SharedOptions& o, bool capture) {
  const std::string shaders = chosenShaders(o);
  std::vector<std::string> files = shaderFiles(shaders, o.channelSettings);
  for (const ChannelSetting& setting : o.channelSettings) {
    const std::vector<std::string> read = channelFiles(setting.value);
    files.insert(files.end(), read.begin(), read.end());
  }
  files.push_back(capture ? "" : o.sound);
  files.insert(files.end(), o.songs.begin(), o.songs.end());
  files.insert(files.end(), o.playlists.begin(), o.playlists.end());
  files.push_back(o.font);
  files.insert(files.end(), o.images.begin(), o.images.end());
  files.push_back(o.background);
  files.push_back(o.logo);
  if (o.lyrics != "auto") {
    files.push_back(o.lyrics);
  }
  for (size_t i = 1; i < o.playlist.size(); ++i) {
    if (const Result<GalleryEntry> entry = findGalleryPicture(o.playlist[i])) {
      const std::vector<std::string> listed = shaderFiles(entry.value().path, {});
      files.insert(files.end(), listed.begin(), listed.end());
    }
  }
  return files;
}

Result<std::vector<Setting>> settingsToUse(const SharedOptions& o) {
  const std::string shaders = chosenShaders(o);
  std::error_code ec;
  const std::string folder = std::filesystem::is_regular_file(shaders, ec)
                                 ? std::filesystem::path(shaders).parent_path().string()
                                 : shaders;
  Result<std::vector<Setting>> settings = shaders.empty() ? std::vector<Setting>{} : readSettings(folder.empty() ? "." : folder);
  if (!settings) {
    return settings.status();
  }
  if (!o.palette.empty()) {
    settings = applyPalette(std::move(settings.value()), o.palette);
    if (!settings) {
      return settings.status();
    }
  }
  // The sets are read off the declared settings before those are handed on.
  const std::vector<std::string> sets = setsFor(o, o.picture, settings.value());
  return applySettings(std::move(settings.value()), sets);
}

std::vector<std::string> setsFor(const SharedOptions& o, const std::string& picture,
                                 const std::vector<Setting>& declared) {
  if (o.playlist.size() <= 1) {
    return o.sets;
  }
  std::vector<std::string> sets;
  for (const std::string& set : o.sets) {
    const std::string name = set.substr(0, set.find('='));
    const size_t dot = name.find('.');
    if (dot != std::string::npos) {
      if (name.compare(0, dot, picture) == 0 && dot == picture.size()) {
        sets.push_back(set.substr(dot + 1));
      }
    } else if (std::any_of(declared.begin(), declared.end(), [&](const Setting& s) { return s.name == name; })) {
      sets.push_back(set);  // a bare name: every picture of the list that has it
    }
  }
  return sets;
}

Status checkListedSets(const SharedOptions& o, const std::vector<std::vector<Setting>>& declared) {
  for (const std::string& set : o.sets) {
    const std::string name = set.substr(0, set.find('='));
    const size_t dot = name.find('.');
    if (dot != std::string::npos) {
      if (std::find(o.playlist.begin(), o.playlist.end(), name.substr(0, dot)) == o.playlist.end()) {
        return Status::failure("--set " + set + ": " + name.substr(0, dot) + " is not one of --picture's list");
      }
      continue;
    }
    const bool somewhere = std::any_of(declared.begin(), declared.end(), [&](const std::vector<Setting>& settings) {
      return std::any_of(settings.begin(), settings.end(), [&](const Setting& s) { return s.name == name; });
    });
    if (!somewhere) {
      return Status::failure("--set " + set + ": no picture of the list has a setting called " + name +
                             " (PICTURE." + name + "=VALUE sets one picture's)");
    }
  }
  return Status();
}

Result<std::vector<ListedPicture>> listedPictures(const SharedOptions& o) {
  std::vector<ListedPicture> listed;
  std::vector<std::vector<Setting>> declared;
  for (size_t i = 0; i < o.playlist.size(); ++i) {
    const Result<GalleryEntry> entry = findGalleryPicture(o.playlist[i]);
    if (!entry) {
      return Status::failure("--picture " + o.picture + (o.playlist.size() > 1 ? " (in the list)" : "") + ": " +
                             entry.why());
    }
    Result<std::vector<Setting>> settings = readSettings(entry.value().path);
    if (settings && !o.palette.empty()) {
      settings = applyPalette(std::move(settings.value()), o.palette);
    }
    if (!settings) {
      return settings.status();
    }
    declared.push_back(settings.value());
    const std::vector<std::string> sets = setsFor(o, o.playlist[i], settings.value());
    settings = applySettings(std::move(settings.value()), sets);
    if (!settings) {
      return Status::failure(o.playlist[i] + ": " + settings.why());
    }
    if (i > 0) {
      listed.push_back(ListedPicture{o.playlist[i], entry.value().path, settings.value()});
    }
  }
  if (const Status checked = checkListedSets(o, declared); !checked) {
    return checked;
  }
  return listed;
}

Result<std::string> titleToDraw(const SharedOptions& o, const std::string& song,
                                const std::map<std::string, std::string>& tags, const std::string& fontPath,
                                bool quiet) {
  std::string text = o.title == "auto" ? oneLine(titleFromTags(tags)) : o.title;
  if (o.title == "auto" && text.empty()) {
    // As players do: an untagged song is called by its file's name.
    text = songNameOfFile(song);
    if (!quiet) {
      say("--title auto: " + song + " has no artist or title tag; the title is its file name, \"" + text + "\"");
    }
  }
  if (!text.empty()) {
    if (const Result<TitleLayout> fits = layOutTitle(text, fontPath, o.width, o.height, o.titleLook); !fits) {
      return fits.status();
    }
  }
  return text;
}

Result<ShowInputs> loadShowInputs(const SharedOptions& o) {
  ShowInputs in;
  Result<std::vector<ImageSource>> images = loadImages(o.images);
  if (!images) {
    return images.status();
  }
  in.images = std::move(images.value());
  if (!o.title.empty()) {
    const Result<std::string> font = findTitleFont(o.font);
    if (!font) {
      return font.status();
    }
    in.fontPath = font.value();
  }
  Result<std::vector<Setting>> settings = settingsToUse(o);
  if (!settings) {
    return settings.status();
  }
  in.settings = std::move(settings.value());
  Result<BackdropImages> backdrop = loadBackdropImages(o.background, o.logo);
  if (!backdrop) {
    return backdrop.status();
  }
  in.backdrop = std::move(backdrop.value());
  return in;
}

// What failure messages call OUTPUT: its whole path, so the folder is named too.
std::string outputName(const std::string& output) {
  if (isStreamOutput(output)) {
    return output == "-" ? "standard output" : output;
  }
  std::error_code ec;
  const auto full = std::filesystem::absolute(output, ec);
  return ec ? output : full.lexically_normal().string();
}

// Which frames and which sound --from and --to ask for.
Result<Span> planSpan(const RenderOptions& o, const Song& sound, const FrameClock& clock, bool still) {
  Span span;
  const double duration = static_cast<double>(sound.frames) / sound.rate;
  span.end = clock.framesFor(sound.frames);
  span.soundEnd = sound.frames;
  if (o.hasFrom) {
    span.first = clock.frameAtOrAfter(o.from);
    if (o.from.value() >= duration) {
      return Status::failure("--from " + secondsText(o.from.value()) + " is past the end of the sound (" +
                             secondsText(duration) + ")");
    }
    // Within the last frame's time: that frame.
    span.first = std::min(span.first, span.end - 1);
  }
  if (o.hasTo) {
    span.end = std::min(span.end, clock.frameAtOrAfter(o.to));
    span.soundEnd = std::min(span.soundEnd, clock.soundFrameAtTime(o.to));
  }
  if (span.first >= span.end) {
    return Status::failure("--from and --to leave no frame to render");
  }
  if (still) {
    span.end = span.first + 1;
  }
  span.soundStart = clock.soundFrameAt(span.first);
  return span;
}

// What a stream refuses: a scheme it cannot send to, alpha, a codec other
// than H.264 (what every receiver takes with low delay).
Status checkStream(const RenderOptions& o, const std::string& container) {
  if (container.empty()) {
    return Status::failure(o.output + " is not a stream this program sends: srt://, udp://, tcp:// and - (standard "
                           "output) carry MPEG-TS, rtmp:// carries FLV");
  }
  if (o.transparent) {
    return Status::failure("--transparent cannot be streamed: no common streaming codec keeps alpha (render a .mov "
                           "or .webm file with it, or stream over a solid --background an editor can key out)");
  }
  if (!o.codec.empty() && o.codec != "h264") {
    return Status::failure("a stream is H.264 (what every receiver takes with low delay); --codec " + o.codec +
                           " is for files");
  }
  return checkStreamAddress(o.output);
}

Status checkOutput(const RenderOptions& o, bool still, const std::string& container) {
  if (isStreamOutput(o.output)) {
    return checkStream(o, container);
  }
  // Whatever the flags: writing over what the run reads would destroy it.
  for (const std::string& song : o.songs.empty() ? std::vector<std::string>{o.sound} : o.songs) {
    if (sameFile(song, o.output)) {
      return Status::failure(o.output + " is the sound being rendered; choose another OUTPUT");
    }
  }
  const std::string input = inputAt(o.output, filesRead(o));
  if (!input.empty()) {
    return Status::failure(o.output + " is " + input + ", which this render reads; choose another OUTPUT");
  }
  if (const Status target = checkTarget(o.output, quotedName(o.output), "OUTPUT", o.overwrite); !target) {
    return target;
  }
  if (still) {
    if (!o.codec.empty()) {
      return Status::failure("--codec is for videos; a .png is always PNG");
    }
    if (!o.preset.empty()) {
      return Status::failure("--preset is for videos; a .png has no encoder speed");
    }
  } else {
    if (container.empty()) {
      return Status::failure("OUTPUT must end in .mp4, .mkv, .mov, .webm or .png (got \"" + o.output + "\")");
    }
    for (const Status& step : {checkCodec(o.codec, container, o.transparent),
                               checkPreset(o.codec, container, o.preset, o.crf)}) {
      if (!step) {
        return step;
      }
    }
    if (o.codec == "av1" && (o.width < 64 || o.height < 64)) {
      return Status::failure("AV1 needs at least 64x64 (got " + std::to_string(o.width) + "x" +
                             std::to_string(o.height) + ")");
    }
    if (o.width % 2 != 0 || o.height % 2 != 0) {
      return Status::failure("a video needs an even width and height (got " + std::to_string(o.width) + "x" +
                             std::to_string(o.height) + ")");
    }
  }
  return Status();
}

// Fades longer together than what is rendered cannot be what was meant.
Status checkFades(const RenderOptions& o, const Span& span, bool still) {
  const double spanSeconds = static_cast<double>(span.end - span.first) / o.fps.value();
  if (still || o.fadeIn + o.fadeOut <= spanSeconds + 1e-9) {
    return Status();
  }
  const std::string which = o.fadeIn > 0 && o.fadeOut > 0 ? "--fade-in and --fade-out together ("
                            : o.fadeIn > 0                ? "--fade-in ("
                                                          : "--fade-out (";
  return Status::failure(which + secondsText(o.fadeIn + o.fadeOut) + ") " +
                         (o.fadeIn > 0 && o.fadeOut > 0 ? "are" : "is") + " longer than what is rendered (" +
                         secondsText(spanSeconds) + ")");
}

// --frame-times FILE is refused up front when it would replace a file
// without --overwrite, or anything the run reads whatever the flags.
Status checkFrameTimes(const PlayOptions& o) {
  if (o.frameTimes.empty()) {
    return Status();
  }
  const std::string input = inputAt(o.frameTimes, filesRead(o, o.capture));
  if (!input.empty()) {
    return Status::failure("--frame-times " + o.frameTimes + " is " + input + ", which play reads; choose another file");
  }
  return checkTarget(o.frameTimes, "--frame-times " + quotedName(o.frameTimes), "--frame-times", o.overwrite);
}

// What the pictures see of the song: its measured loudness brought to the
// reference (unless --level off), plus --gain; said in one line.
Result<double> pictureGain(const RenderOptions& o) {
  if (!o.level) {
    return o.gainDb;
  }
  bool kept = false;
  const Result<double> loudness = measureLoudnessKept(o.sound, kept);
  if (!loudness) {
    return loudness.status();
  }
  if (kept && o.verbose) {
    say("the loudness of " + o.sound + " as measured before, kept in " + loudnessCacheFolder() +
        " (the song unchanged since)");
  }
  const double levelled = levellingGain(loudness.value());
  if (!o.quiet) {
    char line[200];
    if (!std::isfinite(loudness.value()) || loudness.value() < kQuietest) {
      std::snprintf(line, sizeof line, "the song is silent or nearly (%.1f LUFS): the pictures see it as it is",
                    loudness.value());
    } else {
      std::snprintf(line, sizeof line, "the song measures %.1f LUFS: the pictures see it %.1f dB %s (--level off: as it is)",
                    loudness.value(), std::fabs(levelled), levelled >= 0 ? "louder" : "quieter");
    }
    std::cerr << "vrax-studio: " << line << std::endl;
  }
  return levelled + o.gainDb;
}

namespace {

// --transparent with a picture that covers every pixel: one line naming
// the ones whose backgrounds give way.
void sayFullFrame(const std::string& picture) {
  std::string clear;
  for (const GalleryEntry& entry : galleryPictures()) {
    clear += entry.fullFrame ? "" : (clear.empty() ? "" : ", ") + entry.name;
  }
  std::cerr << "vrax-studio: " << picture << " fills the whole frame by nature, so nothing of it is "
            << "see-through; these have backgrounds that give way: " << clear << std::endl;
}

}  // namespace

// --picture: the gallery picture's folder stands for --shaders.
Status usePicture(RenderOptions& o) {
  if (o.picture.empty()) {
    return Status();
  }
  const Result<GalleryEntry> picture = findGalleryPicture(o.picture);
  if (!picture) {
    return picture.status();
  }
  o.shaders = picture.value().path;
  o.memory = picture.value().memory;
  if (o.transparent && picture.value().fullFrame && !o.quiet) {
    sayFullFrame(o.picture);
  }
  return Status();
}

EncoderSettings encoderSettings(const RenderOptions& o, const Song& sound, const FrameClock& clock, const Span& span,
                                const std::string& container, const std::string& path) {
  EncoderSettings settings;
  settings.path = path;
  settings.stream = isStreamOutput(o.output);
  settings.name = outputName(o.output);
  settings.format = container;
  settings.width = o.width;
  settings.height = o.height;
  settings.fps = o.fps;
  settings.crf = o.crf;
  settings.codec = o.codec;
  settings.preset = o.preset;
  settings.transparent = o.transparent;
  settings.channels = sound.channels;
  settings.rate = sound.rate;
  settings.tags = sound.tags;
  settings.lastPicture = span.end - 1 - span.first;
  // The last frame shows until the span's sound ends, never past it.
  settings.lastPictureSeconds = std::min(1.0 / o.fps.value(), static_cast<double>(span.soundEnd) / sound.rate -
                                                                    clock.seconds(span.end - 1));
  return settings;
}

EncoderSettings streamSettings(const PlayOptions& o, int channels, int rate) {
  EncoderSettings settings;
  settings.path = o.stream;
  settings.stream = true;
  settings.name = o.stream;
  settings.format = streamContainerFor(o.stream);
  settings.width = o.width;
  settings.height = o.height;
  settings.fps = o.fps;
  settings.crf = defaults::kStreamCrf;
  settings.preset = o.preset;
  settings.channels = channels;
  settings.rate = rate;
  return settings;
}

ListeningSettings listeningSettings(const PlayOptions& o) {
  ListeningSettings s;
  s.capture = o.capture;
  s.captureDevice = o.captureDevice;
  s.latencyGiven = o.hasLatency;
  s.latencyMs = o.latencyMs;
  s.sound = o.sound;
  s.name = o.soundName;
  s.level = o.level;
  s.gainDb = o.gainDb;
  s.tempo = TempoSettings{o.beatsPerBar, o.downbeat};
  return s;
}

Result<BeatGrid> songBeats(const SharedOptions& o, const std::vector<std::string>& paths) {
  return findBeats(paths, TempoSettings{o.beatsPerBar, o.downbeat});
}

Result<std::unique_ptr<Lyrics>> lyricsToDraw(const SharedOptions& o, const std::map<std::string, std::string>& tags,
                                            const std::string& fontPath, int width, int height) {
  if (o.lyrics.empty()) {
    return std::unique_ptr<Lyrics>();
  }
  std::string name = o.lyrics;
  std::string text;
  if (o.lyrics == "auto") {
    const Result<std::string> tagged = lyricsFromTags(o.sound, tags);
    if (!tagged) {
      return tagged.status();
    }
    name = o.sound + "'s lyrics";
    text = tagged.value();
  } else {
    // A song's words fit in far less; a larger file is not lyrics.
    Result<std::string> read = readSmallFile(o.lyrics, kMaxLyricsBytes, "4 MB, too large for lyrics");
    if (!read) {
      return Status::failure("--lyrics: " + read.why());
    }
    text = std::move(read.value());
  }
  const LyricsPlace place =
      !o.title.empty() && o.titleLook.place == TitlePlace::Bottom ? LyricsPlace::Top : LyricsPlace::Bottom;
  const Result<std::string> script = lyricsScript(name, text, width, height, place);
  if (!script) {
    return script.status();
  }
  return Lyrics::open(script.value(), fontPath);
}

std::string beatLine(const BeatGrid& grid, const std::string& song) {
  if (!grid.steady()) {
    return "no steady beat in " + song + ": bpm is 0 and the beat's and bar's phases rest";
  }
  char line[200];
  const auto [low, high] = grid.bpmSpread();
  std::snprintf(line, sizeof line, "%.1f BPM (%.1f–%.1f over the song), %d beats a bar, the first downbeat at %.2f s",
                grid.bpm(), low, high, grid.beatsPerBar(), grid.beats()[static_cast<size_t>(grid.downbeat())]);
  return "the beat of " + song + ": " + line;
}

OfflineShowSettings offlineShowSettings(const RenderOptions& o) {
  OfflineShowSettings s;
  s.width = o.width;
  s.height = o.height;
  s.fps = o.fps;
  s.transparent = o.transparent;
  s.shaders = o.shaders;
  s.channelSettings = o.channelSettings;
  s.imageNames = o.images;
  s.song = o.sound;
  s.titleLook = o.titleLook;
  s.fadeIn = o.fadeIn;
  s.titleFor = o.titleFor;
  s.memory = o.preroll > 0 ? o.preroll : o.memory;
  s.quiet = o.quiet;
  s.verbose = o.verbose;
  s.playlist = PlaylistSettings{o.changeEvery, o.crossfade, o.beatsPerBar, o.shuffle, o.seed};
  return s;
}
