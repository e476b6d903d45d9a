#include "process_helpers.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern char** environ;

namespace tq5test {

ChildProcess StartChild(const std::string& program, const std::vector<std::string>& arguments,
                        const std::vector<std::string>& extraEnv) {
  int fds[2], in[2];
  if (pipe(fds) != 0 || pipe(in) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_addclose(&actions, in[0]);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);

  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) envStrings.emplace_back(*e);
  for (const auto& e : extraEnv) envStrings.push_back(e);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  ChildProcess child;
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  close(in[0]);
  child.pid = pid;
  child.stdoutFd = fds[0];
  child.stdinFd = in[1];
  return child;
}

std::string ReadChildLine(ChildProcess& child) {
  std::string line;
  char c;
  while (read(child.stdoutFd, &c, 1) == 1) {
    if (c == '\n') return line;
    line.push_back(c);
  }
  return line;
}

int WaitChild(ChildProcess& child) {
  int status = 0;
  if (child.pid <= 0) return -1000;
  waitpid(child.pid, &status, 0);
  child.pid = -1;
  if (child.stdoutFd >= 0) close(child.stdoutFd);
  child.stdoutFd = -1;
  CloseChildInput(child);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return WEXITSTATUS(status);
}

void CloseChildInput(ChildProcess& child) {
  if (child.stdinFd >= 0) close(child.stdinFd);
  child.stdinFd = -1;
}

void KillChild(ChildProcess& child) {
  if (child.pid > 0) kill(child.pid, SIGKILL);
}

}  // namespace tq5test
