// Being a service under systemd: the dispatcher, and the status reports through the manager's
// notify socket (NOTIFY_SOCKET). SIGTERM is the stop control; it reaches the dispatcher thread
// through a signal route (signal_route.h), never running our logic in a signal handler.
//
// Invariant: one dispatch at a time: g_dispatch.active is set from the connect of the notify
// socket until the service main has returned and the socket is closed.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/error.h"
#include "platform/posix/posix_error.h"
#include "platform/posix/service_environment.h"
#include "platform/posix/signal_route.h"
#include "platform/service.h"
#include "platform/shared/service_common.h"
#include "platform/thread.h"

namespace platform {
namespace {

struct Dispatch : ServiceDispatch {
  int notify_fd = -1;
  ControlPipe pipe;
  // systemd cannot be told that the service refuses a stop now, so a SIGTERM that comes while
  // the last report accepted no stop is held until a report accepts it.
  bool accepts_stop = false;
  bool stop_held = false;
};

Dispatch g_dispatch;
constexpr unsigned char kServiceMainReturned = 0;

// The manager's socket, connected; -1 with kErrorFailedServiceControllerConnect.
int ConnectNotifySocket() {
  sockaddr_un address;
  socklen_t length = 0;
  int fd = -1;
  if (NotifyAddress(std::getenv(kNotifyVariable), &address, &length)) {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) SetLastError(kErrorFailedServiceControllerConnect);
  return fd;
}

bool BeginDispatch(const char* name, ServiceMain service_main, int notify_fd) {
  std::lock_guard<std::mutex> hold(g_dispatch.mutex);
  if (!g_dispatch.Begin(name, service_main)) return false;
  if (!OpenControlPipe(&g_dispatch.pipe)) {
    g_dispatch.End();
    return false;
  }
  DrainControlPipe(g_dispatch.pipe);
  g_dispatch.notify_fd = notify_fd;
  g_dispatch.accepts_stop = false;
  g_dispatch.stop_held = false;
  return true;
}

void EndDispatch() {
  std::lock_guard<std::mutex> hold(g_dispatch.mutex);
  close(g_dispatch.notify_fd);
  g_dispatch.notify_fd = -1;
  g_dispatch.End();
}

uint32_t RunServiceMain(void*) {
  g_dispatch.service_main();
  WriteControlByte(g_dispatch.pipe, kServiceMainReturned);
  return 0;
}

// The dispatcher thread's loop: every SIGTERM is a stop control, until the service main ends.
void DeliverServiceControls() {
  for (;;) {
    int byte = NextControlByte(g_dispatch.pipe);
    if (byte < 0 || byte == kServiceMainReturned) return;
    ServiceControlHandler handler = nullptr;
    {
      std::lock_guard<std::mutex> hold(g_dispatch.mutex);
      if (g_dispatch.handler != nullptr && g_dispatch.accepts_stop) {
        handler = g_dispatch.handler;
      } else {
        g_dispatch.stop_held = true;
      }
    }
    if (handler != nullptr) handler(kServiceControlStop);
  }
}

// What systemd hears of a state: READY=1 and STOPPING=1 where they apply, a status line for
// `systemctl status`, and the wait hint as the time until the next report.
std::string NotifyMessage(const ServiceStatus& status) {
  char text[200];
  bool pending = false;
  switch (status.current_state) {
    case kServiceStartPending:
    case kServiceStopPending:
      pending = true;
      std::snprintf(text, sizeof text, "%sSTATUS=%s pending, check point %u, wait hint %u ms",
                    status.current_state == kServiceStopPending ? "STOPPING=1\n" : "",
                    status.current_state == kServiceStopPending ? "Stop" : "Start",
                    status.check_point, status.wait_hint);
      break;
    case kServiceRunning:
      std::snprintf(text, sizeof text, "READY=1\nSTATUS=Running");
      break;
    case kServiceStopped:
      std::snprintf(text, sizeof text, "STATUS=Stopped, exit code %u", status.win32_exit_code);
      break;
    default:
      std::snprintf(text, sizeof text, "STATUS=State %u", status.current_state);
  }
  std::string message = text;
  if (pending && status.wait_hint > 0) {
    message += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{status.wait_hint} * 1000);
  }
  return message;
}

}  // namespace

bool StartServiceDispatcher(const char* name, ServiceMain service_main) {
  int notify_fd = ConnectNotifySocket();
  if (notify_fd < 0) return false;
  if (!BeginDispatch(name, service_main, notify_fd)) {
    close(notify_fd);
    return false;
  }
  int previous_route = RouteSignal(SIGTERM, g_dispatch.pipe.write_fd);
  uint64_t thread_id = 0;
  ThreadHandle thread = ThreadCreate(0, RunServiceMain, nullptr, 0, &thread_id);
  if (thread != kNoThread) {
    DeliverServiceControls();
    ThreadWait(thread, kInfinite);
    ThreadClose(thread);
  }
  RouteSignal(SIGTERM, previous_route);
  EndDispatch();
  return thread != kNoThread;
}

ServiceStatusHandle RegisterServiceCtrlHandler(const char* name, ServiceControlHandler handler) {
  std::lock_guard<std::mutex> hold(g_dispatch.mutex);
  if (!g_dispatch.Register(name, handler)) return kNoServiceStatus;
  return reinterpret_cast<ServiceStatusHandle>(&g_dispatch);
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  std::string message = NotifyMessage(status);
  std::lock_guard<std::mutex> hold(g_dispatch.mutex);
  if (handle != reinterpret_cast<ServiceStatusHandle>(&g_dispatch) || !g_dispatch.active) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  ssize_t sent;
  do {
    sent = send(g_dispatch.notify_fd, message.data(), message.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(message.size())) {
    SetLastErrorFromErrno(sent < 0 ? errno : EIO);
    return false;
  }
  g_dispatch.accepts_stop = (status.controls_accepted & kServiceAcceptStop) != 0;
  if (g_dispatch.accepts_stop && g_dispatch.stop_held && status.current_state != kServiceStopped) {
    g_dispatch.stop_held = false;
    WriteControlByte(g_dispatch.pipe, SIGTERM);  // to the dispatcher thread again
  }
  return true;
}

}  // namespace platform
