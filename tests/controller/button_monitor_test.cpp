// A button monitor written against the exports alone, on the virtual
// scanner: InitialButton on a freshly powered scanner powers it up and homes
// the carriage; ReadPushButton then reports a button pressed through the
// scanner's control channel.
#include <gtest/gtest.h>

#include <string>

#include "platform.h"
#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "scripted_device.h"
#include "tq5/tq5drv.h"
#include "virtual_scanner.h"

namespace {

class ButtonMonitor : public ::testing::Test {
 protected:
  void SetUp() override {
    tq5test::PrivateRuntimeDirectory();
    PlatClockUseVirtual(7'000'000, 1);
    ASSERT_TRUE(DriverProcessAttach());
    devicePath_ = tq5test::UniqueSocketPath("vs");
    controlPath_ = tq5test::UniqueSocketPath("vs-control");
    ASSERT_TRUE(scanner_.Start(devicePath_));
    ASSERT_TRUE(scanner_.StartControl(controlPath_));
  }
  void TearDown() override {
    TerminateDriver();
    scanner_.Stop();
    DriverProcessDetach();
    PlatClockUseReal(1.0);
  }

  // Moves the carriage off home as a scan that was cut off by a power loss
  // would leave it: a positioning move of `steps` with the motor on.
  void LeaveCarriageAway(uint16_t distance) {
    tq5sim::VirtualScanner::Session session(scanner_);
    ASSERT_TRUE(session.WriteRegister(0x45, 0x13));
    ASSERT_TRUE(session.WriteRegister(0x4A, static_cast<uint8_t>(distance >> 8)));
    ASSERT_TRUE(session.WriteRegister(0x4B, static_cast<uint8_t>(distance & 0xFF)));
    ASSERT_TRUE(session.WriteRegister(0x07, 0x03));
    PlatClockAdvance(20000);
    uint8_t ignored = 0;
    ASSERT_TRUE(session.ReadRegister(0x03, &ignored));  // lets the model catch up
    ASSERT_TRUE(session.WriteRegister(0x07, 0x00));
  }

  std::string Control(const std::string& command) {
    const auto lines = tq5sim::SendControlCommand(controlPath_, command);
    return lines.empty() ? std::string() : lines.back();
  }

  tq5sim::VirtualScanner scanner_;
  std::string devicePath_, controlPath_;
};

}  // namespace

TEST_F(ButtonMonitor, ArmsAFreshScannerAndSeesAPress) {
  LeaveCarriageAway(1000);
  ASSERT_FALSE(scanner_.State().atHome);
  ASSERT_EQ(Control("power-cycle"), "ok");

  ASSERT_EQ(FindScannerEx(devicePath_.c_str()), 1);
  ButtonDescription description{};
  ASSERT_EQ(InitialButton(&description), 1);
  EXPECT_EQ(description.capabilities, 3u);
  EXPECT_EQ(description.buttonCount, 2);
  EXPECT_EQ(description.version, 1);

  // Powered up from the defaults (with identity gamma), carriage home, and
  // the scanner still counts as not initialized.
  const auto registers = scanner_.Registers();
  EXPECT_EQ(registers[0x0C], 0x60);
  EXPECT_EQ(registers[0x5B], 0x19);
  const auto gamma = scanner_.Memory(1, 2);
  ASSERT_EQ(gamma.size(), 4096u);
  EXPECT_EQ(gamma[4095], 255);
  EXPECT_EQ(gamma[16], 1);
  EXPECT_TRUE(scanner_.State().atHome);
  EXPECT_FALSE(scanner_.State().initMarker);
  EXPECT_EQ(sharedState->initState, 0);

  // Nothing pressed, then button 2, then button 1.
  ButtonState state{};
  ASSERT_EQ(ReadPushButton(&state), 1);
  EXPECT_EQ(state.pressed, 0);
  EXPECT_EQ(state.button, 0);
  struct Press {
    const char* command;
    uint8_t button;
  };
  for (const Press press : {Press{"click 2", 2}, Press{"click 1", 1}}) {
    SCOPED_TRACE(press.command);
    ASSERT_EQ(Control(press.command), "ok");
    ASSERT_EQ(ReadPushButton(&state), 1);
    EXPECT_EQ(state.pressed, 0x81);
    EXPECT_EQ(state.button, press.button);
    ASSERT_EQ(ReadPushButton(&state), 1);  // released again
    EXPECT_EQ(state.pressed, 0);
  }
  // Both held down: button 1 is reported.
  ASSERT_EQ(Control("press 1"), "ok");
  ASSERT_EQ(Control("press 2"), "ok");
  ASSERT_EQ(ReadPushButton(&state), 1);
  EXPECT_EQ(state.pressed, 0x81);
  EXPECT_EQ(state.button, 1);

  // A second InitialButton finds the controller powered but not marked: it
  // powers up again (only InitializeScanner sets the marker).
  ASSERT_EQ(InitialButton(&description), 1);
  uint8_t status = 0xFF;
  ASSERT_EQ(GetScannerStatus(&status), 1);
  EXPECT_EQ(status, 0);
}
