// The built-in virtual scanner that tq5scan scans from when no -d is given:
// the virtual scanner library served on a private device node, with its
// control channel next to it (buttons, faults, documents; tq5simctl speaks
// to it), in the same process as the driver.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace tq5sim {
class VirtualScanner;
}

namespace tq5scan {

class EmbeddedScanner {
 public:
  EmbeddedScanner();
  ~EmbeddedScanner();
  EmbeddedScanner(const EmbeddedScanner&) = delete;
  EmbeddedScanner& operator=(const EmbeddedScanner&) = delete;

  // False when this tq5scan was built without the virtual scanner.
  static bool Available();

  // What lies on the scanner. `document`: an image (PNG or binary PNM)
  // instead of the test chart, on the glass or, with `film`, as the film in
  // the holder of the film unit, which is then plugged in.
  struct Setup {
    std::string document;
    bool film = false;
    bool negative = false;  // the film is a negative
  };

  // Serves the device node `<directory>/scanner.sock` and the control channel
  // at `controlPath` (default `<directory>/control.sock`).
  bool Start(const std::filesystem::path& directory, const std::string& controlPath, const Setup& setup,
             std::string& error);
  void Stop();

  const std::string& devicePath() const { return devicePath_; }
  const std::string& controlPath() const { return controlPath_; }

 private:
  std::unique_ptr<tq5sim::VirtualScanner> scanner_;
  std::string devicePath_;
  std::string controlPath_;
};

}  // namespace tq5scan
