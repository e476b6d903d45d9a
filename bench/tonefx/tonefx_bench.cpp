// DoToneFx on a 600 x 900 colour prescan (1,620,000 bytes), positive and
// negative, beside the time to read the same image once (a sum over its
// bytes). Each DoToneFx run also reports, measured in the same run:
//   read_us  one pass of the read loop over the image
//   ratio    the DoToneFx call time over read_us (target: at most 10)

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "tq5/tonefx.h"

namespace {

constexpr uint32_t kWidth = 600;
constexpr uint32_t kHeight = 900;

// A film prescan: soft gradients per channel with a little noise, the
// colour cast of a negative's mask when negative.
std::vector<uint8_t> MakePrescan(bool negative) {
  std::vector<uint8_t> image(static_cast<size_t>(kWidth) * kHeight * 3);
  uint32_t seed = 12345;
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      seed = seed * 1664525u + 1013904223u;
      const uint32_t noise = seed >> 28;  // 0..15
      const uint32_t scene = (x * 160 / kWidth + y * 80 / kHeight + noise);  // 0..255
      uint8_t* p = &image[(static_cast<size_t>(y) * kWidth + x) * 3];
      if (negative) {
        p[0] = static_cast<uint8_t>(230 - scene * 110 / 255);
        p[1] = static_cast<uint8_t>(200 - scene * 130 / 255);
        p[2] = static_cast<uint8_t>(170 - scene * 130 / 255);
      } else {
        p[0] = static_cast<uint8_t>(std::min<uint32_t>(255, 20 + scene * 200 / 255));
        p[1] = static_cast<uint8_t>(std::min<uint32_t>(255, 15 + scene * 210 / 255));
        p[2] = static_cast<uint8_t>(std::min<uint32_t>(255, 10 + scene * 190 / 255));
      }
    }
  }
  return image;
}

ToneImageDescriptor Descriptor(bool negative) {
  ToneImageDescriptor d{};
  d.imageWidth = kWidth;
  d.imageHeight = kHeight;
  d.samplesPerPixel = 3;
  d.bitsPerSample = 8;
  d.xDpi = d.yDpi = 150;
  d.interleave = 1;
  d.negative = negative ? 1 : 0;
  d.imageBytesPerLine = kWidth * 3;
  return d;
}

// The driver's block: 1.0 everywhere, gain range 0.93 .. 9.0.
ToneParameterBlock DriverBlock() {
  ToneParameterBlock block{};
  for (uint32_t offset = 0; offset < 42; offset += 2) {
    block.bytes[offset] = 0x10;
    block.bytes[offset + 1] = 0x00;
  }
  block.bytes[12] = 0x0E;
  block.bytes[13] = 0xE1;
  block.bytes[14] = 0x90;
  block.bytes[15] = 0x00;
  return block;
}

uint64_t SumBytes(const std::vector<uint8_t>& image) {
  uint64_t sum = 0;
  for (uint8_t b : image) sum += b;
  return sum;
}

// Best of several passes of the read loop, in microseconds.
double ReadMicroseconds(const std::vector<uint8_t>& image) {
  double best = 1e30;
  for (int pass = 0; pass < 50; ++pass) {
    const auto start = std::chrono::steady_clock::now();
    uint64_t sum = SumBytes(image);
    benchmark::DoNotOptimize(sum);
    const auto end = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::micro>(end - start).count());
  }
  return best;
}

void BM_ReadImage(benchmark::State& state) {
  const std::vector<uint8_t> image = MakePrescan(state.range(0) != 0);
  for (auto _ : state) {
    uint64_t sum = SumBytes(image);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * image.size()));
}

void BM_DoToneFx(benchmark::State& state) {
  const bool negative = state.range(0) != 0;
  const std::vector<uint8_t> image = MakePrescan(negative);
  const ToneImageDescriptor descriptor = Descriptor(negative);
  uint16_t scanCurves[768];
  uint16_t prescanCurves[768];
  ToneParameterBlock block = DriverBlock();
  // The first call builds the library's tables; it is not what is measured.
  DoToneFx(image.data(), &descriptor, &block, scanCurves, prescanCurves, 1);

  double callMicroseconds = 1e30;
  for (auto _ : state) {
    block = DriverBlock();
    const auto start = std::chrono::steady_clock::now();
    const uint32_t result = DoToneFx(image.data(), &descriptor, &block, scanCurves, prescanCurves, 1);
    const auto end = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(result);
    benchmark::ClobberMemory();
    callMicroseconds = std::min(callMicroseconds, std::chrono::duration<double, std::micro>(end - start).count());
  }
  const double read = ReadMicroseconds(image);
  state.counters["call_us"] = callMicroseconds;
  state.counters["read_us"] = read;
  state.counters["ratio"] = callMicroseconds / read;
}

}  // namespace

BENCHMARK(BM_ReadImage)->ArgName("negative")->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DoToneFx)->ArgName("negative")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
