// A process that finds the scanner initialized by another one and never
// loads gamma tables of its own scans through the identity, not through
// all-zero tables.
#include <gtest/gtest.h>

#include <memory>

#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "platform.h"
#include "process_helpers.h"
#include "scripted_device.h"
#include "tone/tone_tables.h"

TEST(SecondProcess, UploadsIdentityGammaWithoutSetGammaTable) {
  tq5test::PrivateRuntimeDirectory();
  PlatClockUseReal(1.0);
  ASSERT_TRUE(DriverProcessAttach());
  // This process initialized the scanner.
  ResetScanState();
  sharedState->initState = 2;
  tq5test::ScriptedDevice device(tq5test::UniqueSocketPath("gamma"));
  for (int bank = 0; bank < 3; ++bank) device.Memory(bank, 2).assign(4096, 0xEE);

  tq5test::ChildProcess child = tq5test::StartChild(TQ5_GAMMA_CHILD, {device.path()});
  const std::string line = tq5test::ReadChildLine(child);
  EXPECT_EQ(tq5test::WaitChild(child), 0);
  EXPECT_EQ(line, "upload 0 init 2");  // the cheap path: the shared state says initialized

  for (int bank : {0, 1}) {
    const auto& memory = device.Memory(bank, 2);
    for (int k = 0; k < 4096; ++k) ASSERT_EQ(memory[k], k / 16) << "bank " << bank << " entry " << k;
  }
  EXPECT_EQ(sharedState->gammaLevelSpan, 255);  // not the flat table's 8
  DriverProcessDetach();
}
