// Local date and time as a day count: TDateTime counts days since 1899-12-30,
// the fraction is the time of day.
#pragma once

#include <cstdint>
#include <string>

namespace pithorama {

using TDateTime = double;

struct DateTimeParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  int dayOfWeek = 0;  // 0 = Sunday
};

TDateTime EncodeDateTime(const DateTimeParts& parts);
DateTimeParts DecodeDateTime(TDateTime value);

// The current local date and time.
TDateTime Now();
// Milliseconds since midnight of the current UTC day.
uint32_t UtcMillisecondsOfDay();
// Minutes that the local zone lies behind UTC at the given local time
// (UTC = local + offset), with daylight saving time where it is in force then.
int LocalToUtcOffsetMinutes(TDateTime localTime);

// The platform's short date ("YYYY-MM-DD") and long time ("HH:MM:SS") formats.
std::string FormatShortDate(TDateTime value);
std::string FormatLongTime(TDateTime value);

}  // namespace pithorama
