// What both backends of service.h decide alike: which service names the manager takes, which
// control handlers a dispatch takes, and the list of console control handlers. Internal to
// platform/.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/service.h"

namespace platform {

// A name CreateService and OpenService accept: 1 to 200 letters, digits and "_-.:".
bool ValidServiceName(const std::string& name);

// The one service that a process dispatches at a time, as both backends keep it; a backend
// adds what it needs besides. Every member is used under `mutex`.
struct ServiceDispatch {
  std::mutex mutex;
  bool active = false;
  std::string name;
  ServiceMain service_main = nullptr;
  ServiceControlHandler handler = nullptr;

  // StartServiceDispatcher: false (1056) while a dispatch runs.
  bool Begin(const char* service_name, ServiceMain main);
  void End();
  // RegisterServiceCtrlHandler: false with 87 for a null handler, 1060 when no dispatch runs
  // or it runs another service than `service_name`.
  bool Register(const char* service_name, ServiceControlHandler control_handler);
};

// The process's console control handlers, the last added asked first. Any thread may call.
class ConsoleHandlerList {
 public:
  // `start` readies the backend's delivery of events; it runs once, under the list's lock,
  // before the first handler is added, and again on the next add when it failed.
  explicit ConsoleHandlerList(bool (*start)()) : start_(start) {}
  ConsoleHandlerList(const ConsoleHandlerList&) = delete;
  ConsoleHandlerList& operator=(const ConsoleHandlerList&) = delete;

  // SetConsoleCtrlHandler: adds or removes `handler`; false (87) for a null handler or one
  // that was not added, false with the backend's error when `start` failed.
  bool Change(ConsoleCtrlHandler handler, bool add);
  // Asks the handlers for `event`, last added first; true when one took it.
  bool Deliver(uint32_t event);

 private:
  bool (*const start_)();
  std::mutex mutex_;
  std::vector<ConsoleCtrlHandler> handlers_;
  bool started_ = false;
};

}  // namespace platform
