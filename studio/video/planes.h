// planes.h — RGBA pictures as read back from GL turned into the 4:2:0 planes
// the encoder takes (PictureLayout::Planes420), on the CPU, as they are
// read back: no RGBA copy is kept and nothing is left to convert on the
// encoder's thread.
//
// The conversion is libswscale's as the encoder calls it (bilinear,
// accurate rounding; BT.709, full-range RGB to limited-range YUV) within
// one code, in fixed point: luma pixel by pixel; each chroma sample from a
// pair of columns, rows 2j-1 … 2j+2 weighted 1, 3, 3, 1 (a chroma sample
// sits between its two rows; the edges repeat).
//
// Threading: none of its own; any thread.
#pragma once

#include <cstdint>

// rgba: width × height pixels, rows bottom-up; width and height even. out:
// pictureBytes(PictureLayout::Planes420, width, height) bytes.
void rgbaToPlanes420(const uint8_t* rgba, int width, int height, uint8_t* out);
