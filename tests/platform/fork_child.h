// Child processes for the platform tests that need a second (or killed)
// process. The child runs a function and ends with its result; it never
// returns into the test framework.
#pragma once

#include <functional>
#include <string>

#include "platform.h"

namespace plattest {

// Runs `body` in a forked child; returns its process id (-1 on failure).
int StartChild(const std::function<int()>& body);
// Waits for the child: its exit code, or -signal when a signal ended it.
int WaitChild(int pid);
// Ends the child at once (SIGKILL), as a crash would, and reaps it.
void KillChild(int pid);

// Runs a shell command line and returns what it printed.
std::string RunAndCapture(const std::string& command);

// True while this process has a child process (running or not yet reaped).
bool HasChildProcesses();

// A one-byte meeting point between a test and its child, over a local
// stream in the runtime directory: the parent opens it before forking, the
// child sends, the parent waits (at most 10 s real) for the byte.
class Rendezvous {
 public:
  explicit Rendezvous(const std::string& name);
  ~Rendezvous();
  // Child side: sends `value`. True when it was delivered.
  bool Signal(unsigned char value = 1) const;
  // Parent side: the value sent, or -1 when none came.
  int Wait();

 private:
  std::string path_;
  PlatListener* listener_;
};

}  // namespace plattest
