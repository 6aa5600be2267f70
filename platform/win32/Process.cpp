#include "pithorama/platform/Process.h"

#include "pithorama/platform/win32/WindowsApi.h"

namespace pithorama {

unsigned CurrentProcessId() { return static_cast<unsigned>(::GetCurrentProcessId()); }

namespace {

// One argument as the C runtime's start-up reads it back (see
// ReadProcessCommandLine): quoted when it holds white space or a quote,
// backslashes doubled where a quote follows them.
std::string QuoteArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  size_t slashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    quoted.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
    slashes = 0;
    quoted.push_back(c);
  }
  quoted.append(slashes * 2, '\\');  // before the closing quote
  quoted.push_back('"');
  return quoted;
}

// "name=value" strings, each ended by a zero, the block by one more.
std::string EnvironmentBlockText(const std::vector<std::string>& environment) {
  std::string block;
  for (const std::string& entry : environment) {
    block += entry;
    block.push_back('\0');
  }
  if (environment.empty()) block.push_back('\0');
  block.push_back('\0');
  return block;
}

}  // namespace

// The copy gets no console and no handle of the caller (no standard handles
// either), in a process group of its own, so a server that waits for the
// caller's output or a Ctrl-C in the caller's console never reaches it.
bool StartDetachedProcess(const std::string& program, const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment) {
  std::string commandLine = QuoteArgument(program);
  for (const std::string& argument : arguments) commandLine += ' ' + QuoteArgument(argument);
  std::string block = EnvironmentBlockText(environment);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!::CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, block.data(), nullptr,
                        &startup, &started))
    return false;
  ::CloseHandle(started.hThread);
  ::CloseHandle(started.hProcess);
  return true;
}

}  // namespace pithorama
