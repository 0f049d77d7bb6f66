// Files through platform/file.h on a real temporary directory, reached by Windows paths.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
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

bool Inherited(FileHandle file) {
#ifdef _WIN32
  DWORD flags = 0;
  return GetHandleInformation(reinterpret_cast<HANDLE>(file), &flags) &&
         (flags & HANDLE_FLAG_INHERIT) != 0;
#else
  return (fcntl(static_cast<int>(file), F_GETFD) & FD_CLOEXEC) == 0;
#endif
}

// The Windows form of a native absolute path: drive letter and backslashes (on Windows the
// temporary directory has its drive letter already).
std::string Windows(const std::string& native) {
  std::string path = (kWindows ? "" : "c:") + native;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// Sorted names as the file system spells them (exists() would not tell "Data" from "data").
std::vector<std::string> Listing(const std::string& native_dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(native_dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
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

// The rows run in order on one directory holding "plain" ("x") and "Data/Report.TXT".
TEST(FileOpen, EachOpenSucceedsOrFailsWithItsWindowsNumber) {
  TempDir dir;
  std::filesystem::create_directory(dir / "Data");
  WriteFileBytes(dir / "Data/Report.TXT", "report");
  WriteFileBytes(dir / "plain", "x");
  const FileAccess kRead = FileAccess::kRead, kWrite = FileAccess::kWrite,
                   kBoth = FileAccess::kReadWrite;
  const FileDisposition kExisting = FileDisposition::kOpenExisting,
                        kAlways = FileDisposition::kOpenAlways,
                        kCreate = FileDisposition::kCreateAlways;
  const std::vector<std::tuple<const char*, FileDisposition, FileAccess, uint32_t, const char*>>
      rows = {
          // path below dir, disposition, access, error, contents when open
          {"absent.txt", kExisting, kBoth, kErrorFileNotFound, ""},
          {"nodir/absent.txt", kExisting, kBoth, kErrorPathNotFound, ""},
          {"nodir/new.txt", kCreate, kBoth, kErrorPathNotFound, ""},
          {"plain/inner.txt", kAlways, kBoth, kErrorPathNotFound, ""},  // a file is no directory
          {"", kExisting, kRead, kErrorAccessDenied, ""},  // a directory, for every access
          {"", kExisting, kWrite, kErrorAccessDenied, ""},
          {"", kAlways, kBoth, kErrorAccessDenied, ""},
          {"plain", kAlways, kBoth, 0, "x"},                   // kept
          {"DATA/report.txt", kExisting, kRead, 0, "report"},  // found in any case
          {"plain", kCreate, kBoth, 0, ""},                    // truncated
          {"fresh.txt", kAlways, kBoth, 0, ""},
          {"data/NewName.Log", kCreate, kBoth, 0, ""},  // made as spelled, in "Data"
      };
  for (const auto& [path, disposition, access, error, contents] : rows) {
    SetLastError(0);
    FileHandle file = Open(Windows(dir / path), disposition, access);
    EXPECT_EQ(file == kInvalidFile, error != 0) << path;
    if (file == kInvalidFile) {
      EXPECT_EQ(LastError(), error) << path;
      continue;
    }
    EXPECT_EQ(ReadAll(file), contents) << path;
    EXPECT_TRUE(FileClose(file));
  }
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"Data", "fresh.txt", "plain"}));
  EXPECT_EQ(Listing(dir / "Data"), (std::vector<std::string>{"NewName.Log", "Report.TXT"}));
}

// Windows refuses an open that conflicts with the sharing of a handle already open, or whose
// own sharing excludes an access already granted; POSIX has no mandatory sharing.
TEST(FileOpen, ShareModesOfOpenHandles) {
  TempDir dir;
  std::string path = Windows(dir / "shared");
  using A = FileAccess;
  using S = FileShare;
  const std::vector<std::tuple<A, S, A, S, bool>> rows = {
      // held, then opened: refused?
      {A::kReadWrite, S::kNone, A::kRead, S::kReadWrite, true},
      {A::kRead, S::kRead, A::kRead, S::kRead, false},
      {A::kRead, S::kRead, A::kWrite, S::kReadWrite, true},
      {A::kWrite, S::kReadWrite, A::kRead, S::kRead, true},
      {A::kWrite, S::kReadWrite, A::kRead, S::kReadWrite, false},
  };
  for (const auto& [held_access, held_share, access, share, refused] : rows) {
    FileHandle held =
        FileOpen(path.c_str(), held_access, held_share, FileDisposition::kOpenAlways, false);
    ASSERT_NE(held, kInvalidFile);
    SetLastError(0);
    FileHandle second = FileOpen(path.c_str(), access, share, FileDisposition::kOpenAlways, false);
    EXPECT_EQ(second == kInvalidFile, kWindows && refused);
    EXPECT_TRUE(second != kInvalidFile || LastError() == kErrorSharingViolation);
    FileClose(second);
    FileClose(held);
  }
}

// Reads come short at the end, then 0; writing through a read-only handle is refused; a seek
// past the end alone does not grow the file, a write there leaves a gap of zeros.
TEST(FileRead, ReadsSeeksAndWritesAsOnWindows) {
  TempDir dir;
  WriteFileBytes(dir / "ten", "0123456789");
  FileHandle file = Open(dir / "ten", FileDisposition::kOpenExisting, FileAccess::kRead);
  char buffer[8];
  EXPECT_EQ(FileRead(file, buffer, 8), 8);
  EXPECT_EQ(FileRead(file, buffer, 8), 2);
  EXPECT_EQ(std::string(buffer, 2), "89");
  EXPECT_EQ(FileRead(file, buffer, 8), 0);
  EXPECT_TRUE(FileWrite(file, "x", 1) == -1 && LastError() == kErrorAccessDenied);
  FileClose(file);
  file = Open(dir / "gap", FileDisposition::kCreateAlways);
  ASSERT_EQ(FileWrite(file, "ab", 2), 2);
  EXPECT_EQ(FileSeek(file, 10, SeekFrom::kEnd), 12);
  EXPECT_EQ(FileLength(file), 2);
  ASSERT_EQ(FileWrite(file, "z", 1), 1);
  EXPECT_EQ(FileLength(file), 13);
  EXPECT_TRUE(FileFlush(file));
  EXPECT_EQ(FileSeek(file, 0, SeekFrom::kBegin), 0);
  EXPECT_EQ(ReadAll(file), std::string("ab") + std::string(10, '\0') + "z");
  EXPECT_EQ(FileSeek(file, -3, SeekFrom::kCurrent), 10);
  EXPECT_TRUE(FileSeek(file, -11, SeekFrom::kCurrent) == -1 &&
              LastError() == kErrorInvalidParameter);
  EXPECT_EQ(FileSeek(file, 0, SeekFrom::kCurrent), 10);  // a failed seek does not move
  FileClose(file);
}

// An exact open takes the path as it was resolved: it makes a file where the path says, and a
// link put in the place of a file or directory since does not take it anywhere else.
TEST(FileOpenExact, ReachesThePathItselfAndNothingALinkLeadsTo) {
  TempDir dir;
  WriteFileBytes((std::filesystem::create_directories(dir / "real"), dir / "real/f.txt"), "in");
  WriteFileBytes((std::filesystem::create_directories(dir / "outside"), dir / "outside/o.txt"),
                 "o");
  std::string real;
  ASSERT_TRUE(ResolvePath(Windows(dir / "real").c_str(), &real));
  const std::string sep = kWindows ? "\\" : "/";
  auto open = [&](const std::string& below, FileDisposition disposition) {
    SetLastError(0);
    FileHandle file =
        FileOpenExact((below.empty() ? real : real + sep + below).c_str(), FileAccess::kReadWrite,
                      FileShare::kReadWrite, disposition, false);
    std::string got = file == kInvalidFile ? std::to_string(LastError()) : ReadAll(file);
    FileClose(file);
    return got;
  };
  EXPECT_EQ(open("f.txt", FileDisposition::kOpenExisting), "in");
  EXPECT_EQ(open("new.txt", FileDisposition::kOpenAlways), "");
  EXPECT_EQ(open("none" + sep + "x", FileDisposition::kOpenAlways),
            std::to_string(kErrorPathNotFound));
  EXPECT_EQ(open("", FileDisposition::kOpenExisting), std::to_string(kErrorAccessDenied));
  std::error_code no_links;
  std::filesystem::create_symlink("../outside/o.txt", dir / "real/to-o", no_links);
  if (no_links) GTEST_SKIP() << "symbolic links cannot be made here; the link cases did not run";
  std::filesystem::create_directory_symlink("../outside", dir / "real/to-outside");
  for (const std::string& path : {std::string("to-o"), "to-outside" + sep + "o.txt"}) {
    for (FileDisposition disposition :
         {FileDisposition::kOpenExisting, FileDisposition::kOpenAlways}) {
      EXPECT_EQ(open(path, disposition), std::to_string(kErrorAccessDenied)) << path;
    }
  }
  EXPECT_EQ(ReadFileBytes(dir / "outside/o.txt"), "o");
  if (kWindows) return;  // Windows compares the final path after the open, which may have made it
  EXPECT_EQ(open("to-outside/made.txt", FileDisposition::kOpenAlways),
            std::to_string(kErrorAccessDenied));
  EXPECT_FALSE(std::filesystem::exists(dir / "outside/made.txt"));
}

// One file by any name has one identity, another in its place another; a handle is inherited
// only when asked for; calls on an invalid handle fail with its number.
TEST(FileIdentity, OneFileByAnyNameAndAnotherInItsPlace) {
  TempDir dir;
  WriteFileBytes(dir / "a.txt", "a");
  std::filesystem::create_hard_link(dir / "a.txt", dir / "b.txt");
  FileHandle a = Open(Windows(dir / "a.txt"), FileDisposition::kOpenExisting);
  FileHandle b =
      Open(Windows(dir / "b.txt"), FileDisposition::kOpenExisting, FileAccess::kRead, true);
  FileId of_a, of_b, of_c;
  ASSERT_TRUE(FileIdentity(a, &of_a) && FileIdentity(b, &of_b));
  EXPECT_TRUE(of_a == of_b);
  EXPECT_FALSE(Inherited(a));
  EXPECT_TRUE(Inherited(b));
  EXPECT_TRUE(FileClose(a) && FileClose(b));  // Windows renames nothing over an open file
  WriteFileBytes(dir / "c.txt", "c");
  std::filesystem::rename(dir / "c.txt", dir / "b.txt");
  FileHandle c = Open(Windows(dir / "b.txt"), FileDisposition::kOpenExisting);
  ASSERT_TRUE(FileIdentity(c, &of_c));
  EXPECT_FALSE(of_a == of_c);
  EXPECT_TRUE(FileClose(c));
  EXPECT_FALSE(FileIdentity(kInvalidFile, &of_c));
  char byte;
  EXPECT_TRUE(FileRead(kInvalidFile, &byte, 1) == -1 && LastError() == kErrorInvalidHandle);
  EXPECT_EQ(FileLength(kInvalidFile), -1);
  EXPECT_FALSE(FileFlush(kInvalidFile));
  EXPECT_FALSE(FileClose(kInvalidFile));
  EXPECT_EQ(LastError(), kErrorInvalidHandle);
}

}  // namespace
}  // namespace platform
