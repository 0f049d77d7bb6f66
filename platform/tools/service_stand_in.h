// Stand-ins for the service manager, for tests and tools: another root for its services, and
// its end of a service's status reports. POSIX only: on Windows the manager needs no stand-in,
// the setters change nothing and ServiceNotifyListener::Open fails with kErrorNotSupported.
//
// The setters change the environment of this process, which the processes it starts inherit:
// call them before other threads run.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Where the service manager of service.h keeps its services: `root` as PELLARY_SYSTEMD_ROOT
// (see service.h); "" returns to the running system.
void SetServiceManagerRoot(const std::string& root);
// Makes this process, and those it starts, services reporting to `address` (a socket path);
// "" makes them ordinary processes.
void SetServiceNotifyAddress(const std::string& address);

// The manager's end of the status reports: a datagram socket at a path. One thread at a time.
class ServiceNotifyListener {
 public:
  ServiceNotifyListener() = default;
  ~ServiceNotifyListener();
  ServiceNotifyListener(const ServiceNotifyListener&) = delete;
  ServiceNotifyListener& operator=(const ServiceNotifyListener&) = delete;

  // Binds at `path` (short enough for a socket address); false with the error on failure.
  bool Open(const std::string& path);
  // The next report, waiting up to `timeout_ms`; false when none came.
  bool Receive(std::string* report, uint32_t timeout_ms);
  const std::string& path() const { return path_; }

 private:
  intptr_t socket_ = -1;
  std::string path_;
};

}  // namespace platform
