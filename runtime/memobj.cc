// Heap routines, the log append helper and the common base object.
#include "runtime/memobj.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "foundation/datetime.h"
#include "platform/file.h"
#include "platform/process.h"
#include "runtime/dumpstack.h"
#include "runtime/mt.h"

namespace {

constexpr char kUnit[] = "memobj";
constexpr char kErrorLog[] = "corvexaerror.log";
// Enough frames to reach from the place of a fault to the request that met it.
constexpr int kTraceFrames = 20;

std::atomic<uint64_t> g_allocations{0};
std::atomic<uint64_t> g_allocated_bytes{0};

[[noreturn]] void AllocationFailed(size_t size, int line) {
  char text[128];
  std::snprintf(text, sizeof text, "size:%d ,(%s,%d)\n", static_cast<int>(size), kUnit, line);
  AppendToLog(kErrorLog, text, true);
  InternalErrorFire(kUnit, line);
  __builtin_unreachable();
}

void* Counted(void* block, size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  g_allocated_bytes.fetch_add(size, std::memory_order_relaxed);
  return block;
}

// The error trace lock is made on first use and never destroyed, so that objects destroyed
// during process exit can still trace.
CCriticalSection& TraceLock() {
  static CCriticalSection* lock = new CCriticalSection();
  return *lock;
}

}  // namespace

void* Heap::Allocate(size_t size) {
  if (size == 0) return nullptr;
  void* block = platform::HeapAllocate(size);
  if (block == nullptr) AllocationFailed(size, __LINE__);
  return Counted(block, size);
}

void* Heap::Reallocate(void* block, size_t size) {
  if (block == nullptr) return Allocate(size);
  void* moved = platform::HeapReallocate(block, size);
  if (moved == nullptr) AllocationFailed(size, __LINE__);
  return Counted(moved, size);
}

void Heap::Release(void* block) {
  if (block != nullptr && !platform::HeapRelease(block)) std::printf("Warnning free failed!\n");
}

uint64_t Heap::AllocationCount() {
  return g_allocations.load(std::memory_order_relaxed);
}

uint64_t Heap::AllocatedBytes() {
  return g_allocated_bytes.load(std::memory_order_relaxed);
}

void AppendToLog(const char* path, const char* text, bool append) {
  if (path == nullptr || path[0] == '\0') return;
  using platform::FileDisposition;
  platform::FileHandle file = platform::kInvalidFile;
  if (append) {
    file = platform::FileOpen(path, platform::FileAccess::kWrite, platform::FileShare::kReadWrite,
                              FileDisposition::kOpenExisting, false);
    if (file != platform::kInvalidFile) platform::FileSeek(file, 0, platform::SeekFrom::kEnd);
  }
  if (file == platform::kInvalidFile) {
    file = platform::FileOpen(path, platform::FileAccess::kWrite, platform::FileShare::kReadWrite,
                              FileDisposition::kCreateAlways, false);
  }
  if (file == platform::kInvalidFile) return;
  std::string_view bytes(text);
  platform::FileWrite(file, bytes.data(), static_cast<int64_t>(bytes.size()));
  platform::FileClose(file);
}

const char* ErrorTracePath() {
  static const std::string path = platform::TempDirectory() + "corvexaerr.log";
  return path.c_str();
}

BaseObject::BaseObject() : thread_id_(platform::CurrentThreadId()) {}

void BaseObject::ErrorTrace(const char* text) const {
  if (trace_ == 0) return;
  CString entry;
  entry.Format("[%s]-------\r\n%s\r\n\r\n", NowText("YYYY-MM-DD hh:mm:ss").GetString(), text);
  ScopedLock lock(TraceLock(), kUnit, __LINE__);
  AppendToLog(ErrorTracePath(), entry, true);
  std::fputs(entry, stdout);
}

void BaseObject::ErrorTraceWithStack(const char* what) const {
  if (trace_ == 0) return;
  CString text = what;
  if (text.IsEmpty() || text.GetAt(text.GetLength() - 1) != '\n') text += "\r\n";
  CString stack;
  StackText(&stack, kTraceFrames);
  text += stack;
  ErrorTrace(text);
}

int BaseObject::BindThread() {
  thread_id_ = platform::CurrentThreadId();
  return 1;
}

int BaseObject::CheckThread() const {
  uint64_t current = platform::CurrentThreadId();
  if (current == thread_id_) return 1;
  std::printf("not same thread:%d %d\n", static_cast<int>(thread_id_), static_cast<int>(current));
  return 0;
}
