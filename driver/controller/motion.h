// Motion, lamp, film unit and status primitives of the controller.
#pragma once

#include <cstdint>

#include "interface/driver.h"

// The carriage was last sent to or found at home (per process).
extern int32_t carriageAtHome;

DriverError CommandIdle();
DriverError GoHome();
DriverError LeaveHome();
DriverError StartGoHome();
DriverError SetReg45Bit4(bool on);
DriverError SetReg58Bit2(bool on);
DriverError SetReg5ABit7(bool on);
DriverError SetLamps(bool flatbed, bool film);
DriverError GetLampState(bool* flatbedOn, bool* filmOn);
DriverError DetectFilmUnit(bool* attached);
DriverError MoveCarriage(uint16_t distance);
DriverError WriteReg2A(uint16_t value);

constexpr uint32_t kGoHomeLimitMs = 10000;
constexpr uint32_t kLeaveHomeLimitMs = 8000;
