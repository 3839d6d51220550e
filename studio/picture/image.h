// image.h — pictures a shader pair can read: files given with --image and a
// song's embedded cover art, decoded with FFmpeg's libraries into RGBA.
//
// Threading: plain functions; any thread.
#pragma once

#include "base/status.h"

#include <cstdint>
#include <string>
#include <memory>
#include <vector>

constexpr int kMaxImageSide = 8192;
constexpr int kMaxImages = 4;

struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;  // rows top-down
  bool empty() const { return width == 0 || height == 0; }
};
// A decoded image held once and read by whoever draws it (a photo can be
// hundreds of megabytes: never copied).
using SharedImage = std::shared_ptr<const Image>;

// Decodes the first picture of a file (PNG, JPEG, and whatever else FFmpeg
// reads); refused with the reason when it is missing, not a picture, or
// larger than kMaxImageSide a side.
Result<Image> loadImage(const std::string& path);

// The cover art embedded in a sound file (FLAC picture, MP3 APIC, Vorbis
// comment): an empty image when there is none, refused when there is one
// that cannot be decoded.
Result<Image> loadCover(const std::string& soundPath);

// An --image file: checked when given (there, a picture, not too large),
// decoded only when a pass first reads it and then held once, so an image
// the picture never reads costs neither the time nor the memory. A PNG or
// JPEG states its size in its header; another format is decoded at once.
//
// Threading: pixels() decodes on the thread that first asks (the GL
// thread); one thread at a time.
class ImageFile {
 public:
  // Refused with the reason when missing, not a picture, or larger than
  // kMaxImageSide a side.
  static Result<std::shared_ptr<const ImageFile>> open(const std::string& path);
  int width() const { return width_; }
  int height() const { return height_; }
  // The pixels, decoded the first time; refused with why they cannot be.
  Result<SharedImage> pixels() const;

 private:
  std::string path_;
  mutable int width_ = 0;  // stated, then as decoded
  mutable int height_ = 0;
  mutable SharedImage decoded_;
};
using ImageSource = std::shared_ptr<const ImageFile>;

// The files of --image, in order; refused with a line naming the file and why.
Result<std::vector<ImageSource>> loadImages(const std::vector<std::string>& paths);

// What "cover" shows: the song's own cover art, else the first image, else
// nothing. A cover that cannot be decoded is skipped, with a line to notes.
Image chooseCover(const std::string& soundPath, const std::vector<ImageSource>& images, const Notes& notes);
