// The service host: what the executable's main runs. It reads the command line and installs
// or removes the service, runs the application as a console program, or hands the process to
// the service manager, which then runs the application as the service. It reports the
// service's states, turns a stop control or a console Ctrl+C / Ctrl+Break into the
// application's stop, and writes its own errors to the event log.
//
// Threads: RunServiceHost runs on the main thread, one call at a time per process. The
// application main runs on the main thread in a console run and on the service thread under
// the service manager; the control and console handlers run on the platform's control
// threads and only report a state and call the application's stop, which must not wait.
//
// Invariants:
//  1. The application main is always called with a count of 0 and no vector, whatever follows
//     the option, so it always uses its default profile.
//  2. Console runs make no status or event-log reports.
//  3. The exit status is 0 in every case; failures are told on `out` or in the event log.
#pragma once

#include <cstdio>

struct ServiceApplication {
  int (*main)(int argc, char** argv);
  void (*stop)();  // safe from any thread, before, during and after main
};

inline constexpr char kProgramName[] = "pellary";
inline constexpr char kServiceName[] = "pellary";
inline constexpr char kDisplayName[] = "Pellary";

// The first argument decides: "-install", "-remove", "-debug", "-console" (also with "/", in
// any case); anything else, or nothing, means the service dispatcher.
enum class HostCommand { kInstall, kRemove, kDebug, kConsole, kDispatch };
HostCommand ParseCommandLine(int argc, char** argv);

void PrintUsage(std::FILE* out);

// Does what the command line says, with the console messages on `out`; → the exit status.
int RunServiceHost(int argc, char** argv, const ServiceApplication& app, std::FILE* out);
