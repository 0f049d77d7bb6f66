// Named locks without a lock object per possible name (unit "dylock"). The files cache locks
// paths, file ids and (file id, block number) keys with it: the lock of a key exists only
// while some thread holds it or waits for it.
//
// Layout: a prime number of buckets; each bucket has a short-lived bucket lock, a list of
// active entries and a stack of free entries kept for reuse (at most kMaxFreeEntries). An
// entry carries the key bytes, the entry lock and a reference count: the holder plus the
// threads waiting for it.
//
// Invariants:
//  1. Every active entry has a reference count of at least 1; a free entry has 0 and its
//     entry lock is free.
//  2. Within a bucket no two active entries have equal keys (same length, Compare 0).
//  3. A thread takes an entry lock only after counting itself in the entry's reference count
//     under the bucket lock, so an entry cannot be recycled under a waiter.
//  4. The bucket lock is held only for list work, never while waiting for an entry lock.
//
// Threads: any thread may lock any key; Lock and Unlock of a key pair up on one thread.
// Locking a key again on the thread that holds it is a contract violation (the entry lock
// is a critical section that must not be entered twice) and ends the process; so is a key
// longer than kMaxKeyLength, and destroying the table while a key is held. Unlocking a key
// that nobody holds prints the internal-error notice and answers false.
//
// Steady locking does not allocate: entries come back through the per-bucket free stacks.
#pragma once

#include <cstdint>

class CCriticalSection;

// The largest prime not above n (n >= 3). Even numbers are never taken, so 3 is the
// smallest answer. The files cache sizes its partitions by the same rule.
int LargestPrimeAtMost(int n);

class DynamicLockTable {
 public:
  static constexpr int kMaxKeyLength = 300;
  static constexpr int kMaxFreeEntries = 100;

  // Bucket count: the largest prime not above requested_size (1000 gives 997, 10000 gives
  // 9973); requested_size must be at least 3. lock_arg is the trace flag of every bucket and
  // entry lock.
  DynamicLockTable(int requested_size, int lock_arg);
  virtual ~DynamicLockTable();
  DynamicLockTable(const DynamicLockTable&) = delete;
  DynamicLockTable& operator=(const DynamicLockTable&) = delete;

  // Waits until the calling thread holds the key; always true. `file` and `line` name the
  // caller for the entry lock.
  bool Lock(const void* key, int length, const char* file, int line);
  // Takes the key only when no other thread holds it; never waits for a holder.
  bool TryLock(const void* key, int length, const char* file, int line);
  // Releases the key held by the calling thread; false when the key is not locked.
  bool Unlock(const void* key, int length);

  int bucket_count() const { return bucket_count_; }

  // The bucket of a key, in 0 ... bucket_count() - 1. By default: an 8-byte key read as an
  // unsigned little-endian number; any other key cut into 8-byte chunks from its start, each
  // read big-endian (a short last chunk fills the high bytes), summed modulo 2^64.
  virtual int Hash(const void* key, int length) const;
  // 0 when the entry key equals the key; both have `length` bytes.
  virtual int Compare(const void* entry_key, const void* key, int length) const;

 private:
  struct Entry;
  struct Bucket;

  Bucket& BucketOf(const void* key, int length);
  // The active entry of the key, with the link that points at it; null when there is none.
  Entry* FindActive(Bucket& bucket, const void* key, int length, Entry*** link) const;
  // A free or new entry for the key, counted, locked and put on the active list.
  void Activate(Bucket& bucket, const void* key, int length, const char* file, int line);
  void Retire(Bucket& bucket, Entry* entry, Entry** link);

  int bucket_count_;
  int lock_arg_;
  Bucket* buckets_;
};

// Block keys of the files cache: 16 bytes, the file id then the block number, both 64-bit
// little-endian. Any other length is a contract violation.
class BlockLockTable : public DynamicLockTable {
 public:
  static constexpr int kKeyLength = 16;

  BlockLockTable(int requested_size, int lock_arg) : DynamicLockTable(requested_size, lock_arg) {}

  // ((file id << 16) + block number) mod bucket count, in unsigned 64-bit arithmetic.
  int Hash(const void* key, int length) const override;
  // 0 when all 16 bytes are equal, else -1.
  int Compare(const void* entry_key, const void* key, int length) const override;

  // The 16-byte key of a block.
  static void MakeKey(int64_t file_id, int64_t block, uint8_t key[kKeyLength]);
};
