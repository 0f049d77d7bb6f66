// Signal routes and control pipes (see signal_route.h).
#include "platform/posix/signal_route.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/posix/posix_error.h"

namespace platform {
namespace {

struct SignalRoute {
  int signal;
  std::atomic<int> write_fd{-1};
  bool installed = false;
  struct sigaction previous {};
};

SignalRoute g_routes[] = {{SIGINT}, {SIGTERM}};
std::mutex g_route_mutex;

SignalRoute& RouteOf(int signal) {
  return signal == SIGINT ? g_routes[0] : g_routes[1];
}

// Async-signal-safe: one write, errno kept.
void OnControlSignal(int signal) {
  int saved = errno;
  int fd = RouteOf(signal).write_fd.load();
  unsigned char byte = static_cast<unsigned char>(signal);
  if (fd >= 0) (void)!write(fd, &byte, 1);
  errno = saved;
}

}  // namespace

int RouteSignal(int signal, int write_fd) {
  std::lock_guard<std::mutex> hold(g_route_mutex);
  SignalRoute& route = RouteOf(signal);
  int previous = route.write_fd.exchange(write_fd);
  if (write_fd >= 0 && !route.installed) {
    struct sigaction action {};
    action.sa_handler = OnControlSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, &route.previous);
    route.installed = true;
  } else if (write_fd < 0 && route.installed) {
    sigaction(signal, &route.previous, nullptr);
    route.installed = false;
  }
  return previous;
}

bool InheritedAsIgnored(int signal) {
  struct sigaction current {};
  sigaction(signal, nullptr, &current);
  return !RouteOf(signal).installed && current.sa_handler == SIG_IGN;
}

void TakeDefaultAction(int signal) {
  {
    std::lock_guard<std::mutex> hold(g_route_mutex);
    RouteOf(signal).write_fd.store(-1);
    RouteOf(signal).installed = false;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
  kill(getpid(), signal);
}

bool OpenControlPipe(ControlPipe* control) {
  if (control->read_fd >= 0) return true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  control->read_fd = fds[0];
  control->write_fd = fds[1];
  return true;
}

void WriteControlByte(const ControlPipe& control, unsigned char byte) {
  while (write(control.write_fd, &byte, 1) < 0 && errno == EINTR) {
  }
}

int NextControlByte(const ControlPipe& control) {
  for (;;) {
    unsigned char byte = 0;
    ssize_t n = read(control.read_fd, &byte, 1);
    if (n == 1) return byte;
    if (n < 0 && errno == EAGAIN) {
      pollfd wait{control.read_fd, POLLIN, 0};
      poll(&wait, 1, -1);
    } else if (n == 0 || errno != EINTR) {
      return -1;
    }
  }
}

// Signals that reached a dispatch after its service main ended are not for the next one.
void DrainControlPipe(const ControlPipe& control) {
  unsigned char bytes[64];
  while (read(control.read_fd, bytes, sizeof bytes) > 0) {
  }
}

}  // namespace platform
