// Locks: syn_base, CCriticalSection, CMutex and CSemaphore.
//
// Every Lock and TryLock names its caller's source unit and line. A lock constructed traced
// records the threads that own it and those that wait for it, with their file and line, and
// stands in a process-wide registry from which Report builds a text for diagnosing a
// deadlock. Tracing costs allocations and a registry round trip per operation: it is meant
// for diagnosis, and almost every lock of the system is untraced.
//
// Invariants:
//  1. A critical section is free (free count 1) or held (0) by exactly one thread.
//  2. A thread never locks a critical section it already holds: doing so is a contract
//     violation and fires the fatal internal error instead of deadlocking or recursing.
//  3. Only the holder unlocks a critical section; anything else prints
//     "not same thread:<owner> <caller>\n" and fires the fatal internal error.
//  4. A traced lock's waiting records are those of threads blocked in Lock right now: a
//     TryLock that fails takes its record back at once.
//  5. The registry lock is untraced and held only for list updates and the report, never
//     while waiting for another lock.
// Any thread may use a lock; the lock object outlives every thread that uses it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/cstring.h"
#include "platform/sync.h"
#include "runtime/memobj.h"

class syn_base : public BaseObject {
 public:
  enum Kind { kBase = 0, kCriticalSection = 1, kMutex = 2, kSemaphore = 3 };

  syn_base(Kind kind, int traced);
  ~syn_base() override;
  syn_base(const syn_base&) = delete;
  syn_base& operator=(const syn_base&) = delete;

  Kind kind() const { return kind_; }
  int traced() const { return traced_; }

  // The lock report of every traced lock; empty when none was ever made.
  static void Report(CString* text);

 protected:
  // Tracing steps: inline no-ops for an untraced lock, which is almost every lock.
  void TraceWaiting(const char* file, int line) {
    if (traced_ != 0) AddWaiting(file, line);
  }
  void TraceEntered(const char* file, int line) {
    if (traced_ != 0) MoveToOwners(file, line);
  }
  void TraceGaveUp() {
    if (traced_ != 0) DropWaiting();
  }
  void TraceReleased() {
    if (traced_ != 0) DropOwner();
  }

 private:
  struct Record {
    uint64_t thread;
    std::string file;
    int line;
  };
  static bool RemoveFirstOf(std::vector<Record>* records, uint64_t thread);
  void AddWaiting(const char* file, int line);
  void MoveToOwners(const char* file, int line);
  void DropWaiting();
  void DropOwner();
  void AppendReport(CString* text) const;

  Kind kind_;
  int traced_;
  // Each traced lock's records have a lock of their own, so that traced locks of different
  // places never meet on one lock; a report takes the registry lock, then each one's in turn.
  mutable std::mutex records_lock_;
  std::vector<Record> owners_;   // guarded by records_lock_
  std::vector<Record> waiters_;  // guarded by records_lock_
  CString creation_text_;
};

class CCriticalSection : public syn_base {
 public:
  explicit CCriticalSection(int traced = 0) : syn_base(kCriticalSection, traced) {}

  int Lock(const char* file, int line);
  // 1 when taken, 0 at once when another thread holds it.
  int TryLock(const char* file, int line);
  int Unlock();

 private:
  static constexpr int kSpinCount = 100;

  bool SpinForIt();
  void Entered(uint64_t me, const char* file, int line);

  std::mutex mutex_;
  std::atomic<uint64_t> owner_{0};
  int free_count_ = 1;
};

// A lock on a waitable platform object: a mutex (re-entrant for its owner, released only by
// it) or a counting semaphore (released by any thread).
class WaitableLock : public syn_base {
 public:
  ~WaitableLock() override;

  // 1 once the object is taken, 0 when the platform wait fails.
  int Lock(const char* file, int line);
  // 1 when taken at once, else 0.
  int TryLock(const char* file, int line);
  // 1 when released, 0 when the platform refuses.
  int Unlock();

 protected:
  WaitableLock(Kind kind, int traced, platform::SyncHandle handle);

 private:
  int Wait(const char* file, int line, uint32_t timeout_ms);

  platform::SyncHandle handle_;
};

class CMutex : public WaitableLock {
 public:
  explicit CMutex(int traced = 0);
};

class CSemaphore : public WaitableLock {
 public:
  // The maximum must be at least 1 and the initial count between 0 and the maximum.
  CSemaphore(int32_t initial, int32_t maximum, int traced = 0);
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
