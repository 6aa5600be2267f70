// Dates are day counts with the time of day as a fraction; decoding rounds
// to the nearest millisecond, on both sides of day 0.
#include <gtest/gtest.h>

#include <vector>

#include "pithorama/platform/DateTime.h"

namespace pithorama::test {
namespace {

constexpr double kMs = 1.0 / 86400000.0;

struct TRoundCase {
  const char* what;
  TDateTime value;
  int year, month, day, hour, minute, second, millisecond;
};

TEST(DateTime, DecodeRoundsToTheNearestMillisecond) {
  const TRoundCase cases[] = {
      {"day 0", 0.0, 1899, 12, 30, 0, 0, 0, 0},
      {"a quarter ms before midnight is the next day", 1.0 - kMs / 4, 1899, 12, 31, 0, 0, 0, 0},
      {"three quarters ms before midnight is the last ms", 1.0 - 3 * kMs / 4, 1899, 12, 30, 23, 59,
       59, 999},
      {"noon, this century", 46000.5, 2025, 12, 9, 12, 0, 0, 0},
      {"a ms and a bit", 46000.5 + 1.4 * kMs, 2025, 12, 9, 12, 0, 0, 1},
      {"before day 0, a quarter ms", -2.0 - kMs / 4, 1899, 12, 28, 0, 0, 0, 0},
      {"before day 0, three quarters ms", -2.0 - 3 * kMs / 4, 1899, 12, 27, 23, 59, 59, 999},
  };
  for (const TRoundCase& c : cases) {
    const DateTimeParts p = DecodeDateTime(c.value);
    EXPECT_EQ((std::vector<int>{p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond}),
              (std::vector<int>{c.year, c.month, c.day, c.hour, c.minute, c.second, c.millisecond}))
        << c.what;
  }
}

}  // namespace
}  // namespace pithorama::test
