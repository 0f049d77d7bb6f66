// Blocks of the files cache (contract and lock order in filescache.h): block access with
// loading and eviction, read-in and write-back, reads and writes by id, and the flushes.
#include <algorithm>
#include <climits>
#include <cstring>
#include <thread>
#include <utility>

#include "runtime/dumpstack.h"
#include "runtime/jthread.h"
#include "store/filescache.h"
#include "store/filescache_internal.h"

namespace {

constexpr char kUnit[] = "filescache";

// Candidates one eviction round compares besides its first.
constexpr int kEvictionScan = 100;
// The wait while every block is on its way into the cache and none can be evicted.
constexpr uint32_t kNoCandidateWaitMs = 100;

using BlockId = std::pair<int64_t, int64_t>;  // (file id, block number)

// Where (id, number) is or would go in a sorted block array.
template <class Blocks>
size_t LowerBound(const Blocks& blocks, int64_t id, int64_t number) {
  auto at = std::lower_bound(blocks.begin(), blocks.end(), BlockId(id, number),
                             [](const auto* block, const BlockId& key) {
                               return BlockId(block->file_id, block->number) < key;
                             });
  return static_cast<size_t>(at - blocks.begin());
}

// The block (id, number) of a sorted array, or null.
template <class Blocks>
auto FindIn(const Blocks& blocks, int64_t id, int64_t number) -> typename Blocks::value_type {
  size_t at = LowerBound(blocks, id, number);
  if (at == blocks.size()) return nullptr;
  auto block = blocks[at];
  return block->file_id == id && block->number == number ? block : nullptr;
}

// The first block at or after (*id, *number) in the partition whose dirty hint is set, its
// key stored back; false when there is none.
template <class Partition>
bool NextDirty(Partition& partition, int64_t* id, int64_t* number) {
  ScopedLock hold(partition.lock, kUnit, __LINE__);
  const auto& blocks = partition.blocks;
  for (size_t at = LowerBound(blocks, *id, *number); at < blocks.size(); ++at) {
    const auto* block = blocks[at];
    if (block->dirty.load(std::memory_order_acquire)) {
      *id = block->file_id;
      *number = block->number;
      return true;
    }
  }
  return false;
}

}  // namespace

// ---- Block access ----

FilesCache::Partition& FilesCache::PartitionOf(int64_t id, int64_t number) {
  uint64_t mixed = (static_cast<uint64_t>(id) << 16) + static_cast<uint64_t>(number);
  return partitions_[mixed % static_cast<uint64_t>(partition_count_)];
}

// The block (id, number) with its key held by the caller, loaded on a miss.
FilesCache::CacheBlock* FilesCache::LockBlock(int64_t id, int64_t number, Fill fill) {
  BlockKey key(id, number);
  block_locks_.Lock(key.bytes, BlockLockTable::kKeyLength, kUnit, __LINE__);
  Partition& partition = PartitionOf(id, number);
  CacheBlock* block;
  {
    ScopedLock hold(partition.lock, kUnit, __LINE__);
    block = FindIn(partition.blocks, id, number);
  }
  if (block == nullptr) block = Load(partition, id, number, fill);
  block->last_use.store(tick_.fetch_add(1, std::memory_order_relaxed), std::memory_order_relaxed);
  return block;
}

void FilesCache::UnlockBlock(const CacheBlock& block) {
  BlockKey key(block.file_id, block.number);
  block_locks_.Unlock(key.bytes, BlockLockTable::kKeyLength);
}

// A descriptor for (id, number), filled from the OS file unless the caller is about to
// overwrite all of it, and put into its partition. Nobody else can look for this key
// meanwhile: the caller holds it.
FilesCache::CacheBlock* FilesCache::Load(Partition& partition, int64_t id, int64_t number,
                                         Fill fill) {
  CacheBlock* block = TakeFree();
  if (block == nullptr) block = Reclaim();
  block->file_id = id;
  block->number = number;
  block->dirty.store(false, std::memory_order_relaxed);
  block->valid = 0;
  if (fill == Fill::kLoad) {
    block->valid = ReadIn(id, number, block->data);
    std::memset(block->data + block->valid, 0, static_cast<size_t>(block_size_ - block->valid));
  }
  ScopedLock hold(partition.lock, kUnit, __LINE__);
  size_t at = LowerBound(partition.blocks, id, number);
  partition.blocks.insert(partition.blocks.begin() + static_cast<ptrdiff_t>(at), block);
  return block;
}

FilesCache::CacheBlock* FilesCache::TakeFree() {
  ScopedLock hold(free_lock_, kUnit, __LINE__);
  return free_count_ > 0 ? free_[--free_count_] : nullptr;
}

// Evicts a block: written back while it still stands in its partition (so a flush that
// meets it waits for its key), then taken out and its key released.
FilesCache::CacheBlock* FilesCache::Reclaim() {
  CacheBlock* victim = ChooseVictim();
  if (victim->dirty.load(std::memory_order_relaxed)) WriteBack(*victim);
  TakeOut(*victim);
  return victim;
}

// Takes a block whose key the caller holds out of its partition and lets the key go; the
// descriptor stays the caller's.
void FilesCache::TakeOut(CacheBlock& block) {
  Partition& home = PartitionOf(block.file_id, block.number);
  {
    ScopedLock hold(home.lock, kUnit, __LINE__);
    size_t at = LowerBound(home.blocks, block.file_id, block.number);
    FATAL_CHECK(at < home.blocks.size() && home.blocks[at] == &block);
    home.blocks.erase(home.blocks.begin() + static_cast<ptrdiff_t>(at));
  }
  UnlockBlock(block);
}

// A block whose write-back failed leaves the cache, so that the next access reads what the
// OS file really holds: bytes that never reached the disk are not served, and do not reach
// it later either, along with a neighbour's write into the same block.
void FilesCache::Discard(CacheBlock& block) {
  TakeOut(block);
  ScopedLock hold(free_lock_, kUnit, __LINE__);
  free_[free_count_++] = &block;
}

// The least recently used of up to kEvictionScan + 1 blocks after the cursor, with its key
// try-locked: a busy block is marked as just used and the next round looks further.
FilesCache::CacheBlock* FilesCache::ChooseVictim() {
  ScopedLock hold(evict_lock_, kUnit, __LINE__);
  for (int64_t misses = 1;; ++misses) {
    Candidate first = WaitForCandidate();
    Candidate best = first;
    for (int i = 0; i < kEvictionScan; ++i) {
      Candidate next = WaitForCandidate();
      if (next.block == first.block) break;  // the scan has come round
      if (next.last_use < best.last_use) best = next;
    }
    if (Claim(best)) return best.block;
    best.block->last_use.store(tick_.fetch_add(1, std::memory_order_relaxed),
                               std::memory_order_relaxed);
    // Every block busy at once is rare and short (copies, write-backs): let the holders on.
    if (misses % block_count_ == 0) {
      JThread::Sleep(1);
    } else {
      std::this_thread::yield();
    }
  }
}

FilesCache::Candidate FilesCache::WaitForCandidate() {
  Candidate candidate;
  while (!NextCandidate(&candidate)) JThread::Sleep(kNoCandidateWaitMs);
  return candidate;
}

// Moves the cursor to the next block of the partitions, taking their locks one at a time;
// false after block-count steps without one (every block is being loaded).
bool FilesCache::NextCandidate(Candidate* candidate) {
  int32_t p = cursor_partition_;
  size_t position = cursor_position_;
  partitions_[p].lock.Lock(kUnit, __LINE__);
  bool found = false;
  for (int32_t step = 0; step < block_count_ && !found; ++step) {
    ++position;
    if (position >= partitions_[p].blocks.size()) {
      partitions_[p].lock.Unlock();
      p = (p + 1) % partition_count_;
      position = 0;
      partitions_[p].lock.Lock(kUnit, __LINE__);
    }
    if (position < partitions_[p].blocks.size()) {
      CacheBlock* block = partitions_[p].blocks[position];
      *candidate = {block, block->file_id, block->number,
                    block->last_use.load(std::memory_order_relaxed)};
      found = true;
    }
  }
  partitions_[p].lock.Unlock();
  cursor_partition_ = p;
  cursor_position_ = position;
  return found;
}

// Takes the candidate's key without waiting and checks that the block still stands under it
// (another eviction may have reused it since the scan). The caller holds only its own key,
// which no block in a partition carries, so the try-lock never meets a key of its own.
bool FilesCache::Claim(const Candidate& candidate) {
  BlockKey key(candidate.file_id, candidate.number);
  if (!block_locks_.TryLock(key.bytes, BlockLockTable::kKeyLength, kUnit, __LINE__)) {
    return false;
  }
  Partition& home = PartitionOf(candidate.file_id, candidate.number);
  bool still_there;
  {
    ScopedLock hold(home.lock, kUnit, __LINE__);
    still_there = FindIn(home.blocks, candidate.file_id, candidate.number) == candidate.block;
  }
  if (!still_there) block_locks_.Unlock(key.bytes, BlockLockTable::kKeyLength);
  return still_there;
}

// ---- OS transfers ----

// Bytes read from the OS file into a block: short at its end, 0 beyond it, for a file not
// on disk yet, or when it cannot be opened.
int32_t FilesCache::ReadIn(int64_t id, int64_t number, uint8_t* data) {
  OpenHandle* handle = Acquire(id, kForReading);
  if (handle == nullptr) return 0;
  int64_t got = 0;
  int64_t offset = number * block_size_;
  if (handle->file.Seek(offset, BaseFile::kBegin) == offset) {
    got = handle->file.Read(data, block_size_);
  }
  Release(handle);
  return static_cast<int32_t>(std::max<int64_t>(got, 0));
}

// Writes a dirty block to its file and clears its dirty flag; a file that is gone or cannot
// be opened drops the data (false).
bool FilesCache::WriteBack(CacheBlock& block) {
  OpenHandle* handle = Acquire(block.file_id, kForWriting);
  bool written =
      handle != nullptr && WriteAt(*handle, block.number * block_size_, block.data, block.valid);
  if (handle != nullptr) Release(handle);
  block.dirty.store(false, std::memory_order_release);
  ForgetDirty(block);
  if (!written) NoteLostWrite(block.file_id);
  return written;
}

// A seek past the end and a write leave the gap before `offset` reading as zeros, as if
// zeros had been appended up to it, without writing them.
bool FilesCache::WriteAt(OpenHandle& handle, int64_t offset, const uint8_t* data, int64_t size) {
  return handle.file.Seek(offset, BaseFile::kBegin) == offset &&
         handle.file.Write(data, size) == size;
}

// ---- Reads and writes ----

// Bytes of file data from the block's start: its valid size, or up to the file's length when
// a write further on left a gap (the block's bytes past its valid size are zero).
int32_t FilesCache::VisibleBytes(const CacheBlock& block, int64_t id, int64_t* known_length) {
  if (block.valid == block_size_) return block.valid;
  if (*known_length < 0) *known_length = LengthById(id);
  int64_t beyond = *known_length - block.number * block_size_;
  return static_cast<int32_t>(std::clamp<int64_t>(beyond, block.valid, block_size_));
}

int32_t FilesCache::ReadById(int64_t id, int64_t offset, void* buffer, int32_t length) {
  FATAL_CHECK(open_);
  FATAL_CHECK(buffer != nullptr || length <= 0);
  if (id <= 0 || offset < 0 || length <= 0 || offset > INT64_MAX - length) return 0;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  int64_t known_length = -1;  // asked for once, when a short block needs it
  int32_t done = 0;
  while (done < length) {
    int64_t number = offset / block_size_;
    int32_t in_block = static_cast<int32_t>(offset % block_size_);
    CacheBlock* block = LockBlock(id, number, Fill::kLoad);
    int32_t n = std::clamp(VisibleBytes(*block, id, &known_length) - in_block, 0, length - done);
    std::memcpy(out + done, block->data + in_block, static_cast<size_t>(n));
    UnlockBlock(*block);
    if (n == 0) break;
    done += n;
    offset += n;
  }
  return done;
}

int32_t FilesCache::WriteById(int64_t id, int64_t offset, const void* buffer, int32_t length) {
  FATAL_CHECK(open_);
  FATAL_CHECK(buffer != nullptr || length <= 0);
  if (id <= 0 || offset < 0 || length <= 0 || offset > INT64_MAX - length) return 0;
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  int64_t end = offset + length;
  bool grew = false;  // no block grew: the write ends inside data the file already has
  int32_t done = 0;
  while (done < length) {
    int64_t number = offset / block_size_;
    int32_t in_block = static_cast<int32_t>(offset % block_size_);
    int32_t n = std::min(block_size_ - in_block, length - done);
    Fill fill = n == block_size_ ? Fill::kOverwrite : Fill::kLoad;
    CacheBlock* block = LockBlock(id, number, fill);
    // Bytes between the valid size and in_block are zero already: they become the gap.
    std::memcpy(block->data + in_block, in + done, static_cast<size_t>(n));
    block->dirty.store(true, std::memory_order_relaxed);
    {
      ScopedLock hold(dirty_lock_, kUnit, __LINE__);
      dirty_[id].insert(number);
    }
    if (in_block + n > block->valid) {
      block->valid = in_block + n;
      grew = true;
    }
    UnlockBlock(*block);
    done += n;
    offset += n;
  }
  if (grew) GrowLength(id, end);
  return done;
}

// ---- Flushes ----

bool FilesCache::FlushFile(int64_t id) {
  FATAL_CHECK(open_);
  if (id <= 0) return false;
  FlushRun run(id, 0);
  WriteBackDirty(&run);
  bool synced = SyncFile(&run, id);
  bool lost = TakeLostWrite(id);
  bool flushed = run.ok && synced && !lost;
  if (!flushed) SettleLength(id);
  return flushed;
}

int FilesCache::FlushAll(int limit) {
  FATAL_CHECK(open_);
  FlushRun run(0, std::max(limit, 0));
  WriteBackDirty(&run);
  DropHandle(&run);
  std::sort(run.files.begin(), run.files.end());
  run.files.erase(std::unique(run.files.begin(), run.files.end()), run.files.end());
  for (int64_t id : run.files) SyncFile(&run, id);
  return run.written;
}

void FilesCache::WriteBackDirty(FlushRun* run) {
  CollectDirty(run);
  size_t next = 0;
  while (next < run->pending.size() && !run->LimitReached()) next = WriteBackRun(run, next);
}

// Notes the blocks whose dirty hint is set (of one file, or of all), in key order. One file's
// come from its dirty book. A block being written back stays in the book until it is clean,
// so a flush that finds it waits for its key, and with it for the write-back.
void FilesCache::CollectDirty(FlushRun* run) {
  if (run->only_id != 0) {
    ScopedLock hold(dirty_lock_, kUnit, __LINE__);
    auto found = dirty_.find(run->only_id);
    if (found == dirty_.end()) return;
    for (int64_t number : found->second) run->pending.emplace_back(run->only_id, number);
    return;
  }
  for (int32_t p = 0; p < partition_count_; ++p) {
    Partition& partition = partitions_[p];
    int64_t id = INT64_MIN;
    int64_t number = INT64_MIN;
    while (NextDirty(partition, &id, &number)) {
      run->pending.emplace_back(id, number);
      ++number;  // block numbers stay below INT64_MAX: offsets do
    }
  }
  std::sort(run->pending.begin(), run->pending.end());
}

// The block went clean: out of its file's dirty book. The caller holds the block's key, as
// every writer does that marks it, so the flag and the book change together.
void FilesCache::ForgetDirty(const CacheBlock& block) {
  ScopedLock hold(dirty_lock_, kUnit, __LINE__);
  auto found = dirty_.find(block.file_id);
  if (found == dirty_.end()) return;
  found->second.erase(block.number);
  if (found->second.empty()) dirty_.erase(found);
}

// Writes back the run of dirty blocks that starts at pending[first]; gives the index of the
// first pending block not dealt with.
size_t FilesCache::WriteBackRun(FlushRun* run, size_t first) {
  CacheBlock* blocks[FlushRun::kMaxRunBlocks];
  size_t next = first;
  int count = LockRun(run, &next, blocks);
  bool written = count == 0 || WriteRun(run, blocks, count);
  if (!written) {
    run->ok = false;
    NoteLostWrite(blocks[0]->file_id);
  }
  for (int i = 0; i < count; ++i) {
    blocks[i]->dirty.store(false, std::memory_order_release);
    ForgetDirty(*blocks[i]);
    if (written) {
      UnlockBlock(*blocks[i]);
    } else {
      Discard(*blocks[i]);
    }
  }
  return next;
}

// Takes the keys of the run at pending[*next]: that block and the ones right after it in the
// same file, while each one before is full. The first key is waited for when busy (a flush
// must not skip data written before it was called), but only after the run's handle is let
// go: holding a file's id lock while waiting for a block key would invert the evictor's
// order. The others are only try-locked, so a busy one ends the run. The blocks whose keys
// are held, in order; *next moves past the pending entries dealt with.
int FilesCache::LockRun(FlushRun* run, size_t* next, CacheBlock** blocks) {
  auto [id, number] = run->pending[(*next)++];
  BlockKey key(id, number);
  if (!block_locks_.TryLock(key.bytes, BlockLockTable::kKeyLength, kUnit, __LINE__)) {
    DropHandle(run);
    block_locks_.Lock(key.bytes, BlockLockTable::kKeyLength, kUnit, __LINE__);
  }
  blocks[0] = DirtyBlock(id, number);
  if (blocks[0] == nullptr) {
    // Gone: an eviction wrote it back before it let the key go. Clean: another flush did.
    block_locks_.Unlock(key.bytes, BlockLockTable::kKeyLength);
    return 0;
  }
  int64_t room = std::min<int64_t>(FlushRun::kMaxRunBytes / block_size_, FlushRun::kMaxRunBlocks);
  if (run->limit > 0) room = std::min<int64_t>(room, run->limit - run->written);
  int count = 1;
  while (count < room && blocks[count - 1]->valid == block_size_ && *next < run->pending.size() &&
         run->pending[*next] == std::pair(id, number + count)) {
    BlockKey following(id, number + count);
    if (!block_locks_.TryLock(following.bytes, BlockLockTable::kKeyLength, kUnit, __LINE__)) {
      break;
    }
    blocks[count] = DirtyBlock(id, number + count);
    if (blocks[count] == nullptr) {
      block_locks_.Unlock(following.bytes, BlockLockTable::kKeyLength);
      break;
    }
    ++count;
    ++*next;
  }
  return count;
}

// The block (id, number) when it is in the cache and dirty; the caller holds its key.
FilesCache::CacheBlock* FilesCache::DirtyBlock(int64_t id, int64_t number) {
  Partition& partition = PartitionOf(id, number);
  ScopedLock hold(partition.lock, kUnit, __LINE__);
  CacheBlock* block = FindIn(partition.blocks, id, number);
  return block != nullptr && block->dirty.load(std::memory_order_relaxed) ? block : nullptr;
}

// One OS write for consecutive blocks of one file, all but the last full.
bool FilesCache::WriteRun(FlushRun* run, CacheBlock* const* blocks, int count) {
  int64_t id = blocks[0]->file_id;
  run->written += count;
  UseHandle(run, id);
  if (run->handle == nullptr) return false;
  int64_t offset = blocks[0]->number * block_size_;
  const uint8_t* data = blocks[0]->data;
  int64_t size = int64_t{count - 1} * block_size_ + blocks[count - 1]->valid;
  if (count > 1) {
    if (!run->staging) {
      run->staging = std::make_unique_for_overwrite<uint8_t[]>(FlushRun::kMaxRunBytes);
    }
    for (int i = 0; i < count; ++i) {
      std::memcpy(run->staging.get() + int64_t{i} * block_size_, blocks[i]->data,
                  static_cast<size_t>(blocks[i]->valid));
    }
    data = run->staging.get();
  }
  if (!WriteAt(*run->handle, offset, data, size)) return false;
  if (run->only_id == 0 && (run->files.empty() || run->files.back() != id)) {
    run->files.push_back(id);
  }
  return true;
}

void FilesCache::UseHandle(FlushRun* run, int64_t id) {
  if (run->handle_id == id) return;
  DropHandle(run);
  run->handle = Acquire(id, kForWriting);
  run->handle_id = id;
}

void FilesCache::DropHandle(FlushRun* run) {
  if (run->handle != nullptr) Release(run->handle);
  run->handle = nullptr;
  run->handle_id = 0;
}

// Makes what reached the OS file durable.
bool FilesCache::SyncFile(FlushRun* run, int64_t id) {
  UseHandle(run, id);
  bool synced = run->handle != nullptr && run->handle->file.Flush() != 0;
  DropHandle(run);
  return synced;
}
