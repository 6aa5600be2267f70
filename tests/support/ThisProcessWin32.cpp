#include <windows.h>

#include <csignal>
#include <cstdlib>

#include "tests/support/ThisProcess.h"

namespace pithorama::test {

size_t OpenHandleCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

// Both copies of the environment: the C runtime's (getenv, the time zone
// from TZ) and the system's (GetEnvironmentVariable, started programs).
void SetEnvironment(const std::string& name, const std::string& value) {
  SetEnvironmentVariableA(name.c_str(), value.c_str());
  _putenv((name + "=" + value).c_str());
}

void UnsetEnvironment(const std::string& name) {
  SetEnvironmentVariableA(name.c_str(), nullptr);
  _putenv((name + "=").c_str());
}

double ThreadCpuSeconds() {
  FILETIME created, ended, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user)) return 0;
  auto seconds = [](const FILETIME& time) {
    return static_cast<double>(static_cast<unsigned long long>(time.dwHighDateTime) << 32 |
                               time.dwLowDateTime) /
           1e7;
  };
  return seconds(kernel) + seconds(user);
}

std::vector<int> TerminationSignals() { return {SIGTERM}; }

TFileSizeLimit::TFileSizeLimit(uint64_t) {}
TFileSizeLimit::~TFileSizeLimit() = default;
bool TFileSizeLimit::Available() { return false; }

bool HostToolsAvailable() { return false; }
bool FileModesAvailable() { return false; }
bool TimeZoneFollowsTZ() { return false; }

// The test programs lie beside the programs they start (build/bin).
std::string BinaryDir() {
  char name[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, name, sizeof name);
  std::string path(name, length);
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string ProgramFile(const std::string& name) { return BinaryDir() + "\\" + name + ".exe"; }

std::string LibraryDir() { return BinaryDir(); }

}  // namespace pithorama::test
