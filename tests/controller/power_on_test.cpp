// The power-on sequence on the wire, its read-back, the communication
// check and the initialization marker.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "controller/power_on.h"
#include "controller/register_image.h"
#include "driver_fixture.h"
#include "wire.h"

using namespace tq5test;

using PowerOn = DriverOnScriptedDevice;

namespace {

// The register traffic of a successful PowerOnSequence.
std::vector<RegisterOp> ExpectedSequence() {
  std::vector<RegisterOp> ops = {W(0x18, 0x18), W(0x07, 0x20), W(0x19, 0x06), W(0x5F, 0x00)};
  for (int r = 0x03; r <= 0x7F; ++r) {
    if (r == 0x5F) continue;
    uint8_t v = 0;
    if (r == 0x07)
      v = 0x20;
    else if (r >= 0x04 && r <= 0x5E)
      v = registerDefaults[r];
    // The scripted device takes a one-byte write to 0x06 as data for its
    // memory port, and logs it so.
    ops.push_back(r == 0x06 ? StreamW(0x06, 1) : W(static_cast<uint8_t>(r), v));
  }
  ops.push_back(W(0x07, 0x00));
  ops.push_back(R(0x02, 0));
  ops.push_back(R(0x02, 0));
  for (int r = 0x07; r <= 0x5F; ++r) ops.push_back(R(static_cast<uint8_t>(r), registerDefaults[r]));
  return ops;
}

// Register writes of any kind (see above for register 0x06).
size_t WriteCount(const std::vector<RegisterOp>& ops) {
  return Writes(ops).size() + OpsOfType(ops, RegisterOp::StreamWrite).size();
}

}  // namespace

TEST_F(PowerOn, SequenceLoadsEveryRegisterThenReadsBack) {
  const uint64_t before = PlatClockNow();
  ASSERT_EQ(PowerOnSequence(), 0u);
  const auto ops = device->Ops();
  const auto expected = ExpectedSequence();
  EXPECT_EQ(ops, expected);
  EXPECT_EQ(WriteCount(ops), 129u);
  EXPECT_EQ(OpsOfType(ops, RegisterOp::Read).size(), 2u + 89);
  EXPECT_EQ(registerDefaults[0x07], 0x00);
  // 2 ms sleep, 10 ms and 50 ms waits.
  EXPECT_GE(PlatClockNow() - before, 62u);
}

TEST_F(PowerOn, WaitsSitBetweenTheRightSteps) {
  // Times of the writes of 0x18, 0x5F (before the load) and 0x03 (first of
  // the load), and of the first read-back.
  std::vector<std::pair<uint8_t, uint64_t>> times;
  device->onWriteRegister = [&](uint8_t reg, uint8_t) {
    if (reg == 0x18 || reg == 0x07 || reg == 0x5F || reg == 0x03) times.emplace_back(reg, PlatClockNow());
  };
  uint64_t firstReadBack = 0, lastStatusRead = 0;
  device->onReadRegister = [&](uint8_t reg, uint8_t stored) -> uint8_t {
    if (reg == 0x02) lastStatusRead = PlatClockNow();
    if (reg == 0x07 && firstReadBack == 0) firstReadBack = PlatClockNow();
    return stored;
  };
  ASSERT_EQ(PowerOnSequence(), 0u);
  ASSERT_GE(times.size(), 4u);
  EXPECT_EQ(times[0].first, 0x18);
  EXPECT_EQ(times[1].first, 0x07);
  EXPECT_GE(times[1].second - times[0].second, 2u);  // the sleep
  EXPECT_EQ(times[3].first, 0x03);
  EXPECT_EQ(times[2].first, 0x5F);
  EXPECT_GE(times[3].second - times[2].second, 10u);
  EXPECT_LT(times[3].second - times[2].second, 15u);
  EXPECT_GE(firstReadBack - lastStatusRead, 50u);
  EXPECT_LT(firstReadBack - lastStatusRead, 55u);
}

TEST_F(PowerOn, AMismatchFailsAfterAllWrites) {
  device->onReadRegister = [](uint8_t reg, uint8_t stored) -> uint8_t { return reg == 0x2A ? 0x01 : stored; };
  EXPECT_EQ(PowerOnSequence(), kErrRegisterMismatch);
  const auto ops = device->Ops();
  EXPECT_EQ(WriteCount(ops), 129u);
  EXPECT_EQ(ops.back(), R(0x2A, 0x01));  // stops at the first difference
  EXPECT_EQ(registerDefaults[0x07], 0x00);
}

TEST_F(PowerOn, ATransferErrorEndsTheSequenceWhereItHappens) {
  // The 20th write fails on both tries: the load stops inside the register
  // loop, with the controller's command register still at 0x20.
  device->FailCall(kWriteFrame, 20);
  device->FailCall(kWriteFrame, 21);
  EXPECT_EQ(PowerOnSequence(), kErrTransferFailed);
  EXPECT_EQ(WriteCount(device->Ops()), 19u);
  EXPECT_TRUE(OpsOfType(device->Ops(), RegisterOp::Read).empty());
  EXPECT_EQ(device->Register(0x07), 0x20);
  // The defaults table is not left with the loading command.
  EXPECT_EQ(registerDefaults[0x07], 0x00);
  device->ClearLog();
  ASSERT_EQ(PowerOnSequence(), 0u);
  EXPECT_EQ(device->Ops(), ExpectedSequence());
}

TEST_F(PowerOn, ControllerClearsLastErrorAndUploadsIdentityGamma) {
  ResetScanState();
  for (int bank = 0; bank < 3; ++bank) device->Memory(bank, 2).assign(4096, 0xEE);
  lastError = kErrLockTimeout;
  ASSERT_EQ(PowerOnController(), 0u);
  EXPECT_EQ(lastError, 0);
  for (int bank = 0; bank < 3; ++bank) {
    const auto& memory = device->Memory(bank, 2);
    for (int k = 0; k < 4096; ++k) ASSERT_EQ(memory[k], k / 16) << bank << " " << k;
  }
  const auto ops = device->Ops();
  const auto sequence = ExpectedSequence();
  ASSERT_GT(ops.size(), sequence.size());
  EXPECT_TRUE(std::equal(sequence.begin(), sequence.end(), ops.begin()));
  EXPECT_EQ(ops[sequence.size()], W(0x03, 0x02));  // gamma bank 0 follows at once
  EXPECT_EQ(OpsOfType(ops, RegisterOp::StreamRead).size(), 3u);

  // A failed sequence skips the upload; a failed verification fails it.
  struct Case {
    const char* name;
    std::function<void()> arrange;
    DriverError expected;
  };
  const Case cases[] = {
      {"mismatch", [&] {
         device->onReadRegister = [](uint8_t reg, uint8_t stored) -> uint8_t { return reg == 0x40 ? 0 : stored; };
       }, kErrRegisterMismatch},
      {"no memory", [&] { PlatTestFailAllocation(1); }, kErrNoMemory},
      {"gamma read-back differs", [&] {
         device->onWriteRegister = [&](uint8_t reg, uint8_t value) {
           if (reg == 0x04 && (value & 0x40)) device->Memory(0, 2)[100] ^= 0xFF;
         };
       }, kErrMemoryMismatch},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    device->onReadRegister = nullptr;
    device->onWriteRegister = nullptr;
    device->ClearLog();
    c.arrange();
    lastError = kErrLockTimeout;
    EXPECT_EQ(PowerOnController(), c.expected);
    EXPECT_EQ(lastError, 0);
    if (c.expected == kErrRegisterMismatch) {
      // No gamma upload: only the load's byte to 0x06 went to the port.
      EXPECT_EQ(OpsOfType(device->Ops(), RegisterOp::StreamWrite).size(), 1u);
    }
  }
  device->onReadRegister = nullptr;
  device->onWriteRegister = nullptr;
}

TEST_F(PowerOn, CheckControllerWritesThenReadsThreeRegisters) {
  lastError = kErrLockTimeout;
  ASSERT_EQ(CheckController(), 0u);
  EXPECT_EQ(lastError, 0);
  EXPECT_EQ(device->Ops(), (std::vector<RegisterOp>{W(0x0B, 0x02), W(0x0C, 0x60), W(0x0D, 0x2F), R(0x0B, 0x02),
                                                    R(0x0C, 0x60), R(0x0D, 0x2F)}));
  for (uint8_t wrong : {0x0B, 0x0C, 0x0D}) {
    SCOPED_TRACE(int(wrong));
    device->ClearLog();
    device->onReadRegister = [wrong](uint8_t reg, uint8_t stored) -> uint8_t {
      return reg == wrong ? static_cast<uint8_t>(stored + 1) : stored;
    };
    EXPECT_EQ(CheckController(), kErrRegisterMismatch);
    EXPECT_EQ(device->Ops().back().reg, wrong);
  }
  device->onReadRegister = nullptr;
  device->FailAll(kWriteFrame, true);
  EXPECT_EQ(CheckController(), kErrTransferFailed);
  device->FailAll(kWriteFrame, false);
}

TEST_F(PowerOn, InitMarker) {
  struct ReadCase {
    uint8_t value;
    bool needsInit;
  };
  for (const ReadCase c : {ReadCase{0x10, false}, ReadCase{0xEF, true}, ReadCase{0x00, true}, ReadCase{0xFF, false}}) {
    device->SetRegister(0x73, c.value);
    bool needsInit = !c.needsInit;
    ASSERT_EQ(ReadInitMarker(&needsInit), 0u);
    EXPECT_EQ(needsInit, c.needsInit) << int(c.value);
  }

  struct SetCase {
    uint8_t before;
    std::vector<RegisterOp> ops;
  };
  const SetCase cases[] = {
      {0x35, {R(0x73, 0x35)}},
      {0x21, {R(0x73, 0x21), W(0x73, 0x31)}},
      {0x00, {R(0x73, 0x00), W(0x73, 0x10)}},
  };
  for (const auto& c : cases) {
    device->ClearLog();
    device->SetRegister(0x73, c.before);
    ASSERT_EQ(SetInitMarker(), 0u);
    EXPECT_EQ(device->Ops(), c.ops) << int(c.before);
  }

  device->FailAll(kReadFrame, true);
  bool needsInit = false;
  EXPECT_EQ(ReadInitMarker(&needsInit), kErrTransferFailed);
  EXPECT_EQ(SetInitMarker(), kErrTransferFailed);
  device->FailAll(kReadFrame, false);
}
