// The error log: one file per program (or library) in its "Log" folder beside
// it, or in the folder that CGI_LOG_DIR names.
#pragma once

#include <string_view>

namespace pithorama {

// Appends "date time,  number : message" to the program's error log; never raises.
void WriteErrorLog(std::string_view message);

}  // namespace pithorama
