// The process, its clock and its per-thread last error through platform/process.h,
// platform/clock.h and platform/error.h.
#include <gtest/gtest.h>

#include <array>
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
  EXPECT_TRUE(!platform::SetCurrentDirectory((dir / "missing").c_str()) &&
              platform::LastError() == platform::kErrorFileNotFound);
  ASSERT_TRUE(platform::SetCurrentDirectory(previous.c_str()));
  std::string temp = platform::TempDirectory();  // Windows: fixed, whatever the environment says
  EXPECT_TRUE(platform::kWindows ? temp == "c:\\temp\\" : !temp.empty() && temp.back() == '/');
}

// Heap blocks grow keeping their contents (nothing reallocated allocates, as realloc does);
// the handle count follows opens and closes; a file or no stream is no terminal.
TEST(Process, HeapHandlesAndTerminals) {
  char* block = static_cast<char*>(platform::HeapReallocate(nullptr, 16));
  ASSERT_NE(block, nullptr);
  std::memcpy(block, "0123456789abcdef", 16);
  char* grown = static_cast<char*>(platform::HeapReallocate(block, 1 << 20));
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(std::string(grown, 16), "0123456789abcdef");
  grown[(1 << 20) - 1] = 'z';
  EXPECT_TRUE(platform::HeapRelease(grown) && platform::HeapRelease(nullptr));
  TempDir dir;
  int before = platform::OpenHandleCount();
  ASSERT_GT(before, 0);  // at least the standard streams
  platform::FileHandle file = platform::FileOpen((dir / "a").c_str(), platform::FileAccess::kWrite,
                                                 platform::FileShare::kReadWrite,
                                                 platform::FileDisposition::kCreateAlways, false);
  EXPECT_EQ(platform::OpenHandleCount() - before, 1);
  platform::FileClose(file);
  EXPECT_EQ(platform::OpenHandleCount(), before);
  std::FILE* stream = std::fopen((dir / "out.txt").c_str(), "w");
  EXPECT_FALSE(platform::IsTerminal(stream) || platform::IsTerminal(nullptr));
  std::fclose(stream);
}

TEST(Process, LastErrorIsPerThread) {
  // Starting and joining a thread may set this thread's last error on Windows: the other
  // thread does its part while this one only spins on an atomic.
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

// Now and moments in winter and summer, before and after 2000, around midnight: each
// converted with the time zone's rule of its own date, as the C library does.
TEST(Clock, LocalTimeAgreesWithTheCLibraryAllYearAndTicksAdvance) {
  platform::LocalTime now = platform::GetLocalTime();
  std::tm today = LocalTm(std::time(nullptr));
  EXPECT_TRUE(now.year == today.tm_year + 1900 && now.month == today.tm_mon + 1);
  EXPECT_TRUE(now.milliseconds >= 0 && now.milliseconds < 1000);
  EXPECT_NEAR(static_cast<double>(platform::TimeNow()), static_cast<double>(std::time(nullptr)),
              2.0);
  for (int64_t seconds : {int64_t{0}, int64_t{946684799}, int64_t{1000000000}, int64_t{1268532000},
                          int64_t{1310000000}, int64_t{1700000000}, platform::TimeNow()}) {
    platform::LocalTime t = platform::LocalTimeOf(seconds);
    std::tm tm = LocalTm(static_cast<std::time_t>(seconds));
    EXPECT_EQ((std::array{t.year, t.month, t.day, t.day_of_week, t.hour, t.minute, t.second}),
              (std::array{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_wday, tm.tm_hour,
                          tm.tm_min, tm.tm_sec}))
        << seconds;
    EXPECT_EQ(t.milliseconds, 0) << seconds;
  }
  uint32_t before = platform::GetTickCount();
  platform::SleepMs(20);
  uint32_t elapsed = platform::GetTickCount() - before;  // wrap-safe difference
  // Windows advances the tick count up to 15.6 ms at a time: 20 ms may read a step less.
  EXPECT_GE(elapsed + (platform::kWindows ? 16u : 0u), 20u);
  EXPECT_LT(elapsed, 10000u);
}

}  // namespace
