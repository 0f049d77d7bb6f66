// Files on POSIX file descriptors with the behaviour of the Win32 file calls: a directory
// cannot be opened as a file (5), reads and writes are complete unless an error or the end of
// the file stops them, and every failure leaves a Win32 number in LastError. Share modes are
// not enforced on opens (POSIX has no mandatory sharing); a file held without sharing cannot
// be deleted or renamed (exclusive.h). The handle is the descriptor itself.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/posix/exclusive.h"
#include "platform/posix/path.h"
#include "platform/posix/posix_error.h"
#include "platform/posix/untimed_stat.h"

namespace platform {
namespace {

int OpenFlags(FileAccess access, FileDisposition disposition, bool inheritable) {
  int flags = access == FileAccess::kRead    ? O_RDONLY
              : access == FileAccess::kWrite ? O_WRONLY
                                             : O_RDWR;
  if (disposition == FileDisposition::kCreateAlways) flags |= O_CREAT | O_TRUNC;
  if (disposition == FileDisposition::kOpenAlways) flags |= O_CREAT;
  if (!inheritable) flags |= O_CLOEXEC;
  return flags;
}

int OpenRetrying(const std::string& native, int flags) {
  int fd;
  do {
    fd = open(native.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The descriptor's path as the kernel names it, "" when it cannot tell.
std::string DescriptorPath(int fd) {
  char target[4096];
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  ssize_t length = readlink(link.c_str(), target, sizeof target);
  if (length <= 0 || length == static_cast<ssize_t>(sizeof target)) return "";
  return std::string(target, static_cast<size_t>(length));
}

// Opens `native` through no symbolic link: one openat2 with RESOLVE_NO_SYMLINKS (ELOOP when a
// component is a link). A kernel before 5.6 lacks the call: there the last component is
// opened without following it and the descriptor's path must be `native` itself, which
// refuses a link anywhere on the way, though only after the open.
int OpenExactly(const std::string& native, int flags) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_NOFOLLOW);
  how.mode = (flags & O_CREAT) != 0 ? 0666 : 0;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  int fd;
  do {
    fd = static_cast<int>(syscall(SYS_openat2, AT_FDCWD, native.c_str(), &how, sizeof how));
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0 || errno != ENOSYS) return fd;
  fd = OpenRetrying(native, flags | O_NOFOLLOW);
  if (fd >= 0 && DescriptorPath(fd) != native) {
    close(fd);
    errno = ELOOP;
    return -1;
  }
  return fd;
}

// The end of both opens: a failure's error, or a directory refused.
FileHandle Opened(int fd, const std::string& native, FileShare share) {
  if (fd < 0) {
    SetLastErrorForPath(errno, native);
    return kInvalidFile;
  }
  // Windows refuses to open a directory as a file; POSIX lets O_RDONLY through.
  UntimedStat st;
  bool known = StatUntimed(fd, &st);
  if (known && st.directory) {
    close(fd);
    SetLastError(kErrorAccessDenied);
    return kInvalidFile;
  }
  if (share == FileShare::kNone && known) NoteExclusive(fd, st.device, st.inode);
  return fd;
}

int Descriptor(FileHandle file) {
  return static_cast<int>(file);
}

// Stores errno as the last error and gives `failure` back for the caller to return.
template <typename T>
T Failed(T failure) {
  SetLastErrorFromErrno(errno);
  return failure;
}

// A descriptor open without the access a transfer needs gives EBADF on POSIX but "access
// denied" on Windows; only a descriptor that is not open at all is an invalid handle.
int64_t TransferFailed(int fd) {
  if (errno == EBADF && fcntl(fd, F_GETFD) != -1) {
    SetLastError(kErrorAccessDenied);
    return -1;
  }
  return Failed<int64_t>(-1);
}

// Repeats `transfer(done, left)` (a read or a write on `fd`) until `count` bytes moved, the
// end of the file, or an error; the bytes moved, or -1.
template <typename Transfer>
int64_t Complete(int fd, int64_t count, Transfer transfer) {
  if (count < 0) {
    SetLastError(kErrorInvalidParameter);
    return -1;
  }
  int64_t done = 0;
  while (done < count) {
    ssize_t n = transfer(done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return TransferFailed(fd);
    if (n == 0) break;
    done += n;
  }
  return done;
}

}  // namespace

FileHandle FileOpen(const char* path, FileAccess access, FileShare share,
                    FileDisposition disposition, bool inheritable) {
  std::string native = ToNativePath(path);
  return Opened(OpenRetrying(native, OpenFlags(access, disposition, inheritable)), native, share);
}

FileHandle FileOpenExact(const char* path, FileAccess access, FileShare share,
                         FileDisposition disposition, bool inheritable) {
  std::string native = SpelledNativePath(path != nullptr ? path : "");
  int fd = OpenExactly(native, OpenFlags(access, disposition, inheritable));
  if (fd < 0 && errno == ELOOP) {
    SetLastError(kErrorAccessDenied);  // a link where the path names a file or directory
    return kInvalidFile;
  }
  return Opened(fd, native, share);
}

int64_t FileRead(FileHandle file, void* buffer, int64_t count) {
  int fd = Descriptor(file);
  char* bytes = static_cast<char*>(buffer);
  return Complete(fd, count,
                  [&](int64_t done, size_t left) { return read(fd, bytes + done, left); });
}

int64_t FileWrite(FileHandle file, const void* buffer, int64_t count) {
  int fd = Descriptor(file);
  const char* bytes = static_cast<const char*>(buffer);
  int64_t written =
      Complete(fd, count, [&](int64_t done, size_t left) { return write(fd, bytes + done, left); });
  if (written >= 0 && written < count) {
    // write() gives 0 only when nothing more fits.
    SetLastError(kErrorDiskFull);
    return -1;
  }
  return written;
}

bool FileWriteGathered(FileHandle file, int64_t offset, const FilePiece* pieces, int count) {
  int fd = Descriptor(file);
  iovec vectors[IOV_MAX];
  int first = 0;
  int64_t skip = 0;  // bytes of pieces[first] already written
  for (;;) {
    while (first < count && pieces[first].length == skip) {
      ++first;
      skip = 0;
    }
    if (first == count) return true;
    int used = 0;
    for (int i = first; i < count && used < IOV_MAX; ++i, ++used) {
      int64_t from = i == first ? skip : 0;
      vectors[used].iov_base = const_cast<char*>(static_cast<const char*>(pieces[i].bytes) + from);
      vectors[used].iov_len = static_cast<size_t>(pieces[i].length - from);
    }
    ssize_t n = pwritev(fd, vectors, used, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return TransferFailed(fd) == 0;
    if (n == 0) {
      SetLastError(kErrorDiskFull);  // pwritev gives 0 only when nothing more fits
      return false;
    }
    offset += n;
    for (int64_t left = n; left > 0;) {
      int64_t rest = pieces[first].length - skip;
      if (left < rest) {
        skip += left;
        break;
      }
      left -= rest;
      ++first;
      skip = 0;
    }
  }
}

int64_t FileSeek(FileHandle file, int64_t offset, SeekFrom from) {
  int whence = from == SeekFrom::kBegin     ? SEEK_SET
               : from == SeekFrom::kCurrent ? SEEK_CUR
                                            : SEEK_END;
  off_t position = lseek(Descriptor(file), static_cast<off_t>(offset), whence);
  if (position < 0) return Failed<int64_t>(-1);
  return position;
}

int64_t FileLength(FileHandle file) {
  UntimedStat st;
  if (!StatUntimed(Descriptor(file), &st)) return Failed<int64_t>(-1);
  return st.size;
}

bool FileFlush(FileHandle file) {
  int rc;
  do {
    rc = fsync(Descriptor(file));
  } while (rc != 0 && errno == EINTR);
  return rc == 0 || Failed(false);
}

bool FileIdentity(FileHandle file, FileId* id) {
  UntimedStat st;
  if (!StatUntimed(Descriptor(file), &st)) return Failed(false);
  id->volume = st.device;
  id->index = st.inode;
  return true;
}

namespace {

void StampOf(const struct stat& st, FileStamp* stamp) {
  stamp->id.volume = static_cast<uint64_t>(st.st_dev);
  stamp->id.index = static_cast<uint64_t>(st.st_ino);
  stamp->size = st.st_size;
  stamp->write_time = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

bool FileStampOf(FileHandle file, FileStamp* stamp) {
  struct stat st;
  if (fstat(Descriptor(file), &st) != 0) return Failed(false);
  StampOf(st, stamp);
  return true;
}

bool PathStamp(const char* path, FileStamp* stamp) {
  std::string native = SpelledNativePath(path != nullptr ? path : "");
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) {
    SetLastErrorForPath(errno, native);
    return false;
  }
  StampOf(st, stamp);
  return true;
}

bool FileClose(FileHandle file) {
  ForgetExclusive(Descriptor(file));
  // Linux releases the descriptor even when close is interrupted: never retry it.
  if (close(Descriptor(file)) != 0 && errno != EINTR) return Failed(false);
  return true;
}

}  // namespace platform
