#include "platform/Environment.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

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

static std::vector<std::string>& Arguments() {
  static std::vector<std::string> arguments;
  return arguments;
}
static bool commandLineSet = false;

void SetCommandLine(int argc, char** argv) {
  Arguments().assign(argv, argv + argc);
  commandLineSet = true;
}

// A library never sees main's arguments: it reads those of its process.
static const std::vector<std::string>& CommandLine() {
  if (!commandLineSet) {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i < all.size(); ++i)
      if (all[i] == '\0') {
        parts.push_back(all.substr(start, i - start));
        start = i + 1;
      }
    Arguments() = std::move(parts);
    commandLineSet = true;
  }
  return Arguments();
}

int ParamCount() {
  const auto& arguments = CommandLine();
  return arguments.empty() ? 0 : static_cast<int>(arguments.size()) - 1;
}

std::string ParamStr(int index) {
  const auto& arguments = CommandLine();
  if (index < 0 || index >= static_cast<int>(arguments.size())) return {};
  return arguments[static_cast<size_t>(index)];
}

}  // namespace pithorama
