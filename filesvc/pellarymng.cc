// The disk manager (contract in pellarymng.h): the file directories, the files cache, the
// sweeper thread, the read-buffer pool and the file and directory operations.
#include "filesvc/pellarymng.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "filesvc/access.h"
#include "foundation/base.h"
#include "foundation/plusfile.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/text.h"
#include "runtime/dumpstack.h"
#include "runtime/jthread.h"
#include "runtime/memobj.h"
#include "runtime/monitor/logtext.h"
#include "runtime/monitor/ymonitorserver.h"
#include "store/filescache.h"

PellaryMng* g_pellary_mng = nullptr;

namespace {

constexpr char kUnit[] = "PellaryMng";
// The place that the missing-directory error has always named, kept so that old error logs
// and new ones point at the same thing.
constexpr int kMissingDirLine = 29;
// Written to the console in the platform's own encoding.
constexpr char kMissingDirText[] = NATIVE_TEXT("保存session文件的目录不存在 %s\r\n",
                                               "\xb1\xa3\xb4\xe6session\xce\xc4\xbc\xfe\xb5\xc4\xc4"
                                               "\xbf\xc2\xbc\xb2\xbb\xb4\xe6\xd4\xda %s\r\n");

constexpr int32_t kMaxIdleHandles = 0;
constexpr int32_t kLockTableSize = 1000;
constexpr int32_t kMinBlocks = 8;
constexpr char kIndexPrefix[] = "pellary_";

constexpr uint32_t kTickMs = 1000;
// The sweeper sleeps its second in slices so that a stop does not keep the destructor waiting.
constexpr uint32_t kSliceMs = 50;

// Made once, never truncating: a file that appeared meanwhile keeps its contents. Made at the
// path the cache would open, exactly, so a link swapped in meanwhile cannot lead it elsewhere.
constexpr unsigned kCreateMode =
    kTypeBinary | kModeCreate | kModeNoTruncate | kModeReadWrite | kModeExactPath;

// The cache asks the access policy about every path it is about to open, remove or rename,
// as resolved for that very use: what the procedure's own check saw may have been swapped for
// a link out of the allowed directories since.
bool CacheMayUse(const char* resolved) {
  const AccessPolicy* policy = g_access_policy;
  return policy == nullptr || policy->ResolvedPathAllowed(resolved);
}

// File calls that fail for want of descriptors would otherwise fail without a word.
void NoteExhaustion(const char* path) {
  LogLine("too many open files, file calls fail:%s\r\n", path);
}

}  // namespace

// The sweeper thread: one tick a second until it is asked to stop.
class PellaryMng::Sweeper : public JThread {
 public:
  explicit Sweeper(PellaryMng* manager) : manager_(manager) {}

 protected:
  uint32_t Run() override {
    int ticks = 0;
    while (SleepOneTick()) manager_->SweeperTick(&ticks);
    return 0;
  }

 private:
  // False as soon as a stop is asked for.
  bool SleepOneTick() {
    for (uint32_t slept = 0; slept < kTickMs; slept += kSliceMs) {
      if (IsStopping() != 0) return false;
      platform::SleepMs(kSliceMs);
    }
    return IsStopping() == 0;
  }

  PellaryMng* manager_;
};

PellaryMng::PellaryMng(const char* temp_dir, const char* file_dir, int32_t save_old_hour,
                       int64_t cache_bytes, int32_t block_size, bool shared_files) {
  FATAL_CHECK(temp_dir != nullptr && file_dir != nullptr);
  SplitFileDirs(file_dir);
  OpenCache(temp_dir, cache_bytes, block_size, shared_files);
  save_old_hour_ = save_old_hour;
  sweeper_ = std::make_unique<Sweeper>(this);
  FATAL_CHECK(sweeper_->Start() == 1);
}

PellaryMng::~PellaryMng() {
  sweeper_->Stop();
  sweeper_->Wait();
  cache_->FlushAll(0);
  cache_.reset();
  for (char* buffer : pool_) Heap::Release(buffer);
}

// Pieces between ',' are trimmed; empty ones go, the others get their final '\' (every '/'
// becomes '\', so "d:/b/" is "d:\b\") and must exist. Walked from the last piece to the first.
void PellaryMng::SplitFileDirs(const char* file_dir) {
  file_dirs_.Split(file_dir, ',');
  for (int i = file_dirs_.GetCount() - 1; i >= 0; --i) {
    CString directory = PlusFile::WithFinalSeparator(file_dirs_.GetAt(i));
    if (directory.IsEmpty()) {
      file_dirs_.RemoveAt(i);
      continue;
    }
    directory = PlusFile::WithBackslashes(directory);
    file_dirs_.SetAt(i, directory);
    if (PlusFile::DirExists(directory) == 0) {
      LogLine(kMissingDirText, directory.GetString());
      InternalNotice(false, false, kUnit, kMissingDirLine);
      InternalError(false, false, kUnit, kMissingDirLine);
    }
  }
}

void PellaryMng::OpenCache(const char* temp_dir, int64_t cache_bytes, int32_t block_size,
                           bool shared_files) {
  cache_ = std::make_unique<FilesCache>(cache_bytes, block_size, kMaxIdleHandles, kLockTableSize,
                                        kMinBlocks);
  cache_->SetPathFilter(CacheMayUse);
  cache_->SetExhaustionHook(NoteExhaustion);
  cache_->SetSharedFiles(shared_files);
  if (cache_->Open(temp_dir, kIndexPrefix)) return;
  LogLine("open :%s failed!\n", temp_dir);
  std::exit(0);
}

// ---- Files ----

int PellaryMng::FileOpen(const char* path) {
  return FileId(path) > 0 ? 1 : 0;
}

int PellaryMng::FileCreate(const char* path) {
  if (FileOpen(path) == 1) return 1;
  CString os_path;
  if (!cache_->ResolveName(path, &os_path)) return 0;
  BaseFile file;
  if (file.Open(os_path, kCreateMode) == 0) return 0;
  file.Close();
  return 1;
}

int PellaryMng::FileRemove(const char* path) {
  return cache_->Remove(path) ? 1 : 0;
}

int PellaryMng::FileRename(const char* old_path, const char* new_path) {
  int64_t id = FileId(old_path);
  // What the cache holds of the file goes out under its old name before the name changes.
  if (id > 0) cache_->FlushFile(id);
  return cache_->Rename(old_path, new_path) ? 1 : 0;
}

int32_t PellaryMng::FileRead(const char* path, int64_t position, void* buffer, int32_t count) {
  return FileReadById(FileId(path), position, buffer, count);
}

int64_t PellaryMng::FileId(const char* path) {
  return cache_->Lookup(path, false);
}

bool PellaryMng::FilePin(int64_t id, int64_t position, int32_t count, FilesCache::Pinned* pinned) {
  return id > 0 && cache_->PinById(id, position, count, pinned);
}

int32_t PellaryMng::FileReadById(int64_t id, int64_t position, void* buffer, int32_t count) {
  return id > 0 ? cache_->ReadById(id, position, buffer, count) : 0;
}

int32_t PellaryMng::FileWrite(const char* path, int64_t position, const void* data, int32_t count) {
  // One look-up for the write and its flush: the path is resolved once per call.
  int64_t id = FileId(path);
  int32_t written = id > 0 ? cache_->WriteById(id, position, data, count) : 0;
  if (written <= 0) return 0;
  // The answer promises the bytes are on the disk: a write-back that failed, or a file that
  // is gone before it could be flushed, acknowledges nothing.
  if (cache_->FlushFile(id)) return written;
  // A file removed behind the cache's back is forgotten, so that a client can make it again
  // instead of meeting a name the cache knows and the disk does not.
  if (PlusFile::FileExists(path) == 0) {
    LogLine("file vanished:%s\r\n", LogValue(path).GetString());
    cache_->Remove(path);
  }
  return 0;
}

int64_t PellaryMng::FileGetLength(const char* path) {
  int64_t length = 0;
  FileLength(path, &length);
  return length;
}

bool PellaryMng::FileLength(const char* path, int64_t* length) {
  int64_t id = FileId(path);
  if (id <= 0) return false;
  *length = cache_->LengthById(id);
  return true;
}

bool PellaryMng::FileChecksum(const char* path, int64_t position, int64_t length, uint32_t* crc) {
  if (position < 0 || length < 0) return false;
  int64_t id = FileId(path);
  if (id <= 0) return false;
  int64_t end = std::min(cache_->LengthById(id), position + std::min(length, INT64_MAX - position));
  char* buffer = GetReadBuffer();
  uLong sum = crc32(0, nullptr, 0);
  int64_t at = position;
  while (at < end) {
    int32_t got = cache_->ReadById(
        id, at, buffer, static_cast<int32_t>(std::min<int64_t>(kReadBufferSize, end - at)));
    if (got <= 0) break;
    sum = crc32(sum, reinterpret_cast<const Bytef*>(buffer), static_cast<uInt>(got));
    at += got;
  }
  ReleaseReadBuffer(buffer);
  *crc = static_cast<uint32_t>(sum);
  return at >= end;
}

void PellaryMng::FileClear() {
  int count = 0;
  YStringArray names;
  for (int d = 0; d < file_dirs_.GetCount(); ++d) {
    const CString& directory = file_dirs_.GetAt(d);
    PlusFile::FindFiles(directory + "*.*", names);
    for (int i = 0; i < names.GetCount(); ++i) {
      // Deleted on the disk only: the cache is not told, and a path is never deleted
      // that the listing did not give.
      PlusFile::Remove(directory + names.GetAt(i));
      ++count;
    }
  }
  LogLine("FileClear %d\r\n", count);
}

// ---- Directories ----

int PellaryMng::DirExists(const char* path) {
  return PlusFile::DirExists(path);
}

int PellaryMng::MakeDir(const char* path) {
  if (PlusFile::MakeDir(PlusFile::WithBackslashes(path)) != 0) return 1;
  // Taken before anything else can touch the last error. Only the client's path is made
  // safe to log: the system's text is the system's own.
  uint32_t error = platform::LastError();
  LogLine("cannot create dir:%s %s\r\n", LogValue(path).GetString(),
          platform::SystemErrorText(error));
  return 0;
}

int PellaryMng::RemoveDir(const char* path) {
  return PlusFile::RemoveDir(PlusFile::WithBackslashes(path));
}

// ---- Read buffers ----

char* PellaryMng::GetReadBuffer() {
  {
    ScopedLock hold(pool_lock_, kUnit, __LINE__);
    if (!pool_.empty()) {
      char* buffer = pool_.front();
      pool_.pop_front();
      return buffer;
    }
  }
  return static_cast<char*>(Heap::Allocate(kReadBufferSize));
}

void PellaryMng::ReleaseReadBuffer(char* buffer) {
  FATAL_CHECK(buffer != nullptr);
  {
    ScopedLock hold(pool_lock_, kUnit, __LINE__);
    if (static_cast<int>(pool_.size()) < kMaxPooledBuffers) {
      pool_.push_back(buffer);
      return;
    }
  }
  Heap::Release(buffer);
}

int PellaryMng::PooledBuffers() {
  ScopedLock hold(pool_lock_, kUnit, __LINE__);
  return static_cast<int>(pool_.size());
}

// ---- The sweeper's work ----

void PellaryMng::DelOldFile(const char* directory, const char* pattern, int32_t hours) {
  if (hours <= 0) return;
  YStringArray names;
  PlusFile::FindFiles(CString(directory) + pattern, names);
  int64_t cutoff = platform::TimeNow() - static_cast<int64_t>(hours) * 3600;
  int count = 0;
  for (int i = 0; i < names.GetCount(); ++i) {
    CString path = CString(directory) + names.GetAt(i);
    int64_t written = PlusFile::LastWriteTime(path);
    if (written > 0 && written < cutoff) {
      PlusFile::DeleteFile(path);
      ++count;
    }
  }
  LogLine("DelOldFile %d\r\n", count);
}

void PellaryMng::SweeperTick(int* ticks) {
  ++*ticks;
  if (*ticks == kFlushTick) cache_->FlushAll(0);
  if (*ticks >= kSweepTick) {
    *ticks = 0;
    Sweep();
  }
}

void PellaryMng::Sweep() {
  for (int d = 0; d < file_dirs_.GetCount(); ++d) {
    DelOldFile(file_dirs_.GetAt(d), "*.blob", save_old_hour_);
    DelOldFile(file_dirs_.GetAt(d), "*.att", save_old_hour_);
  }
}
