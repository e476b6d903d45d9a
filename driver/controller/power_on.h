// Power-on of the controller: loading every register from the defaults with
// read-back, the quick communication check, and the initialization marker
// that the controller keeps until it loses power.
#pragma once

#include "interface/driver.h"

// Clears lastError, loads and verifies the registers, then writes and
// verifies identity gamma tables in all three banks.
DriverError PowerOnController();
// The register load and read-back; 174 when a register reads back wrong.
DriverError PowerOnSequence();
// Clears lastError, writes and reads back registers 0x0B-0x0D (174 on a
// difference).
DriverError CheckController();
// *needsInit is true when the marker (register 0x73 bit 4) is clear.
DriverError ReadInitMarker(bool* needsInit);
// Sets the marker, writing only when it is clear.
DriverError SetInitMarker();

constexpr uint8_t kRegInitMarker = 0x73;
constexpr uint8_t kInitMarkerBit = 0x10;
