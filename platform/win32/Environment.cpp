#include "pithorama/platform/Environment.h"

#include <cstring>
#include <string>
#include <vector>

#include "pithorama/platform/ProcessCommandLine.h"
#include "pithorama/platform/win32/WindowsApi.h"

namespace pithorama {

std::optional<std::string> GetEnvironment(std::string_view name) {
  const std::string key(name);
  std::string value(256, '\0');
  for (;;) {
    ::SetLastError(0);
    const DWORD n =
        ::GetEnvironmentVariableA(key.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (n < value.size()) {
      value.resize(n);
      return value;
    }
    value.resize(n);  // n counts the terminating zero when the buffer was too small
  }
}

// The block holds "name=value" strings one after the other, ended by an empty
// one. Entries whose name is empty ("=C:=C:\work", the current folder of each
// drive) are the command processor's own and no variables.
std::vector<std::string> EnvironmentBlock() {
  std::vector<std::string> block;
  char* strings = ::GetEnvironmentStringsA();
  if (strings == nullptr) return block;
  for (const char* entry = strings; *entry != '\0';) {
    const size_t size = std::strlen(entry);
    if (entry[0] != '=') block.emplace_back(entry, size);
    entry += size + 1;
  }
  ::FreeEnvironmentStringsA(strings);
  return block;
}

namespace {

// The rules of the C runtime's start-up: white space separates arguments,
// quotes group them, 2n backslashes before a quote stand for n backslashes
// and the quote groups, 2n+1 stand for n backslashes and a plain quote, and
// backslashes before anything else stay as they are. The program name ends at
// its closing quote or the first white space, backslashes and all.
std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> parts;
  size_t i = 0;
  std::string program;
  if (i < line.size() && line[i] == '"') {
    for (++i; i < line.size() && line[i] != '"'; ++i) program.push_back(line[i]);
    if (i < line.size()) ++i;
  } else {
    for (; i < line.size() && line[i] != ' ' && line[i] != '\t'; ++i) program.push_back(line[i]);
  }
  parts.push_back(program);
  for (;;) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) return parts;
    std::string part;
    bool quoted = false;
    for (; i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t')); ++i) {
      size_t slashes = 0;
      while (i < line.size() && line[i] == '\\') ++slashes, ++i;
      if (i < line.size() && line[i] == '"') {
        part.append(slashes / 2, '\\');
        if (slashes % 2 == 1) {
          part.push_back('"');
        } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          part.push_back('"');  // "" inside quotes is one quote
          ++i;
        } else {
          quoted = !quoted;
        }
      } else {
        part.append(slashes, '\\');
        if (i >= line.size()) break;
        if (!quoted && (line[i] == ' ' || line[i] == '\t')) break;
        part.push_back(line[i]);
      }
    }
    parts.push_back(part);
  }
}

}  // namespace

std::vector<std::string> ReadProcessCommandLine() { return SplitCommandLine(::GetCommandLineA()); }

}  // namespace pithorama
