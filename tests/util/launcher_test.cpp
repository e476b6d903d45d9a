// ScannerUtilityStart: the taskbar check, the command line built from the
// Windows directory, the second attempt and the pause, the length limit,
// and a real program started from TWAIN_32 under the stand-in Windows
// directory.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "launcher.h"
#include "platform.h"
#include "scripted_device.h"
#include "tq5/tq5util.h"

namespace fs = std::filesystem;

namespace {

// A process starter that records the command lines it is given and fails
// the attempts listed in `failures` (error codes, in order; 0 = succeed).
struct FakeStarter {
  static std::vector<std::string> commands;
  static std::vector<uint32_t> failures;
  static bool Start(const char* commandLine, uint32_t* errorCode) {
    commands.emplace_back(commandLine);
    const size_t attempt = commands.size() - 1;
    const uint32_t code = attempt < failures.size() ? failures[attempt] : 0;
    if (code == 0) return true;
    *errorCode = code;
    return false;
  }
};
std::vector<std::string> FakeStarter::commands;
std::vector<uint32_t> FakeStarter::failures;

std::string WindowsDirectory() {
  char buffer[512];
  const uint32_t length = PlatWindowsDirectory(buffer, sizeof buffer);
  return std::string(buffer, length);
}

class Launcher : public ::testing::Test {
 protected:
  void SetUp() override {
    tq5test::PrivateRuntimeDirectory();
    PlatClockUseVirtual(1'000'000, 1);
    FakeStarter::commands.clear();
    FakeStarter::failures.clear();
  }
  void TearDown() override {
    if (taskbar_ != nullptr) PlatWindowDestroy(taskbar_);
    PlatClockUseReal(1.0);
  }
  void StartShell() {
    taskbar_ = PlatWindowCreate("Shell_TrayWnd", "");
    ASSERT_NE(taskbar_, nullptr);
  }
  PlatWindow* taskbar_ = nullptr;
};

}  // namespace

TEST_F(Launcher, BuildsTheCommandFromTheWindowsDirectory) {
  StartShell();
  ASSERT_EQ(WindowsDirectory(), "C:\\WINDOWS");
  FakeStarter::failures = {0};
  EXPECT_EQ(LaunchUtility("tool.exe /x", FakeStarter::Start), 1);
  EXPECT_EQ(FakeStarter::commands, (std::vector<std::string>{"C:\\WINDOWS\\TWAIN_32\\tool.exe /x"}));
}

TEST_F(Launcher, SecondAttemptAndPause) {
  StartShell();
  struct Case {
    const char* name;
    std::vector<uint32_t> failures;
    int32_t expected;
    size_t attempts;
    bool pause;
  };
  const Case cases[] = {
      {"first attempt starts", {0}, 1, 1, false},
      {"second attempt starts, no pause", {5, 0}, 1, 2, false},
      {"both fail: the second's code after 1000 ms", {5, 32}, 32, 2, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeStarter::commands.clear();
    FakeStarter::failures = c.failures;
    const uint64_t before = PlatClockNow();
    EXPECT_EQ(LaunchUtility("util.exe", FakeStarter::Start), c.expected);
    const uint64_t took = PlatClockNow() - before;
    ASSERT_EQ(FakeStarter::commands.size(), c.attempts);
    EXPECT_EQ(FakeStarter::commands.front(), FakeStarter::commands.back());  // same command again
    if (c.pause)
      EXPECT_GE(took, 1000u);
    else
      EXPECT_LT(took, 1000u);
  }
}

TEST_F(Launcher, RefusesWithoutShellOrWithACommandTooLong) {
  // No taskbar: 0, nothing tried, no pause.
  const uint64_t before = PlatClockNow();
  EXPECT_EQ(LaunchUtility("tool.exe /x", FakeStarter::Start), 0);
  EXPECT_TRUE(FakeStarter::commands.empty());
  EXPECT_LT(PlatClockNow() - before, 1000u);

  StartShell();
  // The whole command may be 260 characters.
  const size_t room = kLauncherCommandLimit - WindowsDirectory().size() - std::string("\\TWAIN_32\\").size();
  const std::string longest = "t.exe " + std::string(room - 6, 'a');
  EXPECT_EQ(LaunchUtility(longest.c_str(), FakeStarter::Start), 1);
  ASSERT_EQ(FakeStarter::commands.size(), 1u);
  EXPECT_EQ(FakeStarter::commands[0].size(), 260u);
  EXPECT_EQ(FakeStarter::commands[0], WindowsDirectory() + "\\TWAIN_32\\" + longest);

  FakeStarter::commands.clear();
  for (const std::string& tooLong : {longest + "a", longest + std::string(5000, 'b')})
    EXPECT_EQ(LaunchUtility(tooLong.c_str(), FakeStarter::Start), 0);
  EXPECT_EQ(LaunchUtility(nullptr, FakeStarter::Start), 0);
  EXPECT_TRUE(FakeStarter::commands.empty());
}

// The export with the platform's process start: a shell script placed as
// TWAIN_32/tool.exe writes its arguments to a file.
TEST_F(Launcher, StartsTheUtilityProgram) {
  char local[4096];
  ASSERT_TRUE(PlatMapWindowsPath((WindowsDirectory() + "\\TWAIN_32\\tool.exe").c_str(), local, sizeof local));
  const fs::path tool = local;
  const fs::path output = tool.parent_path() / "arguments.txt";
  fs::create_directories(tool.parent_path());
  fs::remove(output);
  {
    std::ofstream script(tool, std::ios::trunc);
    script << "#!/bin/sh\n"
           << "printf '%s\\n' \"$#\" \"$@\" > '" << output.string() << ".tmp' && mv '" << output.string() << ".tmp' '"
           << output.string() << "'\n";
  }
  fs::permissions(tool, fs::perms::owner_all, fs::perm_options::replace);

  // Without the taskbar nothing starts (and nothing is tried: a missing
  // program would give its error code instead of 0).
  EXPECT_EQ(ScannerUtilityStart(nullptr, nullptr, "missing.exe", 1), 0);

  StartShell();
  const uint64_t before = PlatClockNow();
  EXPECT_EQ(ScannerUtilityStart(nullptr, nullptr, "tool.exe /x", 1), 1);
  EXPECT_LT(PlatClockNow() - before, 1000u);
  // The program runs on its own; give it up to 20 s of real time to appear.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(output) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(fs::exists(output));
  std::ifstream in(output);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "1\n/x\n");

  // A program that does not exist: both attempts fail, the pause, then
  // ERROR_FILE_NOT_FOUND.
  const uint64_t failedAt = PlatClockNow();
  EXPECT_EQ(ScannerUtilityStart(nullptr, nullptr, "missing.exe /x", 1), 2);
  EXPECT_GE(PlatClockNow() - failedAt, 1000u);
}
