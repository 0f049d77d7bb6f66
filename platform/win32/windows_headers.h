// <windows.h> for the Win32 backend, without the macros that would rename this system's own
// platform functions. Internal to platform/win32/.
//
// <windows.h> turns DeleteFile, RemoveDirectory, SetCurrentDirectory, the service-manager and
// the event-log functions into their "A" or "W" forms. Left in place, platform::DeleteFile would be
// defined here as platform::DeleteFileA while every caller, which never sees <windows.h>, links
// against platform::DeleteFile. The backend calls the "A" functions by their full names instead.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef CreateService
#undef DeleteFile
#undef OpenService
#undef RegisterEventSource
#undef RegisterServiceCtrlHandler
#undef RemoveDirectory
#undef ReportEvent
#undef SetCurrentDirectory
#undef StartServiceCtrlDispatcher

#include <cstdint>

namespace platform {

// 100-nanosecond intervals between 1601-01-01 (FILETIME's start) and 1970-01-01.
inline constexpr int64_t kFileTimeAt1970 = 116444736000000000;
inline constexpr int64_t kFileTimeTicksPerSecond = 10000000;

// Whole seconds since 1970, rounded down, of a FILETIME; 0 for a FILETIME of 0 (not kept).
inline int64_t SecondsSince1970(const FILETIME& time) {
  int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  if (ticks == 0) return 0;
  int64_t since = ticks - kFileTimeAt1970;
  int64_t seconds = since / kFileTimeTicksPerSecond;
  if (since % kFileTimeTicksPerSecond < 0) --seconds;
  return seconds;
}

inline FILETIME FileTimeOf(int64_t seconds_since_1970) {
  uint64_t ticks =
      static_cast<uint64_t>(seconds_since_1970 * kFileTimeTicksPerSecond + kFileTimeAt1970);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

}  // namespace platform
