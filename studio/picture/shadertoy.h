// shadertoy.h — Shadertoy's inputs for a picture in its form: iResolution,
// iTime, iTimeDelta, iFrame, iFrameRate, iDate, iSampleRate, iMouse,
// iChannelTime, iChannelResolution, the sound as iChannel0 (the browser
// analyser's 512 × 2 bytes of the per-frame analysis) and the files of
// --image as iChannel1-3 (black where none is given).
//
// The channels use texture units 8-11, which the picture leaves alone.
// Textures are made in the constructor and deleted in the destructor, so
// the GL context must outlive the feed.
//
// Threading: only on the thread whose GL context is current.
#pragma once

#include <vector>

#include "sound/analysis.h"
#include "glCall.h"
#include "picture/image.h"

struct ShadertoyFrame {
  float width = 0, height = 0;
  float time = 0;
  float timeDelta = 0;
  float frameRate = 0;
  int frame = 0;
  float date[4] = {0, 0, 0, 0};  // year, month − 1, day, seconds of the day
  float sampleRate = 0;
  float mouse[4] = {0, 0, 0, 0};
};

// iDate for the local time now.
void shadertoyDateNow(float date[4]);

class ShadertoyFeed {
 public:
  ShadertoyFeed();
  ~ShadertoyFeed();
  ShadertoyFeed(const ShadertoyFeed&) = delete;
  ShadertoyFeed& operator=(const ShadertoyFeed&) = delete;

  // Looks up the uniforms of a newly linked program (0: none).
  void attach(GLuint program);
  void setImages(const std::vector<Image>& images);
  // Uploads the frame's values and binds the channels for the next draw.
  void feed(const AudioInputs& inputs, const ShadertoyFrame& frame);

 private:
  enum { kResolution, kTime, kTimeDelta, kFrame, kFrameRate, kDate, kSampleRate, kMouse, kChannelTime,
         kChannelResolution, kChannel0, kChannel1, kChannel2, kChannel3, kBassTime, kMidTime, kTrebleTime,
         kLevelTime, kCount };
  GLuint program_ = 0;
  GLint at_[kCount] = {};
  GLuint channels_[4] = {};
  float sizes_[4][3] = {{512, 2, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}};
};
