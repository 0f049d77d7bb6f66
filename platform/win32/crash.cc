// Crashes and stack capture on Win32 (x64). The unhandled-exception filter runs the
// process's crash handler on the faulting thread, switched to a stack of its own (a fiber),
// with the stack unwound from the exception's context, and then ends the process with the
// exception's code. Stacks are walked with the system's unwinder over the images' unwind
// tables; another thread's by suspending it and reading its context. Addresses are named from
// the COFF symbol table of the image file (an unstripped executable carries its mangled
// names) and, for images without one (system libraries), through the symbol helper library.
//
// The unwind tables are found from the image headers directly, not through the loader: a
// thread that was suspended while holding the loader's lock must not stop its own capture.
#include <windows.h>
// After windows.h, which it needs.
#include <dbghelp.h>

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/crash.h"

#if !defined(__x86_64__)
#error "the Win32 stack walk unwinds x64 frames"
#endif

namespace platform {
namespace {

std::atomic<CrashHandler> g_handler{nullptr};
std::atomic<DWORD> g_crashing_thread{0};
// What a thread keeps for the system to reach the crash filter when its stack runs out (the
// handler itself runs on a stack of its own).
constexpr ULONG kStackGuarantee = 64 * 1024;
constexpr int kMaxDepth = 256;
// How many stack slots a function without unwind information may have pushed.
constexpr int kLeafSlots = 8;
// The crash handler runs on a stack of its own: a stack overflow leaves the faulting stack
// with a few kilobytes only (Wine raises the overflow on the last page, whatever guarantee
// the thread asked for).
constexpr SIZE_T kHandlerStackCommit = 256 * 1024;
constexpr SIZE_T kHandlerStackReserve = 1024 * 1024;
// A crash handler that hangs must not keep a dead service from restarting.
constexpr DWORD kHandlerLimitMs = 10000;
HANDLE g_crash_started = nullptr;
DWORD g_crash_code = 0;

const char* ExceptionName(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
      return "EXCEPTION_ACCESS_VIOLATION";
    case EXCEPTION_DATATYPE_MISALIGNMENT:
      return "EXCEPTION_DATATYPE_MISALIGNMENT";
    case EXCEPTION_BREAKPOINT:
      return "EXCEPTION_BREAKPOINT";
    case EXCEPTION_SINGLE_STEP:
      return "EXCEPTION_SINGLE_STEP";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
      return "EXCEPTION_ARRAY_BOUNDS_EXCEEDED";
    case EXCEPTION_FLT_DENORMAL_OPERAND:
      return "EXCEPTION_FLT_DENORMAL_OPERAND";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
      return "EXCEPTION_FLT_DIVIDE_BY_ZERO";
    case EXCEPTION_FLT_INEXACT_RESULT:
      return "EXCEPTION_FLT_INEXACT_RESULT";
    case EXCEPTION_FLT_INVALID_OPERATION:
      return "EXCEPTION_FLT_INVALID_OPERATION";
    case EXCEPTION_FLT_OVERFLOW:
      return "EXCEPTION_FLT_OVERFLOW";
    case EXCEPTION_FLT_STACK_CHECK:
      return "EXCEPTION_FLT_STACK_CHECK";
    case EXCEPTION_FLT_UNDERFLOW:
      return "EXCEPTION_FLT_UNDERFLOW";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
      return "EXCEPTION_INT_DIVIDE_BY_ZERO";
    case EXCEPTION_INT_OVERFLOW:
      return "EXCEPTION_INT_OVERFLOW";
    case EXCEPTION_PRIV_INSTRUCTION:
      return "EXCEPTION_PRIV_INSTRUCTION";
    case EXCEPTION_IN_PAGE_ERROR:
      return "EXCEPTION_IN_PAGE_ERROR";
    case EXCEPTION_ILLEGAL_INSTRUCTION:
      return "EXCEPTION_ILLEGAL_INSTRUCTION";
    case EXCEPTION_NONCONTINUABLE_EXCEPTION:
      return "EXCEPTION_NONCONTINUABLE_EXCEPTION";
    case EXCEPTION_STACK_OVERFLOW:
      return "EXCEPTION_STACK_OVERFLOW";
    case EXCEPTION_INVALID_DISPOSITION:
      return "EXCEPTION_INVALID_DISPOSITION";
    case EXCEPTION_GUARD_PAGE:
      return "EXCEPTION_GUARD_PAGE";
    case EXCEPTION_INVALID_HANDLE:
      return "EXCEPTION_INVALID_HANDLE";
    default:
      return "";
  }
}

// The unwind entry of the function holding `pc`, from the exception table of the image that
// holds it; null for code outside any image or without an entry (a leaf function).
PRUNTIME_FUNCTION FindFunction(DWORD64 pc, DWORD64* image_base) {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(reinterpret_cast<void*>(pc), &region, sizeof region) == 0 ||
      region.Type != MEM_IMAGE) {
    return nullptr;
  }
  const BYTE* base = static_cast<const BYTE*>(region.AllocationBase);
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const IMAGE_NT_HEADERS64* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE ||
      nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
      nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXCEPTION) {
    return nullptr;
  }
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
  RUNTIME_FUNCTION* table =
      reinterpret_cast<RUNTIME_FUNCTION*>(const_cast<BYTE*>(base) + directory.VirtualAddress);
  size_t low = 0;
  size_t high = directory.Size / sizeof(RUNTIME_FUNCTION);
  DWORD offset = static_cast<DWORD>(pc - reinterpret_cast<DWORD64>(base));
  while (low < high) {  // the table is sorted by start address
    size_t middle = low + (high - low) / 2;
    if (offset < table[middle].BeginAddress) {
      high = middle;
    } else if (offset >= table[middle].EndAddress) {
      low = middle + 1;
    } else {
      *image_base = reinterpret_cast<DWORD64>(base);
      return &table[middle];
    }
  }
  return nullptr;
}

// The reserved range of the stack that holds `address`.
void StackRange(DWORD64 address, DWORD64* low, DWORD64* high) {
  *low = *high = 0;
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region) == 0) return;
  void* reservation = region.AllocationBase;
  *low = reinterpret_cast<DWORD64>(reservation);
  DWORD64 next = *low;
  while (VirtualQuery(reinterpret_cast<void*>(next), &region, sizeof region) != 0 &&
         region.AllocationBase == reservation && region.RegionSize > 0) {
    next = reinterpret_cast<DWORD64>(region.BaseAddress) + region.RegionSize;
  }
  *high = next;
}

// Unwinds from `context`, storing the instruction address of each frame (the context's own
// first, then the return addresses) after leaving out `skip` of them.
int Walk(CONTEXT context, void** frames, int max_frames, int skip) {
  DWORD64 stack_low = 0;
  DWORD64 stack_high = 0;
  StackRange(context.Rsp, &stack_low, &stack_high);
  int stored = 0;
  for (int depth = 0; depth < kMaxDepth && stored < max_frames; ++depth) {
    DWORD64 pc = context.Rip;
    DWORD64 sp = context.Rsp;
    if (pc == 0 || sp < stack_low || sp + sizeof(DWORD64) > stack_high) break;
    if (depth >= skip) frames[stored++] = reinterpret_cast<void*>(pc);
    DWORD64 image_base = 0;
    // A return address may lie just past its function when the call was its last
    // instruction: the call itself tells which function it was.
    PRUNTIME_FUNCTION function = FindFunction(depth == 0 ? pc : pc - 1, &image_base);
    if (function != nullptr) {
      void* handler_data = nullptr;
      DWORD64 establisher = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, pc, function, &context, &handler_data,
                       &establisher, nullptr);
    } else if (depth == 0) {
      // Code without an entry is a leaf function, its return address on top of the stack,
      // or a helper written by hand that saved a few registers first (the stack probe that
      // large frames call is one): the first slot that holds an address inside a function
      // is taken as the return address.
      bool found = false;
      for (int slot = 0; slot < kLeafSlots && !found; ++slot) {
        DWORD64 at = sp + slot * sizeof(DWORD64);
        if (at + sizeof(DWORD64) > stack_high) break;
        DWORD64 value = *reinterpret_cast<DWORD64*>(at);
        DWORD64 ignored = 0;
        if (value != 0 && FindFunction(value - 1, &ignored) != nullptr) {
          context.Rip = value;
          context.Rsp = at + sizeof(DWORD64);
          found = true;
        }
      }
      if (!found) break;
    } else {
      break;
    }
    if (context.Rsp <= sp) break;  // no progress: the walk went astray
  }
  return stored;
}

// The function symbols of one image, from the COFF symbol table its file carries (the
// linker keeps it in unstripped executables; it is not mapped with the image). Names stay
// mangled until a frame is described.
struct SymbolTable {
  const BYTE* base = nullptr;
  std::vector<std::pair<DWORD, DWORD>> functions;  // (address in the image, name offset)
  std::string names;                               // NUL-terminated names
};

// Guards the tables and the symbol helper library, which serves one caller at a time.
SRWLOCK g_symbol_lock = SRWLOCK_INIT;
std::vector<SymbolTable*>* g_tables = nullptr;
bool g_helper_tried = false;
bool g_helper_ready = false;

bool ReadAt(HANDLE file, uint64_t offset, void* buffer, DWORD size) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  DWORD done = 0;
  return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) &&
         ReadFile(file, buffer, size, &done, nullptr) && done == size;
}

// Reads the table of the image at `base` from its file; an empty table when it has none.
void LoadSymbolTable(const BYTE* base, const char* path, SymbolTable* table) {
  table->base = base;
  const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const IMAGE_NT_HEADERS64* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  const IMAGE_FILE_HEADER& header = nt->FileHeader;
  if (header.PointerToSymbolTable == 0 || header.NumberOfSymbols == 0) return;
  const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
  HANDLE file =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  std::vector<IMAGE_SYMBOL> symbols(header.NumberOfSymbols);
  DWORD symbols_size = static_cast<DWORD>(symbols.size() * sizeof(IMAGE_SYMBOL));
  DWORD strings_size = 0;
  std::string strings;
  bool read = ReadAt(file, header.PointerToSymbolTable, symbols.data(), symbols_size) &&
              ReadAt(file, header.PointerToSymbolTable + uint64_t{symbols_size}, &strings_size,
                     sizeof strings_size);
  if (read && strings_size > sizeof strings_size) {
    strings.resize(strings_size);
    read = ReadAt(file, header.PointerToSymbolTable + uint64_t{symbols_size}, strings.data(),
                  strings_size);
  }
  CloseHandle(file);
  if (!read) return;
  for (size_t i = 0; i < symbols.size(); i += 1 + symbols[i].NumberOfAuxSymbols) {
    const IMAGE_SYMBOL& symbol = symbols[i];
    // Functions, and the global labels of hand-written code (the stack probe) in code
    // sections.
    bool in_section = symbol.SectionNumber > 0 && symbol.SectionNumber <= header.NumberOfSections;
    bool function =
        in_section &&
        ((ISFCN(symbol.Type) && (symbol.StorageClass == IMAGE_SYM_CLASS_EXTERNAL ||
                                 symbol.StorageClass == IMAGE_SYM_CLASS_STATIC)) ||
         (symbol.Type == 0 && symbol.StorageClass == IMAGE_SYM_CLASS_EXTERNAL &&
          (sections[symbol.SectionNumber - 1].Characteristics & IMAGE_SCN_CNT_CODE) != 0));
    if (!function) continue;
    std::string name;
    if (symbol.N.Name.Short != 0) {
      name.assign(reinterpret_cast<const char*>(symbol.N.ShortName),
                  strnlen(reinterpret_cast<const char*>(symbol.N.ShortName), 8));
    } else if (symbol.N.Name.Long < strings.size()) {
      name = strings.c_str() + symbol.N.Name.Long;
    }
    if (name.empty()) continue;
    DWORD address = sections[symbol.SectionNumber - 1].VirtualAddress + symbol.Value;
    table->functions.emplace_back(address, static_cast<DWORD>(table->names.size()));
    table->names.append(name).push_back('\0');
  }
  std::sort(table->functions.begin(), table->functions.end());
}

// Called with g_symbol_lock held: the table of the image at `base`, read on first use.
const SymbolTable& TableOf(const BYTE* base, const char* path) {
  if (g_tables == nullptr) g_tables = new std::vector<SymbolTable*>;
  for (const SymbolTable* table : *g_tables) {
    if (table->base == base) return *table;
  }
  SymbolTable* table = new SymbolTable;
  LoadSymbolTable(base, path, table);
  g_tables->push_back(table);
  return *table;
}

// Called with g_symbol_lock held: the symbol helper library, for images without a symbol
// table of their own (system libraries), started on first use.
bool HelperReady() {
  if (!g_helper_tried) {
    g_helper_tried = true;
    SymSetOptions((SymGetOptions() & ~SYMOPT_UNDNAME) | SYMOPT_DEFERRED_LOADS |
                  SYMOPT_FAIL_CRITICAL_ERRORS);
    g_helper_ready = SymInitialize(GetCurrentProcess(), nullptr, TRUE) != FALSE;
  }
  return g_helper_ready;
}

// Called with g_symbol_lock held: the name of the function holding `address` and the
// distance from its start; false when no symbol covers it.
bool FindSymbol(const BYTE* base, const char* path, void* address, std::string* name,
                uintptr_t* offset) {
  const SymbolTable& table = TableOf(base, path);
  DWORD rva = static_cast<DWORD>(static_cast<const BYTE*>(address) - base);
  if (!table.functions.empty()) {
    auto after = std::upper_bound(table.functions.begin(), table.functions.end(),
                                  std::make_pair(rva, DWORD{0xFFFFFFFF}));
    if (after == table.functions.begin()) return false;
    --after;
    // Code without a symbol of its own (from libraries built without them) would take the
    // name of the symbol before it: the unwind entry tells where its function starts.
    DWORD64 image_base = 0;
    PRUNTIME_FUNCTION function = FindFunction(reinterpret_cast<DWORD64>(address), &image_base);
    if (function != nullptr && function->BeginAddress > after->first) return false;
    *name = table.names.c_str() + after->second;
    *offset = rva - after->first;
    return true;
  }
  if (!HelperReady()) return false;
  alignas(SYMBOL_INFO) char buffer[sizeof(SYMBOL_INFO) + MAX_SYM_NAME];
  SYMBOL_INFO* symbol = reinterpret_cast<SYMBOL_INFO*>(buffer);
  symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
  symbol->MaxNameLen = MAX_SYM_NAME;
  DWORD64 displacement = 0;
  if (!SymFromAddr(GetCurrentProcess(), reinterpret_cast<DWORD64>(address), &displacement,
                   symbol) ||
      symbol->NameLen == 0) {
    return false;
  }
  name->assign(symbol->Name, symbol->NameLen < MAX_SYM_NAME ? symbol->NameLen : MAX_SYM_NAME);
  *offset = static_cast<uintptr_t>(displacement);
  return true;
}

DWORD WINAPI Watchdog(void* /*argument*/) {
  WaitForSingleObject(g_crash_started, INFINITE);
  Sleep(kHandlerLimitMs);
  TerminateProcess(GetCurrentProcess(), g_crash_code);
  return 0;
}

// The crash being handled, for the handler's fiber; one crashing thread at a time.
EXCEPTION_POINTERS* g_exception = nullptr;
void* g_crashed_fiber = nullptr;
void* g_handler_fiber = nullptr;

void RunHandler(EXCEPTION_POINTERS* exception) {
  CrashHandler handler = g_handler.load();
  static void* frames[kMaxDepth];
  int count = Walk(*exception->ContextRecord, frames, kMaxDepth, 0);
  if (handler != nullptr) {
    handler(ExceptionName(exception->ExceptionRecord->ExceptionCode), frames, count);
  }
}

// The fiber runs on the crashed thread, on its own stack, and hands the thread back when the
// handler is done. A fiber must never return.
void WINAPI HandlerFiber(void* /*argument*/) {
  for (;;) {
    RunHandler(g_exception);
    SwitchToFiber(g_crashed_fiber);
  }
}

// GetCurrentFiber() reads the thread block through an intrinsic of the system headers that
// g++ 12, once it is inlined into an optimized build, takes for an out-of-bounds read
// (-Warray-bounds). The warning concerns the header's code, not this function's.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
  DWORD me = GetCurrentThreadId();
  DWORD none = 0;
  if (g_crashing_thread.compare_exchange_strong(none, me)) {
    g_crash_code = exception->ExceptionRecord->ExceptionCode;
    if (g_crash_started != nullptr) SetEvent(g_crash_started);
    g_exception = exception;
    g_crashed_fiber = g_handler_fiber == nullptr ? nullptr
                      : IsThreadAFiber()         ? GetCurrentFiber()
                                                 : ConvertThreadToFiber(nullptr);
    if (g_crashed_fiber != nullptr) {
      SwitchToFiber(g_handler_fiber);
    } else {
      RunHandler(exception);  // on what is left of the faulting stack
    }
  } else if (none != me) {
    // Another thread is writing its report; the process ends when that one is done.
    for (;;) Sleep(INFINITE);
  }
  // The process ends here, with the exception's code, as the system would end it, but
  // without unwinding the faulting stack first: that would run the destructors of a program
  // that is broken, and an overflowed stack may not even be unwound. A fault inside the
  // handler itself comes here again and ends the process at once.
  TerminateProcess(GetCurrentProcess(), g_crash_code);
  return EXCEPTION_EXECUTE_HANDLER;
}
#pragma GCC diagnostic pop

}  // namespace

void PrepareThreadForCrashes() {
  ULONG guarantee = kStackGuarantee;
  SetThreadStackGuarantee(&guarantee);
}

void InstallCrashHandler(CrashHandler handler) {
  {
    // Loading the symbols takes memory and stack: it must happen now, not first inside a
    // crash (a stack overflow leaves little of either).
    const BYTE* program = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    AcquireSRWLockExclusive(&g_symbol_lock);
    if (length > 0 && length < sizeof path) TableOf(program, path);
    HelperReady();
    ReleaseSRWLockExclusive(&g_symbol_lock);
  }
  static std::atomic<bool> watching{false};
  if (!watching.exchange(true)) {
    g_crash_started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE watchdog = g_crash_started != nullptr
                          ? CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr)
                          : nullptr;
    if (watchdog != nullptr) CloseHandle(watchdog);
    g_handler_fiber = CreateFiberEx(kHandlerStackCommit, kHandlerStackReserve,
                                    FIBER_FLAG_FLOAT_SWITCH, HandlerFiber, nullptr);
  }
  g_handler.store(handler);
  PrepareThreadForCrashes();
  SetUnhandledExceptionFilter(OnUnhandledException);
}

int CaptureStack(void** frames, int max_frames, int skip) {
  if (max_frames <= 0) return 0;
  CONTEXT context;
  RtlCaptureContext(&context);
  // The context is inside this function: its frame is left out as well.
  return Walk(context, frames, max_frames, skip + 1);
}

int CaptureThreadStack(uint64_t thread_id, void** frames, int max_frames, uint32_t /*timeout_ms*/) {
  // The thread is stopped by the system, whatever it is doing, so it always "answers" at once;
  // the time-out that a cooperating thread needs has no use here.
  if (max_frames <= 0) return 0;
  if (thread_id == GetCurrentThreadId()) return CaptureStack(frames, max_frames, 0);
  HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION,
                             FALSE, static_cast<DWORD>(thread_id));
  if (thread == nullptr) return 0;
  int count = 0;
  if (SuspendThread(thread) != static_cast<DWORD>(-1)) {
    CONTEXT context;
    context.ContextFlags = CONTEXT_FULL;
    // Reading the context also waits until the suspension has taken effect.
    if (GetThreadContext(thread, &context)) count = Walk(context, frames, max_frames, 0);
    ResumeThread(thread);
  }
  CloseHandle(thread);
  return count;
}

FrameDescription DescribeFrame(void* address) {
  FrameDescription description;
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<const char*>(address), &module)) {
    return description;
  }
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(module, path, sizeof path);
  if (length > 0 && length < sizeof path) description.module.assign(path, length);

  if (description.module.empty()) return description;
  std::string name;
  AcquireSRWLockExclusive(&g_symbol_lock);
  bool found = FindSymbol(reinterpret_cast<const BYTE*>(module), description.module.c_str(),
                          address, &name, &description.offset);
  ReleaseSRWLockExclusive(&g_symbol_lock);
  if (!found) return description;
  int status = -1;
  char* demangled = name.rfind("_Z", 0) == 0
                        ? abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status)
                        : nullptr;
  description.symbol = (status == 0 && demangled != nullptr) ? demangled : name;
  std::free(demangled);
  return description;
}

}  // namespace platform
