// Diagnostic exports: TestScanner (lamp test, whole-bed test scan) and
// ReadFlashRAMData (one raw colour line of the sensor, with register
// overrides read from "C:\TQ5DRV.INI").
#include <cstring>

#include "controller/motion.h"
#include "controller/register_image.h"
#include "interface/device_lock.h"
#include "interface/diagnostics.h"
#include "interface/shared_state.h"
#include "scan/read_scan.h"
#include "scan/reader.h"
#include "scan/scan_geometry.h"
#include "scan/scan_start.h"
#include "transport/controller_memory.h"
#include "transport/transport.h"

namespace {

constexpr uint32_t kCommandIdleLimitMs = 15000;
constexpr uint16_t kTestScanLineBytes = 638;   // 5104 x 75 / 600, one grey byte per pixel
constexpr uint16_t kTestScanLines = 877;       // 7016 x 75 / 600
constexpr const char kOverrideFile[] = "C:\\TQ5DRV.INI";
constexpr const char kOverrideSection[] = "Register";

DriverError LampTest(uint8_t option) {
  switch (option) {
    case 0: return SetLamps(false, false);
    case 1: return SetLamps(true, false);
    case 2: return SetLamps(false, true);
    default: return kErrNone;  // other options change nothing
  }
}

// Runs the test scan: a calibrated whole-bed scan whose lines are read and
// discarded. Returns 1 or 0 with lastError set.
int32_t TestScan() {
  uint8_t* line = static_cast<uint8_t*>(AllocBlock(kTestScanLineBytes));
  if (line == nullptr) {
    lastError = kErrNoMemory;
    return 0;
  }
  int32_t result = 1;
  DriverError code = GoHome();
  if (code == kErrNone) code = LeaveHome();
  // The whole flatbed at 75 dpi in grey.
  const ScanParameter record = FullWidthGreyRecord(75, 0, 7016);
  if (code == kErrNone) code = PrepareScanGeometry(&record);
  if (code != kErrNone) {
    lastError = static_cast<int32_t>(code);
    result = 0;
  } else if (BeginScan(0, 1, 1, 0) == 0) {
    result = 0;  // BeginScan has set lastError
  } else {
    for (uint32_t i = 0; i < kTestScanLines; ++i) {
      if (ReadArea(line, kTestScanLineBytes) == 0) {
        result = 0;
        break;
      }
    }
    // The reader's end decides the result after a complete read; after a
    // failed read the read's error stands.
    const int32_t stopped = StopReader();
    if (result == 1) result = stopped;
  }
  FreeBlock(line);
  return result;
}

}  // namespace

ScanParameter FullWidthGreyRecord(uint16_t resolution, uint16_t top, uint16_t height) {
  ScanParameter record{};
  record.xResolution = resolution;
  record.yResolution = resolution;
  record.top = top;
  record.width = 5104;
  record.height = height;
  record.pixelsPerLine = static_cast<uint16_t>(5104u * resolution / 600);
  record.lineCount = static_cast<uint16_t>(static_cast<uint32_t>(height) * resolution / 600);
  record.scanMode = 2;
  record.scanSource = 0;
  record.bitsPerPixel = 8;
  record.monoChannel = 2;  // green
  return record;
}

DriverError WaitCommandIdle() {
  Delay(10);
  const uint32_t start = PlatTickCount();
  for (;;) {
    uint8_t value = 0;
    const DriverError result = ReadRegister(0x07, &value);
    if (result != kErrNone) return result;
    if ((value & 0x03) == 0) return kErrNone;
    if (PlatTickCount() - start > kCommandIdleLimitMs || PlatThreadTerminated()) break;
    Delay(10);
  }
  return kErrScannerBusy;
}

uint32_t PrepareLineCaptureSet() {
  for (const RegisterImageEntry* e = sharedState->registerImage; e->reg != kRegisterImageTerminator; ++e)
    SetScanValue(e->reg, registerDefaults[e->reg]);
  // Fixed window: sensor pixels 0 to 5440.
  SetScanValue(0x1E, 0);
  SetScanValue(0x1F, 0);
  SetScanValue(0x22, 0);
  SetScanValue(0x23, 0);
  SetScanValue(0x24, 0x15);
  SetScanValue(0x25, 0x40);
  // Front-end overrides; values are taken as read, modulo 256.
  static const struct {
    const char* key;
    uint8_t reg;
    int32_t defaultValue;
  } kOverrides[] = {
      {"kREG_08H", 0x08, 10}, {"kREG_38H", 0x38, 0}, {"kREG_39H", 0x39, 0}, {"kREG_3AH", 0x3A, 0},
      {"kREG_3BH", 0x3B, 1},  {"kREG_3CH", 0x3C, 1}, {"kREG_3DH", 0x3D, 1},
  };
  for (const auto& o : kOverrides)
    SetScanValue(o.reg, static_cast<uint8_t>(PlatProfileInt(kOverrideSection, o.key, o.defaultValue, kOverrideFile)));
  SetScanValue(0x09, 24);
  uint16_t stepPeriod = 0, linePeriod = 0;
  uint32_t phase = 0;
  ComputeStepTiming(600, &stepPeriod, &phase, &linePeriod);
  SetScanValue(0x46, static_cast<uint8_t>(stepPeriod >> 8));
  SetScanValue(0x47, static_cast<uint8_t>(stepPeriod & 0xFF));
  SetScanValue(0x52, static_cast<uint8_t>((phase >> 8) & 0xFF));
  SetScanValue(0x53, static_cast<uint8_t>(phase & 0xFF));
  return (static_cast<uint32_t>(ScanValue16(0x24)) - ScanValue16(0x22)) * 3;
}

int32_t TQ5_STDCALL TestScanner(uint32_t test, uint32_t option, uintptr_t, uintptr_t) {
  if (!LockForExport(kLockTimeout)) return 0;
  int32_t result = 1;
  if (ScanInProgress()) {
    lastError = kErrScannerBusy;
    result = 0;
  } else if (const DriverError idle = WaitCommandIdle(); idle != kErrNone) {
    lastError = static_cast<int32_t>(idle);
    result = 0;
  } else if (static_cast<uint8_t>(test) == 1) {
    const DriverError code = LampTest(static_cast<uint8_t>(option));
    if (code != kErrNone) {
      lastError = static_cast<int32_t>(code);
      result = 0;
    }
  } else if (static_cast<uint8_t>(test) == 4) {
    result = TestScan();
  }
  UnlockDevice();
  return result;
}

// ReadFlashRAMData takes the device lock like every other export that drives
// the device: without it, a capture could interleave its register traffic
// with another process's scan start or calibration.
int32_t TQ5_STDCALL ReadFlashRAMData(uint8_t* buffer, uint32_t length, uintptr_t) {
  if (buffer == nullptr && length != 0) {
    lastError = kErrBadParameter;
    return 0;
  }
  if (ScanInProgress()) {
    lastError = kErrScannerBusy;
    return 0;
  }
  if (!LockForExport(kLockTimeout)) return 0;
  DriverError code = GoHome();
  uint32_t n = 0;
  if (code == kErrNone) {
    const uint32_t captureLength = PrepareLineCaptureSet();
    n = length < captureLength ? length : captureLength;
    code = WriteScanSet();
  }
  if (code == kErrNone) code = SetReg45Bit4(false);
  if (code == kErrNone) code = CommandIdle();
  if (code == kErrNone) code = WriteRegister(0x07, 0x03);
  if (code == kErrNone) {
    code = n > 0 ? ReadImageData(buffer, n) : static_cast<DriverError>(kErrNone);
    if (code == kErrNone) {
      code = WriteRegister(0x07, 0x00);
    } else {
      SetReg45Bit4(true);
    }
  }
  UnlockDevice();
  if (code != kErrNone) {
    lastError = static_cast<int32_t>(code);
    return 0;
  }
  return 1;
}
