// encoderSound.cpp — see encoder.h: the sound half of the encoder (its
// codec, resampler and queue of samples until a codec frame is full).
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
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <vector>

namespace {

// The rate an encoder will take: the sound's own, else the next one up it
// knows (Opus: 48 kHz for everything above 24 kHz).
int supportedRate(const AVCodec* codec, int rate) {
  if (codec->supported_samplerates == nullptr) {
    return rate;
  }
  int best = 0;
  for (const int* r = codec->supported_samplerates; r != nullptr && *r != 0; ++r) {
    if (*r == rate) {
      return rate;
    }
    if (*r > rate && (best == 0 || *r < best)) {
      best = *r;
    }
  }
  return best != 0 ? best : 48000;
}

}  // namespace

Status Encoder::openAudio() {
  const AudioCodec codec = audioCodecFor(settings_.codec, settings_.format);
  const Result<const AVCodec*> added = addStream(codec.encoder, audioStream_, audio_);
  if (!added) {
    return added.status();
  }
  const AVCodec* encoder = added.value();
  const int outChannels = settings_.channels == 1 ? 1 : 2;
  const int outRate = supportedRate(encoder, settings_.rate);
  av_channel_layout_default(&audio_->ch_layout, outChannels);
  audio_->sample_rate = outRate;
  audio_->sample_fmt = encoder->sample_fmts[0];
  // 192 kb/s, or what AAC can carry at a low rate; PCM has no rate to set.
  audio_->bit_rate = std::min<int64_t>(192000, int64_t(outChannels) * 6144 * outRate / 1024);
  audio_->time_base = AVRational{1, outRate};
  if (format_->oformat->flags & AVFMT_GLOBALHEADER) {
    audio_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  int ret = avcodec_open2(audio_.get(), encoder, nullptr);
  if (ret < 0) {
    return Status::failure(std::string("cannot open the ") + codec.name + " encoder: " + ffmpegReason(ret));
  }
  if ((ret = avcodec_parameters_from_context(audioStream_->codecpar, audio_.get())) < 0) {
    return Status::failure("cannot describe the sound stream: " + ffmpegReason(ret));
  }
  audioStream_->time_base = audio_->time_base;
  // Matroska states Opus's pre-skip as the track's codec delay and readers
  // take it off every timestamp; the encoder has already stamped its packets
  // that much early, so it is given back here or it would count twice.
  const bool matroska = settings_.format == "matroska" || settings_.format == "webm";
  soundShift_ = matroska && audio_->codec_id == AV_CODEC_ID_OPUS ? audio_->initial_padding : 0;

  if (Status resampler = openResampler(codec, outRate); !resampler) {
    return resampler;
  }
  return openSoundQueue(outChannels, outRate);
}

// From the sound's own floats, layout and rate to what the encoder takes.
Status Encoder::openResampler(const AudioCodec& codec, int outRate) {
  int ret = 0;
  AVChannelLayout in{};
  av_channel_layout_default(&in, settings_.channels);
  if (in.order == AV_CHANNEL_ORDER_UNSPEC) {
    // No known layout to mix from: take the first two channels.
    mixFrom_ = 2;
    av_channel_layout_uninit(&in);
    av_channel_layout_default(&in, 2);
  }
  SwrContext* resampler = nullptr;
  ret = swr_alloc_set_opts2(&resampler, &audio_->ch_layout, audio_->sample_fmt, outRate, &in, AV_SAMPLE_FMT_FLT,
                            settings_.rate, 0, nullptr);
  av_channel_layout_uninit(&in);
  swr_.reset(resampler);
  if (ret < 0 || (ret = swr_init(resampler)) < 0) {
    return Status::failure(std::string("cannot convert the sound for ") + codec.name + ": " + ffmpegReason(ret));
  }
  return Status();
}

// The queue that cuts the sound into the encoder's frames, and the frame.
Status Encoder::openSoundQueue(int outChannels, int outRate) {
  int ret = 0;
  // PCM takes any number of samples a frame; the others a fixed size.
  frameSize_ = audio_->frame_size > 0 ? audio_->frame_size : 1024;
  fifo_.reset(av_audio_fifo_alloc(audio_->sample_fmt, outChannels, frameSize_ * 2));
  sound_.reset(av_frame_alloc());
  if (fifo_ == nullptr || sound_ == nullptr) {
    return Status::failure("out of memory");
  }
  sound_->format = audio_->sample_fmt;
  sound_->nb_samples = frameSize_;
  if ((ret = av_channel_layout_copy(&sound_->ch_layout, &audio_->ch_layout)) < 0) {
    return Status::failure("cannot hold sound: " + ffmpegReason(ret));
  }
  sound_->sample_rate = outRate;
  if ((ret = av_frame_get_buffer(sound_.get(), 0)) < 0) {
    return Status::failure("cannot hold sound: " + ffmpegReason(ret));
  }
  return Status();
}

Status Encoder::writeSound(const float* samples, int64_t frames) {
  if (audio_ == nullptr || frames <= 0) {
    return Status();
  }
  std::vector<float> firstTwo;
  if (mixFrom_ != 0) {
    firstTwo.resize(static_cast<size_t>(frames) * 2);
    for (int64_t f = 0; f < frames; ++f) {
      firstTwo[2 * f] = samples[f * settings_.channels];
      firstTwo[2 * f + 1] = samples[f * settings_.channels + 1];
    }
    samples = firstTwo.data();
  }
  const int room = swr_get_out_samples(swr_.get(), static_cast<int>(frames));
  if (room > convertedCapacity_) {
    converted_.reset();
    uint8_t** planes = nullptr;
    const int ret = av_samples_alloc_array_and_samples(&planes, nullptr, audio_->ch_layout.nb_channels, room,
                                                       audio_->sample_fmt, 0);
    converted_.reset(planes);
    if (ret < 0) {
      convertedCapacity_ = 0;
      return Status::failure("cannot hold sound: " + ffmpegReason(ret));
    }
    convertedCapacity_ = room;
  }
  const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(samples)};
  const int got = swr_convert(swr_.get(), converted_.get(), convertedCapacity_, in, static_cast<int>(frames));
  if (got < 0 || av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(converted_.get()), got) < got) {
    return Status::failure("cannot convert the sound for the " + std::string(audio_->codec->name) + " encoder");
  }
  return encodeSoundFrames(false);
}

Status Encoder::encodeSoundFrames(bool last) {
  while (av_audio_fifo_size(fifo_.get()) >= frameSize_ || (last && av_audio_fifo_size(fifo_.get()) > 0)) {
    const int count = std::min(av_audio_fifo_size(fifo_.get()), frameSize_);
    int ret = av_frame_make_writable(sound_.get());
    if (ret < 0) {
      return Status::failure("cannot hold sound: " + ffmpegReason(ret));
    }
    // Only the very last frame may be short.
    sound_->nb_samples = count;
    if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(sound_->data), count) < count) {
      return Status::failure("cannot take sound from its queue");
    }
    sound_->pts = soundPts_;
    soundPts_ += count;
    if (Status sent = send(audio_.get(), audioStream_, sound_.get()); !sent) {
      return sent;
    }
  }
  return Status();
}
