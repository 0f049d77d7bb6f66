// The disk manager on temporary directories: what it decides beyond the files cache.
#include "filesvc/pellarymng.h"

#include <gtest/gtest.h>

#include <algorithm>
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
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// ASan comes with UBSan in this build (clang announces it through __has_feature).
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PELLARY_ADDRESS_SANITIZER 1
#endif
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

TEST(PellaryMng, AWriteWhoseWriteBackFailsIsNotAcknowledged) {
  Manager m;
  std::string path = m / "full.blob";
  if (platform::kWindows) {  // no device refuses every byte: a directory fails the open instead
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
            PellaryMng::kCacheBlockSize);  // the cache alone takes them: the 0 is the write-back's
}

// What the cache decides for the file calls: a create keeps what is there and makes nothing
// where no file can be; a rename never replaces a file the cache knows and moves what it holds
// with the name; a file removed behind the cache takes no write and its name is freed.
// Directories; the read-buffer pool.
TEST(PellaryMng, FileCallsKeepTheCacheAndTheDiskInStep) {
  Manager m;
  std::string a = m / "a.blob", b = m / "b.blob", c = m / "c.blob";
  WriteFileBytes(a, "A");
  WriteFileBytes(b, "B");
  EXPECT_EQ(m.mng.FileCreate(b.c_str()), 1);
  EXPECT_EQ(m.mng.FileCreate((m / "no-dir/x.blob").c_str()), 0);
  EXPECT_EQ(m.mng.FileCreate(m.files.path().c_str()), 0) << "a directory is no file";
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
  ASSERT_EQ(m.mng.FileWrite(b.c_str(), 0, "before", 6), 6);
  ASSERT_TRUE(fs::remove(b));
  testing::internal::CaptureStdout();
  EXPECT_EQ(m.mng.FileWrite(b.c_str(), 0, "lost", 4), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("file vanished:" + b + "\r\n"),
            std::string::npos);
  EXPECT_FALSE(fs::exists(b));
  ASSERT_EQ(m.mng.FileCreate(b.c_str()), 1);
  EXPECT_EQ(m.mng.FileWrite(b.c_str(), 0, "again", 5), 5);
  EXPECT_EQ(ReadFileBytes(b), "again");
  // Directory paths reach the platform with either separator; a failed make logs the system's
  // text, which keeps its own CR LF.
  std::string dir = m / "made";
  EXPECT_EQ(m.mng.MakeDir(Backslashed(dir).c_str()), 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(m.mng.MakeDir(dir.c_str()), 0);
  EXPECT_EQ(
      testing::internal::GetCapturedStdout(),
      "cannot create dir:" + dir + " Cannot create a file when that file already exists.\r\n\r\n");
  EXPECT_EQ(m.mng.DirExists(Backslashed(dir).c_str()), 1);
  EXPECT_EQ(m.mng.RemoveDir(Backslashed(dir).c_str()), 1);
  EXPECT_FALSE(fs::exists(dir));
  std::vector<char*> many;  // read buffers: reused, the pool capped
  for (int i = 0; i < PellaryMng::kMaxPooledBuffers + 1; ++i) many.push_back(m.mng.GetReadBuffer());
  many.back()[PellaryMng::kReadBufferSize - 1] = 1;  // the whole size is usable
  for (char* buffer : many) m.mng.ReleaseReadBuffer(buffer);
  EXPECT_EQ(m.mng.PooledBuffers(), PellaryMng::kMaxPooledBuffers);
  char* reused = m.mng.GetReadBuffer();
  EXPECT_NE(std::find(many.begin(), many.end(), reused), many.end());
  EXPECT_EQ(m.mng.PooledBuffers(), PellaryMng::kMaxPooledBuffers - 1);
  m.mng.ReleaseReadBuffer(reused);
}

// Descriptors run out, twice: each time the first file call that fails for it logs one line
// and the next none; what they could not read is not kept, so once descriptors are back the
// file reads as it is.
TEST(PellaryMng, RunningOutOfDescriptorsIsLoggedOncePerEpisode) {
#if defined(_WIN32) || defined(PELLARY_ADDRESS_SANITIZER)
  // Windows cannot keep the process from opening handles; the sanitizers need a pipe of their
  // own the first time they check a call's dynamic type.
  GTEST_SKIP() << "the process cannot be kept from opening descriptors here";
#else
  Manager m;
  std::string path = m / "a.bin";
  WriteFileBytes(path, std::string(4 * 4096, 'a'));
  ASSERT_EQ(m.mng.FileOpen(path.c_str()), 1);
  rlimit saved, none;
  getrlimit(RLIMIT_NOFILE, &saved);
  char bytes[10];
  for (int64_t position : {0, 2 * 4096}) {
    testing::internal::CaptureStdout();
    none = saved;
    none.rlim_cur = static_cast<rlim_t>(dup(0));  // the lowest free descriptor: no new one
    close(static_cast<int>(none.rlim_cur));
    setrlimit(RLIMIT_NOFILE, &none);
    EXPECT_EQ(m.mng.FileRead(path.c_str(), position, bytes, 10), 0);
    EXPECT_EQ(m.mng.FileRead(path.c_str(), position + 4096, bytes, 10), 0);
    setrlimit(RLIMIT_NOFILE, &saved);
    std::string log = testing::internal::GetCapturedStdout();
    const std::string line = "too many open files, file calls fail:";
    EXPECT_TRUE(log.find(line) != std::string::npos && log.find(line) == log.rfind(line)) << log;
    ASSERT_EQ(m.mng.FileRead(path.c_str(), position + 4096, bytes, 10), 10);
    EXPECT_EQ(std::string(bytes, 10), std::string(10, 'a'));
  }
#endif
}

// The setting splits at commas, blanks dropped. FileClear deletes the listed files of every
// file directory on the disk only (the cache is not told), the index files it holds open
// aside; a lower-case twin of a directory with capitals is not listed and not cleared.
TEST(PellaryMng, SplitsItsFileDirectoriesAndClearsTheListedFilesOnTheDiskOnly) {
  TempDir temp, root;
  std::string a = root / "Files", twin = root / "files", cached = a + "/3";
  fs::create_directories(a);
  bool twin_apart = fs::create_directory(twin);
  {
    std::string setting = " " + a + " , ,\t" + temp.path() + "/ ,";
    PellaryMng mng(temp.path().c_str(), setting.c_str(), 0, 0);
    ASSERT_EQ(mng.file_dirs().GetCount(), 2);
    EXPECT_EQ(std::string(mng.file_dirs().GetAt(0)), Backslashed(a) + "\\");
    EXPECT_EQ(std::string(mng.file_dirs().GetAt(1)), Backslashed(temp.path()) + "\\");
    EXPECT_EQ(mng.files_cache().block_count(), 8) << "at least 8 blocks, even for 0 bytes";
    for (const char* name : {"1.blob", "2.att", "3"}) WriteFileBytes(a + "/" + name, name);
    fs::create_directory(a + "/sub");
    WriteFileBytes(a + "/sub/4.blob", "4");
    if (twin_apart) WriteFileBytes(twin + "/3", "keep");
    ASSERT_EQ(mng.FileWrite(cached.c_str(), 0, "cached", 6), 6);
    testing::internal::CaptureStdout();
    mng.FileClear();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "FileClear 5\r\n");
    EXPECT_TRUE(fs::exists(temp / "pellary_osfspath.idx") &&
                fs::exists(temp / "pellary_osfsinfo.idx"));
    EXPECT_FALSE(fs::exists(a + "/1.blob") || fs::exists(cached));
    EXPECT_TRUE(fs::exists(a + "/sub/4.blob"));
    EXPECT_EQ(fs::exists(twin + "/3"), twin_apart);
    EXPECT_EQ(mng.FileGetLength(cached.c_str()), 6);
  }
  EXPECT_TRUE(fs::is_empty(temp.path())) << "nothing of the cache outlives the manager";
}

// The sweeper flushes at its flush tick and, at its sweep tick, deletes the *.blob and *.att
// files of each file directory (not below it) written longer ago than its age; age 0 is off.
TEST(PellaryMng, TheSweeperFlushesAndDeletesOnlyMatchingFilesOlderThanTheAge) {
  Manager m(2);
  for (const char* name : {"old.blob", "new.blob", "old.tmp", "old.att", "sub/old.blob"}) {
    fs::create_directory(m / "sub");
    WriteFileBytes(m / name, "x");
    Age(m / name, name[0] == 'n' ? 1 : 3);
  }
  std::string unflushed = m / "unflushed.blob";
  ASSERT_EQ(m.mng.FileCreate(unflushed.c_str()), 1);
  ASSERT_EQ(m.mng.files_cache().Write(unflushed.c_str(), 0, "late", 4), 4);  // only in the cache
  int ticks = 0;
  testing::internal::CaptureStdout();
  for (int i = 1; i < PellaryMng::kFlushTick; ++i) m.mng.SweeperTick(&ticks);
  EXPECT_EQ(ReadFileBytes(unflushed), "");
  m.mng.SweeperTick(&ticks);
  EXPECT_EQ(ReadFileBytes(unflushed), "late");
  for (int i = PellaryMng::kFlushTick + 1; i < PellaryMng::kSweepTick; ++i)
    m.mng.SweeperTick(&ticks);
  EXPECT_TRUE(fs::exists(m / "old.att"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  testing::internal::CaptureStdout();
  m.mng.SweeperTick(&ticks);
  m.mng.DelOldFile((m.files.path() + "\\").c_str(), "*.blob", 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "DelOldFile 1\r\nDelOldFile 1\r\n");
  EXPECT_EQ(ticks, 0);
  for (const char* name : {"old.blob", "new.blob", "old.tmp", "old.att", "sub/old.blob"}) {
    EXPECT_EQ(fs::exists(m / name),
              std::string("old.blob old.att").find(name) == std::string::npos);
  }
}

}  // namespace
