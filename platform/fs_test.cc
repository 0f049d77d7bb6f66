// File-system calls through platform/fs.h on a real temporary directory, reached by Windows
// paths (drive letter, backslashes, any case).
#include "platform/fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/error.h"
#include "testing/temp_dir.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class FsTest : public testing::Test {
 protected:
  // `relative` below the temporary directory, as a Windows path: "c:\tmp\...\relative".
  std::string Win(const std::string& relative) const {
    std::string path = "c:" + dir_.path() + "\\" + relative;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
  }
  std::string Native(const std::string& relative) const { return dir_ / relative; }
  void Touch(const std::string& relative, const std::string& text = "") const {
    std::ofstream(Native(relative), std::ios::binary) << text;
  }
  std::vector<std::string> Names(const std::string& pattern, size_t limit = 0) const {
    std::vector<std::string> names;
    for (const FoundEntry& entry : FindEntries(Win(pattern).c_str(), limit)) {
      names.push_back(entry.name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
};

using NameList = std::vector<std::string>;

TEST_F(FsTest, NativePathMapsDriveAndSeparators) {
  EXPECT_EQ(NativePath("d:\\pellary-absent\\a\\b.txt"), "/pellary-absent/a/b.txt");
  EXPECT_EQ(NativePath("D:/pellary-absent\\x"), "/pellary-absent/x");
  EXPECT_EQ(NativePath("d:pellary-absent"), "/pellary-absent");
  EXPECT_EQ(NativePath("c:\\"), "/");
  EXPECT_EQ(NativePath("pellary-absent\\rel"), "pellary-absent/rel");  // stays relative
  EXPECT_EQ(NativePath(Win("").c_str()), dir_.path() + "/");
}

TEST_F(FsTest, NativePathResolvesMissingComponentsWithoutCase) {
  fs::create_directories(Native("Data/Sub"));
  Touch("Data/Sub/File.Txt");
  EXPECT_EQ(NativePath(Win("data\\SUB\\file.txt").c_str()), Native("Data/Sub/File.Txt"));
  // What matches nothing keeps its spelling, and so does everything below it.
  EXPECT_EQ(NativePath(Win("DATA\\New\\sub").c_str()), Native("Data/New/sub"));
  // An exact spelling wins over a case-insensitive one.
  fs::create_directory(Native("data"));
  EXPECT_EQ(NativePath(Win("data\\x").c_str()), Native("data/x"));
  EXPECT_EQ(NativePath(Win("Data\\x").c_str()), Native("Data/x"));
}

TEST_F(FsTest, WildcardsMatchTheLastComponentWithoutCase) {
  Touch("a.log");
  Touch("B.LOG");
  Touch("c.txt");
  Touch("noext");
  Touch("ab.log");
  fs::create_directory(Native("x.log"));
  EXPECT_EQ(Names("*.log"), (NameList{"B.LOG", "a.log", "ab.log", "x.log"}));
  EXPECT_EQ(Names("*.LoG"), Names("*.log"));
  EXPECT_EQ(Names("?.log"), (NameList{"B.LOG", "a.log", "x.log"}));
  EXPECT_EQ(Names("a*"), (NameList{"a.log", "ab.log"}));
  EXPECT_EQ(Names("*.*"), (NameList{"B.LOG", "a.log", "ab.log", "c.txt", "noext", "x.log"}));
  EXPECT_EQ(Names("*"), Names("*.*"));
  EXPECT_EQ(Names("*o*t"), (NameList{"noext"}));
  EXPECT_EQ(Names("*.log", 2).size(), 2u);
}

TEST_F(FsTest, FoundEntriesCarryAttributesAndStatus) {
  Touch("five.bin", "12345");
  fs::create_directory(Native("sub.bin"));
  struct timespec times[2] = {{1000000000, 0}, {1100000000, 0}};  // access, write
  ASSERT_EQ(utimensat(AT_FDCWD, Native("five.bin").c_str(), times, 0), 0);

  std::vector<FoundEntry> found = FindEntries(Win("*.BIN").c_str());
  ASSERT_EQ(found.size(), 2u);
  if (found[0].name != "five.bin") std::swap(found[0], found[1]);
  EXPECT_EQ(found[0].status.size, 5u);
  EXPECT_EQ(found[0].status.attributes, kAttributeArchive);
  EXPECT_EQ(found[0].status.last_access_time, 1000000000);
  EXPECT_EQ(found[0].status.last_write_time, 1100000000);
  // The birth time where the file system keeps one, else the last-write time.
  int64_t created = found[0].status.creation_time;
  EXPECT_TRUE(created == 1100000000 || std::abs(created - std::time(nullptr)) < 600) << created;
  EXPECT_EQ(found[1].status.attributes, kAttributeDirectory);
}

TEST_F(FsTest, WithoutWildcardFindsOneEntryAsSpelledOnDisk) {
  fs::create_directory(Native("Logs"));
  std::vector<FoundEntry> found = FindEntries(Win("LOGS").c_str());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].name, "Logs");
  EXPECT_EQ(found[0].status.attributes, kAttributeDirectory);
  // Never "." or "..", and a final separator names no entry.
  EXPECT_TRUE(FindEntries(Win("Logs\\.").c_str()).empty());
  EXPECT_TRUE(FindEntries(Win("Logs\\..").c_str()).empty());
  EXPECT_TRUE(FindEntries(Win("Logs\\").c_str()).empty());
  EXPECT_EQ(Names("Logs\\*"), NameList{});
}

TEST_F(FsTest, NothingFoundIsTwoAndMissingDirectoryIsThree) {
  Touch("a.txt");
  EXPECT_TRUE(FindEntries(Win("*.log").c_str()).empty());
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_TRUE(FindEntries(Win("b.txt").c_str()).empty());
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_TRUE(FindEntries(Win("nodir\\*.log").c_str()).empty());
  EXPECT_EQ(LastError(), kErrorPathNotFound);
  EXPECT_TRUE(FindEntries(Win("nodir\\b.txt").c_str()).empty());
  EXPECT_EQ(LastError(), kErrorPathNotFound);
}

TEST_F(FsTest, AttributesOfDirectoryFileAndReadOnlyFile) {
  Touch("f");
  Touch("ro");
  fs::permissions(Native("ro"), fs::perms::owner_read | fs::perms::group_read);
  uint32_t attributes = 0;
  ASSERT_TRUE(GetAttributes(Win("").c_str(), &attributes));
  EXPECT_EQ(attributes, kAttributeDirectory);
  ASSERT_TRUE(GetAttributes(Win("F").c_str(), &attributes));
  EXPECT_EQ(attributes, kAttributeArchive);
  ASSERT_TRUE(GetAttributes(Win("ro").c_str(), &attributes));
  EXPECT_EQ(attributes, kAttributeArchive | kAttributeReadOnly);
  EXPECT_FALSE(GetAttributes(Win("gone").c_str(), &attributes));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_FALSE(GetAttributes(Win("gone\\f").c_str(), &attributes));
  EXPECT_EQ(LastError(), kErrorPathNotFound);
}

TEST_F(FsTest, MakeAndRemoveDirectory) {
  ASSERT_TRUE(MakeDirectory(Win("Data").c_str()));
  EXPECT_TRUE(fs::is_directory(Native("Data")));
  EXPECT_FALSE(MakeDirectory(Win("DATA").c_str()));  // exists under another case
  EXPECT_EQ(LastError(), kErrorAlreadyExists);
  EXPECT_FALSE(MakeDirectory(Win("none\\sub").c_str()));
  EXPECT_EQ(LastError(), kErrorPathNotFound);
  ASSERT_TRUE(MakeDirectory(Win("data\\Sub\\").c_str()));
  EXPECT_TRUE(fs::is_directory(Native("Data/Sub")));

  EXPECT_FALSE(RemoveDirectory(Win("data").c_str()));
  EXPECT_EQ(LastError(), kErrorDirNotEmpty);
  Touch("file");
  EXPECT_FALSE(RemoveDirectory(Win("file").c_str()));
  EXPECT_EQ(LastError(), kErrorDirectory);
  EXPECT_FALSE(RemoveDirectory(Win("absent").c_str()));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_TRUE(RemoveDirectory(Win("DATA\\sub").c_str()));
  EXPECT_TRUE(RemoveDirectory(Win("DATA").c_str()));
  EXPECT_FALSE(fs::exists(Native("Data")));
}

TEST_F(FsTest, DeleteFileRemovesFilesOnly) {
  fs::create_directory(Native("dir"));
  EXPECT_FALSE(DeleteFile(Win("dir").c_str()));
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  EXPECT_TRUE(fs::exists(Native("dir")));
  EXPECT_FALSE(DeleteFile(Win("absent").c_str()));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_FALSE(DeleteFile(Win("absent\\f").c_str()));
  EXPECT_EQ(LastError(), kErrorPathNotFound);
  Touch("Victim.Txt");
  EXPECT_TRUE(DeleteFile(Win("victim.txt").c_str()));
  EXPECT_FALSE(fs::exists(Native("Victim.Txt")));
}

TEST_F(FsTest, RenameRefusesAnExistingTarget) {
  Touch("from", "from");
  Touch("to", "to");
  EXPECT_FALSE(RenameFile(Win("from").c_str(), Win("TO").c_str()));
  EXPECT_EQ(LastError(), kErrorAlreadyExists);
  std::ifstream to(Native("to"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(to), {}), "to");
  EXPECT_TRUE(fs::exists(Native("from")));

  EXPECT_TRUE(RenameFile(Win("FROM").c_str(), Win("moved").c_str()));
  EXPECT_TRUE(fs::exists(Native("moved")));
  EXPECT_FALSE(fs::exists(Native("from")));
}

TEST_F(FsTest, RenameMovesDirectoriesAndChangesCase) {
  fs::create_directories(Native("Old/inner"));
  EXPECT_TRUE(RenameFile(Win("old").c_str(), Win("New").c_str()));
  EXPECT_TRUE(fs::is_directory(Native("New/inner")));
  EXPECT_TRUE(RenameFile(Win("new").c_str(), Win("NEW").c_str()));
  EXPECT_TRUE(fs::is_directory(Native("NEW/inner")));
  EXPECT_FALSE(fs::exists(Native("New")));
}

TEST_F(FsTest, RenameTellsMissingSourceFromMissingTargetDirectory) {
  Touch("f");
  EXPECT_FALSE(RenameFile(Win("absent").c_str(), Win("g").c_str()));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_FALSE(RenameFile(Win("nodir\\absent").c_str(), Win("g").c_str()));
  EXPECT_EQ(LastError(), kErrorPathNotFound);
  EXPECT_FALSE(RenameFile(Win("f").c_str(), Win("nodir\\g").c_str()));
  EXPECT_EQ(LastError(), kErrorPathNotFound);
  EXPECT_TRUE(fs::exists(Native("f")));
}

TEST_F(FsTest, DiskFreeSpaceOfTheVolume) {
  uint64_t free_to_caller = 0;
  uint64_t total = 0;
  uint64_t total_free = 0;
  ASSERT_TRUE(DiskFreeSpace(Win("").c_str(), &free_to_caller, &total, &total_free));
  EXPECT_GT(total, 0u);
  EXPECT_LE(free_to_caller, total_free);
  EXPECT_LE(total_free, total);
  EXPECT_FALSE(DiskFreeSpace(Win("nodir\\x").c_str(), &free_to_caller, nullptr, nullptr));
  EXPECT_EQ(LastError(), kErrorPathNotFound);
}

}  // namespace
}  // namespace platform
