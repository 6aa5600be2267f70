#include "pithorama/platform/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace pithorama {

unsigned CurrentProcessId() { return static_cast<unsigned>(::getpid()); }

namespace {

std::vector<char*> CStrings(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Runs in the intermediate child, where only async-signal-safe calls are
// allowed: a new session, the null device on 0, 1 and 2, every other
// descriptor closed, default signal handling, then a second fork so that the
// copy is adopted by init and never waits as a zombie of the caller.
[[noreturn]] void DetachAndExec(const char* program, char** argv, char** envp) {
  if (::setsid() < 0) ::_exit(127);
  int null = ::open("/dev/null", O_RDWR);
  if (null < 0) ::_exit(127);
  for (int fd = 0; fd < 3; ++fd)
    if (::dup2(null, fd) < 0) ::_exit(127);
  ::close_range(3, ~0U, 0);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int number : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD}) ::signal(number, SIG_DFL);
  pid_t copy = ::fork();
  if (copy < 0) ::_exit(127);
  if (copy > 0) ::_exit(0);
  ::execve(program, argv, envp);
  ::_exit(127);
}

}  // namespace

bool StartDetachedProcess(const std::string& program, const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment) {
  std::vector<std::string> argvTexts{program};
  argvTexts.insert(argvTexts.end(), arguments.begin(), arguments.end());
  std::vector<std::string> envTexts = environment;
  std::vector<char*> argv = CStrings(argvTexts);
  std::vector<char*> envp = CStrings(envTexts);

  pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) DetachAndExec(program.c_str(), argv.data(), envp.data());
  int status = 0;
  while (::waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace pithorama
