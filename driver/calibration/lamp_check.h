// The lamp warm-up check: two readings of one line, two seconds apart, must
// be bright enough and agree before the driver trusts a lamp it has just
// switched on.
#pragma once

#include <cstdint>

#include "interface/driver.h"

// Time between the starts of the two readings.
constexpr uint32_t kLampReadingIntervalMs = 2000;

// filmLamp 1 checks the film-unit lamp, any other value the flatbed lamp.
// 0 when bright and stable; 164 while the readings drift; 178 (flatbed) or
// 107 (film unit) when there is too little light; transport and memory codes
// as they come.
DriverError CheckLampWarmUp(uint8_t filmLamp);
