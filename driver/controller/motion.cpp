#include "controller/motion.h"

#include "controller/controller_registers.h"
#include "controller/register_image.h"
#include "interface/shared_state.h"
#include "transport/transport.h"

int32_t carriageAtHome = 1;

namespace {

// Writes the register's default with one bit set or cleared.
DriverError WriteDefaultWithBit(uint8_t reg, uint8_t bit, bool on) {
  uint8_t value = registerDefaults[reg];
  value = on ? static_cast<uint8_t>(value | bit) : static_cast<uint8_t>(value & ~bit);
  return WriteRegister(reg, value);
}

// Polls the status register until (status & mask) == wanted or limitMs pass.
// A read error ends the poll with that error; *reached tells the outcome.
DriverError PollStatus(uint8_t mask, uint8_t wanted, uint32_t limitMs, bool* reached) {
  const uint32_t start = PlatTickCount();
  uint8_t status = 0;
  for (;;) {
    const DriverError result = ReadRegister(kRegStatus, &status);
    if (result != kErrNone) return result;
    if ((status & mask) == wanted) break;
    if (PlatTickCount() - start >= limitMs || PlatThreadTerminated()) break;
  }
  *reached = (status & mask) == wanted;
  return kErrNone;
}

}  // namespace

DriverError CommandIdle() {
  Delay(10);
  const DriverError result = WriteRegister(kRegCommand, 0x00);
  if (result == kErrNone) Delay(50);
  return result;
}

DriverError GoHome() {
  uint8_t value = 0;
  DriverError result = ReadRegister(kRegCommand, &value);
  if (result != kErrNone) return result;
  if ((value & kReturnHomeRunning) == 0) {
    result = ReadRegister(kRegStatus, &value);
    if (result != kErrNone) return result;
    if (value & kHomeSensor) return kErrNone;
    Delay(50);
    if ((result = WriteRegister(0x57, 50)) != kErrNone) return result;
    if ((result = WriteRegister(kRegCommand, 0x02)) != kErrNone) return result;
    Delay(200);
  }
  bool home = false;
  result = PollStatus(kHomeSensor, kHomeSensor, kGoHomeLimitMs, &home);
  if (result != kErrNone) return result;
  if (!home) return kErrHomeTimeout;
  Delay(50);
  carriageAtHome = 1;
  return kErrNone;
}

DriverError LeaveHome() {
  uint8_t value = 0;
  DriverError result = ReadRegister(kRegStatus, &value);
  if (result != kErrNone) return result;
  if ((value & kHomeSensor) == 0) return kErrNone;
  Delay(50);
  if ((result = WriteRegister(kRegCommand, 0x01)) != kErrNone) return result;
  Delay(200);
  bool away = false;
  result = PollStatus(kHomeSensor, 0, kLeaveHomeLimitMs, &away);
  if (result != kErrNone) return result;
  if (!away) {
    result = WriteRegister(kRegCommand, 0x00);
    return result != kErrNone ? result : static_cast<DriverError>(kErrHomeSensorFault);
  }
  Delay(50);
  carriageAtHome = 0;
  return kErrNone;
}

DriverError StartGoHome() {
  DriverError result = WriteRegister(kRegCommand, 0x00);
  if (result == kErrNone) result = SetReg58Bit2(true);
  if (result == kErrNone) result = WriteRegister(0x57, 50);
  if (result != kErrNone) return result;
  Delay(200);
  result = WriteRegister(kRegCommand, 0x02);
  if (result != kErrNone) return result;
  carriageAtHome = 1;
  return kErrNone;
}

DriverError SetReg45Bit4(bool on) { return WriteDefaultWithBit(0x45, 0x10, on); }
DriverError SetReg58Bit2(bool on) { return WriteDefaultWithBit(0x58, 0x04, on); }
DriverError SetReg5ABit7(bool on) { return WriteDefaultWithBit(0x5A, 0x80, on); }

DriverError SetLamps(bool flatbed, bool film) {
  uint8_t value = 0x11;
  if (flatbed) value |= 0x08;
  if (film) value |= 0x80;
  const DriverError result = WriteRegister(0x5B, value);
  Delay(10);
  return result;
}

DriverError GetLampState(bool* flatbedOn, bool* filmOn) {
  *flatbedOn = false;
  *filmOn = false;
  uint8_t value = 0;
  const DriverError result = ReadRegister(0x5B, &value);
  if (result != kErrNone) return result;
  *flatbedOn = (value & 0x08) != 0;
  *filmOn = (value & 0x80) != 0;
  return kErrNone;
}

// The film unit's sense line is valid only while register 0x5A bit 2 is
// clear; the register is left with the bit set. Only the last write's result
// is reported.
DriverError DetectFilmUnit(bool* attached) {
  uint8_t value = 0;
  if (ReadRegister(0x5A, &value) == kErrNone && (value & 0x04)) WriteRegister(0x5A, value & ~0x04);
  *attached = false;
  uint8_t status = 0;
  if (ReadRegister(kRegStatus, &status) == kErrNone) *attached = (status & kFilmUnitAttached) != 0;
  return WriteRegister(0x5A, static_cast<uint8_t>(value | 0x04));
}

DriverError MoveCarriage(uint16_t distance) {
  const uint16_t position = static_cast<uint16_t>(distance + sharedState->yOriginOffset);
  static const uint8_t kMoveRegisters[][2] = {
      {0x4A, 0}, {0x4B, 0},  // position, filled below
      {0x08, 0x06}, {0x09, 0x1A}, {0x26, 0x00}, {0x48, 0x01}, {0x49, 0x13},
      {0x4E, 0x01}, {0x22, 0x00}, {0x23, 0x40}, {0x24, 0x14}, {0x25, 0x30},
  };
  for (const auto& entry : kMoveRegisters) {
    uint8_t value = entry[1];
    if (entry[0] == 0x4A) value = static_cast<uint8_t>(position >> 8);
    if (entry[0] == 0x4B) value = static_cast<uint8_t>(position & 0xFF);
    const DriverError result = WriteRegister(entry[0], value);
    if (result != kErrNone) return result;
  }
  if (position == 0) return kErrNone;
  DriverError result = CommandIdle();
  if (result != kErrNone) return result;
  if ((result = WriteRegister(kRegCommand, 0x03)) != kErrNone) return result;
  // A move that does not finish in time is not reported; read errors do not
  // stop the poll.
  const uint32_t limit = static_cast<uint32_t>(position) * 2200 / 1000 + 3000;
  const uint32_t start = PlatTickCount();
  for (;;) {
    uint8_t value = 0;
    if (ReadRegister(kRegMoveStatus, &value) == kErrNone && (value & kMoveFinished)) break;
    if (PlatTickCount() - start >= limit || PlatThreadTerminated()) break;
  }
  return WriteRegister(kRegCommand, 0x00);
}

DriverError WriteReg2A(uint16_t value) {
  const uint16_t w = static_cast<uint16_t>(4095 - value);
  const DriverError result = WriteRegister(0x2A, static_cast<uint8_t>(w >> 8));
  if (result != kErrNone) return result;
  return WriteRegister(0x2B, static_cast<uint8_t>(w & 0xFF));
}
