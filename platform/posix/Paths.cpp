#include "platform/Paths.h"

#include "platform/SystemDrive.h"

namespace pithorama {

static bool HostIsAbsolute(std::string_view path) { return !path.empty() && path[0] == '/'; }

const PathStyle& HostPathStyle() {
  static const PathStyle style{'/', "/", HostIsAbsolute};
  return style;
}

// This host has no drives; the Windows examples name the usual system drive.
std::string WindowsSystemDrive() { return "C:"; }

}  // namespace pithorama
