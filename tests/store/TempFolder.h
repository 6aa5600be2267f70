// A fresh folder for one test, removed with everything in it when the test
// ends, and small helpers to put bytes into files and read them back.
#pragma once

#include <atomic>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

#include "platform/Files.h"

namespace pithorama::testing {

class TTempFolder {
 public:
  TTempFolder() {
    static std::atomic<int> counter{0};
    auto base = std::filesystem::temp_directory_path();
    std::random_device entropy;
    path_ =
        base / ("pithorama-test-" + std::to_string(entropy()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TTempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;

  // The folder with its trailing delimiter, ready to be followed by a name.
  std::string Dir() const {
    return path_.string() + static_cast<char>(std::filesystem::path::preferred_separator);
  }
  std::string File(const std::string& name) const { return Dir() + name; }

 private:
  std::filesystem::path path_;
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  TFile file;
  if (!file.Open(path, FileAccess::Write, FileShare::DenyNone, FileCreate::CreateAlways) ||
      !file.Write(bytes))
    throw std::runtime_error("cannot write " + path);
}

inline std::string ReadBytes(const std::string& path) {
  TFile file;
  if (!file.Open(path, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting))
    throw std::runtime_error("cannot read " + path);
  std::string bytes;
  char block[4096];
  for (int64_t n; (n = file.Read(block, sizeof block)) > 0;) bytes.append(block, n);
  return bytes;
}

}  // namespace pithorama::testing
