#include "tests/support/Process.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/ChildProcess.h"

namespace pithorama::test {

// The input goes in on a thread of its own while the output is read, so that
// a program that answers before it has read all of its input cannot stall.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment,
                         const std::string& input, const std::string& workingDir,
                         int timeoutSeconds) {
  TChildProcess child(program, arguments, &environment, workingDir);
  std::thread writer([&child, &input] {
    if (!input.empty()) child.WriteInput(input);
    child.CloseInput();
  });
  ProgramResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (child.ReadOutput(result.output, 100) != TChildProcess::End) {
    if (std::chrono::steady_clock::now() > deadline) {
      child.Kill();
      break;
    }
  }
  writer.join();
  result.exitCode = child.Wait(60000);
  return result;
}

TempFolder::TempFolder() {
  static std::atomic<int> counter{0};
  std::random_device entropy;
  for (int attempt = 0; path_.empty(); ++attempt) {
    auto candidate =
        std::filesystem::temp_directory_path() /
        ("pithorama-test-" + std::to_string(entropy()) + "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(candidate)) path_ = candidate.string();
    if (attempt > 100) throw std::runtime_error("cannot make a temporary folder");
  }
}

std::string TempFolder::Dir() const {
  return path_ + static_cast<char>(std::filesystem::path::preferred_separator);
}

std::string TempFolder::File(const std::string& name) const { return Dir() + name; }

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
  if (!(out << data) || !out.flush()) throw std::runtime_error("cannot write " + path);
}

}  // namespace pithorama::test
