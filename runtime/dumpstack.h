// The crash handler, the stack dump, and the fatal internal error: how the process reports
// what it cannot recover from. Any thread may call any of these.
//
// A dump block, appended to the dump file ("dumpstack.log" in the current directory unless
// InstallDumpStack names another):
//   "!!!dump stack time:YYYY-MM-DD hh:mm:ss ----------------------------------\r\n"
//   "=== begin DumpStack output ===\r\n"
//   one line per frame: "<address, at least 8 hex digits>: <module> <symbol> + <n> bytes\r\n"
//   "=== end DumpStack() output ===\r\n\r\n"
// Dump files are only ever appended to. Stack walks are serialised by one traced lock; a
// walk that starts while the same thread is already walking (a fault inside a dump) writes
// the block without frames.
//
// InternalError(a, b, unit, line) returns at once when a or b holds. Otherwise it dumps the
// calling thread's stack to "dumpstack.log", appends "internal error:<unit> <line>\n" to
// "corvexaerror.log", prints the same line on the console and ends the process with abort(),
// so that a debugger or a core file sees the place. Every unit names itself in a `kUnit`
// constant and checks with FATAL_CHECK(condition).
#pragma once

#include "foundation/cstring.h"

// Stores the dump file name (cut to 250 characters) and routes the process's fatal faults to
// the crash handler: it prints "EXCEPTION OCCURED:<name>\r\n" and "dump stack to:<file>\r\n",
// appends the first text and the faulting thread's stack to the dump file, and lets the
// process end.
void InstallDumpStack(const char* file_name);
const char* DumpFileName();

// Appends `text` to the file, creating it when needed; does nothing for an empty text.
// Prints "cannot create dumpstack.log \n" when the file cannot be opened.
void AppendText(const char* file_name, const char* text);

// Appends a dump block of the calling thread's stack.
void DumpStack(const char* file_name);
// "total thread:<n>\r\n", then for every registered JThread
// "**<place> ThreadID:<id> *********************************\r\n" and its dump block.
void DumpAllThreads(const char* file_name);
// The frame lines of the calling thread's stack (at most `max_frames`, the caller first).
void StackText(CString* text, int max_frames);

// Run before the exit dump's, the fatal internal error's and the notice's own output (null:
// nothing): console lines still queued go out first, in their order.
void SetConsoleFlush(void (*flush)());

// Dumps the calling thread's stack to "dumpstack.log" and ends the process with status -1.
[[noreturn]] void ExitDump();

[[gnu::cold]] [[noreturn]] void InternalErrorFire(const char* unit, int line);

inline void InternalError(bool a, bool b, const char* unit, int line) {
  if (a || b) return;
  InternalErrorFire(unit, line);
}

// Prints "internal error:%s %d occured\n" when both conditions fail; nothing else. Callers
// follow it with InternalError for the same place.
void InternalNotice(bool a, bool b, const char* unit, int line);

// Fires the fatal internal error of the calling unit when `condition` does not hold.
#define FATAL_CHECK(condition) InternalError(static_cast<bool>(condition), false, kUnit, __LINE__)
