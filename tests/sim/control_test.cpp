// The control channel: its command language in-process, and the daemon with
// its control socket and the tq5simctl client as separate processes.
#include <fstream>

#include "process_helpers.h"
#include "sim_fixture.h"

namespace simtest {
namespace {

class Control : public SimTest {
 protected:
  std::string Do(const std::string& line) { return scanner->Execute(line); }
  static bool Ok(const std::string& reply) { return reply.size() >= 3 && reply.compare(reply.size() - 3, 3, "ok\n") == 0; }
};

TEST_F(Control, CommandsChangeTheScannerAndBadOnesAreRefused) {
  struct Case {
    const char* command;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"help", true},          {"press 1", true},           {"press 3", false},
      {"release", false},      {"film attach", true},       {"film load negative", true},
      {"film load slide", false}, {"fault fail-write 2", true}, {"fault fail-write x", false},
      {"fault jam maybe", false},  {"fault register 0x2A 0x0E", true}, {"fault register 300 1", false},
      {"fault memory 1 2 4095", true}, {"fault memory 3 0 0", false}, {"document /nonexistent.pnm", false},
      {"memory 0 2 0 16", true},   {"memory 0 2 4090 16", false}, {"log show 5", true},
      {"quit", false},  // nothing to quit in-process without a callback
      {"", false},             {"frobnicate", false},
  };
  for (const auto& c : cases) EXPECT_EQ(Ok(Do(c.command)), c.ok) << c.command << " -> " << Do(c.command);
}

TEST_F(Control, StateShowsWhatTheCommandsDid) {
  EXPECT_TRUE(Ok(Do("press 2")));
  EXPECT_TRUE(Ok(Do("film attach")));
  const std::string state = Do("state");
  EXPECT_NE(state.find("button2=1\n"), std::string::npos) << state;
  EXPECT_NE(state.find("film_unit=attached\n"), std::string::npos) << state;
  EXPECT_NE(state.find("at_home=1\n"), std::string::npos) << state;
  EXPECT_EQ(Read(0x02), 0x19);
  EXPECT_TRUE(Ok(Do("release 2")));
  EXPECT_TRUE(Ok(Do("click 1")));
  EXPECT_EQ(Read(0x02) & 0x0C, 0x04);
  EXPECT_EQ(Read(0x02) & 0x0C, 0x00);
}

TEST_F(Control, FaultsAndPowerCycleReachTheModel) {
  Write(0x2A, 0x0F);
  EXPECT_TRUE(Ok(Do("fault register 0x2A 0x0E")));
  EXPECT_EQ(Read(0x2A), 0x01);
  EXPECT_TRUE(Ok(Do("fault clear")));
  EXPECT_EQ(Read(0x2A), 0x0F);
  Write(0x73, 0x10);
  EXPECT_TRUE(Ok(Do("power-cycle")));
  EXPECT_EQ(Read(0x73), 0x00);
  EXPECT_EQ(Read(0x2A), 0x00);
  EXPECT_TRUE(Ok(Do("fault fail-read 1")));
  uint8_t v = 0;
  EXPECT_FALSE(session->ReadRegister(0x02, &v));
  EXPECT_TRUE(session->ReadRegister(0x02, &v));
}

TEST_F(Control, RegistersAndTrafficLogAreShown) {
  EXPECT_TRUE(Ok(Do("log on")));
  Write(0x5B, 0x19);
  Read(0x5B);
  const std::string log = Do("log show");
  EXPECT_NE(log.find("write reg=0x5B count=1 value=0x19"), std::string::npos) << log;
  EXPECT_NE(log.find("read-data reg=0x5B count=1 value=0x19"), std::string::npos) << log;
  const std::string regs = Do("registers");
  EXPECT_NE(regs.find("50: 00 00 00 00 00 00 00 00 00 00 00 19"), std::string::npos) << regs;
  const auto entries = scanner->TrafficLog();
  ASSERT_GE(entries.size(), 3u);
  EXPECT_EQ(entries[0].op, tq5sim::TrafficEntry::Op::WriteRegister);
}

TEST_F(Control, DocumentsLoadFromPnmFiles) {
  TempDir dir;
  tq5sim::Image image;
  image.width = 40;
  image.height = 30;
  image.channels = 1;
  image.pixels.assign(40 * 30, 0);
  std::string error;
  ASSERT_TRUE(tq5sim::SavePnm(dir.File("black.pnm"), image, &error)) << error;
  EXPECT_TRUE(Ok(Do("document " + dir.File("black.pnm"))));
  tq5sim::Image back;
  ASSERT_TRUE(tq5sim::LoadPnm(dir.File("black.pnm"), &back, &error)) << error;
  EXPECT_EQ(back.width, 40);
  EXPECT_EQ(back.channels, 1);
  std::ofstream(dir.File("bad.pnm")) << "P6\n40 30\n255\nshort";
  EXPECT_FALSE(Ok(Do("document " + dir.File("bad.pnm"))));
  EXPECT_FALSE(tq5sim::LoadPnm(dir.File("bad.pnm"), &back, &error));
  EXPECT_TRUE(Ok(Do("document chart")));
}

// The daemon and its client as a user runs them.
class Daemon : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon = tq5test::StartChild(TQ5SIM_DAEMON, {"--device", device, "--control", control, "--speed", "10"});
    ASSERT_GT(daemon.pid, 0);
    const std::string line = tq5test::ReadChildLine(daemon);
    ASSERT_NE(line.find("serving"), std::string::npos) << line;
  }
  void TearDown() override {
    if (daemon.pid > 0) tq5test::KillChild(daemon);
  }
  // Runs tq5simctl; returns its exit status and its output lines.
  int Ctl(const std::vector<std::string>& words, std::vector<std::string>* output = nullptr) {
    std::vector<std::string> args{"--control", control};
    args.insert(args.end(), words.begin(), words.end());
    tq5test::ChildProcess ctl = tq5test::StartChild(TQ5SIM_CLIENT, args);
    for (std::string l; !(l = tq5test::ReadChildLine(ctl)).empty();) {
      if (output != nullptr) output->push_back(l);
    }
    return tq5test::WaitChild(ctl);
  }
  TempDir dir;
  std::string device = dir.File("dev.sock");
  std::string control = dir.File("ctl.sock");
  tq5test::ChildProcess daemon;
};

TEST_F(Daemon, ClientControlsTheScannerThatTheDeviceNodeShows) {
  EXPECT_EQ(Ctl({"press", "1"}), 0);
  std::vector<std::string> state;
  EXPECT_EQ(Ctl({"state"}, &state), 0);
  EXPECT_NE(std::find(state.begin(), state.end(), "button1=1"), state.end());
  // A device client sees the button in status register 0x02.
  PlatStream* s = PlatConnect(device.c_str());
  ASSERT_NE(s, nullptr);
  const uint8_t header[12] = {0x01, 0, 0, 0, 4, 0, 0, 0, 0x01, 0x02, 0x00, 0x01};
  const uint8_t read[12] = {0x02, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0};
  uint8_t reply[13] = {};
  ASSERT_TRUE(PlatStreamWriteAll(s, header, 12));
  ASSERT_TRUE(PlatStreamReadAll(s, reply, 12, 5000));
  ASSERT_TRUE(PlatStreamWriteAll(s, read, 12));
  ASSERT_TRUE(PlatStreamReadAll(s, reply, 13, 5000));
  EXPECT_EQ(reply[0], 0x82);
  EXPECT_EQ(reply[12], 0x05);
  PlatStreamClose(s);
  EXPECT_EQ(Ctl({"fault", "jam", "sideways"}), 1);
  EXPECT_EQ(Ctl({"quit"}), 0);
  EXPECT_EQ(tq5test::WaitChild(daemon), 0);
  EXPECT_FALSE(std::filesystem::exists(device));
  EXPECT_FALSE(std::filesystem::exists(control));
}

TEST(DaemonUsage, RefusesBadArgumentsAndAnOccupiedNode) {
  TempDir dir;
  tq5test::ChildProcess noDevice = tq5test::StartChild(TQ5SIM_DAEMON, {"--speed", "0"});
  EXPECT_EQ(tq5test::WaitChild(noDevice), 2);
  tq5test::ChildProcess noServer = tq5test::StartChild(TQ5SIM_CLIENT, {"--control", dir.File("none.sock"), "state"});
  EXPECT_EQ(tq5test::WaitChild(noServer), 2);
  tq5sim::VirtualScanner holder;
  ASSERT_TRUE(holder.Start(dir.File("dev.sock")));
  tq5test::ChildProcess second = tq5test::StartChild(TQ5SIM_DAEMON, {"--device", dir.File("dev.sock")});
  EXPECT_EQ(tq5test::WaitChild(second), 1);
}

}  // namespace
}  // namespace simtest
