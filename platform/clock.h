// Local time with milliseconds and the 32-bit millisecond tick count.
#pragma once

#include <cstdint>

namespace platform {

// The fields of the Win32 SYSTEMTIME, in local time.
struct LocalTime {
  int year = 0;
  int month = 0;        // 1-12
  int day_of_week = 0;  // 0 = Sunday
  int day = 0;          // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int milliseconds = 0;
};

LocalTime GetLocalTime();
// Local time of a moment given as seconds since 1970.
LocalTime LocalTimeOf(int64_t seconds_since_1970);
// Seconds since 1970 (the run-time library's `time`).
int64_t TimeNow();
// Milliseconds since an arbitrary start, wrapping at 32 bits like GetTickCount.
uint32_t GetTickCount();
void SleepMs(uint32_t milliseconds);

}  // namespace platform
