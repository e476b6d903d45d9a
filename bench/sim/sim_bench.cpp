// Raw scan data from the virtual scanner: a calibrated 600-dpi colour scan of
// the test chart across the full bed width (5100 pixels, 15302 bytes a line),
// read from the image memory as the driver's reader does, against a plain
// memcpy of the same number of bytes in the same run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "platform.h"
#include "virtual_scanner.h"

namespace {

constexpr int kPixels = 5100;
constexpr uint32_t kLineBytes = kPixels * 3 + 2;

struct ScanRig {
  tq5sim::VirtualScanner scanner;
  tq5sim::Device& device = scanner.device();

  void Write16(uint8_t reg, uint16_t v) {
    device.WriteRegister(reg, static_cast<uint8_t>(v >> 8));
    device.WriteRegister(static_cast<uint8_t>(reg + 1), static_cast<uint8_t>(v));
  }
  void Memory(int bank, int memory, const std::vector<uint8_t>& bytes) {
    device.WriteRegister(0x03, static_cast<uint8_t>(bank * 4 + memory));
    device.WriteRegister(0x04, 0);
    device.WriteRegister(0x05, 0);
    for (uint8_t b : bytes) device.WriteRegister(0x06, b);
  }
  ScanRig() {
    // What the driver leaves before a 600-dpi colour scan: lamp on, motor
    // enabled, shading tables and identity gamma loaded.
    device.WriteRegister(0x5B, 0x19);
    device.WriteRegister(0x45, 0x13);
    Write16(0x2A, 0x0FFF);
    device.WriteRegister(0x08, 10);
    device.WriteRegister(0x09, 0x18);
    device.WriteRegister(0x26, 0x00);
    for (int c = 0; c < 3; ++c) {
      device.WriteRegister(static_cast<uint8_t>(0x38 + c), 0x30);
      device.WriteRegister(static_cast<uint8_t>(0x3B + c), 0x01);
    }
    device.WriteRegister(0x42, 0x26);
    Write16(0x20, 0x1540);
    device.WriteRegister(0x0D, 0x2F);
    device.WriteRegister(0x0E, 0x13);
    Write16(0x46, 2724);
    Write16(0x22, 188);
    Write16(0x24, 188 + kPixels);
    std::vector<uint8_t> dark(2 * kPixels), white(2 * kPixels), gamma(4096);
    for (int i = 0; i < kPixels; ++i) {
      dark[2 * i] = 0x03;  // 800
      dark[2 * i + 1] = 0x20;
      white[2 * i] = 0x4E;  // about 20000
      white[2 * i + 1] = 0x20;
    }
    for (int k = 0; k < 4096; ++k) gamma[k] = static_cast<uint8_t>(k / 16);
    for (int c = 0; c < 3; ++c) {
      Memory(c, 0, dark);
      Memory(c, 1, white);
      Memory(c, 2, gamma);
    }
    Restart();
  }
  void Restart() {
    device.WriteRegister(0x07, 0x00);
    device.WriteRegister(0x07, 0x02);
    PlatClockAdvance(10000);
    Write16(0x4A, 100);
    device.WriteRegister(0x07, 0x03);
    PlatClockAdvance(200);
  }
  // Lets the scan run for `ms` and reads everything it produced.
  uint32_t Run(uint32_t ms, std::vector<uint8_t>& buffer) {
    PlatClockAdvance(ms);
    const uint32_t ready = device.State().unreadBytes;
    if (ready > buffer.size()) buffer.resize(ready);
    if (!device.ReadImage(buffer.data(), ready)) return 0;
    if (device.State().finished && ready == 0) Restart();
    return ready;
  }
};

void BM_RawScan600Colour(benchmark::State& state) {
  PlatClockUseVirtual(1000000, 0);
  ScanRig rig;
  std::vector<uint8_t> buffer(tq5sim::layout::kImageMemoryBytes);
  int64_t bytes = 0;
  for (auto _ : state) {
    bytes += rig.Run(98, buffer);  // 18 lines
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(bytes);
  state.counters["lines"] = static_cast<double>(bytes) / kLineBytes;
  PlatClockUseReal();
}
BENCHMARK(BM_RawScan600Colour)->Unit(benchmark::kMicrosecond);

// The same bytes per iteration, copied with memcpy from a buffer the size of
// the controller's image memory.
void BM_MemcpySameBytes(benchmark::State& state) {
  const uint32_t n = 18 * kLineBytes;
  std::vector<uint8_t> source(tq5sim::layout::kImageMemoryBytes, 0x5A), target(tq5sim::layout::kImageMemoryBytes);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), n);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}
BENCHMARK(BM_MemcpySameBytes)->Unit(benchmark::kMicrosecond);

// The same scan through the register protocol (headers and 64 KiB stream
// reads, as the driver's reader asks), without sockets.
void BM_RawScan600ColourThroughProtocol(benchmark::State& state) {
  PlatClockUseVirtual(1000000, 0);
  ScanRig rig;
  tq5sim::VirtualScanner::Session session(rig.scanner);
  std::vector<uint8_t> data;
  int64_t bytes = 0;
  for (auto _ : state) {
    PlatClockAdvance(98);
    uint8_t level = 0;
    session.ReadRegister(0x01, &level);
    if (level == 0) {
      if (rig.device.State().finished) rig.Restart();
      continue;
    }
    session.ReadStream(0x00, level * 2048u, &data);
    bytes += static_cast<int64_t>(data.size());
  }
  state.SetBytesProcessed(bytes);
  PlatClockUseReal();
}
BENCHMARK(BM_RawScan600ColourThroughProtocol)->Unit(benchmark::kMicrosecond);

}  // namespace
