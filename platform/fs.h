// File-system operations other than file contents: find with wildcards, file status,
// directories, delete and rename, free disk space.
//
// Paths are Windows paths, translated as platform/file.h describes. Failures leave the Win32
// error number in platform::LastError(). Behaviour follows the Win32 calls and run-time
// routines the system was written against: Rename fails when the target exists, Remove and
// DeleteFile delete files only, never directories.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr uint32_t kAttributeReadOnly = 0x01;
inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeArchive = 0x20;
inline constexpr uint32_t kAttributeNormal = 0x80;

struct FileStatus {
  int64_t creation_time = 0;  // seconds since 1970; the last-write time where none is kept
  int64_t last_write_time = 0;
  int64_t last_access_time = 0;
  uint64_t size = 0;
  uint32_t attributes = 0;
};

struct FoundEntry {
  std::string name;  // the entry's own name, without its directory
  FileStatus status;
};

// Entries whose name matches the last component of `pattern` (`*` and `?`, case-insensitive;
// "*.*" matches every name) in the order the system lists them, at most `limit` of them
// (0: no limit). Without wildcards the pattern names one entry. As the Win32 find does, a
// pattern lists a directory's "." and ".." entries where they match, and a path ending in
// "\." or "\.." finds the directory that its text names ("dir\.." is dir's parent).
// An empty result leaves 2 or 3 in LastError.
std::vector<FoundEntry> FindEntries(const char* pattern, size_t limit = 0);

// Attributes of a path (GetFileAttributes); false when it does not exist.
bool GetAttributes(const char* path, uint32_t* attributes);
// The one entry `path` names, as FindEntries reports it (its name as spelled on the disk), but
// with `*` and `?` taken as spelled; false when it does not exist (2 or 3 in LastError).
bool GetStatus(const char* path, FoundEntry* entry);

// One page of the directory `dir`: its entries whose names match `pattern` as FindEntries
// matches a last component ("" matches every name) and sort byte-wise after `after`, in that
// order, at most `limit` of them; never "." or "..". An entry removed while the page is made
// is left out. False when `dir` cannot be listed: 3 when it does not exist, 267 when it names
// a file.
bool ListDirectory(const char* dir, const char* pattern, std::string_view after, size_t limit,
                   std::vector<FoundEntry>* page);

bool MakeDirectory(
    const char* path);  // fails with 183 when it exists, 3 when its parent is missing
bool RemoveDirectory(const char* path);  // empty directories only (145 otherwise)
// A file this process holds open without sharing (FileShare::kNone) is neither deleted nor
// renamed: 32, a sharing violation, as Windows refuses it.
bool DeleteFile(const char* path);                  // files only; a directory gives 5
bool RenameFile(const char* from, const char* to);  // fails with 183 when `to` exists

// Free bytes available to the caller, total bytes and total free bytes of the volume that
// holds `path`.
bool DiskFreeSpace(const char* path, uint64_t* free_to_caller, uint64_t* total,
                   uint64_t* total_free);

// The platform's native form of a Windows path, with missing components resolved without
// regard to case. Exposed for the tests and for messages; other code passes Windows paths.
std::string NativePath(const char* path);

// Whether ResolvePath follows a symbolic link that is the path's last component: to reach the
// file it leads to (kFollow), or not, for work on the entry itself, such as deleting or
// renaming it (kKeep).
enum class FinalLink { kFollow, kKeep };

// Where a path leads, for deciding whether it stays inside a directory and for naming one file
// by one path whatever its spelling: the platform's own translation (separators, drive
// letter, case), then every `.`, `..` and symbolic link of an existing component resolved as
// the system resolves them on opening the path. Components that do not exist are kept as
// spelled (a `..` after one removes it, and the look-up goes on from what is left). A relative
// path starts at the current directory. The result is absolute and holds no link, `.` or `..`
// (save a final link with kKeep). False with 1921 for a chain of links that loops or runs too
// long, and with 206 for a path longer than the system takes (32767 characters at most).
bool ResolvePath(const char* path, std::string* resolved,
                 FinalLink final_link = FinalLink::kFollow);
// The key under which a resolved path names one file whatever its spelling: on Windows, where
// names compare without regard to case, the path in ASCII lower case; elsewhere the path.
std::string ResolvedNameKey(const std::string& resolved);
// Whether the resolved `path` is the resolved `directory` or lies below it, comparing whole
// components as the file system compares names (`/srv/data` does not hold `/srv/database`).
bool PathIsWithin(const std::string& path, const std::string& directory);

}  // namespace platform
