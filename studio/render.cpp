// render.cpp — the `render` command: which clock (the offline frame clock,
// exact frame times), which output (a file, a PNG still, or a stream paced
// to the song) and what is refused before anything is drawn.
//
// Two threads. This one owns the GL context (OfflineShow): it advances the
// show to each frame's exact time and draws it into a RenderedOutput, which
// reads it back; the EncoderThread encodes what is handed over, with the
// sound up to each picture's time, and completes the file or ends the stream.
#include "render.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>

#include "album.h"
#include "base/interrupt.h"
#include "base/runContext.h"
#include "base/progress.h"
#include "base/text.h"
#include "picture/backdrop.h"
#include "picture/image.h"
#include "picture/title.h"
#include "parts.h"
#include "picture/soundPass.h"
#include "plan.h"
#include "shaderSound.h"
#include "show/offlineShow.h"
#include "show/output.h"
#include "show/planePass.h"
#include "sound/soundStream.h"
#include "video/encoder.h"
#include "video/pendingFile.h"
#include "video/videoOutput.h"

// One render as the options say; runRender's own work, and the estimate's probe.
int renderOnce(const RenderOptions& given, const RunContext& run);

namespace {

// Once, when the guard eased frames; with --verbose what it measured.
void sayFlashGuard(const RenderOptions& o, const FlashGuard* guard) {
  if (guard == nullptr) {
    return;
  }
  if (guard->eased() > 0 && !o.quiet) {
    say("the picture flashed faster than three times a second; the flash guard eased " +
        std::to_string(guard->eased()) + " frames (--flash-guard off: as drawn)");
  }
  if (o.verbose) {
    say("flash guard: " + std::to_string(guard->transitions()) + " luminance transitions sent, at most " +
        std::to_string(guard->mostInASecond()) + " in one second; " + std::to_string(guard->eased()) + " frames eased");
  }
}

// What a finished or stopped render says, and its exit status.
int concludeVideo(const RenderOptions& o, EncodedOutput& output, int64_t drawn, double wall, const RunContext& run) {
  const bool wasInterrupted = run.stopping();
  if (wasInterrupted && drawn == 0) {
    return report(kExitInterrupted, "interrupted before the first frame; nothing written");
  }
  if (isStreamOutput(o.output)) {
    if (!o.quiet || wasInterrupted) {
      const int64_t unsent = output.unsent();
      std::cerr << (wasInterrupted ? "vrax-studio: interrupted; streamed " : "Streamed ") << drawn - unsent
                << " frames (" << static_cast<double>(drawn - unsent) / o.fps.value() << " s) to "
                << printable(outputName(o.output));
      if (unsent > 0) {
        std::cerr << "; " << unsent << " more had no receiver";
      }
      std::cerr << std::endl;
    }
    return wasInterrupted ? kExitInterrupted : kExitDone;
  }
  if (const Status committed = output.commit(); !committed) {
    return report(kExitFailure, committed.why());
  }
  const double seconds = static_cast<double>(drawn) / o.fps.value();
  if (wasInterrupted) {
    std::cerr << "vrax-studio: interrupted; " << quotedName(o.output) << " holds the first " << drawn << " frames (" << seconds
              << " s)" << std::endl;
    return kExitInterrupted;
  }
  if (!o.quiet) {
    struct stat info {};
    stat(o.output.c_str(), &info);
    char line[256];
    std::snprintf(line, sizeof line, "%lld frames, %.2f s, %s, in %.1f s: %.2fx real time",
                  static_cast<long long>(drawn), seconds, humanBytes(static_cast<uint64_t>(info.st_size)).c_str(), wall,
                  wall > 0 ? seconds / wall : 0.0);
    std::cerr << "Wrote " << quotedName(o.output) << ": " << line << std::endl;
  }
  return kExitDone;
}

int writeStill(const RenderOptions& o, const FrameClock& clock, const Span& span, OfflineShow& visualiser,
               const RunContext& run) {
  StillOutput still(o.output, o.overwrite, o.width, o.height, o.transparent, outputName(o.output));
  Progress progress(1, o.fps.value(), true);
  RenderedOutput drawnInto(still, o.width, o.height);
  const Result<int64_t> drawn = visualiser.play(span.first, span.end, drawnInto, false, progress, run);
  Status written = drawn ? still.finish() : Status::failure(drawn.why() + "; nothing written");
  if (written) {
    written = still.commit();
  }
  if (!written) {
    return report(kExitFailure, written.why());
  }
  if (!o.quiet) {
    std::cerr << "Wrote " << quotedName(o.output) << ": the frame at " << clock.seconds(span.first) << " s, " << o.width << "x"
              << o.height << std::endl;
  }
  return kExitDone;
}

// A part of a render is its frames only: join encodes the song once.
// An album's chapter list beside its video, for the video's description.
int writeChapters(const RenderOptions& o, const Song& sound, const Span& span) {
  const std::vector<Chapter> chapters = chaptersOf(sound, span);
  if (chapters.empty() || isStreamOutput(o.output)) {
    return kExitDone;
  }
  if (const Status listed = writeChapterList(o.output, chapters, sound.rate, o.overwrite); !listed) {
    return report(kExitFailure, listed.why());
  }
  if (!o.quiet) {
    std::cerr << "Wrote " << quotedName(chapterListPath(o.output)) << ": " << chapters.size()
              << " chapters, for the video's description" << std::endl;
  }
  return kExitDone;
}

// The encoder's settings for the video (a part: its frames, no sound).
EncoderSettings videoSettings(const RenderOptions& o, const Song& sound, const FrameClock& clock, const Span& whole,
                              const Span& span, const std::optional<PartRecord>& part, const std::string& container) {
  EncoderSettings settings = encoderSettings(o, sound, clock, part ? Span{span.first, span.end, 0, whole.soundEnd} : span,
                                             container, o.output);
  if (part) {
    settings.channels = 0;
    settings.tags = {{"comment", partText(*part)}};
  } else {
    settings.chapters = chaptersOf(sound, span);
  }
  // Opaque 4:2:0 pictures are handed to the encoder at 1.5 bytes a pixel
  // instead of 4, made on the GL side where that pays, else as they are
  // read back; either way nothing is left to convert on the encoder's thread.
  settings.layout = planesSuit(settings) ? PictureLayout::Planes420 : PictureLayout::Rgba;
  if (o.verbose && planesSuit(settings)) {
    say(PlanePass::wanted() ? "pictures made 4:2:0 on the GL side"
                            : "pictures made 4:2:0 as they are read back (a GL pass costs more on a software rasteriser)");
  }
  return settings;
}

int writeVideo(const RenderOptions& o, const Song& sound, const FrameClock& clock, const Span& whole,
               const std::optional<PartRecord>& part, const std::string& container, OfflineShow& visualiser,
               const RunContext& run) {
  const Span span = part ? Span{whole.first + part->first, whole.first + part->end, 0, 0} : whole;
  const bool handed = !part && visualiser.tapsSound();
  const Result<SoundReader> reader = handed || part ? Result<SoundReader>(SoundReader())
                                                    : songFrom(sound.paths, span.soundStart);
  if (!reader) {
    return report(kExitFailure, reader.why());
  }
  EncoderSettings settings = videoSettings(o, sound, clock, whole, span, part, container);
  settings.run = &run;
  EncodedOutput::Plan plan{settings, o.overwrite, clock, span,
                           Fades{o.fadeIn, o.fadeOut, o.transparent, whole}, reader.value(), o.flashGuard,
                           isStreamOutput(o.output) && streamIsPaced(o.output), say};
  EncodedOutput output(std::move(plan));
  if (const Status opened = output.open(); !opened) {
    return report(kExitFailure, opened.why());
  }
  Progress progress(span.end - span.first, o.fps.value(), o.quiet);
  if (o.progressForm == "json") {
    progress.asJson();
  }
  // The show outlives this output: its hand-off is taken back on every way out.
  struct HandOff {
    OfflineShow& show;
    ~HandOff() { show.handSoundTo(nullptr); }
  } handOff{visualiser};
  if (handed) {
    visualiser.handSoundTo([&output](std::vector<float> floats) { output.handSound(std::move(floats)); });
  }
  RenderedOutput drawnInto(output, o.width, o.height);
  const Result<int64_t> drawn = visualiser.play(span.first, span.end, drawnInto, output.paced(), progress, run);
  if (handed) {
    // All frames: the sound to its end. Stopped early: to the last frame's end.
    const int64_t frames = drawn ? drawn.value() : 0;
    visualiser.readSoundTo(span.first + frames == span.end ? span.soundEnd : clock.soundFrameAt(span.first + frames));
    output.soundDone();
  }
  const Status encoded = output.finish();
  progress.end();
  if (!encoded) {
    // A signal that ended a blocked write is the interruption, not a failure.
    return report(run.stopping() ? kExitInterrupted : kExitFailure, encoded.why());
  }
  if (!drawn) {
    return report(kExitFailure, drawn.why() + "; nothing written");
  }
  sayFlashGuard(o, output.guard());
  const int status = concludeVideo(o, output, drawn.value(), progress.elapsed(), run);
  if (o.timing != nullptr) {
    *o.timing = RenderTiming{drawn.value(), progress.elapsed()};
  }
  return status == kExitDone && !part ? writeChapters(o, sound, span) : status;
}

// --part sound: the whole render's sound, encoded as the finished file has
// it, and no pictures: nothing is drawn, so no GL is needed.
int writeSoundPart(const RenderOptions& o, const Song& sound, const FrameClock& clock, const PartRecord& part,
                   const std::string& container, const RunContext& run) {
  Result<SoundReader> reader = songFrom(sound.paths, part.whole.soundStart);
  if (!reader) {
    return report(kExitFailure, reader.why());
  }
  PendingFile file(o.output, o.overwrite);
  EncoderSettings settings = encoderSettings(o, sound, clock, part.whole, container, file.path());
  settings.width = settings.height = 0;  // no pictures
  settings.tags = {{"comment", partText(part)}};
  settings.run = &run;
  Encoder encoder;
  Status done = encoder.open(settings);
  SongEncoding song(encoder, reader.value(), part);
  done = done ? song.upTo(part.whole.soundEnd) : done;
  done = done ? encoder.finish() : done;
  done = done ? file.commit() : done;
  if (!done) {
    return report(run.stopping() ? kExitInterrupted : kExitFailure, done.why());
  }
  if (!o.quiet) {
    std::cerr << "Wrote " << quotedName(o.output) << ": the sound of " << part.frames << " frames, for join" << std::endl;
  }
  return kExitDone;
}

// The part --part or --frames asks for: of a video file only.
Result<PartRecord> planRenderPart(const RenderOptions& o, bool still, const Span& whole, const Song& song) {
  if (still || isStreamOutput(o.output)) {
    return Status::failure("--part and --frames make a part of a video file (.mp4, .mkv, .mov, .webm), not " +
                           std::string(still ? "a still" : "a stream"));
  }
  return planPart(o, whole, song);
}


// What the command line names, before anything is opened: the songs a
// playlist lists, the gallery picture, and what the run would write (the
// output and an album's chapter list). All usage errors.
Status checkNames(RenderOptions& o, bool still, const std::string& container, bool partAsked) {
  if (const Status songs = readSongs(o); !songs) {
    return songs;
  }
  if (const Status picture = usePicture(o); !picture) {
    return picture;
  }
  if (const Status output = checkOutput(o, still, container); !output) {
    return output;
  }
  if (o.songs.size() > 1 && !still && !partAsked && !isStreamOutput(o.output)) {
    return checkChapterList(o);
  }
  return Status();
}

// What the show carries besides its picture: the lyrics, each song's
// title, level and place, the beat, the backdrop. An exit status to leave
// with, or nothing to go on.
std::optional<int> dressShow(const RenderOptions& o, const Song& sound, const FrameClock& clock, const Span& span,
                             const ShowInputs& inputs, OfflineShow& visualiser) {
  Result<std::unique_ptr<Lyrics>> lyrics = lyricsToDraw(o, sound.tags, inputs.fontPath, o.width, o.height);
  if (!lyrics) {
    return report(kExitUsage, lyrics.why());
  }
  visualiser.setLyrics(std::move(lyrics.value()));
  const Result<std::vector<std::string>> titles = songTitles(o, sound, inputs.fontPath);
  if (!titles) {
    return report(kExitUsage, titles.why());
  }
  const Result<std::vector<double>> gains = songGains(o, sound);
  if (!gains) {
    return report(kExitFailure, gains.why());
  }
  if (const Status titled =
          visualiser.setSongs(songStarts(sound, clock, titles.value(), gains.value()), inputs.fontPath, span.first);
      !titled) {
    return report(kExitUsage, titled.why());
  }
  if (visualiser.readsTempo()) {
    const Result<BeatGrid> beats = songBeats(o, sound.paths);
    if (!beats) {
      return report(kExitFailure, beats.why());
    }
    if (o.verbose) {
      say(beatLine(beats.value(), o.songs.size() > 1 ? "the album" : o.soundName.empty() ? o.sound : o.soundName));
    }
    visualiser.setBeats(beats.value());
  }
  if (const Status drawn = visualiser.setBackdrop(inputs.backdrop); !drawn) {
    return report(kExitFailure, drawn.why());
  }
  return std::nullopt;
}

// Steps the show to the first frame (the analysis from the song's start),
// then draws into the still or the video; the exit status.
int drawAndWrite(const RenderOptions& o, const Song& sound, const FrameClock& clock, const Span& span,
                 const std::optional<PartRecord>& part, const std::string& container, OfflineShow& visualiser,
                 const RunContext& run) {
  const bool still = hasExtension(o.output, ".png") && !isStreamOutput(o.output);
  if (!still && !part && visualiser.tapsSound()) {
    visualiser.tapSound(span.soundStart, span.soundEnd);
  }
  // A start (--from, a still, a part) is analysed from where the whole
  // song's render would be: from the song's start for a picture that reads
  // what the analysis sums (the music clocks, the count of beats), so a clip
  // or still is that render's frame; else from the span's start (and the
  // seconds before it that the analysis still carries), which gives the
  // same frames without stepping through the whole song.
  const int64_t first = span.first + (part ? part->first : 0);
  if (const Status rolled = visualiser.preRoll(first, visualiser.readsWholeSong() ? 0 : span.first); !rolled) {
    return report(kExitFailure, "cannot read the sound " + o.sound + " from " + secondsText(clock.seconds(span.first)) +
                                    ": " + rolled.why());
  }
  // A still is one frame: a signal while it is drawn ends the run with
  // nothing written. A video says it can stop once its first frame is done.
  return still ? writeStill(o, clock, span, visualiser, run)
               : writeVideo(o, sound, clock, span, part, container, visualiser, run);
}

// OUT.wav or OUT.flac with no SOUND: the Sound pass's soundtrack alone,
// sample for sample from --from to --to.
// "2 min 10 s", "45 s", "1 h 5 min".
std::string spokenDuration(double seconds) {
  const long s = std::lround(std::max(1.0, seconds));
  char text[64];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%ld h %ld min", s / 3600, (s % 3600 + 30) / 60);
  } else if (s >= 60) {
    std::snprintf(text, sizeof text, "%ld min %ld s", s / 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld s", s);
  }
  return text;
}

// The largest common size of the picture's shape that draws `pixels` a
// frame; "" when even the smallest would not.
std::string sizeWithin(int width, int height, double pixels) {
  for (int rows : {2160, 1440, 1080, 720, 540, 360, 270, 180}) {
    const int shortSide = std::min(width, height);
    if (rows > shortSide) {
      continue;
    }
    const int w = static_cast<int>(std::lround(static_cast<double>(width) * rows / shortSide / 2) * 2);
    const int h = static_cast<int>(std::lround(static_cast<double>(height) * rows / shortSide / 2) * 2);
    if (static_cast<double>(w) * h <= pixels) {
      return std::to_string(w) + "x" + std::to_string(h);
    }
  }
  return "";
}

// --estimate: the same picture, size and encoder over a short span of the
// middle of the song, timed; the whole render's time worked out from it.
// The probe pays the whole start (shaders, the song's loudness) as the
// render will; only its frames are scaled up.
int runEstimate(const RenderOptions& given, const RunContext& run) {
  if (hasExtension(given.output, ".png") || isStreamOutput(given.output) || !given.part.empty() || given.partFirst >= 0) {
    return report(kExitUsage, "--estimate is for a whole video written to a file");
  }
  Result<Song> sound = openSong(given.songs);
  if (!sound) {
    return report(kExitFailure, sound.why());
  }
  const FrameClock clock(given.fps, sound.value().rate);
  const Result<Span> span = planSpan(given, sound.value(), clock, false);
  if (!span) {
    return report(kExitUsage, span.why());
  }
  const int64_t total = span.value().end - span.value().first;
  const int64_t probeFrames = std::min<int64_t>(total, std::max<int64_t>(8, std::llround(given.fps.value() * 1.5)));
  const int64_t probeFirst = span.value().first + (total - probeFrames) / 2;
  RenderOptions probe = given;
  probe.hasFrom = probe.hasTo = true;
  probe.from = Rational{probeFirst * given.fps.den, given.fps.num};
  probe.to = Rational{(probeFirst + probeFrames) * given.fps.den, given.fps.num};
  probe.fadeIn = probe.fadeOut = 0;
  probe.quiet = true;
  probe.overwrite = true;
  probe.progressForm = "text";
  probe.saveProject.clear();
  probe.estimate = false;
  char temp[] = "/tmp/vrax-estimate-XXXXXX";
  if (mkdtemp(temp) == nullptr) {
    return report(kExitFailure, "cannot make a folder in /tmp for the estimate's probe");
  }
  probe.output = std::string(temp) + "/probe" + std::filesystem::path(given.output).extension().string();
  RenderTiming timing;
  probe.timing = &timing;
  const auto start = std::chrono::steady_clock::now();
  const int status = renderOnce(probe, run);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::error_code ignored;
  std::filesystem::remove_all(temp, ignored);
  if (status != kExitDone || timing.frames <= 0) {
    return status != kExitDone ? status : report(kExitFailure, "the estimate's probe drew nothing");
  }
  const double perFrame = timing.drawSeconds / static_cast<double>(timing.frames);
  const double speed = 1.0 / given.fps.value() / perFrame;
  const double seconds = std::max(0.0, wall - timing.drawSeconds) + perFrame * static_cast<double>(total);
  std::string line = "about " + spokenDuration(seconds) + " on this machine for " + std::to_string(total) +
                     " frames at " + std::to_string(given.width) + "x" + std::to_string(given.height);
  char rate[64];
  std::snprintf(rate, sizeof rate, " (%.2fx real time)", speed);
  line += rate;
  if (speed >= 1.0) {
    line += "; this size renders faster than the song plays";
  } else {
    const std::string within = sizeWithin(given.width, given.height, 0.9 * speed * given.width * given.height);
    line += within.empty() ? "; no common size of this shape renders in real time here"
                           : "; " + within + " would render in real time";
  }
  return report(kExitDone, line);
}

int writeShaderSoundtrack(const RenderOptions& o, const RunContext& run) {
  const int64_t rate = SoundPass::kRate;
  const int64_t first = o.hasFrom ? o.from.num * rate / o.from.den : 0;
  SF_INFO info{};
  if (SNDFILE* song = sf_open(o.sound.c_str(), SFM_READ, &info)) {
    sf_close(song);
  }
  const int64_t end = o.hasTo ? std::min<int64_t>(info.frames, o.to.num * rate / o.to.den) : info.frames;
  if (first >= end) {
    return report(kExitUsage, "--from is past the end of the Sound pass's " + secondsText(info.frames, rate));
  }
  if (const Status written = writeSoundtrack(o.sound, o.output, first, end, o.overwrite, run); !written) {
    return report(run.stopping() ? kExitInterrupted : kExitFailure, written.why());
  }
  if (!o.quiet) {
    std::cerr << "Wrote " << quotedName(o.output) << ": " << (end - first) << " samples ("
              << secondsText(end - first, rate) << ") of the Sound pass of " << o.shaders << std::endl;
  }
  return kExitDone;
}

// With no SOUND: the Sound pass made the song, or OUT.wav/.flac its
// soundtrack alone. An exit status to leave with, or nothing to go on.
std::optional<int> soundFromShaders(RenderOptions& o, const RunContext& run) {
  const bool soundtrack = !o.soundGiven && (hasExtension(o.output, ".wav") || hasExtension(o.output, ".flac"));
  if (soundtrack) {
    if (const Status target = checkTarget(o.output, quotedName(o.output), "OUTPUT", o.overwrite); !target) {
      return report(kExitUsage, target.why());
    }
  }
  if (const std::optional<int> leave = useShaderSong(o, o.hasTo ? o.to.value() : 0, o.quiet, run)) {
    return *leave;
  }
  return soundtrack ? std::optional<int>(writeShaderSoundtrack(o, run)) : std::nullopt;
}

}  // namespace

int renderOnce(const RenderOptions& given, const RunContext& run) {
  RenderOptions o = given;
  if (const std::optional<int> leave = soundFromShaders(o, run)) {
    return *leave;
  }
  const bool still = hasExtension(o.output, ".png") && !isStreamOutput(o.output);
  const std::string container = isStreamOutput(o.output) ? streamContainerFor(o.output) : containerFor(o.output);
  const bool partAsked = o.partCount > 0 || o.partFirst >= 0 || o.partSound;
  if (const Status named = checkNames(o, still, container, partAsked); !named) {
    return report(kExitUsage, named.why());
  }
  if (!o.saveProject.empty()) {
    if (const Status saved = writeProject(o.saveProject, o.project, o.projectTable, o.overwrite); !saved) {
      return report(kExitFailure, saved.why());
    }
  }
  Result<ShowInputs> inputs = loadShowInputs(o);
  if (!inputs) {
    return report(kExitUsage, inputs.why());
  }
  Result<Song> sound = openSong(o.songs);
  if (!sound) {
    return report(kExitFailure, sound.why());
  }
  const FrameClock clock(o.fps, sound.value().rate);
  const Result<Span> span = planSpan(o, sound.value(), clock, still);
  if (!span || !checkFades(o, span.value(), still)) {
    return report(kExitUsage, span ? checkFades(o, span.value(), still).why() : span.why());
  }
  const Result<PartRecord> planned =
      partAsked ? planRenderPart(o, still, span.value(), sound.value()) : Result<PartRecord>(PartRecord());
  if (!planned) {
    return report(kExitUsage, planned.why());
  }
  const std::optional<PartRecord> part = partAsked ? std::optional<PartRecord>(planned.value()) : std::nullopt;
  if (part && part->sound) {
    return writeSoundPart(o, sound.value(), clock, *part, container, run);
  }
  // The pictures are built (shaders, channels, fonts) before the whole song
  // is measured, so what is broken is said at once.
  OfflineShowSettings showSettings = offlineShowSettings(o);
  if (o.playlist.size() > 1) {
    Result<std::vector<ListedPicture>> listed = listedPictures(o);
    if (!listed) {
      return report(kExitUsage, listed.why());
    }
    showSettings.others = std::move(listed.value());
  }
  OfflineShow visualiser(showSettings, clock, inputs.value().images, o.soundFromShaders ? withoutSoundNote(say) : say);
  if (const Status opened = visualiser.open(sound.value().file, std::move(inputs.value().settings)); !opened) {
    return report(kExitFailure, opened.why());
  }
  if (const std::optional<int> leave = dressShow(o, sound.value(), clock, span.value(), inputs.value(), visualiser)) {
    return *leave;
  }
  return drawAndWrite(o, sound.value(), clock, span.value(), part, container, visualiser, run);
}

int runRender(const RenderOptions& given) {
  catchInterrupts();
  const RunContext run;
  return given.estimate ? runEstimate(given, run) : renderOnce(given, run);
}
