// Capability queries and the inert entry points. The ability records are
// filled from constants (and the ability identifier kept in the shared
// state); none of these exports takes the device lock or talks to the device.
#include <cstring>

#include "interface/device_lock.h"
#include "interface/shared_state.h"

namespace {

// Offsets of the extended ability record's fields.
constexpr int kExVendor = 0;
constexpr int kExProduct = 12;
constexpr int kExVersion = 32;
constexpr int kExInterface = 40;
constexpr int kExUnknown = 52;
constexpr int kExSensor = 60;
constexpr int kExFamily = 72;
constexpr int kExIdentifier = 76;
constexpr int kExFlatbedWidth = 84;
constexpr int kExFlatbedHeight = 86;
constexpr int kExFilmUnitWidth = 88;
constexpr int kExFilmUnitHeight = 90;
constexpr int kExOpticalResolution = 92;
constexpr int kExResolutions = 94;  // 600, 1200, 600, 1200
constexpr int kExValue20 = 102;
constexpr int kExValue21 = 104;
constexpr int kExFlags108 = 108;
constexpr int kExDepths112 = 112;
constexpr int kExFrameWidth = 128;
constexpr int kExFrameHeight = 130;
constexpr int kExFrameResolutions = 132;

constexpr uint32_t kFamilyCode = 0x10810001;
constexpr uint16_t kFrameWidth = 851;
constexpr uint16_t kFrameHeight = 568;
constexpr uint32_t kFlashCaptureBytes = 16320;

void Put16(uint8_t* record, int offset, uint16_t value) {
  record[offset] = static_cast<uint8_t>(value);
  record[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t* record, int offset, uint32_t value) {
  Put16(record, offset, static_cast<uint16_t>(value));
  Put16(record, offset + 2, static_cast<uint16_t>(value >> 16));
}

// Copies a text with its terminating zero.
void PutText(uint8_t* record, int offset, const char* text) { std::memcpy(record + offset, text, std::strlen(text) + 1); }

void FillBasicAbility(ScannerAbility& a) {
  std::memset(&a, 0, sizeof a);
  std::memcpy(a.productCode, "QT73418", 8);
  std::memcpy(a.versionDigits, "109", 4);
  a.opticalXResolution = 600;
  a.opticalYResolution = 600;
  a.maxResolution = 1200;
  a.flags18 = 0x89;
  a.flags19 = 1;
  a.value20 = 160;
  a.value21 = 128;
  a.flatbedWidth = 5104;
  a.flatbedHeight = 7016;
  a.filmUnitWidth = 5104;
  a.filmUnitHeight = 8400;
}

}  // namespace

int32_t TQ5_STDCALL GetADFMode(uint8_t* mode4) {
  if (!RecordGiven(mode4)) return 0;
  // Byte 0 = 0: no automatic document feeder.
  std::memset(mode4, 0, 4);
  return 1;
}

int32_t TQ5_STDCALL GetScannerAbility(ScannerAbility* ability) {
  if (!RecordGiven(ability)) return 0;
  FillBasicAbility(*ability);
  return 1;
}

int32_t TQ5_STDCALL GetScannerAbilityEx(ScannerAbilityEx* ability) {
  if (!RecordGiven(ability)) return 0;
  uint8_t* r = ability->bytes;
  std::memset(r, 0, sizeof ability->bytes);
  ScannerAbility basic;
  FillBasicAbility(basic);

  PutText(r, kExVendor, "KALDO");
  PutText(r, kExProduct, "QT-73418M");
  PutText(r, kExVersion, "1.09");
  PutText(r, kExInterface, "USB");
  PutText(r, kExUnknown, "UNKNOW");
  PutText(r, kExSensor, "TOSHIBA2557");
  Put32(r, kExFamily, kFamilyCode);
  Put32(r, kExIdentifier, sharedState->abilityIdentifier);
  Put16(r, kExFlatbedWidth, basic.flatbedWidth);
  Put16(r, kExFlatbedHeight, basic.flatbedHeight);
  Put16(r, kExFilmUnitWidth, basic.filmUnitWidth);
  Put16(r, kExFilmUnitHeight, basic.filmUnitHeight);
  Put16(r, kExOpticalResolution, basic.opticalXResolution);
  Put16(r, kExResolutions, 600);
  Put16(r, kExResolutions + 2, 1200);
  Put16(r, kExResolutions + 4, 600);
  Put16(r, kExResolutions + 6, 1200);
  Put16(r, kExValue20, basic.value20);
  Put16(r, kExValue21, basic.value21);
  r[kExFlags108] = 0xC0;
  r[kExFlags108 + 1] = 0x92;
  const uint8_t depths[] = {8, 1, 1, 8, 8};
  std::memcpy(r + kExDepths112, depths, sizeof depths);
  Put16(r, kExFrameWidth, kFrameWidth);
  Put16(r, kExFrameHeight, kFrameHeight);
  Put16(r, kExFrameResolutions, 1200);
  Put16(r, kExFrameResolutions + 2, 1200);

  std::memcpy(sharedState->abilityCache, r, kAbilityCacheBytes);
  sharedState->abilityCacheValid = 1;
  return 1;
}

int32_t TQ5_STDCALL ReadFlashRAMInfo(FlashRamInfo* info) {
  if (!RecordGiven(info)) return 0;
  uint8_t* r = info->bytes;
  std::memset(r, 0, sizeof info->bytes);
  r[0] = 1;
  r[1] = 4;
  Put32(r, 10, kFlashCaptureBytes);
  return 1;
}

// Entry points the host expects to find. Calibration happens inside
// InitializeScanner and scan start; these neither read their arguments nor
// touch lastError.
int32_t TQ5_STDCALL DoCalibration(uintptr_t, uintptr_t, uintptr_t, uintptr_t) { return 1; }
int32_t TQ5_STDCALL GetCalibrationStatus(uintptr_t) { return 1; }
int32_t TQ5_STDCALL GetShadingData(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t) { return 1; }
int32_t TQ5_STDCALL SetShadingData(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t) { return 1; }
int32_t TQ5_STDCALL GetLightModulationData(uintptr_t, uintptr_t) { return 1; }
int32_t TQ5_STDCALL SetLightModulationData(uintptr_t, uintptr_t) { return 1; }
int32_t TQ5_STDCALL SetAGData(uintptr_t) { return 1; }
int32_t TQ5_STDCALL GetAGData(uintptr_t) { return 1; }
int32_t TQ5_STDCALL SelfCheck() { return 1; }
int32_t TQ5_STDCALL SendRawDataControl(uintptr_t) { return 1; }
