// Every run of the platform tests gets a runtime directory of its own, so
// that parallel test processes never share a block, a mutex or a window.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "platform.h"

int main(int argc, char** argv) {
  // Helper mode for the clock test: report the speed the clock starts with.
  if (argc == 2 && std::string(argv[1]) == "--report-clock-speed") {
    std::printf("%g\n", PlatClockSpeed());
    return 0;
  }
  namespace fs = std::filesystem;
  std::random_device random;
  fs::path directory;
  do {
    directory = fs::temp_directory_path() / ("tq5-plat-" + std::to_string(random()));
  } while (!fs::create_directory(directory));
  setenv("TQ5_RUNTIME_DIR", directory.c_str(), 1);
  for (const char* name : {"TQ5_DRIVE_C", "TQ5_WINDOWS_DIR", "TQ5_LIBRARY_PATH", "TQ5_CLOCK_SPEED",
                           "TQ5_DEVICE_REPLY_LIMIT_MS"}) {
    unsetenv(name);
  }
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::error_code ignored;
  fs::remove_all(directory, ignored);
  return result;
}
