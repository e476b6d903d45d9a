// Register semantics and the register protocol of the virtual scanner.
#include "sim_fixture.h"

namespace simtest {
namespace {

using tq5sim::kStatusOk;

class Registers : public SimTest {};

TEST_F(Registers, PowerOnStateIsZeroWithMarkerClear) {
  for (int r = 0x04; r < 0x80; ++r) {
    if (r == 0x06) continue;  // memory port
    EXPECT_EQ(Read(static_cast<uint8_t>(r)), 0) << "register " << r;
  }
  EXPECT_EQ(Read(0x02), 0x01);  // only the home sensor
  EXPECT_EQ(Read(0x73) & 0x10, 0);
  EXPECT_EQ(Read(0x01), 0);
  EXPECT_FALSE(scanner->State().flatbedLampOn);
}

TEST_F(Registers, DefaultsReadBackAsThePowerOnSequenceChecks) {
  LoadDefaults();
  for (int r = 0x07; r <= 0x5F; ++r) EXPECT_EQ(Read(static_cast<uint8_t>(r)), kDefaults[r]) << "register " << r;
}

TEST_F(Registers, ModelFollowsAClockThatIsSetBackwards) {
  Write(0x07, 0x01);
  PlatClockUseVirtual(500000, 0);  // an earlier clock than the one it was built on
  EXPECT_TRUE(Read(0x02) & 0x01);
  Wait(20);
  EXPECT_FALSE(Read(0x02) & 0x01);
  EXPECT_EQ(Read(0x07) & 0x03, 0);
}

TEST_F(Registers, StatusRegistersIgnoreWritesAndHighRegistersDoNotExist) {
  Write(0x01, 0x55);
  Write(0x02, 0xFF);
  EXPECT_EQ(Read(0x01), 0);
  EXPECT_EQ(Read(0x02), 0x01);
  Write(0x90, 0x12);
  EXPECT_EQ(Read(0x90), 0);
  Write(0x60, 0xA5);
  EXPECT_EQ(Read(0x60), 0xA5);
}

TEST_F(Registers, InitMarkerIsClearedOnlyByAPowerCycle) {
  Write(0x73, 0x21);
  EXPECT_EQ(Read(0x73), 0x21);
  Write(0x73, 0x31);
  EXPECT_EQ(Read(0x73), 0x31);
  Write(0x73, 0x00);  // the power-on sequence writes 0 to 0x60-0x7F
  EXPECT_EQ(Read(0x73), 0x10);
  scanner->PowerCycle();
  EXPECT_EQ(Read(0x73), 0x00);
}

TEST_F(Registers, PowerCycleForgetsRegistersAndSwitchesLampsOff) {
  LoadDefaults();
  EXPECT_TRUE(scanner->State().flatbedLampOn);
  scanner->PowerCycle();
  EXPECT_EQ(Read(0x5B), 0);
  EXPECT_EQ(Read(0x45), 0);
  EXPECT_FALSE(scanner->State().flatbedLampOn);
}

TEST_F(Registers, ButtonsShowInStatusAndAShortPressIsNotLost) {
  scanner->PressButton(1);
  EXPECT_EQ(Read(0x02), 0x05);
  scanner->PressButton(2);
  EXPECT_EQ(Read(0x02), 0x0D);
  scanner->ReleaseButton(1);
  EXPECT_EQ(Read(0x02), 0x09);
  scanner->ReleaseButton(2);
  EXPECT_EQ(Read(0x02), 0x01);
  // Pressed and released between two polls: the next poll sees it once.
  scanner->PressButton(2);
  scanner->ReleaseButton(2);
  EXPECT_EQ(Read(0x02), 0x09);
  EXPECT_EQ(Read(0x02), 0x01);
}

TEST_F(Registers, FilmUnitSenseIsValidOnlyWhileRegister5ABit2IsClear) {
  EXPECT_EQ(Read(0x02) & 0x10, 0);
  scanner->AttachFilmUnit(true);
  EXPECT_EQ(Read(0x02) & 0x10, 0x10);
  Write(0x5A, 0x14);  // bit 2 set: the sense line is not driven
  EXPECT_EQ(Read(0x02) & 0x10, 0);
  Write(0x5A, 0x10);
  EXPECT_EQ(Read(0x02) & 0x10, 0x10);
  scanner->AttachFilmUnit(false);
  EXPECT_EQ(Read(0x02) & 0x10, 0);
}

TEST_F(Registers, CommandRegisterReportsTheCommandInForce) {
  LoadDefaults();
  Write(0x07, 0x20);  // register load: no command
  EXPECT_EQ(Read(0x07), 0x20);
  Write(0x07, 0x01);  // leave home: busy until off the sensor
  EXPECT_EQ(Read(0x07) & 0x03, 0x01);
  Wait(100);
  EXPECT_EQ(Read(0x07) & 0x03, 0x00);
  Write(0x07, 0x02);
  EXPECT_EQ(Read(0x07) & 0x03, 0x02);
  Wait(100);
  EXPECT_EQ(Read(0x07), 0x00);
}

TEST_F(Registers, CorruptedRegisterReadsBackWrong) {
  LoadDefaults();
  scanner->CorruptRegister(0x2A, 0x0E);
  EXPECT_EQ(Read(0x2A), 0x01);  // 0x0F ^ 0x0E
  scanner->ClearFaults();
  EXPECT_EQ(Read(0x2A), 0x0F);
}

struct BadPacket {
  const char* name;
  std::vector<uint8_t> bytes;
};

TEST_F(Registers, MalformedPacketsAreFailedTransfersAndChangeNothing) {
  const std::vector<BadPacket> cases = {
      {"short header", {0x00, 0x10}},
      {"count zero", {0x00, 0x10, 0x00, 0x00}},
      {"count larger than data", {0x00, 0x10, 0x00, 0x02, 0x01}},
      {"data beyond count", {0x00, 0x10, 0x00, 0x01, 0x01, 0x02}},
      {"stream into a plain register", {0x00, 0x10, 0x00, 0x02, 0x01, 0x02}},
      {"unknown direction", {0x02, 0x10, 0x00, 0x01, 0x01}},
      {"read header with data", {0x01, 0x10, 0x00, 0x01, 0x00}},
      {"stream read of a plain register", {0x01, 0x10, 0x00, 0x02}},
  };
  for (const auto& c : cases) {
    EXPECT_NE(session->Write(c.bytes), kStatusOk) << c.name;
    EXPECT_EQ(Read(0x10), 0) << c.name;
  }
}

TEST_F(Registers, ReadWithoutHeaderFailsAndResetForgetsAPendingRead) {
  std::vector<uint8_t> data;
  EXPECT_NE(session->Read(1, &data), kStatusOk);
  ASSERT_EQ(session->Write({0x01, 0x0B, 0x00, 0x01}), kStatusOk);
  EXPECT_TRUE(session->ResetPipes());
  EXPECT_NE(session->Read(1, &data), kStatusOk);
  // A vendor control write is accepted; an unknown control code is not.
  EXPECT_EQ(session->Control(tq5sim::kIoctlWriteRegisters, {1, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 0}), kStatusOk);
  EXPECT_NE(session->Control(0x12345678, {}), kStatusOk);
  EXPECT_NE(session->Control(tq5sim::kIoctlWriteRegisters, {1, 0, 0, 0, 5, 0, 0, 0, 3, 0, 0, 0, 0}), kStatusOk);
}

TEST_F(Registers, PendingReadsArePerConnection) {
  tq5sim::VirtualScanner::Session other(*scanner);
  Write(0x10, 0x11);
  Write(0x11, 0x22);
  ASSERT_EQ(session->Write({0x01, 0x10, 0x00, 0x01}), kStatusOk);
  ASSERT_EQ(other.Write({0x01, 0x11, 0x00, 0x01}), kStatusOk);
  std::vector<uint8_t> a, b;
  ASSERT_EQ(other.Read(1, &b), kStatusOk);
  ASSERT_EQ(session->Read(1, &a), kStatusOk);
  EXPECT_EQ(a, std::vector<uint8_t>{0x11});
  EXPECT_EQ(b, std::vector<uint8_t>{0x22});
}

}  // namespace
}  // namespace simtest
