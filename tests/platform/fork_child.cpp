#include "fork_child.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace plattest {

int StartChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int WaitChild(int pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1000;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

void KillChild(int pid) {
  kill(pid, SIGKILL);
  WaitChild(pid);
}

std::string RunAndCapture(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  pclose(pipe);
  return output;
}

bool HasChildProcesses() {
  errno = 0;
  return !(waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD);
}

Rendezvous::Rendezvous(const std::string& name)
    : path_(std::string(PlatRuntimeDirectory()) + "/" + name + ".rdv"), listener_(PlatListen(path_.c_str())) {}

Rendezvous::~Rendezvous() { PlatListenerClose(listener_); }

bool Rendezvous::Signal(unsigned char value) const {
  PlatStream* stream = PlatConnect(path_.c_str());
  if (stream == nullptr) return false;
  const bool sent = PlatStreamWriteAll(stream, &value, 1);
  PlatStreamClose(stream);
  return sent;
}

int Rendezvous::Wait() {
  PlatStream* stream = PlatAccept(listener_, 10000);
  if (stream == nullptr) return -1;
  unsigned char value = 0;
  const bool got = PlatStreamReadAll(stream, &value, 1, 10000);
  PlatStreamClose(stream);
  return got ? value : -1;
}

}  // namespace plattest
