#include "pithorama/platform/DateTime.h"

#include <time.h>

namespace pithorama {

static TDateTime FromTm(const struct tm& t, long nanoseconds) {
  DateTimeParts p;
  p.year = t.tm_year + 1900;
  p.month = t.tm_mon + 1;
  p.day = t.tm_mday;
  p.hour = t.tm_hour;
  p.minute = t.tm_min;
  p.second = t.tm_sec;
  p.millisecond = static_cast<int>(nanoseconds / 1000000);
  return EncodeDateTime(p);
}

TDateTime Now() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm local;
  ::localtime_r(&now.tv_sec, &local);
  return FromTm(local, now.tv_nsec);
}

uint32_t UtcMillisecondsOfDay() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint32_t>((now.tv_sec % 86400) * 1000 + now.tv_nsec / 1000000);
}

int LocalToUtcOffsetMinutes(TDateTime localTime) {
  DateTimeParts p = DecodeDateTime(localTime);
  struct tm t {};
  t.tm_year = p.year - 1900;
  t.tm_mon = p.month - 1;
  t.tm_mday = p.day;
  t.tm_hour = p.hour;
  t.tm_min = p.minute;
  t.tm_sec = p.second;
  t.tm_isdst = -1;  // let the zone rules decide whether daylight saving time applies
  if (::mktime(&t) == static_cast<time_t>(-1)) return 0;
  return static_cast<int>(-t.tm_gmtoff / 60);
}

}  // namespace pithorama
