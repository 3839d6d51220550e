// A 1920x1080 picture's way to the encoder, on the CPU: RGBA rows as GL
// reads them made into 4:2:0 planes as they are read back, against the
// RGBA copy and libswscale's conversion the encoder made of it before.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "video/pictureLayout.h"
#include "video/planes.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

constexpr int kW = 1920;
constexpr int kH = 1080;

std::vector<uint8_t> picture() {
  std::mt19937 random(3);
  std::vector<uint8_t> rgba(static_cast<size_t>(kW) * kH * 4);
  for (auto& v : rgba) {
    v = static_cast<uint8_t>(random());
  }
  return rgba;
}

void BM_planesAsReadBack(benchmark::State& state) {
  const std::vector<uint8_t> rgba = picture();
  std::vector<uint8_t> out(pictureBytes(PictureLayout::Planes420, kW, kH));
  for (auto _ : state) {
    rgbaToPlanes420(rgba.data(), kW, kH, out.data());
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_planesAsReadBack)->Unit(benchmark::kMillisecond);

void BM_copyThenLibswscale(benchmark::State& state) {
  const std::vector<uint8_t> rgba = picture();
  std::vector<uint8_t> copy(rgba.size());
  SwsContext* sws = sws_getContext(kW, kH, AV_PIX_FMT_RGBA, kW, kH, AV_PIX_FMT_YUV420P, SWS_BILINEAR | SWS_ACCURATE_RND,
                                   nullptr, nullptr, nullptr);
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(sws, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
  std::vector<uint8_t> out(pictureBytes(PictureLayout::Planes420, kW, kH));
  uint8_t* planes[3] = {out.data(), out.data() + kW * kH, out.data() + kW * kH + kW / 4 * kH};
  const int strides[3] = {kW, kW / 2, kW / 2};
  for (auto _ : state) {
    std::memcpy(copy.data(), rgba.data(), rgba.size());
    const uint8_t* rows[1] = {copy.data() + static_cast<ptrdiff_t>(kH - 1) * kW * 4};
    const int rowStride[1] = {-kW * 4};
    sws_scale(sws, rows, rowStride, 0, kH, planes, strides);
    benchmark::DoNotOptimize(out.data());
  }
  sws_freeContext(sws);
}
BENCHMARK(BM_copyThenLibswscale)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
