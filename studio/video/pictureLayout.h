// pictureLayout.h — how a drawn picture is laid out in memory on its way to
// the encoder.
//
//   Rgba       RGBA rows bottom-up, as GL reads them; the encoder converts
//              them (libswscale) to what its codec takes.
//   Planes420  (a width a multiple of 8, an even height: planesFit)
//              already the 4:2:0 planes an opaque H.264/HEVC/VP9/AV1 file
//              takes, made on the GL side, top row first: width × height
//              luma bytes, then height ÷ 2 rows of width bytes, each the row
//              of Cb (left half) and the row of Cr (right half) of two rows
//              of pixels. BT.709, limited range, as the stream is tagged.
#pragma once

#include <cstddef>

enum class PictureLayout { Rgba, Planes420 };

// The bytes one picture takes.
inline size_t pictureBytes(PictureLayout layout, int width, int height) {
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  return layout == PictureLayout::Planes420 ? pixels * 3 / 2 : pixels * 4;
}

// Whether a picture of this size can be laid out as Planes420: the GL side
// writes four codes a texel, so each chroma half must be whole texels.
inline bool planesFit(int width, int height) {
  return width > 0 && height > 0 && width % 8 == 0 && height % 2 == 0;
}
