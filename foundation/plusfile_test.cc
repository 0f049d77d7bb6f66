// PlusFile helpers: path texts, and how the file-system helpers map the platform's answers
// (the platform's own tests decide what the file system does).
#include "foundation/plusfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

TEST(PlusFileText, DirectoryOfWithFinalSeparatorAndBackslashes) {
  struct Case {
    std::function<CString(const char*)> function;
    const char* path;
    const char* expected;
  } cases[] = {
      {PlusFile::DirectoryOf, "c:\\a\\b.txt", "c:\\a\\"},
      {PlusFile::DirectoryOf, "c:b.txt", ""},
      {PlusFile::DirectoryOf, "c:/a/b", "c:/a/"},
      {PlusFile::DirectoryOf, "c:\\a\\", "c:\\a\\"},
      {PlusFile::DirectoryOf, "a/b\\c", "a/b\\"},
      {PlusFile::DirectoryOf, "", ""},
      {PlusFile::WithFinalSeparator, " c:\\a \r\n", "c:\\a\\"},
      {PlusFile::WithFinalSeparator, "c:\\a/", "c:\\a\\"},
      {PlusFile::WithFinalSeparator, "c:\\a\\", "c:\\a\\"},
      {PlusFile::WithFinalSeparator, " \t", ""},
      {PlusFile::WithBackslashes, "c:/a/b\\c/", "c:\\a\\b\\c\\"},
  };
  for (const Case& c : cases) EXPECT_STREQ(c.function(c.path), c.expected) << c.path;
}

std::vector<std::string> Sorted(const YStringArray& names) {
  std::vector<std::string> sorted;
  for (int i = 0; i < names.GetCount(); ++i) sorted.emplace_back(names.GetAt(i).GetString());
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

TEST(PlusFile, FindsFilesButListsNoDirectories) {
  TempDir dir;
  WriteFileBytes(dir / "a.log", "");
  WriteFileBytes(dir / "c.txt", "");
  fs::create_directory(dir / "x.log");
  YStringArray names;
  names.Add("stale");
  EXPECT_EQ(PlusFile::FindFiles((dir / "*.log").c_str(), names), 1);
  EXPECT_EQ(Sorted(names), std::vector<std::string>{"a.log"});
  EXPECT_EQ(PlusFile::FindFiles((dir / "nodir/*.log").c_str(), names), 0);
  EXPECT_EQ(names.GetCount(), 0);
  EXPECT_EQ(PlusFile::FileExists((dir / "x.log").c_str()), 1) << "directories count";
  EXPECT_EQ(PlusFile::FileExists((dir / "*.txt").c_str()), 1);
  EXPECT_EQ(PlusFile::FileExists((dir / "*.dat").c_str()), 0);
  EXPECT_EQ(PlusFile::DirExists((dir / "x.log").c_str()), 1);
  EXPECT_EQ(PlusFile::DirExists((dir / "c.txt").c_str()), 0);
  EXPECT_EQ(PlusFile::DirExists((dir / "absent").c_str()), 0);
}

// The size keeps its low 32 bits; times the platform does not give are the last write's.
TEST(PlusFile, FileStatusAndLastWriteTime) {
  TempDir dir;
  std::string path = dir / "big";
  WriteFileBytes(path, "");
  fs::resize_file(path, (uint64_t{1} << 32) + 7);  // sparse: takes no space
  constexpr int64_t kWritten = 1300000000;
  auto when = std::chrono::sys_seconds(std::chrono::seconds(kWritten));
  fs::last_write_time(path, std::chrono::file_clock::from_sys(when));
  PlusFile::FileInfo info;
  ASSERT_EQ(PlusFile::FileStatus(path.c_str(), &info), 1);
  EXPECT_EQ(info.last_write_time, kWritten);
  EXPECT_NE(info.creation_time, 0);
  EXPECT_NE(info.last_access_time, 0);
  EXPECT_EQ(info.size, 7u);
  EXPECT_EQ(info.attributes, 0x20u);
  EXPECT_EQ(PlusFile::LastWriteTime(path.c_str()), kWritten);
  EXPECT_EQ(PlusFile::LastWriteTime((dir / "absent").c_str()), 0);
  EXPECT_EQ(PlusFile::FileStatus((dir / "absent").c_str(), &info), 0);
}

// Each helper maps the platform's success and failure once: 1/0, or 0/-1 for the two that
// follow the C runtime's convention.
TEST(PlusFile, HelpersMapThePlatformsAnswers) {
  TempDir dir;
  std::string sub = dir / "sub", a = dir / "a", moved = dir / "sub/a";
  WriteFileBytes(a, "a");
  struct Case {
    const char* name;
    std::function<int()> call;
    int expected;
  } cases[] = {
      {"MakeDir", [&] { return PlusFile::MakeDir(sub.c_str()); }, 1},
      {"MakeDir again", [&] { return PlusFile::MakeDir(sub.c_str()); }, 0},
      {"Rename", [&] { return PlusFile::Rename(a.c_str(), moved.c_str()); }, 0},
      {"Rename of the absent", [&] { return PlusFile::Rename(a.c_str(), moved.c_str()); }, -1},
      {"RemoveDir not empty", [&] { return PlusFile::RemoveDir(sub.c_str()); }, 0},
      {"DeleteFile of a directory", [&] { return PlusFile::DeleteFile(sub.c_str()); }, 0},
      {"Remove of a directory", [&] { return PlusFile::Remove(sub.c_str()); }, -1},
      {"Remove", [&] { return PlusFile::Remove(moved.c_str()); }, 0},
      {"RemoveDir", [&] { return PlusFile::RemoveDir(sub.c_str()); }, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(c.call(), c.expected) << c.name;
  WriteFileBytes(a, "a");
  EXPECT_EQ(PlusFile::DeleteFile(a.c_str()), 1);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(PlusFile, FreeDiskSpaceLeavesOutputAloneOnFailure) {
  TempDir dir;
  uint64_t free_bytes = 12345;
  EXPECT_EQ(PlusFile::FreeDiskSpace((dir / "nodir/x").c_str(), &free_bytes), 0);
  EXPECT_EQ(free_bytes, 12345u);
  ASSERT_EQ(PlusFile::FreeDiskSpace(dir.path().c_str(), &free_bytes), 1);
  // Other processes write meanwhile: the two readings need only be close.
  uint64_t available = fs::space(dir.path()).available;
  EXPECT_LT(free_bytes > available ? free_bytes - available : available - free_bytes,
            uint64_t{256} << 20);
}

}  // namespace
