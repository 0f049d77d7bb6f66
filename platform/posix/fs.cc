// File-system calls of the POSIX backend with the behaviour of their Win32 and run-time
// counterparts (contract in platform/fs.h).
//
// Attributes: a directory is 0x10; any other entry is an archived file, 0x20, since Windows
// sets the archive bit on every file that is written; either gets read-only (0x01) when its
// owner may not write it. Symbolic links are followed; a dangling one is listed as itself.
// Times are whole seconds since 1970; the creation time is the birth time where the file
// system keeps one (statx), else the last-write time.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/posix/exclusive.h"
#include "platform/posix/path.h"
#include "platform/posix/posix_error.h"
#include "platform/shared/page.h"

namespace platform {
namespace {

bool IsDotOrDotDot(std::string_view name) {
  return name == "." || name == "..";
}

bool HasWildcard(std::string_view name) {
  return name.find_first_of("*?") != std::string_view::npos;
}

// `*` matches any run of characters, `?` exactly one; letters match without regard to case.
bool GlobMatch(std::string_view name, std::string_view pattern) {
  size_t n = 0;
  size_t p = 0;
  size_t star = std::string_view::npos;  // the last `*` seen, to retry from
  size_t resume = 0;                     // where in `name` that `*` is tried next
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || FoldAscii(pattern[p]) == FoldAscii(name[n]))) {
      ++n;
      ++p;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// As on Windows, a final ".*" may also match nothing, so "*.*" lists names without a dot too.
bool WildcardMatch(std::string_view name, std::string_view pattern) {
  if (GlobMatch(name, pattern)) return true;
  return pattern.ends_with(".*") && GlobMatch(name, pattern.substr(0, pattern.size() - 2));
}

uint32_t AttributesOf(uint32_t mode) {
  uint32_t attributes = S_ISDIR(mode) ? kAttributeDirectory : kAttributeArchive;
  if ((mode & S_IWUSR) == 0) attributes |= kAttributeReadOnly;
  return attributes;
}

FileStatus MakeStatus(uint32_t mode, uint64_t size, int64_t write_time, int64_t access_time,
                      int64_t birth_time) {
  FileStatus status;
  status.creation_time = birth_time != 0 ? birth_time : write_time;
  status.last_write_time = write_time;
  status.last_access_time = access_time;
  status.size = size;
  status.attributes = AttributesOf(mode);
  return status;
}

// statx, which knows birth times; fstatat where the kernel has no statx.
bool StatusAt(int dir_fd, const char* name, int flags, FileStatus* status) {
  struct statx sx;
  if (statx(dir_fd, name, flags, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
    int64_t birth = (sx.stx_mask & STATX_BTIME) != 0 ? sx.stx_btime.tv_sec : 0;
    *status = MakeStatus(sx.stx_mode, sx.stx_size, sx.stx_mtime.tv_sec, sx.stx_atime.tv_sec, birth);
    return true;
  }
  if (errno != ENOSYS) return false;
  struct stat st;
  if (fstatat(dir_fd, name, &st, flags) != 0) return false;
  *status = MakeStatus(st.st_mode, st.st_size, st.st_mtim.tv_sec, st.st_atim.tv_sec, 0);
  return true;
}

// The entry's target when it is a symbolic link, else the link itself when that dangles.
bool EntryStatus(int dir_fd, const char* name, FileStatus* status) {
  return StatusAt(dir_fd, name, 0, status) || StatusAt(dir_fd, name, AT_SYMLINK_NOFOLLOW, status);
}

// For calls whose own target may not exist yet: a missing entry means a missing directory.
uint32_t DirectoryError(int err) {
  return err == ENOENT ? kErrorPathNotFound : Win32ErrorFromErrno(err);
}

void FindMatching(const std::string& windows_dir, std::string_view pattern, size_t limit,
                  std::vector<FoundEntry>* found) {
  std::string dir = ToNativePath(windows_dir.c_str());
  bool listed = ForEachEntry(dir.empty() ? "." : dir, [&](const char* name, int dir_fd) {
    if (!WildcardMatch(name, pattern)) return true;
    FoundEntry entry{name, {}};
    // An entry removed while the directory is read is simply not listed.
    if (EntryStatus(dir_fd, name, &entry.status)) found->push_back(std::move(entry));
    return limit == 0 || found->size() < limit;
  });
  if (!listed) {
    SetLastError(DirectoryError(errno));
  } else if (found->empty()) {
    SetLastError(kErrorFileNotFound);
  }
}

// Windows reads "dir\." as "dir" and "dir\.." as dir's parent, by the text, before it looks
// anything up, and then finds that entry. The root has no name and is not found.
std::string WithoutFinalDots(const std::string& native) {
  std::filesystem::path normal = std::filesystem::path(native).lexically_normal();
  if (!normal.has_filename()) normal = normal.parent_path();
  return normal.string();
}

void FindOne(const char* path, std::vector<FoundEntry>* found) {
  // An entry there as spelled costs one status call, without a look-up before it.
  std::string spelled = SpelledNativePath(path != nullptr ? path : "");
  FoundEntry as_spelled{spelled.substr(LastComponentStart(spelled)), {}};
  if (!as_spelled.name.empty() && !IsDotOrDotDot(as_spelled.name) &&
      EntryStatus(AT_FDCWD, spelled.c_str(), &as_spelled.status)) {
    found->push_back(std::move(as_spelled));
    return;
  }
  std::string native = ToNativePath(path);
  std::string name = native.substr(LastComponentStart(native));
  if (IsDotOrDotDot(name)) {
    native = WithoutFinalDots(native);
    name = native == "." || native == "/" ? "" : native.substr(LastComponentStart(native));
  }
  FoundEntry entry{name, {}};
  if (name.empty()) {
    SetLastError(kErrorFileNotFound);
  } else if (!EntryStatus(AT_FDCWD, native.c_str(), &entry.status)) {
    SetLastErrorForPath(errno, native);
  } else {
    found->push_back(std::move(entry));
  }
}

// A target that is the source itself in another case is a change of case, which Windows
// allows: the caller's spelling of the last component is kept.
std::string RenameTarget(const std::string& source, const char* to) {
  std::string target = ToNativePath(to);
  if (target != source) return target;
  std::string_view given(to);
  return source.substr(0, LastComponentStart(source)) +
         std::string(given.substr(LastComponentStart(given)));
}

// rename that never replaces `to`; false with errno EEXIST when it exists.
bool MoveNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
  // The file system refuses RENAME_NOREPLACE. A hard link is as atomic for files.
  if (link(from.c_str(), to.c_str()) == 0) {
    if (unlink(from.c_str()) == 0) return true;
    int err = errno;
    unlink(to.c_str());
    errno = err;
    return false;
  }
  if (errno == EEXIST) return false;
  // Directories, and file systems without hard links: check, then rename.
  if (NativeExists(to)) {
    errno = EEXIST;
    return false;
  }
  return rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

std::vector<FoundEntry> FindEntries(const char* pattern, size_t limit) {
  std::string_view text(pattern != nullptr ? pattern : "");
  size_t name_start = LastComponentStart(text);
  std::vector<FoundEntry> found;
  if (HasWildcard(text.substr(name_start))) {
    FindMatching(std::string(text.substr(0, name_start)), text.substr(name_start), limit, &found);
  } else {
    FindOne(pattern, &found);
  }
  return found;
}

bool GetAttributes(const char* path, uint32_t* attributes) {
  FoundEntry entry;
  if (!GetStatus(path, &entry)) return false;
  *attributes = entry.status.attributes;
  return true;
}

bool GetStatus(const char* path, FoundEntry* entry) {
  std::string native = ToNativePath(path);
  if (!StatusAt(AT_FDCWD, native.c_str(), 0, &entry->status)) {
    SetLastErrorForPath(errno, native);
    return false;
  }
  entry->name = native.substr(LastComponentStart(native));
  return true;
}

bool ListDirectory(const char* dir, const char* pattern, std::string_view after, size_t limit,
                   std::vector<FoundEntry>* page) {
  page->clear();
  std::string native = ToNativePath(dir);
  std::string_view wanted(pattern != nullptr && pattern[0] != '\0' ? pattern : "*");
  // Names first, as cheap as the system lists them; a status only for the page's own.
  std::vector<std::string> names;
  bool listed = ForEachEntry(native, [&](const char* name, int) {
    if (!IsDotOrDotDot(name) && std::string_view(name) > after && WildcardMatch(name, wanted)) {
      names.emplace_back(name);
    }
    return true;
  });
  if (!listed) {
    SetLastError(errno == ENOTDIR ? kErrorDirectory : DirectoryError(errno));
    return false;
  }
  KeepFirstByName(&names, limit, [](const std::string& name) { return name; });
  for (std::string& name : names) {
    FoundEntry entry{std::move(name), {}};
    if (EntryStatus(AT_FDCWD, Join(native, entry.name).c_str(), &entry.status)) {
      page->push_back(std::move(entry));
    }
  }
  return true;
}

bool MakeDirectory(const char* path) {
  std::string native = ToNativePath(path);
  if (mkdir(native.c_str(), 0777) == 0) return true;
  SetLastError(DirectoryError(errno));
  return false;
}

bool RemoveDirectory(const char* path) {
  std::string native = ToNativePath(path);
  if (rmdir(native.c_str()) == 0) return true;
  int err = errno;
  uint32_t attributes = 0;
  if (err == ENOTDIR && GetAttributes(path, &attributes)) {
    SetLastError(kErrorDirectory);  // the path names a file
  } else {
    SetLastErrorForPath(err, native);
  }
  return false;
}

bool DeleteFile(const char* path) {
  std::string native = ToNativePath(path);
  if (HeldExclusively(native)) {
    SetLastError(kErrorSharingViolation);
    return false;
  }
  if (unlink(native.c_str()) == 0) return true;
  SetLastErrorForPath(errno, native);  // a directory gives EISDIR, which is 5
  return false;
}

bool RenameFile(const char* from, const char* to) {
  std::string source = ToNativePath(from);
  std::string target = RenameTarget(source, to != nullptr ? to : "");
  if (HeldExclusively(source)) {
    SetLastError(kErrorSharingViolation);
    return false;
  }
  if (MoveNoReplace(source, target)) return true;
  int err = errno;
  if (err == ENOENT && !NativeExists(source)) {
    SetLastErrorForPath(err, source);
  } else {
    SetLastError(DirectoryError(err));  // the target's directory is missing
  }
  return false;
}

bool DiskFreeSpace(const char* path, uint64_t* free_to_caller, uint64_t* total,
                   uint64_t* total_free) {
  std::string native = ToNativePath(path);
  if (native.empty()) native.push_back('.');  // an empty path means the current volume
  struct statvfs vfs;
  int rc;
  do {
    rc = statvfs(native.c_str(), &vfs);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    SetLastErrorForPath(errno, native);
    return false;
  }
  uint64_t unit = vfs.f_frsize;
  if (free_to_caller != nullptr) *free_to_caller = vfs.f_bavail * unit;
  if (total != nullptr) *total = vfs.f_blocks * unit;
  if (total_free != nullptr) *total_free = vfs.f_bfree * unit;
  return true;
}

}  // namespace platform
