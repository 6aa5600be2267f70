#include "ServerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace mailtest {

ServerProcess::ServerProcess(const std::vector<std::string>& command) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  // Read until the readiness line, the program's end, or the bound.
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (pid_ > 0 && output_.find('\n') == std::string::npos && std::chrono::steady_clock::now() < limit) {
    pollfd ready{out[0], POLLIN, 0};
    if (poll(&ready, 1, 1000) <= 0) continue;
    char buffer[256];
    ssize_t got = read(out[0], buffer, sizeof buffer);
    if (got <= 0) break;
    output_.append(buffer, static_cast<size_t>(got));
  }
  close(out[0]);
  if (output_.starts_with("READY ")) port_ = std::stoi(output_.substr(6));
}

ServerProcess::~ServerProcess() {
  if (input_ >= 0) close(input_);
  if (pid_ <= 0) return;
  for (int pass = 0; pass < 50; ++pass) {  // up to 5 s to end by itself
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

}  // namespace mailtest
