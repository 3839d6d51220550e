// planes.cpp — see planes.h. Written so the compiler vectorises each row's
// loop: whole pixels loaded as words, no branches inside a row.
#include "video/planes.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace {

constexpr double kRed = 0.2126;
constexpr double kGreen = 0.7152;
constexpr double kBlue = 0.0722;
constexpr double kLumaRange = 219.0 / 255.0;
constexpr double kChromaRange = 224.0 / 255.0;

constexpr int fixedPoint(double v, int shift) {
  const double scaled = v * static_cast<double>(1 << shift);
  return scaled >= 0 ? static_cast<int>(scaled + 0.5) : -static_cast<int>(-scaled + 0.5);
}

// Luma from one pixel's 8-bit codes.
constexpr int kLumaShift = 16;
constexpr int kYR = fixedPoint(kRed * kLumaRange, kLumaShift);
constexpr int kYG = fixedPoint(kGreen * kLumaRange, kLumaShift);
constexpr int kYB = fixedPoint(kBlue * kLumaRange, kLumaShift);
constexpr int kYOffset = (16 << kLumaShift) + (1 << (kLumaShift - 1));

// Chroma from sums of 16 weighted codes (two columns × rows weighted 1, 3,
// 3, 1): the shift takes the 16 off too. Each row of coefficients sums to
// zero so that every grey is 128 exactly.
constexpr int kChromaShift = 20;
constexpr int kWeightShift = 4;
constexpr int kCbR = fixedPoint(-kRed / 1.8556 * kChromaRange, kChromaShift - kWeightShift);
constexpr int kCbG = fixedPoint(-kGreen / 1.8556 * kChromaRange, kChromaShift - kWeightShift);
constexpr int kCbB = -(kCbR + kCbG);
constexpr int kCrG = fixedPoint(-kGreen / 1.5748 * kChromaRange, kChromaShift - kWeightShift);
constexpr int kCrB = fixedPoint(-kBlue / 1.5748 * kChromaRange, kChromaShift - kWeightShift);
constexpr int kCrR = -(kCrG + kCrB);
constexpr int kCOffset = (128 << kChromaShift) + (1 << (kChromaShift - 1));

// Each row loop is built twice, for AVX2 and for any x86-64, chosen as the
// program loads: twice the lanes where the machine has them.
#if defined(__x86_64__) && defined(__GNUC__)
#define VRAX_WIDE_LOOP __attribute__((target_clones("avx2", "default")))
#else
#define VRAX_WIDE_LOOP
#endif

// A pixel read as one 32-bit word: contiguous loads vectorise where four
// byte streams would be shuffled apart.
constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
constexpr int kRShift = kLittleEndian ? 0 : 24;
constexpr int kGShift = kLittleEndian ? 8 : 16;
constexpr int kBShift = kLittleEndian ? 16 : 8;

inline uint32_t pixelAt(const uint8_t* row, int x) {
  uint32_t word;
  std::memcpy(&word, row + 4 * static_cast<ptrdiff_t>(x), sizeof word);
  return word;
}

VRAX_WIDE_LOOP void lumaRow(const uint8_t* __restrict row, int width, uint8_t* __restrict luma) {
  for (int x = 0; x < width; ++x) {
    const uint32_t p = pixelAt(row, x);
    const int r = static_cast<int>((p >> kRShift) & 0xff);
    const int g = static_cast<int>((p >> kGShift) & 0xff);
    const int b = static_cast<int>((p >> kBShift) & 0xff);
    luma[x] = static_cast<uint8_t>((kYR * r + kYG * g + kYB * b + kYOffset) >> kLumaShift);
  }
}

// Each pair of columns' sums: red and blue in one word (red in the low
// half; four rows weighted 1, 3, 3, 1 stay under 4096, so the halves never
// meet), green in another.
struct PairSums {
  std::vector<uint32_t> redBlue, green;
  explicit PairSums(int pairs) : redBlue(static_cast<size_t>(pairs)), green(static_cast<size_t>(pairs)) {}
};

VRAX_WIDE_LOOP void pairSums(const uint8_t* __restrict row, int pairs, uint32_t* __restrict redBlue,
                             uint32_t* __restrict green) {
  for (int k = 0; k < pairs; ++k) {
    const uint32_t a = pixelAt(row, 2 * k);
    const uint32_t b = pixelAt(row, 2 * k + 1);
    redBlue[k] = ((a >> kRShift) & 0xff) + ((b >> kRShift) & 0xff) +
                 ((((a >> kBShift) & 0xff) + ((b >> kBShift) & 0xff)) << 16);
    green[k] = ((a >> kGShift) & 0xff) + ((b >> kGShift) & 0xff);
  }
}

// Four rows' weighted sums, for one row of each chroma plane.
VRAX_WIDE_LOOP void chromaRow(const PairSums* const rows[4], int pairs, uint8_t* __restrict cb,
                              uint8_t* __restrict cr) {
  const uint32_t* __restrict rb0 = rows[0]->redBlue.data();
  const uint32_t* __restrict rb1 = rows[1]->redBlue.data();
  const uint32_t* __restrict rb2 = rows[2]->redBlue.data();
  const uint32_t* __restrict rb3 = rows[3]->redBlue.data();
  const uint32_t* __restrict g0 = rows[0]->green.data();
  const uint32_t* __restrict g1 = rows[1]->green.data();
  const uint32_t* __restrict g2 = rows[2]->green.data();
  const uint32_t* __restrict g3 = rows[3]->green.data();
  for (int k = 0; k < pairs; ++k) {
    const uint32_t rb = rb0[k] + 3 * (rb1[k] + rb2[k]) + rb3[k];
    const int r = static_cast<int>(rb & 0xffff);
    const int b = static_cast<int>(rb >> 16);
    const int g = static_cast<int>(g0[k] + 3 * (g1[k] + g2[k]) + g3[k]);
    cb[k] = static_cast<uint8_t>((kCbR * r + kCbG * g + kCbB * b + kCOffset) >> kChromaShift);
    cr[k] = static_cast<uint8_t>((kCrR * r + kCrG * g + kCrB * b + kCOffset) >> kChromaShift);
  }
}

}  // namespace

void rgbaToPlanes420(const uint8_t* rgba, int width, int height, uint8_t* out) {
  const int pairs = width / 2;
  const auto stride = static_cast<ptrdiff_t>(width) * 4;
  // Each row is read once, for its luma and its pairs' sums together while
  // it is in the cache; a picture is larger than the cache, so a second
  // pass would cost as much as the first. Four rows' sums are kept in a
  // ring: chroma row j needs rows 2j-1 … 2j+2.
  std::vector<PairSums> ring(4, PairSums(pairs));
  int next = 0;
  auto readUpTo = [&](int last) {
    for (; next <= last; ++next) {
      const uint8_t* row = rgba + static_cast<ptrdiff_t>(height - 1 - next) * stride;  // read bottom-up
      lumaRow(row, width, out + static_cast<ptrdiff_t>(next) * width);
      PairSums& slot = ring[static_cast<size_t>(next % 4)];
      pairSums(row, pairs, slot.redBlue.data(), slot.green.data());
    }
  };
  uint8_t* chroma = out + static_cast<ptrdiff_t>(width) * height;
  for (int j = 0; j < height / 2; ++j) {
    readUpTo(std::min(2 * j + 2, height - 1));
    const PairSums* rows[4];
    for (int i = 0; i < 4; ++i) {
      rows[i] = &ring[static_cast<size_t>(std::clamp(2 * j - 1 + i, 0, height - 1) % 4)];
    }
    uint8_t* line = chroma + static_cast<ptrdiff_t>(j) * width;
    chromaRow(rows, pairs, line, line + pairs);
  }
}
