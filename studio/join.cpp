// join.cpp — `vrax-studio join OUT PART...`: the parts of one render made
// the finished video. The parts' pictures are copied as they are (no second
// encode); the song is encoded once over the whole length, with the fades
// and tags render gives it, so no seam can be heard where parts meet.
// Everything is checked before anything is written: a missing, doubled,
// overlapping, short or foreign part is named in one line.
#include <sys/stat.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <vector>

#include "base/ffmpegPtr.h"
#include "base/interrupt.h"
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

// A part opened, its record read and its pictures counted.
Result<Part> openPart(const std::string& path) {
  Part part;
  part.path = path;
  AVFormatContext* opened = nullptr;
  int ret = avformat_open_input(&opened, ("file:" + path).c_str(), nullptr, nullptr);
  if (ret < 0) {
    return Status::failure(path + ": " + ffmpegReason(ret));
  }
  part.input.reset(opened);
  const AVDictionaryEntry* comment = av_dict_get(part.input->metadata, "comment", nullptr, 0);
  const Result<PartRecord> record = readPartRecord(comment != nullptr ? comment->value : "");
  if (!record) {
    return Status::failure(path + ": " + record.why());
  }
  part.record = record.value();
  if ((ret = avformat_find_stream_info(part.input.get(), nullptr)) < 0) {
    return Status::failure(path + ": " + ffmpegReason(ret));
  }
  part.stream = av_find_best_stream(part.input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (part.stream < 0) {
    return Status::failure(path + ": no pictures in it");
  }
  PacketPtr packet(av_packet_alloc());
  while (av_read_frame(part.input.get(), packet.get()) >= 0) {
    part.packets += packet->stream_index == part.stream ? 1 : 0;
    av_packet_unref(packet.get());
  }
  return part;
}

// Why these parts are not one whole render ("" when they are).
std::string wrongSet(const std::vector<Part>& parts) {
  const PartRecord& a = parts.front().record;
  for (const Part& p : parts) {
    const PartRecord& b = p.record;
    if (b.settings != a.settings || b.songs != a.songs || b.frames != a.frames ||
        b.whole.first != a.whole.first || b.whole.end != a.whole.end || b.fps.num != a.fps.num ||
        b.fps.den != a.fps.den || b.fadeIn != a.fadeIn || b.fadeOut != a.fadeOut) {
      return p.path + " is a part of another render than " + parts.front().path;
    }
    if (p.packets != b.end - b.first) {
      return p.path + " is cut short: " + std::to_string(p.packets) + " of its " + std::to_string(b.end - b.first) +
             " frames";
    }
  }
  int64_t next = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    const PartRecord& r = parts[i].record;
    if (r.first > next) {
      return "frames " + std::to_string(next) + "-" + std::to_string(r.first - 1) + " are in none of the parts";
    }
    if (r.first < next) {
      return parts[i].path + " holds frames " + std::to_string(r.first) + "-" + std::to_string(r.end - 1) +
             ", which " + parts[i - 1].path + " holds too";
    }
    next = r.end;
  }
  if (next < a.frames) {
    return "frames " + std::to_string(next) + "-" + std::to_string(a.frames - 1) + " are in none of the parts";
  }
  return "";
}

// Each part's pictures moved to their place in the whole, and the song's
// sound up to each picture's end, so the file is interleaved as render's.
Status writeWhole(Encoder& encoder, std::vector<Part>& parts, const Song& song, SoundReader& reader) {
  const PartRecord& r = parts.front().record;
  const FrameClock clock(r.fps, song.rate);
  const Fades fades{r.fadeIn, r.fadeOut, false, r.whole};
  const AVRational frameTime{static_cast<int>(r.fps.den), static_cast<int>(r.fps.num)};
  std::vector<float> chunk;
  int64_t soundDone = r.whole.soundStart;
  const auto soundUpTo = [&](int64_t until) -> Status {
    until = std::min(until, r.whole.soundEnd);
    while (soundDone < until) {
      const int64_t want = std::min<int64_t>(until - soundDone, 8192);
      chunk.assign(static_cast<size_t>(want * song.channels), 0.0f);
      // Shorter than counted (a file changed under us): the rest stays silent.
      reader(chunk.data(), want);
      fades.fadeSound(r.whole, chunk.data(), soundDone, want, song.channels, song.rate);
      if (Status written = encoder.writeSound(chunk.data(), want); !written) {
        return written;
      }
      soundDone += want;
    }
    return Status();
  };
  PacketPtr packet(av_packet_alloc());
  for (Part& part : parts) {
    const AVStream* stream = part.input->streams[part.stream];
    if (av_seek_frame(part.input.get(), -1, 0, AVSEEK_FLAG_BACKWARD) < 0) {
      return Status::failure("cannot read " + part.path + " again");
    }
    while (av_read_frame(part.input.get(), packet.get()) >= 0) {
      if (interrupted()) {
        return Status::failure("interrupted");
      }
      if (packet->stream_index != part.stream) {
        av_packet_unref(packet.get());
        continue;
      }
      av_packet_rescale_ts(packet.get(), stream->time_base, frameTime);
      const int64_t at = part.record.first;
      packet->pts = packet->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : packet->pts + at;
      packet->dts = packet->dts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : packet->dts + at;
      const int64_t shown = packet->pts;
      if (Status written = encoder.writeVideoPacket(packet.get()); !written) {
        return written;
      }
      av_packet_unref(packet.get());
      if (Status sound = soundUpTo(clock.soundFrameAt(r.whole.first + shown + 1)); !sound) {
        return sound;
      }
    }
  }
  if (Status sound = soundUpTo(r.whole.soundEnd); !sound) {
    return sound;
  }
  return encoder.finish();
}

}  // namespace

int runJoin(const JoinOptions& o) {
  catchInterrupts();
  const std::string container = containerFor(o.output);
  if (container.empty()) {
    return report(kExitUsage, o.output + " is not a video name: .mp4, .mkv, .mov or .webm, as the parts");
  }
  if (const Status target = checkTarget(o.output, quotedName(o.output), "OUTPUT", o.overwrite); !target) {
    return report(kExitUsage, target.why());
  }
  std::vector<Part> parts;
  for (const std::string& path : o.parts) {
    if (containerFor(path) != container) {
      return report(kExitUsage, path + " is not a " + container + " part like " + o.output);
    }
    Result<Part> part = openPart(path);
    if (!part) {
      return report(kExitUsage, part.why());
    }
    parts.push_back(std::move(part.value()));
  }
  std::stable_sort(parts.begin(), parts.end(), [](const Part& a, const Part& b) { return a.record.first < b.record.first; });
  if (const std::string wrong = wrongSet(parts); !wrong.empty()) {
    return report(kExitUsage, wrong + "; nothing written");
  }
  const PartRecord& r = parts.front().record;
  std::vector<std::string> paths;
  for (const auto& [path, bytes] : r.songs) {
    struct stat songFile {};
    const bool here = ::stat(path.c_str(), &songFile) == 0;
    if (!here || static_cast<int64_t>(songFile.st_size) != bytes) {
      return report(kExitUsage, "the song the parts were rendered from, " + path +
                                    (here ? ", has changed since" : ", is not here") + "; nothing written");
    }
    if (sameFile(path, o.output)) {
      return report(kExitUsage, o.output + " is the sound the parts were rendered from; choose another OUTPUT");
    }
    paths.push_back(path);
  }
  const Result<Song> song = openSong(paths);
  Result<SoundReader> reader = song ? songFrom(paths, r.whole.soundStart) : Result<SoundReader>(song.status());
  if (!reader) {
    return report(kExitFailure, reader.why());
  }
  PendingFile file(o.output, o.overwrite);
  EncoderSettings settings;
  settings.path = file.path();
  settings.name = o.output;
  settings.format = container;
  settings.fps = r.fps;
  settings.width = parts.front().input->streams[parts.front().stream]->codecpar->width;
  settings.height = parts.front().input->streams[parts.front().stream]->codecpar->height;
  settings.copiedVideo = parts.front().input->streams[parts.front().stream]->codecpar;
  settings.channels = song.value().channels;
  settings.rate = song.value().rate;
  settings.tags = song.value().tags;
  settings.chapters = chaptersOf(song.value(), r.whole);
  if (!settings.chapters.empty()) {
    const std::string list = chapterListPath(o.output);
    if (const Status target = checkTarget(list, quotedName(list), "the chapter list", o.overwrite); !target) {
      return report(kExitUsage, target.why());
    }
  }
  Encoder encoder;
  Status done = encoder.open(settings);
  if (done) {
    done = writeWhole(encoder, parts, song.value(), reader.value());
  }
  if (done) {
    done = file.commit();
  }
  if (done && !settings.chapters.empty()) {
    done = writeChapterList(o.output, settings.chapters, settings.rate, o.overwrite);
  }
  if (!done) {
    return report(interrupted() ? kExitInterrupted : kExitFailure, done.why());
  }
  if (!o.quiet) {
    std::cerr << "Wrote " << quotedName(o.output) << ": " << r.frames << " frames from " << parts.size() << " parts"
              << std::endl;
  }
  return kExitDone;
}
