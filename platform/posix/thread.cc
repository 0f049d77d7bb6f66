// Threads on POSIX: pthreads with a shared record that carries what Win32 keeps in a thread
// object (the end-of-thread signal, the exit code, the suspend count, the priority level).
//
// The record is owned jointly by the handle and the running thread; whichever lets go last
// frees it.
#include <pthread.h>
#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>

#include "platform/crash.h"
#include "platform/error.h"
#include "platform/posix/posix_error.h"
#include "platform/process.h"
#include "platform/thread.h"

namespace platform {
namespace {

struct ThreadRecord {
  std::mutex mutex;
  std::condition_variable changed;
  ThreadRoutine routine = nullptr;
  void* argument = nullptr;
  uint64_t thread_id = 0;
  bool id_known = false;
  uint32_t suspend_count = 0;
  bool ended = false;
  uint32_t exit_code = 0;
  int priority = 0;
  int owners = 2;  // the handle and the thread
  pthread_t pthread{};
};

using Hold = std::unique_lock<std::mutex>;

void LetGo(ThreadRecord* record) {
  Hold hold(record->mutex);
  bool last = --record->owners == 0;
  hold.unlock();
  if (last) delete record;
}

void* ThreadBody(void* argument) {
  ThreadRecord* record = static_cast<ThreadRecord*>(argument);
  PrepareThreadForCrashes();
  Hold hold(record->mutex);
  record->thread_id = CurrentThreadId();
  record->id_known = true;
  record->changed.notify_all();
  record->changed.wait(hold, [&] { return record->suspend_count == 0; });
  hold.unlock();

  uint32_t exit_code = record->routine(record->argument);

  hold.lock();
  record->exit_code = exit_code;
  record->ended = true;
  record->changed.notify_all();
  hold.unlock();
  LetGo(record);
  return nullptr;
}

ThreadRecord* RecordOf(ThreadHandle thread) {
  if (thread == kNoThread) SetLastError(kErrorInvalidHandle);
  return reinterpret_cast<ThreadRecord*>(thread);
}

// Nice values for the Win32 levels: idle 19, lowest 10, below normal 5, normal 0, above
// normal -5, highest -10, time critical -20. Raising needs privileges and may fail.
int NiceOf(int priority) {
  if (priority <= -15) return 19;
  if (priority >= 15) return -20;
  return -5 * priority;
}

// Moves the suspend count by `step` (+1 or -1) and gives the count before; a count that
// would leave the range [0, .] or suspend a running thread is not moved.
uint32_t ChangeSuspendCount(ThreadHandle thread, int step) {
  ThreadRecord* record = RecordOf(thread);
  if (record == nullptr) return 0xFFFFFFFF;
  Hold hold(record->mutex);
  uint32_t previous = record->suspend_count;
  if (previous == 0) {
    // POSIX cannot stop a running thread from outside; resuming one that runs is a no-op.
    if (step > 0) SetLastError(kErrorNotSupported);
    return step > 0 ? 0xFFFFFFFF : 0;
  }
  record->suspend_count += step;
  if (record->suspend_count == 0) record->changed.notify_all();
  return previous;
}

}  // namespace

ThreadHandle ThreadCreate(size_t stack_size, ThreadRoutine routine, void* argument, uint32_t flags,
                          uint64_t* thread_id) {
  ThreadRecord* record = new ThreadRecord;
  record->routine = routine;
  record->argument = argument;
  record->suspend_count = (flags & kCreateSuspended) != 0 ? 1 : 0;

  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  if (stack_size > 0) {
    size_t minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
    pthread_attr_setstacksize(&attributes, stack_size < minimum ? minimum : stack_size);
  }
  int err = pthread_create(&record->pthread, &attributes, ThreadBody, record);
  pthread_attr_destroy(&attributes);
  if (err != 0) {
    delete record;
    SetLastErrorFromErrno(err);
    return kNoThread;
  }
  Hold hold(record->mutex);
  record->changed.wait(hold, [&] { return record->id_known; });
  if (thread_id != nullptr) *thread_id = record->thread_id;
  return reinterpret_cast<ThreadHandle>(record);
}

WaitResult ThreadWait(ThreadHandle thread, uint32_t timeout_ms) {
  ThreadRecord* record = RecordOf(thread);
  if (record == nullptr) return WaitResult::kFailed;
  Hold hold(record->mutex);
  auto ended = [&] { return record->ended; };
  if (timeout_ms == kInfinite) {
    record->changed.wait(hold, ended);
    return WaitResult::kSignaled;
  }
  bool done = record->changed.wait_for(hold, std::chrono::milliseconds(timeout_ms), ended);
  return done ? WaitResult::kSignaled : WaitResult::kTimeout;
}

bool ThreadExitCode(ThreadHandle thread, uint32_t* exit_code) {
  ThreadRecord* record = RecordOf(thread);
  if (record == nullptr) return false;
  Hold hold(record->mutex);
  if (record->ended) *exit_code = record->exit_code;
  return record->ended;
}

bool ThreadClose(ThreadHandle thread) {
  ThreadRecord* record = RecordOf(thread);
  if (record == nullptr) return false;
  pthread_detach(record->pthread);
  LetGo(record);
  return true;
}

int ThreadGetPriority(ThreadHandle thread) {
  ThreadRecord* record = RecordOf(thread);
  if (record == nullptr) return kPriorityError;
  Hold hold(record->mutex);
  return record->priority;
}

bool ThreadSetPriority(ThreadHandle thread, int priority) {
  ThreadRecord* record = RecordOf(thread);
  if (record == nullptr) return false;
  Hold hold(record->mutex);
  bool applied = record->ended || setpriority(PRIO_PROCESS, static_cast<id_t>(record->thread_id),
                                              NiceOf(priority)) == 0;
  if (!applied) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  record->priority = priority;
  return true;
}

uint32_t ThreadSuspend(ThreadHandle thread) {
  return ChangeSuspendCount(thread, +1);
}

uint32_t ThreadResume(ThreadHandle thread) {
  return ChangeSuspendCount(thread, -1);
}

}  // namespace platform
