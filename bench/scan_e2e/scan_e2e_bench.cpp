// A whole flatbed scan at 600 dpi in colour, read through the exports from
// the virtual scanner daemon (tq5sim) serving a device node in another
// process, beside copying the same number of raw bytes through a local
// stream in the same run. Also reports the scanning process's peak resident
// memory: the image is streamed through the host buffer, never held.
//
// The daemon and the driver run on one clock sped up TQ5_BENCH_SPEED times
// (default 100: the driver's 25 s data limit is then 250 ms of real time), so the scanner's motor is not what is measured.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "platform.h"
#include "process_helpers.h"
#include "scripted_device.h"

namespace {

double Speed() {
  const char* text = std::getenv("TQ5_BENCH_SPEED");
  return text != nullptr ? std::atof(text) : 100.0;
}

// Peak resident set of this process in MiB (VmHWM).
double PeakResidentMiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      double kib = 0;
      status >> kib;
      return kib / 1024.0;
    }
    std::getline(status, key);
  }
  return 0;
}

struct Daemon {
  tq5test::ChildProcess process;
  std::string device;
  Daemon() {
    tq5test::PrivateRuntimeDirectory();
    device = tq5test::UniqueSocketPath("bench-scanner");
    process = tq5test::StartChild(TQ5SIM, {"--device", device, "--speed", std::to_string(Speed())});
    tq5test::ReadChildLine(process);  // "tq5sim: serving ..."
  }
  ~Daemon() {
    tq5test::KillChild(process);
    tq5test::WaitChild(process);
  }
};

ScanParameter FullBedColour600() {
  ScanParameter p{};
  p.xResolution = 600;
  p.yResolution = 600;
  p.width = 5104;
  p.height = 7016;
  p.scanMode = 4;
  p.bitsPerPixel = 24;
  p.monoChannel = 2;
  return p;
}

void WholeScanThroughTheDeviceNode(benchmark::State& state) {
  PlatClockUseReal(Speed());
  Daemon daemon;
  if (!DriverProcessAttach() || FindScannerEx(daemon.device.c_str()) != 1) {
    state.SkipWithError("no device");
    return;
  }
  // The scanner is initialized once; the scans are what is measured.
  int tries = 0;
  while (InitializeScanner() != 1 && ++tries < 3) PlatSleep(10000);
  ScanParameter parameter = FullBedColour600();
  std::vector<uint8_t> chunk(1 << 20);
  uint64_t imageBytes = 0, rawBytes = 0;
  for (auto _ : state) {
    DataStatus status{};
    if (SetScanParameter(&parameter) != 1 || GetDataStatus(&status) != 1 || StartScan() != 1) {
      state.SkipWithError("scan did not start");
      break;
    }
    rawBytes = sharedState->rawTotalBytes;
    uint64_t left = status.totalBytes;
    while (left > 0) {
      const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(left, chunk.size()));
      if (ReadScan(0, chunk.data(), n) != 1) {
        uint8_t code = 0;
        GetScannerStatus(&code);
        static std::string message;
        message = "ReadScan failed with " + std::to_string(code);
        state.SkipWithError(message.c_str());
        break;
      }
      left -= n;
    }
    StopScan();
    imageBytes = status.totalBytes;
  }
  state.SetBytesProcessed(static_cast<int64_t>(imageBytes * state.iterations()));
  state.counters["raw_MB"] = static_cast<double>(rawBytes) / 1e6;
  state.counters["peak_RSS_MiB"] = PeakResidentMiB();
  TerminateDriver();
  DriverProcessDetach();
  PlatClockUseReal(1);
}

// The baseline: the same raw byte count through a local stream, written by
// another thread in the device's 64 KiB stream reads.
void SameRawBytesThroughALocalStream(benchmark::State& state) {
  tq5test::PrivateRuntimeDirectory();
  const std::string path = tq5test::UniqueSocketPath("bench-pair");
  PlatListener* listener = PlatListen(path.c_str());
  // 600-dpi colour, whole bed: raw lines of 5104 x 3 + 2 bytes, plus lead-in
  // and colour delay lines.
  const uint64_t total = static_cast<uint64_t>(5104 * 3 + 2) * (7016 + 8 + 8 + 24);
  std::vector<uint8_t> block(65535, 0x5A), sink(65535);
  for (auto _ : state) {
    std::thread writer([&] {
      PlatStream* out = PlatConnect(path.c_str());
      for (uint64_t left = total; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
        PlatStreamWriteAll(out, block.data(), n);
        left -= n;
      }
      PlatStreamClose(out);
    });
    PlatStream* in = PlatAccept(listener, kPlatWaitForever);
    for (uint64_t got = 0; got < total;) {
      const size_t n = PlatStreamReadSome(in, sink.data(), sink.size(), kPlatWaitForever);
      if (n == 0) break;
      got += n;
    }
    PlatStreamClose(in);
    writer.join();
  }
  state.SetBytesProcessed(static_cast<int64_t>(total * state.iterations()));
  PlatListenerClose(listener);
}

}  // namespace

BENCHMARK(WholeScanThroughTheDeviceNode)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(SameRawBytesThroughALocalStream)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
