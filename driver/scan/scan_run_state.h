// Shared state of a running scan: buffers, tables, the ring and its
// cursors, the colour slots and the continuation state of ReadScan.
#pragma once

#include <cstdint>

// Working state: zeroed by ResetScanState.
struct ScanRunState {
  uint32_t ringCapacityBytes;
};
