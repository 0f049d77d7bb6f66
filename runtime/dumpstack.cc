// The crash handler, stack dumps and the fatal internal error.
#include "runtime/dumpstack.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/datetime.h"
#include "platform/crash.h"
#include "platform/process.h"
#include "runtime/jthread.h"
#include "runtime/memobj.h"
#include "runtime/mt.h"

namespace {

constexpr char kUnit[] = "dumpstack";
constexpr char kDefaultDumpFile[] = "dumpstack.log";
constexpr char kErrorLog[] = "corvexaerror.log";
constexpr int kMaxFrames = 100;
constexpr uint32_t kThreadAnswerMs = 2000;

char g_dump_file[251] = "dumpstack.log";

// Set while this thread writes a dump, so that a fault or a fatal error inside the dump does
// not walk (and lock) again.
thread_local bool t_walking = false;

CCriticalSection& WalkLock() {
  static CCriticalSection* lock = new CCriticalSection(1);
  return *lock;
}

void AppendFrameLines(CString* text, void* const* frames, int count) {
  for (int i = 0; i < count; ++i) {
    platform::FrameDescription frame = platform::DescribeFrame(frames[i]);
    const char* slash = std::strrchr(frame.module.c_str(), '/');
    const char* module = frame.module.empty() ? "<no module>"
                         : slash != nullptr   ? slash + 1
                                              : frame.module.c_str();
    text->AppendFormat("%8.8llX: %s ",
                       static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(frames[i])),
                       module);
    if (frame.symbol.empty()) {
      *text += "<no symbol>\r\n";
    } else {
      text->AppendFormat("%s + %d bytes\r\n", frame.symbol.c_str(), static_cast<int>(frame.offset));
    }
  }
}

CString DumpBlock(void* const* frames, int count) {
  CString block;
  block.Format("!!!dump stack time:%s ----------------------------------\r\n",
               NowText("YYYY-MM-DD hh:mm:ss").GetString());
  block += "=== begin DumpStack output ===\r\n";
  AppendFrameLines(&block, frames, count);
  block += "=== end DumpStack() output ===\r\n\r\n";
  return block;
}

// Appends a dump block of the given frames, or of the caller's own stack when none are
// given, under the walk lock. The own stack leaves out two frames, this one and DumpStack's:
// both must stay real frames in an optimized build too (out of line here, no tail call there),
// or the dump would begin above the function that asked for it.
[[gnu::noinline]] void WriteDump(const char* file_name, void* const* given, int given_count) {
  void* own[kMaxFrames];
  if (t_walking) {
    AppendText(file_name, DumpBlock(nullptr, 0));
    return;
  }
  t_walking = true;
  ScopedLock hold(WalkLock(), kUnit, __LINE__);
  int count = given != nullptr ? given_count : platform::CaptureStack(own, kMaxFrames, 2);
  AppendText(file_name, DumpBlock(given != nullptr ? given : own, count));
  t_walking = false;
}

void OnException(const char* name, void* const* frames, int count) {
  std::printf("EXCEPTION OCCURED:%s\r\n", name);
  AppendText(g_dump_file, "EXCEPTION OCCURED:");
  AppendText(g_dump_file, name);
  AppendText(g_dump_file, "\r\n");
  std::printf("dump stack to:%s\r\n", g_dump_file);
  std::fflush(stdout);
  WriteDump(g_dump_file, frames, count < kMaxFrames ? count : kMaxFrames);
}

}  // namespace

void InstallDumpStack(const char* file_name) {
  std::snprintf(g_dump_file, sizeof g_dump_file, "%s", file_name);
  WalkLock();  // made now, not first inside a crash
  platform::InstallCrashHandler(OnException);
}

const char* DumpFileName() {
  return g_dump_file;
}

void AppendText(const char* file_name, const char* text) {
  if (text == nullptr || text[0] == '\0') return;
  std::FILE* file = std::fopen(file_name, "ab");
  if (file == nullptr) {
    std::printf("cannot create %s \n", kDefaultDumpFile);
    return;
  }
  std::fwrite(text, 1, std::strlen(text), file);
  std::fclose(file);
}

void DumpStack(const char* file_name) {
  WriteDump(file_name, nullptr, 0);
  asm volatile("" ::: "memory");  // keeps the call above from becoming a jump
}

void StackText(CString* text, int max_frames) {
  void* frames[kMaxFrames];
  int count = platform::CaptureStack(frames, max_frames < kMaxFrames ? max_frames : kMaxFrames, 1);
  text->Empty();
  AppendFrameLines(text, frames, count);
}

void DumpAllThreads(const char* file_name) {
  std::vector<uint64_t> ids = JThread::RegisteredThreadIds();
  CString text;
  text.Format("total thread:%d\r\n", static_cast<int>(ids.size()));
  AppendText(file_name, text);
  uint64_t me = platform::CurrentThreadId();
  for (size_t i = 0; i < ids.size(); ++i) {
    text.Format("**%d ThreadID:%d *********************************\r\n", static_cast<int>(i + 1),
                static_cast<int>(ids[i]));
    AppendText(file_name, text);
    if (ids[i] == me) {
      DumpStack(file_name);
      continue;
    }
    void* frames[kMaxFrames];
    ScopedLock hold(WalkLock(), kUnit, __LINE__);
    int count = platform::CaptureThreadStack(ids[i], frames, kMaxFrames, kThreadAnswerMs);
    AppendText(file_name, DumpBlock(frames, count));
  }
}

namespace {

std::atomic<void (*)()> g_console_flush{nullptr};

void FlushConsole() {
  if (auto flush = g_console_flush.load()) flush();
}

}  // namespace

void SetConsoleFlush(void (*flush)()) {
  g_console_flush.store(flush);
}

void ExitDump() {
  FlushConsole();
  DumpStack(kDefaultDumpFile);
  std::fflush(nullptr);
  std::_Exit(-1);
}

void InternalErrorFire(const char* unit, int line) {
  FlushConsole();
  DumpStack(kDefaultDumpFile);
  char text[320];
  std::snprintf(text, sizeof text, "internal error:%s %d\n", unit, line);
  AppendToLog(kErrorLog, text, true);
  std::fputs(text, stdout);
  std::fflush(stdout);
  std::abort();
}

void InternalNotice(bool a, bool b, const char* unit, int line) {
  if (a || b) return;
  FlushConsole();
  std::printf("internal error:%s %d occured\n", unit, line);
}
