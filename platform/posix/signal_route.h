// Signal routes and control pipes: how SIGINT and SIGTERM reach a thread of ours instead of
// running our logic inside a signal handler. Internal to platform/posix/.
//
// The signal handler only writes the signal's number into the pipe that the signal's route
// names; the thread reading that pipe (the service dispatcher, or the console control thread)
// calls the handlers. Pipes live as long as the process, so a late signal never writes into a
// closed or reused descriptor.
//
// Invariants:
//  1. A routed signal's handler is installed exactly while its route names a pipe; removing
//     the last route puts back the action that was there before.
//  2. Only SIGINT and SIGTERM are routed.
// Routes may be changed from any thread; a pipe is read by one thread.
#pragma once

namespace platform {

// Sends `signal` to `write_fd` from now on (-1: nowhere, the earlier action again); gives the
// route it replaces.
int RouteSignal(int signal, int write_fd);
// True when `signal` was ignored before we routed it (a shell's background job ignores SIGINT).
bool InheritedAsIgnored(int signal);
// What the system does with a signal nobody handles: usually the end of the process.
void TakeDefaultAction(int signal);

struct ControlPipe {
  int read_fd = -1;
  int write_fd = -1;
};

// Opens the pipe unless it is open already (both ends non-blocking); false with the error.
bool OpenControlPipe(ControlPipe* control);
void WriteControlByte(const ControlPipe& control, unsigned char byte);
// The next byte of the pipe, waiting as long as it takes; -1 when the pipe broke.
int NextControlByte(const ControlPipe& control);
// Reads away whatever the pipe holds.
void DrainControlPipe(const ControlPipe& control);

}  // namespace platform
