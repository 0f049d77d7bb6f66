// Console control on signals: SIGINT is kCtrlCEvent and SIGTERM kCtrlBreakEvent. Both are
// routed (signal_route.h) to a control thread of our own, started with the first handler, which
// asks the handlers; when none takes the event, the signal's default action follows.
#include <signal.h>

#include "platform/posix/signal_route.h"
#include "platform/service.h"
#include "platform/shared/service_common.h"
#include "platform/thread.h"

namespace platform {
namespace {

bool StartConsoleControl();

ControlPipe g_console_pipe;
// Made on first use: a handler may be added while the program's globals are made.
ConsoleHandlerList& Handlers() {
  static ConsoleHandlerList handlers(StartConsoleControl);
  return handlers;
}

uint32_t ConsoleControlThread(void*) {
  for (;;) {
    int signal = NextControlByte(g_console_pipe);
    if (signal < 0) return 1;
    uint32_t event = signal == SIGINT ? kCtrlCEvent : kCtrlBreakEvent;
    if (!Handlers().Deliver(event)) TakeDefaultAction(signal);
  }
}

// Under the handler list's lock, before the first handler is added.
bool StartConsoleControl() {
  if (!OpenControlPipe(&g_console_pipe)) return false;
  uint64_t thread_id = 0;
  ThreadHandle thread = ThreadCreate(0, ConsoleControlThread, nullptr, 0, &thread_id);
  if (thread == kNoThread) return false;
  ThreadClose(thread);
  if (!InheritedAsIgnored(SIGINT)) RouteSignal(SIGINT, g_console_pipe.write_fd);
  RouteSignal(SIGTERM, g_console_pipe.write_fd);
  return true;
}

}  // namespace

bool SetConsoleCtrlHandler(ConsoleCtrlHandler handler, bool add) {
  return Handlers().Change(handler, add);
}

}  // namespace platform
