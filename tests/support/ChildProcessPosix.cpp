#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tests/support/ChildProcess.h"

extern char** environ;

namespace pithorama::test {

struct TChildProcess::TState {
  pid_t Pid = -1;
  int Input = -1;
  int Output = -1;
  bool Ended = false;
  int ExitCode = -1;
};

namespace {

std::vector<std::string> EnvironmentStrings(const std::map<std::string, std::string>& environment) {
  std::vector<std::string> strings;
  for (auto& [k, v] : environment) strings.push_back(k + "=" + v);
  // Sanitizer settings travel on, so that a sanitized child reports like the test.
  for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TZ"})
    if (const char* value = std::getenv(keep); value && !environment.count(keep))
      strings.push_back(std::string(keep) + "=" + value);
  return strings;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

TChildProcess::TChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                             const std::map<std::string, std::string>* environment,
                             const std::string& workingDir)
    : state_(std::make_unique<TState>()) {
  signal(SIGPIPE, SIG_IGN);  // a write to a program that ended fails instead
  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(fromChild, O_CLOEXEC) != 0) {
    close(toChild[0]);
    close(toChild[1]);
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  if (!workingDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workingDir.c_str());

  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv = Pointers(argStrings);
  std::vector<std::string> envStrings;
  if (environment != nullptr) envStrings = EnvironmentStrings(*environment);
  std::vector<char*> envp = Pointers(envStrings);

  int rc = posix_spawn(&state_->Pid, program.c_str(), &actions, nullptr, argv.data(),
                       environment != nullptr ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  state_->Input = toChild[1];
  state_->Output = fromChild[0];
  if (rc != 0) {
    state_->Pid = -1;
    throw std::runtime_error("cannot start " + program);
  }
}

TChildProcess::~TChildProcess() {
  CloseInput();
  if (state_->Output >= 0) close(state_->Output);
  if (state_->Pid > 0 && !state_->Ended) {
    Kill();
    Wait(60000);
  }
}

bool TChildProcess::WriteInput(const std::string& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = write(state_->Input, bytes.data() + written, bytes.size() - written);
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

void TChildProcess::CloseInput() {
  if (state_->Input >= 0) close(state_->Input);
  state_->Input = -1;
}

TChildProcess::TRead TChildProcess::ReadOutput(std::string& into, int timeoutMs) {
  pollfd ready{state_->Output, POLLIN, 0};
  if (poll(&ready, 1, timeoutMs) <= 0) return Timeout;
  char buffer[65536];
  ssize_t n = read(state_->Output, buffer, sizeof buffer);
  if (n <= 0) return End;
  into.append(buffer, static_cast<size_t>(n));
  return Data;
}

int TChildProcess::Wait(int timeoutMs) {
  auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!state_->Ended) {
    int status = 0;
    if (waitpid(state_->Pid, &status, WNOHANG) == state_->Pid) {
      state_->Ended = true;
      state_->ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else if (std::chrono::steady_clock::now() >= limit) {
      return -1;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return state_->ExitCode;
}

void TChildProcess::Kill() {
  if (state_->Pid > 0 && !state_->Ended) kill(state_->Pid, SIGKILL);
}

}  // namespace pithorama::test
