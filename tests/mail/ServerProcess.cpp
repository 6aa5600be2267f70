#include "ServerProcess.h"

#include <chrono>
#include <stdexcept>

namespace pithorama::test {

ServerProcess::ServerProcess(const std::vector<std::string>& command) {
  try {
    child_ = std::make_unique<pithorama::test::TChildProcess>(
        command.at(0), std::vector<std::string>(command.begin() + 1, command.end()), nullptr, "");
  } catch (const std::runtime_error&) {
    return;
  }
  // Read until the readiness line, the program's end, or the bound.
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (output_.find('\n') == std::string::npos && std::chrono::steady_clock::now() < limit)
    if (child_->ReadOutput(output_, 1000) == pithorama::test::TChildProcess::End) break;
  if (output_.starts_with("READY ")) port_ = std::stoi(output_.substr(6));
}

ServerProcess::~ServerProcess() {
  if (!child_) return;
  child_->CloseInput();
  if (child_->Wait(5000) == -1) child_->Kill();  // up to 5 s to end by itself
}

}  // namespace pithorama::test
