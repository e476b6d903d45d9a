// Starting and stopping child processes in tests.
#pragma once

#include <string>
#include <vector>

namespace tq5test {

struct ChildProcess {
  int pid = -1;
  int stdoutFd = -1;  // read end of the child's standard output
  int stdinFd = -1;   // write end of the child's standard input
};

// Starts `program` with `arguments`, the current environment plus `extraEnv`
// ("NAME=value"), its standard output on a pipe.
ChildProcess StartChild(const std::string& program, const std::vector<std::string>& arguments,
                        const std::vector<std::string>& extraEnv = {});
// Reads one line of the child's output (without the newline); empty at end.
std::string ReadChildLine(ChildProcess& child);
// Waits for the child and returns its exit status (-signal when killed).
int WaitChild(ChildProcess& child);
void KillChild(ChildProcess& child);
// Closes the child's standard input (children that wait for it go on).
void CloseChildInput(ChildProcess& child);

}  // namespace tq5test
