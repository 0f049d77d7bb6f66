// File-system calls through platform/fs.h on a real temporary directory, reached by Windows
// paths (drive letter, backslashes, any case).
#include "platform/fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/tools/wine_detect.h"
#include "testing/temp_dir.h"
#include "testing/text.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

class FsTest : public testing::Test {
 protected:
  // `relative` below the temporary directory as a Windows path: "c:\tmp\...\relative" (on
  // Windows the temporary directory has its drive letter already).
  std::string Win(const std::string& relative) const {
    std::string path = (kWindows ? "" : "c:") + dir_.path() + "\\" + relative;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
  }
  std::string Native(const std::string& relative) const { return dir_ / relative; }
  void Touch(const std::string& relative, const std::string& text = "") const {
    WriteFileBytes(Native(relative), text);
  }
  // Sorted names as the file system spells them (exists() would not tell "New" from "NEW").
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_.path()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<std::string> Names(const std::string& pattern, size_t limit = 0) const {
    std::vector<std::string> names;
    for (const FoundEntry& entry : FindEntries(Win(pattern).c_str(), limit))
      names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
};

using NameList = std::vector<std::string>;

// POSIX maps a drive to "/" and the separators to '/'; Windows reads its own paths, with only
// the separators made uniform. Relative paths stay relative.
TEST_F(FsTest, NativePathOfEachBackend) {
  const std::vector<std::array<const char*, 3>> rows = {
      // path, POSIX, Windows
      {"d:\\pellary-absent\\a/b.txt", "/pellary-absent/a/b.txt", "d:\\pellary-absent\\a\\b.txt"},
      {"D:/pellary-absent\\x", "/pellary-absent/x", "D:\\pellary-absent\\x"},
      {"d:pellary-absent", "/pellary-absent", "d:pellary-absent"},
      {"c:\\", "/", "c:\\"},
      {"pellary-absent\\rel", "pellary-absent/rel", "pellary-absent\\rel"},
  };
  for (auto [path, posix, win32] : rows) EXPECT_EQ(NativePath(path), kWindows ? win32 : posix);
  EXPECT_EQ(NativePath(Win("Data/x").c_str()), kWindows ? Win("Data\\x") : Native("Data/x"));
  if (kWindows) return;
  // POSIX finds names without regard to case; what matches nothing keeps its spelling, and so
  // does everything below it; an exact spelling wins over a case-insensitive one.
  fs::create_directories(Native("Data/Sub"));
  Touch("Data/Sub/File.Txt");
  EXPECT_EQ(NativePath(Win("data\\SUB\\file.txt").c_str()), Native("Data/Sub/File.Txt"));
  EXPECT_EQ(NativePath(Win("DATA\\New\\sub").c_str()), Native("Data/New/sub"));
  fs::create_directory(Native("data"));
  EXPECT_EQ(NativePath(Win("data\\x").c_str()), Native("data/x"));
  EXPECT_EQ(NativePath(Win("Data\\x").c_str()), Native("Data/x"));
}

TEST_F(FsTest, FindEntriesMatchTheLastComponentWithoutCaseAndCarryTheStatus) {
  for (const char* name : {"a.log", "B.LOG", "c.txt", "noext", "ab.log"}) Touch(name);
  fs::create_directory(Native("x.log"));
  EXPECT_EQ(Names("*.LoG"), (NameList{"B.LOG", "a.log", "ab.log", "x.log"}));
  EXPECT_EQ(Names("?.log"), (NameList{"B.LOG", "a.log", "x.log"}));
  EXPECT_EQ(Names("*"),
            (NameList{".", "..", "B.LOG", "a.log", "ab.log", "c.txt", "noext", "x.log"}));
  EXPECT_EQ(Names("*.*"), Names("*"));
  EXPECT_EQ(Names("*.log", 2).size(), 2u);
  // Without a wildcard: the one entry as spelled on the disk. "." and ".." name the directory
  // their text names; a final separator names no entry; an empty directory holds "." and "..".
  fs::create_directory(Native("Logs"));
  EXPECT_EQ(Names("LOGS"), NameList{"Logs"});
  EXPECT_EQ(Names("Logs\\."), NameList{"Logs"});
  EXPECT_EQ(Names("Logs\\..").size(), 1u);
  EXPECT_TRUE(FindEntries(Win("Logs\\").c_str()).empty());
  EXPECT_EQ(Names("Logs\\*.*"), (NameList{".", ".."}));
  // What a found entry carries: the birth time where the file system keeps one, else the
  // last-write time. The last write is moved back: the last access stays at the making.
  Touch("five.bin", "12345");
  fs::last_write_time(Native("five.bin"),
                      std::chrono::file_clock::from_sys(
                          std::chrono::sys_seconds(std::chrono::seconds(1100000000))));
  std::vector<FoundEntry> found = FindEntries(Win("*.BIN").c_str());
  ASSERT_EQ(found.size(), 1u);
  const auto& status = found[0].status;
  auto near_now = [](int64_t seconds) { return std::abs(seconds - std::time(nullptr)) < 600; };
  EXPECT_TRUE(status.size == 5u && status.attributes == kAttributeArchive &&
              near_now(status.last_access_time) && status.last_write_time == 1100000000);
  EXPECT_TRUE(status.creation_time == 1100000000 || near_now(status.creation_time))
      << status.creation_time;
  EXPECT_EQ(FindEntries(Win("X.LOG").c_str())[0].status.attributes, kAttributeDirectory);
}

// Pages of a directory, read the way a client continues (after the last name of each page
// until one comes back empty), give every matching entry once, in byte order, with its status.
TEST_F(FsTest, ListDirectoryPagesGiveEachMatchOnceInByteOrder) {
  const NameList files = {"b.log", "A.LOG", "a b.log", "caf\xc3\xa9.log", "c.txt", "noext", "Z"};
  for (const std::string& name : files) Touch(name, name);
  fs::create_directory(Native("dir.log"));
  auto pages = [&](const char* pattern, size_t limit) {
    NameList names;
    std::vector<FoundEntry> page;
    do {
      std::string after = names.empty() ? "" : names.back();
      EXPECT_TRUE(ListDirectory(Win("").c_str(), pattern, after, limit, &page));
      EXPECT_LE(page.size(), limit);
      for (const FoundEntry& entry : page) names.push_back(entry.name);
    } while (!page.empty());
    return names;
  };
  NameList all = files;
  all.push_back("dir.log");
  std::sort(all.begin(), all.end());
  for (size_t limit : {1, 3, 100}) EXPECT_EQ(pages("", limit), all) << limit;
  EXPECT_EQ(pages("*.LOG", 2),
            (NameList{"A.LOG", "a b.log", "b.log", "caf\xc3\xa9.log", "dir.log"}));
  EXPECT_EQ(pages("?", 5), NameList{"Z"});

  std::vector<FoundEntry> page;
  ASSERT_TRUE(ListDirectory(Win("").c_str(), "*.log", "b.log", 2, &page));
  ASSERT_EQ(page.size(), 2u);
  EXPECT_TRUE(page[0].name == "caf\xc3\xa9.log" && page[0].status.size == 9u &&
              page[0].status.attributes == kAttributeArchive);
  EXPECT_EQ(page[1].status.attributes, kAttributeDirectory);
  // An empty directory lists nothing; one that is missing, or a file, cannot be listed.
  fs::create_directory(Native("empty"));
  EXPECT_TRUE(ListDirectory(Win("EMPTY").c_str(), "", "", 10, &page) && page.empty());
  EXPECT_TRUE(ListDirectory(Win("").c_str(), "*.none", "", 10, &page) && page.empty());
  EXPECT_FALSE(ListDirectory(Win("missing").c_str(), "", "", 10, &page));
  EXPECT_EQ(LastError(), kErrorPathNotFound);
  EXPECT_FALSE(ListDirectory(Win("b.log").c_str(), "", "", 10, &page));
  EXPECT_EQ(LastError(), kErrorDirectory);
  // One entry, its name as on the disk, wildcards taken as spelled.
  FoundEntry entry;
  EXPECT_TRUE(GetStatus(Win("B.LOG").c_str(), &entry) && entry.status.size == 5u);
  EXPECT_TRUE(GetStatus(Win("a.log").c_str(), &entry) && entry.name == "A.LOG") << entry.name;
  EXPECT_FALSE(GetStatus(Win("*.log").c_str(), &entry));
}

enum class Op { kFind, kAttributes, kMakeDir, kRemoveDir, kDelete, kRename, kFreeSpace };

// The call on Windows paths: its success, *error its error, and *attributes what GetAttributes
// gave (DiskFreeSpace: 1 if its numbers are consistent).
bool Do(Op op, const std::string& a, const std::string& b, uint32_t* error, uint32_t* attributes) {
  uint64_t free = 0, total = 0, total_free = 0;
  bool ok = op == Op::kFind         ? !FindEntries(a.c_str()).empty()
            : op == Op::kAttributes ? GetAttributes(a.c_str(), attributes)
            : op == Op::kMakeDir    ? MakeDirectory(a.c_str())
            : op == Op::kRemoveDir  ? RemoveDirectory(a.c_str())
            : op == Op::kDelete     ? DeleteFile(a.c_str())
            : op == Op::kRename     ? RenameFile(a.c_str(), b.c_str())
                                    : DiskFreeSpace(a.c_str(), &free, &total, &total_free);
  *error = ok ? 0 : LastError();
  if (op == Op::kFreeSpace)
    *attributes = ok && total > 0 && free <= total_free && total_free <= total;
  return ok;
}

// Where each call is decided: what succeeds, and the Windows number of each failure. The rows
// run in order on one directory that holds the files "f", "from", "to", "Victim.Txt", a
// read-only "ro", "held" open without sharing, the directories "dir" and "Old/inner".
TEST_F(FsTest, CallsSucceedOrFailWithTheirWindowsNumbers) {
  for (const char* file : {"f", "from", "to", "Victim.Txt", "ro", "held"}) Touch(file, file);
  FileHandle held = FileOpen(Win("held").c_str(), FileAccess::kReadWrite, FileShare::kNone,
                             FileDisposition::kOpenExisting, false);  // no sharing
  fs::create_directory(Native("dir"));
  fs::create_directories(Native("Old/inner"));
  fs::permissions(Native("ro"), fs::perms::owner_read | fs::perms::group_read);
  struct Row {
    Op op;
    std::string a, b;
    uint32_t error;           // 0: succeeds
    uint32_t attributes = 0;  // GetAttributes: what it gives; DiskFreeSpace: 1 if consistent
  };
  const std::vector<Row> rows = {
      {Op::kFind, Win("*.log"), "", kErrorFileNotFound},
      {Op::kFind, Win("nodir\\*.log"), "", kErrorPathNotFound},
      {Op::kAttributes, Win(""), "", 0, kAttributeDirectory},
      {Op::kAttributes, Win("ro"), "", 0, kAttributeArchive | kAttributeReadOnly},
      {Op::kAttributes, Win("gone"), "", kErrorFileNotFound},
      {Op::kMakeDir, Win("Data"), "", 0},
      {Op::kMakeDir, Win("DATA"), "", kErrorAlreadyExists},
      {Op::kMakeDir, Win("none\\sub"), "", kErrorPathNotFound},
      {Op::kMakeDir, Win("data\\Sub\\"), "", 0},
      {Op::kRemoveDir, Win("data"), "", kErrorDirNotEmpty},
      {Op::kRemoveDir, Win("f"), "", kErrorDirectory},
      {Op::kRemoveDir, Win("absent"), "", kErrorFileNotFound},
      {Op::kRemoveDir, Win("DATA\\sub"), "", 0},
      {Op::kRemoveDir, Win("DATA"), "", 0},
      {Op::kDelete, Win("dir"), "", kErrorAccessDenied},
      {Op::kDelete, Win("absent"), "", kErrorFileNotFound},
      {Op::kDelete, Win("victim.txt"), "", 0},
      {Op::kRename, Win("from"), Win("TO"), kErrorAlreadyExists},
      {Op::kRename, Win("FROM"), Win("moved"), 0},
      {Op::kRename, Win("absent"), Win("g"), kErrorFileNotFound},
      {Op::kRename, Win("f"), Win("nodir\\g"), kErrorPathNotFound},
      {Op::kRename, Win("old"), Win("New"), 0},
      {Op::kDelete, Win("HELD"), "", kErrorSharingViolation},
      {Op::kRename, Win("held"), Win("g"), kErrorSharingViolation},
      {Op::kFreeSpace, Win(""), "", 0, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(row.op) << " " << row.a << " " << row.b);
    uint32_t error = 0, attributes = 0;
    bool ok = Do(row.op, row.a, row.b, &error, &attributes);
    EXPECT_TRUE(ok == (row.error == 0) && error == row.error && attributes == row.attributes)
        << error << " " << attributes;
  }
  EXPECT_TRUE(FileClose(held));
  EXPECT_TRUE(RenameFile(Win("held").c_str(), Win("g").c_str()) && DeleteFile(Win("g").c_str()));
  EXPECT_EQ(Listing(), (NameList{"New", "dir", "f", "moved", "ro", "to"}));
  EXPECT_EQ(ReadFileBytes(Native("to")) + ReadFileBytes(Native("moved")), "tofrom");
  EXPECT_TRUE(fs::is_directory(Native("New/inner")));
  // Windows will not delete a read-only file: give the directory's removal a chance.
  fs::permissions(Native("ro"), fs::perms::owner_write, fs::perm_options::add);
  for (const char* root : {"c:\\", "C:/", ""}) {  // the drive's root; the current volume
    uint64_t total = 0;
    EXPECT_TRUE(DiskFreeSpace(root, nullptr, &total, nullptr) && total > 0) << root;
  }
}

TEST_F(FsTest, RenameChangesTheCaseOfAName) {
  // Wine's MoveFile reports success for it but leaves the old spelling on the disk.
  if (RunsUnderWine()) GTEST_SKIP() << "Wine does not change the case of a name";
  fs::create_directories(Native("New/inner"));
  Touch("file.txt");
  EXPECT_TRUE(RenameFile(Win("new").c_str(), Win("NEW").c_str()));
  EXPECT_TRUE(RenameFile(Win("FILE.txt").c_str(), Win("File.Txt").c_str()));
  EXPECT_TRUE(fs::is_directory(Native("NEW/inner")));
  EXPECT_EQ(Listing(), (NameList{"File.Txt", "NEW"}));
}

// Every spelling of one file resolves to one path: `.`, doubled separators, `..` (also over a
// name that does not exist: the look-up goes on from what is left), and case. A missing tail
// keeps its spelling.
TEST_F(FsTest, ResolvePathGivesEverySpellingOfAFileOneForm) {
  fs::create_directories(Native("d/Sub"));
  Touch("d/Sub/f.txt");
  std::string file;
  ASSERT_TRUE(ResolvePath(Win("d\\Sub\\f.txt").c_str(), &file));
  EXPECT_TRUE(kWindows || file == Native("d/Sub/f.txt")) << file;
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
  EXPECT_TRUE(ResolvePath(Win("d\\missing\\..\\to-f").c_str(), &followed) && followed == file);
  EXPECT_TRUE(ResolvePath(Win("d\\.\\to-f").c_str(), &kept, FinalLink::kKeep));
  EXPECT_EQ(kept, file.substr(0, file.size() - 9) + "to-f");
}

}  // namespace
}  // namespace platform
