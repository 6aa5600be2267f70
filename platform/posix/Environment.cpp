#include "pithorama/platform/Environment.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "pithorama/platform/ProcessCommandLine.h"

namespace pithorama {

std::optional<std::string> GetEnvironment(std::string_view name) {
  const char* value = std::getenv(std::string(name).c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::vector<std::string> EnvironmentBlock() {
  std::vector<std::string> block;
  for (char** entry = environ; *entry != nullptr; ++entry) block.emplace_back(*entry);
  return block;
}

std::vector<std::string> ReadProcessCommandLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t i = 0; i < all.size(); ++i)
    if (all[i] == '\0') {
      parts.push_back(all.substr(start, i - start));
      start = i + 1;
    }
  return parts;
}

}  // namespace pithorama
