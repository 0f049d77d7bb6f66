// JThread: the system's thread object. A thread runs Run (overridden by derived classes; the
// default is the worker loop), a routine given to StartRoutine, or, in worker mode, jobs
// posted one at a time.
//
// Every started thread has a row in the process-wide registry (a NetTable with NET_SUPERLONG
// columns "THREADHANDLE", "THREADID" and "JThread") from Start until Wait or the destructor,
// so the registry holds exactly the threads that were started and not yet waited for.
//
// Threads: Start, Stop, Wait and the destructor belong to the owning thread; Post,
// WaitIdle, IsBusy and IsStopping may be called from any thread. In worker mode one posting
// thread at a time hands over a job through two semaphores (work: 0 of 1, idle: 1 of 1), so
// jobs run strictly one after another. The registry lock is never taken while the state lock
// is held.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/thread.h"
#include "runtime/memobj.h"
#include "runtime/mt.h"

class JThread;
using JThreadRoutine = uint32_t (*)(JThread* thread);

class JThread : public BaseObject {
 public:
  // Security attributes have no POSIX meaning and are ignored there.
  explicit JThread(size_t stack_size = 0, void* security_attributes = nullptr);
  ~JThread() override;
  JThread(const JThread&) = delete;
  JThread& operator=(const JThread&) = delete;

  // 1 when the thread was created (flags: platform::kCreateSuspended or 0).
  int Start(uint32_t flags = 0);
  int StartRoutine(JThreadRoutine routine, uint32_t flags = 0);
  int StartWorker();

  // Worker mode: waits until the previous job has finished, then hands `job` over.
  int Post(JThreadRoutine job);
  int WaitIdle();
  int IsBusy();
  int Stop();
  int IsStopping();
  // 0 when the platform wait fails; else (ended or timed out) the handle is closed, the
  // registry row removed, and the object may be started again.
  int Wait(uint32_t timeout_ms = platform::kInfinite);

  int GetPriority() const;
  int SetPriority(int priority);
  uint32_t Suspend();
  uint32_t Resume();

  platform::ThreadHandle handle() const { return handle_; }
  uint64_t thread_id() const { return thread_id_; }
  uint32_t job_result() const { return job_result_; }

  static uint64_t CurrentThreadId();
  static void Sleep(uint32_t ms);
  // The JThread running the calling thread, or null.
  static JThread* FindCurrent();
  // Ids of the registered threads, in registration order.
  static std::vector<uint64_t> RegisteredThreadIds();

 protected:
  // The thread's body; its result is the thread's exit code.
  virtual uint32_t Run();

 private:
  static uint32_t Body(void* self);
  int Create(uint32_t flags);
  void Unregister();

  size_t stack_size_;
  platform::ThreadHandle handle_ = platform::kNoThread;
  uint64_t thread_id_ = 0;
  JThreadRoutine job_ = nullptr;
  JThreadRoutine routine_ = nullptr;
  uint32_t job_result_ = 0;
  // Written under the state lock; the worker loop's condition reads them without it.
  std::atomic<int> stop_{1};
  std::atomic<int> worker_{0};
  int busy_ = 0;
  CSemaphore work_{0, 1};
  CSemaphore idle_{1, 1};
  CCriticalSection state_lock_;
};
