// Process facts on Linux: /proc/self/exe, getcwd/chdir, malloc as the process heap, gettid,
// isatty, and the descriptors listed in /proc/self/fd.
#include <dirent.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/path.h"
#include "platform/posix/posix_error.h"
#include "platform/process.h"

namespace platform {

std::string ProgramPath() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n < 0) {
    SetLastErrorFromErrno(errno);
    return std::string();
  }
  return std::string(path, static_cast<size_t>(n));
}

std::string CurrentDirectory() {
  char path[PATH_MAX];
  if (getcwd(path, sizeof path) == nullptr) {
    SetLastErrorFromErrno(errno);
    return std::string();
  }
  return std::string(path);
}

bool SetCurrentDirectory(const char* path) {
  std::string native = ToNativePath(path);
  if (chdir(native.c_str()) != 0) {
    SetLastErrorForPath(errno, native);
    return false;
  }
  return true;
}

std::string TempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  std::string result = (dir != nullptr && dir[0] != '\0') ? dir : "/tmp";
  if (result.back() != '/') result += '/';
  return result;
}

void* HeapAllocate(size_t size) {
  return std::malloc(size);
}

void* HeapReallocate(void* block, size_t size) {
  return std::realloc(block, size);
}

bool HeapRelease(void* block) {
  std::free(block);
  return true;
}

void AdviseLargePages(void* block, size_t size) {
  // madvise takes whole pages; the block's first and last partial pages keep the default.
  uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t first = (reinterpret_cast<uintptr_t>(block) + page - 1) & ~(page - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(page - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

bool IsTerminal(std::FILE* stream) {
  if (stream == nullptr) return false;
  int descriptor = fileno(stream);
  return descriptor >= 0 && isatty(descriptor) == 1;
}

void SetBinaryMode(std::FILE*) {}

bool SeekStream(std::FILE* stream, int64_t position) {
  return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

int OpenHandleCount() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    SetLastErrorFromErrno(errno);
    return -1;
  }
  int count = 0;
  while (const struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the listing's own descriptor
}

int OpenHandleLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    SetLastErrorFromErrno(errno);
    return -1;
  }
  return limit.rlim_cur > INT_MAX ? INT_MAX : static_cast<int>(limit.rlim_cur);
}

bool SetOpenHandleLimit(int limit) {
  struct rlimit value;
  if (getrlimit(RLIMIT_NOFILE, &value) == 0) {
    value.rlim_cur = static_cast<rlim_t>(limit);
    if (setrlimit(RLIMIT_NOFILE, &value) == 0) return true;
  }
  SetLastErrorFromErrno(errno);
  return false;
}

uint64_t FetchThreadId() {
  return static_cast<uint64_t>(syscall(SYS_gettid));
}

}  // namespace platform
