// Controller memory transfers (selection registers, data port, range
// checks, read-back), the image data read with its fill-level polling and
// time limit, and the movable blocks.
#include <gtest/gtest.h>

#include <vector>

#include "driver_fixture.h"
#include "transport/controller_memory.h"
#include "wire.h"

using namespace tq5test;

using ControllerMemory = DriverOnScriptedDevice;

namespace {

std::vector<uint8_t> Pattern(size_t n, int seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + seed);
  return v;
}

std::vector<uint8_t> Concat(std::vector<uint8_t> head, const uint8_t* data, size_t n) {
  head.insert(head.end(), data, data + n);
  return head;
}

}  // namespace

TEST_F(ControllerMemory, RangeIsCheckedBeforeAnyTransfer) {
  struct Case {
    uint8_t bank, memory;
    uint16_t count, address;
    DriverError expected;
  };
  const Case cases[] = {
      {0, 2, 4096, 0, kErrNone},       // whole gamma memory
      {0, 2, 4096, 1, kErrBadLength},  // one past its end
      {2, 2, 1, 4095, kErrNone},       // its last byte
      {0, 0, 16384, 0, kErrNone},      // whole dark shading memory
      {1, 1, 16384, 0, kErrNone},      // whole white shading memory
      {0, 0, 0x8000, 0, kErrBadLength},
      {0, 1, 1, 16384, kErrBadLength},
      {0, 0, 0xFFFF, 0xFFFF, kErrBadLength},  // the sum must not wrap
      {3, 0, 1, 0, kErrBadLength},
      {0, 3, 1, 0, kErrBadLength},
      {255, 255, 1, 0, kErrBadLength},
  };
  std::vector<uint8_t> buffer(0x10000, 0x5A);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "bank " << int(c.bank) << " memory " << int(c.memory) << " count "
                                    << c.count << " address " << c.address);
    for (int direction = 0; direction < 3; ++direction) {
      device->ClearLog();
      DriverError result;
      if (direction == 0)
        result = WriteControllerMemory(c.bank, buffer.data(), c.memory, c.count, c.address);
      else if (direction == 1)
        result = ReadControllerMemory(c.bank, buffer.data(), c.memory, c.count, c.address);
      else
        result = VerifyControllerMemory(c.bank, buffer.data(), c.memory, c.count, c.address);
      if (c.expected != kErrNone) {
        EXPECT_EQ(result, c.expected);
        EXPECT_TRUE(device->Frames().empty());  // controller untouched
      } else if (direction < 2) {
        EXPECT_EQ(result, kErrNone);
        EXPECT_EQ(device->Ops().size(), 3u + (c.count + (direction == 0 ? 254u : 0xFFFEu)) /
                                                 (direction == 0 ? 255u : 0xFFFFu));
      }
    }
  }
}

TEST_F(ControllerMemory, WriteSelectsThenStreamsThroughPort06) {
  const auto data = Pattern(600, 1);
  auto& memory = device->Memory(2, 0);
  ASSERT_EQ(WriteControllerMemory(2, data.data(), 0, 600, 0x0102), 0u);
  const std::vector<RegisterOp> expected = {W(0x03, 0x08), W(0x04, 0x01), W(0x05, 0x02),
                                            StreamW(0x06, 255), StreamW(0x06, 255), StreamW(0x06, 90)};
  EXPECT_EQ(device->Ops(), expected);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), memory.begin() + 0x0102));
  EXPECT_EQ(memory[0x0101], 0);
  EXPECT_EQ(memory[0x0102 + 600], 0);

  // The data packets carry the header and the bytes as they are.
  const auto frames = device->Frames();
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_EQ(frames[0].payload, (std::vector<uint8_t>{0x00, 0x03, 0x00, 0x01, 0x08}));
  EXPECT_EQ(frames[3].payload, Concat({0x00, 0x06, 0x00, 0xFF}, data.data(), 255));
  EXPECT_EQ(frames[5].payload, Concat({0x00, 0x06, 0x00, 0x5A}, data.data() + 510, 90));
}

TEST_F(ControllerMemory, ReadSetsTheReadBitAndStreamsBack) {
  auto& memory = device->Memory(2, 1);
  const auto content = Pattern(16384, 7);
  memory = content;
  std::vector<uint8_t> buffer(100, 0xEE);
  ASSERT_EQ(ReadControllerMemory(2, buffer.data(), 1, 100, 0x1234), 0u);
  const std::vector<RegisterOp> expected = {W(0x03, 0x09), W(0x04, 0x52), W(0x05, 0x34), StreamR(0x06, 100)};
  EXPECT_EQ(device->Ops(), expected);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), content.begin() + 0x1234));
  const auto frames = device->Frames();
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[3].payload, (std::vector<uint8_t>{0x01, 0x06, 0x00, 0x64}));  // one header for 100 bytes
}

TEST_F(ControllerMemory, TransferErrorStopsTheSelection) {
  const auto data = Pattern(16, 0);
  device->FailAll(kWriteFrame, true);
  EXPECT_EQ(WriteControllerMemory(0, data.data(), 2, 16, 0), kErrTransferFailed);
  device->FailAll(kWriteFrame, false);
  // The failed write of register 0x03 was retried once after a reset; nothing followed it.
  for (const auto& op : device->Ops()) EXPECT_NE(op.reg, 0x04);
  EXPECT_TRUE(OpsOfType(device->Ops(), RegisterOp::StreamWrite).empty());
}

TEST_F(ControllerMemory, VerifyComparesEveryByte) {
  auto& memory = device->Memory(1, 2);
  const auto content = Pattern(4096, 3);
  memory = content;
  const int64_t blocksBefore = PlatTestBlocksInUse();
  EXPECT_EQ(VerifyControllerMemory(1, content.data(), 2, 4096, 0), 0u);
  EXPECT_EQ(VerifyControllerMemory(1, content.data() + 10, 2, 100, 10), 0u);
  // One byte different at the very end, then at the start.
  for (size_t at : {size_t{4095}, size_t{0}}) {
    auto expected = content;
    expected[at] ^= 0x01;
    EXPECT_EQ(VerifyControllerMemory(1, expected.data(), 2, 4096, 0), kErrMemoryMismatch) << at;
  }
  EXPECT_EQ(PlatTestBlocksInUse(), blocksBefore);
}

TEST_F(ControllerMemory, VerifyReportsNoMemoryAndReadErrors) {
  const auto content = Pattern(64, 0);
  const int64_t blocksBefore = PlatTestBlocksInUse();
  PlatTestFailAllocation(1);
  EXPECT_EQ(VerifyControllerMemory(0, content.data(), 2, 64, 0), kErrNoMemory);
  EXPECT_TRUE(device->Frames().empty());

  device->FailAll(kReadFrame, true);
  EXPECT_EQ(VerifyControllerMemory(0, content.data(), 2, 64, 0), kErrTransferFailed);
  device->FailAll(kReadFrame, false);
  EXPECT_EQ(PlatTestBlocksInUse(), blocksBefore);
}

TEST_F(ControllerMemory, PrepareMemoryAccessWritesTwoRegisters) {
  ASSERT_EQ(PrepareMemoryAccess(), 0u);
  EXPECT_EQ(device->Ops(), (std::vector<RegisterOp>{W(0x08, 0x04), W(0x09, 0x1A)}));
  device->ClearLog();
  device->FailAll(kWriteFrame, true);
  EXPECT_EQ(PrepareMemoryAccess(), kErrTransferFailed);
  device->FailAll(kWriteFrame, false);
  for (const auto& op : device->Ops()) EXPECT_NE(op.reg, 0x09);
}

TEST_F(ControllerMemory, BlocksAreCountedAndNullIsFine) {
  const int64_t before = PlatTestBlocksInUse();
  void* block = AllocBlock(32768);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(PlatTestBlocksInUse(), before + 1);
  FreeBlock(block);
  FreeBlock(nullptr);
  EXPECT_EQ(PlatTestBlocksInUse(), before);
  PlatTestFailAllocation(1);
  EXPECT_EQ(AllocBlock(16), nullptr);
  void* next = AllocBlock(16);
  EXPECT_NE(next, nullptr);
  FreeBlock(next);
}

// Image data: the fill level (register 0x01) in 2048-byte blocks, read back
// to back with 64 ms pauses while it is 0.
class ImageData : public DriverOnScriptedDevice {
 protected:
  // Fill levels reported by successive reads of register 0x01; the last one
  // repeats. Each read also notes the virtual time.
  void ScriptLevels(std::vector<uint8_t> levels) {
    levels_ = std::move(levels);
    device->onReadRegister = [this](uint8_t reg, uint8_t stored) -> uint8_t {
      if (reg != 0x01) return stored;
      readTimes_.push_back(PlatClockNow());
      const size_t at = next_ < levels_.size() ? next_++ : levels_.size() - 1;
      return levels_[at];
    };
    uint8_t counter = 0;
    device->onImageRead = [counter](uint8_t* out, uint32_t count) mutable {
      for (uint32_t i = 0; i < count; ++i) out[i] = counter++;
    };
  }
  std::vector<uint8_t> levels_;
  size_t next_ = 0;
  std::vector<uint64_t> readTimes_;
};

TEST_F(ImageData, ReadsWhatIsReadyAndWaitsWhileNothingIs) {
  ScriptLevels({1, 0, 0, 3});
  std::vector<uint8_t> buffer(5000 + 8, 0xEE);
  ASSERT_EQ(ReadImageData(buffer.data(), 5000), 0u);
  const auto ops = device->Ops();
  const std::vector<RegisterOp> expected = {R(0x01, 1), StreamR(0x00, 2048), R(0x01, 0), R(0x01, 0), R(0x01, 3),
                                            StreamR(0x00, 2952)};
  EXPECT_EQ(ops, expected);
  for (size_t i = 0; i < 5000; ++i) ASSERT_EQ(buffer[i], static_cast<uint8_t>(i)) << i;
  EXPECT_EQ(buffer[5000], 0xEE);  // nothing past the count
  // 64 ms between the empty polls.
  ASSERT_EQ(readTimes_.size(), 4u);
  EXPECT_GE(readTimes_[2] - readTimes_[1], 64u);
  EXPECT_LT(readTimes_[2] - readTimes_[1], 70u);
  EXPECT_GE(readTimes_[3] - readTimes_[2], 64u);
  EXPECT_LT(readTimes_[1] - readTimes_[0], 8u);  // no pause after data
}

TEST_F(ImageData, StartsAfterA32msPause) {
  ScriptLevels({1});
  const uint64_t start = PlatClockNow();
  std::vector<uint8_t> buffer(10);
  ASSERT_EQ(ReadImageData(buffer.data(), 10), 0u);
  ASSERT_EQ(readTimes_.size(), 1u);
  EXPECT_GE(readTimes_[0] - start, 32u);
  EXPECT_LT(readTimes_[0] - start, 40u);
  EXPECT_EQ(device->Ops().back(), StreamR(0x00, 10));
}

TEST_F(ImageData, LargeLevelsAreReadInChunksOfOneHeader) {
  ScriptLevels({255});
  std::vector<uint8_t> buffer(255 * 2048);
  ASSERT_EQ(ReadImageData(buffer.data(), 255 * 2048), 0u);
  const auto reads = OpsOfType(device->Ops(), RegisterOp::StreamRead);
  ASSERT_EQ(reads.size(), 8u);  // 522240 bytes: seven full chunks of 65535 and the rest
  EXPECT_EQ(reads.front().value, 0xFFFFu);
  EXPECT_EQ(reads.back().value, 522240u - 7 * 0xFFFF);
  EXPECT_EQ(OpsOfType(device->Ops(), RegisterOp::Read).size(), 1u);
}

TEST_F(ImageData, TimesOutAfter25sWithoutABlock) {
  ScriptLevels({0});
  const uint64_t start = PlatClockNow();
  std::vector<uint8_t> buffer(16);
  EXPECT_EQ(ReadImageData(buffer.data(), 16), kErrDataTimeout);
  const uint64_t waited = PlatClockNow() - start;
  EXPECT_GT(waited, 25000u + 32);
  EXPECT_LT(waited, 25000u + 32 + 100);
  EXPECT_TRUE(OpsOfType(device->Ops(), RegisterOp::StreamRead).empty());
}

TEST_F(ImageData, ABlockRestartsTheTimeLimit) {
  // Nothing for 20 s, one block, then nothing again: the limit counts from
  // the block, so the read gives up about 45 s after it began.
  const uint64_t start = PlatClockNow();
  bool delivered = false;
  device->onReadRegister = [&](uint8_t reg, uint8_t stored) -> uint8_t {
    if (reg != 0x01) return stored;
    if (!delivered && PlatClockNow() - start >= 20000) {
      delivered = true;
      return 1;
    }
    return 0;
  };
  std::vector<uint8_t> buffer(4096);
  EXPECT_EQ(ReadImageData(buffer.data(), 4096), kErrDataTimeout);
  EXPECT_TRUE(delivered);
  const uint64_t waited = PlatClockNow() - start;
  EXPECT_GT(waited, 45000u);
  EXPECT_LT(waited, 45000u + 200);
  EXPECT_EQ(OpsOfType(device->Ops(), RegisterOp::StreamRead), (std::vector<RegisterOp>{StreamR(0x00, 2048)}));
}

TEST_F(ImageData, TransportErrorsEndTheRead) {
  ScriptLevels({1});
  device->FailAll(kReadFrame, true);
  std::vector<uint8_t> buffer(16);
  EXPECT_EQ(ReadImageData(buffer.data(), 16), kErrTransferFailed);
  device->FailAll(kReadFrame, false);

  // A failed data read after a good level read is reported at once.
  device->ClearLog();
  const int reads = device->CallCount(kReadFrame);
  device->FailCall(kReadFrame, reads + 2);  // the level read succeeds, the data read fails
  EXPECT_EQ(ReadImageData(buffer.data(), 16), kErrTransferFailed);
  EXPECT_EQ(OpsOfType(device->Ops(), RegisterOp::Read).size(), 1u);

  // Zero bytes: nothing is polled.
  device->ClearLog();
  EXPECT_EQ(ReadImageData(buffer.data(), 0), 0u);
  EXPECT_TRUE(device->Frames().empty());
}
