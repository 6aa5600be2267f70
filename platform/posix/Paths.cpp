#include "pithorama/platform/Paths.h"

#include "pithorama/platform/SystemDrive.h"

namespace pithorama {

const PathStyle& HostPathStyle() { return PosixPathStyle(); }

// This host has no drives; the Windows examples name the usual system drive.
std::string WindowsSystemDrive() { return "C:"; }

}  // namespace pithorama
