// Running the built tq5scan as a user does, from a shell, in a private
// directory per test: its exit status, standard output and standard error.
#pragma once

#include <string>
#include <vector>

namespace tq5scantest {

// The tests run the scanners' clock this many times faster than real time
// (the built-in virtual scanner through TQ5_CLOCK_SPEED, an in-test virtual
// scanner through PlatClockUseReal). It keeps the driver's 25 s data limit
// at 1.25 s of real time, far from what a loaded machine can stall.
constexpr double kTestClockSpeed = 20.0;

struct ToolResult {
  int status = -1;
  std::string out;  // standard output (bytes)
  std::string err;  // standard error
};

struct RunOptions {
  std::vector<std::string> env;  // "NAME=value" added to the environment
  bool defaultClock = false;     // leave TQ5_CLOCK_SPEED unset
  bool stderrThroughPipe = false;  // standard error reaches its file through a pipe
  std::string program;           // default: the built tq5scan
};

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& dir() const { return dir_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  ToolResult Run(const std::vector<std::string>& arguments, const RunOptions& options = {}) const;

 private:
  std::string dir_;
};

std::string ToolProgram();
std::string Quote(const std::string& text);  // for /bin/sh
std::string ReadFile(const std::string& path);

}  // namespace tq5scantest
