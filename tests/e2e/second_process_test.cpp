// A second process that finds the scanner already initialized by another
// one takes the cheap initialization path and never loads gamma tables of
// its own: its scans must still come out right, not black.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "interface/device_lock.h"
#include "interface/shared_state.h"
#include "platform.h"
#include "process_helpers.h"
#include "scripted_device.h"
#include "virtual_scanner.h"

namespace {

// Reads a binary PGM (P5, maxval 255).
bool ReadPgm(const std::string& path, int* width, int* height, std::vector<uint8_t>* pixels) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  in >> magic;
  if (magic != "P5") return false;
  auto next = [&in]() {
    in >> std::ws;
    while (in.peek() == '#') {
      std::string comment;
      std::getline(in, comment);
      in >> std::ws;
    }
    int v = -1;
    in >> v;
    return v;
  };
  *width = next();
  *height = next();
  const int maxval = next();
  in.get();
  if (*width <= 0 || *height <= 0 || maxval != 255) return false;
  pixels->resize(static_cast<size_t>(*width) * *height);
  in.read(reinterpret_cast<char*>(pixels->data()), static_cast<std::streamsize>(pixels->size()));
  return in.gcount() == static_cast<std::streamsize>(pixels->size());
}

}  // namespace

TEST(SecondProcess, ScansACorrectImageWithoutLoadingGammaTables) {
  const std::string dir = tq5test::PrivateRuntimeDirectory();
  // Both processes run the scanner's time 20 times faster than real time.
  PlatClockUseReal(20);
  tq5sim::VirtualScanner scanner;
  const std::string device = tq5test::UniqueSocketPath("scanner");
  ASSERT_TRUE(scanner.Start(device));

  // This process initializes the scanner and stays attached, so that the
  // shared state (initState 2) outlives the host's process below.
  ASSERT_TRUE(DriverProcessAttach());
  ASSERT_EQ(FindScannerEx(device.c_str()), 1);
  ASSERT_EQ(InitializeScanner(), 1) << "lastError " << lastError;
  ASSERT_EQ(sharedState->initState, 2);
  CloseDeviceForProcess();

  const std::string out = dir + "/second.pgm";
  tq5test::ChildProcess host =
      tq5test::StartChild(TQ5SCAN,
                          {"-d", device, "--mode", "Gray", "--resolution", "75", "-x", "120", "-y", "60", "-o", out},
                          {"TQ5_CLOCK_SPEED=20"});
  EXPECT_EQ(tq5test::WaitChild(host), 0);
  EXPECT_EQ(sharedState->initState, 2);  // the host took the cheap path; nothing reset the state

  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
  ASSERT_TRUE(ReadPgm(out, &width, &height, &pixels));
  EXPECT_EQ(width, 354);   // 120 mm at 75 dpi
  EXPECT_EQ(height, 177);  // 60 mm
  uint64_t sum = 0;
  uint8_t brightest = 0;
  for (uint8_t p : pixels) {
    sum += p;
    brightest = std::max(brightest, p);
  }
  // The chart is mostly white paper. Through an all-zero gamma table the
  // whole image would be at most level 8.
  EXPECT_GT(brightest, 200);
  EXPECT_GT(sum / pixels.size(), 120u);
  DriverProcessDetach();
  scanner.Stop();
  PlatClockUseReal(1);
}
