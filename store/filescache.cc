// The files cache (contract in filescache.h): construction, the index files, path lookup and
// registration, remove and rename, OS handles, the path helpers and CachedFile. Blocks,
// eviction, reads, writes and flushes are in filescache_blocks.cc.
#include "store/filescache.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "foundation/base.h"
#include "foundation/plusfile.h"
#include "platform/error.h"
#include "platform/process.h"
#include "runtime/dumpstack.h"
#include "runtime/jthread.h"
#include "store/filescache_internal.h"
#include "store/heapnew.h"

namespace {

constexpr char kUnit[] = "filescache";

constexpr char kPathIndexName[] = "osfspath.idx";
constexpr char kInfoIndexName[] = "osfsinfo.idx";
constexpr int kIndexCapacity = 256;
constexpr int kIndexDepth = 3;
constexpr int kNameLockTableSize = 1000;

// The file layer's modes: the index files and a created file are made anew (0x9002); a
// known file must exist (0x8002); the probe of an unknown path opens it for both (2).
constexpr unsigned kMakeMode = kTypeBinary | kModeCreate | kModeReadWrite;
constexpr unsigned kExistingMode = kTypeBinary | kModeReadWrite;
constexpr unsigned kProbeMode = kModeReadWrite;

int32_t BlockCountFor(int64_t cache_bytes, int32_t block_size, int32_t min_blocks) {
  FATAL_CHECK(block_size > 0 && min_blocks >= 1);
  int64_t count = std::max<int64_t>(cache_bytes / block_size, min_blocks);
  FATAL_CHECK(count <= INT32_MAX);
  return static_cast<int32_t>(count);
}

int32_t PartitionCountFor(int32_t blocks) {
  int32_t count = std::min(blocks, FilesCache::kMaxPartitions);
  if (count >= 3) count = LargestPrimeAtMost(count);
  return std::max(count, 1);
}

bool IsSeparator(char ch) {
  return ch == '\\' || ch == '/';
}

void EncodeId(int64_t id, uint8_t bytes[8]) {
  PutI64(bytes, id);
}

// The place of the id's record in the info tree, read into `info`; none when there is none.
// The caller holds the index lock.
template <class Info>
BTreePosition FindRecord(BTreeFile& tree, int64_t id, Info* info) {
  uint8_t id_bytes[8];
  EncodeId(id, id_bytes);
  uint8_t record[FilesCache::kInfoSize];
  BTreePosition at = tree.Find(id_bytes, BTreeFile::kFindAny);
  if (at.IsNone() || !tree.ReadEntry(at, nullptr, record, nullptr)) return BTreePosition();
  info->Decode(record);
  return at;
}

template <class Info>
bool WriteRecord(BTreeFile& tree, BTreePosition at, const Info& info) {
  uint8_t record[FilesCache::kInfoSize];
  info.Encode(record);
  return tree.WriteEntry(at, nullptr, record);
}

// Holds a name in a lock table for a scope.
class HeldName {
 public:
  HeldName(DynamicLockTable& table, const void* key, int length, int line)
      : table_(table), key_(key), length_(length) {
    table_.Lock(key_, length_, kUnit, line);
  }
  HeldName(DynamicLockTable& table, std::string_view key, int line)
      : HeldName(table, key.data(), static_cast<int>(key.size()), line) {}
  ~HeldName() { table_.Unlock(key_, length_); }
  HeldName(const HeldName&) = delete;
  HeldName& operator=(const HeldName&) = delete;

 private:
  DynamicLockTable& table_;
  const void* key_;
  int length_;
};

}  // namespace

CString NormalizePath(const char* path) {
  return PlusFile::WithBackslashes(path);
}

CString JoinPath(const char* directory, const char* name) {
  CString joined(directory);
  int length = joined.GetLength();
  if (length > 0 && !IsSeparator(joined.GetAt(length - 1))) joined += '\\';
  joined += name;
  return NormalizePath(joined);
}

FilesCache::FilesCache(int64_t cache_bytes, int32_t block_size, int32_t max_idle_handles,
                       int32_t lock_table_size, int32_t min_blocks)
    : block_size_(block_size),
      block_count_(BlockCountFor(cache_bytes, block_size, min_blocks)),
      cache_bytes_(int64_t{block_count_} * block_size),
      written_words_((block_size + 63) / 64),
      partition_count_(PartitionCountFor(block_count_)),
      max_idle_handles_(std::max(max_idle_handles, 0)),
      block_locks_(lock_table_size, 0),
      path_locks_(kNameLockTableSize, 0),
      id_locks_(kNameLockTableSize, 0),
      path_index_(std::make_unique<IndexFile>()),
      info_index_(std::make_unique<IndexFile>()) {
  buffer_ = static_cast<uint8_t*>(Heap::Allocate(static_cast<size_t>(cache_bytes_)));
  platform::AdviseLargePages(buffer_, static_cast<size_t>(cache_bytes_));
  written_ = std::make_unique<uint64_t[]>(static_cast<size_t>(block_count_) * written_words_);
  blocks_ = std::make_unique<CacheBlock[]>(static_cast<size_t>(block_count_));
  free_ = std::make_unique<CacheBlock*[]>(static_cast<size_t>(block_count_));
  for (int32_t i = 0; i < block_count_; ++i) {
    CacheBlock& block = blocks_[i];
    block.index = i;
    block.data = buffer_ + int64_t{i} * block_size_;
    block.written = written_.get() + static_cast<size_t>(i) * written_words_;
    free_[block_count_ - 1 - i] = &block;  // the top of the stack is descriptor 0
  }
  free_count_ = block_count_;
  // Room for twice the even share; a skewed partition grows its array once in a while.
  size_t share = static_cast<size_t>(block_count_ / partition_count_) * 2 + 8;
  partitions_ = std::make_unique<Partition[]>(static_cast<size_t>(partition_count_));
  for (int32_t i = 0; i < partition_count_; ++i) partitions_[i].blocks.reserve(share);
}

FilesCache::~FilesCache() {
  if (open_) FlushAll(0);
  open_ = false;
  for (OpenHandle* handle : idle_) HeapDelete(handle);
  idle_.clear();
  for (IndexFile* index : {path_index_.get(), info_index_.get()}) {
    index->tree.reset();  // saves its header into the page file
    index->pages.Close();
    if (index->made) PlusFile::Remove(index->path);
  }
  Heap::Release(buffer_);
}

bool FilesCache::Open(const char* directory, const char* prefix) {
  FATAL_CHECK(!open_ && directory != nullptr && prefix != nullptr);
  directory_ = directory;
  prefix_ = prefix;
  if (!CreateIndex(path_index_.get(), kPathIndexName, false, kPathKeySize, 8)) return false;
  if (!CreateIndex(info_index_.get(), kInfoIndexName, true, 8, kInfoSize)) {
    path_index_->tree.reset();
    return false;
  }
  open_ = true;
  return true;
}

void FilesCache::SetPathFilter(PathFilter filter) {
  path_filter_ = filter;
}

void FilesCache::SetExhaustionHook(ExhaustionHook hook) {
  exhaustion_hook_ = hook;
}

void FilesCache::SetSharedFiles(bool shared) {
  shared_ = shared;
}

bool FilesCache::CreateIndex(IndexFile* index, const char* name, bool numeric_keys, int key_size,
                             int data_size) {
  index->path = JoinPath(directory_, prefix_ + name);
  if (index->pages.Open(index->path, kMakeMode) == 0) return false;
  index->made = true;
  if (numeric_keys) {
    index->tree = std::make_unique<BTreeFile64>(&index->pages, BTreeFile::kCheckReport);
  } else {
    index->tree = std::make_unique<BTreeFile>(&index->pages, BTreeFile::kCheckReport);
  }
  if (index->tree->Create(index->path, key_size, data_size, kIndexCapacity, kIndexDepth)) {
    return true;
  }
  std::printf("cannot create file:%s\n", index->path.GetString());
  index->tree.reset();
  return false;
}

const CString& FilesCache::path_index_file() const {
  return path_index_->path;
}

const CString& FilesCache::info_index_file() const {
  return info_index_->path;
}

// ---- Paths and records ----

FilesCache::Keyed FilesCache::MakeKey(const char* path, platform::FinalLink final_link,
                                      PathKey* key, std::string* resolved) {
  FATAL_CHECK(path != nullptr);
  size_t spelled = std::strlen(path);
  if (spelled == 0) {
    platform::SetLastError(platform::kErrorPathNotFound);
    return Keyed::kNotAFile;
  }
  if (IsSeparator(path[spelled - 1])) {
    platform::SetLastError(platform::kErrorAccessDenied);  // only a directory ends so
    return Keyed::kNotAFile;
  }
  if (!platform::ResolvePath(path, resolved, final_link)) return Keyed::kNothing;
  if (path_filter_ != nullptr && !path_filter_(resolved->c_str())) {
    platform::SetLastError(platform::kErrorAccessDenied);
    return Keyed::kRefused;
  }
  if (resolved->size() > static_cast<size_t>(kMaxPathLength)) {
    platform::SetLastError(platform::kErrorFilenameTooLong);
    return Keyed::kTooLong;
  }
  std::string name_key = platform::ResolvedNameKey(*resolved);
  key->length = static_cast<int>(resolved->size());
  std::memset(key->text, 0, kPathKeySize);
  std::memset(key->os_path, 0, kPathKeySize);
  for (int i = 0; i < key->length; ++i) {
    key->os_path[i] = IsSeparator((*resolved)[i]) ? '\\' : (*resolved)[i];
    key->text[i] = IsSeparator(name_key[i]) ? '\\' : name_key[i];
  }
  return Keyed::kYes;
}

bool FilesCache::ResolveName(const char* path, CString* os_path) {
  PathKey key;
  std::string resolved;
  if (MakeKey(path, platform::FinalLink::kFollow, &key, &resolved) != Keyed::kYes) return false;
  *os_path = key.os_path;
  return true;
}

int64_t FilesCache::PathToId(const PathKey& key) {
  ScopedLock hold(index_lock_, kUnit, __LINE__);
  BTreeFile& tree = *path_index_->tree;
  uint8_t data[8];
  BTreePosition at = tree.Find(key.text, BTreeFile::kFindAny);
  if (at.IsNone() || !tree.ReadEntry(at, nullptr, data, nullptr)) return 0;
  return GetI64(data);
}

int64_t FilesCache::Lookup(const char* path, bool create) {
  FATAL_CHECK(open_);
  PathKey key;
  std::string resolved;
  Keyed keyed = MakeKey(path, platform::FinalLink::kFollow, &key, &resolved);
  // What opening such a path would have said (an empty one, a directory's), said here.
  if (keyed == Keyed::kNotAFile && !create) {
    PrintOpenFailure(platform::LastError(), NormalizePath(path));
  }
  if (keyed != Keyed::kYes) return 0;
  // A known path needs no name lock: its index entry, read under the index lock, answers as
  // of that moment, just as an answer given under the name lock is stale once it goes. Many
  // sessions asking about one file would otherwise queue on that name. The name lock is for
  // registering, so that one name never gets two ids, and for the shared-files recheck.
  int64_t id = shared_ ? 0 : PathToId(key);
  if (id > 0) return create ? 0 : id;
  HeldName name(path_locks_, key.text, key.lock_length(), __LINE__);
  id = shared_ ? PinPath(key) : PathToId(key);
  if (id > 0 && shared_) UnlockId(id);
  if (id > 0) return create ? 0 : id;
  // A directory is never a file of the cache.
  if (PlusFile::DirExists(key.os_path) != 0) {
    platform::SetLastError(platform::kErrorAccessDenied);
    if (!create) PrintOpenFailure(platform::kErrorAccessDenied, NormalizePath(path));
    return 0;
  }
  if (create) return Register(key, true, 0, nullptr);
  BaseFile probe;
  if (!OpenOsFile(&probe, key.os_path, kProbeMode)) return 0;
  platform::FileStamp stamp;
  return Register(key, false, kLengthUnknown, probe.GetStamp(&stamp) ? &stamp : nullptr);
}

int64_t FilesCache::Register(const PathKey& key, bool create, int64_t length,
                             const platform::FileStamp* stamp) {
  int64_t id;
  {
    ScopedLock hold(handle_lock_, kUnit, __LINE__);
    id = next_id_++;
  }
  OsfsInfo info;
  info.id = id;
  std::memcpy(info.path, key.os_path, kPathKeySize);
  info.created = create ? 1 : 0;
  info.length = length;
  if (stamp != nullptr) {
    info.identity = stamp->id;
    info.identified = 1;
    info.stamp = *stamp;
    info.stamped = 1;
  }
  uint8_t id_bytes[8];
  EncodeId(id, id_bytes);
  uint8_t record[kInfoSize];
  info.Encode(record);
  ScopedLock hold(index_lock_, kUnit, __LINE__);
  if (path_index_->tree->Insert(key.text, id_bytes, true).IsNone()) return 0;
  if (info_index_->tree->Insert(id_bytes, record, true).IsNone()) {
    path_index_->tree->Remove(key.text);
    return 0;
  }
  return id;
}

int64_t FilesCache::PinPath(const PathKey& key) {
  for (;;) {
    int64_t id = PathToId(key);
    if (id == 0) return 0;
    LockId(id, __LINE__);
    if (PathToId(key) == id) return shared_ ? Recheck(key, id) : id;
    UnlockId(id);  // renamed meanwhile: look again
  }
}

int64_t FilesCache::Recheck(const PathKey& key, int64_t id) {
  platform::FileStamp now;
  if (platform::PathStamp(key.os_path, &now)) {
    NoteStamp(id, now, false);
    return id;
  }
  uint32_t error = platform::LastError();
  OsfsInfo info;
  bool gone = error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound;
  // A file registered by a create is not on the disk before its first write-back.
  if (!gone || !ReadInfo(id, &info) || info.created != 0) return id;
  DropEntries(key, id);
  TakeLostWrite(id);
  CloseHandle(id);
  UnlockId(id);
  return 0;
}

void FilesCache::NoteStamp(int64_t id, const platform::FileStamp& now, bool ours) {
  bool moved = false;
  UpdateInfo(id, [&](OsfsInfo& info) {
    if (info.stamped != 0 && info.stamp == now) return false;
    bool replaced = info.identified != 0 && !(info.identity == now.id);
    bool changed = !replaced && info.stamped != 0;
    if (!ours && (replaced || changed)) {
      moved = true;
      if (replaced) {
        ++info.generation;
      } else {
        ++info.version;
      }
      // Bytes a writer of ours has not written back yet may lie beyond the OS file's end.
      ScopedLock hold(dirty_lock_, kUnit, __LINE__);
      bool dirty = changed && dirty_.count(id) != 0;
      info.length = dirty ? std::max(info.length, now.size) : now.size;
    }
    info.identity = now.id;
    info.identified = 1;
    info.stamp = now;
    info.stamped = 1;
    return true;
  });
  if (moved) file_changes_.fetch_add(1, std::memory_order_release);
}

void FilesCache::LockId(int64_t id, int line) {
  uint8_t bytes[8];
  EncodeId(id, bytes);
  id_locks_.Lock(bytes, 8, kUnit, line);
}

void FilesCache::UnlockId(int64_t id) {
  uint8_t bytes[8];
  EncodeId(id, bytes);
  id_locks_.Unlock(bytes, 8);
}

bool FilesCache::ReadInfo(int64_t id, OsfsInfo* info) {
  ScopedLock hold(index_lock_, kUnit, __LINE__);
  return !FindRecord(*info_index_->tree, id, info).IsNone();
}

template <class Change>
bool FilesCache::UpdateInfo(int64_t id, Change change) {
  ScopedLock hold(index_lock_, kUnit, __LINE__);
  OsfsInfo info;
  BTreePosition at = FindRecord(*info_index_->tree, id, &info);
  if (at.IsNone()) return false;
  return !change(info) || WriteRecord(*info_index_->tree, at, info);
}

int64_t FilesCache::LengthById(int64_t id) {
  FATAL_CHECK(open_);
  OsfsInfo info;
  if (id <= 0 || !ReadInfo(id, &info)) return 0;
  return info.length != kLengthUnknown ? info.length : LearnLength(id);
}

// The first question about a length is answered by the OS file, which may have changed
// since the lookup that met it; from then on the record keeps it. 0 when the file cannot be
// opened, and the length stays unknown.
int64_t FilesCache::LearnLength(int64_t id) {
  OpenHandle* handle = Acquire(id, kForReading);
  if (handle == nullptr) return 0;
  int64_t on_disk = handle->file.GetLength();
  int64_t length = 0;
  if (on_disk >= 0) {
    UpdateInfo(id, [&](OsfsInfo& info) {
      bool unknown = info.length == kLengthUnknown;
      if (unknown) info.length = on_disk;
      length = info.length;
      return unknown;
    });
  }
  Release(handle);
  return length;
}

void FilesCache::GrowLength(int64_t id, int64_t end) {
  for (bool learned = false;; learned = true) {
    bool unknown = false;
    UpdateInfo(id, [&](OsfsInfo& info) {
      unknown = info.length == kLengthUnknown && !learned;
      if (unknown || info.length >= end) return false;
      info.length = end;
      return true;
    });
    if (!unknown) return;
    LearnLength(id);  // the write may end inside the file's own length
  }
}

// After a failed flush the record's length comes down to the OS file's, so that a client
// that asks for the length (to resume an upload, say) learns what is really stored. Not while
// blocks of the file are dirty: their bytes, a concurrent writer's, are still on their way.
// The handle's id lock keeps write-backs of the file (and so the OS length and the dirty
// book's shrinking) still meanwhile; a writer that marks a block dirty after the check
// raises the length again after this change, as it waits for the index lock.
void FilesCache::SettleLength(int64_t id) {
  OpenHandle* handle = Acquire(id, kForReading);
  if (handle == nullptr) return;
  int64_t on_disk = handle->file.GetLength();
  if (on_disk >= 0) {
    UpdateInfo(id, [this, id, on_disk](OsfsInfo& info) {
      ScopedLock hold(dirty_lock_, kUnit, __LINE__);
      if (info.length <= on_disk || dirty_.count(id) != 0) return false;
      info.length = on_disk;
      return true;
    });
  }
  Release(handle);
}

int64_t FilesCache::GetLength(const char* path) {
  int64_t id = Lookup(path, false);
  return id > 0 ? LengthById(id) : 0;
}

int32_t FilesCache::Read(const char* path, int64_t offset, void* buffer, int32_t length) {
  int64_t id = Lookup(path, false);
  return id > 0 ? ReadById(id, offset, buffer, length) : 0;
}

int32_t FilesCache::Write(const char* path, int64_t offset, const void* buffer, int32_t length) {
  int64_t id = Lookup(path, false);
  return id > 0 ? WriteById(id, offset, buffer, length) : 0;
}

// ---- Remove and rename ----

bool FilesCache::Remove(const char* path) {
  FATAL_CHECK(open_);
  PathKey key;
  std::string resolved;
  switch (MakeKey(path, platform::FinalLink::kKeep, &key, &resolved)) {
    case Keyed::kYes:
      break;
    case Keyed::kTooLong:
      // Unknown to the index by construction; the OS may still hold such a file.
      PlusFile::Remove(resolved.c_str());
      return true;
    case Keyed::kNothing:
    case Keyed::kNotAFile:
      return true;
    case Keyed::kRefused:
      return false;
  }
  HeldName name(path_locks_, key.text, key.lock_length(), __LINE__);
  int64_t id = PinPath(key);
  if (id == 0) {
    PlusFile::Remove(key.os_path);
    return true;
  }
  DropEntries(key, id);
  TakeLostWrite(id);
  bool had_idle = CloseHandle(id);
  int rc = PlusFile::Remove(key.os_path);
  uint32_t error = platform::LastError();
  UnlockId(id);
  if (!had_idle || rc == 0) return rc == 0;
  return ReportRemoveFailure(error, key.os_path);
}

void FilesCache::DropEntries(const PathKey& key, int64_t id) {
  uint8_t id_bytes[8];
  EncodeId(id, id_bytes);
  ScopedLock hold(index_lock_, kUnit, __LINE__);
  path_index_->tree->Remove(key.text);
  info_index_->tree->Remove(id_bytes);
}

bool FilesCache::ReportRemoveFailure(uint32_t error, const char* path) {
  const char* format = error == platform::kErrorFileNotFound ? "error file not found :%s \n"
                                                             : FileErrorFormat(error);
  if (format != nullptr) std::printf(format, path);
  // A file that is denied or in use is worth the stack of who tried.
  bool with_stack =
      error == platform::kErrorAccessDenied || error == platform::kErrorSharingViolation;
  if (with_stack && trace() != 0) DumpStack(DumpFileName());
  return false;
}

bool FilesCache::Rename(const char* old_path, const char* new_path) {
  FATAL_CHECK(open_);
  PathKey from;
  PathKey to;
  std::string resolved;
  if (MakeKey(old_path, platform::FinalLink::kKeep, &from, &resolved) != Keyed::kYes ||
      MakeKey(new_path, platform::FinalLink::kKeep, &to, &resolved) != Keyed::kYes) {
    return false;
  }
  // Both names are held: a lookup of the old name must not register it while the OS file
  // moves away under it.
  std::string_view old_name(from.text, static_cast<size_t>(from.lock_length()));
  std::string_view new_name(to.text, static_cast<size_t>(to.lock_length()));
  HeldName first(path_locks_, std::min(old_name, new_name), __LINE__);
  std::optional<HeldName> second;
  if (old_name != new_name) second.emplace(path_locks_, std::max(old_name, new_name), __LINE__);
  int64_t known = shared_ ? PinPath(to) : PathToId(to);
  if (known != 0 && shared_) UnlockId(known);
  if (known != 0) {
    platform::SetLastError(platform::kErrorAlreadyExists);
    return false;
  }
  int64_t id = PinPath(from);
  // An entry the index does not know (a symbolic link: the index knows where it leads) has
  // nothing there to follow the OS rename, which fails for a path that names nothing.
  if (id == 0) return PlusFile::Rename(from.os_path, to.os_path) == 0;
  CloseHandle(id);  // an open file cannot be renamed everywhere
  bool moved = PlusFile::Rename(from.os_path, to.os_path) == 0;
  if (moved && !Rekey(from, to, id)) {
    PlusFile::Rename(to.os_path, from.os_path);  // the index could not follow: undo
    moved = false;
  }
  UnlockId(id);
  return moved;
}

// Moves the id from one path key to the other, record included; false (index unchanged)
// when the new key cannot be inserted.
bool FilesCache::Rekey(const PathKey& from, const PathKey& to, int64_t id) {
  uint8_t id_bytes[8];
  EncodeId(id, id_bytes);
  ScopedLock hold(index_lock_, kUnit, __LINE__);
  OsfsInfo info;
  BTreePosition at = FindRecord(*info_index_->tree, id, &info);
  if (at.IsNone() || path_index_->tree->Insert(to.text, id_bytes, true).IsNone()) return false;
  path_index_->tree->Remove(from.text);
  std::memcpy(info.path, to.os_path, kPathKeySize);
  return WriteRecord(*info_index_->tree, at, info);
}

// ---- OS handles ----

bool FilesCache::OpenOsFile(BaseFile* file, const char* os_path, unsigned mode) {
  // Files shared with other servers and programs are opened so that theirs can be open at
  // the same time (Windows would refuse either side's open otherwise).
  if (shared_) mode |= kShareDenyNone;
  if (file->Open(os_path, mode | kModeExactPath) != 0) {
    if (out_of_handles_.load(std::memory_order_relaxed)) {
      out_of_handles_.store(false, std::memory_order_relaxed);
    }
    return true;
  }
  bool exhausted = file->GetLastErrorCode() == platform::kErrorTooManyOpenFiles;
  if (exhausted && !out_of_handles_.exchange(true) && exhaustion_hook_ != nullptr) {
    exhaustion_hook_(os_path);
  }
  return false;
}

FilesCache::OpenHandle* FilesCache::Acquire(int64_t id, Purpose purpose, Epoch* epoch) {
  uint64_t checked = file_changes_.load(std::memory_order_acquire);
  LockId(id, __LINE__);
  OsfsInfo info;
  if (!ReadInfo(id, &info)) {
    UnlockId(id);
    return nullptr;
  }
  auto tell = [epoch, checked, &info](uint32_t generation) {
    if (epoch != nullptr) *epoch = {true, generation, info.version, checked};
  };
  OpenHandle* kept = TakeOpen(id);
  if (kept != nullptr) {
    tell(kept->generation);
    return kept;
  }
  if (purpose == kForReading && info.created != 0) {
    UnlockId(id);  // nothing on disk yet
    tell(info.generation);
    return nullptr;
  }
  OpenHandle* handle = HeapNew<OpenHandle>();
  handle->id = id;
  handle->held = true;
  if (OpenOsFile(&handle->file, info.path, info.created != 0 ? kMakeMode : kExistingMode)) {
    handle->generation = CheckIdentity(handle, info);
    tell(handle->generation);
    return handle;
  }
  CString message;
  message.Format(info.created != 0 ? "cannot create file:%s\r\n" : "cannot open file:%s\r\n",
                 info.path);
  message += " ";
  message += handle->file.GetErrorText();
  HeapDelete(handle);
  UnlockId(id);
  ErrorTraceWithStack(message);
  return nullptr;
}

// The created flag goes with the first open; the identity is kept from it. Another identity
// than the kept one is another file put in this one's place: a new generation, with the new
// file's length. Holding the id lock, nobody else moves the generation meanwhile. Only then
// are the file's times asked for: on some file systems that ask makes the next write's
// fsync write the inode as well.
uint32_t FilesCache::CheckIdentity(OpenHandle* handle, const OsfsInfo& info) {
  platform::FileId now;
  bool identified = handle->file.GetIdentity(&now);
  bool replaced = identified && info.identified != 0 && !(info.identity == now);
  if (info.created == 0 && !replaced && (info.identified != 0 || !identified)) {
    return info.generation;
  }
  platform::FileStamp stamp;
  bool stamped = identified && handle->file.GetStamp(&stamp);
  int64_t on_disk = replaced ? handle->file.GetLength() : -1;
  uint32_t generation = info.generation;
  UpdateInfo(handle->id, [&](OsfsInfo& record) {
    record.created = 0;
    if (identified) {
      record.identity = now;
      record.identified = 1;
    }
    if (stamped) {
      record.stamp = stamp;
      record.stamped = 1;
    }
    if (replaced) {
      ++record.generation;
      if (on_disk >= 0) record.length = on_disk;
    }
    generation = record.generation;
    return true;
  });
  if (replaced) file_changes_.fetch_add(1, std::memory_order_release);
  return generation;
}

FilesCache::Epoch FilesCache::EpochOf(int64_t id) {
  Epoch epoch;
  epoch.known = true;
  epoch.checked = file_changes_.load(std::memory_order_acquire);
  OsfsInfo info;
  if (ReadInfo(id, &info)) {
    epoch.generation = info.generation;
    epoch.version = info.version;
  }
  return epoch;
}

void FilesCache::Release(OpenHandle* handle) {
  int64_t id = handle->id;
  {
    ScopedLock hold(handle_lock_, kUnit, __LINE__);
    handle->held = false;
    Park(handle);
  }
  UnlockId(id);
}

FilesCache::OpenHandle* FilesCache::TakeOpen(int64_t id) {
  auto of_id = [id](const OpenHandle* handle) { return handle->id == id; };
  ScopedLock hold(handle_lock_, kUnit, __LINE__);
  OpenHandle* handle = nullptr;
  if (auto idle = std::find_if(idle_.begin(), idle_.end(), of_id); idle != idle_.end()) {
    handle = *idle;
    idle_.erase(idle);
  } else if (auto flushed = std::find_if(flushing_.begin(), flushing_.end(), of_id);
             flushed != flushing_.end()) {
    handle = *flushed;
  }
  if (handle != nullptr) handle->held = true;
  return handle;
}

void FilesCache::StartFlush(OpenHandle* handle) {
  ScopedLock hold(handle_lock_, kUnit, __LINE__);
  if (handle->flushers++ == 0) flushing_.push_back(handle);
}

void FilesCache::EndFlush(OpenHandle* handle) {
  ScopedLock hold(handle_lock_, kUnit, __LINE__);
  FATAL_CHECK(handle->flushers > 0);
  if (--handle->flushers == 0) std::erase(flushing_, handle);
  Park(handle);
}

// The surplus is closed before the handle lock goes: an acquire that finds no handle of its
// file then opens it, which a handle still open would make fail (no sharing on Windows).
void FilesCache::Park(OpenHandle* handle) {
  if (handle->held || handle->flushers > 0) return;
  idle_.push_front(handle);
  if (static_cast<int32_t>(idle_.size()) <= max_idle_handles_) return;
  HeapDelete(idle_.back());  // closes its file; an idle entry belongs to no thread
  idle_.pop_back();
}

bool FilesCache::CloseHandle(int64_t id) {
  auto flushed = [this, id] {
    ScopedLock hold(handle_lock_, kUnit, __LINE__);
    return std::any_of(flushing_.begin(), flushing_.end(),
                       [id](const OpenHandle* handle) { return handle->id == id; });
  };
  while (flushed()) JThread::Sleep(1);  // an fsync: milliseconds
  OpenHandle* handle = TakeOpen(id);
  HeapDelete(handle);
  return handle != nullptr;
}

void FilesCache::NoteLostWrite(int64_t id) {
  OsfsInfo info;
  if (!ReadInfo(id, &info)) return;  // removed: nobody will ask
  ScopedLock hold(handle_lock_, kUnit, __LINE__);
  if (std::find(lost_writes_.begin(), lost_writes_.end(), id) == lost_writes_.end()) {
    lost_writes_.push_back(id);
  }
}

bool FilesCache::TakeLostWrite(int64_t id) {
  ScopedLock hold(handle_lock_, kUnit, __LINE__);
  auto found = std::find(lost_writes_.begin(), lost_writes_.end(), id);
  if (found == lost_writes_.end()) return false;
  lost_writes_.erase(found);
  return true;
}

// ---- CachedFile ----

CachedFile::CachedFile(FilesCache* cache) : cache_(cache) {
  FATAL_CHECK(cache != nullptr);
}

int CachedFile::Open(const char* path, unsigned mode) {
  id_ = cache_->Lookup(path, (mode & kModeCreate) != 0);
  position_ = 0;
  length_ = 0;
  if (id_ <= 0) {
    id_ = 0;
    return 0;
  }
  path_ = NormalizePath(path);
  length_ = cache_->LengthById(id_);
  return 1;
}

int CachedFile::Close() {
  return 1;
}

int64_t CachedFile::Read(void* buffer, int64_t count) {
  if (!IsOpen()) return -1;
  FATAL_CHECK(count >= 0 && (buffer != nullptr || count == 0));
  int64_t wanted = std::min(count, length_ - position_);
  int64_t done = 0;
  while (done < wanted) {
    int32_t piece = static_cast<int32_t>(std::min<int64_t>(wanted - done, INT32_MAX));
    int32_t got = cache_->ReadById(id_, position_, static_cast<char*>(buffer) + done, piece);
    position_ += got;
    done += got;
    if (got < piece) break;
  }
  return done;
}

int64_t CachedFile::Write(const void* buffer, int64_t count) {
  if (!IsOpen()) return -1;
  FATAL_CHECK(count >= 0 && (buffer != nullptr || count == 0));
  int64_t done = 0;
  while (done < count) {
    int32_t piece = static_cast<int32_t>(std::min<int64_t>(count - done, INT32_MAX));
    int32_t put = cache_->WriteById(id_, position_, static_cast<const char*>(buffer) + done, piece);
    position_ += put;
    done += put;
    if (put < piece) break;
  }
  length_ = std::max(length_, position_);
  return done;
}

int64_t CachedFile::Seek(int64_t offset, SeekFrom from) {
  if (!IsOpen()) return -1;
  int64_t base = from == kBegin ? 0 : from == kCurrent ? position_ : length_;
  if (from == kEnd) offset = offset == INT64_MIN ? INT64_MAX : -offset;
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target)) target = offset < 0 ? 0 : length_;
  position_ = std::clamp<int64_t>(target, 0, length_);
  return position_;
}

int64_t CachedFile::GetLength() {
  return IsOpen() ? length_ : -1;
}

int CachedFile::Flush() {
  if (!IsOpen()) return 0;
  return cache_->FlushFile(id_) ? 1 : 0;
}

const CString& CachedFile::GetFilePath() const {
  return path_;
}
