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

namespace platform {
namespace {

std::tm LocalTm(std::time_t seconds) {
  return *std::localtime(&seconds);  // the tests run on one thread
}

TEST(Process, ProgramPathAndCurrentDirectory) {
  EXPECT_EQ(std::filesystem::path(ProgramPath()).stem().string(), "platform_test");
  TempDir dir;
  std::string previous = CurrentDirectory();
  ASSERT_TRUE(SetCurrentDirectory(dir.path().c_str()));
  EXPECT_EQ(CurrentDirectory(), std::filesystem::canonical(dir.path()).string());
  EXPECT_TRUE(!SetCurrentDirectory((dir / "missing").c_str()) && LastError() == kErrorFileNotFound);
  ASSERT_TRUE(SetCurrentDirectory(previous.c_str()));
  std::string temp = TempDirectory();  // Windows: fixed, whatever the environment says
  EXPECT_TRUE(kWindows ? temp == "c:\\temp\\" : !temp.empty() && temp.back() == '/');
}

TEST(Process, HeapHandlesAndTerminals) {
  char* block = static_cast<char*>(HeapReallocate(nullptr, 16));
  std::memcpy(block, "0123456789abcdef", 16);
  char* grown = static_cast<char*>(HeapReallocate(block, 1 << 20));
  EXPECT_EQ(std::string(grown, 16), "0123456789abcdef");
  EXPECT_TRUE(HeapRelease(grown) && HeapRelease(nullptr));
  TempDir dir;
  int before = OpenHandleCount();
  FileHandle file = FileOpen((dir / "a").c_str(), FileAccess::kWrite, FileShare::kReadWrite,
                             FileDisposition::kCreateAlways, false);
  EXPECT_EQ(OpenHandleCount() - before, 1);
  FileClose(file);
  EXPECT_EQ(OpenHandleCount(), before);
  std::FILE* stream = std::fopen((dir / "out.txt").c_str(), "w");
  EXPECT_FALSE(IsTerminal(stream) || IsTerminal(nullptr));
  std::fclose(stream);
}

TEST(Process, LastErrorIsPerThread) {
  // Starting and joining a thread may set the last error on Windows: this one only spins.
  std::atomic<int> stage{0};
  std::thread t([&] {
    while (stage.load() != 1) std::this_thread::yield();
    SetLastError(kErrorDiskFull);
    stage.store(2);
  });
  SetLastError(kErrorAccessDenied);
  stage.store(1);
  while (stage.load() != 2) std::this_thread::yield();
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  t.join();
  EXPECT_STREQ(SystemErrorText(kErrorFileNotFound),
               "The system cannot find the file specified.\r\n");
  EXPECT_STREQ(SystemErrorText(99999), "Unknown error 99999.\r\n");
}

TEST(Clock, LocalTimeAgreesWithTheCLibraryAllYearAndTicksAdvance) {
  LocalTime now = GetLocalTime();
  std::tm today = LocalTm(std::time(nullptr));
  EXPECT_TRUE(now.month == today.tm_mon + 1 && now.milliseconds >= 0 && now.milliseconds < 1000);
  EXPECT_NEAR(static_cast<double>(TimeNow()), static_cast<double>(std::time(nullptr)), 2.0);
  // Winter and summer, before and after 2000: each with its own date's zone rule.
  for (int64_t seconds : {0L, 946684799L, 1000000000L, 1268532000L, 1310000000L, 1700000000L}) {
    LocalTime t = LocalTimeOf(seconds);
    std::tm tm = LocalTm(static_cast<std::time_t>(seconds));
    EXPECT_EQ((std::array{t.year, t.month, t.day, t.day_of_week, t.hour, t.minute, t.second}),
              (std::array{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_wday, tm.tm_hour,
                          tm.tm_min, tm.tm_sec}))
        << seconds;
  }
  uint32_t before = GetTickCount();
  SleepMs(20);
  uint32_t elapsed = GetTickCount() - before;  // wrap-safe difference
  EXPECT_TRUE(elapsed + (kWindows ? 16u : 0u) >= 20u && elapsed < 10000u)
      << elapsed;  // 15.6 ms steps
}

}  // namespace
}  // namespace platform
