// ffmpegPtr.h — FFmpeg's objects held by unique_ptrs whose deleters free
// them, so every early return releases what was made; and FFmpeg's reason
// for an error code as text.
//
// Threading: plain types; any thread.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

struct InputCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ResamplerFreer {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
struct ScalerFreer {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};

// A file being written: its I/O closed, then the context freed.
struct OutputCloser {
  void operator()(AVFormatContext* c) const {
    if (c->pb != nullptr) {
      avio_closep(&c->pb);
    }
    avformat_free_context(c);
  }
};
struct FifoFreer {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
// Sample planes made by av_samples_alloc_array_and_samples: the data, then the array.
struct SamplesFreer {
  void operator()(uint8_t** planes) const {
    av_freep(&planes[0]);
    av_freep(&planes);
  }
};

using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;
using OutputPtr = std::unique_ptr<AVFormatContext, OutputCloser>;
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoFreer>;
using SamplesPtr = std::unique_ptr<uint8_t*, SamplesFreer>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerFreer>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerFreer>;

inline std::string ffmpegReason(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}
