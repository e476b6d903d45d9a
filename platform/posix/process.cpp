// Starting a program from a Windows command line (CreateProcessA with no
// application name).
//
// The command line is split on blanks; a double quote starts or ends a quoted
// part (the quotes themselves are dropped, backslashes are plain characters
// because they are path separators here). The first token is the program: a
// Windows path ("C:\...") goes through the drive mapping, a name with a slash
// is a local path, a bare name is looked for in $PATH. The other tokens are
// its arguments.
//
// The program is started from a short-lived intermediate child, so that it is
// not our child: nobody has to wait for it and it never lingers as a zombie.
// A pipe that closes on exec tells whether the exec itself worked.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "internal.h"
#include "platform.h"

namespace {

std::vector<std::string> SplitCommandLine(const char* commandLine) {
  std::vector<std::string> tokens;
  std::string current;
  bool inToken = false, quoted = false;
  for (const char* p = commandLine; *p; ++p) {
    const char c = *p;
    if (c == '"') {
      quoted = !quoted;
      inToken = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (inToken) tokens.push_back(current);
      current.clear();
      inToken = false;
    } else {
      current += c;
      inToken = true;
    }
  }
  if (inToken) tokens.push_back(current);
  return tokens;
}

bool IsFile(const std::string& path) {
  struct stat info{};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The local path of the program; empty with *error set when there is none.
std::string ResolveProgram(const std::string& token, uint32_t* error) {
  *error = 2;  // ERROR_FILE_NOT_FOUND
  if (token.size() >= 2 && token[1] == ':') {
    char mapped[4096];
    if (!PlatMapWindowsPath(token.c_str(), mapped, sizeof mapped)) {
      *error = 3;  // ERROR_PATH_NOT_FOUND: no such drive
      return std::string();
    }
    return IsFile(mapped) ? std::string(mapped) : std::string();
  }
  if (token.find('/') != std::string::npos) return IsFile(token) ? token : std::string();
  const char* search = std::getenv("PATH");
  const std::string list = search != nullptr ? search : "/usr/bin:/bin";
  size_t at = 0;
  while (at <= list.size()) {
    size_t colon = list.find(':', at);
    if (colon == std::string::npos) colon = list.size();
    const std::string candidate = (colon > at ? list.substr(at, colon - at) : std::string(".")) + "/" + token;
    if (IsFile(candidate) && access(candidate.c_str(), X_OK) == 0) return candidate;
    at = colon + 1;
  }
  return std::string();
}

bool Fail(uint32_t code, uint32_t* errorCode) {
  plat::SetLastError(code);
  if (errorCode != nullptr) *errorCode = code;
  return false;
}

}  // namespace

bool PlatCreateProcess(const char* commandLine, uint32_t* errorCode) {
  if (errorCode != nullptr) *errorCode = 0;
  if (commandLine == nullptr) return Fail(87, errorCode);  // ERROR_INVALID_PARAMETER
  std::vector<std::string> tokens = SplitCommandLine(commandLine);
  if (tokens.empty()) return Fail(2, errorCode);
  uint32_t resolveError = 0;
  const std::string program = ResolveProgram(tokens[0], &resolveError);
  if (program.empty()) return Fail(resolveError, errorCode);

  // Everything the children need is prepared here: after fork they only call
  // async-signal-safe functions.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (size_t i = 1; i < tokens.size(); ++i) argv.push_back(tokens[i].data());
  argv.push_back(nullptr);
  sigset_t noSignals;
  sigemptyset(&noSignals);

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return Fail(plat::WindowsErrorFromErrno(errno), errorCode);
  const pid_t intermediate = fork();
  if (intermediate < 0) {
    const int saved = errno;
    close(report[0]);
    close(report[1]);
    return Fail(plat::WindowsErrorFromErrno(saved), errorCode);
  }
  if (intermediate == 0) {
    close(report[0]);
    const pid_t program_pid = fork();
    if (program_pid == 0) {
      sigprocmask(SIG_SETMASK, &noSignals, nullptr);
      execv(argv[0], argv.data());
      const int failure = errno;
      (void)!write(report[1], &failure, sizeof failure);
      _exit(127);
    }
    if (program_pid < 0) {
      const int failure = errno;
      (void)!write(report[1], &failure, sizeof failure);
    }
    _exit(0);
  }
  close(report[1]);
  while (waitpid(intermediate, nullptr, 0) < 0 && errno == EINTR) {
  }
  int failure = 0;
  ssize_t got;
  do {
    got = read(report[0], &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (got == static_cast<ssize_t>(sizeof failure)) return Fail(plat::WindowsErrorFromErrno(failure), errorCode);
  return true;
}
