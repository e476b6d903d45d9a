#include <cstring>

#include "controller/register_image.h"
#include "interface/shared_state.h"
#include "tone/tone_tables.h"
#include "transport/controller_memory.h"

uint16_t gammaTable[3][kGammaTableEntries];

namespace {

// Scan value bit of register 0x09 that selects 16-bit samples; the
// controller then bypasses its gamma memory.
constexpr uint8_t kSixteenBitSamples = 0x20;

void IdentityCurve(uint8_t* curve) {
  for (int i = 0; i < kToneCurveEntries; ++i) curve[i] = static_cast<uint8_t>(i);
}

// The 8-bit curve of a 256-entry tone curve seen through the channel's
// gammaTable. Tone curves hold levels 0..255; a larger entry (a curve from a
// misbehaving tone library) is taken as 255 instead of reading past the
// table.
void CurveThroughGamma(const uint16_t* toneCurve, uint8_t channel, uint8_t* curve) {
  for (int i = 0; i < kToneCurveEntries; ++i) {
    const uint32_t level = toneCurve[i] < 255 ? toneCurve[i] : 255;
    curve[i] = static_cast<uint8_t>(gammaTable[channel][level * kGammaIndexScale] >> 8);
  }
}

// Records the levels at both ends of a channel-0 table. A table whose ends
// lie closer than the least span (a flat table) gets ends of 0 and 8, so
// that the film frame search still has a span to work with.
void RecordGammaLevels(uint8_t* table) {
  constexpr int kEnd = 16;
  uint32_t low = 0, high = 0;
  for (int k = 0; k < kEnd; ++k) {
    low += table[k];
    high += table[kControllerGammaBytes - kEnd + k];
  }
  low /= kEnd;
  high /= kEnd;
  SharedState& s = *sharedState;
  s.gammaLevelHigh = static_cast<uint8_t>(high > low ? high : low);
  s.gammaLevelLow = static_cast<uint8_t>(high > low ? low : high);
  uint32_t span = high > low ? high - low : low - high;
  if (span < kMinimumGammaSpan) {
    std::memset(table, 0, kEnd);
    std::memset(table + kControllerGammaBytes - kEnd, kMinimumGammaSpan, kEnd);
    span = kMinimumGammaSpan;
    s.gammaLevelLow = 0;
    s.gammaLevelHigh = kMinimumGammaSpan;
  }
  s.gammaLevelSpan = static_cast<uint8_t>(span);
}

}  // namespace

void SetIdentityGammaTables() {
  for (auto& table : gammaTable)
    for (int i = 0; i < kGammaTableEntries; ++i) table[i] = static_cast<uint16_t>(4 * i);
}

void SetIdentityToneCurves() {
  for (auto& curve : sharedState->toneCurve)
    for (int j = 0; j < kToneCurveEntries; ++j) curve[j] = static_cast<uint16_t>(j);
}

void ExpandGamma256To4096(const uint8_t* curve, uint8_t* table) {
  for (int i = 0; i < kToneCurveEntries - 1; ++i) {
    const int d = curve[i + 1] - curve[i];
    for (int j = 0; j < 16; ++j) table[16 * i + j] = static_cast<uint8_t>(curve[i] + d * j / 16);
  }
  std::memset(table + 16 * (kToneCurveEntries - 1), curve[kToneCurveEntries - 1], 16);
}

void ReduceGamma16384To4096(const uint16_t* gamma, uint8_t* table) {
  for (int k = 0; k < kControllerGammaBytes; ++k) table[k] = static_cast<uint8_t>(gamma[4 * k] >> 8);
}

void ExpandCurve256To16384(const uint16_t* curve, uint16_t* gamma) {
  for (int i = 0; i < kToneCurveEntries - 1; ++i) {
    const int32_t d = static_cast<int32_t>(curve[i + 1]) - static_cast<int32_t>(curve[i]);
    for (int j = 0; j < kGammaIndexScale; ++j)
      gamma[kGammaIndexScale * i + j] = static_cast<uint16_t>(curve[i] + d * j / kGammaIndexScale);
  }
  for (int k = kGammaIndexScale * (kToneCurveEntries - 1); k < kGammaTableEntries; ++k)
    gamma[k] = curve[kToneCurveEntries - 1];
}

DriverError UploadGammaChannel(const uint16_t* table, uint8_t channel, uint16_t count) {
  if (ScanValue(0x09) & kSixteenBitSamples) return kErrNone;
  if (channel >= 3) channel = 1;
  auto* t = static_cast<uint8_t*>(AllocBlock(kControllerGammaBytes));
  if (t == nullptr) return kErrNoMemory;
  uint8_t curve[kToneCurveEntries];
  if (table != nullptr && count > kToneCurveEntries) {
    // A full gamma table: all 16384 entries are read whatever the count.
    ReduceGamma16384To4096(table, t);
  } else {
    if (table != nullptr)
      CurveThroughGamma(table, channel, curve);
    else
      IdentityCurve(curve);
    ExpandGamma256To4096(curve, t);
  }
  if (channel == 0) RecordGammaLevels(t);
  const DriverError result = WriteControllerMemory(channel, t, kMemoryGamma, kControllerGammaBytes, 0);
  FreeBlock(t);
  return result;
}

DriverError UploadIdentityGamma() {
  auto* t = static_cast<uint8_t*>(AllocBlock(kControllerGammaBytes));
  if (t == nullptr) return kErrNoMemory;
  uint8_t curve[kToneCurveEntries];
  IdentityCurve(curve);
  ExpandGamma256To4096(curve, t);
  DriverError result = kErrNone;
  for (uint8_t bank = 0; bank < 3 && result == kErrNone; ++bank)
    result = WriteControllerMemory(bank, t, kMemoryGamma, kControllerGammaBytes, 0);
  for (uint8_t bank = 0; bank < 3 && result == kErrNone; ++bank)
    result = VerifyControllerMemory(bank, t, kMemoryGamma, kControllerGammaBytes, 0);
  FreeBlock(t);
  return result;
}

// The channel selector's low byte picks the table: 1 channel 0, 3 channel 2,
// anything else channel 1. A null table is refused (the caller would
// otherwise have the driver read through a null pointer).
int32_t TQ5_STDCALL SetGammaTable(const uint16_t* table, uint32_t channelSelector, uint32_t /*reserved*/) {
  if (table == nullptr) {
    lastError = kErrBadParameter;
    return 0;
  }
  const uint8_t selector = static_cast<uint8_t>(channelSelector);
  const int channel = selector == 1 ? 0 : selector == 3 ? 2 : 1;
  std::memcpy(gammaTable[channel], table, sizeof gammaTable[channel]);
  return 1;
}
