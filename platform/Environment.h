// The process environment and command line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pithorama {

// The value of an environment variable, read whole; nullopt when absent.
std::optional<std::string> GetEnvironment(std::string_view name);

// Every "name=value" string of the process environment, in block order. On
// Windows the block's entries without a name ("=C:=C:\work", the current
// folder of each drive) are no variables and are left out.
std::vector<std::string> EnvironmentBlock();

// The command line. Programs hand main's arguments over once at start; a
// library reads its process's command line on first use.
void SetCommandLine(int argc, char** argv);
int ParamCount();                 // number of arguments after the program name
std::string ParamStr(int index);  // 0: the program as started; empty when out of range

}  // namespace pithorama
