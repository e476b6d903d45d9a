// SharedState: the one block of variables every process that loads the
// driver sees in common.
//
// It is split in two so that the reset rule cannot drift as fields are
// added: PreservedState holds what survives InitializeScanner's working-state
// reset; everything in WorkingState is zeroed by ResetScanState. A new field
// goes into its subsystem's working struct unless it must survive the reset.
// Handles and buffer addresses in here are valid only in the process that
// set them (the scan's owner).
#pragma once

#include <cstdint>
#include <type_traits>

#include "calibration/calibration_state.h"
#include "controller/register_image.h"
#include "interface/interface_state.h"
#include "scan/scan_run_state.h"
#include "scan/scan_state.h"
#include "tone/tone_state.h"

struct PreservedState : ReaderThreadState {
  int32_t processCount;      // processes with the library attached (interlocked)
  int32_t initState;         // 0 nothing done, 1 controller loaded, 2 fully initialized
  uint32_t lastActivityTime; // last activity broadcast or button power-up; 0 until the first
  RegisterImageEntry registerImage[kRegisterImageCount + 1];
  uint16_t toneCurve[3][256];
  char mutexName[10];
  uint32_t activityMessage;
};

struct WorkingState : InterfaceWorkState, CalibrationWorkState, ScanWorkState, ScanRunState, ToneWorkState {};

struct SharedState : PreservedState, WorkingState {};

static_assert(std::is_trivially_copyable_v<SharedState>, "SharedState lives in shared memory");

// Zeroes the working state (ResetScanState's first step).
inline void ZeroWorkingState(SharedState& state) { static_cast<WorkingState&>(state) = WorkingState{}; }
