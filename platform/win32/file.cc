// Files on Win32 handles. The handle is the HANDLE itself, so kInvalidFile (-1) is
// INVALID_HANDLE_VALUE. Share modes are enforced by the system: an open that conflicts with
// another handle's sharing fails with 32.
#include "platform/file.h"

#include <algorithm>
#include <string>

#include "platform/error.h"
#include "platform/win32/final_path.h"
#include "platform/win32/windows_headers.h"

namespace platform {
namespace {

// The most one ReadFile or WriteFile moves; larger counts take several calls.
constexpr int64_t kMaxTransfer = 1 << 30;

HANDLE Native(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

// INVALID_HANDLE_VALUE is also the pseudo-handle of the current process, which some calls
// (CloseHandle above all) accept: refuse it before it reaches the system.
bool Usable(FileHandle file) {
  if (file != kInvalidFile) return true;
  ::SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

DWORD DesiredAccess(FileAccess access) {
  switch (access) {
    case FileAccess::kRead:
      return GENERIC_READ;
    case FileAccess::kWrite:
      return GENERIC_WRITE;
    case FileAccess::kReadWrite:
      break;
  }
  return GENERIC_READ | GENERIC_WRITE;
}

DWORD ShareMode(FileShare share) {
  switch (share) {
    case FileShare::kNone:
      return 0;
    case FileShare::kRead:
      return FILE_SHARE_READ;
    case FileShare::kWrite:
      return FILE_SHARE_WRITE;
    case FileShare::kReadWrite:
      break;
  }
  return FILE_SHARE_READ | FILE_SHARE_WRITE;
}

DWORD CreationDisposition(FileDisposition disposition) {
  switch (disposition) {
    case FileDisposition::kOpenExisting:
      return OPEN_EXISTING;
    case FileDisposition::kCreateAlways:
      return CREATE_ALWAYS;
    case FileDisposition::kOpenAlways:
      break;
  }
  return OPEN_ALWAYS;
}

}  // namespace

FileHandle FileOpen(const char* path, FileAccess access, FileShare share,
                    FileDisposition disposition, bool inheritable) {
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof security;
  security.bInheritHandle = inheritable ? TRUE : FALSE;
  // A directory cannot be opened without FILE_FLAG_BACKUP_SEMANTICS: it gives 5, as wanted.
  HANDLE handle =
      ::CreateFileA(path != nullptr ? path : "", DesiredAccess(access), ShareMode(share), &security,
                    CreationDisposition(disposition), FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return kInvalidFile;
  return reinterpret_cast<FileHandle>(handle);
}

// The system follows links and junctions as it opens; what it reached is the handle's final
// path, which must be the path asked for.
FileHandle FileOpenExact(const char* path, FileAccess access, FileShare share,
                         FileDisposition disposition, bool inheritable) {
  FileHandle file = FileOpen(path, access, share, disposition, inheritable);
  if (file == kInvalidFile) return file;
  std::string asked(path);
  std::replace(asked.begin(), asked.end(), '/', '\\');
  std::string reached;
  if (FinalPathOf(Native(file), &reached) && SameNameNoCase(reached, asked)) return file;
  ::CloseHandle(Native(file));
  ::SetLastError(ERROR_ACCESS_DENIED);
  return kInvalidFile;
}

int64_t FileRead(FileHandle file, void* buffer, int64_t count) {
  if (!Usable(file)) return -1;
  if (count < 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  char* bytes = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    DWORD want = static_cast<DWORD>(std::min(count - done, kMaxTransfer));
    DWORD got = 0;
    if (!::ReadFile(Native(file), bytes + done, want, &got, nullptr)) {
      // The writer of a pipe has gone: that is the end of what can be read.
      if (::GetLastError() == ERROR_BROKEN_PIPE) break;
      return -1;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

int64_t FileWrite(FileHandle file, const void* buffer, int64_t count) {
  if (!Usable(file)) return -1;
  if (count < 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  const char* bytes = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    DWORD want = static_cast<DWORD>(std::min(count - done, kMaxTransfer));
    DWORD put = 0;
    if (!::WriteFile(Native(file), bytes + done, want, &put, nullptr)) return -1;
    if (put == 0) {
      // Nothing more fits.
      ::SetLastError(ERROR_DISK_FULL);
      return -1;
    }
    done += put;
  }
  return done;
}

bool FileWriteGathered(FileHandle file, int64_t offset, const FilePiece* pieces, int count) {
  // WriteFileGather wants unbuffered, page-aligned pages: the pieces go one WriteFile each.
  if (FileSeek(file, offset, SeekFrom::kBegin) < 0) return false;
  for (int i = 0; i < count; ++i) {
    if (FileWrite(file, pieces[i].bytes, pieces[i].length) < 0) return false;
  }
  return true;
}

int64_t FileSeek(FileHandle file, int64_t offset, SeekFrom from) {
  if (!Usable(file)) return -1;
  DWORD method = from == SeekFrom::kBegin     ? FILE_BEGIN
                 : from == SeekFrom::kCurrent ? FILE_CURRENT
                                              : FILE_END;
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  if (!::SetFilePointerEx(Native(file), distance, &position, method)) {
    // The system says 131 for a position before the start; the callers know it as 87.
    if (::GetLastError() == ERROR_NEGATIVE_SEEK) ::SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  return position.QuadPart;
}

int64_t FileLength(FileHandle file) {
  if (!Usable(file)) return -1;
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(Native(file), &size)) return -1;
  return size.QuadPart;
}

bool FileFlush(FileHandle file) {
  return Usable(file) && ::FlushFileBuffers(Native(file));
}

bool FileIdentity(FileHandle file, FileId* id) {
  FileStamp stamp;
  if (!FileStampOf(file, &stamp)) return false;
  *id = stamp.id;
  return true;
}

namespace {

bool StampOf(HANDLE handle, FileStamp* stamp) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!::GetFileInformationByHandle(handle, &information)) return false;
  stamp->id.volume = information.dwVolumeSerialNumber;
  stamp->id.index =
      (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  stamp->size = static_cast<int64_t>((static_cast<uint64_t>(information.nFileSizeHigh) << 32) |
                                     information.nFileSizeLow);
  stamp->write_time = static_cast<int64_t>(
      (static_cast<uint64_t>(information.ftLastWriteTime.dwHighDateTime) << 32) |
      information.ftLastWriteTime.dwLowDateTime);
  return true;
}

}  // namespace

bool FileStampOf(FileHandle file, FileStamp* stamp) {
  return Usable(file) && StampOf(Native(file), stamp);
}

// Opened for its attributes only, sharing everything (a writer elsewhere is not disturbed),
// the entry itself rather than where a link leads.
bool PathStamp(const char* path, FileStamp* stamp) {
  HANDLE handle =
      ::CreateFileA(path != nullptr ? path : "", FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool stamped = StampOf(handle, stamp);
  DWORD error = ::GetLastError();
  ::CloseHandle(handle);
  ::SetLastError(error);
  return stamped;
}

bool FileClose(FileHandle file) {
  return Usable(file) && ::CloseHandle(Native(file));
}

}  // namespace platform
