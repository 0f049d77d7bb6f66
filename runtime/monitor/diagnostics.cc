// The diagnostics thread and its three dump files.
#include "runtime/monitor/diagnostics.h"

#include "foundation/base.h"
#include "foundation/datetime.h"
#include "foundation/plusfile.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "runtime/dumpstack.h"
#include "runtime/mt.h"
#include "srpc/srpcsvr.h"

int DiagnosticsThread::StartFor(SRPCSocketSvr* server) {
  server_ = server;
  CString stamp = NowText("YYYY-MM-DD hh:mm:ss ");
  stamp.Replace(":", "_");
  CString base = CString(platform::TempDirectory().c_str()) + stamp + "pellary";
  threads_file_ = base + "_allthread.log";
  locks_file_ = base + "_mt.log";
  calls_file_ = base + "_proc.log";
  return Start();
}

uint32_t DiagnosticsThread::Run() {
  for (int tick = 1; IsStopping() == 0; ++tick) {
    platform::SleepMs(kTickMs);
    if (tick % kTicksPerDump == 0 && IsStopping() == 0) WriteDumps();
  }
  return 0;
}

void DiagnosticsThread::WriteDumps() {
  PlusFile::DeleteFile(threads_file_);
  DumpAllThreads(threads_file_);
  CString report;
  syn_base::Report(&report);
  BaseFile locks;
  if (locks.Open(locks_file_, kModeCreate | kModeWrite | kTypeBinary) != 0) {
    locks.Write(report.GetString(), report.GetLength());
    locks.Close();
  }
  if (server_ != nullptr) server_->DumpCalls(calls_file_);
}
