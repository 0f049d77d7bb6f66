// FilesCache (unit "filescache"): the block cache between the disk manager and the OS files.
// Every stored file is an ordinary OS file named by its full path. The cache gives each file
// it meets a file id (1, 2, ... for the life of the process, never reused), keeps the
// path-to-id mapping and one record per file in two B+ tree index files in a directory of
// its own, and holds file data in a fixed pool of equal blocks keyed by (file id, block
// number). Reads and writes go through the blocks; the bytes writes changed reach the OS file
// when their block is evicted, when their file is flushed and when the whole cache is flushed.
// OS files are opened for one access and, with a maximum of 0 idle handles, closed again at
// once.
//
// Index files (created empty by Open, removed by the destructor; an id means nothing to
// another run), named join(directory, prefix + name):
//   "osfspath.idx": key 250 bytes, the path's key (below), NUL-padded;
//                   data 8 bytes, the file id, little-endian.
//   "osfsinfo.idx": key 8 bytes, the file id (compared as signed 64-bit); data 320 bytes:
//       OFFSET SIZE DESCRIPTION
//            0    8 file id
//            8  250 path, NUL-terminated: the resolved path the OS file is opened by
//          258    2 padding, zero
//          260    4 created: 1 while the file was registered by a create and has not been
//                   opened on disk yet (the first acquire for writing creates it)
//          264    8 length: the file's length as this cache sees it: -1 (not known yet)
//                   from the lookup that registers an existing file until the first length
//                   question reads the OS file's, 0 for a create; raised by writes
//          272    8 identity, volume \ of the OS file as the last open found it
//          280    8 identity, index  / (platform::FileId), 0 before the first open
//          288    4 identified: 1 once an open has found the identity
//          292    4 generation: how often an open found another file than the last one
//          296    8 stamp, size       \ of the OS file as the cache last saw or left it
//          304    8 stamp, write time / (platform::FileStamp, with the identity above)
//          312    4 stamped: 1 once the stamp is known
//          316    4 version: how often the file was found changed by another (shared files)
//   (the record had 272 bytes before it kept identities; nothing outside this run reads it.)
//
// Paths: a path is resolved (platform::ResolvePath: `.`, `..`, doubled separators, the drive
// letter, the program directory of a relative path, symbolic links) and keyed with '/' turned
// into '\' and in the platform's name key (lower case on Windows), so every spelling of one
// file is one file id. Reads, writes and lengths follow a final symbolic link to its file;
// Remove and Rename work on the entry itself, as the OS calls do. A resolved path must fit the
// key with its NUL (at most 249 characters); a longer one is refused, never cut (error 206),
// so two long paths can never become one file. The empty path, a path ending in a separator
// (error 5) and a path naming a directory give 0 from lookup. A path filter, when one is set,
// is asked about every resolved path before anything else happens to it: a refused path is
// never looked up, opened, removed or renamed (error 5).
//
// The OS files: the cache opens the resolved path exactly (kModeExactPath), so an open never
// reaches another file than the one the path was resolved (and filtered) to, whatever links
// are swapped in meanwhile. Each open checks the file's identity against the record: a file
// replaced behind the cache moves the record to a new generation, whose length is the new
// file's; blocks of an older generation are neither served nor written back (dirty ones count
// as failed write-backs). An open that fails for want of descriptors (error 4) starts an
// episode that the exhaustion hook hears of once; the next open that works ends it. A block
// whose read-in fails is not kept: the read or write that needed it stops short.
//
// Shared files (SetSharedFiles, off by default): other programs, other servers among them,
// may change the files too. Every Lookup of a known path (so every path operation, and every
// call of the disk manager) compares the OS file's stamp (identity, size, last-write time)
// with the record's. A path that names nothing any more was removed or renamed by another: it
// is forgotten, as if Remove had dropped it, and looked up anew. Another identity is a
// replaced file (a new generation, as an open finds it). The same file with another size or
// write time was changed by another: its version moves on and the record takes the OS file's
// length; a cached block of an older version takes the bytes no write of ours changed from
// the OS file again at its next access, its written bytes staying for their write-back. Our
// own write-backs must not look like another's change: each one compares the stamp before it
// (a change by another up to then counts), writes, and records the stamp after it as its own
// when the size is what the write explains; otherwise the change is another's. A change by
// another that lands between our write and that stamp and keeps the size is not seen (the
// write time cannot tell the two writers apart); docs/ARCHITECTURE.md has the rule's limits.
//
// Invariants:
//  1. A block is in at most one partition, the one chosen by ((id << 16) + block number) mod
//     the partition count; each partition's array is sorted by (id, block number), signed,
//     and holds no key twice. A descriptor not in a partition is on the free list or held
//     by the one thread that is loading or reusing it.
//  2. A block's data, valid size, written bits, generation and dirty flag change only under
//     its block key. Bytes of a block beyond its valid size are zero, so a gap that a write
//     left below the file's length reads as zeros before and after write-back. A block is
//     loaded (read in) before any write goes into it, so a read-in never covers written bytes.
//  3. A file's content is its OS file overlaid by the written bytes of its blocks; the record's
//     length is at least the end of every byte written, and bytes below it that are neither in
//     the OS file nor written read as zeros. Write-back writes exactly the written bytes (runs
//     of them, consecutive blocks' together), never bytes a write did not change: a write
//     cannot undo another program's change to the rest of the block, nor another write's.
//     A failed write-back is the exception: its blocks leave the cache unwritten, and the
//     failed flush brings the length down to the OS file's when no block of the file is dirty.
//  4. A block is taken out of its partition only by the thread that holds its key, and a
//     dirty victim leaves only after its write-back: a thread that later gets the key and
//     does not find the block knows its bytes have reached the OS file (or were dropped
//     because their write-back failed).
//  5. At most one OS handle per file id exists: acquire holds the id's lock until release.
//     A flush lets the id lock go while the OS makes the file durable; meanwhile the next
//     acquire of the id shares that handle (a file opened without sharing cannot be opened
//     twice on Windows), and the last of its users to finish closes it or keeps it idle.
//     Remove and Rename, which need the file closed, wait for its flushes to end.
//     A file's generation, version and stamp change only under its id lock, and every move of
//     a generation or a version adds one to the count of file changes afterwards; a block
//     whose `checked` equals that count holds bytes of its file's current generation and
//     version without a look at the record.
//
// Threads: any number of threads may call any operation at once (after Open and the setters,
// before the destructor); the cache starts no threads. Lock order, outer first:
//   path lock -> id lock -> index lock / handle lock (these two are never nested); a rename
//   holds the path locks of both its names, taken in byte order of their keys; a lookup
//   that finds its name in the index (shared files off) takes no path lock at all;
//   block key -> partition lock (short, never held across another wait) -> free-list lock;
//   block key -> eviction lock -> partition locks one at a time and try-locks of the keys
//   of blocks in partitions; block key(s) -> id lock (read-in, write-back) -> index lock,
//   handle lock; id lock -> index lock -> dirty-book lock (a failed flush's length).
// A thread waits for a block key only while it holds no other block key and no id lock.
// Besides its own key it takes others only by try-lock: the evictor those of blocks in the
// partitions (its own key belongs to no block there), a flush those of the next blocks of a
// run, a read those of the uncached blocks after its own (read in along with it; their
// descriptors come from the free list or from an eviction that does not wait, with the
// eviction lock try-locked), a read in place (PinById) those of its range after the first,
// and a flush lets its open handle (the id lock) go before it waits for a busy key.
// So no try-lock meets a key its caller holds (which the lock table treats as fatal).
// Flushes wait for busy blocks instead of skipping them, so that a FlushFile covers every
// write that returned before it was called.
//
// Misuse (an operation before Open, a null buffer with a positive length, a block size or
// block count out of range) ends the process through the fatal internal error. Bad paths and
// offsets from the network are answered with 0 / false.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/base.h"
#include "foundation/cstring.h"
#include "platform/fs.h"
#include "runtime/memobj.h"
#include "runtime/mt.h"
#include "store/dylock.h"

class BTreeFile;

// Every '/' turned into '\'.
CString NormalizePath(const char* path);
// The normalised form of the directory, then '\' unless the directory is empty or already
// ends in '\' or '/', then the name.
CString JoinPath(const char* directory, const char* name);

class FilesCache : public BaseObject {
 public:
  static constexpr int kPathKeySize = 250;
  static constexpr int kMaxPathLength = kPathKeySize - 1;
  // A record's length before anything asked for it.
  static constexpr int64_t kLengthUnknown = -1;
  static constexpr int kInfoSize = 320;
  static constexpr int kMaxPartitions = 256;

  // block count = cache_bytes / block_size, at least min_blocks (a size from a profile may be
  // anything, negative included: any too small a size gives min_blocks); partitions = the largest
  // prime not above min(block count, 256) (1 or 2 for fewer than 3 blocks). The block locks
  // get lock_table_size (at least 3), the path and id locks 1000 each.
  FilesCache(int64_t cache_bytes, int32_t block_size, int32_t max_idle_handles,
             int32_t lock_table_size, int32_t min_blocks);
  // Flushes every dirty block, closes the idle handles and the index trees and removes the
  // index files from disk.
  ~FilesCache() override;
  FilesCache(const FilesCache&) = delete;
  FilesCache& operator=(const FilesCache&) = delete;

  // Creates both index files empty in `directory`. False when a page file cannot be opened,
  // or (after "cannot create file:%s\n") when a tree cannot be created. Once only.
  bool Open(const char* directory, const char* prefix);

  // Whether the cache may work on a resolved path (platform::ResolvePath's form): a fence
  // around the files it serves. Without one (the default) every path is allowed.
  using PathFilter = bool (*)(const char* resolved);
  // Hears of the first open that fails for want of descriptors after one that worked, with
  // the path it was for: once per episode.
  using ExhaustionHook = void (*)(const char* path);
  // Each set at most once, before the cache is shared between threads.
  void SetPathFilter(PathFilter filter);
  void SetExhaustionHook(ExhaustionHook hook);
  // Files that others change too (see Shared files above); off by default.
  void SetSharedFiles(bool shared);

  // The path as the cache would hand it to the OS, for opening it exactly (kModeExactPath):
  // resolved, following a final link, allowed by the filter and short enough for the index.
  // False with the error of Paths above otherwise.
  bool ResolveName(const char* path, CString* os_path);

  // The path's file id. A known path gives its id, or 0 when `create` is set (a create of a
  // known path fails). An unknown path is registered: with `create` without touching the
  // disk (the file is made at its first write-back, empty or truncated), without it only
  // when the OS file opens for reading and writing. 0 for a path that cannot be keyed.
  int64_t Lookup(const char* path, bool create);
  // By path: the id by Lookup(path, false), then the same by id; 0 when there is none.
  int32_t Read(const char* path, int64_t offset, void* buffer, int32_t length);
  int32_t Write(const char* path, int64_t offset, const void* buffer, int32_t length);
  int64_t GetLength(const char* path);
  // Drops the path from the index and deletes the OS file. True when the deletion worked,
  // and always for a path the index does not know (its deletion is tried all the same, also
  // for one too long to key) or that names nothing; false for a path the filter refuses,
  // which is left alone. Blocks of the file stay under its dead id and are never written back.
  bool Remove(const char* path);
  // Renames the OS file (never over an existing one) and then the index entry, if the index
  // knows the old path. False when the new path is known, either cannot be keyed or is
  // refused, or the OS refuses (for one, when the old path names nothing); the index changes
  // only with the OS file.
  bool Rename(const char* old_path, const char* new_path);
  // Writes back every dirty block of the file, waiting for blocks that are busy, and makes
  // the OS file durable (fsync). For a created file never written this creates it empty.
  // True when every block reached the file and the flush worked, and no write-back of the
  // file (by an eviction or FlushAll) has failed since the last FlushFile of it.
  bool FlushFile(int64_t id);
  // Writes back dirty blocks of every file (at most `limit` of them, 0 = no limit) and makes
  // the files written durable. The number of blocks written back.
  int FlushAll(int limit);

  // By id, for the path operations and CachedFile. Reads stop at the file's length; a write
  // beyond it extends the file, the gap reading as zeros. Both give the bytes transferred
  // (failures of a write's later write-back show in FlushFile); both stop short at a block
  // that cannot be read in (its OS file cannot be opened), a write only at one it does not
  // cover whole. 0 for a negative offset or length or an offset whose end does not fit in 64
  // bits.
  int32_t ReadById(int64_t id, int64_t offset, void* buffer, int32_t length);
  int32_t WriteById(int64_t id, int64_t offset, const void* buffer, int32_t length);
  // The length as the cache sees it (written data included); 0 for an unknown id.
  int64_t LengthById(int64_t id);

  // A read in place: stretches of cached blocks, one per block, with the blocks' keys held so
  // that their bytes can be sent without a copy; nobody changes or evicts them until Unpin.
  struct Pinned {
    static constexpr int kMost = 17;  // 64 KiB from anywhere in blocks of 4 KiB
    int64_t id = 0;
    int64_t first = 0;  // the first block's number
    int count = 0;      // stretches, each of the next block
    const uint8_t* bytes[kMost] = {};
    int32_t lengths[kMost] = {};
    int32_t total = 0;
  };
  // Pins what ReadById would read, when every block of it is cached and holds its file's
  // current bytes and the keys after the first are free (those are not waited for), in at
  // most Pinned::kMost blocks. False, nothing held, otherwise, and for nothing to read: the
  // caller reads by ReadById then. Unpin must follow soon: a writer or a flush of those blocks
  // waits for it.
  bool PinById(int64_t id, int64_t offset, int32_t length, Pinned* pinned);
  void Unpin(Pinned* pinned);

  int32_t block_size() const { return block_size_; }
  int32_t block_count() const { return block_count_; }
  int64_t cache_bytes() const { return cache_bytes_; }
  int32_t partition_count() const { return partition_count_; }
  bool is_open() const { return open_; }
  const CString& path_index_file() const;
  const CString& info_index_file() const;

 private:
  struct OpenHandle;
  struct CacheBlock;
  struct Partition;
  struct OsfsInfo;
  struct IndexFile;
  struct FlushRun;
  struct Candidate;
  struct PathKey;
  struct Epoch;
  enum Purpose { kForReading = 1, kForWriting = 2 };
  enum class Fill { kLoad, kOverwrite };
  // What MakeKey made of a path: a key; nothing, for a path too long for one (resolved and
  // allowed all the same); nothing, for a path that names no file (empty, ending in a
  // separator, links that loop); nothing, for a path the filter refuses.
  // kNotAFile: the empty path or one ending in a separator, which no open would take for a
  // file either.
  enum class Keyed { kYes, kTooLong, kNothing, kNotAFile, kRefused };

  // filescache.cc: index files, names, handles.
  bool CreateIndex(IndexFile* index, const char* name, bool numeric_keys, int key_size,
                   int data_size);
  Keyed MakeKey(const char* path, platform::FinalLink final_link, PathKey* key,
                std::string* resolved);
  int64_t PathToId(const PathKey& key);
  int64_t Register(const PathKey& key, bool create, int64_t length,
                   const platform::FileStamp* stamp);
  // The id the path names, with its id lock held; 0 (nothing held) when it names none. The
  // caller holds the path's lock or accepts that a rename may move the path meanwhile.
  // With shared files, a known id is first checked against the OS file (Recheck).
  int64_t PinPath(const PathKey& key);
  // The pinned id, its lock held, after its OS file was compared with the record; 0 (the
  // lock let go, the path forgotten) when the path names nothing any more.
  int64_t Recheck(const PathKey& key, int64_t id);
  // Under the id lock: the OS file's stamp now against the record's. Another file or another
  // state moves the generation or the version on, with the OS file's length; `ours` (a stamp
  // our own write-back left) is recorded without that.
  void NoteStamp(int64_t id, const platform::FileStamp& now, bool ours);
  void LockId(int64_t id, int line);
  void UnlockId(int64_t id);
  bool ReadInfo(int64_t id, OsfsInfo* info);
  // Reads, changes and writes back the record under the index lock; false without one.
  template <class Change>
  bool UpdateInfo(int64_t id, Change change);
  int64_t LearnLength(int64_t id);
  void GrowLength(int64_t id, int64_t end);
  void SettleLength(int64_t id);
  void DropEntries(const PathKey& key, int64_t id);
  bool Rekey(const PathKey& from, const PathKey& to, int64_t id);
  bool ReportRemoveFailure(uint32_t error, const char* path);
  // Opens the OS file at a resolved path exactly; notes how an open for want of descriptors
  // went (the exhaustion episode).
  bool OpenOsFile(BaseFile* file, const char* os_path, unsigned mode);
  // A handle of the file, its id lock held until Release; none (nothing held) when the file
  // is gone or cannot be opened, or, for reading, is not on disk yet. `epoch` (may be null)
  // gets the generation the handle's bytes belong to, known also in that last case.
  OpenHandle* Acquire(int64_t id, Purpose purpose, Epoch* epoch = nullptr);
  // A new OS handle's file against the record's identity (see Paths above): the handle's
  // generation, moved on when the file was replaced.
  uint32_t CheckIdentity(OpenHandle* handle, const OsfsInfo& info);
  Epoch EpochOf(int64_t id);
  void Release(OpenHandle* handle);
  // The file's idle handle, or the one its flushes use, now held; null without one.
  OpenHandle* TakeOpen(int64_t id);
  // A thread starts or ends a flush of the handle without its id lock. The last flush to
  // end puts a handle nobody holds among the idle ones.
  void StartFlush(OpenHandle* handle);
  void EndFlush(OpenHandle* handle);
  // Under the handle lock: a handle neither held nor flushed goes idle, and the idle handle
  // beyond the maximum is closed.
  void Park(OpenHandle* handle);
  // The caller holds the id lock, so no flush of the file starts: waits for those under way
  // and closes the file's handle (idle by then). Whether there was one.
  bool CloseHandle(int64_t id);
  // A write-back of a file that still exists failed: its data is gone.
  void NoteLostWrite(int64_t id);
  bool TakeLostWrite(int64_t id);

  // filescache_blocks.cc: blocks, eviction, write-back.
  Partition& PartitionOf(int64_t id, int64_t number);
  // The block with its key held, loaded on a miss; null (nothing held) when it would have
  // to be read in and cannot be. `epoch`: the file's for a block written whole (kOverwrite),
  // read at the first need and kept by the caller for its next blocks.
  // A read passes `ahead`, the blocks of its range after this one: a miss reads in those of
  // them that are not cached along with it, under one open (at most kMaxReadAhead).
  CacheBlock* LockBlock(int64_t id, int64_t number, Fill fill, Epoch* epoch, int64_t ahead);
  void UnlockBlock(const CacheBlock& block);
  // The block in its partition, or null; the caller holds its key.
  CacheBlock* Cached(int64_t id, int64_t number);
  // The block was just used (its age for eviction).
  void Touch(CacheBlock& block);
  CacheBlock* PinBlock(int64_t id, int64_t number, bool wait);
  CacheBlock* Load(int64_t id, int64_t number, Fill fill, Epoch* epoch, int64_t ahead);
  CacheBlock* NewDescriptor(int64_t id, int64_t number, bool wait);
  int ClaimAhead(int64_t id, int64_t number, int64_t ahead, CacheBlock** out);
  void Insert(CacheBlock* block);
  bool FillBlock(CacheBlock* block, Fill fill, Epoch* epoch);
  int LoadRun(CacheBlock* const* run, int count);
  void Reset(CacheBlock* block, const Epoch& filled, int32_t valid);
  enum class Staleness { kCurrent, kChanged, kReplaced };
  Staleness Current(CacheBlock& block);
  CacheBlock* Renew(CacheBlock* block, Fill fill, Epoch* epoch);
  CacheBlock* Refresh(CacheBlock* block, Fill fill, Epoch* epoch);
  void MarkClean(CacheBlock& block);
  CacheBlock* TakeFree();
  void GiveBack(CacheBlock* block);
  // Without `wait`: null at once when the eviction lock is busy or one round finds no block
  // it can take.
  CacheBlock* Reclaim(bool wait);
  void TakeOut(CacheBlock& block);
  void Discard(CacheBlock& block);
  CacheBlock* ChooseVictim();
  CacheBlock* TryChooseVictim();
  bool ScanCandidates(Candidate* best);
  bool Claim(const Candidate& candidate);
  int ReadIn(int64_t id, int64_t number, uint8_t* const* data, int32_t* got, int count,
             Epoch* epoch);
  bool WriteBack(CacheBlock& block);
  bool WriteWritten(OpenHandle& handle, CacheBlock* const* blocks, int count,
                    std::vector<platform::FilePiece>* pieces);
  void WriteBackDirty(FlushRun* run);
  void CollectDirty(FlushRun* run);
  void ForgetDirty(const CacheBlock& block);
  size_t WriteBackRun(FlushRun* run, size_t first);
  int LockRun(FlushRun* run, size_t* next, CacheBlock** blocks);
  CacheBlock* DirtyBlock(int64_t id, int64_t number);
  bool WriteRun(FlushRun* run, CacheBlock* const* blocks, int count);
  void UseHandle(FlushRun* run, int64_t id);
  void DropHandle(FlushRun* run);
  bool SyncFile(FlushRun* run, int64_t id);
  int32_t VisibleBytes(const CacheBlock& block, int64_t id, int64_t* known_length);

  const int32_t block_size_;
  const int32_t block_count_;
  const int64_t cache_bytes_;
  const int32_t written_words_;  // words of written bits per block
  const int32_t partition_count_;
  const int32_t max_idle_handles_;

  uint8_t* buffer_;                          // block_count_ * block_size_ bytes, from Heap
  std::unique_ptr<uint64_t[]> written_;      // the blocks' written bits, one word per 64 bytes
  std::unique_ptr<CacheBlock[]> blocks_;     // the descriptors, fixed
  std::unique_ptr<Partition[]> partitions_;  // partition_count_ of them
  // The block numbers of each file's dirty blocks, so that flushing one file looks at its dirty
  // blocks only, not at every cached block of the file. A block is in it from when a writer
  // sets its dirty flag until a write-back clears it (both under the block's key); a number
  // of a block dropped without write-back (a removed file's) may stay, and flushes skip it.
  CCriticalSection dirty_lock_;
  // Per file, its dirty block numbers: bit (number % 64) of the word kept at number / 64, so
  // that a long write marks words instead of making a tree node per block. Guarded by
  // dirty_lock_.
  std::unordered_map<int64_t, std::map<int64_t, uint64_t>> dirty_;
  CCriticalSection free_lock_;
  std::unique_ptr<CacheBlock*[]> free_;  // guarded by free_lock_: a stack, index 0 on top
  int32_t free_count_ = 0;               // guarded by free_lock_
  CCriticalSection evict_lock_;
  int32_t cursor_partition_ = 0;  // guarded by evict_lock_
  size_t cursor_position_ = 0;    // guarded by evict_lock_
  std::atomic<uint64_t> tick_{0};
  // Files found replaced or changed by another (a generation or a version moved on), ever;
  // see invariant 5.
  std::atomic<uint64_t> file_changes_{0};
  // Set by an open that failed for want of descriptors, cleared by one that worked.
  std::atomic<bool> out_of_handles_{false};
  PathFilter path_filter_ = nullptr;
  ExhaustionHook exhaustion_hook_ = nullptr;
  bool shared_ = false;

  CCriticalSection handle_lock_;
  int64_t next_id_ = 1;                // guarded by handle_lock_
  std::deque<OpenHandle*> idle_;       // guarded by handle_lock_; most recent first
  std::vector<OpenHandle*> flushing_;  // guarded by handle_lock_: each with flushers > 0
  std::vector<int64_t> lost_writes_;   // guarded by handle_lock_: ids, each once

  BlockLockTable block_locks_;
  DynamicLockTable path_locks_;
  DynamicLockTable id_locks_;

  CCriticalSection index_lock_;  // guards both trees and every record
  std::unique_ptr<IndexFile> path_index_;
  std::unique_ptr<IndexFile> info_index_;
  CString directory_;
  CString prefix_;
  bool open_ = false;
};

// A file object over a FilesCache, so that anything written against the file layer (a B+
// tree, for one) can keep its file in the cache. It keeps its own position and length:
// writes made to the same file by other means are not seen in its length. One thread at a
// time, like every file object; the cache must outlive it.
class CachedFile : public BaseFile {
 public:
  explicit CachedFile(FilesCache* cache);

  // The id by the cache's Lookup, with create when mode has kModeCreate (which fails for a
  // path the cache knows already). 1, or 0 leaving the object closed.
  int Open(const char* path, unsigned mode) override;
  // Does nothing else; 1.
  int Close() override;
  // Bytes transferred from/to the position, which advances; a read stops at the length, a
  // write beyond it extends it. -1 when closed.
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  // kBegin: offset; kCurrent: position + offset; kEnd counts back from the end (length -
  // offset). The result is clamped to 0 ... length. -1 when closed.
  int64_t Seek(int64_t offset, SeekFrom from) override;
  int64_t GetLength() override;
  // The cache's FlushFile: 1 when the file is durable.
  int Flush() override;
  const CString& GetFilePath() const override;

  // Hides BaseFile::IsOpen, which only knows the base's own handle.
  bool IsOpen() const { return id_ > 0; }
  int64_t file_id() const { return id_; }
  int64_t position() const { return position_; }

 private:
  FilesCache* cache_;
  CString path_;
  int64_t id_ = 0;
  int64_t position_ = 0;
  int64_t length_ = 0;
};
