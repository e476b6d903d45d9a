// The button exports: status decoding, the scan-in-progress and lock rules,
// InitialButton's power-up and homing, and its activity broadcast.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "carriage_model.h"
#include "controller/motion.h"
#include "driver_fixture.h"
#include "wire.h"

using namespace tq5test;
using Where = CarriageModel::Where;

class Buttons : public DriverOnScriptedDevice {
 protected:
  void TearDown() override {
    sharedState->readerThread = 0;
    sharedState->initState = 0;
    carriageAtHome = 1;
    DriverOnScriptedDevice::TearDown();
  }

  // Runs `call` while another thread holds the device lock.
  template <typename Call>
  void WithLockHeldElsewhere(Call call) {
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
      if (LockDevice(1000)) {
        held = true;
        while (!release) std::this_thread::yield();
        UnlockDevice();
      }
      held = true;
    });
    while (!held) std::this_thread::yield();
    call();
    release = true;
    holder.join();
  }

  static ButtonState FilledState() {
    ButtonState state;
    std::memset(&state, 0xEE, sizeof state);
    return state;
  }
  static bool RestIsZero(const ButtonState& state) {
    for (uint8_t b : state.reserved)
      if (b != 0) return false;
    return true;
  }
};

TEST_F(Buttons, ReadPushButtonDecodesTheStatus) {
  struct Case {
    uint8_t status, pressed, button;
  };
  const Case cases[] = {
      {0x0D, 0x81, 1},  // home sensor and both buttons: button 1 wins
      {0x09, 0x81, 2},  // home sensor and button 2
      {0x05, 0x81, 1},  {0x0C, 0x81, 1}, {0x08, 0x81, 2}, {0x04, 0x81, 1},
      {0x01, 0x00, 0},  {0x00, 0x00, 0},
      {0xF3, 0x00, 0},  // every other bit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.status));
    device->SetRegister(0x02, c.status);
    device->ClearLog();
    ButtonState state = FilledState();
    lastError = 0;
    ASSERT_EQ(ReadPushButton(&state), 1);
    EXPECT_EQ(state.pressed, c.pressed);
    EXPECT_EQ(state.button, c.button);
    EXPECT_TRUE(RestIsZero(state));
    EXPECT_EQ(lastError, 0);
    EXPECT_EQ(device->Ops(), (std::vector<RegisterOp>{R(0x02, c.status)}));
  }
}

TEST_F(Buttons, ReadPushButtonStepsAsideAndReportsFailures) {
  device->SetRegister(0x02, 0x0D);
  // A scan runs somewhere: all zero, no device access.
  sharedState->readerThread = 1;
  ButtonState state = FilledState();
  lastError = 0;
  EXPECT_EQ(ReadPushButton(&state), 1);
  EXPECT_EQ(state.pressed, 0);
  EXPECT_EQ(state.button, 0);
  EXPECT_TRUE(RestIsZero(state));
  EXPECT_EQ(lastError, 0);
  EXPECT_TRUE(device->Frames().empty());
  sharedState->readerThread = 0;

  // Lock held elsewhere: still 1, all zero, 150 pending.
  state = FilledState();
  WithLockHeldElsewhere([&] { EXPECT_EQ(ReadPushButton(&state), 1); });
  EXPECT_EQ(state.pressed, 0);
  EXPECT_TRUE(RestIsZero(state));
  EXPECT_EQ(lastError, kErrLockTimeout);
  EXPECT_TRUE(device->Frames().empty());

  // A failed status read: 0 with the code, all zero, and the lock released.
  device->FailAll(kReadFrame, true);
  state = FilledState();
  EXPECT_EQ(ReadPushButton(&state), 0);
  EXPECT_EQ(lastError, kErrTransferFailed);
  EXPECT_EQ(state.pressed, 0);
  EXPECT_EQ(state.button, 0);
  device->FailAll(kReadFrame, false);
  std::atomic<bool> obtained{false};
  std::thread other([&] {
    obtained = LockDevice(100);
    if (obtained) UnlockDevice();
  });
  other.join();
  EXPECT_TRUE(obtained);

  lastError = 0;
  EXPECT_EQ(ReadPushButton(nullptr), 0);
  EXPECT_EQ(lastError, kErrBadParameter);
}

TEST_F(Buttons, InitialButtonOnAnInitializedScannerOnlyReadsTheMarker) {
  device->SetRegister(0x73, 0x10);
  sharedState->initState = 2;
  sharedState->lastActivityTime = 1234;
  ButtonDescription description{0, 0, 0};
  ASSERT_EQ(InitialButton(&description), 1);
  EXPECT_EQ(description.capabilities, 3u);
  EXPECT_EQ(description.buttonCount, 2);
  EXPECT_EQ(description.version, 1);
  EXPECT_EQ(device->Ops(), (std::vector<RegisterOp>{R(0x73, 0x10)}));
  EXPECT_EQ(sharedState->lastActivityTime, 1234u);
  EXPECT_EQ(sharedState->initState, 2);
}

TEST_F(Buttons, InitialButtonPowersUpAndHomesWhenNeeded) {
  struct Case {
    const char* name;
    uint8_t marker;
    int32_t initState;
  };
  const Case cases[] = {
      {"freshly powered", 0x00, 0},
      {"marker set, scanner not fully initialized", 0x10, 1},
      {"marker lost (power cycle), state says initialized", 0xEF, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CarriageModel carriage(*device, Where::Away, {.travelMs = 4000});
    device->SetRegister(0x73, c.marker);
    sharedState->initState = c.initState;
    sharedState->lastActivityTime = 0;
    carriageAtHome = 0;
    device->ClearLog();
    for (int bank = 0; bank < 3; ++bank) device->Memory(bank, 2).assign(4096, 0xEE);
    lastError = kErrLockTimeout;

    ButtonDescription description{0, 0, 0};
    ASSERT_EQ(InitialButton(&description), 1);
    EXPECT_EQ(description.capabilities, 3u);
    EXPECT_EQ(lastError, 0);  // the power-up clears it
    EXPECT_EQ(sharedState->initState, c.initState);  // unchanged
    EXPECT_NE(sharedState->lastActivityTime, 0u);
    EXPECT_LE(sharedState->lastActivityTime, carriage.CommandTime(2));  // stamped before the homing
    EXPECT_TRUE(carriage.AtHome());
    EXPECT_EQ(carriageAtHome, 1);

    const auto ops = device->Ops();
    ASSERT_GT(ops.size(), 10u);
    EXPECT_EQ(ops[0], R(0x73, c.marker));
    EXPECT_EQ(ops[1], W(0x18, 0x18));  // the power-on sequence
    EXPECT_EQ(OpsOfType(ops, RegisterOp::StreamRead).size(), 3u);  // identity gamma verified
    for (int bank = 0; bank < 3; ++bank) EXPECT_EQ(device->Memory(bank, 2)[4095], 255);
    // Homing comes after the gamma, and the control write ends it all.
    size_t lastVerify = 0, returnCommand = 0;
    for (size_t i = 0; i < ops.size(); ++i) {
      if (ops[i].type == RegisterOp::StreamRead) lastVerify = i;
      if (ops[i] == W(0x07, 0x02)) returnCommand = i;
    }
    EXPECT_GT(returnCommand, lastVerify);
    EXPECT_EQ(ops.back().type, RegisterOp::ControlWrite);
    // The marker is never set here: register 0x73 is written only by the
    // register load, with 0.
    for (const auto& op : Writes(ops)) {
      if (op.reg == 0x73) {
        EXPECT_EQ(op.value, 0u);
      }
    }
    device->onReadRegister = nullptr;
    device->onWriteRegister = nullptr;
  }
}

TEST_F(Buttons, InitialButtonFailuresClearTheCapabilities) {
  struct Case {
    const char* name;
    bool jammed;
    bool mismatch;
    DriverError expected;
  };
  const Case cases[] = {
      {"register mismatch", false, true, kErrRegisterMismatch},
      {"carriage does not come home", true, false, kErrHomeTimeout},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CarriageModel carriage(*device, Where::Away, {.jammed = c.jammed});
    if (c.mismatch) {
      device->onReadRegister = [model = device->onReadRegister](uint8_t reg, uint8_t stored) -> uint8_t {
        return reg == 0x2A ? 0x01 : model(reg, stored);
      };
    }
    device->SetRegister(0x73, 0x00);
    sharedState->lastActivityTime = 0;
    device->ClearLog();
    ButtonDescription description{0, 0, 0};
    EXPECT_EQ(InitialButton(&description), 0);
    EXPECT_EQ(description.capabilities, 0u);
    EXPECT_EQ(description.buttonCount, 2);
    EXPECT_EQ(description.version, 1);
    EXPECT_EQ(lastError, static_cast<int32_t>(c.expected));
    EXPECT_NE(sharedState->lastActivityTime, 0u);  // stamped whatever the result
    EXPECT_TRUE(OpsOfType(device->Ops(), RegisterOp::ControlWrite).empty());
    if (c.mismatch) {
      EXPECT_EQ(Writes(device->Ops()).back(), W(0x07, 0x00));  // no homing
    }
    device->onReadRegister = nullptr;
    device->onWriteRegister = nullptr;
  }
}

TEST_F(Buttons, InitialButtonStepsAsideButAlwaysBroadcasts) {
  PlatWindow* utility = PlatWindowCreate(kActivityWindowName, kActivityWindowName);
  ASSERT_NE(utility, nullptr);
  uint32_t message = 0;
  uintptr_t w = 0, l = 0;

  // A scan runs: broadcast, record filled, 1, no device access.
  sharedState->readerThread = 1;
  sharedState->lastActivityTime = 55;
  ButtonDescription description{0, 0, 0};
  EXPECT_EQ(InitialButton(&description), 1);
  EXPECT_EQ(description.capabilities, 3u);
  ASSERT_TRUE(PlatWindowReceive(utility, &message, &w, &l, 2000));
  EXPECT_EQ(message, sharedState->activityMessage);
  EXPECT_TRUE(device->Frames().empty());
  EXPECT_EQ(sharedState->lastActivityTime, 55u);  // the broadcast itself does not stamp
  sharedState->readerThread = 0;

  // Lock held elsewhere: broadcast, record keeps 3, 2, 1, 0 with 150.
  description = {0, 0, 0};
  lastError = 0;
  WithLockHeldElsewhere([&] { EXPECT_EQ(InitialButton(&description), 0); });
  EXPECT_EQ(lastError, kErrLockTimeout);
  EXPECT_EQ(description.capabilities, 3u);
  EXPECT_EQ(description.buttonCount, 2);
  EXPECT_TRUE(PlatWindowReceive(utility, &message, &w, &l, 2000));
  EXPECT_TRUE(device->Frames().empty());

  // The marker cannot be read: 0 with the code, the record as written.
  device->FailAll(kReadFrame, true);
  description = {0, 0, 0};
  EXPECT_EQ(InitialButton(&description), 0);
  EXPECT_EQ(lastError, kErrTransferFailed);
  EXPECT_EQ(description.capabilities, 3u);
  EXPECT_TRUE(PlatWindowReceive(utility, &message, &w, &l, 2000));
  device->FailAll(kReadFrame, false);
  PlatWindowDestroy(utility);

  // A null record is refused before anything else.
  device->ClearLog();
  EXPECT_EQ(InitialButton(nullptr), 0);
  EXPECT_EQ(lastError, kErrBadParameter);
  EXPECT_TRUE(device->Frames().empty());
}
