// Files through platform/file.h on a real temporary directory, reached by Windows paths.
#include "platform/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/error.h"
#include "testing/temp_dir.h"

namespace platform {
namespace {

// The Windows form of a native absolute path: drive letter and backslashes.
std::string Windows(const std::string& native) {
  std::string path = "c:" + native;
  for (char& ch : path) {
    if (ch == '/') ch = '\\';
  }
  return path;
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
  EXPECT_TRUE(std::filesystem::exists(dir / "Data/NewName.Log"));
  EXPECT_FALSE(std::filesystem::exists(dir / "data"));
}

TEST(FileOpen, DescriptorIsClosedOnExecUnlessInheritable) {
  TempDir dir;
  FileHandle file = Open(dir / "a", FileDisposition::kCreateAlways);
  FileHandle inherited = Open(dir / "a", FileDisposition::kOpenExisting, FileAccess::kRead, true);
  ASSERT_NE(file, kInvalidFile);
  ASSERT_NE(inherited, kInvalidFile);
  EXPECT_NE(fcntl(static_cast<int>(file), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(fcntl(static_cast<int>(inherited), F_GETFD) & FD_CLOEXEC, 0);
  FileClose(file);
  FileClose(inherited);
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
