// Named locks per key (contract in dylock.h).
#include "store/dylock.h"

#include <cstring>

#include "runtime/dumpstack.h"
#include "runtime/mt.h"
#include "store/heapnew.h"
#include "store/littleendian.h"

namespace {

constexpr char kUnit[] = "dylock";

bool IsOddPrime(int m) {
  for (int d = 3; d <= m / d; d += 2) {
    if (m % d == 0) return false;
  }
  return true;
}

// Chunk `index` of the key read big-endian; a short last chunk fills the high bytes.
uint64_t BigEndianChunk(const uint8_t* key, int length, int index) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) {
    int at = index * 8 + i;
    uint64_t byte = at < length ? key[at] : 0;
    value = value << 8 | byte;
  }
  return value;
}

}  // namespace

int LargestPrimeAtMost(int n) {
  FATAL_CHECK(n >= 3);
  for (int m = n;; --m) {
    if (m % 2 != 0 && IsOddPrime(m)) return m;
  }
}

struct DynamicLockTable::Entry {
  explicit Entry(int lock_arg) : lock(lock_arg) {}

  Entry* next = nullptr;
  int length = 0;
  int refs = 0;  // the holder plus the waiters
  CCriticalSection lock;
  uint8_t key[kMaxKeyLength];
};

struct DynamicLockTable::Bucket {
  explicit Bucket(int lock_arg) : lock(lock_arg) {}

  CCriticalSection lock;
  Entry* active = nullptr;
  Entry* free = nullptr;  // most recently freed first
  int free_count = 0;
};

DynamicLockTable::DynamicLockTable(int requested_size, int lock_arg)
    : bucket_count_(LargestPrimeAtMost(requested_size)), lock_arg_(lock_arg) {
  buckets_ = static_cast<Bucket*>(Heap::Allocate(sizeof(Bucket) * bucket_count_));
  for (int i = 0; i < bucket_count_; ++i) new (&buckets_[i]) Bucket(lock_arg_);
}

DynamicLockTable::~DynamicLockTable() {
  for (int i = 0; i < bucket_count_; ++i) {
    Bucket& bucket = buckets_[i];
    // A held entry lock cannot be destroyed: its holder would unlock freed memory.
    FATAL_CHECK(bucket.active == nullptr);
    while (bucket.free != nullptr) {
      Entry* entry = bucket.free;
      bucket.free = entry->next;
      HeapDelete(entry);
    }
    bucket.~Bucket();
  }
  Heap::Release(buckets_);
}

bool DynamicLockTable::Lock(const void* key, int length, const char* file, int line) {
  Bucket& bucket = BucketOf(key, length);
  bucket.lock.Lock(kUnit, __LINE__);
  Entry* entry = FindActive(bucket, key, length, nullptr);
  if (entry == nullptr) {
    Activate(bucket, key, length, file, line);
    bucket.lock.Unlock();
    return true;
  }
  ++entry->refs;  // counted before the bucket is released: the entry stays ours to wait on
  bucket.lock.Unlock();
  entry->lock.Lock(file, line);
  return true;
}

bool DynamicLockTable::TryLock(const void* key, int length, const char* file, int line) {
  Bucket& bucket = BucketOf(key, length);
  bucket.lock.Lock(kUnit, __LINE__);
  Entry* entry = FindActive(bucket, key, length, nullptr);
  bool taken = true;
  if (entry == nullptr) {
    Activate(bucket, key, length, file, line);
  } else {
    taken = entry->lock.TryLock(file, line) != 0;
    if (taken) ++entry->refs;
  }
  bucket.lock.Unlock();
  return taken;
}

bool DynamicLockTable::Unlock(const void* key, int length) {
  Bucket& bucket = BucketOf(key, length);
  bucket.lock.Lock(kUnit, __LINE__);
  Entry** link = nullptr;
  Entry* entry = FindActive(bucket, key, length, &link);
  if (entry == nullptr) {
    InternalNotice(false, false, kUnit, __LINE__);
    bucket.lock.Unlock();
    return false;
  }
  --entry->refs;
  entry->lock.Unlock();  // the critical section ends the process unless this thread holds it
  if (entry->refs == 0) Retire(bucket, entry, link);
  bucket.lock.Unlock();
  return true;
}

int DynamicLockTable::Hash(const void* key, int length) const {
  const uint8_t* bytes = static_cast<const uint8_t*>(key);
  uint64_t value = 0;
  if (length == 8) {
    value = GetU64(bytes);
  } else {
    for (int chunk = 0; chunk * 8 < length; ++chunk) value += BigEndianChunk(bytes, length, chunk);
  }
  return static_cast<int>(value % static_cast<uint64_t>(bucket_count_));
}

int DynamicLockTable::Compare(const void* entry_key, const void* key, int length) const {
  if (length == 0) return 0;  // the empty key (which may come as a null pointer)
  if (length == 8) return std::memcmp(entry_key, key, 8) == 0 ? 0 : -1;
  return std::memcmp(entry_key, key, static_cast<size_t>(length));
}

DynamicLockTable::Bucket& DynamicLockTable::BucketOf(const void* key, int length) {
  FATAL_CHECK(length >= 0 && length <= kMaxKeyLength);
  FATAL_CHECK(key != nullptr || length == 0);
  int index = Hash(key, length);
  FATAL_CHECK(index >= 0 && index < bucket_count_);
  return buckets_[index];
}

DynamicLockTable::Entry* DynamicLockTable::FindActive(Bucket& bucket, const void* key, int length,
                                                      Entry*** link) const {
  for (Entry** at = &bucket.active; *at != nullptr; at = &(*at)->next) {
    Entry* entry = *at;
    if (entry->length != length || Compare(entry->key, key, length) != 0) continue;
    FATAL_CHECK(entry->refs >= 1);
    if (link != nullptr) *link = at;
    return entry;
  }
  return nullptr;
}

void DynamicLockTable::Activate(Bucket& bucket, const void* key, int length, const char* file,
                                int line) {
  Entry* entry = bucket.free;
  if (entry != nullptr) {
    bucket.free = entry->next;
    --bucket.free_count;
  } else {
    entry = HeapNew<Entry>(lock_arg_);
  }
  if (length > 0) std::memcpy(entry->key, key, static_cast<size_t>(length));
  entry->length = length;
  entry->refs = 1;
  // Nobody else can know this entry yet, so the try always succeeds; a try (unlike a lock)
  // also adds no bucket-then-entry order, which would mirror Unlock's entry-then-bucket.
  bool taken = entry->lock.TryLock(file, line) != 0;
  FATAL_CHECK(taken);
  entry->next = bucket.active;
  bucket.active = entry;
}

void DynamicLockTable::Retire(Bucket& bucket, Entry* entry, Entry** link) {
  *link = entry->next;
  if (bucket.free_count >= kMaxFreeEntries) {
    HeapDelete(entry);
    return;
  }
  entry->next = bucket.free;
  bucket.free = entry;
  ++bucket.free_count;
}

int BlockLockTable::Hash(const void* key, int length) const {
  FATAL_CHECK(length == kKeyLength);
  const uint8_t* bytes = static_cast<const uint8_t*>(key);
  uint64_t value = (GetU64(bytes) << 16) + GetU64(bytes + 8);
  return static_cast<int>(value % static_cast<uint64_t>(bucket_count()));
}

int BlockLockTable::Compare(const void* entry_key, const void* key, int length) const {
  FATAL_CHECK(length == kKeyLength);
  return std::memcmp(entry_key, key, kKeyLength) == 0 ? 0 : -1;
}

void BlockLockTable::MakeKey(int64_t file_id, int64_t block, uint8_t key[kKeyLength]) {
  PutI64(key, file_id);
  PutI64(key + 8, block);
}
