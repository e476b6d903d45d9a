// Motion, lamp, film unit and status primitives against a carriage that
// moves on the virtual clock.
#include <gtest/gtest.h>

#include <vector>

#include "carriage_model.h"
#include "controller/motion.h"
#include "driver_fixture.h"
#include "wire.h"

using namespace tq5test;
using Where = CarriageModel::Where;

class Motion : public DriverOnScriptedDevice {
 protected:
  void SetUp() override {
    DriverOnScriptedDevice::SetUp();
    sharedState->yOriginOffset = 0;
  }
  void TearDown() override {
    carriageAtHome = 1;
    DriverOnScriptedDevice::TearDown();
  }
  // Reads of register 0x02 in the log.
  size_t StatusReads() {
    size_t n = 0;
    for (const auto& op : device->Ops()) n += op.type == RegisterOp::Read && op.reg == 0x02;
    return n;
  }
};

TEST_F(Motion, GoHomeFromEachPlace) {
  struct Case {
    const char* name;
    Where start;
    bool alreadyReturning;
    bool jammed;
    uint64_t travelMs;
    DriverError expected;
    bool commands;  // gives the return command itself
  };
  const Case cases[] = {
      {"home", Where::Home, false, false, 3000, kErrNone, false},
      {"away", Where::Away, false, false, 3000, kErrNone, true},
      {"returning", Where::Away, true, false, 3000, kErrNone, false},
      {"away, arrives just in time", Where::Away, false, false, 9900, kErrNone, true},
      {"away, arrives too late", Where::Away, false, false, 10300, kErrHomeTimeout, true},
      {"jammed", Where::Away, false, true, 3000, kErrHomeTimeout, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    device->ClearLog();
    CarriageModel carriage(*device, c.start, {.travelMs = c.travelMs, .jammed = c.jammed});
    if (c.alreadyReturning) carriage.StartReturn();
    device->ClearLog();
    carriageAtHome = 0;
    const uint64_t begin = PlatClockNow();
    EXPECT_EQ(GoHome(), c.expected);
    const uint64_t took = PlatClockNow() - begin;
    const auto ops = device->Ops();
    ASSERT_GE(ops.size(), 2u);
    EXPECT_EQ(ops[0].reg, 0x07);
    EXPECT_EQ(ops[0].type, RegisterOp::Read);
    if (c.start == Where::Home) {
      EXPECT_EQ(ops, (std::vector<RegisterOp>{R(0x07, 0), R(0x02, 1)}));  // two reads, no writes
      EXPECT_EQ(carriageAtHome, 0);                                        // not changed
      continue;
    }
    const auto writes = Writes(ops);
    if (c.commands) {
      EXPECT_EQ(writes, (std::vector<RegisterOp>{W(0x57, 50), W(0x07, 0x02)}));
      EXPECT_GE(carriage.CommandTime(2) - begin, 50u);  // 50 ms before the command
    } else {
      EXPECT_TRUE(writes.empty());  // joins the running return
      EXPECT_EQ(ops[0], R(0x07, 0x02));
      EXPECT_EQ(ops[1].reg, 0x02);
    }
    if (c.expected == kErrNone) {
      EXPECT_EQ(carriageAtHome, 1);
      EXPECT_TRUE(carriage.AtHome());
      EXPECT_EQ(ops.back(), R(0x02, 0x01));
    } else {
      EXPECT_EQ(carriageAtHome, 0);
      // Polled for the full 10 s after the 200 ms pause.
      EXPECT_GE(took, 50u + 200 + 10000);
      EXPECT_LT(took, 50u + 200 + 10000 + 20);
      EXPECT_EQ(ops.back(), R(0x02, 0x00));
    }
    device->onReadRegister = nullptr;
    device->onWriteRegister = nullptr;
  }
}

TEST_F(Motion, GoHomeWaitsAfterTheCommandAndAfterArrival) {
  CarriageModel carriage(*device, Where::Away, {.travelMs = 2000});
  uint64_t firstPoll = 0;
  const auto model = device->onReadRegister;
  device->onReadRegister = [&](uint8_t reg, uint8_t stored) -> uint8_t {
    const uint8_t value = model(reg, stored);
    if (reg == 0x02 && firstPoll == 0 && carriage.CommandTime(2) != 0) firstPoll = PlatClockNow();
    return value;
  };
  ASSERT_EQ(GoHome(), 0u);
  EXPECT_GE(firstPoll - carriage.CommandTime(2), 200u);
  EXPECT_LT(firstPoll - carriage.CommandTime(2), 205u);
  const uint64_t arrived = carriage.CommandTime(2) + 2000;
  EXPECT_GE(PlatClockNow() - arrived, 50u);  // settles 50 ms at home
  EXPECT_LT(PlatClockNow() - arrived, 60u);
}

TEST_F(Motion, GoHomeReportsReadErrors) {
  CarriageModel carriage(*device, Where::Away, {});
  device->FailAll(kReadFrame, true);
  EXPECT_EQ(GoHome(), kErrTransferFailed);
  device->FailAll(kReadFrame, false);
  EXPECT_TRUE(Writes(device->Ops()).empty());
  // A read error while polling ends the wait at once.
  device->ClearLog();
  const int reads = device->CallCount(kReadFrame);
  device->FailCall(kReadFrame, reads + 4);  // the second poll, and its retry
  device->FailCall(kReadFrame, reads + 5);
  EXPECT_EQ(GoHome(), kErrTransferFailed);
  EXPECT_EQ(StatusReads(), 2u);  // the status check and one poll
}

TEST_F(Motion, LeaveHomeFromEachPlace) {
  struct Case {
    const char* name;
    Where start;
    bool jammed;
    DriverError expected;
  };
  const Case cases[] = {
      {"away already", Where::Away, false, kErrNone},
      {"home", Where::Home, false, kErrNone},
      {"jammed at home", Where::Home, true, kErrHomeSensorFault},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CarriageModel carriage(*device, c.start, {.leaveMs = 300, .jammed = c.jammed});
    device->ClearLog();
    carriageAtHome = 1;
    const uint64_t begin = PlatClockNow();
    EXPECT_EQ(LeaveHome(), c.expected);
    const uint64_t took = PlatClockNow() - begin;
    const auto ops = device->Ops();
    if (c.start == Where::Away) {
      EXPECT_EQ(ops, (std::vector<RegisterOp>{R(0x02, 0)}));
      EXPECT_EQ(carriageAtHome, 1);  // unchanged
    } else if (c.expected == kErrNone) {
      EXPECT_EQ(Writes(ops), (std::vector<RegisterOp>{W(0x07, 0x01)}));
      EXPECT_EQ(ops.back(), R(0x02, 0x00));
      EXPECT_EQ(carriageAtHome, 0);
      EXPECT_FALSE(carriage.AtHome());
      // 50 ms, the command, 200 ms, polling until it left at 300 ms, 50 ms.
      EXPECT_GE(took, 50u + 300 + 50);
      EXPECT_LT(took, 50u + 300 + 50 + 10);
    } else {
      // The motor is stopped before the fault is reported.
      EXPECT_EQ(Writes(ops), (std::vector<RegisterOp>{W(0x07, 0x01), W(0x07, 0x00)}));
      EXPECT_EQ(carriageAtHome, 1);
      EXPECT_GE(took, 50u + 200 + 8000);
      EXPECT_LT(took, 50u + 200 + 8000 + 20);
    }
    device->onReadRegister = nullptr;
    device->onWriteRegister = nullptr;
  }
}

// The device's failure script counts frames; on the virtual clock a jammed
// LeaveHome takes the same frames every time, so a first run finds the
// number of the stop write.
TEST_F(Motion, LeaveHomeReportsAFailedStopInsteadOfTheFault) {
  CarriageModel carriage(*device, Where::Home, {.jammed = true});
  const int first = device->CallCount(kWriteFrame);
  ASSERT_EQ(LeaveHome(), kErrHomeSensorFault);
  const int used = device->CallCount(kWriteFrame) - first;  // the stop is the last
  const int second = device->CallCount(kWriteFrame);
  device->FailCall(kWriteFrame, second + used);
  device->FailCall(kWriteFrame, second + used + 1);  // and its retry
  EXPECT_EQ(LeaveHome(), kErrTransferFailed);
  EXPECT_EQ(device->CallCount(kWriteFrame) - second, used + 1);
  EXPECT_EQ(carriageAtHome, 1);
}

TEST_F(Motion, StartGoHomeCommandsWithoutWaiting) {
  CarriageModel carriage(*device, Where::Away, {.travelMs = 5000});
  carriageAtHome = 0;
  uint64_t time57 = 0;
  device->onWriteRegister = [&, model = device->onWriteRegister](uint8_t reg, uint8_t value) {
    model(reg, value);
    if (reg == 0x57) time57 = PlatClockNow();
  };
  const uint64_t begin = PlatClockNow();
  ASSERT_EQ(StartGoHome(), 0u);
  EXPECT_EQ(device->Ops(),
            (std::vector<RegisterOp>{W(0x07, 0x00), W(0x58, 0x05), W(0x57, 50), W(0x07, 0x02)}));
  EXPECT_GE(carriage.CommandTime(2) - time57, 200u);
  EXPECT_LT(PlatClockNow() - begin, 210u);  // does not wait for the carriage
  EXPECT_EQ(carriageAtHome, 1);
  EXPECT_FALSE(carriage.AtHome());

  // A failing write stops it; carriageAtHome is left alone.
  carriageAtHome = 0;
  device->ClearLog();
  device->FailAll(kWriteFrame, true);
  EXPECT_EQ(StartGoHome(), kErrTransferFailed);
  device->FailAll(kWriteFrame, false);
  EXPECT_EQ(carriageAtHome, 0);
}

TEST_F(Motion, CommandIdleWaitsAroundTheStop) {
  uint64_t written = 0;
  device->onWriteRegister = [&](uint8_t reg, uint8_t) {
    if (reg == 0x07) written = PlatClockNow();
  };
  const uint64_t begin = PlatClockNow();
  ASSERT_EQ(CommandIdle(), 0u);
  EXPECT_EQ(device->Ops(), (std::vector<RegisterOp>{W(0x07, 0x00)}));
  EXPECT_GE(written - begin, 10u);
  EXPECT_LT(written - begin, 15u);
  EXPECT_GE(PlatClockNow() - written, 50u);
  EXPECT_LT(PlatClockNow() - written, 55u);
}

TEST_F(Motion, BitPrimitivesStartFromTheDefaults) {
  using Fn = DriverError (*)(bool);
  struct Case {
    Fn fn;
    uint8_t reg, on, off;
  };
  const Case cases[] = {{SetReg45Bit4, 0x45, 0x13, 0x03}, {SetReg58Bit2, 0x58, 0x05, 0x01}, {SetReg5ABit7, 0x5A, 0x94, 0x14}};
  for (const auto& c : cases) {
    for (bool on : {true, false, true}) {
      device->ClearLog();
      device->SetRegister(c.reg, 0xFF);  // the controller's current value does not matter
      ASSERT_EQ(c.fn(on), 0u);
      EXPECT_EQ(device->Ops(), (std::vector<RegisterOp>{W(c.reg, on ? c.on : c.off)})) << int(c.reg);
    }
  }
}

TEST_F(Motion, Lamps) {
  struct Case {
    bool flatbed, film;
    uint8_t value;
  };
  const Case cases[] = {{false, false, 0x11}, {true, false, 0x19}, {false, true, 0x91}, {true, true, 0x99}};
  for (const auto& c : cases) {
    device->ClearLog();
    const uint64_t begin = PlatClockNow();
    ASSERT_EQ(SetLamps(c.flatbed, c.film), 0u);
    EXPECT_EQ(device->Ops(), (std::vector<RegisterOp>{W(0x5B, c.value)}));
    EXPECT_GE(PlatClockNow() - begin, 10u);
    bool flatbedOn = !c.flatbed, filmOn = !c.film;
    ASSERT_EQ(GetLampState(&flatbedOn, &filmOn), 0u);
    EXPECT_EQ(flatbedOn, c.flatbed);
    EXPECT_EQ(filmOn, c.film);
  }
  // The 10 ms pause also follows a failed write.
  device->FailAll(kWriteFrame, true);
  const uint64_t begin = PlatClockNow();
  EXPECT_EQ(SetLamps(true, false), kErrTransferFailed);
  EXPECT_GE(PlatClockNow() - begin, 10u);
  device->FailAll(kWriteFrame, false);
  device->FailAll(kReadFrame, true);
  bool flatbedOn = true, filmOn = true;
  EXPECT_EQ(GetLampState(&flatbedOn, &filmOn), kErrTransferFailed);
  device->FailAll(kReadFrame, false);
}

TEST_F(Motion, DetectFilmUnit) {
  struct Case {
    uint8_t reg5A, status;
    bool attached;
    std::vector<RegisterOp> ops;
  };
  const Case cases[] = {
      {0x14, 0x11, true, {R(0x5A, 0x14), W(0x5A, 0x10), R(0x02, 0x11), W(0x5A, 0x14)}},
      {0x14, 0x01, false, {R(0x5A, 0x14), W(0x5A, 0x10), R(0x02, 0x01), W(0x5A, 0x14)}},
      // Bit 2 already clear: no first write, and the bit is left set.
      {0x90, 0x10, true, {R(0x5A, 0x90), R(0x02, 0x10), W(0x5A, 0x94)}},
  };
  for (const auto& c : cases) {
    device->ClearLog();
    device->SetRegister(0x5A, c.reg5A);
    device->SetRegister(0x02, c.status);
    bool attached = !c.attached;
    ASSERT_EQ(DetectFilmUnit(&attached), 0u);
    EXPECT_EQ(attached, c.attached);
    EXPECT_EQ(device->Ops(), c.ops);
  }
  // Read errors are not reported; only the last write counts.
  device->SetRegister(0x02, 0x10);
  device->FailAll(kReadFrame, true);
  bool attached = true;
  EXPECT_EQ(DetectFilmUnit(&attached), 0u);
  EXPECT_FALSE(attached);
  device->FailAll(kReadFrame, false);
  device->FailAll(kWriteFrame, true);
  EXPECT_EQ(DetectFilmUnit(&attached), kErrTransferFailed);
  device->FailAll(kWriteFrame, false);
}

namespace {

const std::vector<RegisterOp> kMoveSetup = {W(0x08, 0x06), W(0x09, 0x1A), W(0x26, 0x00), W(0x48, 0x01),
                                            W(0x49, 0x13), W(0x4E, 0x01), W(0x22, 0x00), W(0x23, 0x40),
                                            W(0x24, 0x14), W(0x25, 0x30)};

std::vector<RegisterOp> MoveRegisters(uint16_t position) {
  std::vector<RegisterOp> ops = {W(0x4A, position >> 8), W(0x4B, position & 0xFF)};
  ops.insert(ops.end(), kMoveSetup.begin(), kMoveSetup.end());
  return ops;
}

}  // namespace

TEST_F(Motion, MoveCarriageToZeroOnlySetsRegisters) {
  struct Case {
    uint16_t distance, offset;
  };
  for (const Case c : {Case{0, 0}, Case{0xFFFF, 1}, Case{0xFFF0, 0x10}}) {  // the sum is 16-bit
    device->ClearLog();
    sharedState->yOriginOffset = c.offset;
    ASSERT_EQ(MoveCarriage(c.distance), 0u);
    EXPECT_EQ(device->Ops(), MoveRegisters(0));
  }
}

TEST_F(Motion, MoveCarriageWaitsForTheMoveOrItsTimeLimit) {
  struct Case {
    const char* name;
    uint16_t distance, offset;
    bool jammed;
    uint64_t moveMs;
    uint64_t expectedStop;  // from the start command to the stop
  };
  const Case cases[] = {
      {"finishes", 410, 20, false, 1000, 1000},
      {"never finishes", 410, 20, true, 0, 430 * 2200 / 1000 + 3000},  // 3946 ms
      {"short move, never finishes", 1, 0, true, 0, 3002},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CarriageModel carriage(*device, Where::Home, {.moveMs = c.moveMs, .jammed = c.jammed});
    uint64_t stopped = 0;
    device->onWriteRegister = [&, model = device->onWriteRegister](uint8_t reg, uint8_t value) {
      model(reg, value);
      if (reg == 0x07 && value == 0x00 && carriage.CommandTime(3) != 0) stopped = PlatClockNow();
    };
    device->ClearLog();
    sharedState->yOriginOffset = c.offset;
    ASSERT_EQ(MoveCarriage(c.distance), 0u);  // a move that ran out of time is not reported
    const uint16_t position = static_cast<uint16_t>(c.distance + c.offset);
    auto expected = MoveRegisters(position);
    expected.push_back(W(0x07, 0x00));  // CommandIdle
    expected.push_back(W(0x07, 0x03));
    EXPECT_EQ(Writes(device->Ops()), [&] {
      auto e = expected;
      e.push_back(W(0x07, 0x00));
      return e;
    }());
    // Between the start and the stop only register 0x03 is read.
    const auto ops = device->Ops();
    for (size_t i = expected.size(); i + 1 < ops.size(); ++i) EXPECT_EQ(ops[i].reg, 0x03);
    EXPECT_GE(stopped - carriage.CommandTime(3), c.expectedStop);
    EXPECT_LT(stopped - carriage.CommandTime(3), c.expectedStop + 5);
    device->onReadRegister = nullptr;
    device->onWriteRegister = nullptr;
  }
  EXPECT_EQ(MoveRegisters(430)[0], W(0x4A, 0x01));
  EXPECT_EQ(MoveRegisters(430)[1], W(0x4B, 0xAE));
}

TEST_F(Motion, MoveCarriageKeepsPollingThroughReadErrors) {
  CarriageModel carriage(*device, Where::Home, {.moveMs = 500});
  uint64_t stopped = 0;
  device->onWriteRegister = [&, model = device->onWriteRegister](uint8_t reg, uint8_t value) {
    model(reg, value);
    if (reg == 0x07 && value == 0x00 && carriage.CommandTime(3) != 0) stopped = PlatClockNow();
  };
  // MoveCarriage reads nothing before its poll: every read from now on
  // fails (first try and retry), far more than the poll makes.
  const int reads = device->CallCount(kReadFrame);
  for (int n = 1; n <= 10000; ++n) device->FailCall(kReadFrame, reads + n);
  ASSERT_EQ(MoveCarriage(100), 0u);
  ASSERT_LT(device->CallCount(kReadFrame) - reads, 10000);
  // The finished move was never seen, so the poll ran to its limit:
  // 100 x 2.2 + 3000 ms.
  EXPECT_GE(stopped - carriage.CommandTime(3), 3220u);
  EXPECT_LT(stopped - carriage.CommandTime(3), 3225u);
  EXPECT_EQ(Writes(device->Ops()).back(), W(0x07, 0x00));
}

TEST_F(Motion, MoveCarriageStopsAtAFailedWrite) {
  const int writes = device->CallCount(kWriteFrame);
  device->FailCall(kWriteFrame, writes + 3);
  device->FailCall(kWriteFrame, writes + 4);
  EXPECT_EQ(MoveCarriage(100), kErrTransferFailed);
  EXPECT_EQ(Writes(device->Ops()), (std::vector<RegisterOp>{W(0x4A, 0x00), W(0x4B, 100)}));
}

TEST_F(Motion, WriteReg2A) {
  struct Case {
    uint16_t value;
    uint8_t high, low;
  };
  for (const Case c : {Case{100, 0x0F, 0x9B}, Case{0, 0x0F, 0xFF}, Case{4095, 0x00, 0x00}, Case{0x0123, 0x0E, 0xDC}}) {
    device->ClearLog();
    ASSERT_EQ(WriteReg2A(c.value), 0u);
    EXPECT_EQ(device->Ops(), (std::vector<RegisterOp>{W(0x2A, c.high), W(0x2B, c.low)})) << c.value;
  }
}
