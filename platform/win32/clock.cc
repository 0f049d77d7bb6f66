// Local time and ticks on Win32: GetLocalTime, FILETIME conversions through the time zone's
// rules for the date in question, GetTickCount and Sleep.
#include "platform/clock.h"

#include "platform/win32/windows_headers.h"

namespace platform {
namespace {

LocalTime FromSystemTime(const SYSTEMTIME& time) {
  LocalTime t;
  t.year = time.wYear;
  t.month = time.wMonth;
  t.day_of_week = time.wDayOfWeek;
  t.day = time.wDay;
  t.hour = time.wHour;
  t.minute = time.wMinute;
  t.second = time.wSecond;
  t.milliseconds = time.wMilliseconds;
  return t;
}

}  // namespace

LocalTime GetLocalTime() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  return FromSystemTime(now);
}

LocalTime LocalTimeOf(int64_t seconds_since_1970) {
  FILETIME utc_file = FileTimeOf(seconds_since_1970);
  SYSTEMTIME utc;
  SYSTEMTIME local;
  if (!::FileTimeToSystemTime(&utc_file, &utc)) return LocalTime();
  // The daylight-saving rule of that date, not today's (FileTimeToLocalFileTime's) bias.
  if (!::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return LocalTime();
  return FromSystemTime(local);
}

int64_t TimeNow() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return SecondsSince1970(now);
}

uint32_t GetTickCount() {
  return ::GetTickCount();
}

void SleepMs(uint32_t milliseconds) {
  ::Sleep(milliseconds);
}

}  // namespace platform
