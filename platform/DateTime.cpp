#include "pithorama/platform/DateTime.h"

#include <cstdio>

namespace pithorama {

static int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;  // days since 1970-01-01
}

static void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

// 1899-12-30 is 25569 days before 1970-01-01.
static constexpr int64_t kUnixEpochDays = 25569;

TDateTime EncodeDateTime(const DateTimeParts& p) {
  double days = static_cast<double>(DaysFromCivil(p.year, p.month, p.day) + kUnixEpochDays);
  double time = ((p.hour * 60.0 + p.minute) * 60.0 + p.second + p.millisecond / 1000.0) / 86400.0;
  return days >= 0 ? days + time : days - time;
}

// Rounds half away from zero, as llround does, without the maths library:
// this is the programs' only use of it, and a program that does not need it
// maps one shared library fewer at every CGI start. Exact while the value's
// magnitude is below 2^52, far beyond any date in milliseconds.
static int64_t RoundHalfAway(double value) {
  int64_t whole = static_cast<int64_t>(value);  // toward zero
  const double rest = value - static_cast<double>(whole);
  if (rest >= 0.5) ++whole;
  if (rest <= -0.5) --whole;
  return whole;
}

DateTimeParts DecodeDateTime(TDateTime value) {
  DateTimeParts p;
  // Round to the millisecond first so that 23:59:59.9995 does not print as 24:00.
  int64_t totalMs = RoundHalfAway(value * 86400000.0);
  int64_t days = totalMs >= 0 ? totalMs / 86400000 : -((-totalMs + 86399999) / 86400000);
  int64_t msOfDay = totalMs - days * 86400000;
  CivilFromDays(days - kUnixEpochDays, p.year, p.month, p.day);
  p.hour = static_cast<int>(msOfDay / 3600000);
  p.minute = static_cast<int>(msOfDay / 60000 % 60);
  p.second = static_cast<int>(msOfDay / 1000 % 60);
  p.millisecond = static_cast<int>(msOfDay % 1000);
  int64_t dow = (days - kUnixEpochDays + 4) % 7;  // 1970-01-01 was a Thursday
  p.dayOfWeek = static_cast<int>(dow < 0 ? dow + 7 : dow);
  return p;
}

std::string FormatShortDate(TDateTime value) {
  DateTimeParts p = DecodeDateTime(value);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", p.year, p.month, p.day);
  return text;
}

std::string FormatLongTime(TDateTime value) {
  DateTimeParts p = DecodeDateTime(value);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", p.hour, p.minute, p.second);
  return text;
}

}  // namespace pithorama
