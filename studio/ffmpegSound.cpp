// ffmpegSound.cpp — see ffmpegSound.h.
#include "ffmpegSound.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "ffmpegPtr.h"

#include <algorithm>
#include <cstring>

namespace {

// Packets in a row that fail to decode before the sound is taken to end there.
constexpr int kMaxBadPackets = 64;

}  // namespace

struct FfmpegSound::Parts {
  InputPtr input;
  CodecPtr codec;
  FramePtr frame;
  PacketPtr packet;
  ResamplerPtr resampler;
  int badPackets = 0;
  bool flushed = false;
};

FfmpegSound::FfmpegSound() : parts_(std::make_unique<Parts>()) {}
FfmpegSound::~FfmpegSound() = default;

bool FfmpegSound::open(const std::string& path, std::string& error) {
  AVFormatContext* raw = nullptr;
  const std::string url = "file:" + path;
  int ret = avformat_open_input(&raw, url.c_str(), nullptr, nullptr);
  if (ret < 0) {
    error = ffmpegReason(ret);
    return false;
  }
  parts_->input.reset(raw);
  if ((ret = avformat_find_stream_info(raw, nullptr)) < 0) {
    error = ffmpegReason(ret);
    return false;
  }
  const AVCodec* decoder = nullptr;
  stream_ = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
  if (stream_ < 0 || decoder == nullptr) {
    error = stream_ == AVERROR_DECODER_NOT_FOUND ? "no decoder for its sound" : "it holds no sound";
    return false;
  }
  parts_->codec.reset(avcodec_alloc_context3(decoder));
  parts_->frame.reset(av_frame_alloc());
  parts_->packet.reset(av_packet_alloc());
  if (!parts_->codec || !parts_->frame || !parts_->packet) {
    error = "out of memory";
    return false;
  }
  AVCodecContext* codec = parts_->codec.get();
  if ((ret = avcodec_parameters_to_context(codec, raw->streams[stream_]->codecpar)) < 0 ||
      (ret = avcodec_open2(codec, decoder, nullptr)) < 0) {
    error = "cannot open its sound decoder: " + ffmpegReason(ret);
    return false;
  }
  channels_ = codec->ch_layout.nb_channels;
  rate_ = codec->sample_rate;
  // A length the container states (an MP4's edit list) ends the sound there:
  // the encoder's padding of its last block is not part of the song. A length
  // guessed from the bit rate is not trusted.
  const AVStream* stream = raw->streams[stream_];
  if (stream->duration > 0 && raw->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE) {
    limit_ = av_rescale_q(stream->duration, stream->time_base, AVRational{1, rate_});
  }
  if (channels_ < 1 || rate_ < 1) {
    error = "the file declares " + std::to_string(channels_) + " channels at " + std::to_string(rate_) + " Hz";
    return false;
  }
  // The decoder's own format, to interleaved floats in the same layout and rate.
  SwrContext* resampler = nullptr;
  AVChannelLayout layout{};
  if (codec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&layout, channels_);
  } else {
    av_channel_layout_copy(&layout, &codec->ch_layout);
  }
  ret = swr_alloc_set_opts2(&resampler, &layout, AV_SAMPLE_FMT_FLT, rate_, &layout, codec->sample_fmt, rate_, 0,
                            nullptr);
  av_channel_layout_uninit(&layout);
  parts_->resampler.reset(resampler);
  if (ret < 0 || (ret = swr_init(resampler)) < 0) {
    error = "cannot convert its sound: " + ffmpegReason(ret);
    return false;
  }
  return true;
}

void FfmpegSound::take(AVFrame* frame) {
  if (frame->nb_samples <= 0) {
    return;
  }
  const size_t old = pending_.size();
  const int room = swr_get_out_samples(parts_->resampler.get(), frame->nb_samples);
  pending_.resize(old + static_cast<size_t>(std::max(room, 0)) * static_cast<size_t>(channels_));
  uint8_t* out[1] = {reinterpret_cast<uint8_t*>(pending_.data() + old)};
  const int got = swr_convert(parts_->resampler.get(), out, room, const_cast<const uint8_t**>(frame->extended_data),
                              frame->nb_samples);
  pending_.resize(old + static_cast<size_t>(std::max(got, 0)) * static_cast<size_t>(channels_));
}

// Decodes until some samples are pending or the sound has ended.
bool FfmpegSound::decodeMore() {
  Parts& p = *parts_;
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
      ended_ = true;
      break;
    }
    ret = av_read_frame(p.input.get(), p.packet.get());
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
  for (const char* key : {"title", "artist", "album"}) {
    // Containers keep tags on the file (MP4, MP3) or on the stream (Ogg).
    const AVDictionaryEntry* entry = av_dict_get(input->metadata, key, nullptr, 0);
    if (entry == nullptr && stream_ >= 0) {
      entry = av_dict_get(input->streams[stream_]->metadata, key, nullptr, 0);
    }
    if (entry != nullptr && entry->value != nullptr && entry->value[0] != '\0') {
      out[key] = entry->value;
    }
  }
  return out;
}
