#include "pithorama/platform/Paths.h"

#include "pithorama/platform/SystemDrive.h"
#include "pithorama/platform/win32/WindowsApi.h"

namespace pithorama {

const PathStyle& HostPathStyle() { return WindowsPathStyle(); }

std::string WindowsSystemDrive() {
  char folder[MAX_PATH];
  const UINT n = ::GetSystemDirectoryA(folder, MAX_PATH);
  if (n >= 2 && n < MAX_PATH && folder[1] == ':') return std::string(folder, 2);
  return "C:";
}

}  // namespace pithorama
