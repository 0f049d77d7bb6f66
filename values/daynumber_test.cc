// Tests of the day numbers against known dates and as a round trip.
#include "values/daynumber.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "values/values_testing.h"

namespace {

using values_testing::Date;

TEST(DayNumbers, OleAutomationDates) {
  EXPECT_EQ(DateTimeToDayNumber(Date(1899, 12, 30)), 0.0);
  EXPECT_EQ(DateTimeToDayNumber(Date(1900, 1, 1)), 2.0);
  EXPECT_EQ(DateTimeToDayNumber(Date(2000, 1, 1, 12)), 36526.5);
  EXPECT_EQ(DateTimeToDayNumber(Date(1899, 12, 29, 6)), -1.25);
  EXPECT_EQ(DateTimeToDayNumber(DateTimeRecord()), 0.0);
  DateTimeRecord with_ms = Date(2000, 1, 1, 12);
  with_ms.milliseconds = 999;
  EXPECT_EQ(DateTimeToDayNumber(with_ms), 36526.5);

  EXPECT_EQ(DayNumberToDateTime(1.0 - 1e-12), Date(1899, 12, 31));  // rounds to midnight
  EXPECT_EQ(DayNumberToDateTime(std::nan("")), DateTimeRecord());
  EXPECT_EQ(DayNumberToDateTime(1e12), DateTimeRecord());
  EXPECT_EQ(DayNumberToDateTime(2.0 + 1.5 / 86400).milliseconds, 500);

  std::mt19937_64 rng(1);
  for (int k = 0; k < 2000; ++k) {
    DateTimeRecord when = values_testing::RandomDateTime(rng);
    when.year = static_cast<uint16_t>(100 + rng() % 9900);
    when.milliseconds = 0;
    ASSERT_EQ(DayNumberToDateTime(DateTimeToDayNumber(when)), when) << when.year;
  }
}

}  // namespace
