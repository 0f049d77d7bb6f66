// Threads on Win32: the thread object itself carries the end-of-thread signal, the exit code,
// the suspend count and the priority, so every call maps onto one system call. Each new
// thread first prepares itself for crashes (room at the end of its stack for the system to
// reach the crash filter), as the POSIX backend gives its threads an alternate signal stack.
#include <windows.h>

#include "platform/crash.h"
#include "platform/error.h"
#include "platform/thread.h"

namespace platform {
namespace {

// What the new thread needs before it can run the caller's routine; it frees the record.
struct StartRecord {
  ThreadRoutine routine;
  void* argument;
};

DWORD WINAPI ThreadBody(void* argument) {
  StartRecord start = *static_cast<StartRecord*>(argument);
  delete static_cast<StartRecord*>(argument);
  PrepareThreadForCrashes();
  return start.routine(start.argument);
}

HANDLE HandleOf(ThreadHandle thread) {
  if (thread == kNoThread) SetLastError(kErrorInvalidHandle);
  return reinterpret_cast<HANDLE>(thread);
}

}  // namespace

ThreadHandle ThreadCreate(size_t stack_size, ThreadRoutine routine, void* argument, uint32_t flags,
                          uint64_t* thread_id) {
  StartRecord* start = new StartRecord{routine, argument};
  // The size is the whole stack, as on POSIX, not only its first committed part.
  DWORD creation = STACK_SIZE_PARAM_IS_A_RESERVATION;
  if ((flags & kCreateSuspended) != 0) creation |= CREATE_SUSPENDED;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, stack_size, ThreadBody, start, creation, &id);
  if (thread == nullptr) {
    DWORD error = GetLastError();
    delete start;
    SetLastError(error);
    return kNoThread;
  }
  if (thread_id != nullptr) *thread_id = id;
  return reinterpret_cast<ThreadHandle>(thread);
}

WaitResult ThreadWait(ThreadHandle thread, uint32_t timeout_ms) {
  HANDLE handle = HandleOf(thread);
  if (handle == nullptr) return WaitResult::kFailed;
  switch (WaitForSingleObject(handle, timeout_ms)) {
    case WAIT_OBJECT_0:
      return WaitResult::kSignaled;
    case WAIT_TIMEOUT:
      return WaitResult::kTimeout;
    default:
      return WaitResult::kFailed;
  }
}

bool ThreadExitCode(ThreadHandle thread, uint32_t* exit_code) {
  HANDLE handle = HandleOf(thread);
  if (handle == nullptr) return false;
  // Asked of the thread's signal, not of STILL_ACTIVE, which is also a code a thread may end
  // with.
  if (WaitForSingleObject(handle, 0) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  if (!GetExitCodeThread(handle, &code)) return false;
  *exit_code = code;
  return true;
}

bool ThreadClose(ThreadHandle thread) {
  HANDLE handle = HandleOf(thread);
  return handle != nullptr && CloseHandle(handle);
}

int ThreadGetPriority(ThreadHandle thread) {
  HANDLE handle = HandleOf(thread);
  if (handle == nullptr) return kPriorityError;
  int priority = GetThreadPriority(handle);
  return priority == THREAD_PRIORITY_ERROR_RETURN ? kPriorityError : priority;
}

bool ThreadSetPriority(ThreadHandle thread, int priority) {
  HANDLE handle = HandleOf(thread);
  return handle != nullptr && SetThreadPriority(handle, priority);
}

uint32_t ThreadSuspend(ThreadHandle thread) {
  HANDLE handle = HandleOf(thread);
  return handle == nullptr ? 0xFFFFFFFF : SuspendThread(handle);
}

uint32_t ThreadResume(ThreadHandle thread) {
  HANDLE handle = HandleOf(thread);
  return handle == nullptr ? 0xFFFFFFFF : ResumeThread(handle);
}

}  // namespace platform
