// The progress bar on standard error: bytes read against the total that
// GetDataStatus announced.
//
// The bar is redrawn in place with a carriage return, and only when the whole
// percentage changes, so that a pipe or a log file receives at most 101
// updates. The platform layer has no way to ask whether standard error is a
// terminal, so the output is the same on both; it always ends with a newline.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tq5scan {

class ProgressBar {
 public:
  ProgressBar(std::FILE* stream, uint64_t totalBytes) : stream_(stream), total_(totalBytes) {}
  // Shows the bar at `bytesDone`; draws only when the percentage changed.
  void Update(uint64_t bytesDone);
  // Ends the line (after 100 % or a failure).
  void Finish();

  // The text of one update, e.g. "\rScanning [#####...............]  25%".
  static std::string Render(unsigned percent);

 private:
  std::FILE* stream_;
  uint64_t total_;
  int shown_ = -1;
  bool finished_ = false;
};

}  // namespace tq5scan
