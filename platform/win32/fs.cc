// File-system calls of the Win32 backend (contract in platform/fs.h): the Win32 calls
// themselves, which already match without regard to case, take either separator and fail
// with the numbers the contract names. Entries are reported as the system gives them: the
// name as spelled on disk, its attributes unchanged, its times in whole seconds since 1970.
#include "platform/fs.h"

#include <algorithm>
#include <string_view>

#include "platform/error.h"
#include "platform/shared/page.h"
#include "platform/win32/final_path.h"
#include "platform/win32/windows_headers.h"

namespace platform {
namespace {

FoundEntry EntryOf(const WIN32_FIND_DATAA& data) {
  FoundEntry entry;
  entry.name = data.cFileName;
  FileStatus& status = entry.status;
  status.last_write_time = SecondsSince1970(data.ftLastWriteTime);
  status.last_access_time = SecondsSince1970(data.ftLastAccessTime);
  status.creation_time = SecondsSince1970(data.ftCreationTime);
  if (status.creation_time == 0) status.creation_time = status.last_write_time;
  status.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  status.attributes = data.dwFileAttributes;
  return entry;
}

class FindCloser {
 public:
  explicit FindCloser(HANDLE find) : find_(find) {}
  ~FindCloser() { ::FindClose(find_); }
  FindCloser(const FindCloser&) = delete;
  FindCloser& operator=(const FindCloser&) = delete;

 private:
  HANDLE find_;
};

}  // namespace

std::vector<FoundEntry> FindEntries(const char* pattern, size_t limit) {
  std::vector<FoundEntry> found;
  WIN32_FIND_DATAA data;
  HANDLE find = ::FindFirstFileA(pattern != nullptr ? pattern : "", &data);
  if (find == INVALID_HANDLE_VALUE) return found;  // 2 or 3 from the system
  FindCloser closer(find);
  do {
    found.push_back(EntryOf(data));
    if (limit != 0 && found.size() >= limit) break;
  } while (::FindNextFileA(find, &data));
  return found;
}

bool GetAttributes(const char* path, uint32_t* attributes) {
  DWORD found = ::GetFileAttributesA(path != nullptr ? path : "");
  if (found == INVALID_FILE_ATTRIBUTES) return false;
  *attributes = found;
  return true;
}

bool GetStatus(const char* path, FoundEntry* entry) {
  const char* given = path != nullptr ? path : "";
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(given, GetFileExInfoStandard, &data)) return false;
  WIN32_FIND_DATAA found{};
  found.dwFileAttributes = data.dwFileAttributes;
  found.ftCreationTime = data.ftCreationTime;
  found.ftLastAccessTime = data.ftLastAccessTime;
  found.ftLastWriteTime = data.ftLastWriteTime;
  found.nFileSizeHigh = data.nFileSizeHigh;
  found.nFileSizeLow = data.nFileSizeLow;
  std::string_view text(given);
  size_t separator = text.find_last_of("\\/:");
  std::string name(separator == std::string_view::npos ? text : text.substr(separator + 1));
  // The name as the disk spells it, where a search can tell (not for a root or a final
  // separator).
  WIN32_FIND_DATAA spelled;
  HANDLE find = name.empty() ? INVALID_HANDLE_VALUE : ::FindFirstFileA(given, &spelled);
  if (find != INVALID_HANDLE_VALUE) {
    ::FindClose(find);
    name = spelled.cFileName;
  }
  *entry = EntryOf(found);
  entry->name = name;
  return true;
}

bool ListDirectory(const char* dir, const char* pattern, std::string_view after, size_t limit,
                   std::vector<FoundEntry>* page) {
  page->clear();
  std::string search(dir != nullptr ? dir : "");
  if (!search.empty() && search.back() != '\\' && search.back() != '/') search += '\\';
  search += pattern != nullptr && pattern[0] != '\0' ? pattern : "*";
  WIN32_FIND_DATAA data;
  HANDLE find = ::FindFirstFileA(search.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    uint32_t error = ::GetLastError();
    uint32_t attributes = 0;
    bool exists = GetAttributes(dir, &attributes);
    bool directory = exists && (attributes & kAttributeDirectory) != 0;
    // A directory that holds nothing the pattern matches is listed, empty.
    if (directory && error == ERROR_FILE_NOT_FOUND) return true;
    SetLastError(!exists ? kErrorPathNotFound : directory ? error : kErrorDirectory);
    return false;
  }
  FindCloser closer(find);
  do {
    std::string_view name(data.cFileName);
    if (name != "." && name != ".." && name > after) page->push_back(EntryOf(data));
  } while (::FindNextFileA(find, &data));
  KeepFirstByName(page, limit, [](const FoundEntry& entry) { return entry.name; });
  return true;
}

bool MakeDirectory(const char* path) {
  return ::CreateDirectoryA(path != nullptr ? path : "", nullptr);
}

bool RemoveDirectory(const char* path) {
  return ::RemoveDirectoryA(path != nullptr ? path : "");
}

bool DeleteFile(const char* path) {
  return ::DeleteFileA(path != nullptr ? path : "");
}

bool RenameFile(const char* from, const char* to) {
  // MoveFile never replaces an existing target: it fails with 183.
  return ::MoveFileA(from != nullptr ? from : "", to != nullptr ? to : "");
}

bool DiskFreeSpace(const char* path, uint64_t* free_to_caller, uint64_t* total,
                   uint64_t* total_free) {
  // An empty path means the current directory's volume, as a null one does for the system.
  const char* directory = (path != nullptr && path[0] != '\0') ? path : nullptr;
  ULARGE_INTEGER caller;
  ULARGE_INTEGER bytes;
  ULARGE_INTEGER free_bytes;
  if (!::GetDiskFreeSpaceExA(directory, &caller, &bytes, &free_bytes)) return false;
  if (free_to_caller != nullptr) *free_to_caller = caller.QuadPart;
  if (total != nullptr) *total = bytes.QuadPart;
  if (total_free != nullptr) *total_free = free_bytes.QuadPart;
  return true;
}

std::string NativePath(const char* path) {
  // The path is already a Windows path; the system itself resolves case and drive letters.
  std::string native(path != nullptr ? path : "");
  for (char& ch : native) {
    if (ch == '/') ch = '\\';
  }
  return native;
}

}  // namespace platform

namespace platform {
namespace {

char FoldAscii(char ch) {
  return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + 32) : ch;
}

// The final name of an existing path (FinalPathOf); false when it cannot be opened (a loop of
// links among others).
bool FinalName(const std::string& existing, std::string* final_name) {
  HANDLE handle =
      CreateFileA(existing.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool named = FinalPathOf(handle, final_name);
  CloseHandle(handle);
  return named;
}

// A full path (GetFullPathName's) with its longest existing part as the system finally names
// it and the rest as spelled.
bool ResolveFull(const std::string& whole, std::string* resolved) {
  std::string existing = whole;
  while (GetFileAttributesA(existing.c_str()) == INVALID_FILE_ATTRIBUTES) {
    size_t separator = existing.find_last_of('\\');
    if (separator == std::string::npos || separator < 3) {
      *resolved = whole;  // nothing of it exists, not even the drive
      return true;
    }
    existing.resize(separator);
  }
  std::string final_name;
  if (!FinalName(existing, &final_name)) {
    ::SetLastError(kErrorCantResolveFilename);
    return false;
  }
  *resolved = final_name + whole.substr(existing.size());
  return true;
}

}  // namespace

bool FinalPathOf(HANDLE handle, std::string* final_path) {
  char name[MAX_PATH * 4];
  DWORD length = GetFinalPathNameByHandleA(handle, name, sizeof name, VOLUME_NAME_DOS);
  if (length == 0 || length >= sizeof name) return false;
  std::string_view text(name, length);
  if (text.substr(0, 4) == "\\\\?\\") text.remove_prefix(4);
  *final_path = std::string(text);
  return true;
}

bool SameNameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// Windows takes `.` and `..` out of a path by its text before anything is looked up
// (GetFullPathName does the same), then follows links and junctions as it opens each
// component: the longest existing part is resolved by the system itself. With kKeep the last
// component is left as it stands after the directory that holds it.
bool ResolvePath(const char* path, std::string* resolved, FinalLink final_link) {
  char full[MAX_PATH * 4];
  DWORD length = GetFullPathNameA(path != nullptr ? path : "", sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) {
    ::SetLastError(length == 0 ? kErrorCantResolveFilename : kErrorFilenameTooLong);
    return false;
  }
  std::string whole(full, length);
  size_t separator = whole.find_last_of('\\');
  bool has_name = separator != std::string::npos && separator >= 2 && separator + 1 < whole.size();
  if (final_link == FinalLink::kFollow || !has_name) return ResolveFull(whole, resolved);
  std::string directory;
  if (!ResolveFull(whole.substr(0, std::max<size_t>(separator, 3)), &directory)) return false;
  if (directory.back() != '\\') directory += '\\';
  *resolved = directory + whole.substr(separator + 1);
  return true;
}

std::string ResolvedNameKey(const std::string& resolved) {
  std::string key = resolved;
  for (char& ch : key) ch = FoldAscii(ch);
  return key;
}

// Names compare without regard to ASCII case, as the file system compares them.
bool PathIsWithin(const std::string& path, const std::string& directory) {
  std::string_view dir = directory;
  while (!dir.empty() && dir.back() == '\\') dir.remove_suffix(1);
  if (path.size() < dir.size()) return false;
  return SameNameNoCase(path.substr(0, dir.size()), std::string(dir)) &&
         (path.size() == dir.size() || path[dir.size()] == '\\');
}

}  // namespace platform
