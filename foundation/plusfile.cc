// The PlusFile file-system helpers over platform/fs.h (contract in plusfile.h).
#include "foundation/plusfile.h"

#include <vector>

#include "platform/fs.h"
#include "runtime/dumpstack.h"

namespace {

constexpr char kUnit[] = "plusfile";

bool IsSeparator(char ch) {
  return ch == '\\' || ch == '/';
}

int Result(bool ok) {
  return ok ? 1 : 0;
}

// The run-time library's form: 0 on success, -1 on failure.
int RuntimeResult(bool ok) {
  return ok ? 0 : -1;
}

}  // namespace

namespace PlusFile {

CString DirectoryOf(const char* path) {
  CString text(path);
  for (int i = text.GetLength() - 1; i >= 0; --i) {
    if (IsSeparator(text.GetAt(i))) return text.Left(i + 1);
  }
  return CString();
}

CString WithFinalSeparator(const char* path) {
  CString text(path);
  text.Trim();
  int length = text.GetLength();
  if (length == 0) return text;
  char last = text.GetAt(length - 1);
  if (last == '/') return text.Left(length - 1) + "\\";
  if (last != '\\') text += '\\';
  return text;
}

CString WithBackslashes(const char* path) {
  CString text(path);
  text.Replace("/", "\\");
  return text;
}

int FileExists(const char* path) {
  return Result(!platform::FindEntries(path, 1).empty());
}

int DirExists(const char* path) {
  uint32_t attributes = 0;
  return Result(platform::GetAttributes(path, &attributes) &&
                (attributes & platform::kAttributeDirectory) != 0);
}

int FindFiles(const char* pattern, YStringArray& names) {
  names.Clear();
  for (const platform::FoundEntry& entry : platform::FindEntries(pattern)) {
    if ((entry.status.attributes & platform::kAttributeDirectory) == 0) {
      names.Add(entry.name.c_str());
    }
  }
  return names.GetCount();
}

int FileStatus(const char* path, FileInfo* info) {
  FATAL_CHECK(info != nullptr);
  std::vector<platform::FoundEntry> found = platform::FindEntries(path, 1);
  if (found.empty()) return 0;
  const platform::FileStatus& status = found[0].status;
  int64_t written = status.last_write_time;
  info->creation_time = status.creation_time != 0 ? status.creation_time : written;
  info->last_write_time = written;
  info->last_access_time = status.last_access_time != 0 ? status.last_access_time : written;
  info->size = static_cast<uint32_t>(status.size);
  info->attributes = status.attributes;
  return 1;
}

int64_t LastWriteTime(const char* path) {
  FileInfo info;
  return FileStatus(path, &info) != 0 ? info.last_write_time : 0;
}

int MakeDir(const char* path) {
  return Result(platform::MakeDirectory(path));
}

int RemoveDir(const char* path) {
  return Result(platform::RemoveDirectory(path));
}

int DeleteFile(const char* path) {
  return Result(platform::DeleteFile(path));
}

int Rename(const char* from, const char* to) {
  return RuntimeResult(platform::RenameFile(from, to));
}

int Remove(const char* path) {
  return RuntimeResult(platform::DeleteFile(path));
}

int FreeDiskSpace(const char* path, uint64_t* free_to_caller) {
  FATAL_CHECK(free_to_caller != nullptr);
  uint64_t available = 0;
  if (!platform::DiskFreeSpace(path, &available, nullptr, nullptr)) return 0;
  *free_to_caller = available;
  return 1;
}

}  // namespace PlusFile
