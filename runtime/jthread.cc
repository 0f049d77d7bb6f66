// JThread: start, worker mode, wait, and the process-wide registry of started threads.
#include "runtime/jthread.h"

#include "platform/clock.h"
#include "platform/process.h"
#include "values/nettable.h"

namespace {

constexpr char kUnit[] = "jthread";
constexpr int kHandleColumn = 1;
constexpr int kIdColumn = 2;
constexpr int kObjectColumn = 3;

struct ThreadRegistry {
  CCriticalSection lock;
  NetTable table;
};

// Made, with its columns, by the first JThread; never destroyed, so threads that outlive
// static destruction still find it.
ThreadRegistry& Registry() {
  static ThreadRegistry* registry = [] {
    ThreadRegistry* made = new ThreadRegistry;
    made->table.AddColumn("THREADHANDLE", NET_SUPERLONG);
    made->table.AddColumn("THREADID", NET_SUPERLONG);
    made->table.AddColumn("JThread", NET_SUPERLONG);
    return made;
  }();
  return *registry;
}

}  // namespace

JThread::JThread(size_t stack_size, void* /*security_attributes*/) : stack_size_(stack_size) {
  Registry();
}

JThread::~JThread() {
  if (worker_.load() != 0) Stop();
  if (handle_ == platform::kNoThread) return;
  platform::ThreadClose(handle_);
  Unregister();
}

uint32_t JThread::Body(void* self) {
  JThread* thread = static_cast<JThread*>(self);
  return thread->routine_ != nullptr ? thread->routine_(thread) : thread->Run();
}

int JThread::Create(uint32_t flags) {
  {
    ScopedLock hold(state_lock_, kUnit, __LINE__);
    stop_.store(0);
  }
  // The row goes in under the registry lock held across the creation, so that the new
  // thread's FindCurrent already sees it. The thread starts suspended and runs only once its
  // handle, id and row are stored: a short thread could otherwise end, and be waited for and
  // deleted by another thread, before this one wrote them. `this` may be gone after the resume.
  ThreadRegistry& registry = Registry();
  ScopedLock hold(registry.lock, kUnit, __LINE__);
  platform::ThreadHandle handle = platform::ThreadCreate(
      stack_size_, Body, this, flags | platform::kCreateSuspended, &thread_id_);
  if (handle == platform::kNoThread) return 0;
  handle_ = handle;
  int row = registry.table.AppendRow();
  registry.table.SetSuperLong(row, kHandleColumn, static_cast<int64_t>(handle));
  registry.table.SetSuperLong(row, kIdColumn, static_cast<int64_t>(thread_id_));
  registry.table.SetSuperLong(row, kObjectColumn, reinterpret_cast<int64_t>(this));
  if ((flags & platform::kCreateSuspended) == 0) platform::ThreadResume(handle);
  return 1;
}

int JThread::Start(uint32_t flags) {
  routine_ = nullptr;
  return Create(flags);
}

int JThread::StartRoutine(JThreadRoutine routine, uint32_t flags) {
  routine_ = routine;
  return Create(flags);
}

int JThread::StartWorker() {
  worker_.store(1);
  return Start(0);
}

uint32_t JThread::Run() {
  while (stop_.load() == 0 && worker_.load() != 0) {
    work_.Lock(kUnit, __LINE__);
    JThreadRoutine job;
    {
      ScopedLock hold(state_lock_, kUnit, __LINE__);
      job = stop_.load() == 0 ? job_ : nullptr;
      job_ = nullptr;
    }
    if (job != nullptr) job_result_ = job(this);
    {
      // Cleared before the idle hand-back, so a caller that returns from WaitIdle never
      // sees the finished job as busy.
      ScopedLock hold(state_lock_, kUnit, __LINE__);
      busy_ = 0;
    }
    idle_.Unlock();
  }
  return 0;
}

int JThread::Post(JThreadRoutine job) {
  idle_.Lock(kUnit, __LINE__);
  {
    ScopedLock hold(state_lock_, kUnit, __LINE__);
    job_ = job;
    busy_ = 1;
  }
  work_.Unlock();
  return 1;
}

int JThread::WaitIdle() {
  idle_.Lock(kUnit, __LINE__);
  idle_.Unlock();
  return 1;
}

int JThread::IsBusy() {
  ScopedLock hold(state_lock_, kUnit, __LINE__);
  return busy_;
}

int JThread::Stop() {
  {
    ScopedLock hold(state_lock_, kUnit, __LINE__);
    stop_.store(1);
  }
  work_.Unlock();  // fails harmlessly when a wake-up is already pending
  return 1;
}

int JThread::IsStopping() {
  ScopedLock hold(state_lock_, kUnit, __LINE__);
  return stop_.load();
}

int JThread::Wait(uint32_t timeout_ms) {
  if (platform::ThreadWait(handle_, timeout_ms) == platform::WaitResult::kFailed) return 0;
  platform::ThreadClose(handle_);
  Unregister();
  handle_ = platform::kNoThread;
  thread_id_ = 0;
  return 1;
}

void JThread::Unregister() {
  ThreadRegistry& registry = Registry();
  ScopedLock hold(registry.lock, kUnit, __LINE__);
  for (int row = 1; row <= registry.table.RowCount(); ++row) {
    if (registry.table.GetSuperLong(row, kHandleColumn) == static_cast<int64_t>(handle_)) {
      registry.table.DeleteRow(row);
      return;
    }
  }
}

int JThread::GetPriority() const {
  return platform::ThreadGetPriority(handle_);
}

int JThread::SetPriority(int priority) {
  return platform::ThreadSetPriority(handle_, priority) ? 1 : 0;
}

uint32_t JThread::Suspend() {
  return platform::ThreadSuspend(handle_);
}

uint32_t JThread::Resume() {
  return platform::ThreadResume(handle_);
}

uint64_t JThread::CurrentThreadId() {
  return platform::CurrentThreadId();
}

void JThread::Sleep(uint32_t ms) {
  platform::SleepMs(ms);
}

JThread* JThread::FindCurrent() {
  int64_t me = static_cast<int64_t>(platform::CurrentThreadId());
  ThreadRegistry& registry = Registry();
  ScopedLock hold(registry.lock, kUnit, __LINE__);
  for (int row = 1; row <= registry.table.RowCount(); ++row) {
    if (registry.table.GetSuperLong(row, kIdColumn) == me) {
      return reinterpret_cast<JThread*>(registry.table.GetSuperLong(row, kObjectColumn));
    }
  }
  return nullptr;
}

std::vector<uint64_t> JThread::RegisteredThreadIds() {
  ThreadRegistry& registry = Registry();
  ScopedLock hold(registry.lock, kUnit, __LINE__);
  std::vector<uint64_t> ids;
  for (int row = 1; row <= registry.table.RowCount(); ++row) {
    ids.push_back(static_cast<uint64_t>(registry.table.GetSuperLong(row, kIdColumn)));
  }
  return ids;
}
