// PellaryMng (unit "PellaryMng"): the disk manager behind every file-service procedure.
//
// Clients name server files by absolute path; the manager passes their contents through the
// files cache it owns (index files "pellary_osfspath.idx" and "pellary_osfsinfo.idx" in the
// temporary directory, made fresh by the constructor and removed by the destructor). Paths
// are used exactly as the caller gives them: the manager adds no directory, so a relative path
// is taken from the current (program) directory.
//
// It also keeps the file directories, in which the sweeper thread deletes old "*.blob" and
// "*.att" files, and a pool of 64 KiB read buffers so that the frequent reads do not allocate.
//
// The cache asks the access policy (g_access_policy, when there is one) about every path as it
// resolves it for opening, removing or renaming, and logs the start of an episode in which its
// opens fail for want of descriptors.
//
// Threads: the application main constructs and destroys it; in between every operation may be
// called from any number of session threads at once, alongside the sweeper thread. The files
// cache locks for itself and the buffer pool has its own traced lock; nothing else changes
// after construction.
//
// Invariants:
//  1. Every file directory exists at construction, is non-empty and ends in '\'. A missing
//     one is a broken configuration: the constructor ends the process through the fatal
//     internal error before anything is served.
//  2. A write is acknowledged (FileWrite gives its byte count) only after the files cache has
//     written the file back and made it durable: when that flush fails, or the file cannot be
//     found again to flush it, FileWrite gives 0, never the bytes that are not on the disk.
//  3. The pool holds at most kMaxPooledBuffers buffers of kReadBufferSize bytes, each handed
//     out to at most one caller at a time.
//  4. The sweeper flushes the whole cache kFlushTick seconds after start and every kSweepTick
//     seconds after that; it sweeps the file directories every kSweepTick seconds. It sees a
//     stop request within a second.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "foundation/cstring.h"
#include "foundation/yarray.h"
#include "runtime/mt.h"
#include "store/filescache.h"

class PellaryMng {
 public:
  static constexpr int32_t kReadBufferSize = 0x10000;
  static constexpr int kMaxPooledBuffers = 100;
  static constexpr int kFlushTick = 240;
  static constexpr int kSweepTick = 360;
  static constexpr int32_t kCacheBlockSize = 4096;

  // `file_dir` holds one or more directories separated by ','. The cache is made with
  // (cache_bytes, block_size, no idle handles, 1000 block locks, at least 8 blocks) and opened
  // in `temp_dir`; when it cannot be opened the process ends with status 0. `shared_files`:
  // other programs (other servers over the same directories) change the files too, and the
  // cache checks every file it is asked about against the disk (FilesCache::SetSharedFiles).
  PellaryMng(const char* temp_dir, const char* file_dir, int32_t save_old_hour, int64_t cache_bytes,
             int32_t block_size = kCacheBlockSize, bool shared_files = false);
  // Stops the sweeper, flushes the whole cache and removes its index files.
  ~PellaryMng();
  PellaryMng(const PellaryMng&) = delete;
  PellaryMng& operator=(const PellaryMng&) = delete;

  // 1 when the cache knows the path or the file exists and opens for reading and writing.
  int FileOpen(const char* path);
  // 1 when FileOpen gives 1 or the file could be made (never truncating) where the cache
  // resolves the path to, exactly; 0 otherwise, and for a path the cache could never use
  // afterwards (too long for its index, or outside the access policy's allowed directories).
  int FileCreate(const char* path);
  // 1 when the file was deleted, and always for a path the cache does not know.
  int FileRemove(const char* path);
  // Flushes the old file, then renames it; 0 when the new path exists (known to the cache or
  // on the disk) or the old one does not.
  int FileRename(const char* old_path, const char* new_path);
  // Bytes read (at the file's end fewer); 0 when the file is unknown and cannot be opened.
  int32_t FileRead(const char* path, int64_t position, void* buffer, int32_t count);
  // The same in two steps, the path resolved once: the file's id (0 when the file is unknown
  // and cannot be opened), then its bytes, pinned in the cache where they lie when the range
  // is cached whole (FilesCache::PinById; false otherwise) or read by copy.
  int64_t FileId(const char* path);
  bool FilePin(int64_t id, int64_t position, int32_t count, FilesCache::Pinned* pinned);
  int32_t FileReadById(int64_t id, int64_t position, void* buffer, int32_t count);
  // Bytes written, each on the disk (invariant 2); 0 on any failure.
  int32_t FileWrite(const char* path, int64_t position, const void* data, int32_t count);
  // The length as the cache sees it; 0 when the file is unknown and cannot be opened.
  int64_t FileGetLength(const char* path);
  // The same, false (and *length untouched) when the file is unknown and cannot be opened.
  bool FileLength(const char* path, int64_t* length);
  // The CRC-32 (zlib's) of the bytes from `position` on, `length` of them or up to the end,
  // as the cache sees the file. False when the file is unknown and cannot be opened, the
  // position or the length is negative, or a block in the range cannot be read.
  bool FileChecksum(const char* path, int64_t position, int64_t length, uint32_t* crc);
  // Deletes every regular file of every file directory directly on the disk (the cache is not
  // told) and logs their count.
  void FileClear();

  int DirExists(const char* path);
  // '/' become '\'. A failure is logged with the system's text for the error and gives 0.
  int MakeDir(const char* path);
  int RemoveDir(const char* path);

  // A buffer of kReadBufferSize bytes, from the pool when it has one.
  char* GetReadBuffer();
  // Back into the pool, or freed when the pool is full.
  void ReleaseReadBuffer(char* buffer);

  // Deletes the regular files of `directory` (with its final '\') that match `pattern` and
  // were last written more than `hours` hours ago, and logs how many it tried. Nothing at all
  // (no log line either) when `hours` is 0 or less.
  void DelOldFile(const char* directory, const char* pattern, int32_t hours);

  // One second of the sweeper, after its sleep: `*ticks` counts the seconds, the flush comes
  // at kFlushTick and the sweep at kSweepTick, which starts the count again.
  void SweeperTick(int* ticks);

  const YStringArray& file_dirs() const { return file_dirs_; }
  int32_t save_old_hour() const { return save_old_hour_; }
  FilesCache& files_cache() { return *cache_; }
  int PooledBuffers();

 private:
  class Sweeper;

  void SplitFileDirs(const char* file_dir);
  void OpenCache(const char* temp_dir, int64_t cache_bytes, int32_t block_size, bool shared_files);
  void Sweep();

  YStringArray file_dirs_;
  int32_t save_old_hour_ = 0;
  std::unique_ptr<FilesCache> cache_;
  CCriticalSection pool_lock_{1};
  std::deque<char*> pool_;  // guarded by pool_lock_; taken at the head, given back at the tail
  std::unique_ptr<Sweeper> sweeper_;
};

// The process's disk manager, from the application main's creation of it until its deletion.
extern PellaryMng* g_pellary_mng;
