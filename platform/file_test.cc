// Files through platform/file.h on a real temporary directory, reached by Windows paths.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include "platform/win32/windows_headers.h"
#else
#include <fcntl.h>
#endif

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "testing/temp_dir.h"

namespace platform {
namespace {

// The Windows form of a native absolute path: drive letter and backslashes. On Windows the
// temporary directory has its drive letter already.
std::string Windows(const std::string& native) {
#ifdef _WIN32
  std::string path = native;
#else
  std::string path = "c:" + native;
#endif
  for (char& ch : path) {
    if (ch == '/') ch = '\\';
  }
  return path;
}

// The names in a directory as the file system spells them, sorted. Unlike exists(), this
// tells "Data" from "data" where the file system ignores case.
std::vector<std::string> Listing(const std::string& native_dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(native_dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void WriteText(const std::string& native, const std::string& text) {
  std::ofstream(native, std::ios::binary) << text;
}

std::string ReadAll(FileHandle file) {
  std::string text(64, '\0');
  int64_t n = FileRead(file, text.data(), static_cast<int64_t>(text.size()));
  EXPECT_GE(n, 0);
  text.resize(static_cast<size_t>(n < 0 ? 0 : n));
  return text;
}

FileHandle Open(const std::string& path, FileDisposition disposition,
                FileAccess access = FileAccess::kReadWrite, bool inheritable = false) {
  return FileOpen(path.c_str(), access, FileShare::kReadWrite, disposition, inheritable);
}

TEST(FileOpen, MissingFileIsTwoAndMissingDirectoryIsThree) {
  TempDir dir;
  SetLastError(0);
  EXPECT_EQ(Open(Windows(dir / "absent.txt"), FileDisposition::kOpenExisting), kInvalidFile);
  EXPECT_EQ(LastError(), kErrorFileNotFound);
  EXPECT_EQ(Open(Windows(dir / "nodir/absent.txt"), FileDisposition::kOpenExisting), kInvalidFile);
  EXPECT_EQ(LastError(), kErrorPathNotFound);
  // Creating cannot make the missing directory either.
  EXPECT_EQ(Open(Windows(dir / "nodir/new.txt"), FileDisposition::kCreateAlways), kInvalidFile);
  EXPECT_EQ(LastError(), kErrorPathNotFound);
  // A file on the way is no directory.
  WriteText(dir / "plain", "x");
  EXPECT_EQ(Open(Windows(dir / "plain/inner.txt"), FileDisposition::kOpenAlways), kInvalidFile);
  EXPECT_EQ(LastError(), kErrorPathNotFound);
}

TEST(FileOpen, DirectoryIsAccessDeniedForEveryAccess) {
  TempDir dir;
  for (FileAccess access : {FileAccess::kRead, FileAccess::kWrite, FileAccess::kReadWrite}) {
    SetLastError(0);
    EXPECT_EQ(Open(Windows(dir.path()), FileDisposition::kOpenExisting, access), kInvalidFile);
    EXPECT_EQ(LastError(), kErrorAccessDenied);
  }
  EXPECT_EQ(Open(Windows(dir.path()), FileDisposition::kOpenAlways), kInvalidFile);
  EXPECT_EQ(LastError(), kErrorAccessDenied);
}

TEST(FileOpen, OpenAlwaysKeepsContentsAndCreateAlwaysTruncates) {
  TempDir dir;
  std::string path = Windows(dir / "keep.txt");
  WriteText(dir / "keep.txt", "contents");

  FileHandle file = Open(path, FileDisposition::kOpenAlways);
  ASSERT_NE(file, kInvalidFile);
  EXPECT_EQ(ReadAll(file), "contents");
  EXPECT_TRUE(FileClose(file));

  file = Open(path, FileDisposition::kCreateAlways);
  ASSERT_NE(file, kInvalidFile);
  EXPECT_EQ(FileLength(file), 0);
  EXPECT_TRUE(FileClose(file));

  // Open-always on a missing file creates it empty.
  file = Open(Windows(dir / "fresh.txt"), FileDisposition::kOpenAlways);
  ASSERT_NE(file, kInvalidFile);
  EXPECT_EQ(FileLength(file), 0);
  EXPECT_TRUE(FileClose(file));
  EXPECT_TRUE(std::filesystem::exists(dir / "fresh.txt"));
}

TEST(FileOpen, FindsDifferentlyCasedPathAndKeepsCreatedSpelling) {
  TempDir dir;
  std::filesystem::create_directory(dir / "Data");
  WriteText(dir / "Data/Report.TXT", "report");

  FileHandle file = Open(Windows(dir / "DATA/report.txt"), FileDisposition::kOpenExisting);
  ASSERT_NE(file, kInvalidFile);
  EXPECT_EQ(ReadAll(file), "report");
  FileClose(file);

  file = Open(Windows(dir / "data/NewName.Log"), FileDisposition::kCreateAlways);
  ASSERT_NE(file, kInvalidFile);
  FileClose(file);
  EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"Data"});
  EXPECT_EQ(Listing(dir / "Data"), (std::vector<std::string>{"NewName.Log", "Report.TXT"}));
}

#ifdef _WIN32
bool Inherited(FileHandle file) {
  DWORD flags = 0;
  EXPECT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(file), &flags));
  return (flags & HANDLE_FLAG_INHERIT) != 0;
}
#else
bool Inherited(FileHandle file) {
  return (fcntl(static_cast<int>(file), F_GETFD) & FD_CLOEXEC) == 0;
}
#endif

TEST(FileOpen, HandleIsInheritedOnlyWhenAskedFor) {
  TempDir dir;
  FileHandle file = Open(dir / "a", FileDisposition::kCreateAlways);
  FileHandle inherited = Open(dir / "a", FileDisposition::kOpenExisting, FileAccess::kRead, true);
  ASSERT_NE(file, kInvalidFile);
  ASSERT_NE(inherited, kInvalidFile);
  EXPECT_FALSE(Inherited(file));
  EXPECT_TRUE(Inherited(inherited));
  FileClose(file);
  FileClose(inherited);
}

FileHandle OpenShared(const std::string& path, FileAccess access, FileShare share) {
  return FileOpen(path.c_str(), access, share, FileDisposition::kOpenAlways, false);
}

// Windows refuses an open that conflicts with the sharing of a handle already open, or whose
// own sharing excludes an access already granted; POSIX has no mandatory sharing and lets
// every open through.
TEST(FileOpen, ShareModesOfOpenHandles) {
  TempDir dir;
  std::string path = Windows(dir / "shared");
  FileHandle exclusive = OpenShared(path, FileAccess::kReadWrite, FileShare::kNone);
  ASSERT_NE(exclusive, kInvalidFile);
  SetLastError(0);
  FileHandle second = OpenShared(path, FileAccess::kRead, FileShare::kReadWrite);
  if (kWindows) {
    EXPECT_EQ(second, kInvalidFile);
    EXPECT_EQ(LastError(), kErrorSharingViolation);
  } else {
    EXPECT_NE(second, kInvalidFile);
    FileClose(second);
  }
  EXPECT_TRUE(FileClose(exclusive));

  // Readers that let others read: a second reader is welcome, a writer is not.
  FileHandle reader = OpenShared(path, FileAccess::kRead, FileShare::kRead);
  ASSERT_NE(reader, kInvalidFile);
  FileHandle other_reader = OpenShared(path, FileAccess::kRead, FileShare::kRead);
  EXPECT_NE(other_reader, kInvalidFile);
  FileHandle writer = OpenShared(path, FileAccess::kWrite, FileShare::kReadWrite);
  EXPECT_EQ(writer == kInvalidFile, kWindows);
  if (writer != kInvalidFile) FileClose(writer);
  FileClose(other_reader);
  FileClose(reader);

  // With a writer open, a reader must share writing: one that shares only reading is refused.
  writer = OpenShared(path, FileAccess::kWrite, FileShare::kReadWrite);
  ASSERT_NE(writer, kInvalidFile);
  FileHandle strict_reader = OpenShared(path, FileAccess::kRead, FileShare::kRead);
  EXPECT_EQ(strict_reader == kInvalidFile, kWindows);
  if (strict_reader != kInvalidFile) FileClose(strict_reader);
  FileHandle lenient_reader = OpenShared(path, FileAccess::kRead, FileShare::kReadWrite);
  EXPECT_NE(lenient_reader, kInvalidFile);
  FileClose(lenient_reader);
  FileClose(writer);

  // Once every handle is closed the file opens exclusively again.
  exclusive = OpenShared(path, FileAccess::kReadWrite, FileShare::kNone);
  EXPECT_NE(exclusive, kInvalidFile);
  FileClose(exclusive);
}

TEST(FileRead, ShortAtTheEndThenZero) {
  TempDir dir;
  WriteText(dir / "ten", "0123456789");
  FileHandle file = Open(dir / "ten", FileDisposition::kOpenExisting, FileAccess::kRead);
  ASSERT_NE(file, kInvalidFile);
  char buffer[8];
  EXPECT_EQ(FileRead(file, buffer, 8), 8);
  EXPECT_EQ(FileRead(file, buffer, 8), 2);
  EXPECT_EQ(std::string(buffer, 2), "89");
  EXPECT_EQ(FileRead(file, buffer, 8), 0);
  // Writing through a read-only handle is refused as on Windows.
  EXPECT_EQ(FileWrite(file, "x", 1), -1);
  EXPECT_EQ(LastError(), kErrorAccessDenied);
  FileClose(file);
}

TEST(FileSeek, PastTheEndThenWriteLeavesZeroGap) {
  TempDir dir;
  FileHandle file = Open(dir / "gap", FileDisposition::kCreateAlways);
  ASSERT_NE(file, kInvalidFile);
  ASSERT_EQ(FileWrite(file, "ab", 2), 2);
  EXPECT_EQ(FileSeek(file, 10, SeekFrom::kEnd), 12);
  EXPECT_EQ(FileLength(file), 2);  // seeking alone does not grow the file
  ASSERT_EQ(FileWrite(file, "z", 1), 1);
  EXPECT_EQ(FileLength(file), 13);
  EXPECT_TRUE(FileFlush(file));

  EXPECT_EQ(FileSeek(file, 0, SeekFrom::kBegin), 0);
  EXPECT_EQ(ReadAll(file), std::string("ab") + std::string(10, '\0') + "z");
  EXPECT_EQ(FileSeek(file, -3, SeekFrom::kCurrent), 10);
  EXPECT_EQ(FileSeek(file, -11, SeekFrom::kCurrent), -1);
  EXPECT_EQ(LastError(), kErrorInvalidParameter);
  EXPECT_EQ(FileSeek(file, 0, SeekFrom::kCurrent), 10);  // a failed seek does not move
  FileClose(file);
}

// The resolved form of a path below a temporary directory, as the exact open takes it.
std::string Resolved(const std::string& native) {
  std::string resolved;
  EXPECT_TRUE(ResolvePath(Windows(native).c_str(), &resolved)) << native;
  return resolved;
}

FileHandle OpenExactly(const std::string& resolved, FileDisposition disposition) {
  return FileOpenExact(resolved.c_str(), FileAccess::kReadWrite, FileShare::kReadWrite, disposition,
                       false);
}

//   dir/real/f.txt   dir/outside/o.txt
//   dir/real/to-o -> ../outside/o.txt     dir/real/to-outside -> ../outside
TEST(FileOpenExact, ReachesThePathItselfAndNothingALinkLeadsTo) {
  TempDir dir;
  std::filesystem::create_directories(dir / "real");
  std::filesystem::create_directories(dir / "outside");
  WriteText(dir / "real/f.txt", "inside");
  WriteText(dir / "outside/o.txt", "outside");
  std::string real = Resolved(dir / "real");
  std::string file = Resolved(dir / "real/f.txt");
  FileHandle opened = OpenExactly(file, FileDisposition::kOpenExisting);
  ASSERT_NE(opened, kInvalidFile);
  EXPECT_EQ(ReadAll(opened), "inside");
  EXPECT_TRUE(FileClose(opened));
  opened = OpenExactly(Resolved(dir / "real/new.txt"), FileDisposition::kOpenAlways);
  ASSERT_NE(opened, kInvalidFile) << "a file is made where the path says";
  EXPECT_TRUE(FileClose(opened));
  EXPECT_EQ(OpenExactly(Resolved(dir / "real/none/x"), FileDisposition::kOpenAlways), kInvalidFile);
  EXPECT_EQ(LastError(), kErrorPathNotFound);
  EXPECT_EQ(OpenExactly(real, FileDisposition::kOpenExisting), kInvalidFile);
  EXPECT_EQ(LastError(), kErrorAccessDenied) << "a directory";

  std::error_code no_links;
  std::filesystem::create_symlink("../outside/o.txt", dir / "real/to-o", no_links);
  if (no_links) GTEST_SKIP() << "symbolic links cannot be made here; the link cases did not run";
  std::filesystem::create_directory_symlink("../outside", dir / "real/to-outside");
  // Each path as it was resolved while a file or directory stood there: a link put there
  // since must not take the open anywhere else.
  std::string sep = kWindows ? "\\" : "/";
  for (const std::string& path : {real + sep + "to-o", real + sep + "to-outside" + sep + "o.txt"}) {
    for (FileDisposition disposition :
         {FileDisposition::kOpenExisting, FileDisposition::kOpenAlways}) {
      SetLastError(0);
      EXPECT_EQ(OpenExactly(path, disposition), kInvalidFile) << path;
      EXPECT_EQ(LastError(), kErrorAccessDenied) << path;
    }
  }
  EXPECT_EQ(ReadFileBytes(dir / "outside/o.txt"), "outside");
  if (!kWindows) {  // Windows compares the final path after the open, which may have made it
    EXPECT_EQ(OpenExactly(real + "/to-outside/made.txt", FileDisposition::kOpenAlways),
              kInvalidFile);
    EXPECT_FALSE(std::filesystem::exists(dir / "outside/made.txt"));
  }
}

TEST(FileIdentity, OneFileByAnyNameAndAnotherInItsPlace) {
  TempDir dir;
  WriteText(dir / "a.txt", "a");
  std::filesystem::create_hard_link(dir / "a.txt", dir / "b.txt");
  FileHandle a = Open(Windows(dir / "a.txt"), FileDisposition::kOpenExisting);
  FileHandle b = Open(Windows(dir / "b.txt"), FileDisposition::kOpenExisting);
  ASSERT_NE(a, kInvalidFile);
  ASSERT_NE(b, kInvalidFile);
  FileId of_a, of_b, of_c;
  ASSERT_TRUE(FileIdentity(a, &of_a));
  ASSERT_TRUE(FileIdentity(b, &of_b));
  EXPECT_TRUE(of_a == of_b) << "one file by two names";
  EXPECT_TRUE(FileClose(a));  // Windows renames nothing over an open file
  EXPECT_TRUE(FileClose(b));
  WriteText(dir / "c.txt", "c");
  std::filesystem::rename(dir / "c.txt", dir / "b.txt");
  FileHandle c = Open(Windows(dir / "b.txt"), FileDisposition::kOpenExisting);
  ASSERT_NE(c, kInvalidFile);
  ASSERT_TRUE(FileIdentity(c, &of_c));
  EXPECT_FALSE(of_a == of_c) << "another file put in the place of one";
  EXPECT_TRUE(FileClose(c));
  EXPECT_FALSE(FileIdentity(kInvalidFile, &of_c));
}

TEST(FileCalls, InvalidHandleFailsWithSix) {
  char byte;
  EXPECT_EQ(FileRead(kInvalidFile, &byte, 1), -1);
  EXPECT_EQ(LastError(), kErrorInvalidHandle);
  EXPECT_EQ(FileLength(kInvalidFile), -1);
  EXPECT_FALSE(FileFlush(kInvalidFile));
  EXPECT_FALSE(FileClose(kInvalidFile));
  EXPECT_EQ(LastError(), kErrorInvalidHandle);
}

}  // namespace
}  // namespace platform
