// channels.h — the textures Shadertoy's channels read, but for buffers
// (those belong to the picture that draws them): the music as the site's
// 512 × 2 analyser bytes, the keyboard's 256 × 3 rows, images from files,
// and the generated stand-ins for what the site has and this program does
// not (noise for its textures and volumes, a sky for its cubemaps, black for
// videos).
//
// How a channel is sampled (filter, wrap) is a sampler object per channel,
// so one texture serves readers that sample it differently.
//
// Textures are made in the constructor (or when a file is first needed) and
// deleted in the destructor, so the GL context must outlive them.
//
// Threading: only on the thread whose GL context is current.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/status.h"
#include "glCall.h"
#include "picture/image.h"
#include "picture/passes.h"

// Keyboard rows as the site lays them out: x is the browser's key code;
// row 0 held, row 1 pressed this frame, row 2 toggled.
constexpr int kKeyCodes = 256;
using KeyRows = std::vector<uint8_t>;  // kKeyCodes × 3, or empty for all zero

struct ChannelTexture {
  GLenum target = GL_TEXTURE_2D;
  GLuint texture = 0;
  float size[3] = {1, 1, 1};
};

class ChannelTextures {
 public:
  ChannelTextures();
  ~ChannelTextures();
  ChannelTextures(const ChannelTextures&) = delete;
  ChannelTextures& operator=(const ChannelTextures&) = delete;

  // Decodes and uploads the image files the passes' channels show (once
  // each). Refused with the file and why when one cannot be read.
  Status load(const PictureSource& source);
  // The files of --image, for channels of kind Given, each flip uploaded
  // when first asked for; forgetGiven lets a slot's go (black again).
  Status setGiven(int slot, bool vflip, const Image& image);
  void forgetGiven(int slot);
  // Lets go of the files no pass of `source` reads.
  void keepOnly(const PictureSource& source);
  // One frame's music (the analyser's 512 × 2 bytes) and keys.
  void setMusic(const uint8_t* bytes, bool mipmaps);
  void setKeys(const KeyRows& rows);
  // What a channel reads, but for a buffer.
  ChannelTexture of(const Channel& channel) const;

 private:
  Result<ChannelTexture> upload(const Image& image, bool vflip);
  Result<ChannelTexture> uploadCube(const std::string& folder);
  GLuint music_ = 0;
  GLuint keys_ = 0;
  ChannelTexture noise_;
  ChannelTexture sky_;
  ChannelTexture volume_;
  ChannelTexture black_;
  ChannelTexture given_[3][2];                          // [slot][vflip]; black until asked for
  std::map<std::pair<std::string, bool>, ChannelTexture> files_;  // by path and vflip; cubemaps by folder
};

// A sampler object for how a channel is read; the caller deletes it.
GLuint makeSampler(const Channel& channel);
