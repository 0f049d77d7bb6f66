#include "foundation/datetime.h"

#include <gtest/gtest.h>

namespace {

platform::LocalTime At(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  return {
      .year = year, .month = month, .day = day, .hour = hour, .minute = minute, .second = second};
}

TEST(DateTimeText, RunsAreZeroFilledAndLongNumbersKeepTheirLastDigits) {
  EXPECT_STREQ(DateTimeText("YYYY-MM-DD hh:mm:ss", At(2008, 1, 5, 0, 7, 3)), "2008-01-05 00:07:03");
  EXPECT_STREQ(DateTimeText("YY/M/D", At(2026, 12, 5)), "26/2/5");
  EXPECT_STREQ(DateTimeText("[sss]x", At(2026, 1, 1, 0, 0, 59)), "[059]x");
}

}  // namespace
