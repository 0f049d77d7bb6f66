#include "runtime/ymonitorserver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "foundation/datetime.h"
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

TEST(LogServer, ANewDaysFileFirstTrimsTheOldFilesToTheRetentionNumber) {
  CurrentTempDir dir;
  fs::create_directory("logs");
  for (const char* old : {"2020-01-01", "2020-01-02", "2020-01-03", "2020-01-04", "2020-01-05"}) {
    std::ofstream(std::string("logs/") + old + ".log") << old;
  }
  std::ofstream("logs/keep.txt") << "not a log";
  {
    YMonitorServer server("logs\\", 3, 0, 100, 2048);  // no buffer: straight to the file
    testing::internal::CaptureStdout();
    server.Log("first\r\n");
    testing::internal::GetCapturedStdout();
  }
  EXPECT_FALSE(fs::exists("logs/2020-01-01.log"));
  EXPECT_FALSE(fs::exists("logs/2020-01-02.log"));
  EXPECT_TRUE(fs::exists("logs/2020-01-03.log"));
  EXPECT_TRUE(fs::exists("logs/2020-01-04.log"));
  EXPECT_TRUE(fs::exists("logs/2020-01-05.log"));
  EXPECT_TRUE(fs::exists("logs/keep.txt"));
  EXPECT_EQ(ReadFileBytes("logs/" + Today() + ".log"), "first\r\n");
}

TEST(LogServer, AppendsToTheDaysExistingFile) {
  CurrentTempDir dir;
  fs::create_directory("logs");
  std::ofstream("logs/" + Today() + ".log", std::ios::binary) << "earlier\r\n";
  {
    YMonitorServer server("logs", 1, 4096, 100, 2048);
    testing::internal::CaptureStdout();
    server.Log("later\r\n");
    testing::internal::GetCapturedStdout();
  }
  EXPECT_EQ(ReadFileBytes("logs/" + Today() + ".log"), "earlier\r\nlater\r\n");
}

}  // namespace
