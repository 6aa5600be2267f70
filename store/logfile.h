// The request log "quote.log" in the folder LogDir: one line per request, as
// given, followed by CR LF; nothing else is added.
//
//   LogDir = AddTrailingBackslash(folder);
//   AppendLogLine("127.0.0.1 |  |  | localhost");
//
// Threads and processes may log at once: each line goes to the file in one
// append, so lines never interleave or tear.
#pragma once

#include <string>
#include <string_view>

#include "pithorama/platform/Module.h"
#include "pithorama/platform/Paths.h"
#include "pithorama/store/SharedString.h"

namespace pithorama {

inline constexpr const char* LogFileName = "quote.log";

// The folder of the log; empty at start and again after the module's end.
extern TSharedString LogDir;

// `text` unchanged when it ends in `c`, else `text` followed by `c`; `c` alone
// for an empty text.
std::string AddTrailingChar(char c, std::string_view text);
// AddTrailingChar with the path delimiter of `style` ("/" on this host).
std::string AddTrailingBackslash(std::string_view text, const PathStyle& style = HostPathStyle());

// Appends `line` and CR LF to LogDir's quote.log, creating the file when
// missing. Answers false, raising nothing, when the file cannot be opened or
// created; a failed write is repeated, 20 attempts in all, and false answered
// when none succeeded. A failing close raises EInOutError with the operating
// system's code.
bool AppendLogLine(std::string_view line);

// Module end: clears LogDir.
void LogFileEnd();
inline constexpr ModuleSteps LogFileModule{"logfile", nullptr, LogFileEnd};

}  // namespace pithorama
