// File-system calls through platform/fs.h on a real temporary directory, reached by Windows
// paths (drive letter, backslashes, any case).
#include "platform/fs.h"

#include <gtest/gtest.h>

#include <algorithm>
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
#include "testing/text.h"

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

// POSIX maps a drive to "/" and the separators to '/'; Windows reads its own paths, with only
// the separators made uniform. Relative paths stay relative.
TEST_F(FsTest, NativePathOfEachBackend) {
  struct Row {
    const char* path;
    const char* posix;
    const char* win32;
  };
  const Row rows[] = {
      {"d:\\pellary-absent\\a/b.txt", "/pellary-absent/a/b.txt", "d:\\pellary-absent\\a\\b.txt"},
      {"D:/pellary-absent\\x", "/pellary-absent/x", "D:\\pellary-absent\\x"},
      {"d:pellary-absent", "/pellary-absent", "d:pellary-absent"},
      {"c:\\", "/", "c:\\"},
      {"pellary-absent\\rel", "pellary-absent/rel", "pellary-absent\\rel"},
  };
  for (const Row& row : rows) EXPECT_EQ(NativePath(row.path), kWindows ? row.win32 : row.posix);
  EXPECT_EQ(NativePath(Win("Data/x").c_str()), kWindows ? Win("Data\\x") : Native("Data/x"));
}

#ifndef _WIN32
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

enum class Op { kFind, kAttributes, kMakeDir, kRemoveDir, kDelete, kRename, kFreeSpace };

// The call on Windows paths below the test's directory: its success, *error its error, and
// *attributes what GetAttributes gave.
bool Do(Op op, const std::string& a, const std::string& b, uint32_t* error, uint32_t* attributes) {
  bool ok = false;
  switch (op) {
    case Op::kFind:
      ok = !FindEntries(a.c_str()).empty();
      break;
    case Op::kAttributes:
      ok = GetAttributes(a.c_str(), attributes);
      break;
    case Op::kMakeDir:
      ok = MakeDirectory(a.c_str());
      break;
    case Op::kRemoveDir:
      ok = RemoveDirectory(a.c_str());
      break;
    case Op::kDelete:
      ok = DeleteFile(a.c_str());
      break;
    case Op::kRename:
      ok = RenameFile(a.c_str(), b.c_str());
      break;
    case Op::kFreeSpace:
      uint64_t free_to_caller = 0, total = 0, total_free = 0;
      ok = DiskFreeSpace(a.c_str(), &free_to_caller, &total, &total_free);
      *attributes = ok && total > 0 && free_to_caller <= total_free && total_free <= total;
      break;
  }
  *error = ok ? 0 : LastError();
  return ok;
}

// Where each call is decided: what succeeds, and the Windows number of each failure. The rows
// run in order on one directory that holds the files "f", "from", "to", "Victim.Txt", a
// read-only "ro" and the directories "dir" and "Old/inner"; paths in any case.
TEST_F(FsTest, CallsSucceedOrFailWithTheirWindowsNumbers) {
  for (const char* file : {"f", "from", "to", "Victim.Txt", "ro"}) Touch(file, file);
  fs::create_directory(Native("dir"));
  fs::create_directories(Native("Old/inner"));
  fs::permissions(Native("ro"), fs::perms::owner_read | fs::perms::group_read);
  struct Row {
    const char* name;
    Op op;
    std::string a, b;
    uint32_t error;           // 0: succeeds
    uint32_t attributes = 0;  // GetAttributes: what it gives; DiskFreeSpace: 1 if consistent
  };
  const std::vector<Row> rows = {
      {"find no match", Op::kFind, Win("*.log"), "", kErrorFileNotFound},
      {"find no file", Op::kFind, Win("b.txt"), "", kErrorFileNotFound},
      {"find pattern, no dir", Op::kFind, Win("nodir\\*.log"), "", kErrorPathNotFound},
      {"find file, no dir", Op::kFind, Win("nodir\\b.txt"), "", kErrorPathNotFound},
      {"attributes dir", Op::kAttributes, Win(""), "", 0, kAttributeDirectory},
      {"attributes file", Op::kAttributes, Win("F"), "", 0, kAttributeArchive},
      {"attributes read-only", Op::kAttributes, Win("ro"), "", 0,
       kAttributeArchive | kAttributeReadOnly},
      {"attributes absent", Op::kAttributes, Win("gone"), "", kErrorFileNotFound},
      {"attributes no dir", Op::kAttributes, Win("gone\\f"), "", kErrorPathNotFound},
      {"mkdir", Op::kMakeDir, Win("Data"), "", 0},
      {"mkdir other case", Op::kMakeDir, Win("DATA"), "", kErrorAlreadyExists},
      {"mkdir no parent", Op::kMakeDir, Win("none\\sub"), "", kErrorPathNotFound},
      {"mkdir final separator", Op::kMakeDir, Win("data\\Sub\\"), "", 0},
      {"rmdir not empty", Op::kRemoveDir, Win("data"), "", kErrorDirNotEmpty},
      {"rmdir file", Op::kRemoveDir, Win("f"), "", kErrorDirectory},
      {"rmdir absent", Op::kRemoveDir, Win("absent"), "", kErrorFileNotFound},
      {"rmdir inner", Op::kRemoveDir, Win("DATA\\sub"), "", 0},
      {"rmdir", Op::kRemoveDir, Win("DATA"), "", 0},
      {"delete dir", Op::kDelete, Win("dir"), "", kErrorAccessDenied},
      {"delete absent", Op::kDelete, Win("absent"), "", kErrorFileNotFound},
      {"delete no dir", Op::kDelete, Win("absent\\f"), "", kErrorPathNotFound},
      {"delete", Op::kDelete, Win("victim.txt"), "", 0},
      {"rename over", Op::kRename, Win("from"), Win("TO"), kErrorAlreadyExists},
      {"rename", Op::kRename, Win("FROM"), Win("moved"), 0},
      {"rename absent", Op::kRename, Win("absent"), Win("g"), kErrorFileNotFound},
      {"rename no dir", Op::kRename, Win("nodir\\absent"), Win("g"), kErrorPathNotFound},
      {"rename to no dir", Op::kRename, Win("f"), Win("nodir\\g"), kErrorPathNotFound},
      {"rename dir", Op::kRename, Win("old"), Win("New"), 0},
      {"free space", Op::kFreeSpace, Win(""), "", 0, 1},
      {"free space no dir", Op::kFreeSpace, Win("nodir\\x"), "", kErrorPathNotFound},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    uint32_t error = 0, attributes = 0;
    EXPECT_EQ(Do(row.op, row.a, row.b, &error, &attributes), row.error == 0);
    EXPECT_EQ(error, row.error);
    EXPECT_EQ(attributes, row.attributes);
  }
  EXPECT_EQ(Listing(""), (NameList{"New", "dir", "f", "moved", "ro", "to"}));
  EXPECT_EQ(ReadFileBytes(Native("to")), "to");
  EXPECT_EQ(ReadFileBytes(Native("moved")), "from");
  EXPECT_TRUE(fs::is_directory(Native("New/inner")));
  // Windows will not delete a read-only file: give the directory's removal a chance.
  fs::permissions(Native("ro"), fs::perms::owner_write, fs::perm_options::add);
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

// The root of the drive, with either separator, and the current directory's volume.
TEST_F(FsTest, DiskFreeSpaceOfTheDrivesRoot) {
  for (const char* root : {"c:\\", "C:/", ""}) {
    uint64_t root_total = 0;
    EXPECT_TRUE(DiskFreeSpace(root, nullptr, &root_total, nullptr)) << root;
    EXPECT_GT(root_total, 0u) << root;
  }
}

}  // namespace
}  // namespace platform
