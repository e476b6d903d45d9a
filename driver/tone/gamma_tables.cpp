#include <cstring>

#include "interface/shared_state.h"
#include "tone/tone_tables.h"

uint16_t gammaTable[3][kGammaTableEntries];

void SetIdentityGammaTables() {
  for (auto& table : gammaTable)
    for (int i = 0; i < kGammaTableEntries; ++i) table[i] = static_cast<uint16_t>(4 * i);
}

void SetIdentityToneCurves() {
  for (auto& curve : sharedState->toneCurve)
    for (int j = 0; j < 256; ++j) curve[j] = static_cast<uint16_t>(j);
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
