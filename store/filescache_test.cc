#include "store/filescache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "store/btree.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr int32_t kBlock = 512;

struct OpenCache {
  explicit OpenCache(int32_t idle = 0) : cache(8 * kBlock, kBlock, idle, 1000, 8) {
    EXPECT_TRUE(cache.Open(dir.path().c_str(), "pellary_"));
  }
  std::string operator/(const std::string& name) const { return dir / name; }

  TempDir dir;  // before the cache: it outlives it
  FilesCache cache;
};

int32_t Write(FilesCache& cache, const std::string& path, int64_t offset, const std::string& b) {
  return cache.Write(path.c_str(), offset, b.data(), static_cast<int32_t>(b.size()));
}

std::string ReadThrough(FilesCache& cache, const std::string& path) {
  int64_t length = cache.GetLength(path.c_str());
  std::string bytes(static_cast<size_t>(length), '\0');
  for (int64_t done = 0, got = 1; done < length && got > 0; done += got) {
    int32_t piece = static_cast<int32_t>(std::min<int64_t>(700, length - done));
    got = cache.Read(path.c_str(), done, bytes.data() + done, piece);
    EXPECT_EQ(got, piece) << path << " at " << done;
  }
  return bytes;
}

std::string Letters(std::mt19937& random, size_t size) {
  std::string bytes(size, '\0');
  for (char& ch : bytes) ch = static_cast<char>('a' + random() % 26);
  return bytes;
}

void ModelWrite(std::string* file, int64_t offset, const std::string& bytes) {
  size_t end = static_cast<size_t>(offset) + bytes.size();
  if (file->size() < end) file->resize(end, '\0');
  file->replace(static_cast<size_t>(offset), bytes.size(), bytes);
}

TEST(FilesCache, OwnsItsIndexFiles) {
  EXPECT_EQ(FilesCache(int64_t{INT32_MIN}, 4096, 0, 1000, 8).cache_bytes(), 8 * 4096);
  TempDir dir;
  std::string index = dir / "pellary_osfspath.idx";
  {
    FilesCache cache(8 * kBlock, kBlock, 0, 1000, 8);
    ASSERT_TRUE(cache.Open((dir.path() + "/").c_str(), "pellary_"));
    EXPECT_TRUE(fs::exists(index) && fs::exists(dir / "pellary_osfsinfo.idx"));
  }
  EXPECT_FALSE(fs::exists(index));
  EXPECT_FALSE(FilesCache(8 * kBlock, kBlock, 0, 1000, 8).Open((dir / "no").c_str(), "pellary_"));
}

// Four names and a stranger the cache never knows; files of up to 24 blocks: nearly all evict.
class ModelRun {
 public:
  explicit ModelRun(OpenCache& fixture) : cache_(fixture.cache), stranger_(fixture / "stranger") {
    for (int i = 0; i < 4; ++i) names_.push_back(fixture / ("f" + std::to_string(i)));
    files_[names_[0]] = Letters(random_, 1500);
    files_[names_[1]] = Letters(random_, 100);
    for (const auto& [name, bytes] : files_)
      WriteFileBytes(name, bytes);  // the cache meets them late
    WriteFileBytes(stranger_, "stranger");
  }

  int pinned_reads() const { return pinned_reads_; }

  std::vector<std::string> Step() {
    const std::string& name = Pick();
    int roll = static_cast<int>(Roll(100));
    if (roll >= 87) return Rename(name, Roll(8) == 0 ? stranger_ : Pick());
    roll < 35   ? Write(name)
    : roll < 70 ? Read(name)
    : roll < 80 ? Flush(name, roll < 77)
    : roll < 84 ? Create(name)
                : Remove(name);
    return {name};
  }

  void ExpectSame(const std::string& name) {
    EXPECT_EQ(cache_.GetLength(name.c_str()), Length(name)) << name;
    EXPECT_EQ(ReadThrough(cache_, name), Content(name)) << name;
  }
  void ExpectOnDisk(const std::string& name) {
    EXPECT_EQ(fs::exists(name), files_.count(name) == 1) << name;
    EXPECT_EQ(ReadFileBytes(name), Content(name)) << name;
  }
  void ExpectAll(bool on_disk) {
    for (const std::string& name : names_) on_disk ? ExpectOnDisk(name) : ExpectSame(name);
    EXPECT_EQ(ReadFileBytes(stranger_), "stranger");
  }

 private:
  int64_t Roll(int64_t n) { return std::uniform_int_distribution<int64_t>(0, n - 1)(random_); }
  const std::string& Pick() { return names_[static_cast<size_t>(Roll(4))]; }
  std::string Content(const std::string& name) const {
    auto found = files_.find(name);
    return found == files_.end() ? std::string() : found->second;
  }
  int64_t Length(const std::string& name) const {
    return static_cast<int64_t>(Content(name).size());
  }

  void Write(const std::string& name) {
    int64_t size = 1 + Roll(3 * kBlock);
    int64_t offset = std::min(Roll(Length(name) + 3 * kBlock + 1), 24 * kBlock - size);
    std::string bytes = Letters(random_, static_cast<size_t>(size));
    bool known = files_.count(name) == 1;
    ASSERT_EQ(::Write(cache_, name, offset, bytes), known ? size : 0);
    if (!known) return;
    ModelWrite(&files_[name], offset, bytes);
  }

  void Read(const std::string& name) {
    int64_t length = Length(name);
    int64_t offset = Roll(length + kBlock + 1);
    int32_t size = static_cast<int32_t>(Roll(3 * kBlock));
    std::string bytes(static_cast<size_t>(size), '#');
    int32_t expected = static_cast<int32_t>(std::clamp<int64_t>(length - offset, 0, size));
    ASSERT_EQ(cache_.Read(name.c_str(), offset, bytes.data(), size), expected);
    std::string content = Content(name).substr(static_cast<size_t>(std::min(offset, length)),
                                               static_cast<size_t>(expected));
    EXPECT_EQ(bytes.substr(0, static_cast<size_t>(expected)), content);
    // The same range in place: now cached, unless the read came short of it.
    FilesCache::Pinned pinned;
    if (!cache_.PinById(cache_.Lookup(name.c_str(), false), offset, size, &pinned)) return;
    ++pinned_reads_;
    std::string in_place;
    for (int i = 0; i < pinned.count; ++i) {
      in_place.append(reinterpret_cast<const char*>(pinned.bytes[i]),
                      static_cast<size_t>(pinned.lengths[i]));
    }
    cache_.Unpin(&pinned);
    EXPECT_EQ(in_place, content);
  }

  void Flush(const std::string& name, bool one) {
    if (!one) {
      cache_.FlushAll(0);
      ExpectAll(true);
      return;
    }
    int64_t id = cache_.Lookup(name.c_str(), false);
    ASSERT_EQ(id > 0, files_.count(name) == 1);
    EXPECT_EQ(id > 0 && cache_.FlushFile(id), id > 0);
    ExpectOnDisk(name);
  }

  // A create touches the disk only at the flush (ids grow).
  void Create(const std::string& name) {
    int64_t id = cache_.Lookup(name.c_str(), true);
    ASSERT_EQ(id > last_id_, files_.count(name) == 0);
    if (id == 0) return;
    last_id_ = id;
    EXPECT_FALSE(fs::exists(name));
    EXPECT_TRUE(cache_.FlushFile(id));
    files_[name] = "";
  }

  void Remove(const std::string& name) {
    int64_t id = cache_.Lookup(name.c_str(), false);
    EXPECT_TRUE(cache_.Remove(name.c_str()));
    files_.erase(name);
    EXPECT_FALSE(fs::exists(name));
    EXPECT_FALSE(id > 0 && cache_.FlushFile(id));
  }

  std::vector<std::string> Rename(const std::string& from, const std::string& to) {
    bool expected = files_.count(from) == 1 && files_.count(to) == 0 && to != stranger_;
    EXPECT_EQ(cache_.Rename(from.c_str(), to.c_str()), expected) << from << " -> " << to;
    if (expected) files_[to] = std::move(files_[from]), files_.erase(from);
    return to == stranger_ ? std::vector{from} : std::vector{from, to};
  }

  FilesCache& cache_;
  int pinned_reads_ = 0;
  std::mt19937 random_{20240611};
  std::vector<std::string> names_;
  std::map<std::string, std::string> files_;
  std::string stranger_;
  int64_t last_id_ = 0;
};

TEST(FilesCache, MatchesAModelWhileEvictingAllTheTime) {
  OpenCache fixture;
  ModelRun run(fixture);
  for (int step = 0; step < 1200 && !HasFailure(); ++step) {
    for (const std::string& name : run.Step()) run.ExpectSame(name);
    if (step % 100 == 0) run.ExpectAll(false);
    if (HasFailure()) ADD_FAILURE() << "step " << step;
  }
  EXPECT_GT(run.pinned_reads(), 100);
}

// The eight blocks of a file are read in a random order, then the file changes on disk behind
// the cache: exactly the blocks that loads of another file pushed out come back with the new
// bytes, and those are the least recently used.
TEST(FilesCache, EvictsTheLeastRecentlyUsedBlocks) {
  std::mt19937 random(7);
  for (int evicted = 1; evicted < 8; ++evicted) {
    OpenCache fixture;
    FilesCache& cache = fixture.cache;
    std::string kept = fixture / "kept", other = fixture / "other";
    WriteFileBytes(kept, std::string(8 * kBlock, 'o'));
    WriteFileBytes(other, std::string(8 * kBlock, 'x'));
    std::vector<int> order = {0, 1, 2, 3, 4, 5, 6, 7};
    std::shuffle(order.begin(), order.end(), random);
    auto byte_of = [&](const std::string& path, int number) {
      char byte = 0;
      EXPECT_EQ(cache.Read(path.c_str(), int64_t{number} * kBlock, &byte, 1), 1);
      return byte;
    };
    for (int number : order) byte_of(kept, number);
    WriteFileBytes(kept, std::string(8 * kBlock, 'n'));
    for (int number = 0; number < evicted; ++number) byte_of(other, number);
    // Most recent first: the cached blocks are hits, and each miss then pushes out a block of
    // the other file, never one still to be looked at.
    std::string seen(8, '?'), expected(8, 'o');
    for (int i = 7; i >= 0; --i) seen[order[i]] = byte_of(kept, order[i]);
    for (int i = 0; i < evicted; ++i) expected[order[i]] = 'n';
    EXPECT_EQ(seen, expected) << evicted << " evicted";
  }
}

// Length from the first question; a file replaced behind the cache is taken at the next open.
TEST(FilesCache, MeetsTheOsFileLate) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::string asked = fixture / "asked", old = fixture / "old";
  for (const std::string& path : {asked, old}) {
    WriteFileBytes(path, std::string(10, 'a'));
    ASSERT_GT(cache.Lookup(path.c_str(), path == old), 0);
    WriteFileBytes(path, std::string(2 * kBlock, 'b'));
  }
  EXPECT_EQ(cache.GetLength(asked.c_str()), 2 * kBlock);
  WriteFileBytes(asked, "c");
  EXPECT_EQ(cache.GetLength(asked.c_str()), 2 * kBlock) << "known from the first question on";
  ASSERT_EQ(Write(cache, old, 0, "new"), 3);
  EXPECT_EQ(ReadFileBytes(old), std::string(2 * kBlock, 'b'));
  ASSERT_TRUE(cache.FlushFile(cache.Lookup(old.c_str(), false)));
  EXPECT_EQ(ReadFileBytes(old), "new");

  char byte;
  ASSERT_EQ(cache.Read(asked.c_str(), 0, &byte, 1), 1);  // block 0 of "asked" is cached
  std::string fresh = std::string(kBlock, 'n') + "tail";
  WriteFileBytes(fixture / "new", fresh);
  fs::rename(fixture / "new", asked);
  ASSERT_EQ(cache.Read(asked.c_str(), kBlock, &byte, 1), 1);  // an open: the new file
  FilesCache::Pinned pinned;
  bool stale_pinned = cache.PinById(cache.Lookup(asked.c_str(), false), 0, 1, &pinned);
  if (stale_pinned) cache.Unpin(&pinned);
  EXPECT_FALSE(stale_pinned) << "block 0 still holds the replaced file's bytes";
  EXPECT_EQ(ReadThrough(cache, asked), fresh);
  ASSERT_EQ(Write(cache, asked, 10, "WRITTEN"), 7);
  WriteFileBytes(fixture / "new", "third");
  fs::rename(fixture / "new", asked);
  EXPECT_FALSE(cache.FlushFile(cache.Lookup(asked.c_str(), false))) << "lost, and said so";
  EXPECT_EQ(ReadThrough(cache, asked), "third");
}

std::string g_fenced;  // the directory the filter below refuses, as ResolvePath gives it
bool OutsideTheFence(const char* resolved) {
  return !platform::PathIsWithin(resolved, g_fenced);
}

// Paths alike in 249 characters, naming nothing or a directory, or refused by the filter.
TEST(FilesCache, RefusesPathsItCannotKeepApartAndThoseTheFilterRefuses) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::string prefix = fixture.dir.path() + "/";
  std::string longest = prefix + std::string(249 - prefix.size(), 'n');
  ASSERT_EQ(Write(cache, longest, 0, "fits"), 0);
  ASSERT_GT(cache.Lookup(longest.c_str(), true), 0);
  ASSERT_EQ(Write(cache, longest, 0, "fits"), 4);
  std::string one = longest + "1", two = longest + "2";
  WriteFileBytes(one, "one");
  for (bool create : {false, true}) {
    platform::SetLastError(0);
    EXPECT_EQ(cache.Lookup(one.c_str(), create), 0);
    EXPECT_EQ(platform::LastError(), platform::kErrorFilenameTooLong);
    EXPECT_EQ(cache.Lookup(create ? "" : prefix.c_str(), create), 0);
  }
  EXPECT_EQ(Write(cache, two, 0, "two"), 0);
  EXPECT_FALSE(cache.Rename(longest.c_str(), two.c_str()));
  EXPECT_TRUE(cache.Remove(one.c_str()));
  EXPECT_FALSE(fs::exists(one));
  EXPECT_EQ(ReadThrough(cache, longest), "fits");
  fs::create_directory(fixture / "fenced");
  ASSERT_TRUE(platform::ResolvePath((fixture / "fenced").c_str(), &g_fenced));
  cache.SetPathFilter(OutsideTheFence);
  std::string inside = fixture / "in.dat", fenced = fixture / "fenced/../fenced/out.dat";
  WriteFileBytes(inside, "in");
  WriteFileBytes(fenced, "out");
  platform::SetLastError(0);
  EXPECT_EQ(cache.Lookup(fenced.c_str(), false), 0);
  EXPECT_EQ(platform::LastError(), platform::kErrorAccessDenied);
  EXPECT_EQ(Write(cache, fenced, 0, "X"), 0);
  EXPECT_FALSE(cache.Remove(fenced.c_str()));
  EXPECT_FALSE(cache.Rename(inside.c_str(), (fixture / "fenced/in.dat").c_str()));
  EXPECT_EQ(ReadFileBytes(fenced), "out");
  EXPECT_EQ(ReadThrough(cache, inside), "in");
}

// A block that cannot be written back (its directory is missing) is lost: the failure is
// traced when it happens and the file's next flush says so, once.
TEST(FilesCache, ALostWriteIsReportedByTheNextFlushOnce) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::string later = fixture / "later/y.dat";
  int64_t id = cache.Lookup(later.c_str(), true);
  testing::internal::CaptureStdout();
  for (int i = 0; i < 12; ++i) {
    ASSERT_EQ(Write(cache, later, i * kBlock, std::string(kBlock, 'L')), kBlock);
  }
  EXPECT_NE(testing::internal::GetCapturedStdout().find("cannot create file:"), std::string::npos);
  fs::create_directory(fixture / "later");
  EXPECT_FALSE(cache.FlushFile(id));
  EXPECT_TRUE(cache.FlushFile(id)) << "reported once";
  EXPECT_EQ(ReadFileBytes(later).substr(0, kBlock), std::string(kBlock, '\0'));
}

// Another program's write: done when the file's last-write time has moved, however coarse
// the clock the file system stamps with.
void ForeignWrite(const std::string& path, int64_t offset, const std::string& bytes) {
  auto before = fs::last_write_time(path);
  do {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(offset);
    file << bytes;
  } while (fs::last_write_time(path) == before);
}

// With shared files every call sees what another program left on the disk: appended,
// rewritten, truncated, replaced, removed, renamed, also next to our own unflushed bytes;
// without, the cache keeps what it saw first. Both modes write exactly the bytes of a call.
TEST(FilesCache, SharedFilesSeeEveryChangeByAnotherAndWriteOnlyTheirOwnBytes) {
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "shared" : "alone");
    OpenCache fixture;
    FilesCache& cache = fixture.cache;
    cache.SetSharedFiles(shared);
    std::string path = fixture / "f.dat", moved = fixture / "moved.dat", other = fixture / "o";
    ASSERT_GT(cache.Lookup(other.c_str(), true), 0);
    auto ours = [&](int64_t offset, const std::string& bytes, bool flush) {
      ASSERT_EQ(Write(cache, path, offset, bytes), static_cast<int32_t>(bytes.size()));
      if (flush) {
        ASSERT_TRUE(cache.FlushFile(cache.Lookup(path.c_str(), false)));
      }
    };
    // Our bytes across blocks, theirs right around them before the write-back: by a flush's
    // run of blocks in one write, or by evictions.
    auto around = [&](int64_t at, int64_t size, bool evict) {
      std::string bytes(static_cast<size_t>(size), evict ? 'E' : 'O');
      ours(at, bytes, false);
      ForeignWrite(path, at - 6, "theirs");
      ForeignWrite(path, at + size, "after");
      std::string expected = ReadFileBytes(path).replace(at, size, bytes);
      for (int i = 0; evict && i < 16; ++i) {
        ASSERT_EQ(Write(cache, other, i * kBlock, std::string(kBlock, 'o')), kBlock);
      }
      if (!evict) {
        ASSERT_TRUE(cache.FlushFile(cache.Lookup(path.c_str(), false)));
      }
      EXPECT_EQ(ReadFileBytes(path), expected);
    };
    auto replace = [&](const std::string& bytes) {
      WriteFileBytes(fixture / "new", bytes);
      fs::rename(fixture / "new", path);
    };
    const std::vector<std::pair<const char*, std::function<void()>>> steps = {
        {"append", [&] { ForeignWrite(path, 10, std::string(690, 'A')); }},
        {"rewrite", [&] { ForeignWrite(path, 0, "REWRITTEN"); }},
        {"ours, then theirs in the block",
         [&] {
           ours(100, "ours", true);
           ForeignWrite(path, 120, "theirs");
         }},
        {"theirs, then ours in the block",
         [&] {
           ForeignWrite(path, 200, "theirs");
           ours(210, "ours", true);
           EXPECT_EQ(ReadFileBytes(path).substr(200, 14), "theirsAAAAours");
         }},
        {"theirs between our write and its flush",
         [&] {
           ours(300, "unflushed", false);
           ForeignWrite(path, 320, "between");
           std::string expected = ReadFileBytes(path).replace(300, 9, "unflushed");
           if (shared) {
             EXPECT_EQ(ReadThrough(cache, path), expected);
           }
           ASSERT_TRUE(cache.FlushFile(cache.Lookup(path.c_str(), false)));
           EXPECT_EQ(ReadFileBytes(path), expected);
         }},
        {"a run of blocks", [&] { around(400, 700, false); }},
        {"evicted", [&] { around(1300, 900, true); }},
        {"truncate", [&] { fs::resize_file(path, 50); }},
        {"replace", [&] { replace(std::string(600, 'R')); }},
        {"rename", [&] { fs::rename(path, moved); }},
        {"recreate", [&] { replace("again"); }},
        {"remove", [&] { fs::remove(path); }},
    };
    WriteFileBytes(path, std::string(10, 'a'));
    bool stale = false;
    for (const auto& [name, step] : steps) {
      ReadThrough(cache, path);  // what the cache holds before the other's change
      step();
      if (HasFatalFailure()) return;
      bool exists = fs::exists(path);
      std::string disk = exists ? ReadFileBytes(path) : "";
      std::string seen = exists ? ReadThrough(cache, path) : "";
      if (shared) {
        EXPECT_EQ(seen, disk) << name;
        EXPECT_EQ(cache.Lookup(path.c_str(), false) > 0, exists) << name;
      }
      stale = stale || seen != disk;
    }
    EXPECT_EQ(stale, !shared) << "the cache alone keeps what it saw";
    if (shared) {
      EXPECT_EQ(ReadThrough(cache, moved), std::string(600, 'R'));
    }
  }
}

// Contents through a link are its file's; remove and rename work on the link itself.
TEST(FilesCache, ALinkIsItsFileForContentsAndItselfForRemoveAndRename) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::string target = fixture / "target.dat", link = fixture / "link", moved = fixture / "moved";
  WriteFileBytes(target, "target");
  std::error_code no_links;
  fs::create_symlink(target, link, no_links);
  if (no_links) GTEST_SKIP() << "symbolic links cannot be made here";
  int64_t id = cache.Lookup(target.c_str(), false);
  ASSERT_EQ(Write(cache, link, 0, "T"), 1);
  ASSERT_TRUE(cache.FlushFile(id));
  EXPECT_TRUE(cache.Rename(link.c_str(), moved.c_str()));
  EXPECT_TRUE(cache.Remove(moved.c_str()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(moved)));
  EXPECT_EQ(ReadFileBytes(target), "Target");
}

TEST(FilesCache, KeepsIdleHandlesUpToItsMaximum) {
  for (int32_t idle : {0, 2}) {
    OpenCache fixture(idle);
    std::vector<std::string> paths = {fixture / "0", fixture / "1", fixture / "2"};
    for (const std::string& path : paths) WriteFileBytes(path, "h");
    int before = platform::OpenHandleCount();
    for (const std::string& path : paths) EXPECT_EQ(fixture.cache.GetLength(path.c_str()), 1);
    EXPECT_EQ(platform::OpenHandleCount() - before, idle);
    EXPECT_TRUE(fixture.cache.Remove(paths[2].c_str()));
    EXPECT_EQ(platform::OpenHandleCount() - before, std::max(idle - 1, 0));
  }
}

TEST(CachedFile, CarriesABTreeThroughTheCacheAndSeeks) {
  OpenCache fixture;
  std::string path = fixture / "tree.idx";
  CachedFile file(&fixture.cache);
  ASSERT_EQ(file.Open(path.c_str(), kModeCreate | kModeReadWrite), 1);
  BTreeFile64 tree(&file, BTreeFile::kCheckReport);
  ASSERT_TRUE(tree.Create(path.c_str(), 8, 8, 16, 4));
  uint8_t bytes[8];
  for (int64_t key = 0; key < 1500; ++key) {
    BTreeFile64::EncodeKey(key * 7919 % 1500, bytes);
    ASSERT_FALSE(tree.Insert(bytes, &key, true).IsNone());
  }
  ASSERT_TRUE(tree.Close());  // saves the header and flushes through the cache
  {
    BTreeFile64 reopened;  // a plain file, which on Windows shares no writing
    ASSERT_TRUE(reopened.Open(path.c_str()));
    EXPECT_TRUE(reopened.Check() && reopened.record_count() == 1500);
  }

  CachedFile seeker(&fixture.cache);
  ASSERT_EQ(seeker.Open(path.c_str(), kModeReadWrite), 1);
  int64_t length = seeker.GetLength();
  EXPECT_EQ(seeker.Seek(3, BaseFile::kEnd), length - 3) << "counts back from the end";
  EXPECT_EQ(seeker.Seek(INT64_MAX, BaseFile::kCurrent), length);
  EXPECT_EQ(seeker.Seek(length - 1, BaseFile::kBegin), length - 1);
  EXPECT_EQ(seeker.Write("ABCD", 4), 4);
  EXPECT_EQ(seeker.Flush(), 1);
  EXPECT_EQ(ReadFileBytes(path).substr(static_cast<size_t>(length - 1)), "ABCD");
}

// Own files match their models; shared names, renamed and removed, end as their OS files.
TEST(FilesCacheThreads, OwnFilesMatchTheirModelsAndSharedNamesStayConsistent) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&cache, &fixture, t] {
      std::string path = fixture / ("t" + std::to_string(t)), model;
      std::mt19937 random(100 + t);
      int64_t id = cache.Lookup(path.c_str(), true);
      for (int op = 0; op < 300; ++op) {
        int64_t offset = random() % std::min<size_t>(model.size() + 2 * kBlock + 1, 12 * kBlock);
        std::string bytes = Letters(random, 1 + random() % (2 * kBlock));
        ASSERT_EQ(cache.WriteById(id, offset, bytes.data(), static_cast<int32_t>(bytes.size())),
                  static_cast<int32_t>(bytes.size()));
        ModelWrite(&model, offset, bytes);
        ASSERT_TRUE(op % 3 != 0 || ReadThrough(cache, path) == model) << "thread " << t;
        if (op % 25 == 24 || op == 299) {
          ASSERT_TRUE(cache.FlushFile(id));
          ASSERT_EQ(ReadFileBytes(path), model) << "thread " << t;
        }
      }
    });
  }
  std::vector<std::string> names;  // shared: created, written, renamed and removed at random
  for (int i = 0; i < 6; ++i) names.push_back(fixture / ("n" + std::to_string(i)));
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(300 + t);
      for (int op = 0; op < 400; ++op) {
        const std::string& name = names[random() % names.size()];
        std::string bytes = Letters(random, kBlock);
        int64_t offset = random() % (3 * kBlock);
        int roll = static_cast<int>(random() % 6);
        if (roll == 0) cache.Lookup(name.c_str(), true);
        if (roll == 1 && Write(cache, name, offset, bytes) > 0) {
          cache.FlushFile(cache.Lookup(name.c_str(), false));
        }
        if (roll == 2) cache.Rename(name.c_str(), names[random() % names.size()].c_str());
        if (roll == 3) cache.Remove(name.c_str());
        if (roll > 3) cache.Read(name.c_str(), offset, bytes.data(), kBlock);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  cache.FlushAll(0);
  for (const std::string& name : names) {
    EXPECT_EQ(ReadThrough(cache, name), ReadFileBytes(name)) << name;
    EXPECT_TRUE(cache.Lookup(name.c_str(), false) != 0 || !fs::exists(name)) << name;
  }
}

// Every block seen while writers put whole blocks of their own byte, and on disk, is uniform.
// Writers of one file flush at the same time (one flushes while another writes back through
// the handle it shares): after each flush a writer finds its own range on disk as it wrote it.
// On Windows the file is read only at the end: a read's open while the writers run would make
// their opens fail (the cache opens its files sharing nothing).
TEST(FilesCacheThreads, WritersOfOneFileFindTheirBytesOnDiskAfterEachOwnFlush) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::string path = fixture / "striped.dat";
  int64_t id = cache.Lookup(path.c_str(), true);
  constexpr int kWriters = 4;
  constexpr int64_t kRange = 3 * kBlock + 100;  // ranges share blocks with their neighbours
  auto range_on_disk = [&](int t) {
    std::string range = ReadFileBytes(path) + std::string(kWriters * kRange, '\0');
    return range.substr(static_cast<size_t>(t * kRange), kRange);
  };
  std::vector<std::string> mine(kWriters, std::string(kRange, '\0'));
  auto writer = [&](int t) {
    std::mt19937 random(40 + t);
    for (int op = 0; op < 200; ++op) {
      int64_t at = random() % kRange;
      std::string bytes = Letters(random, 1 + random() % static_cast<size_t>(kRange - at));
      ASSERT_EQ(
          cache.WriteById(id, t * kRange + at, bytes.data(), static_cast<int32_t>(bytes.size())),
          static_cast<int32_t>(bytes.size()));
      mine[t].replace(static_cast<size_t>(at), bytes.size(), bytes);
      ASSERT_TRUE(cache.FlushFile(id));
      if (!platform::kWindows) {
        ASSERT_EQ(range_on_disk(t), mine[t]) << t << ", write " << op;
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) threads.emplace_back(writer, t);
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kWriters; ++t) EXPECT_EQ(range_on_disk(t), mine[t]) << t;
}

// A flush lets the file's id lock go during its fsync, but a rename or a remove that comes
// meanwhile must still find the file closed (an open file can be neither renamed nor removed
// on Windows, nor here), not fail or leave the file behind.
TEST(FilesCacheThreads, RenamesAndARemoveGoThroughWhileTheFileIsFlushed) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::string names[2] = {fixture / "a", fixture / "b"};
  int64_t id = cache.Lookup(names[0].c_str(), true);
  ASSERT_EQ(cache.WriteById(id, 0, "x", 1), 1);
  ASSERT_TRUE(cache.FlushFile(id));
  std::atomic<bool> removed{false};
  std::thread writer([&] {
    for (int64_t at = 1; !removed.load(); ++at) {
      cache.WriteById(id, at % (4 * kBlock), "y", 1);
      cache.FlushFile(id);
    }
  });
  for (int turn = 0; turn < 200; ++turn) {
    ASSERT_TRUE(cache.Rename(names[turn % 2].c_str(), names[1 - turn % 2].c_str())) << turn;
  }
  EXPECT_TRUE(cache.Remove(names[0].c_str()));
  removed.store(true);
  writer.join();
  EXPECT_FALSE(fs::exists(names[0]) || fs::exists(names[1]));
}

// Pinned blocks stay as they were pinned until Unpin: a writer of them waits for it. A range of
// more blocks than a pin holds is never pinned, cached or not.
TEST(FilesCacheThreads, APinnedRangeHoldsItsWritersUntilUnpinned) {
  TempDir dir;
  constexpr int kBlocks = FilesCache::Pinned::kMost + 1;
  FilesCache cache(2 * kBlocks * kBlock, kBlock, 0, 1000, 8);
  ASSERT_TRUE(cache.Open(dir.path().c_str(), "pellary_"));
  int64_t id = cache.Lookup((dir / "pinned").c_str(), true);
  std::string before(kBlocks * kBlock, 'a');
  ASSERT_EQ(cache.WriteById(id, 0, before.data(), kBlocks * kBlock), kBlocks * kBlock);
  FilesCache::Pinned pinned;
  EXPECT_FALSE(cache.PinById(id, 0, kBlocks * kBlock, &pinned));
  ASSERT_TRUE(cache.PinById(id, 10, 2 * kBlock - 10, &pinned));
  ASSERT_EQ(pinned.count, 2);
  std::atomic<bool> written{false};
  std::thread writer([&] {
    cache.WriteById(id, kBlock + 5, "b", 1);
    written = true;
  });
  platform::SleepMs(50);
  EXPECT_FALSE(written);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(pinned.bytes[1]), 5), "aaaaa");
  EXPECT_EQ(pinned.lengths[0] + pinned.lengths[1], 2 * kBlock - 10);
  cache.Unpin(&pinned);
  writer.join();
  EXPECT_TRUE(written);
}

TEST(FilesCacheThreads, OneSharedFileNeverShowsATornBlock) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  constexpr int kBlocks = 32;
  std::string path = fixture / "shared.dat";
  WriteFileBytes(path, std::string(kBlocks * kBlock, '.'));
  int64_t id = cache.Lookup(path.c_str(), false);
  auto uniform = [](const char* bytes, int64_t size) {
    for (int64_t at = 0; at < size; at += kBlock)
      if (std::count(bytes + at, bytes + at + kBlock, bytes[at]) != kBlock) return false;
    return true;
  };
  std::atomic<int> torn{0};
  std::atomic<bool> writing{true};
  // Threads 0-3 write, 4-6 read, 7 flushes; the OS file is read only at the end.
  auto work = [&](int t) {
    std::mt19937 random(7 + t);
    std::vector<char> bytes(4 * kBlock, static_cast<char>('A' + t));
    for (int op = 0; t < 4 ? op < 300 : writing.load(); ++op) {
      int32_t size = (1 + static_cast<int32_t>(random() % 4)) * kBlock;
      int64_t at = static_cast<int64_t>(random() % (kBlocks - size / kBlock + 1)) * kBlock;
      if (t < 4) cache.WriteById(id, at, bytes.data(), size);
      if (t >= 4 && t < 7) {
        torn += cache.ReadById(id, at, bytes.data(), size) != size || !uniform(bytes.data(), size);
      }
      if (t == 7) {
        cache.FlushFile(id);
        cache.FlushAll(3);
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back(work, t);
  for (int t = 0; t < 8; ++t) {
    writing = t < 4;
    threads[static_cast<size_t>(t)].join();
  }
  EXPECT_EQ(torn.load(), 0);
  ASSERT_TRUE(cache.FlushFile(id));
  std::string on_disk = ReadFileBytes(path);
  EXPECT_TRUE(uniform(on_disk.data(), kBlocks * kBlock));
  EXPECT_EQ(ReadThrough(cache, path), on_disk);
}

}  // namespace

// A lookup meets the OS file just before a rename moves it away: the index must not keep
// the old name for a file the disk no longer has there.
TEST(FilesCacheThreads, ALookupRacingARenameKeepsNoNameTheDiskLacks) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::string from = fixture / "from", to = fixture / "to";
  int stale = 0;
  for (int round = 0; round < 1000; ++round) {
    WriteFileBytes(from, "x");
    std::atomic<int> ready{0};
    auto start_together = [&ready] {
      ready.fetch_add(1);
      while (ready.load() < 2) std::this_thread::yield();
    };
    std::thread mover([&] {
      start_together();
      cache.Rename(from.c_str(), to.c_str());
    });
    start_together();
    cache.Lookup(from.c_str(), false);
    mover.join();
    if (cache.Lookup(from.c_str(), false) != 0 && !fs::exists(from)) ++stale;
    cache.Remove(to.c_str());
  }
  EXPECT_EQ(stale, 0);
}
