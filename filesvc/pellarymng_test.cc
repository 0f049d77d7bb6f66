// Tests of the disk manager on temporary directories: file operations through the files
// cache, durability of writes, directories, the sweeper's work and schedule, the read-buffer
// pool, and the configuration failures that end the process.
#include "filesvc/pellarymng.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "platform/process.h"
#include "store/fatal_test_helper.h"
#include "store/filescache.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Last written `hours` hours ago.
void Age(const std::string& path, int hours) {
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(hours));
}

std::string Backslashed(std::string path) {
  for (char& ch : path) {
    if (ch == '/') ch = '\\';
  }
  return path;
}

// ASan comes with UBSan in this build (clang announces it through __has_feature).
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PELLARY_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef PELLARY_ADDRESS_SANITIZER
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

#ifndef _WIN32
// While it lives the process cannot open another descriptor: its soft limit is the lowest
// free descriptor number.
class NoNewDescriptors {
 public:
  NoNewDescriptors() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    int lowest_free = dup(0);
    close(lowest_free);
    rlimit none = saved_;
    none.rlim_cur = static_cast<rlim_t>(lowest_free);
    setrlimit(RLIMIT_NOFILE, &none);
  }
  ~NoNewDescriptors() { setrlimit(RLIMIT_NOFILE, &saved_); }
  NoNewDescriptors(const NoNewDescriptors&) = delete;
  NoNewDescriptors& operator=(const NoNewDescriptors&) = delete;

 private:
  rlimit saved_;
};
#endif

// A manager over its own index directory and one file directory.
struct Manager {
  TempDir temp;
  TempDir files;
  PellaryMng mng;

  explicit Manager(int32_t save_old_hour = 0)
      : mng(temp.path().c_str(), files.path().c_str(), save_old_hour, 1 << 20) {}
  std::string operator/(const std::string& name) const { return files / name; }
};

TEST(PellaryMng, SplitsItsFileDirectoriesAndOwnsTheCacheIndexFiles) {
  TempDir temp, a, b;
  std::string index;
  {
    std::string setting = " " + a.path() + " , ,\t" + b.path() + "/ ,";
    PellaryMng mng(temp.path().c_str(), setting.c_str(), 0, 0);
    ASSERT_EQ(mng.file_dirs().GetCount(), 2);
    EXPECT_EQ(std::string(mng.file_dirs().GetAt(0)), Backslashed(a.path()) + "\\");
    EXPECT_EQ(std::string(mng.file_dirs().GetAt(1)), Backslashed(b.path()) + "\\");
    index = temp / "pellary_osfspath.idx";
    EXPECT_TRUE(fs::exists(index));
    EXPECT_TRUE(fs::exists(temp / "pellary_osfsinfo.idx"));
    EXPECT_EQ(mng.files_cache().block_size(), 4096);
    EXPECT_EQ(mng.files_cache().block_count(), 8) << "at least 8 blocks, even for 0 bytes";
  }
  EXPECT_FALSE(fs::exists(index)) << "nothing of the cache outlives the manager";
}

TEST(PellaryMngDeath, AMissingFileDirectoryIsFatalAndAnUnusableTempDirEndsQuietly) {
  GTEST_FLAG_SET(death_test_style, "fast");
  DeathTestDir cwd;
  TempDir temp, files;
  std::string setting = files.path() + ",/no/such/pellary/dir";
  EXPECT_EQ(FatalErrorOf([&] { PellaryMng(temp.path().c_str(), setting.c_str(), 0, 0); }),
            "internal error:PellaryMng 29\n");
  EXPECT_EXIT(PellaryMng("/no/such/pellary/temp", files.path().c_str(), 0, 0),
              testing::ExitedWithCode(0), "");
}

// What the server's procedure table does not show: a create keeps what is there, and makes
// nothing where no file can be.
TEST(PellaryMng, CreateNeverTruncatesAndMakesNoFileWhereNoneCanBe) {
  Manager m;
  std::string kept = m / "kept.blob";
  WriteFileBytes(kept, "contents");
  EXPECT_EQ(m.mng.FileCreate(kept.c_str()), 1);
  EXPECT_EQ(ReadFileBytes(kept), "contents");
  EXPECT_EQ(m.mng.FileCreate((m / "no-dir/x.blob").c_str()), 0);
  EXPECT_EQ(m.mng.FileCreate(m.files.path().c_str()), 0) << "a directory is no file";
}

TEST(PellaryMng, AWriteWhoseWriteBackFailsIsNotAcknowledged) {
  Manager m;
  std::string path = m / "full.blob";
  if (platform::kWindows) {
    // Windows has no device that opens for writing and refuses every byte: a directory put
    // where the file was makes the write-back's open fail instead.
    WriteFileBytes(path, "");
    ASSERT_EQ(m.mng.FileOpen(path.c_str()), 1);
    ASSERT_TRUE(fs::remove(path));
    ASSERT_TRUE(fs::create_directory(path));
  } else {
    fs::create_symlink("/dev/full", path);  // opens for writing, refuses every byte
    ASSERT_EQ(m.mng.FileOpen(path.c_str()), 1);
  }
  // A whole block: the cache takes it without reading the file.
  std::string block(PellaryMng::kCacheBlockSize, 'L');
  testing::internal::CaptureStdout();
  EXPECT_EQ(m.mng.FileWrite(path.c_str(), 0, block.data(), PellaryMng::kCacheBlockSize), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(m.mng.files_cache().Write(path.c_str(), 0, block.data(), PellaryMng::kCacheBlockSize),
            PellaryMng::kCacheBlockSize)
      << "the cache alone takes them: the 0 is the refused write-back's";
}

// A file removed behind the cache's back takes no write: 0, not a byte count for data that
// went nowhere. The path is forgotten, so the client can make the file again.
TEST(PellaryMng, AWriteToAFileRemovedBehindTheCacheAnswersZeroAndTheNameIsFreed) {
  Manager m;
  std::string path = m / "gone.blob";
  ASSERT_EQ(m.mng.FileCreate(path.c_str()), 1);
  ASSERT_EQ(m.mng.FileWrite(path.c_str(), 0, "before", 6), 6);
  ASSERT_TRUE(fs::remove(path));
  testing::internal::CaptureStdout();
  EXPECT_EQ(m.mng.FileWrite(path.c_str(), 0, "lost", 4), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("file vanished:" + path + "\r\n"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(path));
  ASSERT_EQ(m.mng.FileCreate(path.c_str()), 1);
  EXPECT_EQ(m.mng.FileWrite(path.c_str(), 0, "again", 5), 5);
  EXPECT_EQ(ReadFileBytes(path), "again");
}

// Descriptors run out, twice: each time the first file call that fails for it logs one line and
// the calls after it none; what they could not read is not kept, so once descriptors are back
// the file reads as it is.
TEST(PellaryMng, RunningOutOfDescriptorsIsLoggedOncePerEpisode) {
#ifdef _WIN32
  GTEST_SKIP() << "the process cannot be kept from opening handles here";
#else
  if (kSanitized) {
    GTEST_SKIP() << "the sanitizers check each call's dynamic type the first time they meet it "
                    "with a pipe of their own, which a process without descriptors cannot make";
  }
  Manager manager;
  std::string path = manager / "a.bin";
  WriteFileBytes(path, std::string(4 * 4096, 'a'));
  ASSERT_EQ(manager.mng.FileOpen(path.c_str()), 1);
  char bytes[10];
  for (int episode = 0; episode < 2; ++episode) {
    int64_t position = int64_t{2 * episode} * 4096;
    testing::internal::CaptureStdout();
    {
      NoNewDescriptors none;
      for (int call = 0; call < 2; ++call) {
        EXPECT_EQ(manager.mng.FileRead(path.c_str(), position + call * 4096, bytes, 10), 0);
      }
    }
    std::string log = testing::internal::GetCapturedStdout();
    std::string line = "too many open files, file calls fail:";
    size_t first = log.find(line);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(line, first + 1), std::string::npos) << log;
    for (int call = 0; call < 2; ++call) {
      ASSERT_EQ(manager.mng.FileRead(path.c_str(), position + call * 4096, bytes, 10), 10);
      EXPECT_EQ(std::string(bytes, 10), std::string(10, 'a'));
    }
  }
#endif
}

// A rename over a file the cache knows is refused; one that succeeds moves what the cache
// holds of the file with its name.
TEST(PellaryMng, RenameNeverReplacesACachedFileAndRemoveForgetsIt) {
  Manager m;
  std::string a = m / "a.blob", b = m / "b.blob", c = m / "c.blob";
  WriteFileBytes(a, "A");
  WriteFileBytes(b, "B");
  ASSERT_EQ(m.mng.FileOpen(b.c_str()), 1);
  EXPECT_EQ(m.mng.FileRename(a.c_str(), b.c_str()), 0) << "b is known to the cache";
  EXPECT_EQ(ReadFileBytes(b), "B");
  ASSERT_EQ(m.mng.FileWrite(a.c_str(), 1, "2", 1), 1);
  EXPECT_EQ(m.mng.FileRename(a.c_str(), c.c_str()), 1);
  EXPECT_EQ(ReadFileBytes(c), "A2");
  EXPECT_EQ(m.mng.FileGetLength(c.c_str()), 2);
  EXPECT_EQ(m.mng.FileRename(a.c_str(), (m / "d.blob").c_str()), 0) << "a is gone";
  EXPECT_EQ(m.mng.FileRemove(c.c_str()), 1);
  EXPECT_EQ(m.mng.FileOpen(c.c_str()), 0);
  EXPECT_EQ(m.mng.FileRemove(c.c_str()), 1) << "an unknown path counts as removed";
}

// Directory paths reach the platform with either separator; a failed make logs the system's
// text, which keeps its own CR LF.
TEST(PellaryMng, DirectoriesTakeEitherSeparatorAndAFailedMakeLogsTheSystemsText) {
  Manager m;
  std::string dir = m / "made";
  EXPECT_EQ(m.mng.MakeDir(dir.c_str()), 1);
  EXPECT_EQ(m.mng.DirExists(Backslashed(dir).c_str()), 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(m.mng.MakeDir(dir.c_str()), 0);
  EXPECT_EQ(
      testing::internal::GetCapturedStdout(),
      "cannot create dir:" + dir + " Cannot create a file when that file already exists.\r\n\r\n");
  WriteFileBytes(dir + "/inside", "x");
  EXPECT_EQ(m.mng.RemoveDir(dir.c_str()), 0) << "not empty";
  fs::remove(dir + "/inside");
  EXPECT_EQ(m.mng.RemoveDir(Backslashed(dir).c_str()), 1);
  EXPECT_FALSE(fs::exists(dir));
}

TEST(PellaryMng, FileClearDeletesTheListedFilesOnTheDiskOnly) {
  TempDir temp, root;
  // A file directory with capitals beside its lower-case twin (where the file system tells
  // them apart): only the listed one is cleared.
  std::string a = root / "Files", twin = root / "files";
  fs::create_directories(a);
  bool twin_apart = fs::create_directory(twin);
  // The temporary directory too: the index files the cache holds open stay where they are.
  std::string setting = a + "," + temp.path();
  PellaryMng mng(temp.path().c_str(), setting.c_str(), 0, 0);
  for (const char* name : {"1.blob", "2.att", "3"}) WriteFileBytes(a + "/" + name, name);
  fs::create_directory(a + "/sub");
  WriteFileBytes(a + "/sub/4.blob", "4");
  if (twin_apart) WriteFileBytes(twin + "/3", "keep");
  std::string cached = a + "/3";
  ASSERT_EQ(mng.FileWrite(cached.c_str(), 0, "cached", 6), 6);
  testing::internal::CaptureStdout();
  mng.FileClear();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "FileClear 5\r\n");
  EXPECT_TRUE(fs::exists(temp / "pellary_osfspath.idx"));
  EXPECT_TRUE(fs::exists(temp / "pellary_osfsinfo.idx"));
  EXPECT_FALSE(fs::exists(a + "/1.blob"));
  EXPECT_FALSE(fs::exists(cached));
  EXPECT_TRUE(fs::exists(a + "/sub/4.blob"));
  EXPECT_EQ(fs::exists(twin + "/3"), twin_apart);
  // The cache was not told: it still answers for the file it knew.
  EXPECT_EQ(mng.FileOpen(cached.c_str()), 1);
  EXPECT_EQ(mng.FileGetLength(cached.c_str()), 6);
}

TEST(PellaryMng, DelOldFileDeletesOnlyMatchingFilesOlderThanTheAge) {
  Manager m;
  std::string dir = m.files.path() + "\\";
  for (const char* name : {"old.blob", "new.blob", "old.tmp"}) WriteFileBytes(m / name, "x");
  fs::create_directory(m / "sub");
  WriteFileBytes(m / "sub/old.blob", "x");
  Age(m / "old.blob", 3);
  Age(m / "new.blob", 1);
  Age(m / "old.tmp", 10);
  Age(m / "sub/old.blob", 10);

  testing::internal::CaptureStdout();
  m.mng.DelOldFile(dir.c_str(), "*.blob", 0);
  m.mng.DelOldFile(dir.c_str(), "*.blob", -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "sweeping is off";
  EXPECT_TRUE(fs::exists(m / "old.blob"));

  testing::internal::CaptureStdout();
  m.mng.DelOldFile(dir.c_str(), "*.blob", 2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "DelOldFile 1\r\n");
  EXPECT_FALSE(fs::exists(m / "old.blob"));
  EXPECT_TRUE(fs::exists(m / "new.blob"));
  EXPECT_TRUE(fs::exists(m / "old.tmp"));
  EXPECT_TRUE(fs::exists(m / "sub/old.blob"));
}

TEST(PellaryMng, TheSweeperFlushesAt240SecondsAndSweepsEvery360) {
  Manager m(2);
  WriteFileBytes(m / "old.att", "x");
  Age(m / "old.att", 3);
  std::string unflushed = m / "unflushed.blob";
  ASSERT_EQ(m.mng.FileCreate(unflushed.c_str()), 1);
  // Straight into the cache: only a flush puts it on the disk.
  ASSERT_EQ(m.mng.files_cache().Write(unflushed.c_str(), 0, "late", 4), 4);

  int ticks = 0;
  testing::internal::CaptureStdout();
  for (int i = 1; i < PellaryMng::kFlushTick; ++i) m.mng.SweeperTick(&ticks);
  EXPECT_EQ(ReadFileBytes(unflushed), "");
  m.mng.SweeperTick(&ticks);
  EXPECT_EQ(ReadFileBytes(unflushed), "late");
  for (int i = PellaryMng::kFlushTick + 1; i < PellaryMng::kSweepTick; ++i) {
    m.mng.SweeperTick(&ticks);
  }
  EXPECT_TRUE(fs::exists(m / "old.att"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  testing::internal::CaptureStdout();
  m.mng.SweeperTick(&ticks);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "DelOldFile 0\r\nDelOldFile 1\r\n");
  EXPECT_EQ(ticks, 0);
  EXPECT_FALSE(fs::exists(m / "old.att"));
}

TEST(PellaryMng, ReadBuffersAreReusedAndThePoolIsCapped) {
  Manager m;
  std::vector<char*> many;
  for (int i = 0; i < PellaryMng::kMaxPooledBuffers + 1; ++i) many.push_back(m.mng.GetReadBuffer());
  many.back()[PellaryMng::kReadBufferSize - 1] = 1;  // the whole size is usable
  for (char* buffer : many) m.mng.ReleaseReadBuffer(buffer);
  EXPECT_EQ(m.mng.PooledBuffers(), PellaryMng::kMaxPooledBuffers);
  char* reused = m.mng.GetReadBuffer();
  EXPECT_NE(std::find(many.begin(), many.end(), reused), many.end());
  EXPECT_EQ(m.mng.PooledBuffers(), PellaryMng::kMaxPooledBuffers - 1);
  m.mng.ReleaseReadBuffer(reused);
}

}  // namespace
