// The files cache against models: random reads, writes (gaps beyond the end included),
// lengths, creates, flushes, removes and renames through an 8-block cache that evicts all
// the time, compared with in-memory files and the OS files; lengths learnt late, files
// replaced behind it, paths it refuses, idle handles, a B+ tree in a CachedFile, and threads
// on distinct files, on one file, and on renames and removes of shared names.
#include "store/filescache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "store/btree.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr int32_t kBlock = 512;
constexpr int64_t kEightBlocks = 8 * kBlock;

// A cache opened on a fresh directory, which also holds the test's files.
struct OpenCache {
  explicit OpenCache(int64_t bytes = kEightBlocks, int32_t block = kBlock, int32_t idle = 0)
      : cache(bytes, block, idle, 1000, 8) {
    EXPECT_TRUE(cache.Open(dir.path().c_str(), "pellary_"));
  }
  std::string operator/(const std::string& name) const { return dir / name; }

  TempDir dir;  // before the cache: it outlives it
  FilesCache cache;
};

// The whole file as the cache sees it, read in pieces that straddle blocks.
std::string ReadThrough(FilesCache& cache, const std::string& path) {
  int64_t length = cache.GetLength(path.c_str());
  std::string bytes(static_cast<size_t>(length), '\0');
  int64_t done = 0;
  while (done < length) {
    int32_t piece = static_cast<int32_t>(std::min<int64_t>(700, length - done));
    int32_t got = cache.Read(path.c_str(), done, bytes.data() + done, piece);
    EXPECT_EQ(got, piece) << path << " at " << done;
    if (got <= 0) break;
    done += got;
  }
  return bytes;
}

std::string Letters(std::mt19937& random, size_t size) {
  std::string bytes(size, '\0');
  for (char& ch : bytes) ch = static_cast<char>('a' + random() % 26);
  return bytes;
}

// Applies a write to an in-memory file: a gap before it becomes zeros.
void ModelWrite(std::string* file, int64_t offset, const std::string& bytes) {
  size_t end = static_cast<size_t>(offset) + bytes.size();
  if (file->size() < end) file->resize(end, '\0');
  file->replace(static_cast<size_t>(offset), bytes.size(), bytes);
}

int OpenDescriptors() {
  int count = platform::OpenHandleCount();
  EXPECT_GE(count, 0);
  return count;
}

TEST(FilesCache, SizesItsPoolAndPartitionsAndOwnsItsIndexFiles) {
  // Partitions: at most 256, never more than blocks (the largest prime is LargestPrimeAtMost's).
  FilesCache standard(int64_t{20} << 20, 4096, 0, 1000, 8);
  EXPECT_EQ(standard.block_count(), 5120);
  EXPECT_EQ(standard.partition_count(), 251);
  FilesCache tiny(1000, 4096, 0, 1000, 8);  // raised to the minimum
  EXPECT_EQ(tiny.cache_bytes(), 8 * 4096);
  EXPECT_EQ(tiny.partition_count(), 7);
  // A profile's size shifted past 31 bits comes out negative: the minimum, too.
  EXPECT_EQ(FilesCache(int64_t{INT32_MIN}, 4096, 0, 1000, 8).block_count(), 8);
  EXPECT_EQ(FilesCache(2 * 64, 64, 0, 1000, 1).partition_count(), 2);

  TempDir dir;
  std::string path_index = dir / "pellary_osfspath.idx";
  std::string info_index = dir / "pellary_osfsinfo.idx";
  {
    FilesCache cache(kEightBlocks, kBlock, 0, 1000, 8);
    ASSERT_TRUE(cache.Open((dir.path() + "/").c_str(), "pellary_"));
    EXPECT_TRUE(fs::exists(path_index));
    EXPECT_TRUE(fs::exists(info_index));
    EXPECT_EQ(std::string(cache.path_index_file()),
              JoinPath(dir.path().c_str(), "pellary_osfspath.idx").GetString());
  }
  EXPECT_FALSE(fs::exists(path_index));
  EXPECT_FALSE(fs::exists(info_index));

  FilesCache nowhere(kEightBlocks, kBlock, 0, 1000, 8);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(nowhere.Open((dir / "missing").c_str(), "pellary_"));
  testing::internal::GetCapturedStdout();
}

TEST(FilesCache, PathHelpersUseBackslashes) {
  EXPECT_EQ(std::string(NormalizePath("c:/a\\b/c")), "c:\\a\\b\\c");
  EXPECT_EQ(std::string(JoinPath("c:\\temp", "x.idx")), "c:\\temp\\x.idx");
  EXPECT_EQ(std::string(JoinPath("c:/temp/", "a/b")), "c:\\temp\\a\\b");
  EXPECT_EQ(std::string(JoinPath("d:\\", "x")), "d:\\x");
  EXPECT_EQ(std::string(JoinPath("", "x")), "x");
}

// The model run: four names, two on disk at the start. Every step is checked against the
// in-memory files; every flush against the OS files. With 8 blocks of 512 bytes and files
// of up to 24 blocks, nearly every step evicts and writes back.
class ModelRun {
 public:
  static constexpr int64_t kMaxLength = 24 * kBlock;

  explicit ModelRun(OpenCache& fixture) : cache_(fixture.cache) {
    for (int i = 0; i < 4; ++i) names_.push_back(fixture / ("f" + std::to_string(i)));
    files_[names_[0]] = Letters(random_, 1500);
    files_[names_[1]] = Letters(random_, 100);
    for (const auto& [name, bytes] : files_) {
      WriteFileBytes(name, bytes);
      EXPECT_GT(cache_.Lookup(name.c_str(), false), 0);
    }
    stranger_ = fixture / "stranger";
    WriteFileBytes(stranger_, "stranger");
  }

  void Step(int step) {
    const std::string& name = Pick();
    int roll = Roll(100);
    if (roll < 35) return Write(name);
    if (roll < 65) return Read(name);
    if (roll < 73) return FlushOne(name);
    if (roll < 76) return FlushEverything();
    if (roll < 82) return Create(name);
    if (roll < 87) return Remove(name);
    if (roll < 95) return Rename(name, Roll(8) == 0 ? stranger_ : Pick());
    EXPECT_EQ(cache_.GetLength(name.c_str()), Length(name)) << "step " << step;
  }

  void ExpectSame(const std::string& name) {
    EXPECT_EQ(cache_.GetLength(name.c_str()), Length(name)) << name;
    EXPECT_EQ(ReadThrough(cache_, name), Content(name)) << name;
  }
  void ExpectAllSame() {
    for (const std::string& name : names_) ExpectSame(name);
  }
  void ExpectOnDisk(const std::string& name) {
    if (files_.count(name) == 0) {
      EXPECT_FALSE(fs::exists(name)) << name;
    } else {
      EXPECT_EQ(ReadFileBytes(name), Content(name)) << name;
    }
  }
  void ExpectAllOnDisk() {
    for (const std::string& name : names_) ExpectOnDisk(name);
    EXPECT_EQ(ReadFileBytes(stranger_), "stranger") << "an OS file the cache never knew";
  }

  const std::string& last() const { return last_; }
  const std::string& other() const { return other_; }
  int gaps() const { return gaps_; }

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
    last_ = other_ = name;
    int64_t length = Length(name);
    int64_t size = 1 + Roll(3 * kBlock);
    int64_t offset = std::min(Roll(length + 3 * kBlock + 1), kMaxLength - size);
    std::string bytes = Letters(random_, static_cast<size_t>(size));
    int32_t expected = files_.count(name) ? static_cast<int32_t>(size) : 0;
    ASSERT_EQ(cache_.Write(name.c_str(), offset, bytes.data(), static_cast<int32_t>(size)),
              expected);
    if (expected == 0) return;
    if (offset > length) ++gaps_;
    ModelWrite(&files_[name], offset, bytes);
  }

  void Read(const std::string& name) {
    last_ = other_ = name;
    int64_t length = Length(name);
    int64_t offset = Roll(length + kBlock + 1);
    int32_t size = static_cast<int32_t>(Roll(3 * kBlock));
    std::string bytes(static_cast<size_t>(size), '#');
    int32_t expected = static_cast<int32_t>(std::clamp<int64_t>(length - offset, 0, size));
    ASSERT_EQ(cache_.Read(name.c_str(), offset, bytes.data(), size), expected);
    EXPECT_EQ(bytes.substr(0, static_cast<size_t>(expected)),
              Content(name).substr(static_cast<size_t>(std::min(offset, length)),
                                   static_cast<size_t>(expected)));
  }

  void FlushOne(const std::string& name) {
    last_ = other_ = name;
    int64_t id = cache_.Lookup(name.c_str(), false);
    ASSERT_EQ(id > 0, files_.count(name) == 1);
    if (id > 0) {
      EXPECT_TRUE(cache_.FlushFile(id));
    }
    ExpectOnDisk(name);
  }

  void FlushEverything() {
    cache_.FlushAll(0);
    ExpectAllOnDisk();
  }

  // A create registers the name without touching the disk (ids grow); the flush puts the
  // empty file on disk, as the disk manager's create does, so that the OS files keep
  // matching the model.
  void Create(const std::string& name) {
    last_ = other_ = name;
    int64_t id = cache_.Lookup(name.c_str(), true);
    ASSERT_EQ(id > 0, files_.count(name) == 0);
    if (id == 0) return;
    EXPECT_GT(id, last_id_);
    last_id_ = id;
    EXPECT_EQ(cache_.GetLength(name.c_str()), 0);
    EXPECT_FALSE(fs::exists(name));
    EXPECT_TRUE(cache_.FlushFile(id));
    files_[name] = "";
  }

  // Also of unknown and absent names; the id of a removed file is dead.
  void Remove(const std::string& name) {
    last_ = other_ = name;
    int64_t id = cache_.Lookup(name.c_str(), false);
    EXPECT_TRUE(cache_.Remove(name.c_str()));
    files_.erase(name);
    EXPECT_FALSE(fs::exists(name));
    EXPECT_FALSE(id > 0 && cache_.FlushFile(id));
  }

  void Rename(const std::string& from, const std::string& to) {
    last_ = from;
    other_ = to == stranger_ ? from : to;  // a look at the stranger would make it known
    bool expected = files_.count(from) == 1 && files_.count(to) == 0 && to != stranger_;
    ASSERT_EQ(cache_.Rename(from.c_str(), to.c_str()), expected) << from << " -> " << to;
    if (!expected) return;
    files_[to] = std::move(files_[from]);
    files_.erase(from);
  }

  FilesCache& cache_;
  std::mt19937 random_{20240611};
  std::vector<std::string> names_;
  std::map<std::string, std::string> files_;
  std::string stranger_;  // on disk, never known to the cache: a rename onto it fails
  std::string last_;
  std::string other_;
  int64_t last_id_ = 0;
  int gaps_ = 0;
};

TEST(FilesCache, MatchesAModelWhileEvictingAllTheTime) {
  OpenCache fixture;
  ModelRun run(fixture);
  for (int step = 0; step < 1200; ++step) {
    run.Step(step);
    if (testing::Test::HasFatalFailure()) FAIL() << "step " << step;
    run.ExpectSame(run.last());
    if (run.other() != run.last()) run.ExpectSame(run.other());
    if (step % 100 == 0) run.ExpectAllSame();
    if (testing::Test::HasFailure()) FAIL() << "step " << step;
  }
  EXPECT_GT(run.gaps(), 25) << "writes beyond the end must be common";
  fixture.cache.FlushAll(0);
  run.ExpectAllOnDisk();
}

TEST(FilesCache, ALengthIsTheOsFilesAtTheFirstQuestionNotAtTheLookup) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::string asked = fixture / "asked.dat", written = fixture / "written.dat";
  for (const std::string& path : {asked, written}) {
    WriteFileBytes(path, std::string(10, 'a'));
    ASSERT_GT(cache.Lookup(path.c_str(), false), 0);
    WriteFileBytes(path, std::string(100, 'b'));  // another program's change after the lookup
  }
  EXPECT_EQ(cache.GetLength(asked.c_str()), 100);
  WriteFileBytes(asked, std::string(200, 'c'));
  EXPECT_EQ(cache.GetLength(asked.c_str()), 100) << "known from the first question on";
  // A write that ends inside the file leaves the file's own length.
  ASSERT_EQ(cache.Write(written.c_str(), 2, "xyz", 3), 3);
  EXPECT_EQ(cache.GetLength(written.c_str()), 100);
}

// A create over an OS file the cache does not know replaces it at the first write-back.
TEST(FilesCache, ACreateOverAnUnknownFileReplacesItAtTheFirstWriteBack) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::string old = fixture / "old.dat";
  WriteFileBytes(old, "old contents");
  int64_t id = cache.Lookup(old.c_str(), true);
  ASSERT_GT(id, 0);
  EXPECT_EQ(cache.GetLength(old.c_str()), 0);
  char bytes[8];
  EXPECT_EQ(cache.Read(old.c_str(), 0, bytes, 8), 0);
  ASSERT_EQ(cache.Write(old.c_str(), 0, "new", 3), 3);
  EXPECT_EQ(cache.GetLength(old.c_str()), 3);
  EXPECT_EQ(ReadFileBytes(old), "old contents");
  ASSERT_TRUE(cache.FlushFile(id));
  EXPECT_EQ(ReadFileBytes(old), "new");
}

TEST(FilesCache, RefusesPathsItCannotKeepApart) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::string prefix = fixture.dir.path() + "/";
  ASSERT_LT(prefix.size(), 200u);
  std::string longest = prefix + std::string(249 - prefix.size(), 'n');
  ASSERT_EQ(longest.size(), 249u);
  ASSERT_GT(cache.Lookup(longest.c_str(), true), 0);
  ASSERT_EQ(cache.Write(longest.c_str(), 0, "fits", 4), 4);
  EXPECT_EQ(ReadThrough(cache, longest), "fits");

  // Two paths that agree in their first 249 characters must never become one file.
  std::string one = longest + "1";
  std::string two = longest + "2";
  WriteFileBytes(one, "one");
  for (bool create : {false, true}) {
    platform::SetLastError(0);
    EXPECT_EQ(cache.Lookup(one.c_str(), create), 0);
    EXPECT_EQ(platform::LastError(), platform::kErrorFilenameTooLong);
  }
  EXPECT_EQ(cache.Write(two.c_str(), 0, "two", 3), 0);
  EXPECT_EQ(cache.GetLength(one.c_str()), 0);
  EXPECT_FALSE(cache.Rename(longest.c_str(), two.c_str()));
  EXPECT_EQ(platform::LastError(), platform::kErrorFilenameTooLong);
  EXPECT_EQ(ReadThrough(cache, longest), "fits");
  EXPECT_EQ(ReadFileBytes(one), "one");
  // No long path is ever in the index, so removing one only deletes the OS file.
  EXPECT_TRUE(cache.Remove(one.c_str()));
  EXPECT_FALSE(fs::exists(one));
  EXPECT_TRUE(cache.Remove(""));
  EXPECT_EQ(ReadThrough(cache, longest), "fits");

  char bytes[4];
  for (bool create : {false, true}) {
    // Only a lookup that would open the file says what the open would have said.
    testing::internal::CaptureStdout();
    EXPECT_EQ(cache.Lookup("", create), 0);
    EXPECT_EQ(cache.Lookup(fixture.dir.path().c_str(), create), 0) << "a directory";
    EXPECT_EQ(cache.Lookup(prefix.c_str(), create), 0) << "a directory with its separator";
    std::string dir = NormalizePath(fixture.dir.path().c_str()).GetString();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              create ? ""
                     : "error path not found : \nerror access denied :" + dir +
                           " \nerror access denied :" + dir + "\\ \n");
  }
  EXPECT_EQ(cache.Read("", 0, bytes, 4), 0);
  EXPECT_EQ(cache.Write(fixture.dir.path().c_str(), 0, "dir!", 4), 0);
  EXPECT_TRUE(fs::is_directory(fixture.dir.path()));

  // Spellings that resolve alike (the platform decides which) and both separators name one
  // file, which a write through one shows through the other.
  std::string slashed = prefix + "s.dat";
  std::string backslashed = fixture.dir.path() + "\\sub\\..\\s.dat";
  int64_t id = cache.Lookup(slashed.c_str(), true);
  ASSERT_GT(id, 0);
  EXPECT_EQ(cache.Lookup(backslashed.c_str(), false), id);
  ASSERT_EQ(cache.Write(backslashed.c_str(), 0, "one", 3), 3);
  EXPECT_EQ(ReadThrough(cache, slashed), "one");
}

// A write reaches the disk with the bytes it changed and none else of their block: not the
// cached bytes of a part that another program changed since, nor those of a part that a write
// through another spelling changed, nor those between two writes into one block.
TEST(FilesCache, WriteBackWritesOnlyTheBytesThatWritesChanged) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::string path = fixture / "shared.dat";
  std::string other = fixture.dir.path() + "/./shared.dat";
  std::string disk(2 * kBlock, '.');
  WriteFileBytes(path, disk);
  auto change_on_disk = [&](int64_t offset, const std::string& bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(offset);
    file << bytes;
    disk.replace(static_cast<size_t>(offset), bytes.size(), bytes);
  };
  auto write_and_flush = [&](const std::string& spelling, int64_t offset,
                             const std::string& bytes) {
    ASSERT_EQ(
        cache.Write(spelling.c_str(), offset, bytes.data(), static_cast<int32_t>(bytes.size())),
        static_cast<int32_t>(bytes.size()));
    ASSERT_TRUE(cache.FlushFile(cache.Lookup(spelling.c_str(), false)));
    disk.replace(static_cast<size_t>(offset), bytes.size(), bytes);
  };
  char byte;
  ASSERT_EQ(cache.Read(path.c_str(), 0, &byte, 1), 1);  // block 0 in the cache
  ASSERT_EQ(cache.Read(other.c_str(), 0, &byte, 1), 1);
  change_on_disk(100, std::string(100, 'P'));
  write_and_flush(path, 0, "0123456789");
  EXPECT_EQ(ReadFileBytes(path), disk) << "another program's change undone";
  write_and_flush(path, 200, "path......");
  write_and_flush(other, 300, "other.....");
  EXPECT_EQ(ReadFileBytes(path), disk) << "a write through another spelling undone";

  ASSERT_EQ(cache.Read(path.c_str(), kBlock, &byte, 1), 1);  // block 1 in the cache
  change_on_disk(kBlock + 100, std::string(100, 'Q'));
  ASSERT_EQ(cache.Write(path.c_str(), kBlock, "first", 5), 5);
  ASSERT_EQ(cache.Write(path.c_str(), kBlock + 300, "second", 6), 6);
  disk.replace(kBlock, 5, "first");
  disk.replace(kBlock + 300, 6, "second");
  ASSERT_TRUE(cache.FlushFile(cache.Lookup(path.c_str(), false)));
  EXPECT_EQ(ReadFileBytes(path), disk) << "the bytes between two writes were written";
}

// Another file put in a file's place behind the cache's back (a rename over it) is met at the
// next open the cache makes for the file: what the cache holds of the old file is neither
// served nor written into the new one, and the length is the new file's.
TEST(FilesCache, AFileReplacedBehindTheCacheIsTakenAfresh) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::string path = fixture / "replaced.dat";
  std::string replacement = fixture / "replacement.dat";
  WriteFileBytes(path, std::string(2 * kBlock, 'o'));
  int64_t id = cache.Lookup(path.c_str(), false);
  char byte;
  ASSERT_EQ(cache.Read(path.c_str(), 0, &byte, 1), 1);  // block 0 of the old file is cached
  std::string fresh = std::string(kBlock, 'n') + std::string(kBlock, 'm') + "tail";
  WriteFileBytes(replacement, fresh);
  fs::rename(replacement, path);
  ASSERT_EQ(cache.Read(path.c_str(), kBlock, &byte, 1), 1);  // an open: the new file
  EXPECT_EQ(byte, 'm');
  EXPECT_EQ(cache.GetLength(path.c_str()), static_cast<int64_t>(fresh.size()));
  EXPECT_EQ(ReadThrough(cache, path), fresh);

  // Written but not flushed when the file is replaced: lost, and the flush says so.
  ASSERT_EQ(cache.Write(path.c_str(), 10, "WRITTEN", 7), 7);
  WriteFileBytes(replacement, "third");
  fs::rename(replacement, path);
  EXPECT_FALSE(cache.FlushFile(id));
  EXPECT_EQ(ReadFileBytes(path), "third");
  EXPECT_EQ(ReadThrough(cache, path), "third");
}

// The directory the filter below refuses, as ResolvePath gives it.
std::string g_fenced;
bool OutsideTheFence(const char* resolved) {
  return !platform::PathIsWithin(resolved, g_fenced);
}

// The filter is asked about every path as resolved for its use, also through a link: a path it
// refuses is neither looked up, read, written, removed nor renamed.
TEST(FilesCache, APathTheFilterRefusesIsLeftAlone) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  fs::create_directory(fixture / "fenced");
  ASSERT_TRUE(platform::ResolvePath((fixture / "fenced").c_str(), &g_fenced));
  cache.SetPathFilter(OutsideTheFence);
  std::string inside = fixture / "in.dat";
  std::string fenced = fixture / "fenced/out.dat";
  WriteFileBytes(inside, "in");
  WriteFileBytes(fenced, "out");
  std::vector<std::string> refused = {fenced, fixture / "fenced/../fenced/out.dat"};
  std::error_code no_links;
  fs::create_symlink(fenced, fixture / "to-fenced", no_links);
  if (!no_links) refused.push_back(fixture / "to-fenced");
  for (const std::string& path : refused) {
    platform::SetLastError(0);
    EXPECT_EQ(cache.Lookup(path.c_str(), false), 0) << path;
    EXPECT_EQ(platform::LastError(), platform::kErrorAccessDenied) << path;
    EXPECT_EQ(cache.Write(path.c_str(), 0, "X", 1), 0) << path;
    EXPECT_EQ(cache.GetLength(path.c_str()), 0) << path;
  }
  EXPECT_FALSE(cache.Remove(fenced.c_str()));
  EXPECT_FALSE(cache.Rename(fenced.c_str(), (fixture / "taken.dat").c_str()));
  EXPECT_FALSE(cache.Rename(inside.c_str(), (fixture / "fenced/in.dat").c_str()));
  EXPECT_EQ(ReadFileBytes(fenced), "out");
  EXPECT_EQ(ReadThrough(cache, inside), "in");
  EXPECT_FALSE(fs::exists(fixture / "fenced/in.dat"));
  CString made;
  EXPECT_FALSE(cache.ResolveName((fixture / "fenced/new.dat").c_str(), &made));
  EXPECT_TRUE(cache.ResolveName((fixture / "new.dat").c_str(), &made));
}

// Reads and writes through a link reach its file, as one file with it; remove and rename work
// on the link itself, as the OS calls do, and never on the file it leads to.
TEST(FilesCache, ALinkIsItsFileForContentsAndItselfForRemoveAndRename) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::string target = fixture / "target.dat";
  std::string link = fixture / "link";
  std::string moved = fixture / "moved-link";
  WriteFileBytes(target, "target");
  std::error_code no_links;
  fs::create_symlink(target, link, no_links);
  if (no_links) GTEST_SKIP() << "symbolic links cannot be made here";
  int64_t id = cache.Lookup(target.c_str(), false);
  EXPECT_EQ(cache.Lookup(link.c_str(), false), id);
  ASSERT_EQ(cache.Write(link.c_str(), 0, "T", 1), 1);
  ASSERT_TRUE(cache.FlushFile(id));
  EXPECT_EQ(ReadFileBytes(target), "Target");
  EXPECT_TRUE(cache.Rename(link.c_str(), moved.c_str()));
  EXPECT_TRUE(fs::is_symlink(moved));
  EXPECT_TRUE(cache.Remove(moved.c_str()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(moved)));
  EXPECT_EQ(cache.Lookup(target.c_str(), false), id);
  EXPECT_EQ(ReadThrough(cache, target), "Target");
}

TEST(FilesCache, KeepsIdleHandlesUpToItsMaximum) {
  for (int32_t idle : {0, 2}) {
    OpenCache fixture(kEightBlocks, kBlock, idle);
    FilesCache& cache = fixture.cache;
    std::vector<std::string> paths;
    for (int i = 0; i < 3; ++i) {
      paths.push_back(fixture / ("h" + std::to_string(i)));
      WriteFileBytes(paths.back(), "handle");
    }
    int before = OpenDescriptors();
    char bytes[6];
    for (const std::string& path : paths) ASSERT_EQ(cache.Read(path.c_str(), 0, bytes, 6), 6);
    EXPECT_EQ(OpenDescriptors() - before, idle) << "idle maximum " << idle;
    // The most recent handle is kept; removing its file closes it first.
    EXPECT_TRUE(cache.Remove(paths[2].c_str()));
    EXPECT_EQ(OpenDescriptors() - before, std::max(idle - 1, 0));
    EXPECT_EQ(cache.Write(paths[1].c_str(), 0, "H", 1), 1);
    ASSERT_TRUE(cache.FlushFile(cache.Lookup(paths[1].c_str(), false)));
    if (platform::kWindows && idle > 0) {
      // The handle the cache keeps shares nothing on Windows: no other reader gets in while
      // it is kept. The write-back itself is read in the round without idle handles.
      EXPECT_EQ(ReadFileBytes(paths[1]), "");
    } else {
      EXPECT_EQ(ReadFileBytes(paths[1]), "Handle");
    }
  }
}

TEST(FilesCache, AFailedWriteBackIsReportedByTheFlush) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::string path = fixture / "no-such-dir/x.dat";
  int64_t id = cache.Lookup(path.c_str(), true);
  ASSERT_GT(id, 0);
  ASSERT_EQ(cache.Write(path.c_str(), 0, "lost", 4), 4);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(cache.FlushFile(id));
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("cannot create file:" + std::string(NormalizePath(path.c_str()))),
            std::string::npos)
      << printed;
  cache.set_trace(0);
  EXPECT_EQ(cache.FlushAll(0), 0) << "the block was dropped";
  char back[4] = {'?', '?', '?', '?'};
  ASSERT_EQ(cache.Read(path.c_str(), 0, back, 4), 4);
  EXPECT_EQ(std::string(back, 4), std::string(4, '\0')) << "bytes that never reached the disk";

  // Blocks evicted while their directory is missing are lost even though a later flush,
  // after the directory appeared, writes the rest: that flush must not report success.
  std::string later = fixture / "later/y.dat";
  int64_t other = cache.Lookup(later.c_str(), true);
  ASSERT_GT(other, 0);
  std::string block(kBlock, 'L');
  for (int i = 0; i < 12; ++i) {
    ASSERT_EQ(cache.Write(later.c_str(), int64_t{i} * kBlock, block.data(), kBlock), kBlock);
  }
  fs::create_directory(fixture / "later");
  EXPECT_FALSE(cache.FlushFile(other));
  EXPECT_TRUE(cache.FlushFile(other)) << "reported once";
  EXPECT_EQ(ReadFileBytes(later).substr(0, kBlock), std::string(kBlock, '\0')) << "lost";
}

// A CachedFile as the file of a B+ tree whose pages are far larger than the cache.
TEST(CachedFile, CarriesABTreeThroughTheCache) {
  OpenCache fixture;
  std::string path = fixture / "tree.idx";
  CachedFile file(&fixture.cache);
  EXPECT_EQ(file.Open(path.c_str(), kModeReadWrite), 0) << "missing, no create";
  ASSERT_EQ(file.Open(path.c_str(), kModeCreate | kModeReadWrite), 1);
  std::vector<int64_t> keys(1500);
  for (size_t i = 0; i < keys.size(); ++i) keys[i] = static_cast<int64_t>(i) * 7919 - 5000000;
  std::shuffle(keys.begin(), keys.end(), std::mt19937(5));
  {
    BTreeFile64 tree(&file, BTreeFile::kCheckReport);
    ASSERT_TRUE(tree.Create(path.c_str(), 8, 8, 16, 4));
    for (int64_t key : keys) {
      uint8_t bytes[8];
      BTreeFile64::EncodeKey(key, bytes);
      ASSERT_FALSE(tree.Insert(bytes, &key, true).IsNone());
    }
    ASSERT_TRUE(tree.Check());
    ASSERT_TRUE(tree.Close());  // saves the header and flushes through the cache
  }
  EXPECT_EQ(file.GetLength(), static_cast<int64_t>(fs::file_size(path)));

  BTreeFile64 reopened;
  ASSERT_TRUE(reopened.Open(path.c_str()));
  EXPECT_TRUE(reopened.Check());
  EXPECT_EQ(reopened.record_count(), 1500);
  for (int64_t key : {keys[0], keys[777], keys[1499]}) {
    uint8_t bytes[8];
    BTreeFile64::EncodeKey(key, bytes);
    int64_t data = 0;
    ASSERT_TRUE(
        reopened.ReadEntry(reopened.Find(bytes, BTreeFile::kFindAny), nullptr, &data, nullptr));
    EXPECT_EQ(data, key);
  }
}

TEST(CachedFile, SeeksAndReadsWithinItsLength) {
  OpenCache fixture;
  std::string path = fixture / "seek.dat";
  WriteFileBytes(path, "0123456789");
  CachedFile file(&fixture.cache);
  EXPECT_EQ(file.Read(nullptr, 0), -1) << "closed";
  ASSERT_EQ(file.Open(path.c_str(), kModeReadWrite), 1);
  EXPECT_EQ(file.Open(path.c_str(), kModeCreate | kModeReadWrite), 0) << "known path";
  ASSERT_EQ(file.Open(path.c_str(), kModeReadWrite), 1);
  EXPECT_EQ(file.GetLength(), 10);
  EXPECT_EQ(file.Seek(3, BaseFile::kEnd), 7) << "counts back from the end";
  char bytes[8] = {};
  EXPECT_EQ(file.Read(bytes, 8), 3);
  EXPECT_EQ(std::string(bytes, 3), "789");
  EXPECT_EQ(file.Seek(-4, BaseFile::kCurrent), 6);
  EXPECT_EQ(file.Seek(INT64_MAX, BaseFile::kCurrent), 10);
  EXPECT_EQ(file.Seek(-1, BaseFile::kBegin), 0);
  EXPECT_EQ(file.Seek(8, BaseFile::kBegin), 8);
  EXPECT_EQ(file.Write("ABCD", 4), 4);
  EXPECT_EQ(file.GetLength(), 12);
  EXPECT_EQ(file.position(), 12);
  EXPECT_EQ(file.Flush(), 1);
  EXPECT_EQ(ReadFileBytes(path), "01234567ABCD");
}

// Eight threads, each on its own file against its own model, sharing 8 blocks.
TEST(FilesCacheThreads, DistinctFilesMatchTheirModels) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&cache, &fixture, t] {
      std::string path = fixture / ("t" + std::to_string(t));
      std::mt19937 random(100 + t);
      std::string model;
      int64_t id = cache.Lookup(path.c_str(), true);
      ASSERT_GT(id, 0);
      for (int op = 0; op < 300; ++op) {
        int64_t offset = random() % (model.size() + 2 * kBlock + 1);
        if (offset > 12 * kBlock) offset = random() % (12 * kBlock);
        std::string bytes = Letters(random, 1 + random() % (2 * kBlock));
        ASSERT_EQ(cache.WriteById(id, offset, bytes.data(), static_cast<int32_t>(bytes.size())),
                  static_cast<int32_t>(bytes.size()));
        ModelWrite(&model, offset, bytes);
        if (op % 3 == 0) {
          ASSERT_EQ(ReadThrough(cache, path), model) << "thread " << t;
        }
        if (op % 25 == 0) {
          ASSERT_TRUE(cache.FlushFile(id));
          ASSERT_EQ(ReadFileBytes(path), model) << "thread " << t;
        }
      }
      ASSERT_TRUE(cache.FlushFile(id));
      ASSERT_EQ(ReadFileBytes(path), model);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

// Writers put whole blocks of their own byte into one file while readers, a flusher and the
// cache's eviction run: every block a reader sees, and every block on disk at the end, holds
// one byte value.
TEST(FilesCacheThreads, OneSharedFileNeverShowsATornBlock) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  constexpr int kBlocks = 32;
  std::string path = fixture / "shared.dat";
  WriteFileBytes(path, std::string(kBlocks * kBlock, '.'));
  int64_t id = cache.Lookup(path.c_str(), false);
  ASSERT_GT(id, 0);
  auto uniform = [](const char* bytes, int64_t size) {
    for (int64_t at = 0; at < size; at += kBlock) {
      if (std::count(bytes + at, bytes + at + kBlock, bytes[at]) != kBlock) return false;
    }
    return true;
  };
  std::atomic<int> torn{0};
  std::atomic<bool> writing{true};
  std::vector<std::thread> threads;
  for (int w = 0; w < 4; ++w) {
    threads.emplace_back([&, w] {
      std::mt19937 random(7 + w);
      for (int op = 0; op < 300; ++op) {
        int count = 1 + static_cast<int>(random() % 3);
        int first = static_cast<int>(random() % (kBlocks - count + 1));
        std::string bytes(static_cast<size_t>(count * kBlock), static_cast<char>('A' + w));
        cache.WriteById(id, int64_t{first} * kBlock, bytes.data(), count * kBlock);
      }
    });
  }
  for (int r = 0; r < 3; ++r) {
    threads.emplace_back([&, r] {
      std::mt19937 random(70 + r);
      std::vector<char> bytes(4 * kBlock);
      while (writing.load()) {
        int count = 1 + static_cast<int>(random() % 4);
        int first = static_cast<int>(random() % (kBlocks - count + 1));
        int32_t got = cache.ReadById(id, int64_t{first} * kBlock, bytes.data(), count * kBlock);
        if (got != count * kBlock || !uniform(bytes.data(), got)) ++torn;
      }
    });
  }
  // The OS file is checked only at the end: a plain read may see a write-back half done.
  threads.emplace_back([&] {
    while (writing.load()) {
      cache.FlushFile(id);
      cache.FlushAll(3);
    }
  });
  for (int w = 0; w < 4; ++w) threads[static_cast<size_t>(w)].join();
  writing = false;
  for (size_t i = 4; i < threads.size(); ++i) threads[i].join();
  EXPECT_EQ(torn.load(), 0);
  ASSERT_TRUE(cache.FlushFile(id));
  std::string on_disk = ReadFileBytes(path);
  EXPECT_TRUE(uniform(on_disk.data(), kBlocks * kBlock));
  EXPECT_EQ(ReadThrough(cache, path), on_disk);
}

// Threads create, write, rename and remove six shared names at random. Afterwards every name
// reads through the cache exactly as its OS file holds it, and no thread hung.
TEST(FilesCacheThreads, RenamesRemovesAndWritesOfSharedNamesStayConsistent) {
  OpenCache fixture;
  FilesCache& cache = fixture.cache;
  std::vector<std::string> names;
  for (int i = 0; i < 6; ++i) names.push_back(fixture / ("n" + std::to_string(i)));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(300 + t);
      for (int op = 0; op < 400; ++op) {
        const std::string& name = names[random() % names.size()];
        std::string bytes = Letters(random, 1 + random() % kBlock);
        int64_t offset = random() % (3 * kBlock);
        switch (random() % 6) {
          case 0:
            cache.Lookup(name.c_str(), true);
            break;
          case 1:
          case 2:
            if (cache.Write(name.c_str(), offset, bytes.data(),
                            static_cast<int32_t>(bytes.size())) > 0) {
              cache.FlushFile(cache.Lookup(name.c_str(), false));
            }
            break;
          case 3:
            cache.Rename(name.c_str(), names[random() % names.size()].c_str());
            break;
          case 4:
            cache.Remove(name.c_str());
            break;
          default:
            cache.Read(name.c_str(), offset, bytes.data(), static_cast<int32_t>(bytes.size()));
            break;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  cache.FlushAll(0);
  for (const std::string& name : names) {
    EXPECT_EQ(ReadThrough(cache, name), ReadFileBytes(name)) << name;
    if (cache.Lookup(name.c_str(), false) == 0) {
      EXPECT_FALSE(fs::exists(name)) << name;
    }
  }
}

}  // namespace
