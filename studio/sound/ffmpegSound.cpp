// ffmpegSound.cpp — see ffmpegSound.h.
#include "sound/ffmpegSound.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "base/ffmpegPtr.h"

#include <algorithm>
#include <cstring>

namespace {

// Packets in a row that fail to decode before the sound is taken to end there.
constexpr int kMaxBadPackets = 64;

}  // namespace

struct FfmpegSound::Handles {
  InputPtr input;
  CodecPtr codec;
  FramePtr frame;
  PacketPtr packet;
  ResamplerPtr resampler;
  // What the resampler was made for.
  AVChannelLayout inLayout{};
  int inFormat = -1;
  int inRate = 0;
  int badPackets = 0;
  bool flushed = false;
};

FfmpegSound::FfmpegSound() : parts_(std::make_unique<Handles>()) {}
FfmpegSound::~FfmpegSound() {
  av_channel_layout_uninit(&parts_->inLayout);
}

// The best sound stream's decoder, opened.
Status FfmpegSound::openDecoder() {
  AVFormatContext* raw = parts_->input.get();
  int ret = 0;
  const AVCodec* decoder = nullptr;
  stream_ = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
  if (stream_ < 0 || decoder == nullptr) {
    return Status::failure(stream_ == AVERROR_DECODER_NOT_FOUND ? "no decoder for its sound" : "it holds no sound");
  }
  parts_->codec.reset(avcodec_alloc_context3(decoder));
  parts_->frame.reset(av_frame_alloc());
  parts_->packet.reset(av_packet_alloc());
  if (!parts_->codec || !parts_->frame || !parts_->packet) {
    return Status::failure("out of memory");
  }
  AVCodecContext* codec = parts_->codec.get();
  if ((ret = avcodec_parameters_to_context(codec, raw->streams[stream_]->codecpar)) < 0 ||
      (ret = avcodec_open2(codec, decoder, nullptr)) < 0) {
    return Status::failure("cannot open its sound decoder: " + ffmpegReason(ret));
  }
  return Status();
}

Status FfmpegSound::open(const std::string& path, int rate, int channels) {
  AVFormatContext* raw = nullptr;
  const std::string url = "file:" + path;
  // Only local files: a playlist in a song's clothes fetches nothing from the network.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  int ret = avformat_open_input(&raw, url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (ret < 0) {
    return Status::failure(ffmpegReason(ret));
  }
  parts_->input.reset(raw);
  recognised_ = true;
  // Only the sound is probed: probing a cover picture decodes it, whatever its size.
  for (unsigned i = 0; i < raw->nb_streams; ++i) {
    if (raw->streams[i]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
      raw->streams[i]->discard = AVDISCARD_ALL;
      if ((raw->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) {
        raw->streams[i]->codecpar->codec_id = AV_CODEC_ID_NONE;  // nothing to decode it with
      }
    }
  }
  if ((ret = avformat_find_stream_info(raw, nullptr)) < 0) {
    return Status::failure(ffmpegReason(ret));
  }
  if (const Status decoding = openDecoder(); !decoding) {
    return decoding;
  }
  AVCodecContext* codec = parts_->codec.get();
  channels_ = codec->ch_layout.nb_channels;
  rate_ = codec->sample_rate;
  // A length an MP4 or MOV states (its edit list) ends the sound there, and
  // saves reading hours of it to count: the encoder's padding of its last
  // block is not part of the song. Other containers state lengths that
  // include the padding (an MP3's Xing header) or guess them from the bit
  // rate; those sounds are counted by reading them.
  const AVStream* stream = raw->streams[stream_];
  const bool mp4 = std::strstr(raw->iformat->name, "mp4") != nullptr;
  if (mp4 && stream->duration > 0 && raw->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE) {
    limit_ = av_rescale_q(stream->duration, stream->time_base, AVRational{1, rate_});
  }
  if (channels_ < 1 || rate_ < 1) {
    return Status::failure("the file declares " + std::to_string(channels_) + " channels at " + std::to_string(rate_) + " Hz");
  }
  if ((rate > 0 && rate != rate_) || (channels > 0 && channels != channels_)) {
    converted_ = true;
    rate_ = rate > 0 ? rate : rate_;
    channels_ = channels > 0 ? channels : channels_;
    limit_ = -1;  // a resampler's length is known by reading
  }
  return Status();
}

// A converter from the frame's own format, layout and rate to interleaved
// floats in the sound's first layout and rate. Streams may change all three
// mid-way (a TV recording going from 5.1 to stereo, ADTS from 44.1 to 22.05
// kHz), so each frame is checked and the converter remade when they change;
// what the old one still holds is taken first.
bool FfmpegSound::convertFrom(const AVFrame* frame) {
  Handles& p = *parts_;
  AVChannelLayout in{};
  if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels < 1) {
    av_channel_layout_default(&in, std::max(1, frame->ch_layout.nb_channels));
  } else if (av_channel_layout_copy(&in, &frame->ch_layout) < 0) {
    return false;
  }
  const bool same = p.resampler && p.inFormat == frame->format && p.inRate == frame->sample_rate &&
                    av_channel_layout_compare(&p.inLayout, &in) == 0;
  if (same) {
    av_channel_layout_uninit(&in);
    return true;
  }
  if (p.resampler) {
    drain();
  }
  AVChannelLayout out{};
  av_channel_layout_default(&out, channels_);
  SwrContext* resampler = nullptr;
  int ret = swr_alloc_set_opts2(&resampler, &out, AV_SAMPLE_FMT_FLT, rate_, &in,
                                static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
  av_channel_layout_uninit(&out);
  p.resampler.reset(resampler);
  if (ret < 0 || swr_init(resampler) < 0) {
    p.resampler.reset();
    av_channel_layout_uninit(&in);
    return false;
  }
  av_channel_layout_uninit(&p.inLayout);
  p.inLayout = in;
  p.inFormat = frame->format;
  p.inRate = frame->sample_rate;
  return true;
}

// What the converter still holds (a resampler keeps a few samples back).
void FfmpegSound::drain() {
  SwrContext* resampler = parts_->resampler.get();
  for (;;) {
    const int room = swr_get_out_samples(resampler, 0);
    if (room <= 0) {
      return;
    }
    const size_t old = pending_.size();
    pending_.resize(old + static_cast<size_t>(room) * static_cast<size_t>(channels_));
    uint8_t* out[1] = {reinterpret_cast<uint8_t*>(pending_.data() + old)};
    const int got = swr_convert(resampler, out, room, nullptr, 0);
    pending_.resize(old + static_cast<size_t>(std::max(got, 0)) * static_cast<size_t>(channels_));
    if (got <= 0) {
      return;
    }
  }
}

void FfmpegSound::take(AVFrame* frame) {
  if (frame->nb_samples <= 0 || frame->sample_rate < 1 || !convertFrom(frame)) {
    return;
  }
  const size_t old = pending_.size();
  const int room = swr_get_out_samples(parts_->resampler.get(), frame->nb_samples);
  pending_.resize(old + static_cast<size_t>(std::max(room, 0)) * static_cast<size_t>(channels_));
  uint8_t* out[1] = {reinterpret_cast<uint8_t*>(pending_.data() + old)};
  const int got = swr_convert(parts_->resampler.get(), out, room, const_cast<const uint8_t**>(frame->extended_data),
                              frame->nb_samples);
  pending_.resize(old + static_cast<size_t>(std::max(got, 0)) * static_cast<size_t>(channels_));
  if (seekTarget_ >= 0) {
    dropBefore(frame, old);
  }
}

// After a seek: the frame's time says where its samples lie; those before
// the target are dropped, and so is a frame whose time is unknown.
void FfmpegSound::dropBefore(const AVFrame* frame, size_t old) {
  const AVStream* stream = parts_->input->streams[stream_];
  const int64_t pts = frame->best_effort_timestamp;
  const size_t have = (pending_.size() - old) / static_cast<size_t>(channels_);
  if (pts == AV_NOPTS_VALUE) {
    pending_.resize(old);
    return;
  }
  const int64_t origin = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
  const int64_t at = av_rescale_q(pts - origin, stream->time_base, AVRational{1, rate_});
  const int64_t drop = std::clamp<int64_t>(seekTarget_ - at, 0, static_cast<int64_t>(have));
  pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(old),
                 pending_.begin() + static_cast<std::ptrdiff_t>(old + static_cast<size_t>(drop) * channels_));
  if (at + static_cast<int64_t>(have) > seekTarget_) {
    delivered_ = seekTarget_;
    seekTarget_ = -1;
  }
}

bool FfmpegSound::seek(int64_t frame) {
  if (converted_) {
    return false;  // a frame's time is not the resampled sound's position
  }
  Handles& p = *parts_;
  // Decoders settle over a frame or two after a jump: land a second early.
  const int64_t early = std::max<int64_t>(0, frame - rate_);
  const AVStream* stream = p.input->streams[stream_];
  const int64_t origin = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
  const int64_t ts = origin + av_rescale_q(early, AVRational{1, rate_}, stream->time_base);
  if (early == 0 || avformat_seek_file(p.input.get(), stream_, INT64_MIN, ts, ts, 0) < 0) {
    return false;
  }
  avcodec_flush_buffers(p.codec.get());
  p.resampler.reset();
  av_channel_layout_uninit(&p.inLayout);
  p.inFormat = -1;
  p.flushed = false;
  p.badPackets = 0;
  pending_.clear();
  pendingAt_ = 0;
  ended_ = false;
  seekTarget_ = frame;
  delivered_ = frame;
  return true;
}

// Decodes until some samples are pending or the sound has ended.
bool FfmpegSound::decodeMore() {
  Handles& p = *parts_;
  while (!ended_ && pendingAt_ >= pending_.size()) {
    pending_.clear();
    pendingAt_ = 0;
    int ret = avcodec_receive_frame(p.codec.get(), p.frame.get());
    if (ret >= 0) {
      take(p.frame.get());
      av_frame_unref(p.frame.get());
      continue;
    }
    if (ret == AVERROR_EOF || p.flushed) {
      if (p.resampler) {
        drain();
        p.resampler.reset();
      }
      ended_ = true;
      break;
    }
    ret = av_read_frame(p.input.get(), p.packet.get());
    if (ret < 0 && ret != AVERROR_EOF && failure_.empty()) {
      failure_ = ffmpegReason(ret);
    }
    if (ret < 0) {
      avcodec_send_packet(p.codec.get(), nullptr);  // drain what the decoder holds
      p.flushed = true;
      continue;
    }
    if (p.packet->stream_index == stream_) {
      const int sent = avcodec_send_packet(p.codec.get(), p.packet.get());
      p.badPackets = sent < 0 && sent != AVERROR(EAGAIN) ? p.badPackets + 1 : 0;
      if (p.badPackets > kMaxBadPackets) {
        ended_ = true;
      }
    }
    av_packet_unref(p.packet.get());
  }
  return pendingAt_ < pending_.size();
}

int64_t FfmpegSound::read(float* into, int64_t frames) {
  if (limit_ >= 0) {
    frames = std::min(frames, limit_ - delivered_);
  }
  int64_t done = 0;
  while (done < frames && decodeMore()) {
    const size_t want = static_cast<size_t>(frames - done) * static_cast<size_t>(channels_);
    const size_t have = std::min(want, pending_.size() - pendingAt_);
    std::memcpy(into + static_cast<size_t>(done) * static_cast<size_t>(channels_), pending_.data() + pendingAt_,
                have * sizeof(float));
    pendingAt_ += have;
    done += static_cast<int64_t>(have) / channels_;
  }
  delivered_ += done;
  return done;
}

std::map<std::string, std::string> FfmpegSound::tags() const {
  std::map<std::string, std::string> out;
  const AVFormatContext* input = parts_->input.get();
  if (input == nullptr) {
    return out;
  }
  for (const char* key : kCarriedTags) {
    // Containers keep tags on the file (MP4, MP3) or on the stream (Ogg).
    const AVDictionaryEntry* entry = av_dict_get(input->metadata, key, nullptr, 0);
    if (entry == nullptr && stream_ >= 0) {
      entry = av_dict_get(input->streams[stream_]->metadata, key, nullptr, 0);
    }
    if (entry != nullptr && entry->value != nullptr && entry->value[0] != '\0') {
      out[key] = entry->value;
    }
  }
  // Lyrics, for --lyrics auto: ID3's are "lyrics-LANG", Vorbis's LYRICS or UNSYNCEDLYRICS.
  for (const AVDictionary* tags : {static_cast<const AVDictionary*>(input->metadata),
                                   stream_ >= 0 ? static_cast<const AVDictionary*>(input->streams[stream_]->metadata)
                                                : nullptr}) {
    for (const char* prefix : {"lyrics", "unsyncedlyrics"}) {
      for (const AVDictionaryEntry* e = nullptr; (e = av_dict_get(tags, prefix, e, AV_DICT_IGNORE_SUFFIX)) != nullptr;) {
        if (e->value != nullptr && e->value[0] != '\0' && out.count(e->key) == 0) {
          out[e->key] = e->value;
        }
      }
    }
  }
  return out;
}
