// tq5scan run as a user runs it, for everything that needs no working scan:
// help and version, refused command lines (which must not reach the
// scanner), the output that cannot be written, a missing driver or auto tone
// library, a device node that is not there, and the device list.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "in_test_scanner.h"
#include "tool_runner.h"

using namespace tq5scantest;
namespace fs = std::filesystem;

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// One line on standard error, starting with the program's name.
void ExpectOneErrorLine(const ToolResult& r) {
  EXPECT_EQ(r.err.rfind("tq5scan: ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

// A copy of tq5scan in <sandbox>/bin with the given libraries in <sandbox>/lib.
std::string InstallCopy(const Sandbox& box, const std::vector<std::string>& libraries) {
  fs::create_directories(box.Path("bin"));
  fs::create_directories(box.Path("lib"));
  fs::copy_file(ToolProgram(), box.Path("bin/tq5scan"));
  for (const auto& library : libraries) fs::copy_file(library, box.Path("lib") + "/" + fs::path(library).filename().string());
  return box.Path("bin/tq5scan");
}

}  // namespace

TEST(Cli, HelpListsTheOptionsAndTheExitStatuses) {
  Sandbox box;
  const ToolResult r = box.Run({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* text : {"Usage: tq5scan", "--device", "--list-devices", "--mode", "--resolution", "-l MM",
                           "--source", "--format", "--output-file", "--progress", "--wait-for-button", "--test",
                           "--document", "--negative", "--auto-tone", "Film Frame", "Exit status:", "2 bad option",
                           "5 the scanner is busy", "130 interrupted"})
    EXPECT_TRUE(Contains(r.out, text)) << text;
  EXPECT_EQ(r.err, "");
}

TEST(Cli, VersionNamesTheToolAndTheDriverItLoads) {
  Sandbox box;
  const ToolResult r = box.Run({"-V"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Contains(r.out, std::string("tq5scan ") + TQ5SCAN_VERSION + "\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "driver: libTQ5DRV.so for the QT73418, version digits 109")) << r.out;
}

// Bad options and areas are refused with status 2 before anything is
// opened: the scanner on the device node never sees a connection, and no
// output file appears.
TEST(Cli, RefusedCommandLinesDoNotTouchTheScanner) {
  tq5test::PrivateRuntimeDirectory();
  InTestScanner device;
  ASSERT_TRUE(device.started());
  Sandbox box;
  const std::vector<std::vector<std::string>> cases = {
      {"--mode", "Sepia"},
      {"--resolution", "2400"},
      {"--y-resolution", "1300"},
      {"-l", "220"},
      {"-t", "100", "-y", "250"},
      {"-x", "0"},
      {"--source", "Film", "--resolution", "1300"},
      {"--source", "Film Frame", "-l", "37"},
      {"--negative"},
      {"--format", "bmp"},
      {"-o", "scan.gif"},
      {"--document", "page.png"},  // with -d
      {"--bogus"},
  };
  for (auto arguments : cases) {
    SCOPED_TRACE(testing::PrintToString(arguments));
    arguments.insert(arguments.begin(), {"-d", device.path(), "-o", "out.png"});
    if (arguments.back() == "scan.gif") arguments.erase(arguments.begin() + 2, arguments.begin() + 4);
    const ToolResult r = box.Run(arguments);
    EXPECT_EQ(r.status, 2);
    ExpectOneErrorLine(r);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(box.Path("out.png")));
    EXPECT_FALSE(fs::exists(box.Path("scan.gif")));
  }
  EXPECT_EQ(device.scanner().GetCounters().connections, 0u);
}

TEST(Cli, AnOutputThatCannotBeWrittenIsRefusedBeforeTheScanner) {
  tq5test::PrivateRuntimeDirectory();
  InTestScanner device;
  ASSERT_TRUE(device.started());
  Sandbox box;
  const ToolResult r = box.Run({"-d", device.path(), "-o", box.Path("no/such/dir/scan.png")});
  EXPECT_EQ(r.status, 8);
  ExpectOneErrorLine(r);
  EXPECT_TRUE(Contains(r.err, "cannot write " + box.Path("no/such/dir/scan.png"))) << r.err;
  EXPECT_EQ(device.scanner().GetCounters().connections, 0u);
}

TEST(Cli, WithoutTheDriverLibraryTheToolSaysWhereItLooked) {
  Sandbox box;
  const std::string copy = InstallCopy(box, {});
  RunOptions options;
  options.program = copy;
  const ToolResult r = box.Run({"-x", "10", "-y", "10", "-o", "scan.png"}, options);
  EXPECT_EQ(r.status, 3);
  ExpectOneErrorLine(r);
  EXPECT_TRUE(Contains(r.err, "cannot load the scanner driver libTQ5DRV.so")) << r.err;
  EXPECT_FALSE(fs::exists(box.Path("scan.png")));
  EXPECT_FALSE(fs::exists(box.Path("scan.png.part")));
}

// InitializeDriver loads the auto tone library next to the driver; without
// it the driver reports 153.
TEST(Cli, WithoutTheAutoToneLibraryInitializeDriverFails) {
  Sandbox box;
  RunOptions options;
  options.program = InstallCopy(box, {TQ5_DRIVER_LIBRARY});
  const ToolResult r = box.Run({"-x", "10", "-y", "10", "-o", "scan.png"}, options);
  EXPECT_EQ(r.status, 4);
  ExpectOneErrorLine(r);
  EXPECT_TRUE(Contains(r.err, "InitializeDriver: error 153 DriverLoadFailed")) << r.err;
  EXPECT_TRUE(Contains(r.err, "libTONEFX.so")) << r.err;
  EXPECT_FALSE(fs::exists(box.Path("scan.png")));
}

TEST(Cli, ADeviceNodeThatIsNotThereIsReportedWithCode155) {
  tq5test::PrivateRuntimeDirectory();
  Sandbox box;
  { std::ofstream(box.Path("plain-file")) << "not a socket"; }
  for (const std::string& node : {box.Path("missing.sock"), box.Path("plain-file")}) {
    SCOPED_TRACE(node);
    const ToolResult r = box.Run({"-d", node, "-o", "scan.png"});
    EXPECT_EQ(r.status, 4);
    ExpectOneErrorLine(r);
    EXPECT_TRUE(Contains(r.err, "cannot open " + node + ": error 155 DeviceNotOpen")) << r.err;
    EXPECT_FALSE(fs::exists(box.Path("scan.png")));
  }
}

// The list names the device nodes in the runtime directory that answer the
// register protocol, and not other sockets there (a control channel).
TEST(Cli, ListDevicesFindsTheDeviceNodesInTheRuntimeDirectory) {
  const std::string runtime = tq5test::PrivateRuntimeDirectory();
  InTestScanner device;
  ASSERT_TRUE(device.started());
  const std::string control = tq5test::UniqueSocketPath("control");
  ASSERT_TRUE(device.scanner().StartControl(control));
  Sandbox box;
  const ToolResult r = box.Run({"-L"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "device `" + device.path() + "' is a KALDO QT-73418M flatbed scanner\n")) << r.out;
  EXPECT_FALSE(Contains(r.out, control)) << r.out;
  EXPECT_TRUE(Contains(r.out, "built-in virtual scanner")) << r.out;
}
