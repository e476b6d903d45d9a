// tq5simctl: sends one command to a running tq5sim's control channel and
// prints the answer. Exit status 0 for "ok", 1 for an error, 2 for usage or
// no connection.
//
//   tq5simctl --control PATH COMMAND...      (tq5simctl --control PATH help)
#include <cstdio>
#include <string>

#include "virtual_scanner.h"

int main(int argc, char** argv) {
  std::string control, command;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--control" && i + 1 < argc && control.empty() && command.empty()) {
      control = argv[++i];
    } else {
      command += command.empty() ? arg : " " + arg;
    }
  }
  if (control.empty() || command.empty()) {
    std::fprintf(stderr, "usage: tq5simctl --control PATH COMMAND...   (COMMAND help lists them)\n");
    return 2;
  }
  const auto lines = tq5sim::SendControlCommand(control, command);
  if (lines.empty()) {
    std::fprintf(stderr, "tq5simctl: no answer from %s\n", control.c_str());
    return 2;
  }
  for (size_t i = 0; i + 1 < lines.size(); ++i) std::printf("%s\n", lines[i].c_str());
  const std::string& last = lines.back();
  if (last == "ok") return 0;
  std::fprintf(stderr, "tq5simctl: %s\n", last.c_str());
  return 1;
}
