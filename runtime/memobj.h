// Memory tracking and the common base object of the foundation classes.
//
// Heap: raw memory for byte buffers, column buffers and stream data. Allocate and Reallocate
// never return null for a non-zero size: a failure appends "size:%d ,(memobj,%d)\n" to
// "corvexaerror.log" and fires the fatal internal error. Thread-safe.
//
// BaseObject: every foundation object carries a trace flag (1 at construction) and the id
// of the thread it is bound to (the constructing thread until BindThread). ErrorTrace writes a
// time-stamped entry to the error-trace file "corvexaerr.log" in the platform's temporary
// directory and to standard output, serialised across the process.
#pragma once

#include <cstddef>
#include <cstdint>

struct Heap {
  // Null for size 0, without touching the heap.
  static void* Allocate(size_t size);
  // A null block is an Allocate.
  static void* Reallocate(void* block, size_t size);
  // A failure prints "Warnning free failed!\n" and is otherwise ignored.
  static void Release(void* block);
  // Successful Allocate and Reallocate calls since the process started: lets benchmarks
  // count the allocations of an operation in the steady state.
  static uint64_t AllocationCount();
  // Bytes those calls asked for (a Reallocate counts its new size): an upper bound of what an
  // operation held at once, for tests that bound the memory a decoder may take.
  static uint64_t AllocatedBytes();
};

// Writes `text` to the file at `path`: at its end when `append` is set (creating the file
// when it cannot be opened), else into a new or truncated file. Does nothing for an empty
// path or when the file cannot be opened. Takes no lock.
void AppendToLog(const char* path, const char* text, bool append);

class BaseObject {
 public:
  BaseObject();
  virtual ~BaseObject() = default;

  // Writes "[<local time>]-------\r\n<text>\r\n\r\n" when the trace flag is set.
  void ErrorTrace(const char* text) const;
  // For an inconsistency found inside the object (a bad index page, a seek past the end):
  // one ErrorTrace entry holding `what`, then the frame lines of the calling thread's stack,
  // which locate the caller. Nothing when the trace flag is clear.
  void ErrorTraceWithStack(const char* what) const;
  int BindThread();
  // 1 when called on the bound thread; otherwise prints "not same thread:%d %d\n" and gives 0.
  int CheckThread() const;

  int trace() const { return trace_; }
  void set_trace(int trace) { trace_ = trace; }
  uint64_t bound_thread() const { return thread_id_; }

 private:
  int trace_ = 1;
  uint64_t thread_id_;
};

// Path of the error-trace file that ErrorTrace appends to.
const char* ErrorTracePath();
