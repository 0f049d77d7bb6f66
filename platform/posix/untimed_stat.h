// A descriptor's type, identity and size, asked for without its times. File systems that
// give timestamps fine grain on demand (ext4 on recent kernels, seen on Linux 6.18) take a
// stat that reports a file's times as that demand: the next write then gets a new time, and
// the fsync after it writes the inode too, about a fifth more time per 64 KiB durable write.
// Calls that need no time ask this way. Internal to platform/posix/.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdint>

namespace platform {

struct UntimedStat {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool directory = false;
  int64_t size = 0;
};

// False (errno set) when the descriptor cannot be asked.
inline bool StatUntimed(int fd, UntimedStat* out) {
  struct statx sx;
  unsigned mask = STATX_TYPE | STATX_INO | STATX_SIZE;
  if (statx(fd, "", AT_EMPTY_PATH, mask, &sx) == 0) {
    out->device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    out->inode = sx.stx_ino;
    out->directory = S_ISDIR(sx.stx_mode);
    out->size = static_cast<int64_t>(sx.stx_size);
    return true;
  }
  if (errno != ENOSYS) return false;
  struct stat st;  // a kernel without statx: times do not matter to it either
  if (fstat(fd, &st) != 0) return false;
  *out = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), S_ISDIR(st.st_mode),
          st.st_size};
  return true;
}

}  // namespace platform
