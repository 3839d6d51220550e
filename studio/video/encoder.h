// encoder.h — a video file written in process with FFmpeg's libraries:
// H.264, HEVC, VP9, AV1 or ProRes pictures and AAC, Opus or PCM sound, muxed
// as mp4, mkv, mov or webm.
//
// Pictures arrive as RGBA rows bottom-up, as GL reads them; they are
// converted to BT.709 limited-range 4:2:0 and tagged so. Picture n is stamped
// n ÷ fps exactly. Sound arrives as interleaved floats at the file's own rate
// and channel count; mono stays mono, more channels are mixed to stereo, and
// a rate AAC cannot take is resampled. Sample s is stamped s ÷ rate; the AAC
// encoder's priming is left to the container to skip, so players agree.
//
// Nothing is thrown: every call that can fail returns a Status with FFmpeg's reason.
//
// Threading: one thread at a time (the render command's encoder thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/defaults.h"
#include "base/ffmpegPtr.h"
#include "base/runContext.h"
#include "base/status.h"
#include "video/frameClock.h"
#include "video/pictureLayout.h"

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavcodec/packet.h>
#include <libavutil/pixfmt.h>
}

// A picture codec: its --codec name, FFmpeg's encoder, the pixel format of an
// opaque and of a transparent picture (NONE: no alpha), and the tag players want.
struct VideoCodec {
  const char* name;
  const char* encoder;
  AVPixelFormat format;
  AVPixelFormat alphaFormat;
  uint32_t tag;
};
struct AudioCodec {
  const char* name;
  const char* encoder;
};
VideoCodec videoCodecFor(const std::string& name, const std::string& format);
AudioCodec audioCodecFor(const std::string& video, const std::string& format);
std::string defaultCodecFor(const std::string& format);
// Whether container `format` can hold codec `name` ("" for its default) as
// asked; the failure names the choices.
Status checkCodec(const std::string& name, const std::string& format, bool transparent);
// Whether --preset and --crf suit the codec; the failure names the choices.
Status checkPreset(const std::string& name, const std::string& format, const std::string& preset, int crf);

// A chapter of the file (an album's song), in the sound's frames from the
// file's start.
struct Chapter {
  int64_t start = 0;
  int64_t end = 0;
  std::string title;
};

struct EncoderSettings {
  std::string path;    // the file written, or the stream's URL ("-": standard output)
  bool stream = false; // a live stream: low delay, no index to move, never a file's checks
  double connectSeconds = 10.0;  // how long a stream's receiver has to answer
  std::string name;    // what messages call it (the name the user gave)
  std::string format;  // "mp4", "matroska", "mov" or "webm"
  std::string codec;   // --codec ("" for the container's default)
  std::string preset;  // --preset ("" for the encoder's default here)
  bool transparent = false;
  PictureLayout layout = PictureLayout::Rgba;
  // Pictures already encoded, copied as they are (join): their stream's
  // parameters; null to encode pictures here.
  const AVCodecParameters* copiedVideo = nullptr;
  // Sound already encoded (join, from a render's sound part): its stream's
  // parameters; null to encode the sound given here, if any.
  const AVCodecParameters* copiedSound = nullptr;
  int width = 0;  // 0 with no copiedVideo: a file of sound only (a sound part)
  int height = 0;
  Rational fps;
  int crf = defaults::kVideoCrf;
  int channels = 0;  // of the sound given; 0 for none
  int rate = 0;
  // The picture that ends the span, and how long it shows: a span may end
  // before a whole frame's time has passed, and the video must not outlast it.
  int64_t lastPicture = -1;
  double lastPictureSeconds = 0.0;
  std::map<std::string, std::string> tags;  // title, artist, album: copied into the file
  std::vector<Chapter> chapters;  // at `rate`; none for a stream
  // The run this encoder writes for: a write blocked on a stream gives up
  // soon once it stops. Null: only a signal stops it.
  const RunContext* run = nullptr;
};

// Whether these settings' pictures can be made as 4:2:0 planes on the GL
// side: an opaque 4:2:0 codec at a size that fits (planesFit).
bool planesSuit(const EncoderSettings& settings);

// The container for an output name's extension ("" when not a video name).
std::string containerFor(const std::string& path);

// Whether OUTPUT names a stream: a URL ("srt://…", "udp://…", "tcp://…",
// "rtmp://…"; any scheme, refused later if unknown) or "-" for standard output.
bool isStreamOutput(const std::string& output);
// The container a stream's protocol needs: MPEG-TS for SRT, UDP, TCP and a
// pipe, FLV for RTMP; "" for a scheme this program does not stream to.
std::string streamContainerFor(const std::string& output);
// A stream URL's port, where it has one to name: 1 to 65535, said in one
// line before anything connects.
Status checkStreamAddress(const std::string& output);
// Whether frames go out at the song's pace (a network stream, watched as it
// arrives) rather than as fast as the reader takes them (a pipe).
bool streamIsPaced(const std::string& output);
// Whether a stream whose receiver went away is called again: srt:// in
// caller mode and rtmp://, where a receiver listens and may come back. A
// listening srt://, udp:// (no connection to lose), tcp:// and a pipe end.
bool streamReconnects(const std::string& output);
// How long a network write may stall before the stream counts as gone.
constexpr double kStreamStallSeconds = 5.0;

class Encoder {
 public:
  Encoder() = default;
  // Gives standard output back its blocking writes, when a stream took them.
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  Status open(const EncoderSettings& settings);
  // A picture in the layout the settings named.
  Status writeVideoFrame(const uint8_t* picture);
  // The next picture is `frames` later than the one after the last (a live
  // stream's pictures that were dropped).
  void skipVideoFrames(int64_t frames) { videoPts_ += frames; }
  // Whether the run it writes for is stopping (see EncoderSettings::run).
  bool stopping() const { return ::stopping(settings_.run); }
  // An encoded picture (settings.copiedVideo), its times in frames (1 ÷ fps).
  Status writeVideoPacket(AVPacket* packet);
  Status writeSound(const float* samples, int64_t frames);
  // An encoded piece of sound (settings.copiedSound), its times in `timeBase`.
  Status writeSoundPacket(AVPacket* packet, AVRational timeBase);
  // Flushes both encoders and completes the file.
  Status finish();

 private:
  Status addChapters();
  Result<const AVCodec*> addStream(const char* name, AVStream*& stream, CodecPtr& context);
  Status openVideo();
  Status copyVideo();
  Status copySound();
  Status writeCopied(AVPacket* packet, AVRational timeBase, AVStream* stream);
  Status setQuality(const VideoCodec& codec);
  Status openConverter(AVPixelFormat pixels);
  void copyPlanes(const uint8_t* planes);
  Status openAudio();
  Status openResampler(const AudioCodec& codec, int outRate);
  Status openSoundQueue(int outChannels, int outRate);
  Status openFile(const std::string& url);
  static int onInterrupt(void* encoder);
  Status send(AVCodecContext* codec, AVStream* stream, AVFrame* frame);
  Status encodeSoundFrames(bool last);

  EncoderSettings settings_;
  // Declared in the order made; freed in reverse.
  OutputPtr format_;
  PacketPtr packet_;
  CodecPtr video_;
  CodecPtr audio_;
  AVStream* videoStream_ = nullptr;  // owned by format_
  AVStream* audioStream_ = nullptr;
  ScalerPtr sws_;
  FramePtr videoFrame_;
  ResamplerPtr swr_;
  FifoPtr fifo_;
  FramePtr sound_;
  SamplesPtr converted_;
  int convertedCapacity_ = 0;
  int frameSize_ = 1024;
  int mixFrom_ = 0;  // channels given to the resampler, when the layout is unknown
  int64_t videoPts_ = 0;
  int64_t soundPts_ = 0;
  int64_t soundShift_ = 0;  // added to the sound's packet times (Opus in Matroska)
  // A stream's I/O gives up past this (steady clock, ns); pushed on at each write.
  std::atomic<int64_t> deadline_{0};
  int stdoutFlags_ = -1;  // standard output's flags before a stream made it non-blocking
};

// Writes one RGBA picture (rows bottom-up) as a PNG file, opaque unless
// keepAlpha; messages call it name where one is given.
Status writePng(const std::string& path, const uint8_t* rgba, int width, int height, const std::string& name = "",
                bool keepAlpha = false);
