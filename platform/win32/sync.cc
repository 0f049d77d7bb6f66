// Semaphores and mutexes on Win32: the kernel's own objects, so ownership, re-entry by the
// owner and the semaphore's maximum are the system's.
//
// A mutex whose owner ended without releasing it is "abandoned": the next wait is given
// ownership with WAIT_ABANDONED. That wait counts as taken (kSignaled): the waiter does own
// the mutex then and must release it, and reporting anything else would leave it held by a
// thread that does not know it holds it. (A POSIX mutex has no abandonment: its owner's end
// leaves it held for good.)
#include <windows.h>

#include "platform/error.h"
#include "platform/sync.h"

namespace platform {
namespace {

HANDLE HandleOf(SyncHandle object) {
  if (object == kNoSync) SetLastError(kErrorInvalidHandle);
  return reinterpret_cast<HANDLE>(object);
}

}  // namespace

SyncHandle SemaphoreCreate(int32_t initial, int32_t maximum) {
  if (maximum < 1 || initial < 0 || initial > maximum) {
    SetLastError(kErrorInvalidParameter);
    return kNoSync;
  }
  return reinterpret_cast<SyncHandle>(CreateSemaphoreA(nullptr, initial, maximum, nullptr));
}

bool SemaphoreRelease(SyncHandle semaphore, int32_t count, int32_t* previous) {
  HANDLE handle = HandleOf(semaphore);
  if (handle == nullptr) return false;
  if (count < 1) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  LONG before = 0;
  if (!ReleaseSemaphore(handle, count, &before)) return false;
  if (previous != nullptr) *previous = before;
  return true;
}

SyncHandle MutexCreate() {
  return reinterpret_cast<SyncHandle>(CreateMutexA(nullptr, FALSE, nullptr));
}

bool MutexRelease(SyncHandle mutex) {
  HANDLE handle = HandleOf(mutex);
  return handle != nullptr && ReleaseMutex(handle);
}

WaitResult SyncWait(SyncHandle object, uint32_t timeout_ms) {
  HANDLE handle = HandleOf(object);
  if (handle == nullptr) return WaitResult::kFailed;
  switch (WaitForSingleObject(handle, timeout_ms)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      return WaitResult::kSignaled;
    case WAIT_TIMEOUT:
      return WaitResult::kTimeout;
    default:
      return WaitResult::kFailed;
  }
}

bool SyncClose(SyncHandle object) {
  HANDLE handle = HandleOf(object);
  return handle != nullptr && CloseHandle(handle);
}

}  // namespace platform
