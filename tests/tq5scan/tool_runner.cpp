#include "tool_runner.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace tq5scantest {

std::string ToolProgram() { return TQ5SCAN_PROGRAM; }

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Sandbox::Sandbox() {
  std::random_device entropy;
  const auto base = std::filesystem::temp_directory_path();
  for (;;) {
    const auto candidate = base / ("tq5scan-test-" + std::to_string(entropy()));
    if (std::filesystem::create_directory(candidate)) {
      dir_ = candidate.string();
      break;
    }
  }
}

Sandbox::~Sandbox() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

ToolResult Sandbox::Run(const std::vector<std::string>& arguments, const RunOptions& options) const {
  // The environment: no library path of the caller's (tq5scan finds its
  // driver next to itself), the test clock unless asked otherwise.
  std::string command = "cd " + Quote(dir_) + " && { env -u TQ5_LIBRARY_PATH";
  if (options.defaultClock) {
    command += " -u TQ5_CLOCK_SPEED";
  } else {
    char speed[32];
    std::snprintf(speed, sizeof speed, " TQ5_CLOCK_SPEED=%g", kTestClockSpeed);
    command += speed;
  }
  for (const auto& variable : options.env) command += " " + Quote(variable);
  command += " " + Quote(options.program.empty() ? ToolProgram() : options.program);
  for (const auto& argument : arguments) command += " " + Quote(argument);
  if (options.stderrThroughPipe) {
    command += " 2>&1 >.run-stdout; echo $? >.run-status; } | cat >.run-stderr";
  } else {
    command += " >.run-stdout 2>.run-stderr; echo $? >.run-status; }";
  }
  ToolResult result;
  if (std::system(command.c_str()) == -1) return result;
  const std::string status = ReadFile(Path(".run-status"));
  result.status = status.empty() ? -1 : std::atoi(status.c_str());
  result.out = ReadFile(Path(".run-stdout"));
  result.err = ReadFile(Path(".run-stderr"));
  std::error_code ignored;
  for (const char* name : {".run-stdout", ".run-stderr", ".run-status"})
    std::filesystem::remove(Path(name), ignored);
  return result;
}

}  // namespace tq5scantest
