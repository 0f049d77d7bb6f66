// The process: its executable's path, the current directory, its heap and thread ids, and
// whether a standard stream is a terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// Which backend this build runs on, for the few tests and tools that must tell (paths in a
// test's expectations, behaviour only one system has). Production code never asks.
#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// Full path of the running executable (GetModuleFileName).
std::string ProgramPath();
std::string CurrentDirectory();
bool SetCurrentDirectory(const char* path);
// The directory for diagnostics dumps that the system writes outside its program directory
// (c:\temp\ on Windows), with a final separator. It is not created.
std::string TempDirectory();

// True when the stream is an interactive terminal (a console), so that progress meant for a
// person may be drawn on it; false for files, pipes and closed streams.
bool IsTerminal(std::FILE* stream);
// Makes a standard stream carry bytes as they are (Windows' run-time library turns "\n" into
// "\r\n" and stops at ^Z on text streams; POSIX streams always carry bytes as they are).
void SetBinaryMode(std::FILE* stream);
// Moves a C stream to `position` bytes from its start, also beyond 2 GiB (fseek takes a
// long, which Windows keeps at 32 bits). False with errno set when it cannot.
bool SeekStream(std::FILE* stream, int64_t position);

// The process heap. HeapAllocate and HeapReallocate give null when memory runs out;
// HeapRelease gives false when the block was not the heap's.
void* HeapAllocate(size_t size);
void* HeapReallocate(void* block, size_t size);
bool HeapRelease(void* block);
// Tells the system that a large, long-lived heap block is best backed by large pages, so that
// filling it takes one page fault per 2 MiB instead of one per 4 KiB (transparent huge pages
// on Linux). Only a hint: nothing changes where the system offers none (Windows, where large
// pages need a privilege that a service should not ask for).
void AdviseLargePages(void* block, size_t size);

// How many handles the process holds (file descriptors on POSIX), for tests that check a unit
// closes what it opens; -1 when the system cannot tell. Only differences mean anything: the
// run-time library and the system hold handles of their own.
int OpenHandleCount();
// The number of handles the process may hold (the soft RLIMIT_NOFILE on POSIX), and lowering
// or raising it within the hard limit, for tests that run a unit out of descriptors. -1 and
// false where the system has no such limit (Windows).
int OpenHandleLimit();
bool SetOpenHandleLimit(int limit);

// The calling thread's id from the system.
uint64_t FetchThreadId();

// The calling thread's id, stable for its life and unique among live threads. Every lock
// operation asks for it, so it is kept per thread and read inline.
inline uint64_t CurrentThreadId() {
  // Constant-initialised: reading it needs no guard.
  static thread_local uint64_t id = 0;
  if (id == 0) id = FetchThreadId();
  return id;
}

}  // namespace platform
