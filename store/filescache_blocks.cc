// Blocks of the files cache (contract and lock order in filescache.h): block access with
// loading and eviction, read-in and write-back, reads and writes by id, and the flushes.
#include <algorithm>
#include <bit>
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
// Blocks a read's miss may read in after the one it needs: the rest of a 64 KiB read.
constexpr int64_t kMaxReadAhead = 16;

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

// Marks bytes [from, to) of a block in its written bits.
void MarkBytes(uint64_t* bits, int32_t from, int32_t to) {
  if (from >= to) return;
  int32_t first = from / 64;
  int32_t last = (to - 1) / 64;
  uint64_t head = ~uint64_t{0} << (from % 64);
  uint64_t tail = ~uint64_t{0} >> (63 - (to - 1) % 64);
  if (first == last) {
    bits[first] |= head & tail;
    return;
  }
  // The words in between are set whole: a block written whole is 64 stores, not 64 updates.
  bits[first] |= head;
  std::fill(bits + first + 1, bits + last, ~uint64_t{0});
  bits[last] |= tail;
}

bool IsMarked(const uint64_t* bits, int32_t at) {
  return (bits[at / 64] >> (at % 64) & 1) != 0;
}

// The first byte at or after `from` whose bit is `marked`; `size` when there is none below it.
int32_t FindByte(const uint64_t* bits, int32_t size, int32_t from, bool marked) {
  while (from < size) {
    uint64_t word = marked ? bits[from / 64] : ~bits[from / 64];
    word &= ~uint64_t{0} << (from % 64);
    if (word != 0) return std::min(size, from / 64 * 64 + std::countr_zero(word));
    from = (from / 64 + 1) * 64;
  }
  return size;
}

// The first stretch [*begin, *end) of marked bytes at or after `from`; false when none.
bool NextStretch(const uint64_t* bits, int32_t size, int32_t from, int32_t* begin, int32_t* end) {
  *begin = FindByte(bits, size, from, true);
  if (*begin >= size) return false;
  *end = FindByte(bits, size, *begin, false);
  return true;
}

// Gathers stretches of bytes bound for one file, in ascending order, and writes each run of
// adjoining ones with one gathered OS write, from where the bytes lie. A write past the end
// leaves the gap before its offset reading as zeros, as if zeros had been appended up to it,
// without writing them.
class StretchWriter {
 public:
  StretchWriter(BaseFile& file, std::vector<platform::FilePiece>* pieces)
      : file_(file), pieces_(*pieces) {
    pieces_.clear();
  }

  bool Add(int64_t offset, const uint8_t* bytes, int64_t size) {
    if (!pieces_.empty() && offset != offset_ + size_ && !Finish()) return false;
    if (pieces_.empty()) {
      offset_ = offset;
      size_ = 0;
    }
    pieces_.push_back({bytes, size});
    size_ += size;
    return true;
  }

  // Writes what is gathered; false when the OS refused it.
  bool Finish() {
    if (pieces_.empty()) return true;
    bool written = file_.WriteGathered(offset_, pieces_.data(), static_cast<int>(pieces_.size()));
    pieces_.clear();
    return written;
  }

 private:
  BaseFile& file_;
  std::vector<platform::FilePiece>& pieces_;
  int64_t offset_ = 0;
  int64_t size_ = 0;
};

}  // namespace

// ---- Block access ----

FilesCache::Partition& FilesCache::PartitionOf(int64_t id, int64_t number) {
  uint64_t mixed = (static_cast<uint64_t>(id) << 16) + static_cast<uint64_t>(number);
  return partitions_[mixed % static_cast<uint64_t>(partition_count_)];
}

FilesCache::CacheBlock* FilesCache::LockBlock(int64_t id, int64_t number, Fill fill, Epoch* epoch,
                                              int64_t ahead) {
  BlockKey key(id, number);
  block_locks_.Lock(key.bytes, BlockLockTable::kKeyLength, kUnit, __LINE__);
  CacheBlock* block = Cached(id, number);
  if (block == nullptr) {
    block = Load(id, number, fill, epoch, ahead);
  } else {
    switch (Current(*block)) {
      case Staleness::kCurrent:
        break;
      case Staleness::kChanged:
        block = Refresh(block, fill, epoch);
        break;
      case Staleness::kReplaced:
        block = Renew(block, fill, epoch);
        break;
    }
  }
  if (block != nullptr) Touch(*block);
  return block;
}

FilesCache::CacheBlock* FilesCache::Cached(int64_t id, int64_t number) {
  Partition& partition = PartitionOf(id, number);
  ScopedLock hold(partition.lock, kUnit, __LINE__);
  return FindIn(partition.blocks, id, number);
}

void FilesCache::Touch(CacheBlock& block) {
  block.last_use.store(tick_.fetch_add(1, std::memory_order_relaxed), std::memory_order_relaxed);
}

void FilesCache::UnlockBlock(const CacheBlock& block) {
  BlockKey key(block.file_id, block.number);
  block_locks_.Unlock(key.bytes, BlockLockTable::kKeyLength);
}

// A descriptor for (id, number), filled and put into its partition. Nobody else can look for
// this key meanwhile: the caller holds it. When the block cannot be read in, the descriptor
// goes back to the free list and the key is let go. A read also reads in the uncached blocks
// right after it that it can have at once (ClaimAhead), which go into the cache unlocked: a
// 64 KiB read of an uncached file opens it once, not sixteen times.
FilesCache::CacheBlock* FilesCache::Load(int64_t id, int64_t number, Fill fill, Epoch* epoch,
                                         int64_t ahead) {
  CacheBlock* run[kMaxReadAhead + 1];
  run[0] = NewDescriptor(id, number, true);
  int count = 1;
  if (fill == Fill::kLoad) count += ClaimAhead(id, number, std::min(ahead, kMaxReadAhead), run + 1);
  int filled = fill == Fill::kLoad ? LoadRun(run, count) : FillBlock(run[0], fill, epoch) ? 1 : 0;
  for (int i = filled; i < count; ++i) {
    UnlockBlock(*run[i]);  // while the descriptor still names its key
    GiveBack(run[i]);
  }
  for (int i = 1; i < filled; ++i) {
    Touch(*run[i]);
    Insert(run[i]);
    UnlockBlock(*run[i]);
  }
  if (filled == 0) return nullptr;
  Insert(run[0]);
  return run[0];
}

// A free descriptor for (id, number), evicting a block when none is free; without `wait`,
// null when that would mean waiting.
FilesCache::CacheBlock* FilesCache::NewDescriptor(int64_t id, int64_t number, bool wait) {
  CacheBlock* block = TakeFree();
  if (block == nullptr) block = Reclaim(wait);
  if (block == nullptr) return nullptr;
  block->file_id = id;
  block->number = number;
  return block;
}

// Keys and descriptors of up to `ahead` blocks after (id, number) that are not cached, in
// order, into `out`; how many. It never waits, so that a thread holding several keys cannot
// meet another that waits for one of them: the run ends at a busy key, at a cached block, and
// when no descriptor is free or evictable at once.
int FilesCache::ClaimAhead(int64_t id, int64_t number, int64_t ahead, CacheBlock** out) {
  int count = 0;
  while (count < ahead) {
    int64_t next = number + 1 + count;
    BlockKey key(id, next);
    if (!block_locks_.TryLock(key.bytes, BlockLockTable::kKeyLength, kUnit, __LINE__)) break;
    CacheBlock* block = Cached(id, next) != nullptr ? nullptr : NewDescriptor(id, next, false);
    if (block == nullptr) {
      block_locks_.Unlock(key.bytes, BlockLockTable::kKeyLength);
      break;
    }
    out[count++] = block;
  }
  return count;
}

// Puts a filled block whose key the caller holds into its partition.
void FilesCache::Insert(CacheBlock* block) {
  Partition& partition = PartitionOf(block->file_id, block->number);
  ScopedLock hold(partition.lock, kUnit, __LINE__);
  size_t at = LowerBound(partition.blocks, block->file_id, block->number);
  partition.blocks.insert(partition.blocks.begin() + static_cast<ptrdiff_t>(at), block);
}

// The block's bytes as the current generation of its file holds them: read in from the OS
// file, or none for a block the caller is about to overwrite whole (of the generation in
// `epoch`, read now if the caller has not yet). False when they cannot be read in.
bool FilesCache::FillBlock(CacheBlock* block, Fill fill, Epoch* epoch) {
  if (fill == Fill::kLoad) return LoadRun(&block, 1) == 1;
  if (!epoch->known) *epoch = EpochOf(block->file_id);
  Reset(block, *epoch, 0);
  return true;
}

// Reads consecutive blocks of one file (their keys held) in from the OS file: how many now
// hold what the file has there, none after one that came back short; 0 when the first
// cannot be read in.
int FilesCache::LoadRun(CacheBlock* const* run, int count) {
  uint8_t* data[kMaxReadAhead + 1];
  int32_t got[kMaxReadAhead + 1];
  for (int i = 0; i < count; ++i) data[i] = run[i]->data;
  Epoch filled;
  int read = ReadIn(run[0]->file_id, run[0]->number, data, got, count, &filled);
  for (int i = 0; i < read; ++i) {
    Reset(run[i], filled, got[i]);
    std::memset(run[i]->data + got[i], 0, static_cast<size_t>(block_size_ - got[i]));
  }
  return std::max(read, 0);
}

// A clean descriptor for `valid` bytes of its file's generation in `filled`.
void FilesCache::Reset(CacheBlock* block, const Epoch& filled, int32_t valid) {
  block->dirty.store(false, std::memory_order_relaxed);
  std::memset(block->written, 0, static_cast<size_t>(written_words_) * sizeof(uint64_t));
  block->valid = valid;
  block->generation = filled.generation;
  block->version = filled.version;
  block->checked = filled.checked;
}

// Whether the block's bytes belong to its file's current generation and version. Without a
// look at the record while no file has been found replaced or changed since the block was
// last checked.
FilesCache::Staleness FilesCache::Current(CacheBlock& block) {
  if (block.checked == file_changes_.load(std::memory_order_acquire)) return Staleness::kCurrent;
  Epoch now = EpochOf(block.file_id);
  if (now.generation != block.generation) return Staleness::kReplaced;
  if (now.version != block.version) return Staleness::kChanged;
  block.checked = now.checked;
  return Staleness::kCurrent;
}

// A block of its file as it was before another changed it: the bytes that no write of ours
// changed are read in again, the written ones stay for their write-back. A block the caller
// overwrites whole, or a clean one, is simply filled again; one that cannot be read in (or
// whose file was replaced meanwhile) goes as Renew lets it.
FilesCache::CacheBlock* FilesCache::Refresh(CacheBlock* block, Fill fill, Epoch* epoch) {
  if (fill == Fill::kOverwrite || !block->dirty.load(std::memory_order_relaxed)) {
    if (FillBlock(block, fill, epoch)) return block;
    Discard(*block);
    return nullptr;
  }
  std::vector<uint8_t> disk(static_cast<size_t>(block_size_));
  uint8_t* into = disk.data();
  int32_t got = 0;
  Epoch filled;
  if (ReadIn(block->file_id, block->number, &into, &got, 1, &filled) < 1 ||
      filled.generation != block->generation) {
    return Renew(block, fill, epoch);
  }
  int32_t valid = got;
  for (int32_t at = 0; at < block_size_; ++at) {
    if (IsMarked(block->written, at)) {
      valid = std::max(valid, at + 1);
    } else {
      block->data[at] = at < got ? disk[static_cast<size_t>(at)] : 0;
    }
  }
  block->valid = valid;
  block->version = filled.version;
  block->checked = filled.checked;
  return block;
}

// A block of an older generation of its file holds another file's bytes: bytes written into
// it are lost (the next flush of the file says so), and it is filled again, or leaves the
// cache (its key let go) when it cannot be.
FilesCache::CacheBlock* FilesCache::Renew(CacheBlock* block, Fill fill, Epoch* epoch) {
  if (block->dirty.load(std::memory_order_relaxed)) {
    MarkClean(*block);
    NoteLostWrite(block->file_id);
  }
  if (FillBlock(block, fill, epoch)) return block;
  Discard(*block);
  return nullptr;
}

// Its written bytes reached the file or are given up; the caller holds the block's key.
void FilesCache::MarkClean(CacheBlock& block) {
  std::memset(block.written, 0, static_cast<size_t>(written_words_) * sizeof(uint64_t));
  block.dirty.store(false, std::memory_order_release);
  ForgetDirty(block);
}

FilesCache::CacheBlock* FilesCache::TakeFree() {
  ScopedLock hold(free_lock_, kUnit, __LINE__);
  return free_count_ > 0 ? free_[--free_count_] : nullptr;
}

void FilesCache::GiveBack(CacheBlock* block) {
  ScopedLock hold(free_lock_, kUnit, __LINE__);
  free_[free_count_++] = block;
}

// Evicts a block: written back while it still stands in its partition (so a flush that
// meets it waits for its key), then taken out and its key released.
FilesCache::CacheBlock* FilesCache::Reclaim(bool wait) {
  CacheBlock* victim = wait ? ChooseVictim() : TryChooseVictim();
  if (victim == nullptr) return nullptr;
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
  GiveBack(&block);
}

// The least recently used of up to kEvictionScan + 1 blocks after the cursor, with its key
// try-locked: a busy block is marked as just used and the next round looks further.
FilesCache::CacheBlock* FilesCache::ChooseVictim() {
  ScopedLock hold(evict_lock_, kUnit, __LINE__);
  for (int64_t misses = 1;; ++misses) {
    Candidate best;
    while (!ScanCandidates(&best)) JThread::Sleep(kNoCandidateWaitMs);
    if (Claim(best)) return best.block;
    Touch(*best.block);
    // Every block busy at once is rare and short (copies, write-backs): let the holders on.
    if (misses % block_count_ == 0) {
      JThread::Sleep(1);
    } else {
      std::this_thread::yield();
    }
  }
}

// One round of ChooseVictim when nobody else is evicting; null when it cannot have a block.
FilesCache::CacheBlock* FilesCache::TryChooseVictim() {
  if (evict_lock_.TryLock(kUnit, __LINE__) == 0) return nullptr;
  Candidate best;
  bool claimed = ScanCandidates(&best) && Claim(best);
  evict_lock_.Unlock();
  return claimed ? best.block : nullptr;
}

// Moves the cursor over up to kEvictionScan + 1 blocks of the partitions (fewer when it comes
// round to the first again) and answers the least recently used of them. Each partition's
// lock is taken once per visit, not once per block: an eviction scans a hundred blocks. False
// after block-count steps without a block (every block is being loaded).
bool FilesCache::ScanCandidates(Candidate* best) {
  int32_t p = cursor_partition_;
  size_t position = cursor_position_;
  CacheBlock* first = nullptr;
  int seen = 0;
  partitions_[p].lock.Lock(kUnit, __LINE__);
  for (int32_t step = 0; step < block_count_ && seen <= kEvictionScan; ++step) {
    ++position;
    if (position >= partitions_[p].blocks.size()) {
      partitions_[p].lock.Unlock();
      p = (p + 1) % partition_count_;
      position = 0;
      partitions_[p].lock.Lock(kUnit, __LINE__);
    }
    if (position >= partitions_[p].blocks.size()) continue;
    CacheBlock* block = partitions_[p].blocks[position];
    if (block == first) break;  // the scan has come round
    Candidate next{block, block->file_id, block->number,
                   block->last_use.load(std::memory_order_relaxed)};
    if (first == nullptr || next.last_use < best->last_use) *best = next;
    if (first == nullptr) first = block;
    ++seen;
  }
  partitions_[p].lock.Unlock();
  cursor_partition_ = p;
  cursor_position_ = position;
  return first != nullptr;
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

// Reads `count` consecutive blocks of file `id` from block `number` on, each into its buffer
// in `data`, under one open: `got` gets each block's bytes, short at the file's end, 0 for a
// file not on disk yet. How many blocks were read (none after a short one); -1 when the first
// cannot be (the file is gone or cannot be opened or read). `epoch` gets the generation the
// bytes belong to.
int FilesCache::ReadIn(int64_t id, int64_t number, uint8_t* const* data, int32_t* got, int count,
                       Epoch* epoch) {
  OpenHandle* handle = Acquire(id, kForReading, epoch);
  if (handle == nullptr) {
    got[0] = 0;
    return epoch->known ? 1 : -1;
  }
  int read = 0;
  int64_t offset = number * block_size_;
  if (handle->file.Seek(offset, BaseFile::kBegin) == offset) {
    while (read < count) {
      int64_t n = handle->file.Read(data[read], block_size_);
      if (n < 0) break;
      got[read++] = static_cast<int32_t>(n);
      if (n < block_size_) break;
    }
  }
  Release(handle);
  return read > 0 ? read : -1;
}

// Writes a dirty block's written bytes to its file and marks it clean; a file that is gone or
// cannot be opened drops them (false).
bool FilesCache::WriteBack(CacheBlock& block) {
  OpenHandle* handle = Acquire(block.file_id, kForWriting);
  CacheBlock* blocks[1] = {&block};
  std::vector<platform::FilePiece> pieces;
  bool written = handle != nullptr && WriteWritten(*handle, blocks, 1, &pieces);
  if (handle != nullptr) Release(handle);
  MarkClean(block);
  if (!written) NoteLostWrite(block.file_id);
  return written;
}

// The written bytes of consecutive blocks of the handle's file, each run of them that goes on
// without a gap (across blocks too) in one OS write. False when a write fails, or when a block
// holds an older generation's bytes, which are never written to another file.
bool FilesCache::WriteWritten(OpenHandle& handle, CacheBlock* const* blocks, int count,
                              std::vector<platform::FilePiece>* pieces) {
  platform::FileStamp before;
  bool stamped = shared_ && handle.file.GetStamp(&before);
  if (stamped) NoteStamp(handle.id, before, false);  // another's change up to now counts
  StretchWriter writer(handle.file, pieces);
  bool current = true;
  int64_t end = 0;
  for (int i = 0; i < count; ++i) {
    const CacheBlock& block = *blocks[i];
    if (block.generation != handle.generation) {
      current = false;
      continue;
    }
    int64_t base = block.number * block_size_;
    int32_t begin = 0;
    int32_t stretch_end = 0;
    while (NextStretch(block.written, block_size_, stretch_end, &begin, &stretch_end)) {
      if (!writer.Add(base + begin, block.data + begin, stretch_end - begin)) return false;
      end = base + stretch_end;
    }
  }
  bool written = writer.Finish() && current;
  platform::FileStamp after;
  if (stamped && handle.file.GetStamp(&after)) {
    // Ours when the size is what this write explains; a size nobody here wrote is another's.
    bool ours = after.id == before.id && after.size == std::max(before.size, end);
    NoteStamp(handle.id, after, ours);
  }
  return written;
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
    int64_t ahead = (offset + (length - done) - 1) / block_size_ - number;
    CacheBlock* block = LockBlock(id, number, Fill::kLoad, nullptr, ahead);
    if (block == nullptr) break;
    int32_t n = std::clamp(VisibleBytes(*block, id, &known_length) - in_block, 0, length - done);
    std::memcpy(out + done, block->data + in_block, static_cast<size_t>(n));
    UnlockBlock(*block);
    if (n == 0) break;
    done += n;
    offset += n;
  }
  return done;
}

bool FilesCache::PinById(int64_t id, int64_t offset, int32_t length, Pinned* pinned) {
  FATAL_CHECK(open_);
  *pinned = Pinned();
  if (id <= 0 || offset < 0 || length <= 0 || offset > INT64_MAX - length) return false;
  // Known before the first key is taken: a write that lengthens the file meanwhile may or may
  // not be seen, as with a read that comes just before it.
  int64_t known_length = LengthById(id);
  if (offset >= known_length) return false;
  length = static_cast<int32_t>(std::min<int64_t>(length, known_length - offset));
  pinned->id = id;
  pinned->first = offset / block_size_;
  if ((offset + length - 1) / block_size_ - pinned->first >= Pinned::kMost) return false;
  while (pinned->total < length) {
    int32_t in_block = static_cast<int32_t>(offset % block_size_);
    CacheBlock* block = PinBlock(id, offset / block_size_, pinned->count == 0);
    if (block == nullptr) {
      Unpin(pinned);
      return false;
    }
    int32_t visible = VisibleBytes(*block, id, &known_length);
    int32_t n = std::clamp(visible - in_block, 0, length - pinned->total);
    if (n == 0) {
      UnlockBlock(*block);
      break;
    }
    pinned->bytes[pinned->count] = block->data + in_block;
    pinned->lengths[pinned->count++] = n;
    pinned->total += n;
    offset += n;
    if (visible < block_size_) break;  // the file ends in this block
  }
  return pinned->count > 0;
}

// The block when it is cached and holds its file's current bytes, its key held; null (nothing
// held) otherwise. Only the first block of a pinned range waits for its key: a thread that
// holds keys never waits for another.
FilesCache::CacheBlock* FilesCache::PinBlock(int64_t id, int64_t number, bool wait) {
  BlockKey key(id, number);
  if (wait) {
    block_locks_.Lock(key.bytes, BlockLockTable::kKeyLength, kUnit, __LINE__);
  } else if (!block_locks_.TryLock(key.bytes, BlockLockTable::kKeyLength, kUnit, __LINE__)) {
    return nullptr;
  }
  CacheBlock* block = Cached(id, number);
  if (block == nullptr || Current(*block) != Staleness::kCurrent) {
    block_locks_.Unlock(key.bytes, BlockLockTable::kKeyLength);
    return nullptr;
  }
  Touch(*block);
  return block;
}

void FilesCache::Unpin(Pinned* pinned) {
  for (int i = 0; i < pinned->count; ++i) {
    BlockKey key(pinned->id, pinned->first + i);
    block_locks_.Unlock(key.bytes, BlockLockTable::kKeyLength);
  }
  *pinned = Pinned();
}

int32_t FilesCache::WriteById(int64_t id, int64_t offset, const void* buffer, int32_t length) {
  FATAL_CHECK(open_);
  FATAL_CHECK(buffer != nullptr || length <= 0);
  if (id <= 0 || offset < 0 || length <= 0 || offset > INT64_MAX - length) return 0;
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  int64_t end = offset + length;
  bool grew = false;  // no block grew: the write ends inside data the file already has
  Epoch epoch;        // the file's generation, for blocks written whole
  int32_t done = 0;
  while (done < length) {
    int64_t number = offset / block_size_;
    int32_t in_block = static_cast<int32_t>(offset % block_size_);
    int32_t n = std::min(block_size_ - in_block, length - done);
    Fill fill = n == block_size_ ? Fill::kOverwrite : Fill::kLoad;
    CacheBlock* block = LockBlock(id, number, fill, &epoch, 0);
    if (block == nullptr) break;
    // Bytes between the valid size and in_block are zero already: they become the gap.
    std::memcpy(block->data + in_block, in + done, static_cast<size_t>(n));
    MarkBytes(block->written, in_block, in_block + n);
    block->dirty.store(true, std::memory_order_relaxed);
    {
      ScopedLock hold(dirty_lock_, kUnit, __LINE__);
      dirty_[id][number / 64] |= uint64_t{1} << (number % 64);
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
    for (const auto& [word, bits] : found->second) {
      for (uint64_t left = bits; left != 0; left &= left - 1) {
        run->pending.emplace_back(run->only_id, word * 64 + std::countr_zero(left));
      }
    }
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
  auto word = found->second.find(block.number / 64);
  if (word == found->second.end()) return;
  word->second &= ~(uint64_t{1} << (block.number % 64));
  if (word->second == 0) found->second.erase(word);
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
    MarkClean(*blocks[i]);
    if (written) {
      UnlockBlock(*blocks[i]);
    } else {
      Discard(*blocks[i]);
    }
  }
  return next;
}

// Takes the keys of the run at pending[*next]: that block and the ones right after it in the
// same file, while the written bytes of each one before reach its end. The first key is waited for
// when busy (a flush must not skip data written before it was called), but only after the run's
// handle is let go: holding a file's id lock while waiting for a block key would invert the
// evictor's order. The others are only try-locked, so a busy one ends the run. The blocks whose
// keys are held, in order; *next moves past the pending entries dealt with.
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
  while (count < room && IsMarked(blocks[count - 1]->written, block_size_ - 1) &&
         *next < run->pending.size() && run->pending[*next] == std::pair(id, number + count)) {
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
  CacheBlock* block = Cached(id, number);
  return block != nullptr && block->dirty.load(std::memory_order_relaxed) ? block : nullptr;
}

// The written bytes of consecutive blocks of one file, in as few OS writes as they allow.
bool FilesCache::WriteRun(FlushRun* run, CacheBlock* const* blocks, int count) {
  int64_t id = blocks[0]->file_id;
  run->written += count;
  UseHandle(run, id);
  if (run->handle == nullptr) return false;
  if (run->only_id == 0 && (run->files.empty() || run->files.back() != id)) {
    run->files.push_back(id);
  }
  return WriteWritten(*run->handle, blocks, count, &run->pieces);
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

// Makes what reached the OS file durable. The file's id lock is let go while the OS flushes
// (milliseconds), so that other writers of the file write back and flush meanwhile, through
// this same handle. A flush makes durable every write that reached the file before it: a
// writer whose blocks another's write-back took needs only its own flush to come after that
// write-back, which marks the blocks clean once they are written.
bool FilesCache::SyncFile(FlushRun* run, int64_t id) {
  UseHandle(run, id);
  OpenHandle* handle = run->handle;
  if (handle == nullptr) return false;
  StartFlush(handle);
  DropHandle(run);  // the id lock goes; the handle stays open for this flush
  bool synced = handle->file.FlushShared();
  EndFlush(handle);
  return synced;
}
