// picture.h — what every studio command draws: one full-screen quad with a
// shader pair, the spectrum as a storage buffer at binding 0 and the float
// uniforms "aspect" (height ÷ width) and "itime" (seconds). The same contract
// as the live program, so one shader pair serves both.
//
// A pair may also declare the studio's further inputs (resolution, frame,
// bands, bass, mid, treble, level, beat, beats, waveform, image0-3 with their
// sizes, cover, coverSize, previous, the music's clocks bassTime, midTime,
// trebleTime, levelTime, peaks (each band's held peak, falling a quarter
// of the bands' range a second), transparent (see setTransparent), loudness (level as levelled), and delta, the seconds since the frame before, for
// decays, falls and scrolls that are per second whatever the frame rate). They are looked up after linking and
// only those declared are fed; one declared with another type is reported
// and left alone. "previous" is the frame drawn before, copied from the
// framebuffer after each draw, and only when a pair reads it.
//
// A picture in Shadertoy's form is one or more passes: Buffer A-D, each
// drawn every frame into its own RGBA 32-bit float target at the output
// size (zero at the start, after a seek and after a resize), then the image
// pass into the framebuffer. Each pass gets Shadertoy's uniforms and its
// four channels. A pass reading a buffer drawn earlier in the frame sees
// this frame's; one drawn later (or itself), the frame before's: each buffer
// has two targets, swapped after it is drawn.
//
// It needs only a current GL 4.5 context, whoever made it: EGL for render, a
// GLFW window for play. GL objects are made in the constructor and deleted in
// the destructor in reverse order, so the context must outlive the picture.
//
// A picture whose passes fail to build never replaces a working one; with
// no working picture at all it is plain dark.
//
// Threading: only on the thread whose GL context is current.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"
#include "sound/analysis.h"
#include "sound/tempo.h"
#include "glCall.h"
#include "picture/channels.h"
#include "picture/image.h"
#include "picture/passes.h"
#include "picture/program.h"
#include "picture/scaledTarget.h"
#include "picture/settings.h"
#include "picture/upload.h"

// What the clock says of the frame being drawn, the same for every pass.
struct FrameTimes {
  double seconds = 0;  // "itime", iTime
  double delta = 0;    // since the frame before
  double rate = 60;    // frames a second
  int64_t frame = 0;
  float date[4] = {0, 0, 0, 0};  // year, month − 1, day, seconds of the day
  float mouse[4] = {0, 0, 0, 0};
  double sampleRate = 44100;
  KeyRows keys;  // empty: no key held
  double progress = 0;  // 0 → 1 over the song playing (an album's: each song's); 0 for a capture
  BeatAt beat;          // the beat and bar at this moment (bpm 0: no steady beat)
};

class Picture {
 public:
  Picture();
  ~Picture();
  Picture(const Picture&) = delete;
  Picture& operator=(const Picture&) = delete;

  // Compiles and links every pass. On success they replace the current
  // ones; on failure the current ones stay and the reason holds the logs by
  // file. notes receives a line for each input declared with the wrong type.
  Status build(const PictureSource& source, const Notes& notes);
  bool hasProgram() const { return !passes_.empty(); }

  // The picture's settings (settings.txt with --set applied), fed to every
  // pass that declares them, now and after every build; a line to notes for
  // one declared with another type.
  void setSettings(std::vector<Setting> settings, const Notes& notes);
  const std::vector<Setting>& settings() const { return settings_; }

  // Uploads one spectrum (16384 floats).
  void setSpectrum(const std::vector<float>& spectrum);
  // One frame's analysis: the spectrum and what the passes read of the rest.
  void setInputs(const AudioInputs& inputs);
  // The files of --image (slot 0-3; iChannel1-3 in Shadertoy's form) and the
  // cover; an empty image is 1x1 transparent. An image is held (shared, not
  // copied) and uploaded only once a pass reads it, now or after a build.
  Status setImage(int slot, ImageSource image);
  Status setCover(const Image& image);
  // Whether the picture is laid over something (--transparent, --background):
  // a pair that declares "bool transparent" then writes its marks' own
  // colour with their coverage as alpha, instead of marks over its backdrop.
  void setTransparent(bool transparent) { transparent_ = transparent; }
  // Where the title's words are drawn over the next frames, in pixels from
  // the bottom left (x0, y0, x1, y1; all zero: no title), and how much of it
  // shows (0..1): a picture that reads "titleBox" keeps its marks clear.
  void setTitleBox(const float box[4], float shown) {
    std::copy(box, box + 4, titleBox_);
    titleShown_ = shown;
  }
  // The next draw sees a black "previous" and zero buffers (a seek).
  void clearPrevious();
  // Whether a frame depends on the frames before: "previous", or a buffer a
  // pass reads before (or while) it is drawn in the frame.
  bool readsPrevious() const;
  // Whether a pass reads "bandHistory" (its frames show the last kBandHistory
  // ticks of the bands, so a render starting late hears that long before).
  bool readsBandHistory() const;
  bool readsCover() const;
  // Whether a pass reads the beat or the bar (bpm, beatPhase, …, iBpm, …).
  bool readsTempo() const;
  // Whether a pass reads what the analysis sums from the song's start (the
  // music clocks, the count of beats): its value at a frame depends on every
  // moment before, where all else fades within seconds.
  bool readsWholeSong() const;
  // Clears and draws into whatever framebuffer is bound, width × height. A
  // pair with draw.txt draws each of its draws in turn ("layer" 0, 1, …):
  // geometry first is drawn over black (transparent where the picture is laid
  // over something), each later draw over what is drawn, blended by its alpha
  // as coverage; a first draw at a smaller scale is drawn into a smaller
  // target, then brought up. "previous" is the frame as shown, at its size.
  void draw(int width, int height, const FrameTimes& times);
  // A thin red frame around the picture: what is shown is not the saved pair.
  void drawStaleFrame(int width, int height);

 private:
  // The studio's inputs, then Shadertoy's.
  enum Input { kResolution, kFrame, kBandsIn, kBass, kMid, kTreble, kLevel, kBeat, kBeats, kWaveformIn,
               kImage0, kImage1, kImage2, kImage3, kImage0Size, kImage1Size, kImage2Size, kImage3Size,
               kCover, kCoverSize, kPrevious, kBassTime, kMidTime, kTrebleTime, kLevelTime, kDelta, kPeaks, kTransparent, kLoudness, kWaveHistoryIn, kBandHistoryIn, kBandHistorySeconds, kWavePairsIn, kTitleBox, kTitleShown, kTitleClear, kProgress, kBpm, kBeatPhase, kBeatIndex, kBarPhase, kBarIndex, kLayer, kAspect, kItime,
               kIResolution, kITime, kITimeDelta, kIFrame, kIFrameRate, kIDate, kISampleRate, kIMouse,
               kIChannelTime, kIChannelResolution, kIChannel0, kIChannel1, kIChannel2, kIChannel3, kIBassTime,
               kIMidTime, kITrebleTime, kILevelTime, kIBpm, kIBeatPhase, kIBarPhase, kInputCount };
  struct Pass {
    GLuint program = 0;
    int buffer = -1;
    std::array<Channel, 4> channels;
    GLuint samplers[4] = {};
    GLint at[kInputCount] = {};
    DrawPlan draw;
  };
  // Looks up what a pass's program declares; a line for each input of the wrong type.
  static std::vector<std::string> findInputs(Pass& pass);
  void bindUnits(const Pass& pass);
  static void release(Pass& pass);
  void applySettings(const Notes& notes);
  Status uploadReadImages();
  Result<Pass> buildPass(const PassSource& given, const Notes& notes);
  void clearUnder(const Draw& draw);
  void makeQuad();
  void feedStudioInputs(const Pass& pass, int width, int height, const FrameTimes& times);
  void feedShadertoy(const Pass& pass, int width, int height, const FrameTimes& times);
  void feedPlaces(const Pass& pass, int width, int height);
  void prepareBuffers(int width, int height);
  void drawPass(const Pass& pass, const Draw& draw, int width, int height, const FrameTimes& times);
  void drawGeometry(const Draw& draw);
  void drawLayer(const Pass& pass, const Draw& draw, GLuint shown, int width, int height, const FrameTimes& times);
  void bindPrevious(int width, int height);
  void bindStudioTextures();
  void drawBuffers(int width, int height, const FrameTimes& times);
  bool wantsMipmaps(ChannelKind kind, int index) const;

  std::vector<Pass> passes_;  // in drawing order; the last draws the picture shown
  std::vector<Setting> settings_;
  ChannelTextures channels_;
  AudioInputs inputs_;
  GLuint vao_ = 0;
  GLuint emptyVao_ = 0;  // geometry: the vertex stage makes every vertex from gl_VertexID
  ScaledTarget scaled_;  // a picture drawn at a smaller scale
  int layer_ = 0;          // "layer": which of draw.txt's draws is being drawn
  double drawScale_ = 1;   // the scale it is drawn at: the title's box is in the frame's pixels
  GLuint vbo_ = 0;
  GLuint ebo_ = 0;
  GLuint spectrum_ = 0;
  GLuint waveform_ = 0;
  GLuint waveHistory_ = 0;  // kWaveform × kWaveHistory, row 0 the newest
  GLuint bandHistory_ = 0;  // kBands × kBandHistory, row 0 the newest
  // The waveform's history again, each texel a sample and the next as
  // 16-bit fixed point in RGBA8: a software rasteriser reads 8-bit
  // textures several times faster than float ones.
  GLuint wavePairs_ = 0;
  std::vector<uint8_t> wavePairBytes_;  // what is uploaded into it, kept between frames
  void uploadWavePairs(const float* history);  // into wavePairs_, bound on the active unit
  float titleBox_[4] = {0, 0, 0, 0};
  float titleShown_ = 0;
  GLuint images_[4] = {};
  ImageSource given_[4];          // --image, decoded when a pass reads it
  bool imageUploaded_[4] = {};    // images_[slot] holds given_[slot]
  GLuint cover_ = 0;
  GLuint previous_ = 0;
  float imageSizes_[5][2] = {};  // image0-3, cover
  int previousWidth_ = 0;
  int previousHeight_ = 0;
  bool previousClear_ = true;
  bool transparent_ = false;
  // Buffer A-D: two targets each; front is the one last drawn.
  GLuint targets_[4][2] = {};
  int front_[4] = {};
  GLuint framebuffers_[4][2] = {};  // one for each target, attached once
  int bufferWidth_ = 0;
  int bufferHeight_ = 0;
};
