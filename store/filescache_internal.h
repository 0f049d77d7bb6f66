// Private pieces of unit "filescache" shared by its two source files: the block descriptor,
// the partition, the file record, the open handle, the path key and the flush run. Only
// filescache*.cc include this; the contract and the record layout are in filescache.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "foundation/base.h"
#include "platform/file.h"
#include "store/btree.h"
#include "store/cache.h"
#include "store/dylock.h"
#include "store/filescache.h"
#include "store/littleendian.h"

namespace filescache_layout {

// Record offsets in the info index's data.
inline constexpr int kInfoId = 0;
inline constexpr int kInfoPath = 8;
inline constexpr int kInfoCreated = 260;
inline constexpr int kInfoLength = 264;
inline constexpr int kInfoVolume = 272;
inline constexpr int kInfoIndex = 280;
inline constexpr int kInfoIdentified = 288;
inline constexpr int kInfoGeneration = 292;
inline constexpr int kInfoStampSize = 296;
inline constexpr int kInfoStampTime = 304;
inline constexpr int kInfoStamped = 312;
inline constexpr int kInfoVersion = 316;

}  // namespace filescache_layout

struct FilesCache::CacheBlock {
  int32_t index = 0;
  int64_t file_id = 0;  // with `number`: fixed while the block is in a partition
  int64_t number = 0;   // file offset / block size
  int32_t valid = 0;    // bytes of file data from the start; the rest of `data` is zero
  // The tick of the last access. Set under the block key, read by the evictor without it:
  // recency need only be approximate.
  std::atomic<uint64_t> last_use{0};
  uint8_t* data = nullptr;  // the block's fixed slice of the buffer
  // One bit per byte of `data`, set for the bytes that writes changed and that have not been
  // written back: write-back writes these and nothing else. Under the block key.
  uint64_t* written = nullptr;  // the block's fixed slice of the bitmap
  // Set while a bit of `written` is; set and cleared under the block key, read by flushes
  // under the partition lock alone, as a hint of which keys to take.
  std::atomic<bool> dirty{false};
  // The generation of its file whose bytes the block holds (the file record's), and the
  // cache's count of replaced files when that generation was last known to be the file's.
  // Under the block key.
  uint32_t generation = 0;
  uint32_t version = 0;  // the file's version whose bytes it holds, likewise
  uint64_t checked = 0;
};

// A file's generation as one look at its record saw it, with the count of replaced files
// taken just before that look.
struct FilesCache::Epoch {
  bool known = false;
  uint32_t generation = 0;
  uint32_t version = 0;  // the file's version whose bytes it holds, likewise
  uint64_t checked = 0;
};

struct FilesCache::Partition {
  CCriticalSection lock;
  std::vector<CacheBlock*> blocks;  // sorted by (file id, block number)
};

// A block chosen by the evictor's scan, with the key it had when the scan saw it.
struct FilesCache::Candidate {
  CacheBlock* block = nullptr;
  int64_t file_id = 0;
  int64_t number = 0;
  uint64_t last_use = 0;
};

struct FilesCache::OpenHandle {
  int64_t id = 0;
  uint32_t generation = 0;  // the file's while this handle is open (the id lock is held)
  int32_t flushers = 0;     // guarded by handle_lock_: threads flushing it without the id lock
  bool held = false;        // guarded by handle_lock_: the holder of the id lock uses it
  BaseFile file;
};

struct FilesCache::OsfsInfo {
  int64_t id = 0;
  char path[kPathKeySize] = {};
  uint32_t created = 0;
  int64_t length = 0;
  platform::FileId identity;
  uint32_t identified = 0;
  uint32_t generation = 0;
  platform::FileStamp stamp;  // its id is `identity` while `stamped` is set
  uint32_t stamped = 0;
  uint32_t version = 0;

  void Encode(uint8_t* bytes) const {
    using namespace filescache_layout;
    std::memset(bytes, 0, kInfoSize);
    PutI64(bytes + kInfoId, id);
    std::memcpy(bytes + kInfoPath, path, kPathKeySize);
    PutU32(bytes + kInfoCreated, created);
    PutI64(bytes + kInfoLength, length);
    PutU64(bytes + kInfoVolume, identity.volume);
    PutU64(bytes + kInfoIndex, identity.index);
    PutU32(bytes + kInfoIdentified, identified);
    PutU32(bytes + kInfoGeneration, generation);
    PutI64(bytes + kInfoStampSize, stamp.size);
    PutI64(bytes + kInfoStampTime, stamp.write_time);
    PutU32(bytes + kInfoStamped, stamped);
    PutU32(bytes + kInfoVersion, version);
  }
  // Index bytes are outside input: the path is cut at the key size whatever they hold.
  void Decode(const uint8_t* bytes) {
    using namespace filescache_layout;
    id = GetI64(bytes + kInfoId);
    std::memcpy(path, bytes + kInfoPath, kPathKeySize);
    path[kPathKeySize - 1] = '\0';
    created = GetU32(bytes + kInfoCreated);
    length = GetI64(bytes + kInfoLength);
    identity.volume = GetU64(bytes + kInfoVolume);
    identity.index = GetU64(bytes + kInfoIndex);
    identified = GetU32(bytes + kInfoIdentified);
    generation = GetU32(bytes + kInfoGeneration);
    stamp.id = identity;
    stamp.size = GetI64(bytes + kInfoStampSize);
    stamp.write_time = GetI64(bytes + kInfoStampTime);
    stamped = GetU32(bytes + kInfoStamped);
    version = GetU32(bytes + kInfoVersion);
  }
};

// A path as the cache names it (MakeKey): resolved, every '/' turned into '\', NUL-padded to
// the key size. `os_path` is what the cache hands to the OS and keeps in the file's record;
// `text`, the index key and the key of the path's lock (with its NUL), is the same in the
// platform's name key (lower case on Windows). Both have `length` characters.
struct FilesCache::PathKey {
  char text[kPathKeySize];
  char os_path[kPathKeySize];
  int length = 0;

  int lock_length() const { return length + 1; }
};

// One index file: its page cache and the tree over it.
struct FilesCache::IndexFile {
  static constexpr int64_t kPageCacheBytes = 131072;
  static constexpr int64_t kPageSize = 8192;

  IndexFile() : pages(kPageCacheBytes, kPageSize) {}

  CString path;
  PageCacheFile pages;
  std::unique_ptr<BTreeFile> tree;  // built over `pages`, which it does not own
  bool made = false;                // the file exists on disk because Open made it
};

// One pass of write-backs: FlushFile's for one file, FlushAll's for all. The dirty blocks are
// taken in (file id, block number) order, so that consecutive full blocks go to their file
// in one write and the blocks of one file through one open handle.
struct FilesCache::FlushRun {
  // The most one gathered write of a run carries. A run holds the keys of all its blocks while
  // it writes them: 64 keeps other callers' waits for one of them short (and within what a
  // thread sanitizer's lock-order detector follows); more blocks per call made no difference
  // measured against the fsync that follows.
  static constexpr int64_t kMaxRunBytes = 256 * 1024;
  static constexpr int kMaxRunBlocks = 64;

  FlushRun(int64_t only, int max) : only_id(only), limit(max) {}

  bool LimitReached() const { return limit > 0 && written >= limit; }

  int64_t only_id;  // 0: every file
  int limit;        // 0: no limit
  int written = 0;  // blocks written back (or dropped because their file was gone)
  bool ok = true;   // every block written reached its file
  OpenHandle* handle = nullptr;
  int64_t handle_id = 0;  // the id `handle` was acquired for; it is null when that failed
  std::vector<std::pair<int64_t, int64_t>> pending;  // (id, number) seen dirty, sorted
  std::vector<int64_t> files;                        // ids written to, to be made durable
  std::vector<platform::FilePiece> pieces;           // a run's stretches, reused
};

// The 16-byte block-lock key of a block.
struct BlockKey {
  BlockKey(int64_t id, int64_t number) { BlockLockTable::MakeKey(id, number, bytes); }
  uint8_t bytes[BlockLockTable::kKeyLength];
};
