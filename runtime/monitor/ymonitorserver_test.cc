#include "runtime/monitor/ymonitorserver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "foundation/datetime.h"
#include "platform/clock.h"
#include "testing/socket_read.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Without retention nothing reaches a file. With it, a new day's file first trims the old day
// files (only those, and never the day opened) to the retention number, and the buffer gathers
// until full; a text longer than the buffer is written at once; LogFile writes only to the file.
TEST(LogServer, TheBufferGathersAndANewDaysFileTrimsTheOldDayFiles) {
  CurrentTempDir dir;
  fs::create_directory("logs");
  std::string file = std::string("logs/") + NowText("YYYY-MM-DD").GetString() + ".log", a(40, 'a'),
              b(40, 'b'), c(100, 'c'), e = "earlier\r\n";
  testing::internal::CaptureStdout();
  YMonitorServer("logs", 0, 4096, 100, 2048).Log("line %d\r\n", 1);
  EXPECT_TRUE(fs::is_empty("logs"));
  const char* kept[] = {"app.log",       "zz-other.log",   "2020-01-0x.log",
                        "2020-1-01.log", "2999-12-31.log", "2020-01-01.log.log"};
  for (const char* name : kept) WriteFileBytes(std::string("logs/") + name, name);
  for (const char* old : {"logs/2020-01-02.log", "logs/2020-01-03.log"}) WriteFileBytes(old, "");
  WriteFileBytes(file, e);
  {
    YMonitorServer server("  logs  ", 1, 64, 100, 2048);
    EXPECT_EQ(server.log_dir(), CString("logs\\"));
    server.Log("%s", a.c_str());
    EXPECT_EQ(ReadFileBytes(file), e);  // still in the buffer
    server.Log("%s", b.c_str());        // does not fit: the first goes out
    EXPECT_EQ(ReadFileBytes(file), e + a);
    server.Log("%s", c.c_str());
    EXPECT_EQ(ReadFileBytes(file), e + a + b + c);
    server.LogFile("only in the file\r\n");
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "line 1\r\n" + a + b + c);
  EXPECT_EQ(ReadFileBytes(file), e + a + b + c + "only in the file\r\n");
  for (const char* name : kept) EXPECT_TRUE(fs::exists(std::string("logs/") + name)) << name;
  EXPECT_FALSE(fs::exists("logs/2020-01-02.log") || fs::exists("logs/2020-01-03.log"));
}

TEST(LogServer, RefusalsBeyondAFewASecondAreCountedInOneLine) {
  YMonitorServer server("", 0, 0, 100, 2048);
  testing::internal::CaptureStdout();
  for (int i = 0; i < 50; ++i) server.LogRefusal("refused:%d\r\n", i);
  platform::SleepMs(RefusalLimiter::kWindowMs + 100);
  server.Log("later\r\n");
  std::string console = testing::internal::GetCapturedStdout();
  int written = 0, counted = 0, count = 0;
  for (size_t at = 0; (at = console.find("refused:", at)) != std::string::npos; ++at) ++written;
  for (size_t at = 0; (at = console.find("suppressed ", at)) != std::string::npos; ++at)
    counted += std::sscanf(console.c_str() + at, "suppressed %d refusal lines", &count) * count;
  EXPECT_LT(written, 50) << console;
  EXPECT_EQ(written + counted, 50) << console;
  EXPECT_EQ(console.substr(console.size() - 9), "\r\nlater\r\n") << console;
}

TEST(LogServer, AMonitorClientTheFilterRefusesGetsNothingAndIsNamed) {
  YMonitorServer server("", 0, 0, 100, 2048);
  server.SetBanner("banner\r\n");
  server.SetClientFilter([](const char* address) { return std::string(address) != "127.0.0.1"; });
  server.StartListening("127.0.0.1", 0, 20);
  server.WaitStarted();
  CString address;
  int port = 0, refused_port = 0;
  server.GetLocalAddr(&address, &port);
  testing::internal::CaptureStdout();
  StdSocket refused;
  bool closed = false;
  ASSERT_TRUE(refused.Connect("127.0.0.1", std::to_string(port).c_str()));
  refused.GetLocalAddr(&address, &refused_port);
  EXPECT_EQ(ReadUntilClosed(refused, 10000, &closed), "");
  EXPECT_TRUE(closed);
  server.StopListening();
  EXPECT_EQ(
      testing::internal::GetCapturedStdout(),
      "monitor:127.0.0.1," + std::to_string(refused_port) + " refused: not an allowed client\r\n");
}

}  // namespace
