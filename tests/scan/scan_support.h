// Test support for the scan engine: a scan layout written straight into the
// shared state (so the line pipeline can be tested without the geometry
// code), a recognisable raw image, the reference of what the pipeline must
// make of it, a fixture that puts raw lines straight into the ring, and a
// scanning device model on the scripted device.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "controller/register_image.h"
#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "platform.h"
#include "scan/read_scan.h"
#include "scan/reader.h"
#include "scan/scan_parameters.h"
#include "scan/scan_start.h"
#include "scripted_device.h"

namespace scantest {

// A scan as the device delivers it and as the host receives it.
struct Layout {
  uint8_t mode = 2;             // scanMode
  uint8_t bits = 8;             // bits per pixel
  uint32_t rawPixels = 100;     // pixels per raw line
  uint32_t outPixels = 100;     // pixels per compacted device line
  uint32_t pad = 2;             // pad bytes per raw line
  uint32_t imageLines = 20;     // raw lines that carry image lines
  uint32_t outLines = 20;       // output lines selected from them
  uint8_t delay = 0;            // colour line delay
  uint16_t extraLines = 3;      // lead-in lines
  uint32_t ringBufferSize = 0x200000;
  uint16_t bottomEdge = 1000;

  uint32_t RawBytesPerLine() const { return rawPixels * bits / 8 + pad; }
  uint32_t RawLineCount() const { return imageLines + 2u * delay + extraLines; }
  uint32_t OutBytesPerLine() const { return outPixels * bits / 8; }
};

// A layout of `pixels` per line (none dropped) and `lines` image lines (all
// selected).
inline Layout MakeLayout(uint8_t mode, uint8_t bits, uint32_t pixels, uint32_t lines, uint8_t delay = 0,
                         uint16_t extraLines = 0) {
  Layout l;
  l.mode = mode;
  l.bits = bits;
  l.rawPixels = l.outPixels = pixels;
  l.imageLines = l.outLines = lines;
  l.delay = delay;
  l.extraLines = extraLines;
  return l;
}

// Writes the layout into the shared state, as the geometry would, with the
// host's area equal to the device's (no cut, no skip) and GetDataStatus
// announcing outLines lines of outPixels.
inline void ApplyLayout(const Layout& l) {
  SharedState& s = *sharedState;
  s.scanMode = l.mode;
  s.scanSource = 0;
  s.scanBits = l.bits;
  s.firstLineDelay = s.secondLineDelay = l.delay;
  s.extraLines = l.extraLines;
  s.padBytes = static_cast<uint16_t>(l.pad);
  s.rawBytesPerLine = static_cast<uint16_t>(l.RawBytesPerLine());
  s.rawLineCount = static_cast<uint16_t>(l.RawLineCount());
  s.rawTotalBytes = s.rawBytesPerLine * s.rawLineCount;
  s.rawBytesRemaining = s.rawTotalBytes;
  s.outBytesPerLine = static_cast<uint16_t>(l.OutBytesPerLine());
  s.outLineCount = static_cast<uint16_t>(l.outLines);
  s.outTotalBytes = s.outBytesPerLine * s.outLineCount;
  s.ringBufferSize = l.ringBufferSize;
  s.ringLineSlots = static_cast<uint16_t>(2 * l.delay + 2);
  s.bottomEdge = l.bottomEdge;
  s.opticalXResolution = 300;
  s.widthEnlarged = s.heightEnlarged = 0;
  ScanParameter p{};
  p.xResolution = p.yResolution = 300;
  p.pixelsPerLine = static_cast<uint16_t>(l.outPixels);
  p.lineCount = static_cast<uint16_t>(l.outLines);
  p.scanMode = l.mode;
  p.bitsPerPixel = l.bits;
  s.requestedParameter = s.workingParameter = s.deviceParameter = p;
  statusPixelsPerLine = static_cast<uint16_t>(l.outPixels);
  statusLineCount = static_cast<uint16_t>(l.outLines);
}

// A byte of raw line r at position j that tells both apart.
inline uint8_t RawByte(uint32_t r, uint32_t j) { return static_cast<uint8_t>(r * 37u + j * 11u + (j >> 8) * 5u + 1u); }

inline std::vector<uint8_t> RawImage(const Layout& l) {
  const uint32_t lineBytes = l.RawBytesPerLine(), lines = l.RawLineCount();
  std::vector<uint8_t> raw(static_cast<size_t>(lineBytes) * lines);
  for (uint32_t r = 0; r < lines; ++r)
    for (uint32_t j = 0; j < lineBytes; ++j) raw[static_cast<size_t>(r) * lineBytes + j] = RawByte(r, j);
  return raw;
}

// What the host must receive for a layout without dropped columns or lines:
// image line k is raw line extraLines + k; in colour, channel c of it comes
// from raw line extraLines + k + c x delay. 16-bit samples arrive high byte
// first and leave low byte first.
inline std::vector<uint8_t> ExpectedImage(const Layout& l) {
  const uint32_t outBytes = l.OutBytesPerLine(), lineBytes = l.RawBytesPerLine();
  const uint32_t sampleBytes = l.bits == 16 || l.bits == 48 ? 2 : 1;
  const uint32_t channels = l.mode == 4 ? 3 : 1;
  std::vector<uint8_t> image(static_cast<size_t>(outBytes) * l.outLines);
  for (uint32_t k = 0; k < l.outLines; ++k) {
    for (uint32_t j = 0; j < outBytes; ++j) {
      const uint32_t channel = (j / sampleBytes) % channels;
      const uint32_t r = l.extraLines + k + channel * l.delay;
      uint32_t source = j;
      if (sampleBytes == 2) source = j ^ 1u;
      (void)lineBytes;
      image[static_cast<size_t>(k) * outBytes + j] = RawByte(r, source);
    }
  }
  return image;
}

// Any nonzero handle makes the line sources take lines from the ring; the
// tests on a full ring never let StopReader see it.
inline constexpr uintptr_t kRingOnlyThread = 1;

// The driver attached with a clean working state and no device, for the
// line pipeline on a ring that is filled here, without a reader thread.
// TearDown frees every buffer of the scan and checks that none is left.
class OnFullRing : public ::testing::Test {
 protected:
  void SetUp() override {
    tq5test::PrivateRuntimeDirectory();
    PlatClockUseVirtual(1'000'000, 1);
    ASSERT_TRUE(DriverProcessAttach());
    ZeroWorkingState(*sharedState);
    blocksBefore = PlatTestBlocksInUse();
    lastError = 0;
  }
  void TearDown() override {
    SharedState& s = *sharedState;
    s.readerThread = 0;
    FreeRingBuffer();
    FreeColourSlots();
    FreeScalingTables();
    SetScanOwnedHere(false);
    EXPECT_EQ(PlatTestBlocksInUse(), blocksBefore) << "a buffer of the scan was not freed";
    DriverProcessDetach();
    PlatClockUseReal(1.0);
  }

  // Builds the tables and buffers of the scan the shared state describes and
  // puts the whole raw image into the ring, as a reader that has finished
  // would leave it.
  static void StartOnFullRing(const Layout& layout, const std::vector<uint8_t>& raw) {
    SharedState& s = *sharedState;
    ASSERT_EQ(BuildScalingTables(), 0u);
    if (layout.mode == kScanModeColour) {
      ASSERT_EQ(AllocateColourSlots(s.outBytesPerLine), 0u);
    }
    ASSERT_EQ(AllocateRingBuffer(), 0u);
    ASSERT_EQ(s.ringCapacityBytes, raw.size()) << "the test image must fit the ring";
    ResetReaderHandOver();
    std::memcpy(s.ringBuffer, raw.data(), raw.size());
    ring.writeLine = 0;
    ring.filledLines = static_cast<int32_t>(s.ringCapacityLines);
    s.readerDone = 1;
    s.readerThread = kRingOnlyThread;
    SetScanOwnedHere(true);
  }

  int64_t blocksBefore = 0;
};

// The scanning controller as the reader sees it: register 0x01 reports the
// blocks of image data waiting, register 0x03 bit 4 the finished motor, port
// 0x00 hands out the raw image in order.
class ScanningDevice {
 public:
  struct Options {
    uint32_t maxLevel = 255;          // most blocks reported at once
    uint32_t deliverLimit = UINT32_MAX;  // bytes produced at most (then the data stop)
    bool zeroLevelAfterStop = false;  // report no blocks once command 0 has stopped the motor
    int blockOnImageRead = 0;         // the nth image read waits until Release()
  };

  ScanningDevice(tq5test::ScriptedDevice& device, std::vector<uint8_t> raw, Options options)
      : device_(device), raw_(std::move(raw)), options_(options) {
    device_.onReadRegister = [this](uint8_t reg, uint8_t stored) { return OnRead(reg, stored); };
    device_.onWriteRegister = [this](uint8_t reg, uint8_t value) {
      if (reg == 0x07 && value == 0x00 && sent_ > 0) stopped_ = true;
      if (reg == 0x07 && value == 0x02) homeCommands_++;
    };
    device_.onImageRead = [this](uint8_t* out, uint32_t count) { OnImage(out, count); };
  }
  // The hooks are replaced only while no call runs in them: a blocked image
  // read is released and left first.
  ~ScanningDevice() {
    Release();
    WaitUntilIdle();
    device_.onReadRegister = nullptr;
    device_.onWriteRegister = nullptr;
    device_.onImageRead = nullptr;
  }
  void WaitUntilIdle() const {
    while (inImageRead_.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    wake_.notify_all();
  }
  uint32_t Sent() const { return sent_; }
  int HomeCommands() const { return homeCommands_; }
  bool Blocked() const { return blocked_; }
  // Bytes the reader asked for while the motor was stopped.
  uint32_t SentAfterStop() const { return sentAfterStop_; }

 private:
  uint32_t Available() const {
    const uint32_t produced = std::min<uint32_t>(static_cast<uint32_t>(raw_.size()), options_.deliverLimit);
    return produced - std::min(produced, sent_.load());
  }
  uint8_t OnRead(uint8_t reg, uint8_t stored) {
    if (reg == 0x01) {
      if (stopped_ && options_.zeroLevelAfterStop) return 0;
      const uint32_t available = Available();
      const bool allProduced = options_.deliverLimit >= raw_.size();
      uint32_t blocks = allProduced ? (available + 2047) / 2048 : available / 2048;
      return static_cast<uint8_t>(std::min(blocks, options_.maxLevel));
    }
    if (reg == 0x03) return options_.deliverLimit >= raw_.size() ? 0x10 : 0x00;
    return stored;
  }
  void OnImage(uint8_t* out, uint32_t count) {
    ++inImageRead_;
    if (++imageReads_ == options_.blockOnImageRead) {
      std::unique_lock<std::mutex> lock(mutex_);
      blocked_ = true;
      wake_.wait(lock, [this] { return released_; });
    }
    const uint32_t from = sent_;
    for (uint32_t i = 0; i < count; ++i) out[i] = from + i < raw_.size() ? raw_[from + i] : 0xEE;
    if (stopped_) sentAfterStop_ += count;
    sent_ += count;
    --inImageRead_;
  }

  tq5test::ScriptedDevice& device_;
  std::vector<uint8_t> raw_;
  Options options_;
  std::atomic<uint32_t> sent_{0};
  std::atomic<uint32_t> sentAfterStop_{0};
  std::atomic<bool> stopped_{false};
  std::atomic<int> homeCommands_{0};
  std::atomic<int> imageReads_{0};
  std::atomic<bool> blocked_{false};
  std::atomic<int> inImageRead_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool released_ = false;
};

// Waits (real time, bounded) until `done` holds; the reader runs on the
// platform clock meanwhile.
template <class Predicate>
bool WaitUntil(Predicate done, int seconds = 30) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline bool ReaderDone() { return std::atomic_ref<int32_t>(sharedState->readerDone).load() != 0; }

}  // namespace scantest
