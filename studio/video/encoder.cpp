// encoder.cpp — see encoder.h. The order of calls follows FFmpeg's own
// examples: streams and encoders, header, send/receive per frame, flush with
// a null frame, trailer.
#include "video/encoder.h"

#include "base/ffmpegPtr.h"
#include "base/interrupt.h"
#include "base/text.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <vector>

Encoder::~Encoder() {
  if (stdoutFlags_ >= 0) {
    fcntl(STDOUT_FILENO, F_SETFL, stdoutFlags_);
  }
}

namespace {

int64_t steadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t nsAfter(double seconds) {
  return steadyNs() + static_cast<int64_t>(seconds * 1e9);
}

}  // namespace

// FFmpeg's network calls ask this between their waits: a receiver that
// stopped reading, or a caller nobody answers, never hangs the program.
int Encoder::onInterrupt(void* encoder) {
  const auto* self = static_cast<const Encoder*>(encoder);
  const int64_t deadline = self->deadline_.load();
  if (deadline == 0) {
    return 0;
  }
  const int64_t now = steadyNs();
  // A signal ends a write that has waited half a second (a reader that
  // stopped reading); writes that go through still finish the stream.
  const int64_t blockedSince = deadline - static_cast<int64_t>(kStreamStallSeconds * 1e9);
  return now > deadline || (self->stopping() && now > blockedSince + 500000000) ? 1 : 0;
}

Status Encoder::open(const EncoderSettings& settings) {
  settings_ = settings;
  if (settings_.name.empty()) {
    settings_.name = settings_.path;
  }
  if (settings_.layout == PictureLayout::Planes420 && !planesSuit(settings_)) {
    return Status::failure("4:2:0 planes were made for a codec or size that does not take them");
  }
  // Named through the file protocol: "10:30.mp4" is a file, not a URL (the
  // mp4 muxer reopens the file by this name to move its index to the front).
  // A stream's URL is FFmpeg's to take as it is.
  const std::string url = !settings.stream ? "file:" + settings.path : settings.path == "-" ? "pipe:1" : settings.path;
  AVFormatContext* made = nullptr;
  int ret = avformat_alloc_output_context2(&made, nullptr, settings.format.c_str(), url.c_str());
  format_.reset(made);
  if (ret < 0 || format_ == nullptr) {
    return Status::failure("cannot make a " + settings.format + (settings.stream ? " stream: " : " file: ") +
                           ffmpegReason(ret));
  }
  if (settings.stream) {
    format_->interrupt_callback = AVIOInterruptCB{&Encoder::onInterrupt, this};
    // Each packet goes out as it is made: a viewer waits for no buffer.
    format_->flush_packets = 1;
  }
  packet_.reset(av_packet_alloc());
  if (packet_ == nullptr) {
    return Status::failure("out of memory");
  }
  if (settings_.copiedVideo != nullptr || settings_.width > 0) {
    if (Status video = openVideo(); !video) {
      return video;
    }
  }
  if (settings_.copiedSound != nullptr || settings_.channels > 0) {
    if (Status audio = settings_.copiedSound != nullptr ? copySound() : openAudio(); !audio) {
      return audio;
    }
  }
  return openFile(url);
}

// FFmpeg's encoder `name`, a new stream for it and its context.
Result<const AVCodec*> Encoder::addStream(const char* name, AVStream*& stream, CodecPtr& context) {
  const AVCodec* encoder = avcodec_find_encoder_by_name(name);
  if (encoder == nullptr) {
    return Status::failure(std::string("this FFmpeg has no ") + name + " encoder");
  }
  stream = avformat_new_stream(format_.get(), nullptr);
  context.reset(avcodec_alloc_context3(encoder));
  if (stream == nullptr || context == nullptr) {
    return Status::failure("out of memory");
  }
  return encoder;
}

// A stream for pictures encoded elsewhere, with their own parameters.
Status Encoder::copyVideo() {
  videoStream_ = avformat_new_stream(format_.get(), nullptr);
  if (videoStream_ == nullptr) {
    return Status::failure("out of memory");
  }
  const int ret = avcodec_parameters_copy(videoStream_->codecpar, settings_.copiedVideo);
  if (ret < 0) {
    return Status::failure("cannot describe the picture stream: " + ffmpegReason(ret));
  }
  const VideoCodec codec = videoCodecFor(settings_.codec, settings_.format);
  videoStream_->codecpar->codec_tag = codec.tag;
  AVRational frameTime{static_cast<int>(settings_.fps.den), static_cast<int>(settings_.fps.num)};
  av_reduce(&frameTime.num, &frameTime.den, frameTime.num, frameTime.den, INT32_MAX);
  videoStream_->time_base = frameTime;
  videoStream_->avg_frame_rate = AVRational{frameTime.den, frameTime.num};
  return Status();
}

// A stream for sound encoded elsewhere (a sound part), as it was made.
Status Encoder::copySound() {
  audioStream_ = avformat_new_stream(format_.get(), nullptr);
  if (audioStream_ == nullptr) {
    return Status::failure("out of memory");
  }
  const int ret = avcodec_parameters_copy(audioStream_->codecpar, settings_.copiedSound);
  if (ret < 0) {
    return Status::failure("cannot describe the sound stream: " + ffmpegReason(ret));
  }
  audioStream_->codecpar->codec_tag = 0;  // the container's own for the codec
  audioStream_->time_base = AVRational{1, settings_.copiedSound->sample_rate};
  return Status();
}

Status Encoder::writeSoundPacket(AVPacket* packet, AVRational timeBase) {
  return writeCopied(packet, timeBase, audioStream_);
}

Status Encoder::writeVideoPacket(AVPacket* packet) {
  AVRational frameTime{static_cast<int>(settings_.fps.den), static_cast<int>(settings_.fps.num)};
  av_reduce(&frameTime.num, &frameTime.den, frameTime.num, frameTime.den, INT32_MAX);
  return writeCopied(packet, frameTime, videoStream_);
}

// A packet encoded elsewhere, moved to `stream`'s clock and written.
Status Encoder::writeCopied(AVPacket* packet, AVRational timeBase, AVStream* stream) {
  av_packet_rescale_ts(packet, timeBase, stream->time_base);
  packet->stream_index = stream->index;
  const int ret = av_interleaved_write_frame(format_.get(), packet);
  const int pbError = format_->pb != nullptr ? format_->pb->error : 0;
  if (ret < 0 || pbError < 0) {
    return Status::failure("cannot write " + settings_.name + ": " + ffmpegReason(ret < 0 ? ret : pbError));
  }
  return Status();
}

Status Encoder::openVideo() {
  if (settings_.copiedVideo != nullptr) {
    return copyVideo();
  }
  const VideoCodec codec = videoCodecFor(settings_.codec, settings_.format);
  const Result<const AVCodec*> added = addStream(codec.encoder, videoStream_, video_);
  if (!added) {
    return added.status();
  }
  const AVCodec* encoder = added.value();
  const AVPixelFormat pixels = settings_.transparent ? codec.alphaFormat : codec.format;
  AVRational frameTime{static_cast<int>(settings_.fps.den), static_cast<int>(settings_.fps.num)};
  av_reduce(&frameTime.num, &frameTime.den, frameTime.num, frameTime.den, INT32_MAX);
  video_->width = settings_.width;
  video_->height = settings_.height;
  video_->time_base = frameTime;
  video_->framerate = AVRational{frameTime.den, frameTime.num};
  video_->pix_fmt = pixels;
  const bool rgb = pixels == AV_PIX_FMT_RGB24 || pixels == AV_PIX_FMT_RGBA;
  video_->colorspace = rgb ? AVCOL_SPC_RGB : AVCOL_SPC_BT709;
  video_->color_primaries = AVCOL_PRI_BT709;
  video_->color_trc = AVCOL_TRC_BT709;
  video_->color_range = rgb ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
  if (format_->oformat->flags & AVFMT_GLOBALHEADER) {
    video_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (Status quality = setQuality(codec); !quality) {
    return quality;
  }
  int ret = avcodec_open2(video_.get(), encoder, nullptr);
  if (ret < 0) {
    return Status::failure(std::string("cannot open the ") + codec.name + " encoder: " + ffmpegReason(ret));
  }
  if ((ret = avcodec_parameters_from_context(videoStream_->codecpar, video_.get())) < 0) {
    return Status::failure("cannot describe the picture stream: " + ffmpegReason(ret));
  }
  if (codec.tag != 0) {
    videoStream_->codecpar->codec_tag = codec.tag;
  }
  videoStream_->time_base = video_->time_base;
  videoStream_->avg_frame_rate = video_->framerate;
  return openConverter(pixels);
}

// The picture frame the encoder takes and the RGBA-to-YUV converter into it.
Status Encoder::openConverter(AVPixelFormat pixels) {
  int ret = 0;
  videoFrame_.reset(av_frame_alloc());
  if (videoFrame_ == nullptr) {
    return Status::failure("out of memory");
  }
  videoFrame_->format = pixels;
  videoFrame_->width = settings_.width;
  videoFrame_->height = settings_.height;
  if ((ret = av_frame_get_buffer(videoFrame_.get(), 0)) < 0) {
    return Status::failure("cannot hold a picture: " + ffmpegReason(ret));
  }
  sws_.reset(sws_getContext(settings_.width, settings_.height, AV_PIX_FMT_RGBA, settings_.width, settings_.height, pixels,
                            SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr, nullptr));
  if (sws_ == nullptr) {
    return Status::failure("cannot convert pictures to YUV");
  }
  if (pixels == AV_PIX_FMT_RGB24 || pixels == AV_PIX_FMT_RGBA) {
    return Status();  // RGB kept as drawn
  }
  // Full-range RGB in, BT.709 limited range out, as the stream is tagged.
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  if (sws_setColorspaceDetails(sws_.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16) < 0) {
    return Status::failure("cannot convert pictures to BT.709 YUV");
  }
  return Status();
}

Status Encoder::setQuality(const VideoCodec& codec) {
  const std::string name = codec.name;
  const std::string preset = settings_.preset;
  const bool lossless = settings_.crf == 0;
  std::string failed;
  auto set = [&](const char* key, const std::string& value) {
    if (failed.empty() && av_opt_set(video_->priv_data, key, value.c_str(), 0) < 0) {
      failed = std::string(key) + "=" + value;
    }
  };
  if (name == "h264" && settings_.stream) {
    // Low delay: no frames held back for B-frames or look-ahead, and a
    // keyframe at least every two seconds so a viewer who joins late sees
    // a picture soon.
    set("preset", preset.empty() ? "veryfast" : preset);
    set("tune", "zerolatency");
    set("crf", std::to_string(settings_.crf));
    video_->max_b_frames = 0;
    video_->gop_size = std::max(1, static_cast<int>(std::lround(2.0 * settings_.fps.value())));
  } else if (name == "h264" || name == "hevc") {
    set("preset", preset.empty() ? "veryfast" : preset);
    set("crf", std::to_string(settings_.crf));
    if (name == "h264") {
      // x264 holds a frame (about 12 MB at 1080p) for each frame thread and,
      // by default, as many again for a look-ahead on a thread of its own.
      // The look-ahead done by the encoding threads makes the same video;
      // one frame thread a core, not x264's one and a half, leaves the
      // picture's drawing its share of them. 50 MB less at 1080p.
      set("x264-params", "sync-lookahead=0");
      video_->thread_count = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    }
    if (name == "hevc") {
      // x265's crf 0 still quantises; lossless is its own switch.
      set("x265-params", lossless ? "log-level=error:lossless=1" : "log-level=error");
    }
  } else if (name == "vp9") {
    // Lossless pins libvpx's quantiser range to 0, which a crf above 0 falls outside.
    set("crf", std::to_string(lossless ? 0 : std::min(63, settings_.crf + 13)));
    video_->bit_rate = 0;
    set("deadline", "good");
    set("cpu-used", preset.empty() ? "5" : preset);
    set("row-mt", "1");
    if (lossless) {
      set("lossless", "1");
    }
  } else if (name == "av1") {
    set("crf", std::to_string(std::min(63, settings_.crf + 12)));
    set("preset", preset.empty() ? "10" : preset);
  } else if (name == "prores") {
    set("profile", "4444");
  }
  if (!failed.empty()) {
    return Status::failure("the " + name + " encoder does not take " + failed);
  }
  return Status();
}

Status Encoder::openFile(const std::string& url) {
  int ret = 0;
  // As FFmpeg's own muxing example: a format that does its own I/O is not
  // given a file. A stream's connection gets ten seconds to be answered.
  if ((format_->oformat->flags & AVFMT_NOFILE) == 0) {
    deadline_ = settings_.stream ? nsAfter(settings_.connectSeconds) : 0;
    // SRT drops what is still unsent when the socket closes; a few seconds'
    // linger lets the last frames reach the receiver (a URL may say otherwise).
    AVDictionary* io = nullptr;
    if (settings_.stream && url.rfind("srt://", 0) == 0) {
      av_dict_set(&io, "linger", "3", 0);
    }
    // A pipe's reader that stops reading would block a write past every
    // deadline and signal: written without blocking, FFmpeg waits in steps
    // and asks onInterrupt between them. (Only a pipe or socket: a terminal's
    // flags are the shell's too.)
    struct stat out {};
    if (url == "pipe:1" && fstat(STDOUT_FILENO, &out) == 0 && (S_ISFIFO(out.st_mode) || S_ISSOCK(out.st_mode))) {
      const int flags = fcntl(STDOUT_FILENO, F_GETFL);
      if (flags >= 0 && (flags & O_NONBLOCK) == 0 && fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK) == 0) {
        stdoutFlags_ = flags;
      }
    }
    ret = avio_open2(&format_->pb, url.c_str(), AVIO_FLAG_WRITE, &format_->interrupt_callback, &io);
    av_dict_free(&io);
    if (ret < 0) {
      return Status::failure((settings_.stream ? "cannot stream to " : "cannot write ") + settings_.name + ": " +
                             (ret == AVERROR_EXIT ? "nobody answered within " + secondsText(settings_.connectSeconds)
                                                  : ffmpegReason(ret)));
    }
  }
  for (const auto& [key, value] : settings_.tags) {
    av_dict_set(&format_->metadata, key.c_str(), value.c_str(), 0);
  }
  if (const Status chapters = addChapters(); !chapters) {
    return chapters;
  }
  AVDictionary* options = nullptr;
  if (!settings_.stream && (settings_.format == "mp4" || settings_.format == "mov")) {
    // The index goes first, so a player can start before the file is all
    // there; the colours are stated in the container as well as the stream.
    av_dict_set(&options, "movflags", "+faststart+write_colr", 0);
  }
  if (settings_.format == "matroska" || settings_.format == "webm") {
    format_->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
  }
  deadline_ = settings_.stream ? nsAfter(settings_.connectSeconds) : 0;
  ret = avformat_write_header(format_.get(), &options);
  av_dict_free(&options);
  if (ret < 0) {
    return Status::failure("cannot write the file's header: " + ffmpegReason(ret));
  }
  return Status();
}

// The container owns what is added here: avformat_free_context frees each
// chapter and its title.
Status Encoder::addChapters() {
  if (settings_.stream || settings_.rate <= 0) {
    return Status();
  }
  for (const Chapter& given : settings_.chapters) {
    auto* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
    if (chapter == nullptr) {
      return Status::failure("out of memory for the file's chapters");
    }
    chapter->id = static_cast<int64_t>(format_->nb_chapters) + 1;
    chapter->time_base = AVRational{1, settings_.rate};
    chapter->start = given.start;
    chapter->end = given.end;
    int count = static_cast<int>(format_->nb_chapters);
    if (av_dict_set(&chapter->metadata, "title", given.title.c_str(), 0) < 0 ||
        av_dynarray_add_nofree(&format_->chapters, &count, chapter) < 0) {
      av_dict_free(&chapter->metadata);
      av_free(chapter);
      return Status::failure("out of memory for the file's chapters");
    }
    format_->nb_chapters = static_cast<unsigned>(count);
  }
  return Status();
}

Status Encoder::send(AVCodecContext* codec, AVStream* stream, AVFrame* frame) {
  int ret = avcodec_send_frame(codec, frame);
  if (ret < 0) {
    return Status::failure(std::string("the ") + codec->codec->name + " encoder failed: " + ffmpegReason(ret));
  }
  for (;;) {
    ret = avcodec_receive_packet(codec, packet_.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
      return Status();
    }
    if (ret < 0) {
      return Status::failure(std::string("the ") + codec->codec->name + " encoder failed: " + ffmpegReason(ret));
    }
    const bool lastPicture = codec == video_.get() && packet_->pts == settings_.lastPicture;
    if (codec == audio_.get() && soundShift_ != 0) {
      packet_->pts += soundShift_;
      packet_->dts += soundShift_;
    }
    av_packet_rescale_ts(packet_.get(), codec->time_base, stream->time_base);
    if (lastPicture) {
      const int64_t us = std::llround(settings_.lastPictureSeconds * 1e6);
      packet_->duration = std::max<int64_t>(1, av_rescale_q(us, AVRational{1, 1000000}, stream->time_base));
    }
    packet_->stream_index = stream->index;
    deadline_ = settings_.stream ? nsAfter(kStreamStallSeconds) : 0;
    ret = av_interleaved_write_frame(format_.get(), packet_.get());
    const int pbError = format_->pb != nullptr ? format_->pb->error : 0;
    if (ret < 0 || pbError < 0) {
      const int error = ret < 0 ? ret : pbError;
      if (settings_.stream) {
        return Status::failure("the stream to " + settings_.name + " stopped: " +
                               (error == AVERROR_EXIT ? "the receiver took nothing for five seconds"
                                                      : ffmpegReason(error)));
      }
      return Status::failure("cannot write " + settings_.name + ": " + ffmpegReason(error));
    }
  }
}

Status Encoder::writeVideoFrame(const uint8_t* picture) {
  int ret = av_frame_make_writable(videoFrame_.get());
  if (ret < 0) {
    return Status::failure("cannot hold a picture: " + ffmpegReason(ret));
  }
  if (settings_.layout == PictureLayout::Planes420) {
    copyPlanes(picture);
    videoFrame_->pts = videoPts_++;
    return send(video_.get(), videoStream_, videoFrame_.get());
  }
  const uint8_t* rgba = picture;
  // GL's rows run bottom-up: start at the last row and step backwards.
  const int stride = settings_.width * 4;
  const uint8_t* rows[1] = {rgba + static_cast<ptrdiff_t>(settings_.height - 1) * stride};
  const int strides[1] = {-stride};
  if (sws_scale(sws_.get(), rows, strides, 0, settings_.height, videoFrame_->data, videoFrame_->linesize) <= 0) {
    return Status::failure("cannot convert a picture to YUV");
  }
  videoFrame_->pts = videoPts_++;
  return send(video_.get(), videoStream_, videoFrame_.get());
}

// The planes' rows into the frame's, whose rows may be padded.
void Encoder::copyPlanes(const uint8_t* planes) {
  const size_t width = static_cast<size_t>(settings_.width);
  const int height = settings_.height;
  for (int y = 0; y < height; ++y) {
    std::memcpy(videoFrame_->data[0] + static_cast<ptrdiff_t>(y) * videoFrame_->linesize[0],
                planes + static_cast<size_t>(y) * width, width);
  }
  const uint8_t* chroma = planes + width * static_cast<size_t>(height);
  for (int y = 0; y < height / 2; ++y) {
    const uint8_t* row = chroma + static_cast<size_t>(y) * width;
    std::memcpy(videoFrame_->data[1] + static_cast<ptrdiff_t>(y) * videoFrame_->linesize[1], row, width / 2);
    std::memcpy(videoFrame_->data[2] + static_cast<ptrdiff_t>(y) * videoFrame_->linesize[2], row + width / 2,
                width / 2);
  }
}

Status Encoder::finish() {
  if (audio_ != nullptr) {
    // What the resampler still holds, then the short last frame.
    for (;;) {
      const int got = swr_convert(swr_.get(), converted_.get(), convertedCapacity_, nullptr, 0);
      if (got <= 0) {
        break;
      }
      if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(converted_.get()), got) < got) {
        return Status::failure("cannot queue the sound's last samples");
      }
    }
    if (Status sent = encodeSoundFrames(true); !sent) {
      return sent;
    }
    if (Status sent = send(audio_.get(), audioStream_, nullptr); !sent) {
      return sent;
    }
  }
  if (Status sent = video_ != nullptr ? send(video_.get(), videoStream_, nullptr) : Status(); !sent) {
    return sent;
  }
  deadline_ = settings_.stream ? nsAfter(kStreamStallSeconds) : 0;
  int ret = av_write_trailer(format_.get());
  if (format_->pb == nullptr) {
    return ret < 0 ? Status::failure("cannot complete " + settings_.name + ": " + ffmpegReason(ret)) : Status();
  }
  if (ret < 0 || format_->pb->error < 0) {
    return Status::failure("cannot complete " + settings_.name + ": " + ffmpegReason(ret < 0 ? ret : format_->pb->error));
  }
  avio_flush(format_->pb);
  if ((ret = avio_closep(&format_->pb)) < 0) {
    return Status::failure("cannot complete " + settings_.name + ": " + ffmpegReason(ret));
  }
  return Status();
}
