// Processes: the id of this one, and starting a detached copy of a program.
#pragma once

#include <string>
#include <vector>

namespace pithorama {

// A number that no other running process of the machine has at the same time.
unsigned CurrentProcessId();

// Starts `program` with `arguments` (after the program name) and exactly the
// "name=value" strings of `environment`, detached from the caller: in a
// session of its own, with standard input, output and error on the null
// device and no other descriptor of the caller, so that whoever waits for the
// caller's output or end never waits for the copy. The copy is not the
// caller's child once started: nobody has to wait for its end. On Windows
// the copy has no console, no standard handles and no handle of the caller,
// in a process group of its own. False when it could not be started.
bool StartDetachedProcess(const std::string& program, const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment);

}  // namespace pithorama
