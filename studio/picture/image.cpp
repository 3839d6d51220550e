// image.cpp — see image.h.
#include "picture/image.h"

#include "base/ffmpegPtr.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <fstream>
#include <memory>

namespace {

uint32_t bigEndian(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) {
    v = (v << 8) | p[i];
  }
  return v;
}

// The size a PNG or JPEG states in its header, read before anything is
// decoded: a small file may claim 16000x16000 and cost a gigabyte to decode.
// False where the header says nothing readable (other formats).
bool statedSize(const uint8_t* data, size_t size, int& width, int& height) {
  static const uint8_t png[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size >= 24 && std::equal(png, png + 8, data) && std::equal(data + 12, data + 16, "IHDR")) {
    width = static_cast<int>(std::min<uint32_t>(bigEndian(data + 16, 4), 1u << 30));
    height = static_cast<int>(std::min<uint32_t>(bigEndian(data + 20, 4), 1u << 30));
    return true;
  }
  if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) {
    return false;
  }
  // JPEG: walk the markers to the first start of frame.
  size_t at = 2;
  while (at + 9 < size) {
    if (data[at] != 0xFF) {
      return false;
    }
    const uint8_t marker = data[at + 1];
    if (marker == 0xFF) {
      ++at;
      continue;
    }
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      height = static_cast<int>(bigEndian(data + at + 5, 2));
      width = static_cast<int>(bigEndian(data + at + 7, 2));
      return true;
    }
    at += 2 + bigEndian(data + at + 2, 2);
  }
  return false;
}

// Refused when a side is past kMaxImageSide.
Status checkSize(int width, int height) {
  if (width > kMaxImageSide || height > kMaxImageSide) {
    return Status::failure("it is " + std::to_string(width) + "x" + std::to_string(height) + ", larger than " +
                           std::to_string(kMaxImageSide) + " a side");
  }
  return Status();
}

// Refused when the header states a size past kMaxImageSide: decoding it
// would take gigabytes before the decoded size could be checked.
Status checkStatedSize(const uint8_t* data, size_t size) {
  int width = 0;
  int height = 0;
  return statedSize(data, size, width, height) ? checkSize(width, height) : Status();
}

// The demuxers of single pictures. Never one that reads other files or the
// network on a file's say (a playlist, a concat list, an image sequence):
// a file named .png may be any of those.
bool isImageDemuxer(const char* name) {
  static const char* const names[] = {"png_pipe", "apng", "jpeg_pipe", "jpegls_pipe", "webp_pipe", "bmp_pipe",
                                      "tiff_pipe", "gif", "gif_pipe", "qoi_pipe", "ppm_pipe", "pgm_pipe",
                                      "pgmyuv_pipe", "pam_pipe", "pbm_pipe", "dds_pipe", "jpegxl_pipe"};
  return std::any_of(std::begin(names), std::end(names), [name](const char* n) { return std::strcmp(n, name) == 0; });
}

// The decoders of single pictures (cover art too is only ever decoded by one).
bool isImageDecoder(AVCodecID id) {
  static const AVCodecID ids[] = {AV_CODEC_ID_PNG,  AV_CODEC_ID_APNG, AV_CODEC_ID_MJPEG, AV_CODEC_ID_JPEGLS,
                                  AV_CODEC_ID_WEBP, AV_CODEC_ID_BMP,  AV_CODEC_ID_TIFF,  AV_CODEC_ID_GIF,
                                  AV_CODEC_ID_QOI,  AV_CODEC_ID_PPM,  AV_CODEC_ID_PGM,   AV_CODEC_ID_PGMYUV,
                                  AV_CODEC_ID_PAM,  AV_CODEC_ID_PBM,  AV_CODEC_ID_DDS};
  return std::find(std::begin(ids), std::end(ids), id) != std::end(ids);
}

// The first bytes of a file, zero-padded as FFmpeg's probes read past the end.
std::vector<uint8_t> headOf(const std::string& path, size_t& size) {
  std::ifstream file(path, std::ios::binary);
  std::vector<uint8_t> head(65536 + AVPROBE_PADDING_SIZE, 0);
  file.read(reinterpret_cast<char*>(head.data()), 65536);
  size = static_cast<size_t>(std::max<std::streamsize>(file.gcount(), 0));
  return head;
}

// Which picture format the bytes are, by their content alone; refused when
// they are no single picture.
Result<const AVInputFormat*> imageFormat(const std::vector<uint8_t>& head, size_t size) {
  AVProbeData data{};
  data.filename = "";
  data.buf = const_cast<unsigned char*>(head.data());
  data.buf_size = static_cast<int>(size);
  int score = 0;
  const AVInputFormat* format = av_probe_input_format3(&data, 1, &score);
  if (format == nullptr) {
    return Status::failure("not a picture (no format this program reads)");
  }
  if (!isImageDemuxer(format->name)) {
    return Status::failure(std::string("not a picture: it is ") + format->name + " data, which is never opened as one");
  }
  return format;
}

// The file opened (as `format` when given, which it must be); its streams
// probed unless only the header's attached pictures are wanted (probing
// decodes them, whatever their size). Only local files: nothing a file
// names is fetched from elsewhere.
Result<InputPtr> openInput(const std::string& path, bool probe = true, const AVInputFormat* format = nullptr) {
  AVFormatContext* raw = nullptr;
  const std::string url = "file:" + path;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  const int ret = avformat_open_input(&raw, url.c_str(), format, &options);
  av_dict_free(&options);
  if (ret < 0) {
    return Status::failure(ffmpegReason(ret));
  }
  InputPtr input(raw);
  if (probe && avformat_find_stream_info(input.get(), nullptr) < 0) {
    return Status::failure("cannot make sense of its contents");
  }
  return input;
}

// Decodes one packet of stream into RGBA.
Result<Image> decodePacket(const AVStream* stream, const AVPacket* packet) {
  Image out;
  if (!isImageDecoder(stream->codecpar->codec_id)) {
    return Status::failure("not a picture: its data is not a picture format this program decodes");
  }
  const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
  if (decoder == nullptr) {
    return Status::failure("no decoder for its picture format");
  }
  CodecPtr codec(avcodec_alloc_context3(decoder));
  FramePtr frame(av_frame_alloc());
  if (!codec || !frame || avcodec_parameters_to_context(codec.get(), stream->codecpar) < 0 ||
      avcodec_open2(codec.get(), decoder, nullptr) < 0) {
    return Status::failure("cannot open its picture decoder");
  }
  int ret = avcodec_send_packet(codec.get(), packet);
  if (ret >= 0) {
    avcodec_send_packet(codec.get(), nullptr);
    ret = avcodec_receive_frame(codec.get(), frame.get());
  }
  if (ret < 0) {
    return Status::failure("not a picture: it does not decode (" + ffmpegReason(ret) + ")");
  }
  if (frame->width < 1 || frame->height < 1 || frame->width > kMaxImageSide || frame->height > kMaxImageSide) {
    return Status::failure("it is " + std::to_string(frame->width) + "x" + std::to_string(frame->height) + ", larger than " +
            std::to_string(kMaxImageSide) + " a side");
  }
  ScalerPtr scaler(sws_getContext(
      frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), frame->width, frame->height,
      AV_PIX_FMT_RGBA, SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!scaler) {
    return Status::failure("cannot convert its pixels");
  }
  // Into a frame of FFmpeg's own padded layout (swscale may write past a
  // tight row), then row by row into the picture.
  FramePtr converted(av_frame_alloc());
  if (!converted) {
    return Status::failure("out of memory");
  }
  converted->format = AV_PIX_FMT_RGBA;
  converted->width = frame->width;
  converted->height = frame->height;
  if (av_frame_get_buffer(converted.get(), 0) < 0) {
    return Status::failure("out of memory");
  }
  if (sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, converted->data, converted->linesize) <=
      0) {
    return Status::failure("cannot convert its pixels");
  }
  out.width = frame->width;
  out.height = frame->height;
  const size_t row = static_cast<size_t>(out.width) * 4;
  out.rgba.resize(row * static_cast<size_t>(out.height));
  for (int y = 0; y < out.height; ++y) {
    std::copy_n(converted->data[0] + static_cast<ptrdiff_t>(y) * converted->linesize[0], row,
                out.rgba.begin() + static_cast<ptrdiff_t>(row * static_cast<size_t>(y)));
  }
  return out;
}

}  // namespace


// What can be told of an image file before decoding it: there, a regular
// file, a picture format, not stated larger than kMaxImageSide; its format,
// and its head for the size it states.
static Result<const AVInputFormat*> checkImageFile(const std::string& path, std::vector<uint8_t>& head, size_t& headSize) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return Status::failure(stat(path.c_str(), &info) != 0 ? "No such file or directory" : "it is not a regular file");
  }
  head = headOf(path, headSize);
  if (const Status size = checkStatedSize(head.data(), headSize); !size) {
    return size;
  }
  return imageFormat(head, headSize);
}

Result<Image> loadImage(const std::string& path) {
  std::vector<uint8_t> head;
  size_t headSize = 0;
  const Result<const AVInputFormat*> format = checkImageFile(path, head, headSize);
  if (!format) {
    return format.status();
  }
  Result<InputPtr> input = openInput(path, true, format.value());
  if (!input) {
    return Status::failure("not a picture (" + input.why() + ")");
  }
  AVFormatContext* opened = input.value().get();
  const int index = av_find_best_stream(opened, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) {
    return Status::failure("not a picture");
  }
  PacketPtr packet(av_packet_alloc());
  if (!packet) {
    return Status::failure("out of memory");
  }
  for (;;) {
    if (av_read_frame(opened, packet.get()) < 0) {
      return Status::failure("holds no picture");
    }
    if (packet->stream_index == index) {
      break;
    }
    av_packet_unref(packet.get());
  }
  return decodePacket(opened->streams[index], packet.get());
}

Result<Image> loadCover(const std::string& soundPath) {
  const Result<InputPtr> input = openInput(soundPath, false);
  if (!input) {
    return Image{};
  }
  const AVFormatContext* format = input.value().get();
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVStream* stream = format->streams[i];
    if ((stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0 && stream->attached_pic.size > 0) {
      const Status size = checkStatedSize(stream->attached_pic.data, static_cast<size_t>(stream->attached_pic.size));
      return size ? decodePacket(stream, &stream->attached_pic) : Result<Image>(size);
    }
  }
  return Image{};
}

Result<std::shared_ptr<const ImageFile>> ImageFile::open(const std::string& path) {
  std::vector<uint8_t> head;
  size_t headSize = 0;
  if (const Result<const AVInputFormat*> format = checkImageFile(path, head, headSize); !format) {
    return format.status();
  }
  auto file = std::make_shared<ImageFile>();
  file->path_ = path;
  if (!statedSize(head.data(), headSize, file->width_, file->height_)) {
    // No size to go by without decoding it.
    const Result<SharedImage> decoded = file->pixels();
    if (!decoded) {
      return decoded.status();
    }
  }
  return std::shared_ptr<const ImageFile>(std::move(file));
}

Result<SharedImage> ImageFile::pixels() const {
  if (!decoded_) {
    Result<Image> image = loadImage(path_);
    if (!image) {
      return image.status();
    }
    decoded_ = std::make_shared<const Image>(std::move(image.value()));
    // The decoder's word over the header's (they agree for a well-made file).
    width_ = decoded_->width;
    height_ = decoded_->height;
  }
  return decoded_;
}

Result<std::vector<ImageSource>> loadImages(const std::vector<std::string>& paths) {
  if (paths.size() > static_cast<size_t>(kMaxImages)) {
    return Status::failure("--image is given " + std::to_string(paths.size()) + " times; a pair reads at most " +
                           std::to_string(kMaxImages));
  }
  std::vector<ImageSource> out;
  for (const std::string& path : paths) {
    Result<ImageSource> image = ImageFile::open(path);
    if (!image) {
      return Status::failure("--image " + path + ": " + image.why());
    }
    out.push_back(image.value());
  }
  return out;
}

Image chooseCover(const std::string& soundPath, const std::vector<ImageSource>& images, const Notes& notes) {
  Result<Image> cover = loadCover(soundPath);
  if (cover && !cover.value().empty()) {
    return std::move(cover.value());
  }
  if (!cover && notes) {
    notes("the cover art in " + soundPath + " is skipped: " + cover.why());
  }
  if (images.empty()) {
    return Image{};
  }
  const Result<SharedImage> first = images.front()->pixels();
  if (!first && notes) {
    notes("the first --image is not shown as the cover: " + first.why());
  }
  return first ? *first.value() : Image{};
}
