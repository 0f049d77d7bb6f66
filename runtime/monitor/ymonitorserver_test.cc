#include "runtime/monitor/ymonitorserver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#include "foundation/datetime.h"
#include "platform/clock.h"
#include "testing/socket_read.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string Today() {
  return NowText("YYYY-MM-DD").GetString();
}

TEST(LogServer, WithoutRetentionNothingReachesAFile) {
  CurrentTempDir dir;
  {
    YMonitorServer server("logs", 0, 4096, 100, 2048);
    EXPECT_FALSE(server.file_logging());
    testing::internal::CaptureStdout();
    server.Log("line %d\r\n", 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "line 1\r\n");
  }
  EXPECT_FALSE(fs::exists("logs"));
}

TEST(LogServer, TheDirectoryGetsItsSeparatorAndTheBufferGathersUntilFull) {
  CurrentTempDir dir;
  fs::create_directory("logs");
  std::string file = "logs/" + Today() + ".log";
  {
    YMonitorServer server("  logs  ", 3, 64, 100, 2048);
    EXPECT_EQ(server.log_dir(), CString("logs\\"));
    testing::internal::CaptureStdout();
    server.Log("%s", std::string(40, 'a').c_str());
    EXPECT_FALSE(fs::exists(file));                  // still in the buffer
    server.Log("%s", std::string(40, 'b').c_str());  // does not fit: the first goes out
    EXPECT_EQ(ReadFileBytes(file), std::string(40, 'a'));
    server.Log("%s", std::string(100, 'c').c_str());  // longer than the buffer: written at once
    EXPECT_EQ(ReadFileBytes(file),
              std::string(40, 'a') + std::string(40, 'b') + std::string(100, 'c'));
    server.LogFile("only in the file\r\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string(40, 'a') + std::string(40, 'b') + std::string(100, 'c'));
  }
  std::string all = ReadFileBytes(file);
  EXPECT_EQ(all.substr(all.size() - 18), "only in the file\r\n");
}

// A new day's file first trims the old day files to the retention number: only day files,
// never the day being opened (other programs' logs, names that only look like days, and a
// day after today, from a clock that was set back, all sort after today's name). The day's
// existing file is appended to.
TEST(LogServer, ANewDaysFileFirstTrimsTheOldDayFilesToTheRetentionNumber) {
  CurrentTempDir dir;
  fs::create_directory("logs");
  const char* kept[] = {"app.log",       "zz-other.log",   "2020-01-0x.log",
                        "2020-1-01.log", "2999-12-31.log", "2020-01-01.log.log"};
  for (const char* name : kept) WriteFileBytes(std::string("logs/") + name, name);
  for (const char* old : {"2020-01-02.log", "2020-01-03.log"}) {
    WriteFileBytes(std::string("logs/") + old, old);
  }
  WriteFileBytes("logs/" + Today() + ".log", "earlier\r\n");
  {
    YMonitorServer server("logs\\", 1, 0, 100, 2048);  // no buffer: straight to the file
    testing::internal::CaptureStdout();
    server.Log("later\r\n");
    testing::internal::GetCapturedStdout();
  }
  for (const char* name : kept) EXPECT_TRUE(fs::exists(std::string("logs/") + name)) << name;
  EXPECT_FALSE(fs::exists("logs/2020-01-02.log"));
  EXPECT_FALSE(fs::exists("logs/2020-01-03.log"));
  EXPECT_EQ(ReadFileBytes("logs/" + Today() + ".log"), "earlier\r\nlater\r\n");
}

TEST(LogServer, RefusalsBeyondAFewASecondAreCountedInOneLine) {
  constexpr int kRefusals = 50;
  YMonitorServer server("", 0, 0, 100, 2048);
  testing::internal::CaptureStdout();
  for (int i = 0; i < kRefusals; ++i) server.LogRefusal("refused:%d\r\n", i);
  platform::SleepMs(RefusalLimiter::kWindowMs + 100);
  server.Log("later\r\n");
  std::string console = testing::internal::GetCapturedStdout();
  // However the calls fell into seconds, every refusal is either written or counted.
  int written = 0, counted = 0;
  for (size_t at = 0, end; (end = console.find("\r\n", at)) != std::string::npos; at = end + 2) {
    std::string line = console.substr(at, end - at);
    int count = 0;
    if (line.rfind("refused:", 0) == 0) {
      ++written;
    } else if (std::sscanf(line.c_str(), "suppressed %d refusal lines", &count) == 1) {
      counted += count;
    }
  }
  EXPECT_LT(written, kRefusals) << console;
  EXPECT_EQ(written + counted, kRefusals) << console;
  EXPECT_EQ(console.substr(console.size() - 9), "\r\nlater\r\n") << console;
}

TEST(LogServer, AMonitorClientTheFilterRefusesGetsNothingAndIsNamed) {
  YMonitorServer server("", 0, 0, 100, 2048);
  server.SetBanner("banner\r\n");
  std::atomic<bool> allow{false};
  server.SetClientFilter([&allow](const char* address) {
    return allow.load() && std::string(address) == "127.0.0.1";
  });
  server.StartListening("127.0.0.1", 0, 20);
  server.WaitStarted();
  CString address;
  int port = 0, refused_port = 0;
  server.GetLocalAddr(&address, &port);
  testing::internal::CaptureStdout();
  StdSocket refused;
  ASSERT_TRUE(refused.Connect("127.0.0.1", std::to_string(port).c_str()));
  refused.GetLocalAddr(&address, &refused_port);
  bool closed = false;
  EXPECT_EQ(ReadUntilClosed(refused, 10000, &closed), "");
  EXPECT_TRUE(closed);
  allow = true;
  StdSocket admitted;
  ASSERT_TRUE(admitted.Connect("127.0.0.1", std::to_string(port).c_str()));
  EXPECT_EQ(ReadUntilClosed(admitted, 1000, &closed), "banner\r\n");
  EXPECT_FALSE(closed);
  server.StopListening();
  EXPECT_EQ(
      testing::internal::GetCapturedStdout(),
      "monitor:127.0.0.1," + std::to_string(refused_port) + " refused: not an allowed client\r\n");
}

}  // namespace
