#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/process.h"
#include "testing/temp_dir.h"

namespace {

TEST(Process, ProgramPathAndCurrentDirectory) {
  std::string program = platform::ProgramPath();
  EXPECT_NE(program.find("platform_test"), std::string::npos) << program;
  TempDir dir;
  std::string previous = platform::CurrentDirectory();
  ASSERT_TRUE(platform::SetCurrentDirectory(dir.path().c_str()));
  EXPECT_EQ(platform::CurrentDirectory(), std::filesystem::canonical(dir.path()).string());
  EXPECT_FALSE(platform::SetCurrentDirectory((dir / "missing").c_str()));
  EXPECT_EQ(platform::LastError(), platform::kErrorFileNotFound);
  ASSERT_TRUE(platform::SetCurrentDirectory(previous.c_str()));
  std::string temp = platform::TempDirectory();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), '/');
}

TEST(Process, ThreadIdsDifferAcrossThreadsAndStayFixed) {
  uint64_t mine = platform::CurrentThreadId();
  EXPECT_EQ(mine, platform::CurrentThreadId());
  uint64_t other = 0;
  std::thread t([&] { other = platform::CurrentThreadId(); });
  t.join();
  EXPECT_NE(other, 0u);
  EXPECT_NE(other, mine);
}

TEST(Process, LastErrorIsPerThread) {
  platform::SetLastError(platform::kErrorAccessDenied);
  std::thread t([] { platform::SetLastError(platform::kErrorDiskFull); });
  t.join();
  EXPECT_EQ(platform::LastError(), platform::kErrorAccessDenied);
  EXPECT_STREQ(platform::SystemErrorText(platform::kErrorFileNotFound),
               "The system cannot find the file specified.");
  EXPECT_STREQ(platform::SystemErrorText(99999), "Unknown error 99999.");
}

TEST(Clock, LocalTimeMatchesTheCLibraryAndTicksAdvance) {
  platform::LocalTime now = platform::GetLocalTime();
  std::time_t seconds = std::time(nullptr);
  std::tm tm;
  localtime_r(&seconds, &tm);
  EXPECT_EQ(now.year, tm.tm_year + 1900);
  EXPECT_EQ(now.month, tm.tm_mon + 1);
  EXPECT_GE(now.milliseconds, 0);
  EXPECT_LT(now.milliseconds, 1000);
  platform::LocalTime epoch_day = platform::LocalTimeOf(platform::TimeNow());
  EXPECT_EQ(epoch_day.day, tm.tm_mday);

  uint32_t before = platform::GetTickCount();
  platform::SleepMs(20);
  uint32_t elapsed = platform::GetTickCount() - before;  // wrap-safe difference
  EXPECT_GE(elapsed, 20u);
  EXPECT_LT(elapsed, 10000u);
}

}  // namespace
