// The diagnostics thread: every 20 seconds it rewrites three dump files in the platform's
// temporary directory, named after the thread's start time: "<stamp>pellary_allthread.log"
// (the stacks of all registered threads), "<stamp>pellary_mt.log" (the lock report of every
// traced lock) and "<stamp>pellary_proc.log" (the SRPC server's running calls). The stamp is
// "YYYY-MM-DD hh_mm_ss ". A missing temporary directory just means no dump files.
//
// Threads: started and stopped by its owner; it runs on its own.
#pragma once

#include <cstdint>

#include "foundation/cstring.h"
#include "runtime/jthread.h"

class SRPCSocketSvr;

class DiagnosticsThread : public JThread {
 public:
  static constexpr int kTicksPerDump = 20;
  static constexpr uint32_t kTickMs = 1000;

  // Starts the thread; the server may be null.
  int StartFor(SRPCSocketSvr* server);
  // Writes the three dumps now (the thread does it every kTicksPerDump ticks).
  void WriteDumps();

  const CString& threads_file() const { return threads_file_; }
  const CString& locks_file() const { return locks_file_; }
  const CString& calls_file() const { return calls_file_; }

 protected:
  uint32_t Run() override;

 private:
  SRPCSocketSvr* server_ = nullptr;
  CString threads_file_;
  CString locks_file_;
  CString calls_file_;
};
