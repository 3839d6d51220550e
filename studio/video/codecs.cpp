// codecs.cpp — see encoder.h: which codec, container and stream a name means,
// and the checks made before anything is opened.
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

VideoCodec videoCodecFor(const std::string& name, const std::string& format) {
  const std::string chosen = name.empty() ? defaultCodecFor(format) : name;
  if (chosen == "hevc") {
    // hvc1 is the tag Apple's players want in MP4 and MOV.
    return {"hevc", "libx265", AV_PIX_FMT_YUV420P, AV_PIX_FMT_NONE, MKTAG('h', 'v', 'c', '1')};
  }
  if (chosen == "vp9") {
    return {"vp9", "libvpx-vp9", AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVA420P, 0};
  }
  if (chosen == "av1") {
    return {"av1", "libsvtav1", AV_PIX_FMT_YUV420P, AV_PIX_FMT_NONE, 0};
  }
  if (chosen == "prores") {
    return {"prores", "prores_ks", AV_PIX_FMT_YUV444P10LE, AV_PIX_FMT_YUVA444P10LE, 0};
  }
  if (chosen == "png") {
    // Lossless RGB: the rendered pixels exactly, for an editor's layer.
    return {"png", "png", AV_PIX_FMT_RGB24, AV_PIX_FMT_RGBA, 0};
  }
  return {"h264", "libx264", AV_PIX_FMT_YUV420P, AV_PIX_FMT_NONE, 0};
}

AudioCodec audioCodecFor(const std::string& video, const std::string& format) {
  if (format == "webm") {
    return {"Opus", "libopus"};
  }
  if (format == "mov" && (video == "prores" || video == "png")) {
    return {"PCM", "pcm_s16le"};
  }
  return {"AAC", "aac"};
}

std::string defaultCodecFor(const std::string& format) {
  return format == "webm" ? "vp9" : "h264";
}

Status checkCodec(const std::string& name, const std::string& format, bool transparent) {
  static const char* const known[] = {"h264", "hevc", "vp9", "av1", "prores", "png"};
  if (!name.empty() && std::find(std::begin(known), std::end(known), name) == std::end(known)) {
    return Status::failure("--codec must be one of h264, hevc, vp9, av1, prores, png (got \"" + name + "\")");
  }
  const std::string codec = name.empty() ? defaultCodecFor(format) : name;
  // What each container holds, as players read them.
  const std::map<std::string, std::vector<std::string>> holds = {
      {"mp4", {"h264", "hevc", "av1", "vp9"}},
      {"matroska", {"h264", "hevc", "vp9", "av1", "prores"}},
      {"mov", {"h264", "hevc", "prores", "png"}},
      {"webm", {"vp9", "av1"}}};
  const auto& allowed = holds.at(format);
  if (std::find(allowed.begin(), allowed.end(), codec) == allowed.end()) {
    std::string list;
    for (const std::string& c : allowed) {
      list += (list.empty() ? "" : ", ") + c;
    }
    return Status::failure("a ." + std::string(format == "matroska" ? "mkv" : format) + " file cannot hold " +
                           codec + "; it takes " + list);
  }
  if (transparent &&
      !(((codec == "prores" || codec == "png") && format == "mov") || (codec == "vp9" && format == "webm"))) {
    return Status::failure(
        "--transparent needs a video that keeps alpha: --codec prores in .mov, or vp9 in .webm (or png in .mov, "
        "lossless)");
  }
  return Status();
}

std::string containerFor(const std::string& path) {
  if (hasExtension(path, ".mp4")) {
    return "mp4";
  }
  if (hasExtension(path, ".mkv")) {
    return "matroska";
  }
  if (hasExtension(path, ".mov")) {
    return "mov";
  }
  if (hasExtension(path, ".webm")) {
    return "webm";
  }
  return "";
}

bool isStreamOutput(const std::string& output) {
  if (output == "-") {
    return true;
  }
  const size_t colon = output.find("://");
  return colon != std::string::npos && colon > 0 &&
         std::all_of(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(colon),
                     [](char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '+'; });
}

std::string streamContainerFor(const std::string& output) {
  const std::string scheme = output == "-" ? "pipe" : output.substr(0, output.find("://"));
  if (scheme == "srt" || scheme == "udp" || scheme == "tcp" || scheme == "pipe") {
    return "mpegts";
  }
  return scheme == "rtmp" ? "flv" : "";
}

Status checkStreamAddress(const std::string& output) {
  const size_t scheme = output.find("://");
  if (output == "-" || scheme == std::string::npos) {
    return Status();
  }
  const size_t from = scheme + 3;
  const std::string authority = output.substr(from, output.find_first_of("/?", from) - from);
  const size_t bracket = authority.rfind(']');
  const size_t colon = authority.rfind(':');
  const bool hasPort = colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
  if (!hasPort) {
    // RTMP has a port of its own; the others name theirs.
    return output.rfind("rtmp://", 0) == 0
               ? Status()
               : Status::failure(printable(output) + " names no port: HOST:PORT, as srt://127.0.0.1:9000");
  }
  const std::string port = authority.substr(colon + 1);
  const bool number = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
  if (!number || std::stoi(port) < 1 || std::stoi(port) > 65535) {
    return Status::failure(printable(output) + ": the port must be a number from 1 to 65535 (got \"" +
                           printable(port) + "\")");
  }
  return Status();
}

bool streamIsPaced(const std::string& output) {
  return output != "-";
}

bool streamReconnects(const std::string& output) {
  if (output.rfind("rtmp://", 0) == 0) {
    return true;
  }
  return output.rfind("srt://", 0) == 0 && output.find("mode=listener") == std::string::npos;
}

bool planesSuit(const EncoderSettings& settings) {
  const VideoCodec codec = videoCodecFor(settings.codec, settings.format);
  return !settings.transparent && codec.format == AV_PIX_FMT_YUV420P && planesFit(settings.width, settings.height);
}

Status checkPreset(const std::string& name, const std::string& format, const std::string& preset, int crf) {
  const std::string codec = name.empty() ? defaultCodecFor(format) : name;
  if (crf == 0 && codec == "av1") {
    return Status::failure(
        "--crf 0 (lossless) is not available with av1 here; use --codec h264, hevc or vp9 for a lossless video");
  }
  if (preset.empty()) {
    return Status();
  }
  static const std::vector<std::string> x264 = {"ultrafast", "superfast", "veryfast", "faster", "fast",
                                                "medium",    "slow",      "slower",   "veryslow", "placebo"};
  auto whole = [&](int low, int high) {
    char* end = nullptr;
    const long value = std::strtol(preset.c_str(), &end, 10);
    return end != preset.c_str() && *end == '\0' && value >= low && value <= high;
  };
  if (codec == "h264" || codec == "hevc") {
    if (std::find(x264.begin(), x264.end(), preset) == x264.end()) {
      std::string list;
      for (const std::string& p : x264) {
        list += (list.empty() ? "" : ", ") + p;
      }
      return Status::failure("--preset for " + codec + " must be one of " + list + " (got \"" + preset + "\")");
    }
  } else if (codec == "vp9" && !whole(0, 8)) {
    return Status::failure(
        "--preset for vp9 is its cpu-used, a whole number from 0 (slowest, best) to 8 (fastest) (got \"" + preset +
        "\")");
  } else if (codec == "av1" && !whole(0, 13)) {
    return Status::failure(
        "--preset for av1 is SVT-AV1's preset, a whole number from 0 (slowest, best) to 13 (fastest) (got \"" +
        preset + "\")");
  } else if (codec == "prores" || codec == "png") {
    return Status::failure("--preset has no meaning for " + codec + ", which has no speed presets");
  }
  return Status();
}

// Quality and speed per encoder: --crf where it has one (0 lossless), --preset
// where it has presets, and a speed that keeps a render near real time otherwise.
