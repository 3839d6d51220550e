// join.cpp — `vrax-studio join OUT PART...`: the parts of one render made
// the finished video. The parts' pictures are copied as they are (no second
// encode); the song is encoded once over the whole length, with the fades
// and tags render gives it, so no seam can be heard where parts meet.
// Everything is checked before anything is written: a missing, doubled,
// overlapping, short or foreign part is named in one line.
#include <sys/stat.h>

#include <algorithm>
#include <iostream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "base/ffmpegPtr.h"
#include "base/interrupt.h"
#include "base/runContext.h"
#include "base/text.h"

#include "album.h"
#include "parts.h"
#include "plan.h"
#include "sound/soundStream.h"
#include "video/encoder.h"
#include "video/pendingFile.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

struct Part {
  std::string path;
  PartRecord record;
  InputPtr input;
  int stream = -1;
  int64_t packets = 0;
};

// A part opened, its record read and (unless only to be read) its pictures
// counted or its sound measured.
Result<Part> openPart(const std::string& path, bool measure = true) {
  Part part;
  part.path = path;
  // A pipe or device named as a part would wait for good, or read for ever.
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    return Status::failure(quotedName(path) + " is " + fileKind(info.st_mode) + ", not a part (a video file render wrote)");
  }
  AVFormatContext* opened = nullptr;
  int ret = avformat_open_input(&opened, ("file:" + path).c_str(), nullptr, nullptr);
  if (ret < 0) {
    return Status::failure(quotedName(path) + ": " + ffmpegReason(ret));
  }
  part.input.reset(opened);
  const AVDictionaryEntry* comment = av_dict_get(part.input->metadata, "comment", nullptr, 0);
  const Result<PartRecord> record = readPartRecord(comment != nullptr ? comment->value : "");
  if (!record) {
    return Status::failure(quotedName(path) + ": " + record.why());
  }
  part.record = record.value();
  if ((ret = avformat_find_stream_info(part.input.get(), nullptr)) < 0) {
    return Status::failure(quotedName(path) + ": " + ffmpegReason(ret));
  }
  const AVMediaType kind = part.record.sound ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
  part.stream = av_find_best_stream(part.input.get(), kind, -1, -1, nullptr, 0);
  if (part.stream < 0) {
    return Status::failure(quotedName(path) + (part.record.sound ? ": no sound in it" : ": no pictures in it"));
  }
  const AVCodecParameters* held = part.input->streams[part.stream]->codecpar;
  if (!part.record.sound && (held->width != part.record.width || held->height != part.record.height)) {
    return Status::failure(quotedName(path) + " holds pictures of " + std::to_string(held->width) + "x" +
                           std::to_string(held->height) + ", not the " + std::to_string(part.record.width) + "x" +
                           std::to_string(part.record.height) + " render made (encoded again since?)");
  }

  // Pictures are counted; sound is measured to its last packet's end, in
  // samples, give or take one tick of the container's clock (Matroska's are ms).
  const AVStream* stream = part.input->streams[part.stream];
  const AVRational sample{1, std::max(1, stream->codecpar->sample_rate)};
  PacketPtr packet(av_packet_alloc());
  while (measure && av_read_frame(part.input.get(), packet.get()) >= 0) {
    if (packet->stream_index == part.stream && !part.record.sound) {
      ++part.packets;
    } else if (packet->stream_index == part.stream && packet->pts != AV_NOPTS_VALUE) {
      part.packets = std::max(part.packets, av_rescale_q(packet->pts + packet->duration + 1, stream->time_base, sample));
    }
    av_packet_unref(packet.get());
  }
  return part;
}

// Why these parts are not one whole render ("" when they are).
std::string wrongSet(const std::vector<Part>& parts) {
  // Measured against the first part of pictures (the sound part sorts first).
  const Part& first = parts.size() > 1 && parts.front().record.sound ? parts[1] : parts.front();
  const PartRecord& a = first.record;
  for (const Part& p : parts) {
    const PartRecord& b = p.record;
    if (b.settings != a.settings || b.songs != a.songs || b.frames != a.frames ||
        b.whole.first != a.whole.first || b.whole.end != a.whole.end || b.fps.num != a.fps.num ||
        b.fps.den != a.fps.den || b.fadeIn != a.fadeIn || b.fadeOut != a.fadeOut) {
      return quotedName(p.path) + " is a part of another render than " + quotedName(first.path);
    }
    const int64_t sound = b.whole.soundEnd - b.whole.soundStart;
    // A container may keep the last packet's duration short of its padding
    // (MP4's edit list): less than one packet missing is the whole sound.
    const int64_t packet = std::max(1, p.input->streams[p.stream]->codecpar->frame_size);
    if (b.sound && p.packets + packet <= sound) {
      return quotedName(p.path) + " is cut short: " + std::to_string(p.packets) + " of its " + std::to_string(sound) +
             " sound frames";
    }
    if (!b.sound && p.packets != b.end - b.first) {
      return quotedName(p.path) + " is cut short: " + std::to_string(p.packets) + " of its " + std::to_string(b.end - b.first) +
             " frames";
    }
  }
  int64_t next = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    const PartRecord& r = parts[i].record;
    if (r.sound) {
      continue;
    }
    if (r.first > next) {
      return "frames " + std::to_string(next) + "-" + std::to_string(r.first - 1) + " are in none of the parts";
    }
    if (r.first < next) {
      return quotedName(parts[i].path) + " holds frames " + std::to_string(r.first) + "-" + std::to_string(r.end - 1) +
             ", which " + quotedName(parts[i - 1].path) + " holds too";
    }
    next = r.end;
  }
  if (next < a.frames) {
    return "frames " + std::to_string(next) + "-" + std::to_string(a.frames - 1) + " are in none of the parts";
  }
  return "";
}

// The sound part's packets up to each picture's end, as they were encoded.
class SoundCopy {
 public:
  SoundCopy(Encoder& encoder, Part& part) : encoder_(encoder), part_(part), packet_(av_packet_alloc()) {}
  // Copies on up to `until` seconds of the video (all that is left at infinity).
  Status upTo(double until) {
    const AVStream* stream = part_.input->streams[part_.stream];
    for (;;) {
      if (!held_) {
        if (ended_ || av_read_frame(part_.input.get(), packet_.get()) < 0) {
          ended_ = true;
          return Status();
        }
        if (packet_->stream_index != part_.stream) {
          av_packet_unref(packet_.get());
          continue;
        }
        held_ = true;
      }
      if (packet_->pts != AV_NOPTS_VALUE && packet_->pts * av_q2d(stream->time_base) >= until) {
        return Status();
      }
      held_ = false;
      if (Status written = encoder_.writeSoundPacket(packet_.get(), stream->time_base); !written) {
        return written;
      }
      av_packet_unref(packet_.get());
    }
  }

 private:
  Encoder& encoder_;
  Part& part_;
  PacketPtr packet_;
  bool held_ = false;
  bool ended_ = false;
};

// One part's pictures at their place in the whole (each with the sound up
// to its end, as writePicture does).
Status copyPictures(Part& part, AVRational frameTime, const std::function<Status(AVPacket*)>& writePicture,
                    const RunContext& run) {
  PacketPtr packet(av_packet_alloc());
  const AVStream* stream = part.input->streams[part.stream];
  if (av_seek_frame(part.input.get(), -1, 0, AVSEEK_FLAG_BACKWARD) < 0) {
    return Status::failure("cannot read " + quotedName(part.path) + " again");
  }
  // Matroska keeps no decoding times: its reader leaves them out of the
  // first packets of pictures with B-frames (as many as the reordering
  // delays). Those are held until a packet with one comes, then given the
  // frame steps before it, as they were encoded.
  std::vector<PacketPtr> undated;
  bool dated = false;
  const int64_t at = part.record.first;
  while (av_read_frame(part.input.get(), packet.get()) >= 0) {
    if (run.stopping()) {
      return Status::failure("interrupted");
    }
    if (packet->stream_index != part.stream) {
      av_packet_unref(packet.get());
      continue;
    }
    av_packet_rescale_ts(packet.get(), stream->time_base, frameTime);
    packet->pts = packet->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : packet->pts + at;
    packet->dts = packet->dts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : packet->dts + at;
    if (!dated && packet->dts == AV_NOPTS_VALUE && undated.size() < 64) {
      undated.emplace_back(av_packet_clone(packet.get()));
      av_packet_unref(packet.get());
      continue;
    }
    dated = true;
    for (size_t j = 0; j < undated.size(); ++j) {
      undated[j]->dts = packet->dts - static_cast<int64_t>(undated.size() - j);
      if (Status written = writePicture(undated[j].get()); !written) {
        return written;
      }
    }
    undated.clear();
    const Status written = writePicture(packet.get());
    av_packet_unref(packet.get());
    if (!written) {
      return written;
    }
  }
  // A part too short for any decoding time: in the order read, from its start.
  for (size_t j = 0; j < undated.size(); ++j) {
    undated[j]->dts = at + static_cast<int64_t>(j) - static_cast<int64_t>(undated.size());
    if (Status written = writePicture(undated[j].get()); !written) {
      return written;
    }
  }
  return Status();
}

// Each part's pictures moved to their place in the whole, and the sound up
// to each picture's end (the sound part's copied, else the song encoded),
// so the file is interleaved as render's.
Status writeWhole(Encoder& encoder, std::vector<Part>& parts, Part* soundPart, SoundReader& reader,
                  const RunContext& run) {
  const PartRecord& r = parts.front().record;
  const FrameClock clock(r.fps, r.rate);
  const AVRational frameTime{static_cast<int>(r.fps.den), static_cast<int>(r.fps.num)};
  SongEncoding encoded(encoder, reader, r);
  std::optional<SoundCopy> copied;
  if (soundPart != nullptr) {
    // Opened again rather than seeked: a seek to 0 lands after the
    // encoder's priming packet, whose time is before 0.
    Result<Part> again = openPart(soundPart->path, false);
    if (!again) {
      return Status::failure("cannot read " + quotedName(soundPart->path) + " again: " + again.why());
    }
    *soundPart = std::move(again.value());
    copied.emplace(encoder, *soundPart);
  }
  const auto soundUpTo = [&](int64_t until) {
    return copied ? copied->upTo(until >= r.whole.soundEnd ? INFINITY
                                                           : static_cast<double>(until - r.whole.soundStart) / r.rate)
                  : encoded.upTo(until);
  };
  // A picture at its place in the whole, then the sound up to its end.
  const auto writePicture = [&](AVPacket* packet) {
    const int64_t shown = packet->pts;
    if (Status written = encoder.writeVideoPacket(packet); !written) {
      return written;
    }
    return soundUpTo(clock.soundFrameAt(r.whole.first + shown + 1));
  };
  for (Part& part : parts) {
    if (Status copiedPart = copyPictures(part, frameTime, writePicture, run); !copiedPart) {
      return copiedPart;
    }
  }
  if (Status sound = soundUpTo(r.whole.soundEnd); !sound) {
    return sound;
  }
  return encoder.finish();
}

// The songs the parts were rendered from, to encode the sound here: refused
// when one is gone or changed since, or is what join would write.
Result<std::vector<std::string>> songsAsRendered(const JoinOptions& o, const PartRecord& r) {
  std::vector<std::string> paths;
  for (size_t i = 0; i < r.songs.size(); ++i) {
    const auto& [path, bytes] = r.songs[i];
    struct stat songFile {};
    const bool here = ::stat(path.c_str(), &songFile) == 0;
    const bool same = here && static_cast<int64_t>(songFile.st_size) == bytes && S_ISREG(songFile.st_mode) &&
                      (r.prints.empty() || songPrint(path) == r.prints[i]);
    if (!same) {
      return Status::failure("the song the parts were rendered from, " + quotedName(path) +
                             (here ? ", has changed since" : ", is not here") +
                             " (or give the render's --part sound); nothing written");
    }
    if (sameFile(path, o.output)) {
      return Status::failure(quotedName(o.output) + " is the sound the parts were rendered from; choose another OUTPUT");
    }
    paths.push_back(path);
  }
  return paths;
}

// The parts named, opened and sorted (the sound part first, then by their
// first frame); refused in one line when they are not one whole render.
Result<std::vector<Part>> openParts(const JoinOptions& o, const std::string& container) {
  std::vector<Part> parts;
  for (const std::string& path : o.parts) {
    if (containerFor(path) != container) {
      return Status::failure(quotedName(path) + " is not a " + container + " part like " + quotedName(o.output));
    }
    Result<Part> part = openPart(path);
    if (!part) {
      return part.status();
    }
    parts.push_back(std::move(part.value()));
  }
  std::stable_sort(parts.begin(), parts.end(), [](const Part& a, const Part& b) {
    return a.record.sound != b.record.sound ? a.record.sound : a.record.first < b.record.first;
  });
  if (parts.size() > 1 && parts[1].record.sound) {
    return Status::failure(quotedName(parts[0].path) + " and " + quotedName(parts[1].path) + " are both the sound of the render; nothing written");
  }
  if (const std::string wrong = wrongSet(parts); !wrong.empty()) {
    return Status::failure(wrong + "; nothing written");
  }
  return parts;
}

// Without a sound part, join encodes the song the parts were made from:
// its reader at the whole render's start, or an exit status to leave with.
std::optional<int> songToEncode(const JoinOptions& o, const PartRecord& r, Result<SoundReader>& reader) {
  const Result<std::vector<std::string>> songs = songsAsRendered(o, r);
  if (!songs) {
    return report(kExitUsage, songs.why());
  }
  reader = songFrom(songs.value(), r.whole.soundStart);
  if (!reader) {
    return report(kExitFailure, "the song the parts were rendered from: " + reader.why());
  }
  return std::nullopt;
}

// --verbose: what each part is, as its record and its file say, in the
// order they are joined.
void sayParts(const std::vector<Part>& parts) {
  for (const Part& part : parts) {
    const PartRecord& r = part.record;
    std::ostringstream line;
    line << "join: " << quotedName(part.path) << ": ";
    if (r.sound) {
      line << "the sound part, frames " << r.whole.soundStart << " to " << r.whole.soundEnd << " of the song at "
           << r.rate << " Hz, " << r.channels << " channels, " << part.packets << " sound frames in the file";
    } else {
      line << (r.index > 0 ? "part " + std::to_string(r.index) + "/" + std::to_string(r.count) : std::string("frames"))
           << ", frames " << r.first << " to " << r.end - 1 << " of " << r.frames << " at " << r.fps.num << "/"
           << r.fps.den << " fps, " << r.width << "x" << r.height << ", " << part.packets << " pictures in the file";
    }
    say(line.str());
  }
}

// The joined file: the parts' pictures copied as they are, the sound part's
// sound copied (else the song encoded), the record's tags and chapters.
EncoderSettings joinedSettings(const JoinOptions& o, const std::string& container, const std::string& path,
                               const PartRecord& r, const Part& pictures, const Part* soundPart) {
  EncoderSettings settings;
  settings.path = path;
  settings.name = o.output;
  settings.format = container;
  settings.fps = r.fps;
  settings.width = pictures.input->streams[pictures.stream]->codecpar->width;
  settings.height = pictures.input->streams[pictures.stream]->codecpar->height;
  settings.copiedVideo = pictures.input->streams[pictures.stream]->codecpar;
  settings.copiedSound = soundPart != nullptr ? soundPart->input->streams[soundPart->stream]->codecpar : nullptr;
  settings.channels = r.channels;
  settings.rate = r.rate;
  settings.tags = r.tags;
  settings.chapters = r.chapters;
  return settings;
}

// OUTPUT a video name join may write: free (or --overwrite) and, whatever
// --overwrite says, none of what join reads.
Status checkOutput(const JoinOptions& o) {
  if (containerFor(o.output).empty()) {
    return Status::failure(o.output + " is not a video name: .mp4, .mkv, .mov or .webm, as the parts");
  }
  if (const Status target = checkTarget(o.output, quotedName(o.output), "OUTPUT", o.overwrite); !target) {
    return target;
  }
  if (const std::string read = inputAt(o.output, o.parts); !read.empty()) {
    return Status::failure(quotedName(o.output) + " is one of the parts (" + quotedName(read) +
                           "); choose another OUTPUT");
  }
  return Status();
}

}  // namespace

int runJoin(const JoinOptions& o) {
  catchInterrupts();
  const RunContext run;
  if (const Status named = checkOutput(o); !named) {
    return report(kExitUsage, named.why());
  }
  const std::string container = containerFor(o.output);
  Result<std::vector<Part>> opened = openParts(o, container);
  if (!opened) {
    return report(kExitUsage, opened.why());
  }
  std::vector<Part>& parts = opened.value();
  if (o.verbose) {
    sayParts(parts);
  }
  Part* soundPart = parts.front().record.sound ? &parts.front() : nullptr;
  const PartRecord& r = parts.front().record;
  const Part& pictures = parts.back();  // sorted after the sound
  Result<SoundReader> reader = SoundReader();
  if (soundPart == nullptr) {
    if (const std::optional<int> leave = songToEncode(o, r, reader)) {
      return *leave;
    }
  }
  const std::string list = chapterListPath(o.output);
  if (!r.chapters.empty()) {
    if (const Status target = checkTarget(list, quotedName(list), "the chapter list", o.overwrite); !target) {
      return report(kExitUsage, target.why());
    }
  }
  PendingFile file(o.output, o.overwrite);
  EncoderSettings settings = joinedSettings(o, container, file.path(), r, pictures, soundPart);
  settings.run = &run;
  const int64_t frames = r.frames;
  std::vector<Part> pictureParts(std::make_move_iterator(parts.begin() + (soundPart != nullptr ? 1 : 0)),
                                 std::make_move_iterator(parts.end()));
  Encoder encoder;
  Status done = file.made() ? encoder.open(settings) : file.made();
  if (done) {
    done = writeWhole(encoder, pictureParts, soundPart != nullptr ? &parts.front() : nullptr, reader.value(), run);
  }
  if (done) {
    done = file.commit();
  }
  if (done && !settings.chapters.empty()) {
    done = writeChapterList(o.output, settings.chapters, settings.rate, o.overwrite);
  }
  if (!done) {
    return report(run.stopping() ? kExitInterrupted : kExitFailure, done.why());
  }
  if (!o.quiet) {
    std::cerr << "Wrote " << quotedName(o.output) << ": " << frames << " frames from " << pictureParts.size()
              << " parts" << (soundPart != nullptr ? ", the sound copied" : "") << std::endl;
  }
  return kExitDone;
}
