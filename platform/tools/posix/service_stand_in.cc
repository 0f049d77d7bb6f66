// Stand-ins for systemd, for tests and tools: the environment a service process reads
// (service_environment.h), and the manager's end of the notify socket.
#include "platform/tools/service_stand_in.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/error.h"
#include "platform/posix/posix_error.h"
#include "platform/posix/service_environment.h"

namespace platform {
namespace {

void SetVariable(const char* name, const std::string& value) {
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
}

}  // namespace

void SetServiceManagerRoot(const std::string& root) {
  SetVariable(kServiceRootVariable, root);
}

void SetServiceNotifyAddress(const std::string& address) {
  SetVariable(kNotifyVariable, address);
}

ServiceNotifyListener::~ServiceNotifyListener() {
  if (socket_ < 0) return;
  close(static_cast<int>(socket_));
  unlink(path_.c_str());
}

bool ServiceNotifyListener::Open(const std::string& path) {
  sockaddr_un address;
  socklen_t length = 0;
  if (socket_ >= 0 || path.empty() || path[0] != '/' ||
      !NotifyAddress(path.c_str(), &address, &length)) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    SetLastErrorFromErrno(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  socket_ = fd;
  path_ = path;
  return true;
}

bool ServiceNotifyListener::Receive(std::string* report, uint32_t timeout_ms) {
  if (socket_ < 0) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  pollfd wait{static_cast<int>(socket_), POLLIN, 0};
  int ready;
  do {
    ready = poll(&wait, 1, static_cast<int>(timeout_ms));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  char buffer[4096];
  ssize_t n = recv(static_cast<int>(socket_), buffer, sizeof buffer, 0);
  if (n < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  report->assign(buffer, static_cast<size_t>(n));
  return true;
}

}  // namespace platform
