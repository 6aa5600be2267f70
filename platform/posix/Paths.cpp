#include "platform/Paths.h"

#include "platform/SystemDrive.h"

namespace pithorama {

const PathStyle& HostPathStyle() { return PosixPathStyle(); }

// This host has no drives; the Windows examples name the usual system drive.
std::string WindowsSystemDrive() { return "C:"; }

}  // namespace pithorama
