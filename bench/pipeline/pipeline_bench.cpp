// The ReadScan line pipeline alone: a ring already full of raw lines (as
// the reader thread leaves it) is turned into the host's image by ReadScan
// in 64 KiB calls (compaction, colour assembly, the cut, the copy into the
// host's buffer). Each run also times, in the same iterations, a memcpy of
// the same output bytes into the same host buffer, and reports:
//   GB/s          output bytes per second of the pipeline (target: at least 1)
//   memcpy_GB/s   the same for the memcpy
//   ratio         pipeline time over memcpy time
//
// Times are processor time of the benchmark's process (std::clock), so that
// other work on a shared machine does not count against either side.
//
// Cases, all 600-dpi colour (line delay 4), on a ring of about 2 MiB:
//   full_width_24  the whole bed width, 5104 pixels: nothing to compact or
//                  cut (128 output lines per run)
//   full_width_48  the same at 48 bits, 16-bit samples byte-swapped (60 lines)
//   compact_cut_24 500 dpi across (a sixth of the sensor columns dropped),
//                  and a 4000-pixel area cut out of the 4253-pixel line

#include <benchmark/benchmark.h>

#include <ctime>
#include <cstring>
#include <vector>

#include "scan_support.h"

namespace {


constexpr uint32_t kHostChunk = 64 * 1024;

struct Case {
  uint8_t bits;
  uint32_t rawPixels;
  uint32_t devicePixels;
  uint32_t hostPixels;  // == devicePixels: no cut
  uint32_t hostOffset;  // pixels from the left of the device line
  uint32_t lines;       // output lines per run
};

class PipelineRun {
 public:
  explicit PipelineRun(const Case& c) {
    tq5test::PrivateRuntimeDirectory();
    if (!DriverProcessAttach()) std::abort();
    ZeroWorkingState(*sharedState);
    layout_.mode = 4;
    layout_.bits = c.bits;
    layout_.rawPixels = c.rawPixels;
    layout_.outPixels = c.devicePixels;
    layout_.delay = 4;
    layout_.extraLines = 0;
    layout_.imageLines = layout_.outLines = c.lines;
    scantest::ApplyLayout(layout_);
    SharedState& s = *sharedState;
    if (c.hostPixels != c.devicePixels) {
      s.widthEnlarged = 1;
      s.workingParameter.pixelsPerLine = static_cast<uint16_t>(c.hostPixels);
      s.workingParameter.left = static_cast<uint16_t>(c.hostOffset * 600 / 300);
      s.workingParameter.xResolution = s.deviceParameter.xResolution = 300;
      statusPixelsPerLine = static_cast<uint16_t>(c.hostPixels);
    }
    raw_ = scantest::RawImage(layout_);
    if (BuildScalingTables() != 0 || AllocateColourSlots(s.outBytesPerLine) != 0 || AllocateRingBuffer() != 0 ||
        s.ringCapacityBytes != raw_.size())
      std::abort();
    outputBytes_ = static_cast<uint32_t>(statusPixelsPerLine) * c.bits / 8 * layout_.outLines;
    host_.assign(outputBytes_, 0);
    source_.assign(outputBytes_, 0x3C);
  }
  ~PipelineRun() {
    sharedState->readerThread = 0;
    FreeRingBuffer();
    FreeColourSlots();
    FreeScalingTables();
    SetScanOwnedHere(false);
    DriverProcessDetach();
  }

  // The state a finished reader leaves: the ring full of the raw image.
  void Rearm() {
    SharedState& s = *sharedState;
    FreeColourSlots();
    AllocateColourSlots(s.outBytesPerLine);
    ResetReaderHandOver();
    s.rowCursor = s.rowTable;
    std::memcpy(s.ringBuffer, raw_.data(), raw_.size());
    ring.writeLine = 0;
    ring.filledLines = static_cast<int32_t>(s.ringCapacityLines);
    s.readerDone = 1;
    s.readerThread = 1;  // lines come from the ring; no thread is ever asked to stop
    SetScanOwnedHere(true);
  }

  bool ReadImage() {
    for (uint32_t at = 0; at < outputBytes_; at += kHostChunk) {
      const uint32_t n = std::min(kHostChunk, outputBytes_ - at);
      if (ReadScan(0, host_.data() + at, n) != 1) return false;
    }
    return true;
  }
  void CopyImage() {
    for (uint32_t at = 0; at < outputBytes_; at += kHostChunk)
      std::memcpy(host_.data() + at, source_.data() + at, std::min(kHostChunk, outputBytes_ - at));
  }

  uint32_t OutputBytes() const { return outputBytes_; }
  uint8_t* Host() { return host_.data(); }

 private:
  scantest::Layout layout_;
  std::vector<uint8_t> raw_, host_, source_;
  uint32_t outputBytes_ = 0;
};

void RunPipeline(benchmark::State& state, const Case& c) {
  PipelineRun run(c);
  double pipelineSeconds = 0, memcpySeconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    run.Rearm();
    state.ResumeTiming();
    const std::clock_t t0 = std::clock();
    if (!run.ReadImage()) {
      state.SkipWithError("ReadScan failed");
      break;
    }
    const std::clock_t t1 = std::clock();
    benchmark::DoNotOptimize(run.Host());
    run.CopyImage();
    const std::clock_t t2 = std::clock();
    benchmark::DoNotOptimize(run.Host());
    benchmark::ClobberMemory();
    pipelineSeconds += static_cast<double>(t1 - t0) / CLOCKS_PER_SEC;
    memcpySeconds += static_cast<double>(t2 - t1) / CLOCKS_PER_SEC;
  }
  const double bytes = static_cast<double>(run.OutputBytes()) * static_cast<double>(state.iterations());
  if (pipelineSeconds > 0 && memcpySeconds > 0) {
    state.counters["GB/s"] = bytes / pipelineSeconds / 1e9;
    state.counters["memcpy_GB/s"] = bytes / memcpySeconds / 1e9;
    state.counters["ratio"] = pipelineSeconds / memcpySeconds;
  }
}

}  // namespace

BENCHMARK_CAPTURE(RunPipeline, full_width_24, Case{24, 5104, 5104, 5104, 0, 128})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RunPipeline, full_width_48, Case{48, 5104, 5104, 5104, 0, 60})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RunPipeline, compact_cut_24, Case{24, 5104, 4253, 4000, 120, 128})->Unit(benchmark::kMillisecond);
