#include "tests/support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment,
                         const std::string& input, const std::string& workingDir,
                         int timeoutSeconds) {
  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  if (!workingDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workingDir.c_str());

  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (auto& [k, v] : environment) envStrings.push_back(k + "=" + v);
  // Sanitizer settings travel on, so that a sanitized child reports like the test.
  for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TZ"})
    if (const char* value = std::getenv(keep); value && !environment.count(keep))
      envStrings.push_back(std::string(keep) + "=" + value);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  if (rc != 0) {
    close(toChild[1]);
    close(fromChild[0]);
    throw std::runtime_error("cannot start " + program);
  }

  ProgramResult result;
  size_t written = 0;
  int inFd = toChild[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  fcntl(fromChild[0], F_SETFL, O_NONBLOCK);
  if (inFd >= 0) fcntl(inFd, F_SETFL, O_NONBLOCK);
  signal(SIGPIPE, SIG_IGN);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  bool outOpen = true;
  while (outOpen) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      break;
    }
    pollfd fds[2] = {{fromChild[0], POLLIN, 0}, {inFd, POLLOUT, 0}};
    poll(fds, inFd >= 0 ? 2 : 1, 100);
    char buffer[65536];
    ssize_t n;
    while ((n = read(fromChild[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, n);
    if (n == 0) outOpen = false;
    if (inFd >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t w = write(inFd, input.data() + written, input.size() - written);
      if (w > 0) written += w;
      if (w < 0 || written == input.size()) {
        close(inFd);
        inFd = -1;
      }
    }
  }
  if (inFd >= 0) close(inFd);
  close(fromChild[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "pithorama-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary);
  out << data;
}

std::string BinaryDir() {
#ifdef PITHORAMA_BINARY_DIR
  return PITHORAMA_BINARY_DIR;
#else
  return "build/bin";
#endif
}

}  // namespace testsupport
