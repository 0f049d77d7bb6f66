#include "foundation/datetime.h"

#include <gtest/gtest.h>

namespace {

platform::LocalTime At(int year, int month, int day, int hour, int minute, int second) {
  platform::LocalTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  return t;
}

TEST(DateTimeText, RunsAreZeroFilledAndLongNumbersKeepTheirLastDigits) {
  EXPECT_STREQ(DateTimeText("YYYY-MM-DD", At(2008, 1, 5, 0, 0, 0)), "2008-01-05");
  EXPECT_STREQ(DateTimeText("YYYY-MM-DD hh:mm:ss", At(2026, 12, 5, 9, 7, 3)),
               "2026-12-05 09:07:03");
  EXPECT_STREQ(DateTimeText("YY/M/D", At(2026, 12, 5, 0, 0, 0)), "26/2/5");
  EXPECT_STREQ(DateTimeText("[sss]x", At(2026, 1, 1, 0, 0, 59)), "[059]x");
}

TEST(DateTimeText, NowUsesTheLocalClock) {
  CString text = NowText("YYYY");
  ASSERT_EQ(text.GetLength(), 4);
  EXPECT_GE(atoi(text), 2024);
}

}  // namespace
