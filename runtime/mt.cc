// Critical sections, mutexes and semaphores, with the owner checks that turn lock misuse into
// the fatal internal error, and the optional tracing of owners and waiters for the lock report.
#include "runtime/mt.h"

#include <algorithm>
#include <cstdio>

#include "platform/process.h"
#include "runtime/dumpstack.h"

namespace {

constexpr char kUnit[] = "mt";
constexpr int kCreationFrames = 10;

// Every traced lock, in the order of construction. Made with the first traced lock and never
// destroyed: locks with static storage may still unregister during exit.
struct Registry {
  CCriticalSection lock;
  std::vector<const syn_base*> locks;
};
std::atomic<Registry*> g_registry{nullptr};

Registry& TheRegistry() {
  static Registry* registry = [] {
    Registry* made = new Registry;
    g_registry.store(made);
    return made;
  }();
  return *registry;
}

const char* KindName(syn_base::Kind kind) {
  switch (kind) {
    case syn_base::kCriticalSection:
      return "CCriticalSection";
    case syn_base::kMutex:
      return "CMutex";
    case syn_base::kSemaphore:
      return "CSemaphore";
    default:
      return "syn_base";
  }
}

}  // namespace

syn_base::syn_base(Kind kind, int traced) : kind_(kind), traced_(traced) {
  if (traced_ == 0) return;
  StackText(&creation_text_, kCreationFrames);
  Registry& registry = TheRegistry();
  ScopedLock hold(registry.lock, kUnit, __LINE__);
  registry.locks.push_back(this);
}

syn_base::~syn_base() {
  if (traced_ == 0) return;
  Registry& registry = TheRegistry();
  ScopedLock hold(registry.lock, kUnit, __LINE__);
  registry.locks.erase(std::find(registry.locks.begin(), registry.locks.end(), this));
}

bool syn_base::RemoveFirstOf(std::vector<Record>* records, uint64_t thread) {
  auto found = std::find_if(records->begin(), records->end(),
                            [thread](const Record& record) { return record.thread == thread; });
  if (found == records->end()) return false;
  records->erase(found);
  return true;
}

void syn_base::AddWaiting(const char* file, int line) {
  std::lock_guard hold(records_lock_);
  waiters_.push_back({platform::CurrentThreadId(), file, line});
}

void syn_base::MoveToOwners(const char* file, int line) {
  uint64_t me = platform::CurrentThreadId();
  std::lock_guard hold(records_lock_);
  RemoveFirstOf(&waiters_, me);
  owners_.push_back({me, file, line});
}

void syn_base::DropWaiting() {
  std::lock_guard hold(records_lock_);
  RemoveFirstOf(&waiters_, platform::CurrentThreadId());
}

void syn_base::DropOwner() {
  std::lock_guard hold(records_lock_);
  RemoveFirstOf(&owners_, platform::CurrentThreadId());
}

void syn_base::AppendReport(CString* text) const {
  std::lock_guard hold(records_lock_);
  *text += "DEFINE:\r\n";
  *text += creation_text_;
  if (!owners_.empty() || !waiters_.empty()) {
    text->AppendFormat("Locked: %s\r\n", KindName(kind_));
    for (const Record& owner : owners_) {
      text->AppendFormat("Owner:Thread:%d,FILE:%s LINE:%d\r\n", static_cast<int>(owner.thread),
                         owner.file.c_str(), owner.line);
    }
    *text += "--\r\n";
    for (const Record& waiter : waiters_) {
      text->AppendFormat("Waitting:Thread:%d,FILE:%s LINE:%d\r\n", static_cast<int>(waiter.thread),
                         waiter.file.c_str(), waiter.line);
    }
  }
  *text += "*************************************************\r\n\r\n";
}

void syn_base::Report(CString* text) {
  text->Empty();
  Registry* registry = g_registry.load();
  if (registry == nullptr) return;
  ScopedLock hold(registry->lock, kUnit, __LINE__);
  text->Format("total:%d\r\n", static_cast<int>(registry->locks.size()));
  for (const syn_base* lock : registry->locks) lock->AppendReport(text);
  *text += "END\r\n";
}

int CCriticalSection::Lock(const char* file, int line) {
  uint64_t me = platform::CurrentThreadId();
  // A platform mutex would deadlock (POSIX) or recurse (Win32) here; both hide the bug.
  FATAL_CHECK(owner_.load(std::memory_order_relaxed) != me);
  // Only a thread that has to wait is recorded as waiting.
  if (!mutex_.try_lock() && !SpinForIt()) {
    TraceWaiting(file, line);
    mutex_.lock();
  }
  Entered(me, file, line);
  return 1;
}

// As a Win32 critical section with a spin count: a holder running on another core mostly
// lets go within a few hundred cycles, while sleeping costs two system calls and a switch of
// threads. The spin reads the owner (no write, so the cache line is not fought over) and
// tries again only when the lock looks free.
bool CCriticalSection::SpinForIt() {
  for (int spin = 0; spin < kSpinCount; ++spin) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
    if (owner_.load(std::memory_order_relaxed) == 0 && mutex_.try_lock()) return true;
  }
  return false;
}

int CCriticalSection::TryLock(const char* file, int line) {
  uint64_t me = platform::CurrentThreadId();
  FATAL_CHECK(owner_.load(std::memory_order_relaxed) != me);
  if (!mutex_.try_lock()) return 0;  // it never waited: no waiting record to keep
  Entered(me, file, line);
  return 1;
}

void CCriticalSection::Entered(uint64_t me, const char* file, int line) {
  TraceEntered(file, line);
  owner_.store(me, std::memory_order_relaxed);
  --free_count_;
  FATAL_CHECK(free_count_ == 0);
}

int CCriticalSection::Unlock() {
  // Only the holder may unlock: that covers unlocking a free lock (no holder) and keeps the
  // platform mutex from being released by a thread that does not own it.
  uint64_t owner = owner_.load(std::memory_order_relaxed);
  uint64_t me = platform::CurrentThreadId();
  if (owner != me) {
    std::printf("not same thread:%d %d\n", static_cast<int>(owner), static_cast<int>(me));
    FATAL_CHECK(false);
  }
  TraceReleased();
  FATAL_CHECK(free_count_ == 0);
  ++free_count_;
  owner_.store(0, std::memory_order_relaxed);
  mutex_.unlock();
  return 1;
}

WaitableLock::WaitableLock(Kind kind, int traced, platform::SyncHandle handle)
    : syn_base(kind, traced), handle_(handle) {
  FATAL_CHECK(handle_ != platform::kNoSync);
}

WaitableLock::~WaitableLock() {
  platform::SyncClose(handle_);
}

int WaitableLock::Wait(const char* file, int line, uint32_t timeout_ms) {
  TraceWaiting(file, line);
  if (platform::SyncWait(handle_, timeout_ms) != platform::WaitResult::kSignaled) {
    TraceGaveUp();
    return 0;
  }
  TraceEntered(file, line);
  return 1;
}

int WaitableLock::Lock(const char* file, int line) {
  return Wait(file, line, platform::kInfinite);
}

int WaitableLock::TryLock(const char* file, int line) {
  return Wait(file, line, 0);
}

int WaitableLock::Unlock() {
  bool released = kind() == kMutex ? platform::MutexRelease(handle_)
                                   : platform::SemaphoreRelease(handle_, 1, nullptr);
  if (!released) return 0;
  TraceReleased();
  return 1;
}

CMutex::CMutex(int traced) : WaitableLock(kMutex, traced, platform::MutexCreate()) {}

namespace {

platform::SyncHandle CheckedSemaphore(int32_t initial, int32_t maximum) {
  FATAL_CHECK(maximum >= 1 && initial >= 0 && initial <= maximum);
  return platform::SemaphoreCreate(initial, maximum);
}

}  // namespace

CSemaphore::CSemaphore(int32_t initial, int32_t maximum, int traced)
    : WaitableLock(kSemaphore, traced, CheckedSemaphore(initial, maximum)) {}
