// Process facts on Win32: GetModuleFileName, the current directory, the process heap,
// GetCurrentThreadId, whether a stream is a console, and the count of open handles.
#include "platform/process.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <vector>

#include "platform/error.h"
#include "platform/win32/windows_headers.h"

#include <winternl.h>  // after <windows.h>, whose types it uses

namespace platform {
namespace {

// SystemExtendedHandleInformation: every handle of every process.
constexpr int kSystemExtendedHandleInformation = 64;
constexpr NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);

struct HandleTableEntry {
  void* object;
  ULONG_PTR process_id;
  ULONG_PTR handle;
  ULONG granted_access;
  USHORT creator_back_trace_index;
  USHORT object_type_index;
  ULONG attributes;
  ULONG reserved;
};

struct HandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleTableEntry entries[1];
};

// This process's entries in the system's handle table, or -1.
int HandlesInSystemTable() {
  std::vector<ULONG_PTR> buffer(1 << 13);  // aligned for the table's pointers
  NTSTATUS status;
  for (;;) {
    ULONG bytes = static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR));
    ULONG needed = 0;
    status = ::NtQuerySystemInformation(
        static_cast<SYSTEM_INFORMATION_CLASS>(kSystemExtendedHandleInformation), buffer.data(),
        bytes, &needed);
    if (status != kStatusInfoLengthMismatch) break;
    // Handles come and go meanwhile: ask for more than the last answer.
    buffer.resize(std::max<size_t>(buffer.size() * 2, needed / sizeof(ULONG_PTR) + 1024));
  }
  if (status != 0) {
    ::SetLastError(::RtlNtStatusToDosError(status));
    return -1;
  }
  const HandleTable* table = reinterpret_cast<const HandleTable*>(buffer.data());
  ULONG_PTR self = ::GetCurrentProcessId();
  int count = 0;
  for (ULONG_PTR i = 0; i < table->count; ++i) {
    if (table->entries[i].process_id == self) ++count;
  }
  return count;
}

}  // namespace

std::string ProgramPath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    DWORD size = static_cast<DWORD>(path.size());
    DWORD n = ::GetModuleFileNameA(nullptr, path.data(), size);
    if (n == 0) return std::string();
    // A path that filled the buffer may have been cut short: try a larger one.
    if (n < size) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::string CurrentDirectory() {
  // The size asked for includes the final null; the length given back does not.
  DWORD needed = ::GetCurrentDirectoryA(0, nullptr);
  while (needed != 0) {
    std::string path(needed, '\0');
    DWORD n = ::GetCurrentDirectoryA(needed, path.data());
    if (n == 0) break;
    if (n < needed) {
      path.resize(n);
      return path;
    }
    needed = n;  // the directory changed to a longer one meanwhile
  }
  return std::string();
}

bool SetCurrentDirectory(const char* path) {
  return ::SetCurrentDirectoryA(path != nullptr ? path : "");
}

std::string TempDirectory() {
  return "c:\\temp\\";
}

void SetBinaryMode(std::FILE* stream) {
  if (stream != nullptr && _fileno(stream) >= 0) _setmode(_fileno(stream), _O_BINARY);
}

bool SeekStream(std::FILE* stream, int64_t position) {
  return _fseeki64(stream, position, SEEK_SET) == 0;
}

bool IsTerminal(std::FILE* stream) {
  if (stream == nullptr) return false;
  int descriptor = _fileno(stream);
  if (descriptor < 0) return false;
  // _isatty is also true for the NUL device; only a console has a console mode.
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

void* HeapAllocate(size_t size) {
  void* block = ::HeapAlloc(::GetProcessHeap(), 0, size);
  if (block == nullptr) ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

void* HeapReallocate(void* block, size_t size) {
  // HeapReAlloc refuses a null block; the contract, like realloc, allocates a new one.
  if (block == nullptr) return HeapAllocate(size);
  void* moved = ::HeapReAlloc(::GetProcessHeap(), 0, block, size);
  if (moved == nullptr) ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return moved;
}

bool HeapRelease(void* block) {
  if (block == nullptr) return true;
  return ::HeapFree(::GetProcessHeap(), 0, block);
}

void AdviseLargePages(void*, size_t) {}

int OpenHandleCount() {
  DWORD count = 0;
  if (!::GetProcessHandleCount(::GetCurrentProcess(), &count)) return -1;
  // A process always holds handles; a count of 0 comes from a system that keeps no count
  // (Wine), whose handle table still lists them.
  if (count == 0) return HandlesInSystemTable();
  return static_cast<int>(count);
}

// Windows limits handles by memory, not by a per-process count that could be lowered.
int OpenHandleLimit() {
  SetLastError(kErrorNotSupported);
  return -1;
}

bool SetOpenHandleLimit(int) {
  SetLastError(kErrorNotSupported);
  return false;
}

uint64_t FetchThreadId() {
  return ::GetCurrentThreadId();
}

}  // namespace platform
