#include "controller/power_on.h"

#include "controller/controller_registers.h"
#include "controller/motion.h"
#include "controller/register_image.h"
#include "tone/tone_tables.h"
#include "transport/transport.h"

namespace {

constexpr uint8_t kCommandLoading = 0x20;
constexpr uint8_t kRegSkipped = 0x5F;  // written once, before the load
constexpr uint8_t kLastDefault = 0x5E;

// The value the load writes to register r: its default inside the table,
// 0 for register 0x03 and for everything above the table.
uint8_t LoadValue(uint8_t r) { return (r >= 0x04 && r <= kLastDefault) ? registerDefaults[r] : 0; }

DriverError LoadAndVerify() {
  DriverError result = WriteRegister(0x18, 0x18);
  if (result != kErrNone) return result;
  PlatSleep(2);
  registerDefaults[kRegCommand] = kCommandLoading;
  if ((result = WriteRegister(kRegCommand, kCommandLoading)) != kErrNone) return result;
  if ((result = WriteRegister(0x19, 0x06)) != kErrNone) return result;
  if ((result = WriteRegister(kRegSkipped, 0x00)) != kErrNone) return result;
  Delay(10);
  for (unsigned r = 0x03; r <= 0x7F; ++r) {
    if (r == kRegSkipped) continue;
    const auto reg = static_cast<uint8_t>(r);
    if ((result = WriteRegister(reg, LoadValue(reg))) != kErrNone) return result;
  }
  registerDefaults[kRegCommand] = 0x00;
  if ((result = WriteRegister(kRegCommand, 0x00)) != kErrNone) return result;
  uint8_t ignored = 0;
  if ((result = ReadRegister(kRegStatus, &ignored)) != kErrNone) return result;
  if ((result = ReadRegister(kRegStatus, &ignored)) != kErrNone) return result;
  Delay(50);
  for (unsigned r = 0x07; r <= 0x5F; ++r) {
    uint8_t value = 0;
    if ((result = ReadRegister(static_cast<uint8_t>(r), &value)) != kErrNone) return result;
    if (value != registerDefaults[r]) return kErrRegisterMismatch;
  }
  return kErrNone;
}

}  // namespace

// The default of register 0x07 reads 0x20 only while the load runs; a load
// that fails partway puts it back to 0x00 as well, so that the table never
// keeps the loading command outside the sequence.
DriverError PowerOnSequence() {
  const DriverError result = LoadAndVerify();
  registerDefaults[kRegCommand] = 0x00;
  return result;
}

DriverError PowerOnController() {
  lastError = 0;
  const DriverError result = PowerOnSequence();
  if (result != kErrNone) return result;
  return UploadIdentityGamma();
}

DriverError CheckController() {
  lastError = 0;
  static const uint8_t kChecked[] = {0x0B, 0x0C, 0x0D};
  for (uint8_t reg : kChecked) {
    const DriverError result = WriteRegister(reg, registerDefaults[reg]);
    if (result != kErrNone) return result;
  }
  for (uint8_t reg : kChecked) {
    uint8_t value = 0;
    const DriverError result = ReadRegister(reg, &value);
    if (result != kErrNone) return result;
    if (value != registerDefaults[reg]) return kErrRegisterMismatch;
  }
  return kErrNone;
}

DriverError ReadInitMarker(bool* needsInit) {
  uint8_t value = 0;
  const DriverError result = ReadRegister(kRegInitMarker, &value);
  if (result != kErrNone) return result;
  *needsInit = (value & kInitMarkerBit) == 0;
  return kErrNone;
}

DriverError SetInitMarker() {
  uint8_t value = 0;
  const DriverError result = ReadRegister(kRegInitMarker, &value);
  if (result != kErrNone) return result;
  if (value & kInitMarkerBit) return kErrNone;
  return WriteRegister(kRegInitMarker, static_cast<uint8_t>(value | kInitMarkerBit));
}
