// Crash signals and stack capture on Linux: sigaction on an alternate stack, glibc's
// backtrace, dladdr and the C++ demangler. Another thread's stack is taken by signalling it;
// its handler records its own frames into one shared slot.
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/crash.h"

namespace platform {
namespace {

std::atomic<CrashHandler> g_handler{nullptr};
constexpr int kCaptureSignal = SIGURG;  // ignored by default, never sent by this system
constexpr size_t kAltStackSize = 64 * 1024;

// The slot another thread fills when asked for its stack. The frames live in the slot, not
// in the asking caller's memory, so a thread that answers after the caller gave up writes
// nowhere harmful.
constexpr int kSlotFrames = 128;
enum SlotState { kIdle, kAsked, kWriting, kFilled };
struct CaptureSlot {
  std::atomic<int> state{kIdle};
  void* frames[kSlotFrames];
  int count = 0;
};
CaptureSlot g_slot;

const char* ExceptionName(int signal_number, int code) {
  switch (signal_number) {
    case SIGSEGV:
      return "EXCEPTION_ACCESS_VIOLATION";
    case SIGBUS:
      return code == BUS_ADRALN ? "EXCEPTION_DATATYPE_MISALIGNMENT" : "EXCEPTION_ACCESS_VIOLATION";
    case SIGILL:
      return code == ILL_PRVOPC ? "EXCEPTION_PRIV_INSTRUCTION" : "";
    case SIGTRAP:
      return "EXCEPTION_BREAKPOINT";
    case SIGFPE:
      switch (code) {
        case FPE_INTDIV:
          return "EXCEPTION_INT_DIVIDE_BY_ZERO";
        case FPE_INTOVF:
          return "EXCEPTION_INT_OVERFLOW";
        case FPE_FLTDIV:
          return "EXCEPTION_FLT_DIVIDE_BY_ZERO";
        case FPE_FLTOVF:
          return "EXCEPTION_FLT_OVERFLOW";
        case FPE_FLTUND:
          return "EXCEPTION_FLT_UNDERFLOW";
        case FPE_FLTRES:
          return "EXCEPTION_FLT_INEXACT_RESULT";
        case FPE_FLTINV:
          return "EXCEPTION_FLT_INVALID_OPERATION";
        case FPE_FLTSUB:
          return "EXCEPTION_ARRAY_BOUNDS_EXCEEDED";
        default:
          return "";
      }
    default:
      return "";
  }
}

std::atomic<pid_t> g_crashing_thread{0};

// The faulting instruction's address, where the machine context is known here.
void* FaultAddress(void* context) {
  const ucontext_t* machine = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  return reinterpret_cast<void*>(machine->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return reinterpret_cast<void*>(machine->uc_mcontext.pc);
#else
  (void)machine;
  return nullptr;
#endif
}

// The stack as the fault left it: the frames of this handler and of the signal trampoline
// are dropped when the faulting address is found among the captured ones.
int CaptureFaultStack(void* context, void** frames, int max_frames) {
  int count = backtrace(frames, max_frames);
  void* fault = FaultAddress(context);
  int first = 1;  // this function's own frame at least
  for (int i = 0; i < count; ++i) {
    if (frames[i] == fault) {
      first = i;
      break;
    }
  }
  for (int i = first; i < count; ++i) frames[i - first] = frames[i];
  return count - first;
}

void OnCrash(int signal_number, siginfo_t* info, void* context) {
  pid_t me = static_cast<pid_t>(syscall(SYS_gettid));
  pid_t none = 0;
  if (g_crashing_thread.compare_exchange_strong(none, me)) {
    alarm(10);  // a handler that hangs must not keep a dead service from restarting
    CrashHandler handler = g_handler.load();
    static void* frames[kSlotFrames];  // one crashing thread at a time gets here
    int count = CaptureFaultStack(context, frames, kSlotFrames);
    if (handler != nullptr) handler(ExceptionName(signal_number, info->si_code), frames, count);
  } else if (none != me) {
    // Another thread is writing its report; the process ends when that one is done.
    for (;;) pause();
  }
  // A fault inside the handler itself goes straight to the default action.
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void OnCaptureRequest(int /*signal_number*/) {
  int saved_errno = errno;
  int asked = kAsked;
  if (g_slot.state.compare_exchange_strong(asked, kWriting)) {
    g_slot.count = backtrace(g_slot.frames, kSlotFrames);
    g_slot.state.store(kFilled);
  }
  errno = saved_errno;
}

// Frees the thread's alternate signal stack when the thread ends.
struct AlternateStack {
  void* memory = nullptr;
  ~AlternateStack() {
    if (memory == nullptr) return;
    stack_t off;
    off.ss_sp = nullptr;
    off.ss_size = 0;
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    std::free(memory);
  }
};
thread_local AlternateStack t_alternate_stack;

// The first backtrace loads the unwinder library, which allocates: that must happen here,
// never first inside a signal handler.
void WarmUpBacktrace() {
  void* frame[1];
  backtrace(frame, 1);
}

void InstallCaptureHandler() {
  static std::atomic<bool> installed{false};
  if (installed.exchange(true)) return;
  WarmUpBacktrace();
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnCaptureRequest;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(kCaptureSignal, &action, nullptr);
}

}  // namespace

void PrepareThreadForCrashes() {
  if (t_alternate_stack.memory != nullptr) return;
  stack_t alternate;
  alternate.ss_sp = std::malloc(kAltStackSize);
  alternate.ss_size = kAltStackSize;
  alternate.ss_flags = 0;
  if (alternate.ss_sp == nullptr) return;
  if (sigaltstack(&alternate, nullptr) != 0) {
    std::free(alternate.ss_sp);
    return;
  }
  t_alternate_stack.memory = alternate.ss_sp;
}

void InstallCrashHandler(CrashHandler handler) {
  WarmUpBacktrace();
  g_handler.store(handler);
  PrepareThreadForCrashes();
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = OnCrash;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int signal_number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP}) {
    sigaction(signal_number, &action, nullptr);
  }
}

int CaptureStack(void** frames, int max_frames, int skip) {
  constexpr int kMost = 128;
  void* all[kMost];
  int count = backtrace(all, kMost);
  // Start at our caller's frame, found by its return address: a sanitizer's wrapper around
  // backtrace may add frames of its own before it.
  void* caller = __builtin_extract_return_addr(__builtin_return_address(0));
  int first = 1;
  for (int i = 0; i < count; ++i) {
    if (all[i] == caller) {
      first = i;
      break;
    }
  }
  first += skip;
  int stored = 0;
  for (int i = first; i < count && stored < max_frames; ++i) frames[stored++] = all[i];
  return stored;
}

int CaptureThreadStack(uint64_t thread_id, void** frames, int max_frames, uint32_t timeout_ms) {
  InstallCaptureHandler();
  // A late answer to an earlier request may still be writing: let it finish first.
  int idle = kIdle;
  while (!g_slot.state.compare_exchange_weak(idle, kAsked)) {
    if (idle == kFilled) g_slot.state.store(kIdle);
    idle = kIdle;
  }
  if (syscall(SYS_tgkill, getpid(), static_cast<pid_t>(thread_id), kCaptureSignal) != 0) {
    g_slot.state.store(kIdle);
    return 0;
  }
  uint32_t start = GetTickCount();
  while (g_slot.state.load() == kAsked && GetTickCount() - start < timeout_ms) SleepMs(1);
  int asked = kAsked;
  if (g_slot.state.compare_exchange_strong(asked, kIdle)) return 0;  // it never answered
  while (g_slot.state.load() != kFilled) SleepMs(1);  // answering now: backtrace is short
  // Frame 0 is the request handler itself; the signal trampoline and the interrupted code
  // follow.
  int stored = 0;
  for (int i = 1; i < g_slot.count && stored < max_frames; ++i) frames[stored++] = g_slot.frames[i];
  g_slot.state.store(kIdle);
  return stored;
}

FrameDescription DescribeFrame(void* address) {
  FrameDescription description;
  Dl_info info;
  if (dladdr(address, &info) == 0) return description;
  if (info.dli_fname != nullptr) description.module = info.dli_fname;
  if (info.dli_sname == nullptr) return description;
  int status = 0;
  char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
  description.symbol = (status == 0 && demangled != nullptr) ? demangled : info.dli_sname;
  std::free(demangled);
  description.offset =
      reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(info.dli_saddr);
  return description;
}

}  // namespace platform
