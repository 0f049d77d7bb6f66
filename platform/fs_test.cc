// File-system calls through platform/fs.h on a real temporary directory, reached by Windows
// paths (drive letter, backslashes, any case).
#include "platform/fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/tools/wine_detect.h"
#include "testing/temp_dir.h"

#ifdef _WIN32
#include "platform/win32/windows_headers.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace platform {
namespace {

namespace fs = std::filesystem;

class FsTest : public testing::Test {
 protected:
  // `relative` below the temporary directory, as a Windows path: "c:\tmp\...\relative". On
  // Windows the temporary directory has its drive letter already.
  std::string Win(const std::string& relative) const {
#ifdef _WIN32
    std::string path = dir_.path() + "\\" + relative;
#else
    std::string path = "c:" + dir_.path() + "\\" + relative;
#endif
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
  }
  std::string Native(const std::string& relative) const {
    return dir_ / relative;
  }
  void Touch(const std::string& relative, const std::string& text = "") const {
    std::ofstream(Native(relative), std::ios::binary) << text;
  }
  // The names in a directory as the file system spells them, sorted. Unlike exists(), this
  // tells "New" from "NEW" where the file system ignores case.
  std::vector<std::string> Listing(const std::string& relative) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Native(relative))) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
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

std::string Lower(std::string text) {
  for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return text;
}

// Sets a file's last-access and last-write times, in seconds since 1970.
void SetTimes(const std::string& native, int64_t access, int64_t write) {
#ifdef _WIN32
  auto file_time = [](int64_t seconds) {
    uint64_t ticks = static_cast<uint64_t>(seconds) * 10000000u + 116444736000000000u;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
  };
  HANDLE file = CreateFileA(native.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILETIME access_time = file_time(access);
  FILETIME write_time = file_time(write);
  EXPECT_TRUE(SetFileTime(file, nullptr, &access_time, &write_time));
  CloseHandle(file);
#else
  struct timespec times[2] = {{access, 0}, {write, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, native.c_str(), times, 0), 0);
#endif
}

#ifdef _WIN32
// Windows reads its own paths: only the separators are made uniform.
TEST_F(FsTest, NativePathKeepsTheWindowsPath) {
  EXPECT_EQ(NativePath("d:/pellary-absent\\a/b.txt"), "d:\\pellary-absent\\a\\b.txt");
  EXPECT_EQ(NativePath("C:\\"), "C:\\");
  EXPECT_EQ(NativePath("pellary-absent/rel"), "pellary-absent\\rel");  // stays relative
  EXPECT_EQ(NativePath(Win("Data/x").c_str()), Win("Data\\x"));
}
#else
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
#endif

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
  EXPECT_EQ(Names("*.*"),
            (NameList{".", "..", "B.LOG", "a.log", "ab.log", "c.txt", "noext", "x.log"}));
  EXPECT_EQ(Names("*"), Names("*.*"));
  EXPECT_EQ(Names("*o*t"), (NameList{"noext"}));
  EXPECT_EQ(Names("*.log", 2).size(), 2u);
}

TEST_F(FsTest, FoundEntriesCarryAttributesAndStatus) {
  Touch("five.bin", "12345");
  fs::create_directory(Native("sub.bin"));
  SetTimes(Native("five.bin"), 1000000000, 1100000000);

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
  // "." and ".." name the directory their text names; a final separator names no entry.
  EXPECT_EQ(Names("Logs\\."), NameList{"Logs"});
  EXPECT_EQ(Names("Logs\\..").size(), 1u);
  EXPECT_EQ(Names("Logs\\..\\Logs\\.."), Names("Logs\\.."));
  EXPECT_TRUE(FindEntries(Win("Logs\\").c_str()).empty());
  // An empty directory holds its "." and ".." entries.
  EXPECT_EQ(Names("Logs\\*"), (NameList{".", ".."}));
  EXPECT_EQ(Names("Logs\\*.*"), (NameList{".", ".."}));
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
  // Windows will not delete a read-only file: give the directory's removal a chance.
  fs::permissions(Native("ro"), fs::perms::owner_write, fs::perm_options::add);
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

TEST_F(FsTest, AFileHeldWithoutSharingIsNeitherDeletedNorRenamed) {
  Touch("held", "held");
  FileHandle file = FileOpen(Win("held").c_str(), FileAccess::kReadWrite, FileShare::kNone,
                             FileDisposition::kOpenExisting, false);
  ASSERT_NE(file, kInvalidFile);
  EXPECT_FALSE(DeleteFile(Win("HELD").c_str()));
  EXPECT_EQ(LastError(), kErrorSharingViolation);
  EXPECT_FALSE(RenameFile(Win("held").c_str(), Win("moved").c_str()));
  EXPECT_EQ(LastError(), kErrorSharingViolation);
  EXPECT_TRUE(fs::exists(Native("held")));
  EXPECT_TRUE(FileClose(file));
  EXPECT_TRUE(RenameFile(Win("held").c_str(), Win("moved").c_str()));
  EXPECT_TRUE(DeleteFile(Win("moved").c_str()));
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

TEST_F(FsTest, RenameMovesDirectories) {
  fs::create_directories(Native("Old/inner"));
  EXPECT_TRUE(RenameFile(Win("old").c_str(), Win("New").c_str()));
  EXPECT_TRUE(fs::is_directory(Native("New/inner")));
  EXPECT_EQ(Listing(""), NameList{"New"});
}

TEST_F(FsTest, RenameChangesTheCaseOfAName) {
  if (RunsUnderWine()) {
    GTEST_SKIP() << "Wine's MoveFile reports success for a rename that changes only the case "
                    "of a name but leaves the old spelling on disk";
  }
  fs::create_directories(Native("New/inner"));
  Touch("file.txt");
  EXPECT_TRUE(RenameFile(Win("new").c_str(), Win("NEW").c_str()));
  EXPECT_TRUE(RenameFile(Win("FILE.txt").c_str(), Win("File.Txt").c_str()));
  EXPECT_TRUE(fs::is_directory(Native("NEW/inner")));
  EXPECT_EQ(Listing(""), (NameList{"File.Txt", "NEW"}));
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

// Every spelling of one file resolves to one path: `.`, doubled separators, `..` (also over a
// name that does not exist: the look-up goes on from what is left), and case. A missing tail
// keeps its spelling.
TEST_F(FsTest, ResolvePathGivesEverySpellingOfAFileOneForm) {
  fs::create_directories(Native("d/Sub"));
  Touch("d/Sub/f.txt");
  std::string file;
  ASSERT_TRUE(ResolvePath(Win("d\\Sub\\f.txt").c_str(), &file));
  if (!kWindows) {
    EXPECT_EQ(file, Native("d/Sub/f.txt"));
  }
  for (const char* spelling :
       {"d\\.\\Sub\\\\f.txt", "d/Sub/../Sub/f.txt", "d\\missing\\..\\Sub\\f.txt",
        "d\\missing\\..\\SUB\\F.TXT", "D\\sub\\F.txt"}) {
    std::string resolved;
    EXPECT_TRUE(ResolvePath(Win(spelling).c_str(), &resolved)) << spelling;
    EXPECT_EQ(resolved, file) << spelling;
  }
  std::string fresh;
  ASSERT_TRUE(ResolvePath(Win("d\\Sub\\New.txt").c_str(), &fresh));
  EXPECT_EQ(fresh, file.substr(0, file.size() - 5) + "New.txt");
  EXPECT_EQ(ResolvedNameKey(fresh), kWindows ? Lower(fresh) : fresh);

  // A link: followed to its file, or kept, for work on the entry itself.
  std::error_code no_links;
  fs::create_symlink("Sub/f.txt", Native("d/to-f"), no_links);
  if (no_links) GTEST_SKIP() << "symbolic links cannot be made here; the link cases did not run";
  std::string followed, kept;
  ASSERT_TRUE(ResolvePath(Win("d\\missing\\..\\to-f").c_str(), &followed));
  EXPECT_EQ(followed, file);
  ASSERT_TRUE(ResolvePath(Win("d\\.\\to-f").c_str(), &kept, FinalLink::kKeep));
  EXPECT_EQ(kept, file.substr(0, file.size() - 9) + "to-f");
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
  // The root of the drive, with either separator, and the current directory's volume.
  for (const char* root : {"c:\\", "C:/", ""}) {
    uint64_t root_total = 0;
    EXPECT_TRUE(DiskFreeSpace(root, nullptr, &root_total, nullptr)) << root;
    EXPECT_GT(root_total, 0u) << root;
  }
}

}  // namespace
}  // namespace platform
