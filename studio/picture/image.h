// image.h — pictures a shader pair can read: files given with --image and a
// song's embedded cover art, decoded with FFmpeg's libraries into RGBA.
//
// Threading: plain functions; any thread.
#pragma once

#include "base/status.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr int kMaxImageSide = 8192;
constexpr int kMaxImages = 4;

struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;  // rows top-down
  bool empty() const { return width == 0 || height == 0; }
};

// The pixels with the bottom row first, as GL takes a texture.
std::vector<uint8_t> rowsBottomUp(const Image& image);

// Decodes the first picture of a file (PNG, JPEG, and whatever else FFmpeg
// reads). False with the reason when it is missing, not a picture, or larger
// than kMaxImageSide a side.
bool loadImage(const std::string& path, Image& out, std::string& error);

// The cover art embedded in a sound file (FLAC picture, MP3 APIC, Vorbis
// comment). Returns false with no error when there is none; with error set
// when there is one that cannot be decoded.
bool loadCover(const std::string& soundPath, Image& out, std::string& error);

// The files of --image, in order. False with a line naming the file and why.
bool loadImages(const std::vector<std::string>& paths, std::vector<Image>& out, std::string& error);

// What "cover" shows: the song's own cover art, else the first image, else
// nothing. A cover that cannot be decoded is skipped, with a line to notes.
Image chooseCover(const std::string& soundPath, const std::vector<Image>& images, const Notes& notes);
