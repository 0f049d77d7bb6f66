// Local time and ticks on POSIX: CLOCK_REALTIME through localtime_r, CLOCK_MONOTONIC ticks.
#include <time.h>

#include <cerrno>

#include "platform/clock.h"

namespace platform {
namespace {

LocalTime FromTm(const struct tm& tm, int milliseconds) {
  LocalTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day_of_week = tm.tm_wday;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec;
  t.milliseconds = milliseconds;
  return t;
}

}  // namespace

LocalTime GetLocalTime() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm tm;
  localtime_r(&now.tv_sec, &tm);
  return FromTm(tm, static_cast<int>(now.tv_nsec / 1000000));
}

LocalTime LocalTimeOf(int64_t seconds_since_1970) {
  time_t seconds = static_cast<time_t>(seconds_since_1970);
  struct tm tm;
  localtime_r(&seconds, &tm);
  return FromTm(tm, 0);
}

int64_t TimeNow() {
  return static_cast<int64_t>(time(nullptr));
}

uint32_t GetTickCount() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t milliseconds) {
  struct timespec left;
  left.tv_sec = milliseconds / 1000;
  left.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace platform
