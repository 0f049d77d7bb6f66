// Operating-system files: open, read, write, seek, length, flush, close.
//
// A FileHandle is an opaque number; kInvalidFile marks a failed open. Every call that fails
// returns its failure value and leaves the Win32 error number in platform::LastError().
// Paths are Windows paths: `\` and `/` both separate, a leading drive letter names the
// platform's root, and a missing component is looked up without regard to case (see
// docs/ARCHITECTURE.md). Calls may come from any thread; a handle is used by one at a time.
#pragma once

#include <cstdint>

namespace platform {

using FileHandle = intptr_t;
inline constexpr FileHandle kInvalidFile = -1;

enum class FileAccess { kRead, kWrite, kReadWrite };

enum class FileDisposition {
  kOpenExisting,  // fails with 2 (or 3) when the file is missing
  kCreateAlways,  // creates, or truncates an existing file
  kOpenAlways,    // creates when missing, keeps an existing file's contents
};

// Share modes are the Win32 backend's; POSIX has no mandatory sharing and ignores them for
// opens, but a file held with kNone is neither deleted nor renamed there either (fs.h).
enum class FileShare { kNone, kRead, kWrite, kReadWrite };

FileHandle FileOpen(const char* path, FileAccess access, FileShare share,
                    FileDisposition disposition, bool inheritable);
// Opens exactly `path`, an absolute path as ResolvePath (platform/fs.h) gives it, for callers
// that decided about that path before opening it: the file opened must be the one the path
// names, reached through no symbolic link (or junction), so that a link swapped in after the
// decision cannot lead the open elsewhere. Such an open fails with 5 (access denied). On
// POSIX nothing is created through a link either; on Windows the opened handle's final path
// is compared with `path`, so a create through a swapped directory junction can leave an
// empty file behind before it is refused. Otherwise as FileOpen.
FileHandle FileOpenExact(const char* path, FileAccess access, FileShare share,
                         FileDisposition disposition, bool inheritable);
// Bytes transferred, or -1. A read at the end gives 0. Short transfers are completed inside.
int64_t FileRead(FileHandle file, void* buffer, int64_t count);
int64_t FileWrite(FileHandle file, const void* buffer, int64_t count);
// Bytes that a gathered write takes from memory it does not copy.
struct FilePiece {
  const void* bytes;
  int64_t length;
};
// Writes the pieces one after another from `offset` on, in as few system calls as the system
// allows (one for up to 1024 pieces on POSIX); the file position afterwards is unspecified.
// False as FileWrite fails (a write that takes nothing more is 112, the disk is full).
bool FileWriteGathered(FileHandle file, int64_t offset, const FilePiece* pieces, int count);

enum class SeekFrom { kBegin, kCurrent, kEnd };
// The new position, or -1 (a negative resulting position is error 131 on Win32, 87 here).
int64_t FileSeek(FileHandle file, int64_t offset, SeekFrom from);
// Length in bytes, or -1.
int64_t FileLength(FileHandle file);
// The data is on the disk when this returns true (fsync / FlushFileBuffers).
bool FileFlush(FileHandle file);
bool FileClose(FileHandle file);

// What an open file is, whatever its name: its volume and its number there (device and inode
// on POSIX). Two handles of one file, by whatever path, have equal ids; a file put in another's
// place has another.
struct FileId {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileId&) const = default;
};
bool FileIdentity(FileHandle file, FileId* id);

// What a file is and how it stands now: its id, its size and its last-write time at the
// finest resolution the system keeps (nanoseconds since 1970 on POSIX, the 100-ns ticks of a
// FILETIME on Windows). Two stamps of one file differ once anybody wrote to it, as far as the
// file system moves the last-write time or the size.
struct FileStamp {
  FileId id;
  int64_t size = 0;
  int64_t write_time = 0;
  bool operator==(const FileStamp&) const = default;
};
bool FileStampOf(FileHandle file, FileStamp* stamp);
// The stamp of the entry an absolute path (ResolvePath's form) names, without opening it for
// its data and without following a final link; false (2 or 3 in LastError) when it names
// nothing.
bool PathStamp(const char* path, FileStamp* stamp);

}  // namespace platform
