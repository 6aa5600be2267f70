// The command line as the programs hand it over, or as the back end reads it
// from the process.
#include "pithorama/platform/Environment.h"

#include "pithorama/platform/ProcessCommandLine.h"

namespace pithorama {

static std::vector<std::string>& Arguments() {
  static std::vector<std::string> arguments;
  return arguments;
}
static bool commandLineSet = false;

void SetCommandLine(int argc, char** argv) {
  Arguments().assign(argv, argv + argc);
  commandLineSet = true;
}

static const std::vector<std::string>& CommandLine() {
  if (!commandLineSet) {
    Arguments() = ReadProcessCommandLine();
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
