#include "foundation/base.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <tuple>

#include "platform/process.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

class BaseFileTest : public testing::Test {
 protected:
  CurrentTempDir dir_;
};

TEST_F(BaseFileTest, FailedOpenPrintsOneMessageChosenByError) {
  fs::create_directory("sub");
  std::string too_long(300, 'n'), running = platform::ProgramPath(), shown = running;
  std::replace(shown.begin(), shown.end(), '/', '\\');
  // A running program cannot be written (a sharing violation).
  std::tuple<std::string, unsigned, uint32_t, std::string> cases[] = {
      {"absent.txt", kModeReadWrite, 2, ""},
      {"nodir/x.txt", kModeRead, 3, "error path not found :nodir\\x.txt \n"},
      {"sub", kModeReadWrite, 5, "error access denied :sub \n"},
      {too_long, kModeCreate | kModeWrite, 206, "error:206 ," + too_long + "\n"},
      {running, kModeWrite, 32,
       "The process cannot access the file because it is being used by another process. " + shown +
           "\n"},
  };
  for (const auto& [path, mode, error, message] : cases) {
    SCOPED_TRACE(path);
    BaseFile file;
    testing::internal::CaptureStdout();
    EXPECT_EQ(file.Open(path.c_str(), mode), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), message);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.GetLastErrorCode(), error);
  }
}

TEST_F(BaseFileTest, OpenModesSeeksAndTheirFailures) {
  BaseFile file, reader;
  ASSERT_EQ(file.Open("data.bin", kModeCreate | kModeNoTruncate | kModeWrite), 1);
  ASSERT_EQ(file.Write("abc", 3), 3);
  ASSERT_EQ(file.Open("data.bin", kModeCreate | kModeNoTruncate | kModeReadWrite), 1);
  EXPECT_EQ(file.GetLength(), 3);
  ASSERT_EQ(file.Open("data.bin", kTypeBinary | kModeCreate | kModeReadWrite), 1);  // 0x9002
  EXPECT_EQ(file.GetLength(), 0);
  ASSERT_EQ(file.Open("day.log", kModeCreate | kShareDenyWrite | kModeReadWrite), 1);  // 0x1022
  ASSERT_EQ(reader.Open("day.log", kShareDenyNone | kModeRead), 1);                    // 0x0040
  ASSERT_EQ(file.Write("line\r\n", 6), 6);
  char buffer[16];
  EXPECT_EQ(reader.Read(buffer, sizeof buffer), 6);
  ASSERT_EQ(file.Open("f", 0x9002), 1);
  ASSERT_EQ(file.Write("0123456789", 10), 10);
  EXPECT_EQ(file.Seek(-3, BaseFile::kEnd), 7);
  EXPECT_EQ(file.Seek(-1, BaseFile::kCurrent), 6);
  EXPECT_EQ(file.Read(buffer, 8), 4);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_EQ(file.SeekToEnd(), 10);
  EXPECT_EQ(file.Seek(-5, BaseFile::kBegin), -1);
  EXPECT_EQ(file.GetLastErrorCode(), 87u);
  EXPECT_EQ(file.Close(), 1);
  EXPECT_EQ(file.Seek(3, BaseFile::kCurrent), -1);  // no handle
  EXPECT_TRUE(std::regex_match(ReadFileBytes("corvexaerror.log"),
                               std::regex("file:base,line:[0-9]+,error:87 ,off:-5\r\n"
                                          "file:base,line:[0-9]+,error:6 ,off:3\r\n")));
  ASSERT_EQ(file.Open("f", kModeRead), 1);
  EXPECT_EQ(file.Write("y", 1), -1);
  EXPECT_EQ(file.GetLastErrorCode(), 5u);
  EXPECT_STREQ(file.GetErrorText(), "Access is denied.\r\n");
}

TEST_F(BaseFileTest, AppendToTextFile) {
  EXPECT_EQ(AppendToTextFile("t.txt", "one\n", true), 1);  // created when missing
  EXPECT_EQ(AppendToTextFile("T.TXT", "two\n", true), 1);
  EXPECT_EQ(ReadFileBytes("t.txt"), "one\ntwo\n");
  EXPECT_EQ(AppendToTextFile("t.txt", "new\n", false), 1);
  EXPECT_EQ(ReadFileBytes("t.txt"), "new\n");
  EXPECT_EQ(AppendToTextFile("", "x", true), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(AppendToTextFile("nodir\\t.txt", "x", true), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "error path not found :nodir\\t.txt \n");
}

TEST(BaseFileDeathTest, AccessThreeAndShareAboveDenyNoneAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  CurrentTempDir dir;  // the fatal error writes its log here
  for (unsigned mode : {0x0003u, 0x0050u | kModeReadWrite, 0x0070u | kModeWrite}) {
    EXPECT_DEATH(BaseFile().Open("f", kModeCreate | mode), "");
  }
}

}  // namespace
