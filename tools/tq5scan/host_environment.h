// What tq5scan arranges in its own process before it loads the driver: where
// the driver library is, which runtime directory and clock speed the driver
// sees, and a private directory for the built-in virtual scanner.
//
// The driver library carries its own copy of the platform layer, so it reads
// these settings from the environment variables the platform documents
// (TQ5_LIBRARY_PATH, TQ5_RUNTIME_DIR, TQ5_CLOCK_SPEED) when it is loaded and
// first uses them; tq5scan sets them before PlatLibraryLoad.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tq5scan {

// The directory holding the running program (argv0 is the fallback when the
// system does not name the executable).
std::filesystem::path ProgramDirectory(const char* argv0);

// Puts `<program dir>/../lib` in front of TQ5_LIBRARY_PATH, so that
// PlatLibraryLoad("TQ5DRV.dll") finds the driver installed next to tq5scan.
void AddDriverDirectory(const std::filesystem::path& programDirectory);

// The clock speed the user asked for with TQ5_CLOCK_SPEED, if valid.
std::optional<double> RequestedClockSpeed();

// Sets an environment variable of this process.
bool SetEnvironmentValue(const char* name, const std::string& value);

// A fresh directory only this process uses (mode 0700), removed by the
// destructor with everything in it.
class PrivateDirectory {
 public:
  PrivateDirectory() = default;
  ~PrivateDirectory();
  PrivateDirectory(const PrivateDirectory&) = delete;
  PrivateDirectory& operator=(const PrivateDirectory&) = delete;

  bool Create(std::string& error);
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace tq5scan
