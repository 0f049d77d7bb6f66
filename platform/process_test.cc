// The process, its clock and its per-thread last error through platform/process.h,
// platform/clock.h and platform/error.h.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/process.h"
#include "testing/temp_dir.h"

namespace {

std::tm LocalTm(std::time_t seconds) {
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &seconds);
#else
  localtime_r(&seconds, &tm);
#endif
  return tm;
}

TEST(Process, ProgramPathAndCurrentDirectory) {
  std::filesystem::path program = platform::ProgramPath();
  ASSERT_TRUE(program.is_absolute()) << program;
  EXPECT_TRUE(std::filesystem::is_regular_file(program)) << program;
  EXPECT_EQ(program.stem().string(), "platform_test");
  TempDir dir;
  std::string previous = platform::CurrentDirectory();
  ASSERT_TRUE(platform::SetCurrentDirectory(dir.path().c_str()));
  EXPECT_EQ(platform::CurrentDirectory(), std::filesystem::canonical(dir.path()).string());
  EXPECT_FALSE(platform::SetCurrentDirectory((dir / "missing").c_str()));
  EXPECT_EQ(platform::LastError(), platform::kErrorFileNotFound);
  ASSERT_TRUE(platform::SetCurrentDirectory(previous.c_str()));
  std::string temp = platform::TempDirectory();
  ASSERT_FALSE(temp.empty());
#ifdef _WIN32
  EXPECT_EQ(temp, "c:\\temp\\");  // fixed, whatever the environment says
#else
  EXPECT_EQ(temp.back(), '/');
#endif
}

TEST(Process, HeapBlocksGrowKeepingTheirContents) {
  char* block = static_cast<char*>(platform::HeapAllocate(16));
  ASSERT_NE(block, nullptr);
  std::memcpy(block, "0123456789abcdef", 16);
  char* grown = static_cast<char*>(platform::HeapReallocate(block, 1 << 20));
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(std::string(grown, 16), "0123456789abcdef");
  grown[(1 << 20) - 1] = 'z';
  EXPECT_TRUE(platform::HeapRelease(grown));
  // Reallocating nothing allocates, as realloc does.
  void* fresh = platform::HeapReallocate(nullptr, 8);
  ASSERT_NE(fresh, nullptr);
  EXPECT_TRUE(platform::HeapRelease(fresh));
  EXPECT_TRUE(platform::HeapRelease(nullptr));
}

TEST(Process, OpenHandleCountFollowsOpenAndClose) {
  TempDir dir;
  int before = platform::OpenHandleCount();
  ASSERT_GT(before, 0);  // at least the standard streams
  platform::FileHandle first = platform::FileOpen((dir / "a").c_str(), platform::FileAccess::kWrite,
                                                  platform::FileShare::kReadWrite,
                                                  platform::FileDisposition::kCreateAlways, false);
  platform::FileHandle second = platform::FileOpen((dir / "a").c_str(), platform::FileAccess::kRead,
                                                   platform::FileShare::kReadWrite,
                                                   platform::FileDisposition::kOpenExisting, false);
  ASSERT_NE(first, platform::kInvalidFile);
  ASSERT_NE(second, platform::kInvalidFile);
  EXPECT_EQ(platform::OpenHandleCount() - before, 2);
  platform::FileClose(first);
  EXPECT_EQ(platform::OpenHandleCount() - before, 1);
  platform::FileClose(second);
  EXPECT_EQ(platform::OpenHandleCount(), before);
}

TEST(Process, FilesAndMissingStreamsAreNoTerminal) {
  TempDir dir;
  std::FILE* file = std::fopen((dir / "out.txt").c_str(), "w");
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(platform::IsTerminal(file));
  std::fclose(file);
  EXPECT_FALSE(platform::IsTerminal(nullptr));
}

TEST(Process, LastErrorIsPerThread) {
  // Starting and joining a thread are system calls that may set this thread's last error on
  // Windows, so the other thread does its part while this one only spins on an atomic.
  std::atomic<int> stage{0};
  uint32_t seen_there = 0;
  std::thread t([&] {
    while (stage.load() != 1) {
    }
    platform::SetLastError(platform::kErrorDiskFull);
    seen_there = platform::LastError();
    stage.store(2);
  });
  platform::SetLastError(platform::kErrorAccessDenied);
  stage.store(1);
  while (stage.load() != 2) {
  }
  EXPECT_EQ(platform::LastError(), platform::kErrorAccessDenied);
  t.join();
  EXPECT_EQ(seen_there, platform::kErrorDiskFull);
  EXPECT_STREQ(platform::SystemErrorText(platform::kErrorFileNotFound),
               "The system cannot find the file specified.\r\n");
  EXPECT_STREQ(platform::SystemErrorText(99999), "Unknown error 99999.\r\n");
}

TEST(Clock, LocalTimeMatchesTheCLibraryAndTicksAdvance) {
  platform::LocalTime now = platform::GetLocalTime();
  std::time_t seconds = std::time(nullptr);
  std::tm tm = LocalTm(seconds);
  EXPECT_EQ(now.year, tm.tm_year + 1900);
  EXPECT_EQ(now.month, tm.tm_mon + 1);
  EXPECT_GE(now.milliseconds, 0);
  EXPECT_LT(now.milliseconds, 1000);
  platform::LocalTime epoch_day = platform::LocalTimeOf(platform::TimeNow());
  EXPECT_EQ(epoch_day.day, tm.tm_mday);

  uint32_t before = platform::GetTickCount();
  platform::SleepMs(20);
  uint32_t elapsed = platform::GetTickCount() - before;  // wrap-safe difference
  // Windows advances the tick count with the system timer, up to 15.6 ms at a time, so a
  // 20 ms sleep may read as one step less.
  uint32_t granularity = platform::kWindows ? 16u : 0u;
  EXPECT_GE(elapsed + granularity, 20u);
  EXPECT_LT(elapsed, 10000u);
}

// Moments in winter and summer, before and after 2000, around midnight: each converted with the
// time zone's rule of its own date, as the C library does.
TEST(Clock, LocalTimeOfAgreesWithTheCLibraryAllYear) {
  for (int64_t seconds : {int64_t{0}, int64_t{946684799}, int64_t{1000000000}, int64_t{1268532000},
                          int64_t{1310000000}, int64_t{1700000000}}) {
    platform::LocalTime t = platform::LocalTimeOf(seconds);
    std::tm tm = LocalTm(static_cast<std::time_t>(seconds));
    EXPECT_EQ(t.year, tm.tm_year + 1900) << seconds;
    EXPECT_EQ(t.month, tm.tm_mon + 1) << seconds;
    EXPECT_EQ(t.day, tm.tm_mday) << seconds;
    EXPECT_EQ(t.day_of_week, tm.tm_wday) << seconds;
    EXPECT_EQ(t.hour, tm.tm_hour) << seconds;
    EXPECT_EQ(t.minute, tm.tm_min) << seconds;
    EXPECT_EQ(t.second, tm.tm_sec) << seconds;
    EXPECT_EQ(t.milliseconds, 0) << seconds;
  }
  EXPECT_NEAR(static_cast<double>(platform::TimeNow()), static_cast<double>(std::time(nullptr)),
              2.0);
}

}  // namespace
