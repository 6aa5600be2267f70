#include "pithorama/platform/DateTime.h"

#include "pithorama/platform/win32/WindowsApi.h"

namespace pithorama {

static TDateTime FromSystemTime(const SYSTEMTIME& t) {
  DateTimeParts p;
  p.year = t.wYear;
  p.month = t.wMonth;
  p.day = t.wDay;
  p.hour = t.wHour;
  p.minute = t.wMinute;
  p.second = t.wSecond;
  p.millisecond = t.wMilliseconds;
  return EncodeDateTime(p);
}

namespace win32 {

bool LocalAndUtcSystemTime(TDateTime localTime, SYSTEMTIME& local, SYSTEMTIME& utc) {
  const DateTimeParts p = DecodeDateTime(localTime);
  local = SYSTEMTIME{};
  local.wYear = static_cast<WORD>(p.year);
  local.wMonth = static_cast<WORD>(p.month);
  local.wDay = static_cast<WORD>(p.day);
  local.wHour = static_cast<WORD>(p.hour);
  local.wMinute = static_cast<WORD>(p.minute);
  local.wSecond = static_cast<WORD>(p.second);
  return ::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) != 0;
}

}  // namespace win32

TDateTime Now() {
  SYSTEMTIME local;
  ::GetLocalTime(&local);
  return FromSystemTime(local);
}

uint32_t UtcMillisecondsOfDay() {
  SYSTEMTIME utc;
  ::GetSystemTime(&utc);
  return ((utc.wHour * 60u + utc.wMinute) * 60u + utc.wSecond) * 1000u + utc.wMilliseconds;
}

// FILETIME counts 100 ns steps; the difference of the two readings of the same
// moment is the offset, daylight saving time included where the zone's rules
// put it in force at that moment.
int LocalToUtcOffsetMinutes(TDateTime localTime) {
  SYSTEMTIME local, utc;
  FILETIME localFile, utcFile;
  if (!win32::LocalAndUtcSystemTime(localTime, local, utc) ||
      !::SystemTimeToFileTime(&local, &localFile) || !::SystemTimeToFileTime(&utc, &utcFile))
    return 0;
  auto ticks = [](const FILETIME& f) {
    return static_cast<int64_t>((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime);
  };
  return static_cast<int>((ticks(utcFile) - ticks(localFile)) / 600000000);
}

}  // namespace pithorama
