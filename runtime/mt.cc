// Critical sections with the owner checks that turn recursive locking and unlocking a free
// lock into the fatal internal error.
#include "runtime/mt.h"

#include "platform/process.h"
#include "runtime/dumpstack.h"

namespace {

constexpr char kUnit[] = "mt";

}  // namespace

int CCriticalSection::Lock(const char* /*file*/, int /*line*/) {
  // A platform mutex would deadlock (POSIX) or recurse (Win32) here; both hide the bug.
  FATAL_CHECK(owner_.load(std::memory_order_relaxed) != platform::CurrentThreadId());
  mutex_.lock();
  Entered();
  return 1;
}

int CCriticalSection::TryLock(const char* /*file*/, int /*line*/) {
  FATAL_CHECK(owner_.load(std::memory_order_relaxed) != platform::CurrentThreadId());
  if (!mutex_.try_lock()) return 0;
  Entered();
  return 1;
}

void CCriticalSection::Entered() {
  owner_.store(platform::CurrentThreadId(), std::memory_order_relaxed);
  --free_count_;
  FATAL_CHECK(free_count_ == 0);
}

int CCriticalSection::Unlock() {
  // Only the holder may unlock: that covers unlocking a free lock (no holder) and keeps the
  // platform mutex from being released by a thread that does not own it.
  FATAL_CHECK(owner_.load(std::memory_order_relaxed) == platform::CurrentThreadId());
  FATAL_CHECK(free_count_ == 0);
  ++free_count_;
  owner_.store(0, std::memory_order_relaxed);
  mutex_.unlock();
  return 1;
}
