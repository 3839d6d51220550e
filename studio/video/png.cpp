// png.cpp — see encoder.h: a still written as a PNG by FFmpeg's encoder.
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

// One RGBA picture (rows bottom-up) encoded as PNG bytes, opaque unless keepAlpha.
Result<PacketPtr> encodePng(const uint8_t* rgba, int width, int height, bool keepAlpha) {
  const AVCodec* png = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (png == nullptr) {
    return Status::failure("this FFmpeg has no PNG encoder");
  }
  CodecPtr codec(avcodec_alloc_context3(png));
  FramePtr frame(av_frame_alloc());
  PacketPtr packet(av_packet_alloc());
  if (!codec || !frame || !packet) {
    return Status::failure("out of memory");
  }
  codec->width = width;
  codec->height = height;
  codec->pix_fmt = AV_PIX_FMT_RGBA;
  codec->time_base = AVRational{1, 1};
  frame->format = AV_PIX_FMT_RGBA;
  frame->width = width;
  frame->height = height;
  int ret = avcodec_open2(codec.get(), png, nullptr);
  if (ret >= 0 && (ret = av_frame_get_buffer(frame.get(), 0)) >= 0) {
    for (int y = 0; y < height; ++y) {
      const uint8_t* row = rgba + static_cast<ptrdiff_t>(height - 1 - y) * width * 4;
      uint8_t* out = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
      for (int x = 0; x < width; ++x) {
        // Opaque whatever alpha the shader left, unless the alpha is wanted.
        out[4 * x] = row[4 * x];
        out[4 * x + 1] = row[4 * x + 1];
        out[4 * x + 2] = row[4 * x + 2];
        out[4 * x + 3] = keepAlpha ? row[4 * x + 3] : 255;
      }
    }
    if ((ret = avcodec_send_frame(codec.get(), frame.get())) >= 0) {
      ret = avcodec_receive_packet(codec.get(), packet.get());
    }
  }
  if (ret < 0) {
    return Status::failure("cannot make a PNG: " + ffmpegReason(ret));
  }
  return packet;
}

}  // namespace

Status writePng(const std::string& path, const uint8_t* rgba, int width, int height, const std::string& name,
                bool keepAlpha) {
  const std::string& called = name.empty() ? path : name;
  const Result<PacketPtr> png = encodePng(rgba, width, height, keepAlpha);
  if (!png) {
    return Status::failure(png.why());
  }
  const AVPacket& packet = *png.value();
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    return Status::failure("cannot write " + called + ": " + std::strerror(errno));
  }
  const bool written =
      std::fwrite(packet.data, 1, static_cast<size_t>(packet.size), file) == static_cast<size_t>(packet.size);
  const int savedErrno = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    std::remove(path.c_str());
    return Status::failure("cannot write " + called + ": " + std::strerror(written ? errno : savedErrno));
  }
  return Status();
}
