// <windows.h> for the Windows back end, without the macros that rename our
// own functions (DeleteFile, PostMessage, ...). Include it only from .cpp
// files of platform/win32/, never from a header of the platform layer.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef DeleteFile
#undef PostMessage

#include "pithorama/platform/DateTime.h"

namespace pithorama::win32 {

// A local date-time as the system's broken-down local time and the UTC time
// of the same moment under the zone's rules; false when the system refuses it.
bool LocalAndUtcSystemTime(TDateTime localTime, SYSTEMTIME& local, SYSTEMTIME& utc);

}  // namespace pithorama::win32
