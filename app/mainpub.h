// The process-wide objects and the common start-up and close of the service (MainPub).
//
// Start-up makes the program directory the current directory, installs the crash handler,
// starts the diagnostics thread, loads the profile, and creates the log server with its
// monitor listener. Close takes them down again. Both run on the application main's thread;
// StopServer may be called from any thread.
#pragma once

#include "app/profile.h"
#include "foundation/cstring.h"

class SRPCSocketSvr;
class DiagnosticsThread;

// The SRPC server, from the application main's creation of it until its deletion.
extern SRPCSocketSvr* g_srpc_srv;
// The executable's directory with its final separator ("" when the path has none).
extern CString g_program_dir;

// Asks the SRPC server to stop (its accept loop and sessions end on their own). Safe from
// any thread, also before the server exists or after it is gone.
void StopServer();

// → the profile (the caller owns it), or null. A missing profile file ends the process with
// the fatal internal error. `monitor_port` > 0 replaces the profile's mon.port.
// `before_listening`, when given, runs with the profile once the log server exists and
// before its monitor port opens: what must hold for the first monitor client is set there.
ProfileFile* MainPubStart(int argc, char** argv, DiagnosticsThread* diagnostics, int write_buffer,
                          SRPCSocketSvr* server, int monitor_port,
                          void (*before_listening)(ProfileFile*) = nullptr);
void MainPubClose(ProfileFile* profile, DiagnosticsThread* diagnostics);
