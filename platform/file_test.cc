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

using enum FileDisposition;
using enum FileAccess;

bool Inherited(FileHandle file) {
#ifdef _WIN32
  DWORD flags = 0;
  return GetHandleInformation(reinterpret_cast<HANDLE>(file), &flags) &&
         (flags & HANDLE_FLAG_INHERIT) != 0;
#else
  return (fcntl(static_cast<int>(file), F_GETFD) & FD_CLOEXEC) == 0;
#endif
}

// The Windows form of a native absolute path (on Windows it has its drive letter already).
std::string Windows(const std::string& native) {
  std::string path = (kWindows ? "" : "c:") + native;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string ReadAll(FileHandle file) {
  std::string text(64, '\0');
  return text.substr(0, std::max<int64_t>(FileRead(file, text.data(), 64), 0));
}

// What an open gave: the file's contents (the file then closed) or the error's number.
std::string Outcome(FileHandle file) {
  std::string got = file == kInvalidFile ? std::to_string(LastError()) : ReadAll(file);
  EXPECT_TRUE(file == kInvalidFile || FileClose(file));
  return got;
}

FileHandle Open(const std::string& path, FileDisposition disposition,
                FileAccess access = kReadWrite, bool inheritable = false) {
  return FileOpen(path.c_str(), access, FileShare::kReadWrite, disposition, inheritable);
}

// The rows run in order on one directory holding "plain" ("x") and "Data/Report.TXT".
TEST(FileOpen, EachOpenSucceedsOrFailsWithItsWindowsNumber) {
  TempDir dir;
  std::filesystem::create_directory(dir / "Data");
  WriteFileBytes(dir / "Data/Report.TXT", "report");
  WriteFileBytes(dir / "plain", "x");
  const std::vector<std::tuple<const char*, FileDisposition, FileAccess, uint32_t, const char*>>
      rows = {
          // path below dir, disposition, access, error, contents when open
          {"absent.txt", kOpenExisting, kReadWrite, kErrorFileNotFound, ""},
          {"nodir/absent.txt", kOpenExisting, kReadWrite, kErrorPathNotFound, ""},
          {"nodir/new.txt", kCreateAlways, kReadWrite, kErrorPathNotFound, ""},
          {"plain/inner.txt", kOpenAlways, kReadWrite, kErrorPathNotFound,
           ""},                                                // a file is no directory
          {"", kOpenExisting, kRead, kErrorAccessDenied, ""},  // a directory, for every access
          {"", kOpenExisting, kWrite, kErrorAccessDenied, ""},
          {"", kOpenAlways, kReadWrite, kErrorAccessDenied, ""},
          {"plain", kOpenAlways, kReadWrite, 0, "x"},              // kept
          {"DATA/report.txt", kOpenExisting, kRead, 0, "report"},  // found in any case
          {"plain", kCreateAlways, kReadWrite, 0, ""},             // truncated
          {"fresh.txt", kOpenAlways, kReadWrite, 0, ""},
          {"data/NewName.Log", kCreateAlways, kReadWrite, 0, ""},  // made as spelled, in "Data"
      };
  for (const auto& [path, disposition, access, error, contents] : rows) {
    EXPECT_EQ(Outcome(Open(Windows(dir / path), disposition, access)),
              error != 0 ? std::to_string(error) : contents)
        << path;
  }
  // Names as the file system spells them (exists() would not tell "Data" from "data").
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"Data", "NewName.Log", "Report.TXT", "fresh.txt", "plain"}));
}

// Windows refuses an open that conflicts with the sharing of a handle already open, or whose
// own sharing excludes an access already granted; POSIX has no mandatory sharing. A row: held
// access and sharing, then the second open's, and whether Windows refuses it.
TEST(FileOpen, ShareModesOfOpenHandles) {
  TempDir dir;
  using S = FileShare;
  for (auto [held, held_share, access, share, refused] :
       {std::tuple{kReadWrite, S::kNone, kRead, S::kReadWrite, true},
        {kRead, S::kRead, kRead, S::kRead, false},
        {kRead, S::kRead, kWrite, S::kReadWrite, true},
        {kWrite, S::kReadWrite, kRead, S::kRead, true}}) {
    FileHandle first =
        FileOpen(Windows(dir / "shared").c_str(), held, held_share, kOpenAlways, false);
    FileHandle second =
        FileOpen(Windows(dir / "shared").c_str(), access, share, kOpenAlways, false);
    EXPECT_EQ(second == kInvalidFile ? LastError() : 0u,
              kWindows && refused ? kErrorSharingViolation : 0u);
    EXPECT_TRUE(FileClose(first));
    FileClose(second);
  }
}

// Reads come short at the end, then 0; a seek past the end alone does not grow the file, a
// write there leaves a gap of zeros.
TEST(FileRead, ReadsSeeksAndWritesAsOnWindows) {
  TempDir dir;
  WriteFileBytes(dir / "ten", "0123456789");
  FileHandle file = Open(dir / "ten", kOpenExisting, kRead);
  char buffer[8];
  std::vector<int64_t> reads;
  for (int i = 0; i < 3; ++i) reads.push_back(FileRead(file, buffer, 8));
  EXPECT_EQ(reads, (std::vector<int64_t>{8, 2, 0}));
  EXPECT_EQ(std::string(buffer, 2), "89");
  EXPECT_TRUE(FileWrite(file, "x", 1) == -1 && LastError() == kErrorAccessDenied);
  const FilePiece piece = {"x", 1};
  EXPECT_TRUE(!FileWriteGathered(file, 0, &piece, 1) && LastError() == kErrorAccessDenied);
  FileClose(file);
  // A gathered write past the end: more pieces than one system call takes, empty ones among
  // them, and the gap before it reading as zeros.
  std::vector<std::string> texts;
  std::vector<FilePiece> pieces;
  std::string expected(5, '\0');
  for (int i = 0; i < 2500; ++i)
    texts.push_back(std::string(i % 3, static_cast<char>('a' + i % 26)));
  for (const std::string& text : texts) {
    pieces.push_back({text.data(), static_cast<int64_t>(text.size())});
    expected += text;
  }
  file = Open(dir / "gathered", kCreateAlways);
  EXPECT_TRUE(FileWriteGathered(file, 5, pieces.data(), static_cast<int>(pieces.size())));
  FileClose(file);
  EXPECT_EQ(ReadFileBytes(dir / "gathered"), expected);
  file = Open(dir / "gap", kCreateAlways);
  ASSERT_EQ(FileWrite(file, "ab", 2), 2);
  EXPECT_TRUE(FileSeek(file, 10, SeekFrom::kEnd) == 12 && FileLength(file) == 2);
  EXPECT_TRUE(FileWrite(file, "z", 1) == 1 && FileLength(file) == 13 && FileFlush(file));
  EXPECT_EQ(FileSeek(file, 0, SeekFrom::kBegin), 0);
  EXPECT_EQ(ReadAll(file), std::string("ab") + std::string(10, '\0') + "z");
  EXPECT_EQ(FileSeek(file, -3, SeekFrom::kCurrent), 10);
  EXPECT_EQ(FileSeek(file, -11, SeekFrom::kCurrent), -1);
  EXPECT_EQ(LastError(), kErrorInvalidParameter);
  EXPECT_EQ(FileSeek(file, 0, SeekFrom::kCurrent), 10);  // a failed seek does not move
  FileClose(file);
}

// An exact open takes the path as resolved: a link put in its place since leads nowhere.
TEST(FileOpenExact, ReachesThePathItselfAndNothingALinkLeadsTo) {
  TempDir dir;
  for (const char* name : {"outside", "real"}) std::filesystem::create_directories(dir / name);
  WriteFileBytes(dir / "real/f.txt", "in");
  WriteFileBytes(dir / "outside/o.txt", "o");
  std::string real;
  ASSERT_TRUE(ResolvePath(Windows(dir / "real").c_str(), &real));
  const std::string sep = kWindows ? "\\" : "/", denied = std::to_string(kErrorAccessDenied);
  auto open = [&](const std::string& below, FileDisposition disposition) {
    return Outcome(FileOpenExact((below.empty() ? real : real + sep + below).c_str(), kReadWrite,
                                 FileShare::kReadWrite, disposition, false));
  };
  EXPECT_EQ(open("f.txt", kOpenExisting), "in");
  EXPECT_EQ(open("new.txt", kOpenAlways), "");
  EXPECT_EQ(open("none" + sep + "x", kOpenAlways), std::to_string(kErrorPathNotFound));
  EXPECT_EQ(open("", kOpenExisting), denied);
  std::error_code no_links;
  std::filesystem::create_symlink("../outside/o.txt", dir / "real/to-o", no_links);
  if (no_links) GTEST_SKIP() << "symbolic links cannot be made here; the link cases did not run";
  std::filesystem::create_directory_symlink("../outside", dir / "real/to-outside");
  for (const std::string& path : {std::string("to-o"), "to-outside" + sep + "o.txt"})
    EXPECT_EQ(open(path, kOpenExisting) + open(path, kOpenAlways), denied + denied) << path;
  EXPECT_EQ(ReadFileBytes(dir / "outside/o.txt"), "o");
  if (kWindows) return;  // Windows compares the final path after the open, which may have made it
  EXPECT_EQ(open("to-outside/made.txt", kOpenAlways), denied);
  EXPECT_FALSE(std::filesystem::exists(dir / "outside/made.txt"));
}

// One file by any name has one identity, another in its place another; a handle is inherited
// only when asked for; calls on an invalid handle fail with its number.
TEST(FileIdentity, OneFileByAnyNameAndAnotherInItsPlace) {
  TempDir dir;
  WriteFileBytes(dir / "a.txt", "a");
  std::filesystem::create_hard_link(dir / "a.txt", dir / "b.txt");
  FileHandle a = Open(Windows(dir / "a.txt"), kOpenExisting);
  FileHandle b = Open(Windows(dir / "b.txt"), kOpenExisting, kRead, true);
  FileId of_a, of_b, of_c;
  ASSERT_TRUE(FileIdentity(a, &of_a) && FileIdentity(b, &of_b) && of_a == of_b);
  // Closed first: Windows renames nothing over an open file.
  EXPECT_TRUE(!Inherited(a) && Inherited(b) && FileClose(a) && FileClose(b));
  WriteFileBytes(dir / "c.txt", "c");
  std::filesystem::rename(dir / "c.txt", dir / "b.txt");
  FileHandle c = Open(Windows(dir / "b.txt"), kOpenExisting);
  EXPECT_TRUE(FileIdentity(c, &of_c) && !(of_a == of_c) && FileClose(c));
  char byte;
  EXPECT_TRUE(FileRead(kInvalidFile, &byte, 1) == -1 && LastError() == kErrorInvalidHandle);
  EXPECT_FALSE(FileIdentity(kInvalidFile, &of_c) || FileLength(kInvalidFile) != -1 ||
               FileFlush(kInvalidFile) || FileClose(kInvalidFile));
}

// A handle and the path give one stamp; a write that keeps the size still moves it; a path
// that names nothing has none.
TEST(FileStamp, HandleAndPathAgreeAndAWriteMovesIt) {
  TempDir dir;
  WriteFileBytes(dir / "a.txt", "abc");
  FileHandle a = Open(Windows(dir / "a.txt"), kOpenExisting);
  FileStamp by_handle, by_path, after;
  ASSERT_TRUE(FileStampOf(a, &by_handle) && PathStamp(Windows(dir / "a.txt").c_str(), &by_path));
  EXPECT_TRUE(by_handle == by_path && by_handle.size == 3);
  FileId id;
  EXPECT_TRUE(FileIdentity(a, &id) && id == by_handle.id);
  // Until the clock the file system stamps with has moved on, however coarse it is.
  do {
    ASSERT_TRUE(FileSeek(a, 0, SeekFrom::kBegin) == 0 && FileWrite(a, "x", 1) == 1);
    ASSERT_TRUE(FileStampOf(a, &after));
  } while (after.write_time == by_handle.write_time);
  EXPECT_TRUE(after.id == by_handle.id && after.size == 3 && FileClose(a));
  EXPECT_FALSE(PathStamp(Windows(dir / "none.txt").c_str(), &after));
  EXPECT_EQ(LastError(), kErrorFileNotFound);
}

}  // namespace
}  // namespace platform
