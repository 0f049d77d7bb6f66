#include "foundation/plusfile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <tuple>

#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Path texts. Each helper maps the platform's success and failure once: 1/0, or 0/-1 for the two
// that follow the C runtime's convention. Listing skips directories; the size keeps its low 32
// bits; times the platform does not give are the last write's; a failure leaves outputs alone;
// free space is close to the OS figure (other processes write meanwhile).
TEST(PlusFile, HelpersMapThePlatformsAnswers) {
  std::tuple<CString (*)(const char*), const char*, const char*> cases[] = {
      {PlusFile::DirectoryOf, "c:\\a\\b.txt", "c:\\a\\"},
      {PlusFile::DirectoryOf, "c:b.txt", ""},
      {PlusFile::WithFinalSeparator, " c:\\a \r\n", "c:\\a\\"},
      {PlusFile::WithFinalSeparator, "c:\\a/", "c:\\a\\"},
      {PlusFile::WithFinalSeparator, " \t", ""},
      {PlusFile::WithBackslashes, "c:/a/b\\c/", "c:\\a\\b\\c\\"},
  };
  for (const auto& [function, path, expected] : cases) EXPECT_STREQ(function(path), expected);
  TempDir dir;
  std::string sub = dir / "sub", a = dir / "a.log", moved = dir / "sub/a", big = dir / "big";
  WriteFileBytes(a, "a");
  WriteFileBytes(big, "");
  fs::resize_file(big, (uint64_t{1} << 32) + 7);  // sparse: takes no space
  fs::last_write_time(big, std::chrono::file_clock::from_sys(
                               std::chrono::sys_seconds(std::chrono::seconds(1300000000))));
  PlusFile::FileInfo info;
  YStringArray names;
  uint64_t free_bytes = 12345;
  EXPECT_EQ(PlusFile::MakeDir(sub.c_str()), 1);
  EXPECT_EQ(PlusFile::MakeDir(sub.c_str()), 0);
  EXPECT_EQ(PlusFile::FindFiles((dir / "*").c_str(), names), 2);
  EXPECT_EQ(PlusFile::FindFiles((dir / "*.log").c_str(), names), 1);
  EXPECT_STREQ(names.GetAt(0), "a.log");
  EXPECT_EQ(PlusFile::FileExists(sub.c_str()) + PlusFile::FileExists((dir / "*.lo?").c_str()), 2);
  EXPECT_EQ(PlusFile::DirExists(sub.c_str()) + PlusFile::DirExists(a.c_str()), 1);
  ASSERT_EQ(PlusFile::FileStatus(big.c_str(), &info), 1);
  EXPECT_EQ(info.size + info.attributes, 7u + 0x20u);
  EXPECT_EQ(info.last_write_time + PlusFile::LastWriteTime(big.c_str()), 2600000000);
  EXPECT_NE(info.creation_time * info.last_access_time, 0);
  EXPECT_EQ(PlusFile::Rename(a.c_str(), moved.c_str()), 0);
  EXPECT_EQ(PlusFile::Rename(a.c_str(), moved.c_str()), -1);
  EXPECT_EQ(PlusFile::FileStatus(a.c_str(), &info) + PlusFile::LastWriteTime(a.c_str()), 0);
  EXPECT_EQ(PlusFile::FindFiles((dir / "nodir/*").c_str(), names) + names.GetCount(), 0);
  EXPECT_EQ(PlusFile::FreeDiskSpace((dir / "nodir/x").c_str(), &free_bytes) + free_bytes, 12345u);
  EXPECT_EQ(PlusFile::RemoveDir(sub.c_str()) + PlusFile::DeleteFile(sub.c_str()), 0);
  EXPECT_EQ(PlusFile::Remove(sub.c_str()), -1);
  EXPECT_EQ(PlusFile::Remove(moved.c_str()), 0);
  EXPECT_EQ(PlusFile::RemoveDir(sub.c_str()) + PlusFile::DeleteFile(big.c_str()), 2);
  EXPECT_TRUE(fs::is_empty(dir.path()));
  ASSERT_EQ(PlusFile::FreeDiskSpace(dir.path().c_str(), &free_bytes), 1);
  uint64_t available = fs::space(dir.path()).available;
  EXPECT_LT(free_bytes > available ? free_bytes - available : available - free_bytes,
            uint64_t{256} << 20);
}

}  // namespace
