// Wire-level tests of the register protocol: the exact bytes of every
// packet, stream chunking, the reset-and-retry rule, and bad devices.
#include <gtest/gtest.h>

#include <vector>

#include "driver_fixture.h"
#include "transport/transport.h"

using tq5test::FailMode;
using tq5test::Frame;
using tq5test::RegisterOp;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> v;
  for (int b : list) v.push_back(static_cast<uint8_t>(b));
  return v;
}

std::vector<Frame> FramesOfKind(const std::vector<Frame>& frames, uint8_t kind) {
  std::vector<Frame> out;
  for (const auto& f : frames)
    if (f.kind == kind) out.push_back(f);
  return out;
}

uint32_t Le32(const std::vector<uint8_t>& p, size_t at = 0) {
  return p[at] | p[at + 1] << 8 | p[at + 2] << 16 | static_cast<uint32_t>(p[at + 3]) << 24;
}

}  // namespace

using Transport = DriverOnScriptedDevice;

TEST_F(Transport, SingleRegisterPacketsAreExact) {
  ASSERT_EQ(WriteRegister(0x07, 0x03), 0u);
  device->SetRegister(0x02, 0x11);
  uint8_t value = 0;
  ASSERT_EQ(ReadRegister(0x02, &value), 0u);
  EXPECT_EQ(value, 0x11);

  const auto frames = device->Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].kind, tq5test::kWriteFrame);
  EXPECT_EQ(frames[0].payload, Bytes({0x00, 0x07, 0x00, 0x01, 0x03}));
  EXPECT_EQ(frames[1].kind, tq5test::kWriteFrame);
  EXPECT_EQ(frames[1].payload, Bytes({0x01, 0x02, 0x00, 0x01}));
  EXPECT_EQ(frames[2].kind, tq5test::kReadFrame);
  EXPECT_EQ(frames[2].payload, Bytes({0x01, 0x00, 0x00, 0x00}));
}

TEST_F(Transport, StreamsAreChunked) {
  struct Case {
    bool write;
    uint32_t count;
    std::vector<uint32_t> chunks;
  };
  const Case cases[] = {
      {false, 0x10000, {0xFFFF, 1}},
      {false, 0xFFFF, {0xFFFF}},
      {false, 1, {1}},
      {true, 600, {255, 255, 90}},
      {true, 255, {255}},
      {true, 256, {255, 1}},
      {true, 32768, std::vector<uint32_t>(128, 255)},
  };
  std::vector<uint8_t> buffer(0x10000 + 16);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 7);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.write ? "write " : "read ") << c.count);
    device->ClearLog();
    std::vector<uint32_t> expected = c.chunks;
    if (c.count == 32768) expected.push_back(32768 - 128 * 255);
    if (c.write) {
      ASSERT_EQ(WriteRegisterStream(0x06, buffer.data(), c.count), 0u);
      const auto writes = FramesOfKind(device->Frames(), tq5test::kWriteFrame);
      ASSERT_EQ(writes.size(), expected.size());
      uint32_t offset = 0;
      for (size_t k = 0; k < writes.size(); ++k) {
        const auto& p = writes[k].payload;
        ASSERT_EQ(p.size(), 4 + expected[k]);
        EXPECT_EQ(p[0], 0x00);
        EXPECT_EQ(p[1], 0x06);
        EXPECT_EQ(p[2], 0x00);
        EXPECT_EQ(p[3], expected[k]);
        EXPECT_TRUE(std::equal(p.begin() + 4, p.end(), buffer.begin() + offset));
        offset += expected[k];
      }
    } else {
      ASSERT_EQ(ReadRegisterStream(0x00, buffer.data(), c.count), 0u);
      const auto frames = device->Frames();
      ASSERT_EQ(frames.size(), 2 * expected.size());
      for (size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(frames[2 * k].payload,
                  Bytes({0x01, 0x00, static_cast<int>(expected[k] >> 8), static_cast<int>(expected[k] & 0xFF)}));
        EXPECT_EQ(frames[2 * k + 1].kind, tq5test::kReadFrame);
        EXPECT_EQ(Le32(frames[2 * k + 1].payload), expected[k]);
      }
    }
  }
}

TEST_F(Transport, ZeroCountStreamsDoNothing) {
  uint8_t b = 0;
  EXPECT_EQ(WriteRegisterStream(0x06, &b, 0), 0u);
  EXPECT_EQ(ReadRegisterStream(0x06, &b, 0), 0u);
  EXPECT_TRUE(device->Frames().empty());
}

TEST_F(Transport, FailedWriteIsRetriedOnceAfterReset) {
  device->FailCall(tq5test::kWriteFrame, 1);
  EXPECT_EQ(WriteRegister(0x10, 0x20), 0u);
  const auto ops = device->Ops();
  // The failed write is not an op of the register file; the reset and the
  // second write are.
  ASSERT_EQ(ops.size(), 2u);
  EXPECT_EQ(ops[0].type, RegisterOp::ResetPipe);
  EXPECT_EQ(ops[0].value, 3u);  // all pipes
  EXPECT_EQ(ops[1], (RegisterOp{RegisterOp::Write, 0x10, 0x20}));
  EXPECT_EQ(device->CallCount(tq5test::kWriteFrame), 2);
}

TEST_F(Transport, SecondFailureIsReported) {
  device->FailCall(tq5test::kWriteFrame, 1);
  device->FailCall(tq5test::kWriteFrame, 2);
  EXPECT_EQ(WriteRegister(0x10, 0x20), static_cast<DriverError>(kErrTransferFailed));
  EXPECT_EQ(device->CallCount(tq5test::kWriteFrame), 2);
  EXPECT_EQ(device->CallCount(tq5test::kControlFrame), 1);
}

TEST_F(Transport, FailedResetPreventsTheRetry) {
  device->FailCall(tq5test::kWriteFrame, 1);
  device->FailCall(tq5test::kControlFrame, 1);
  EXPECT_EQ(WriteRegister(0x10, 0x20), static_cast<DriverError>(kErrTransferFailed));
  EXPECT_EQ(device->CallCount(tq5test::kWriteFrame), 1);
}

TEST_F(Transport, ReadRegisterRepeatsHeaderAndRead) {
  device->SetRegister(0x73, 0x35);
  device->FailCall(tq5test::kReadFrame, 1);
  uint8_t value = 0;
  ASSERT_EQ(ReadRegister(0x73, &value), 0u);
  EXPECT_EQ(value, 0x35);
  const auto frames = device->Frames();
  // header, failed read, reset, header, read
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[0].payload, Bytes({0x01, 0x73, 0x00, 0x01}));
  EXPECT_EQ(frames[1].kind, tq5test::kReadFrame);
  EXPECT_EQ(frames[2].kind, tq5test::kControlFrame);
  EXPECT_EQ(frames[3].payload, Bytes({0x01, 0x73, 0x00, 0x01}));
  EXPECT_EQ(frames[4].kind, tq5test::kReadFrame);
}

TEST_F(Transport, StreamDataReadIsNotRetried) {
  device->FailCall(tq5test::kReadFrame, 1);
  std::vector<uint8_t> buffer(100);
  EXPECT_EQ(ReadRegisterStream(0x00, buffer.data(), 100), static_cast<DriverError>(kErrTransferFailed));
  EXPECT_EQ(device->CallCount(tq5test::kControlFrame), 0);
  EXPECT_EQ(device->CallCount(tq5test::kReadFrame), 1);
}

TEST_F(Transport, NoDeviceGives155AndLeavesValueUntouched) {
  CloseDeviceForProcess();
  uint8_t value = 0x5A;
  EXPECT_EQ(ReadRegister(0x02, &value), static_cast<DriverError>(kErrDeviceNotOpen));
  EXPECT_EQ(value, 0x5A);
  EXPECT_EQ(WriteRegister(0x02, 1), static_cast<DriverError>(kErrDeviceNotOpen));
  EXPECT_FALSE(ResetPipes());
  EXPECT_FALSE(WriteControlRegister());
}

// Every way a device can answer badly ends in 250 after the one retry,
// without a hang or an over-read.
TEST_F(Transport, BadRepliesFailTheCall) {
  const FailMode modes[] = {FailMode::Status, FailMode::WrongKind, FailMode::Garbage, FailMode::ShortFrame,
                            FailMode::Close};
  for (FailMode mode : modes) {
    SCOPED_TRACE(static_cast<int>(mode));
    // A fresh connection for every mode: a broken stream stays broken.
    device = std::make_unique<tq5test::ScriptedDevice>(tq5test::UniqueSocketPath("bad"));
    ASSERT_EQ(FindScannerEx(device->path().c_str()), 1);
    device->FailAll(tq5test::kReadFrame, true, mode);
    uint8_t value = 0x77;
    EXPECT_EQ(ReadRegister(0x02, &value), static_cast<DriverError>(kErrTransferFailed));
    EXPECT_EQ(value, 0x77);
  }
}

TEST_F(Transport, OverlongReadReplyIsRefused) {
  // The device sends more payload than was asked for: a failed call, never
  // an over-read into the caller's buffer.
  std::vector<uint8_t> buffer(64, 0xEE);
  device->FailAll(tq5test::kReadFrame, true, FailMode::Overlong);
  EXPECT_EQ(ReadRegisterStream(0x00, buffer.data(), 4), static_cast<DriverError>(kErrTransferFailed));
  for (size_t i = 4; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << i;
}

TEST_F(Transport, ControlRequestsCarryTheirInputs) {
  ASSERT_TRUE(ResetPipes());
  ASSERT_TRUE(WriteControlRegister());
  const auto controls = FramesOfKind(device->Frames(), tq5test::kControlFrame);
  ASSERT_EQ(controls.size(), 2u);
  EXPECT_EQ(controls[0].payload, Bytes({0x1C, 0x20, 0x00, 0x80, 0x03, 0x00, 0x00, 0x00}));
  EXPECT_EQ(controls[1].payload, Bytes({0x10, 0x20, 0x00, 0x80, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                                        0x03, 0x00, 0x00, 0x00, 0x00}));
}

TEST(TransportHelpers, SwapBytes16) {
  EXPECT_EQ(SwapBytes16(0x1234), 0x3412);
  EXPECT_EQ(SwapBytes16(0x00FF), 0xFF00);
  EXPECT_EQ(SwapBytes16(0), 0);
}

TEST(TransportHelpers, DelayRunsOnTheTickCounter) {
  PlatClockUseVirtual(1000, 1);
  const uint64_t before = PlatClockNow();
  Delay(250);
  const uint64_t elapsed = PlatClockNow() - before;
  EXPECT_GE(elapsed, 250u);
  EXPECT_LE(elapsed, 253u);
  Delay(0);
  EXPECT_LE(PlatClockNow() - before - elapsed, 2u);  // two tick reads, no waiting
  // Across the 32-bit wrap of the tick counter.
  PlatClockUseVirtual(0xFFFFFFFFull - 100, 1);
  const uint64_t start = PlatClockNow();
  Delay(300);
  EXPECT_GE(PlatClockNow() - start, 300u);
  EXPECT_LE(PlatClockNow() - start, 303u);
  PlatClockUseReal(1.0);
}
