// Platform threads: create with a stack size (optionally suspended), wait with a time-out,
// exit code, priority, suspend/resume, close.
//
// A ThreadHandle stays valid until ThreadClose, whether or not the thread has ended; closing
// the handle of a running thread lets it run on unowned. Any thread may wait on a handle;
// ThreadClose is called once per handle. Failures leave a Win32 number in LastError().
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/sync.h"

namespace platform {

using ThreadHandle = intptr_t;
inline constexpr ThreadHandle kNoThread = 0;
using ThreadRoutine = uint32_t (*)(void* argument);

inline constexpr uint32_t kCreateSuspended = 0x4;
// What the priority calls give on failure, like THREAD_PRIORITY_ERROR_RETURN.
inline constexpr int kPriorityError = 0x7FFFFFFF;

// Runs routine(argument) on a new thread; `stack_size` 0 takes the platform default. The
// thread's id is stored in *thread_id (the value CurrentThreadId gives on that thread).
ThreadHandle ThreadCreate(size_t stack_size, ThreadRoutine routine, void* argument, uint32_t flags,
                          uint64_t* thread_id);
WaitResult ThreadWait(ThreadHandle thread, uint32_t timeout_ms);
// False while the thread runs.
bool ThreadExitCode(ThreadHandle thread, uint32_t* exit_code);
bool ThreadClose(ThreadHandle thread);

// Win32 priority levels (-15, -2 ... 2, 15); the POSIX backend keeps the level and applies
// it as a nice value where the process may.
int ThreadGetPriority(ThreadHandle thread);
bool ThreadSetPriority(ThreadHandle thread, int priority);
// The previous suspend count, or 0xFFFFFFFF. POSIX suspends only a thread created suspended
// that has not yet been resumed; suspending a running thread fails with 50.
uint32_t ThreadSuspend(ThreadHandle thread);
uint32_t ThreadResume(ThreadHandle thread);

}  // namespace platform
