// A virtual scanner served by the test process itself on a device node in
// the test's private runtime directory, for runs of tq5scan with -d: the
// test sets its faults directly and sees what reached it. Its clock runs at
// the tests' speed, which the tool gets through TQ5_CLOCK_SPEED.
#pragma once

#include <string>

#include "platform.h"
#include "scripted_device.h"  // PrivateRuntimeDirectory, UniqueSocketPath
#include "tool_runner.h"
#include "virtual_scanner.h"

namespace tq5scantest {

class InTestScanner {
 public:
  InTestScanner() : path_(tq5test::UniqueSocketPath("scanner")) {
    PlatClockUseReal(kTestClockSpeed);
    started_ = scanner_.Start(path_);
  }
  ~InTestScanner() {
    scanner_.Stop();
    PlatClockUseReal(1.0);
  }
  bool started() const { return started_; }
  const std::string& path() const { return path_; }
  tq5sim::VirtualScanner& scanner() { return scanner_; }

 private:
  std::string path_;
  tq5sim::VirtualScanner scanner_;
  bool started_ = false;
};

}  // namespace tq5scantest
