// Windows paths, INI reads, the Windows directory, library loading, the OS
// version and starting a program.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "fork_child.h"
#include "platform.h"

namespace {

namespace fs = std::filesystem;

std::string DriveC() { return std::string(PlatRuntimeDirectory()) + "/c"; }

std::string Mapped(const char* windowsPath) {
  char buffer[512];
  return PlatMapWindowsPath(windowsPath, buffer, sizeof buffer) ? std::string(buffer) : std::string("<refused>");
}

TEST(WindowsPaths, DriveCMapsToItsRoot) {
  const struct {
    const char* windows;
    std::string local;
  } cases[] = {
      {"C:\\TQ5DRV.INI", DriveC() + "/TQ5DRV.INI"},
      {"c:\\WINDOWS\\TWAIN_32\\tool.exe", DriveC() + "/WINDOWS/TWAIN_32/tool.exe"},
      {"C:/mixed\\slashes", DriveC() + "/mixed/slashes"},
      {"C:", DriveC()},
      {"C:\\a..b\\..c", DriveC() + "/a..b/..c"},
      {"D:\\TQ5DRV.INI", "<refused>"},
      {"TQ5DRV.INI", "<refused>"},
      {"\\\\server\\share", "<refused>"},
      {"C:\\WINDOWS\\..\\..\\etc\\passwd", "<refused>"},
      {"", "<refused>"},
  };
  for (const auto& c : cases) EXPECT_EQ(Mapped(c.windows), c.local) << c.windows;

  setenv("TQ5_DRIVE_C", "/srv/drive-c", 1);
  EXPECT_EQ(Mapped("C:\\TQ5DRV.INI"), "/srv/drive-c/TQ5DRV.INI");
  unsetenv("TQ5_DRIVE_C");

  char small[8];
  EXPECT_FALSE(PlatMapWindowsPath("C:\\TQ5DRV.INI", small, sizeof small)) << "does not fit";
}

TEST(WindowsPaths, WindowsDirectoryReportsItsWindowsForm) {
  char buffer[64];
  EXPECT_EQ(PlatWindowsDirectory(buffer, sizeof buffer), 10u);
  EXPECT_STREQ(buffer, "C:\\WINDOWS");
  EXPECT_EQ(PlatWindowsDirectory(buffer, 10), 11u) << "too small: the size needed, with the terminator";
  EXPECT_EQ(PlatWindowsDirectory(nullptr, 0), 11u);
  setenv("TQ5_WINDOWS_DIR", "C:\\WINNT", 1);
  EXPECT_EQ(PlatWindowsDirectory(buffer, sizeof buffer), 8u);
  EXPECT_STREQ(buffer, "C:\\WINNT");
  unsetenv("TQ5_WINDOWS_DIR");
}

// ---------------------------------------------------------------------------

TEST(ProfileInt, ReadsLikeGetPrivateProfileInt) {
  fs::create_directories(DriveC());
  const std::string ini = DriveC() + "/TQ5DRV.INI";
  const struct {
    const char* content;
    const char* section;
    const char* key;
    int32_t defaultValue;
    uint32_t expected;
  } cases[] = {
      {"[Register]\nkREG_08H=12\n", "Register", "kREG_08H", 10, 12},
      {"[register]\nKREG_08h=12\n", "Register", "kREG_08H", 10, 12},
      {"  [ Register ]  \r\n  kREG_08H   =   12  \r\n", "Register", "kREG_08H", 10, 12},
      {"[Register]\nkREG_08H=300\n", "Register", "kREG_08H", 10, 300},
      {"[Register]\nkREG_08H=-5\n", "Register", "kREG_08H", 10, 0xFFFFFFFBu},
      {"[Register]\nkREG_08H=+7\n", "Register", "kREG_08H", 10, 7},
      {"[Register]\nkREG_08H=12abc\n", "Register", "kREG_08H", 10, 12},
      {"[Register]\nkREG_08H=abc\n", "Register", "kREG_08H", 10, 0},
      {"[Register]\nkREG_08H=-\n", "Register", "kREG_08H", 10, 0},
      {"[Register]\nkREG_08H=0x1F\n", "Register", "kREG_08H", 10, 31},
      {"[Register]\nkREG_08H=\"14\"\n", "Register", "kREG_08H", 10, 14},
      {"[Register]\nkREG_08H=\n", "Register", "kREG_08H", 10, 10},
      {"[Register]\nkREG_08H=1\nkREG_08H=2\n", "Register", "kREG_08H", 10, 1},
      {"[Register]\n;kREG_08H=1\n", "Register", "kREG_08H", 10, 10},
      {"[Register]\nkREG_38H=1\n", "Register", "kREG_08H", 10, 10},
      {"[Other]\nkREG_08H=1\n[Register]\nkREG_38H=2\n", "Register", "kREG_08H", 10, 10},
      {"[Register]\nkREG_08H=1\n[Other]\nkREG_08H=2\n", "Other", "kREG_08H", 10, 2},
      {"kREG_08H=1\n", "Register", "kREG_08H", -1, 0xFFFFFFFFu},
  };
  for (const auto& c : cases) {
    std::ofstream(ini, std::ios::trunc) << c.content;
    EXPECT_EQ(PlatProfileInt(c.section, c.key, c.defaultValue, "C:\\TQ5DRV.INI"), c.expected) << c.content;
  }
  fs::remove(ini);
  EXPECT_EQ(PlatProfileInt("Register", "kREG_08H", 10, "C:\\TQ5DRV.INI"), 10u) << "no file";
  EXPECT_EQ(PlatProfileInt("Register", "kREG_08H", 10, "Q:\\TQ5DRV.INI"), 10u) << "no such drive";
}

// ---------------------------------------------------------------------------

TEST(Libraries, WindowsNameFindsTheSharedObject) {
  EXPECT_EQ(PlatLibraryLoad("PLATPROBE.dll"), nullptr) << "not in the program's directory";
  setenv("TQ5_LIBRARY_PATH", "/nonexistent:" PLAT_PROBE_DIR, 1);
  PlatLibrary* library = PlatLibraryLoad("PLATPROBE.dll");
  PlatLibrary* upper = PlatLibraryLoad("PLATPROBE.DLL");
  unsetenv("TQ5_LIBRARY_PATH");
  ASSERT_NE(library, nullptr);
  ASSERT_NE(upper, nullptr);
  auto answer = reinterpret_cast<int (*)()>(PlatLibrarySymbol(library, "PlatProbeAnswer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(PlatLibrarySymbol(library, "NoSuchSymbol"), nullptr);
  PlatLibraryFree(upper);
  PlatLibraryFree(library);
  EXPECT_EQ(PlatLibraryLoad("NOSUCHLIB.dll"), nullptr);
}

TEST(OsVersion, SixUnlessOverridden) {
  EXPECT_EQ(PlatOsMajorVersion(), 6u);
  PlatTestSetOsMajorVersion(4);
  EXPECT_EQ(PlatOsMajorVersion(), 4u);
  PlatTestSetOsMajorVersion(0);
  EXPECT_EQ(PlatOsMajorVersion(), 6u);
}

// ---------------------------------------------------------------------------

void WriteScript(const std::string& path, const std::string& body, fs::perms permissions) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::trunc) << body;
  fs::permissions(path, permissions);
}

std::string ReadWhenPresent(const std::string& path) {
  // The started program runs on its own; give it a few (real) seconds at most.
  for (int i = 0; i < 1000; ++i) {
    if (fs::exists(path + ".done")) {
      std::ifstream file(path);
      std::stringstream text;
      text << file.rdbuf();
      return text.str();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return "<nothing>";
}

TEST(CreateProcess, StartsTheMappedProgramWithItsArguments) {
  const std::string tool = DriveC() + "/Program Files/TWAIN_32/tool.exe";
  WriteScript(tool, "#!/bin/sh\nprintf '%s|' \"$@\" > \"$1\"\ntouch \"$1.done\"\n", fs::perms::owner_all);
  const std::string output = std::string(PlatRuntimeDirectory()) + "/started.txt";
  const std::string command = "\"C:\\Program Files\\TWAIN_32\\tool.exe\" " + output + " /x \"two words\"";
  uint32_t error = 99;
  ASSERT_TRUE(PlatCreateProcess(command.c_str(), &error));
  EXPECT_EQ(ReadWhenPresent(output), output + "|/x|two words|");
  // The program is not our child: there is nothing to wait for, no zombie.
  EXPECT_FALSE(plattest::HasChildProcesses());
}

TEST(CreateProcess, ReportsWhyAProgramCannotStart) {
  WriteScript(DriveC() + "/locked.exe", "#!/bin/sh\n", fs::perms::owner_read);
  WriteScript(DriveC() + "/noformat.exe", "not a program\n", fs::perms::owner_all);
  const struct {
    const char* command;
    uint32_t error;
  } cases[] = {
      {"C:\\WINDOWS\\TWAIN_32\\missing.exe /x", 2},  // ERROR_FILE_NOT_FOUND
      {"Q:\\tool.exe", 3},                            // ERROR_PATH_NOT_FOUND
      {"C:\\locked.exe", 5},                          // ERROR_ACCESS_DENIED
      {"C:\\noformat.exe", 193},                      // ERROR_BAD_EXE_FORMAT
      {"", 2},
  };
  for (const auto& c : cases) {
    uint32_t error = 0;
    EXPECT_FALSE(PlatCreateProcess(c.command, &error)) << c.command;
    EXPECT_EQ(error, c.error) << c.command;
    EXPECT_EQ(PlatLastError(), c.error) << c.command;
  }
}

}  // namespace
