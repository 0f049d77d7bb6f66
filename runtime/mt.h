// Locks: syn_base and CCriticalSection.
//
// Every Lock and TryLock names its caller's source unit and line. Invariants:
//  1. A critical section is free (free count 1) or held (0) by exactly one thread.
//  2. A thread never locks a critical section it already holds: doing so is a contract
//     violation and fires the fatal internal error instead of deadlocking or recursing.
//  3. Only a held critical section may be unlocked.
// Any thread may use a lock; the lock object itself outlives every thread that uses it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "runtime/memobj.h"

class syn_base : public BaseObject {
 public:
  enum Kind { kBase = 0, kCriticalSection = 1, kMutex = 2, kSemaphore = 3 };

  syn_base(Kind kind, int traced) : kind_(kind), traced_(traced) {}

  Kind kind() const { return kind_; }
  int traced() const { return traced_; }

 private:
  Kind kind_;
  int traced_;
};

class CCriticalSection : public syn_base {
 public:
  explicit CCriticalSection(int traced = 0) : syn_base(kCriticalSection, traced) {}
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  int Lock(const char* file, int line);
  // 1 when taken, 0 at once when another thread holds it.
  int TryLock(const char* file, int line);
  int Unlock();

 private:
  void Entered();

  std::mutex mutex_;
  std::atomic<uint64_t> owner_{0};
  int free_count_ = 1;
};

// Holds a critical section for a scope.
class ScopedLock {
 public:
  ScopedLock(CCriticalSection& lock, const char* file, int line) : lock_(lock) {
    lock_.Lock(file, line);
  }
  ~ScopedLock() { lock_.Unlock(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  CCriticalSection& lock_;
};
