// For the back ends only: the arguments of the running process as the system
// holds them, read by a library that never sees main's arguments.
#pragma once

#include <string>
#include <vector>

namespace pithorama {

// The program as started, then its arguments.
std::vector<std::string> ReadProcessCommandLine();

}  // namespace pithorama
