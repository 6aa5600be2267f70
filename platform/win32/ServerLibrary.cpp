#include "pithorama/platform/ServerLibrary.h"

#include "pithorama/platform/Environment.h"
#include "pithorama/platform/win32/WindowsApi.h"

namespace pithorama {

// The server's library in the system folder, as the server installs it; the
// variable envName overrides it as on POSIX (tests, servers elsewhere).
std::string ServerLibraryPath(std::string_view windowsName, std::string_view,
                              std::string_view envName) {
  std::optional<std::string> named = GetEnvironment(envName);
  if (named && !named->empty()) return *named;
  char folder[MAX_PATH];
  const UINT n = ::GetSystemDirectoryA(folder, MAX_PATH);
  std::string path =
      n > 0 && n < MAX_PATH ? std::string(folder, n) : std::string("C:\\Windows\\System32");
  if (path.back() != '\\') path.push_back('\\');
  return path + std::string(windowsName);
}

}  // namespace pithorama
