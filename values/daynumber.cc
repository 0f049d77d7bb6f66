// Day numbers from and to date-time records, by whole civil days (the contract is in daynumber.h).
#include "values/daynumber.h"

#include <cmath>

#include "platform/clock.h"

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date; any field values are safe.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t year_of_era = year - era * 400;
  int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

void CivilFromDays(int64_t days, DateTimeRecord* out) {
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t day_of_era = days - era * 146097;
  int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  int64_t mp = (5 * day_of_year + 2) / 153;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  out->year = static_cast<uint16_t>(year_of_era + era * 400 + (month <= 2 ? 1 : 0));
  out->month = static_cast<uint8_t>(month);
  out->day = static_cast<uint8_t>(day_of_year - (153 * mp + 2) / 5 + 1);
}

const int64_t kDayNumberEpoch = DaysFromCivil(1899, 12, 30);
constexpr int64_t kMillisecondsPerDay = 86400000;

}  // namespace

DateTimeRecord NowDateTime() {
  platform::LocalTime now = platform::GetLocalTime();
  DateTimeRecord record;
  record.year = static_cast<uint16_t>(now.year);
  record.month = static_cast<uint8_t>(now.month);
  record.day = static_cast<uint8_t>(now.day);
  record.hour = static_cast<uint8_t>(now.hour);
  record.minute = static_cast<uint8_t>(now.minute);
  record.second = static_cast<uint8_t>(now.second);
  record.milliseconds = static_cast<uint16_t>(now.milliseconds);
  return record;
}

double NowDayNumber() {
  return DateTimeToDayNumber(NowDateTime());
}

double DateTimeToDayNumber(const DateTimeRecord& value) {
  if (value.year == 0) return 0;
  auto days =
      static_cast<double>(DaysFromCivil(value.year, value.month, value.day) - kDayNumberEpoch);
  double fraction = (value.hour * 3600 + value.minute * 60 + value.second) / 86400.0;
  // Before the epoch the fraction still counts forward from midnight: -1.25 is 06:00.
  return days >= 0 ? days + fraction : days - fraction;
}

DateTimeRecord DayNumberToDateTime(double day_number) {
  DateTimeRecord record;
  // Years 100 to 9999; NaN fails both comparisons.
  if (!(day_number > -657435.0 && day_number < 2958466.0)) return record;
  double whole = std::trunc(day_number);
  auto days = static_cast<int64_t>(whole);
  int64_t ms = std::llround(std::fabs(day_number - whole) * kMillisecondsPerDay);
  if (ms >= kMillisecondsPerDay) {
    ms -= kMillisecondsPerDay;
    ++days;  // the time of day always runs forward, before the epoch as well
  }
  CivilFromDays(days + kDayNumberEpoch, &record);
  record.hour = static_cast<uint8_t>(ms / 3600000);
  record.minute = static_cast<uint8_t>(ms / 60000 % 60);
  record.second = static_cast<uint8_t>(ms / 1000 % 60);
  record.milliseconds = static_cast<uint16_t>(ms % 1000);
  return record;
}
