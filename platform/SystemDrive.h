// For the back ends only: the drive of the system folder ("C:"), which the
// Windows path style puts in front of a name that has none.
#pragma once

#include <string>

namespace pithorama {

std::string WindowsSystemDrive();

}  // namespace pithorama
