// The file object of unit "base": open modes, console messages by error, the seek failure
// line of the error log, and appending to text files. Each test runs in its own temporary
// directory as the current directory, where "corvexaerror.log" is written.
#include "foundation/base.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <regex>
#include <string>

#include "platform/process.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

class BaseFileTest : public testing::Test {
 protected:
  // Opens `path` with `mode` on `file` and gives what was printed.
  static std::string OpenPrinting(BaseFile& file, const std::string& path, unsigned mode,
                                  int* result) {
    testing::internal::CaptureStdout();
    *result = file.Open(path.c_str(), mode);
    return testing::internal::GetCapturedStdout();
  }

  static std::string Backslashed(std::string path) {
    for (char& ch : path) {
      if (ch == '/') ch = '\\';
    }
    return path;
  }

  CurrentTempDir dir_;
};

TEST_F(BaseFileTest, FailedOpenPrintsOneMessageChosenByError) {
  fs::create_directory("sub");
  std::string too_long(300, 'n');
  std::string running = platform::ProgramPath();
  struct Case {
    std::string path;
    unsigned mode;
    uint32_t error;
    std::string message;
  } cases[] = {
      {"absent.txt", kModeReadWrite, 2, ""},
      {"nodir/x.txt", kModeRead, 3, "error path not found :nodir\\x.txt \n"},
      {"sub", kModeReadWrite, 5, "error access denied :sub \n"},
      {too_long, kModeCreate | kModeWrite, 206, "error:206 ," + too_long + "\n"},
      // A running program cannot be written: Windows maps it without sharing writes, and a
      // busy text file is the closest POSIX has to a sharing violation.
      {running, kModeWrite, 32,
       "The process cannot access the file because it is being used by another process. " +
           Backslashed(running) + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    BaseFile file;
    int result = -1;
    EXPECT_EQ(OpenPrinting(file, c.path, c.mode, &result), c.message);
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.GetLastErrorCode(), c.error);
  }
}

TEST_F(BaseFileTest, CreateTruncatesAndNoTruncateKeepsContents) {
  BaseFile file;
  ASSERT_EQ(file.Open("data.bin", kTypeBinary | kModeCreate | kModeReadWrite), 1);  // 0x9002
  ASSERT_EQ(file.Write("abc", 3), 3);
  file.Close();

  ASSERT_EQ(file.Open("data.bin", kModeCreate | kModeNoTruncate | kModeReadWrite), 1);
  EXPECT_EQ(file.GetLength(), 3);
  file.Close();
  ASSERT_EQ(file.Open("data.bin", kModeReadWrite), 1);  // 0x0002: the file exists
  EXPECT_EQ(file.GetLength(), 3);
  ASSERT_EQ(file.Open("data.bin", 0x9002), 1);  // reopening closes the previous handle
  EXPECT_EQ(file.GetLength(), 0);

  // Create with no-truncate also makes a missing file.
  BaseFile other;
  ASSERT_EQ(other.Open("new.bin", kModeCreate | kModeNoTruncate | kModeWrite), 1);
  EXPECT_TRUE(fs::exists("new.bin"));
}

// The log's modes: a writer that lets others read, and a reader beside it. (Whether a second
// writer gets in is the platform's sharing, tested there.)
TEST_F(BaseFileTest, SharedLogModesOpen) {
  BaseFile writer;
  BaseFile reader;
  ASSERT_EQ(writer.Open("day.log", kModeCreate | kShareDenyWrite | kModeReadWrite), 1);  // 0x1022
  ASSERT_EQ(reader.Open("day.log", kShareDenyNone | kModeRead), 1);                      // 0x0040
  ASSERT_EQ(writer.Write("line\r\n", 6), 6);
  char buffer[16];
  EXPECT_EQ(reader.Read(buffer, sizeof buffer), 6);
}

TEST_F(BaseFileTest, PathIsKeptWithBackslashesAndFoundWithoutCase) {
  fs::create_directory("Sub");
  BaseFile file;
  ASSERT_EQ(file.Open("sub/Inner.TXT", kModeCreate | kModeWrite), 1);
  EXPECT_STREQ(file.GetFilePath(), "sub\\Inner.TXT");
  EXPECT_TRUE(fs::exists("Sub/Inner.TXT"));
}

// A failed seek appends its line to the error log; a write through a read-only open keeps
// its error.
TEST_F(BaseFileTest, ReadWriteSeekAndTheirFailures) {
  BaseFile file;
  ASSERT_EQ(file.Open("f", 0x9002), 1);
  ASSERT_EQ(file.Write("0123456789", 10), 10);
  EXPECT_EQ(file.Flush(), 1);
  EXPECT_EQ(file.Seek(2, BaseFile::kBegin), 2);
  char buffer[8] = {};
  EXPECT_EQ(file.Read(buffer, 4), 4);
  EXPECT_EQ(std::string(buffer, 4), "2345");
  EXPECT_EQ(file.Seek(-1, BaseFile::kCurrent), 5);
  EXPECT_EQ(file.SeekToEnd(), 10);
  EXPECT_EQ(file.Read(buffer, 8), 0);
  EXPECT_EQ(file.Seek(-3, BaseFile::kEnd), 7);
  EXPECT_EQ(file.GetLength(), 10);
  EXPECT_EQ(file.Seek(-5, BaseFile::kBegin), -1);
  EXPECT_EQ(file.GetLastErrorCode(), 87u);
  EXPECT_EQ(file.Close(), 1);
  EXPECT_EQ(file.Close(), 1);                       // closing again does nothing
  EXPECT_EQ(file.Seek(3, BaseFile::kCurrent), -1);  // no handle
  std::string log = ReadFileBytes("corvexaerror.log");
  EXPECT_TRUE(std::regex_match(log, std::regex("file:base,line:[0-9]+,error:87 ,off:-5\r\n"
                                               "file:base,line:[0-9]+,error:6 ,off:3\r\n")))
      << log;

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
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);  // t.txt
  testing::internal::CaptureStdout();
  EXPECT_EQ(AppendToTextFile("nodir\\t.txt", "x", true), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "error path not found :nodir\\t.txt \n");
}

TEST(BaseFileDeathTest, AccessThreeAndShareAboveDenyNoneAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  std::string path = dir / "f";
  // The fatal error writes its log into the current directory: the temporary one.
  auto open = [&](unsigned mode) {
    fs::current_path(dir.path());
    BaseFile file;
    file.Open(path.c_str(), mode);
  };
  EXPECT_DEATH(open(kModeCreate | 0x0003), "");
  EXPECT_DEATH(open(kModeCreate | 0x0050 | kModeReadWrite), "");
  EXPECT_DEATH(open(kModeCreate | 0x0070 | kModeWrite), "");
  EXPECT_FALSE(fs::exists(path));  // refused before anything was opened
}

}  // namespace
