// Crash signals and stack capture.
//
// InstallCrashHandler routes the process's fatal faults to one handler, run on the faulting
// thread (on an alternate stack on POSIX) with the exception's Win32 name; when the handler
// returns the process ends with the fault's default action. Stacks are captured as code
// addresses and described afterwards; capturing another thread's stack asks that thread to
// record its own and waits a bounded time. One capture of another thread at a time
// (callers serialise).
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// exception_name is "EXCEPTION_ACCESS_VIOLATION", "EXCEPTION_INT_DIVIDE_BY_ZERO", ... or ""
// for a fault with no Win32 name; `frames` is the faulting thread's stack, the faulting
// instruction first.
using CrashHandler = void (*)(const char* exception_name, void* const* frames, int count);
void InstallCrashHandler(CrashHandler handler);
// Gives every later thread, and the calling one, an alternate signal stack so that a stack
// overflow still reaches the handler. Threads started by the platform layer call it.
void PrepareThreadForCrashes();

// Fills `frames` with the calling thread's return addresses, innermost first, leaving out
// `skip` frames of the caller's own; the number stored.
int CaptureStack(void** frames, int max_frames, int skip);
// The same for another live thread of this process; 0 when it did not answer in time.
int CaptureThreadStack(uint64_t thread_id, void** frames, int max_frames, uint32_t timeout_ms);

struct FrameDescription {
  std::string module;    // the executable or shared object, or "" when unknown
  std::string symbol;    // demangled, or "" when unknown
  uintptr_t offset = 0;  // bytes from the symbol's start
};
FrameDescription DescribeFrame(void* address);

}  // namespace platform
