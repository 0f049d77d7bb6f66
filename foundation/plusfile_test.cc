// PlusFile helpers: path texts, and the file-system helpers on a real temporary directory.
#include "foundation/plusfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

TEST(PlusFileText, DirectoryOf) {
  EXPECT_STREQ(PlusFile::DirectoryOf("c:\\a\\b.txt"), "c:\\a\\");
  EXPECT_STREQ(PlusFile::DirectoryOf("b.txt"), "");
  EXPECT_STREQ(PlusFile::DirectoryOf("c:b.txt"), "");
  EXPECT_STREQ(PlusFile::DirectoryOf("c:/a/b"), "c:/a/");
  EXPECT_STREQ(PlusFile::DirectoryOf("c:\\a\\"), "c:\\a\\");
  EXPECT_STREQ(PlusFile::DirectoryOf("a/b\\c"), "a/b\\");
  EXPECT_STREQ(PlusFile::DirectoryOf(""), "");
}

TEST(PlusFileText, WithFinalSeparatorAndBackslashes) {
  EXPECT_STREQ(PlusFile::WithFinalSeparator(" c:\\a \r\n"), "c:\\a\\");
  EXPECT_STREQ(PlusFile::WithFinalSeparator("c:\\a/"), "c:\\a\\");
  EXPECT_STREQ(PlusFile::WithFinalSeparator("c:\\a\\"), "c:\\a\\");
  EXPECT_STREQ(PlusFile::WithFinalSeparator("c:/a/b"), "c:/a/b\\");
  EXPECT_STREQ(PlusFile::WithFinalSeparator(" \t"), "");
  EXPECT_STREQ(PlusFile::WithBackslashes("c:/a/b\\c/"), "c:\\a\\b\\c\\");
}

class PlusFileTest : public testing::Test {
 protected:
  std::string Path(const std::string& relative) const { return dir_ / relative; }
  void Touch(const std::string& relative, const std::string& text = "") const {
    std::ofstream(Path(relative), std::ios::binary) << text;
  }

  TempDir dir_;
};

std::vector<std::string> Sorted(const YStringArray& names) {
  std::vector<std::string> sorted;
  for (int i = 0; i < names.GetCount(); ++i) sorted.emplace_back(names.GetAt(i).GetString());
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

TEST_F(PlusFileTest, FindFilesListsMatchingFilesButNoDirectories) {
  Touch("a.log");
  Touch("B.LOG");
  Touch("c.txt");
  fs::create_directory(Path("x.log"));
  YStringArray names;
  names.Add("stale");
  EXPECT_EQ(PlusFile::FindFiles((dir_.path() + "\\*.log").c_str(), names), 2);
  EXPECT_EQ(Sorted(names), (std::vector<std::string>{"B.LOG", "a.log"}));
  EXPECT_EQ(PlusFile::FindFiles(Path("*.*").c_str(), names), 3);
  EXPECT_EQ(PlusFile::FindFiles(Path("nodir/*.log").c_str(), names), 0);
  EXPECT_EQ(names.GetCount(), 0);
}

TEST_F(PlusFileTest, ExistsForFilesDirectoriesAndPatterns) {
  Touch("File.txt");
  fs::create_directory(Path("Dir"));
  EXPECT_EQ(PlusFile::FileExists(Path("file.TXT").c_str()), 1);
  EXPECT_EQ(PlusFile::FileExists(Path("dir").c_str()), 1);  // directories count
  EXPECT_EQ(PlusFile::FileExists(Path("*.txt").c_str()), 1);
  EXPECT_EQ(PlusFile::FileExists(Path("*.log").c_str()), 0);
  EXPECT_EQ(PlusFile::FileExists(Path("nodir\\file.txt").c_str()), 0);

  EXPECT_EQ(PlusFile::DirExists(Path("DIR").c_str()), 1);
  EXPECT_EQ(PlusFile::DirExists(Path("DIR\\").c_str()), 1);
  EXPECT_EQ(PlusFile::DirExists(Path("file.txt").c_str()), 0);
  EXPECT_EQ(PlusFile::DirExists(Path("absent").c_str()), 0);
}

TEST_F(PlusFileTest, FileStatusAndLastWriteTime) {
  Touch("five", "12345");
  constexpr int64_t kWritten = 1300000000;
  auto when = std::chrono::sys_seconds(std::chrono::seconds(kWritten));
  fs::last_write_time(Path("five"), std::chrono::file_clock::from_sys(when));

  PlusFile::FileInfo info;
  ASSERT_EQ(PlusFile::FileStatus(Path("FIVE").c_str(), &info), 1);
  EXPECT_EQ(info.last_write_time, kWritten);
  EXPECT_NE(info.creation_time, 0);
  EXPECT_NE(info.last_access_time, 0);
  EXPECT_EQ(info.size, 5u);
  EXPECT_EQ(info.attributes, 0x20u);
  EXPECT_EQ(PlusFile::LastWriteTime(Path("five").c_str()), kWritten);
  EXPECT_EQ(PlusFile::LastWriteTime(Path("absent").c_str()), 0);
  EXPECT_EQ(PlusFile::FileStatus(Path("absent").c_str(), &info), 0);
}

TEST_F(PlusFileTest, SizeKeepsTheLow32Bits) {
  Touch("big");
  fs::resize_file(Path("big"), (uint64_t{1} << 32) + 7);  // sparse: takes no space
  PlusFile::FileInfo info;
  ASSERT_EQ(PlusFile::FileStatus(Path("big").c_str(), &info), 1);
  EXPECT_EQ(info.size, 7u);
}

TEST_F(PlusFileTest, DirectoriesFilesAndRenames) {
  EXPECT_EQ(PlusFile::MakeDir(Path("New").c_str()), 1);
  EXPECT_EQ(PlusFile::MakeDir(Path("new").c_str()), 0);
  EXPECT_EQ(PlusFile::DeleteFile(Path("new").c_str()), 0);  // files only
  EXPECT_EQ(PlusFile::Remove(Path("new").c_str()), -1);
  EXPECT_TRUE(fs::is_directory(Path("New")));

  Touch("a", "a");
  Touch("b", "b");
  EXPECT_EQ(PlusFile::Rename(Path("a").c_str(), Path("B").c_str()), -1);
  EXPECT_EQ(PlusFile::Rename(Path("a").c_str(), Path("new\\a").c_str()), 0);
  EXPECT_TRUE(fs::exists(Path("New/a")));
  EXPECT_EQ(PlusFile::RemoveDir(Path("new").c_str()), 0);  // not empty
  EXPECT_EQ(PlusFile::Remove(Path("NEW/A").c_str()), 0);
  EXPECT_EQ(PlusFile::DeleteFile(Path("b").c_str()), 1);
  EXPECT_EQ(PlusFile::RemoveDir(Path("new").c_str()), 1);
  EXPECT_TRUE(fs::is_empty(dir_.path()));
}

TEST_F(PlusFileTest, FreeDiskSpaceLeavesOutputAloneOnFailure) {
  uint64_t free_bytes = 12345;
  EXPECT_EQ(PlusFile::FreeDiskSpace(Path("nodir\\x").c_str(), &free_bytes), 0);
  EXPECT_EQ(free_bytes, 12345u);
  ASSERT_EQ(PlusFile::FreeDiskSpace(dir_.path().c_str(), &free_bytes), 1);
  // Other processes write meanwhile: the two readings need only be close.
  uint64_t available = fs::space(dir_.path()).available;
  uint64_t gap = free_bytes > available ? free_bytes - available : available - free_bytes;
  EXPECT_LT(gap, uint64_t{256} << 20);
  EXPECT_GT(free_bytes, 0u);
}

}  // namespace
