// Kernel-style waitable objects: counting semaphores and owned mutexes, with waits that take a
// time-out in milliseconds, the way the system's lock classes expect them.
//
// A handle stays valid until SyncClose; closing a handle that a thread still waits on is a
// caller error. A mutex may be entered again by the thread that owns it (each entry needs its
// own release); only the owner may release it. A semaphore never counts beyond its maximum.
// Any thread may wait on or release any handle. Failures leave a Win32 number in LastError().
#pragma once

#include <cstdint>

namespace platform {

using SyncHandle = intptr_t;
inline constexpr SyncHandle kNoSync = 0;
inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

enum class WaitResult { kSignaled, kTimeout, kFailed };

// kNoSync when 0 <= initial <= maximum and maximum >= 1 do not hold (error 87).
SyncHandle SemaphoreCreate(int32_t initial, int32_t maximum);
// Adds `count`; fails with 298 and changes nothing when that would pass the maximum. The
// count before the release goes to *previous when it is given.
bool SemaphoreRelease(SyncHandle semaphore, int32_t count, int32_t* previous);

SyncHandle MutexCreate();
// Fails with 288 when the calling thread does not own the mutex.
bool MutexRelease(SyncHandle mutex);

// Takes one count of a semaphore, or ownership of a mutex.
WaitResult SyncWait(SyncHandle object, uint32_t timeout_ms);
bool SyncClose(SyncHandle object);

}  // namespace platform
