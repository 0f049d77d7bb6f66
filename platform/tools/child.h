// Child processes: start a program with arguments and its output in a file, wait for its end
// with a time-out, send it a console control event, end it by force. Tools and end-to-end tests use
// it to run the server.
//
// A ChildHandle belongs to the thread that started it until ChildWait saw the end or
// ChildKill reaped it.
//
// Windows backend: each child runs in a process group of its own on the console of its parent,
// so that control events reach it alone; a parent without a console gets one (hidden) before
// its first child. The child has Ctrl+C turned off until it adds a console handler (see
// service.h). Windows itself delivers no Ctrl+C to a process group, only Ctrl+Break; Wine
// delivers Ctrl+C and fails Ctrl+Break (ERROR_INVALID_HANDLE). kClose ends the child with
// STATUS_CONTROL_C_EXIT, as the system does once the close handlers have run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using ChildHandle = int64_t;
inline constexpr ChildHandle kNoChild = -1;

// Runs `program` with `arguments` (argv[1] onwards) in `directory`, standard output and
// error appended to `output_path`. kNoChild when it could not be started.
ChildHandle ChildStart(const std::string& program, const std::vector<std::string>& arguments,
                       const std::string& directory, const std::string& output_path);
// True when the child ended within `timeout_ms`; *exit_code is its status, or (POSIX) 128 +
// the signal that ended it.
bool ChildWait(ChildHandle child, uint32_t timeout_ms, int* exit_code);
// Ends the child at once (SIGKILL / TerminateProcess) and reaps it.
void ChildKill(ChildHandle child);

// The console control events a child can be sent: Ctrl+C, Ctrl+Break, and the closing of its
// console. POSIX sends SIGINT, SIGTERM and SIGHUP; Ctrl+Break is there also the stop control
// of a service.
enum class ChildControl { kCtrlC, kCtrlBreak, kClose };
// Only before ChildWait saw the end (a reaped child's id may belong to another process by
// then). False with the error when the child could not be signalled.
bool ChildSignal(ChildHandle child, ChildControl control);
// The child's resident memory in bytes (its working set), or -1 when it cannot be read.
int64_t ChildResidentBytes(ChildHandle child);
// The most resident memory the child has had since it started (its peak working set), or -1.
int64_t ChildPeakResidentBytes(ChildHandle child);
// The processor time the child has used so far, in user and kernel mode together, in
// microseconds, or -1. POSIX counts it in clock ticks (10 ms on Linux), Windows in 100 ns.
int64_t ChildCpuMicroseconds(ChildHandle child);

}  // namespace platform
