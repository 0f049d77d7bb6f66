#include "filesvc/pellarymng.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "platform/process.h"
#include "store/fatal_test_helper.h"
#include "store/filescache.h"
#include "testing/sanitizers.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string Backslashed(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PELLARY_ADDRESS_SANITIZER 1
#endif
#endif

struct Manager {
  TempDir temp, files;
  PellaryMng mng;

  explicit Manager(int32_t save_old_hour = 0, int64_t cache_bytes = 1 << 20)
      : mng(temp.path().c_str(), files.path().c_str(), save_old_hour, cache_bytes) {}
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
  // Windows has no device that refuses every byte: a directory fails the open instead.
  platform::kWindows ? WriteFileBytes(path, "") : fs::create_symlink("/dev/full", path);
  ASSERT_EQ(m.mng.FileOpen(path.c_str()), 1);
  ASSERT_TRUE(!platform::kWindows || (fs::remove(path) && fs::create_directory(path)));
  std::string block(PellaryMng::kCacheBlockSize, 'L');
  EXPECT_EQ(m.mng.FileWrite(path.c_str(), 0, block.data(), PellaryMng::kCacheBlockSize), 0);
}

// A rename never replaces a file the cache knows; a file removed behind the cache is freed.
TEST(PellaryMng, FileCallsKeepTheCacheAndTheDiskInStep) {
  Manager m;
  std::string a = m / "a.blob", b = m / "b.blob", c = m / "c.blob";
  WriteFileBytes(a, "A");
  WriteFileBytes(b, "B");
  EXPECT_TRUE(m.mng.FileCreate(b.c_str()) == 1 && !m.mng.FileCreate((m / "no/x.blob").c_str()));
  EXPECT_TRUE(m.mng.FileRename(a.c_str(), b.c_str()) == 0 && ReadFileBytes(b) == "B");
  ASSERT_TRUE(m.mng.FileWrite(a.c_str(), 1, "2", 1) == 1 && m.mng.FileRename(a.c_str(), c.c_str()));
  EXPECT_TRUE(ReadFileBytes(c) == "A2" && m.mng.FileGetLength(c.c_str()) == 2);
  EXPECT_TRUE(m.mng.FileRemove(c.c_str()) == 1 && m.mng.FileOpen(c.c_str()) == 0);
  EXPECT_EQ(m.mng.FileRemove(c.c_str()), 1) << "an unknown path counts as removed";
  ASSERT_TRUE(m.mng.FileWrite(b.c_str(), 0, "before", 6) == 6 && fs::remove(b));
  testing::internal::CaptureStdout();
  EXPECT_EQ(m.mng.FileWrite(b.c_str(), 0, "lost", 4), 0);
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(log.find("file vanished:" + b + "\r\n") != std::string::npos && !fs::exists(b));
  EXPECT_TRUE(m.mng.FileCreate(b.c_str()) == 1 && m.mng.FileWrite(b.c_str(), 0, "again", 5) == 5);
  EXPECT_EQ(ReadFileBytes(b), "again");
  std::string dir = Backslashed(m / "made");  // either separator reaches the platform
  EXPECT_TRUE(m.mng.MakeDir(dir.c_str()) == 1 && m.mng.DirExists(dir.c_str()) == 1);
  EXPECT_TRUE(m.mng.RemoveDir(dir.c_str()) == 1 && !fs::exists(m / "made"));
  std::vector<char*> many;  // read buffers: reused, the pool capped
  for (int i = 0; i < PellaryMng::kMaxPooledBuffers + 1; ++i) many.push_back(m.mng.GetReadBuffer());
  for (char* buffer : many) m.mng.ReleaseReadBuffer(buffer);
  EXPECT_EQ(m.mng.PooledBuffers(), PellaryMng::kMaxPooledBuffers);
  char* reused = m.mng.GetReadBuffer();
  EXPECT_EQ(m.mng.PooledBuffers(), PellaryMng::kMaxPooledBuffers - 1);
  m.mng.ReleaseReadBuffer(reused);
}

// A write that the cache holds whole goes back in gathered runs of many blocks, starting and
// ending inside blocks whose other bytes another program changed meanwhile: once it is answered,
// all of it is on the disk and nothing around it went back to an older state.
TEST(PellaryMng, AnAnsweredWriteIsOnTheDiskWholeAfterItsCoalescedWriteBack) {
  if (kLockDetectorLimited) GTEST_SKIP() << "a run of write-back holds 64 block keys and more";
  Manager m(0, 16 << 20);
  std::string path = m / "large.blob";
  std::string disk(4 << 20, '.');
  WriteFileBytes(path, disk);
  const int64_t at = 4096 + 777;
  std::string data((3 << 20) + 123, '\0');
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
  char byte;
  for (int64_t edge : {at, at + static_cast<int64_t>(data.size())})  // both end blocks cached
    ASSERT_EQ(m.mng.FileRead(path.c_str(), edge, &byte, 1), 1);
  for (int64_t other : {at - 10, at + static_cast<int64_t>(data.size()) + 10}) {
    std::fstream(path, std::ios::in | std::ios::out | std::ios::binary).seekp(other) << 'X';
    disk[static_cast<size_t>(other)] = 'X';
  }
  ASSERT_EQ(m.mng.FileWrite(path.c_str(), at, data.data(), static_cast<int32_t>(data.size())),
            static_cast<int32_t>(data.size()));
  disk.replace(static_cast<size_t>(at), data.size(), data);
  EXPECT_TRUE(ReadFileBytes(path) == disk);
}

// Twice: one line per episode; what could not be read is not kept.
TEST(PellaryMng, RunningOutOfDescriptorsIsLoggedOncePerEpisode) {
#if defined(_WIN32) || defined(PELLARY_ADDRESS_SANITIZER)
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
    EXPECT_TRUE(m.mng.FileRead(path.c_str(), position + 4096, bytes, 10) == 10 &&
                std::string(bytes, 10) == std::string(10, 'a'));
  }
#endif
}

// FileClear deletes on the disk only (the cache is not told); a lower-case twin is not cleared.
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
    EXPECT_TRUE(fs::exists(temp / "pellary_osfspath.idx") && fs::exists(a + "/sub/4.blob"));
    EXPECT_FALSE(fs::exists(a + "/1.blob") || fs::exists(cached));
    EXPECT_EQ(fs::exists(twin + "/3"), twin_apart);
    EXPECT_EQ(mng.FileGetLength(cached.c_str()), 6);
  }
  EXPECT_TRUE(fs::is_empty(temp.path())) << "nothing of the cache outlives the manager";
}

// At its sweep tick: *.blob and *.att of each file directory (not below) older than the age.
TEST(PellaryMng, TheSweeperFlushesAndDeletesOnlyMatchingFilesOlderThanTheAge) {
  Manager m(2);
  for (const char* name : {"old.blob", "new.blob", "old.tmp", "old.att", "sub/old.blob"}) {
    fs::create_directory(m / "sub");
    WriteFileBytes(m / name, "x");
    auto hours = std::chrono::hours(name[0] == 'n' ? 1 : 3);
    fs::last_write_time(m / name, fs::file_time_type::clock::now() - hours);
  }
  std::string unflushed = m / "unflushed.blob";
  ASSERT_EQ(m.mng.FileCreate(unflushed.c_str()), 1);
  ASSERT_EQ(m.mng.files_cache().Write(unflushed.c_str(), 0, "late", 4), 4);  // only in the cache
  int ticks = 0;
  for (int i = 1; i < PellaryMng::kFlushTick; ++i) m.mng.SweeperTick(&ticks);
  EXPECT_EQ(ReadFileBytes(unflushed), "");
  m.mng.SweeperTick(&ticks);
  EXPECT_EQ(ReadFileBytes(unflushed), "late");
  for (int i = PellaryMng::kFlushTick + 1; i < PellaryMng::kSweepTick; ++i)
    m.mng.SweeperTick(&ticks);
  EXPECT_TRUE(fs::exists(m / "old.att"));
  testing::internal::CaptureStdout();
  m.mng.SweeperTick(&ticks);
  m.mng.DelOldFile((m.files.path() + "\\").c_str(), "*.blob", 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "DelOldFile 1\r\nDelOldFile 1\r\n");
  EXPECT_EQ(ticks, 0);
  for (const char* name : {"old.blob", "new.blob", "old.tmp", "old.att", "sub/old.blob"})
    EXPECT_EQ(fs::exists(m / name),
              std::string("old.blob old.att").find(name) == std::string::npos);
}

}  // namespace
