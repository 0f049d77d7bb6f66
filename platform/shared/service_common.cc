// Service names and console handlers, alike on every backend (see service_common.h).
#include "platform/shared/service_common.h"

#include <cstring>
#include <iterator>

#include "platform/error.h"

namespace platform {

bool ValidServiceName(const std::string& name) {
  if (name.empty() || name.size() > 200) return false;
  for (char ch : name) {
    bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
    if (!plain && std::strchr("_-.:", ch) == nullptr) return false;
  }
  return true;
}

bool ServiceDispatch::Begin(const char* service_name, ServiceMain main) {
  if (active) {
    SetLastError(kErrorServiceAlreadyRunning);
    return false;
  }
  active = true;
  name = service_name;
  service_main = main;
  handler = nullptr;
  return true;
}

void ServiceDispatch::End() {
  active = false;
  handler = nullptr;
}

bool ServiceDispatch::Register(const char* service_name, ServiceControlHandler control_handler) {
  if (control_handler == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (!active || name != service_name) {
    SetLastError(kErrorServiceDoesNotExist);
    return false;
  }
  handler = control_handler;
  return true;
}

bool ConsoleHandlerList::Change(ConsoleCtrlHandler handler, bool add) {
  if (handler == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  std::lock_guard<std::mutex> hold(mutex_);
  if (!add) {
    for (auto it = handlers_.rbegin(); it != handlers_.rend(); ++it) {
      if (*it != handler) continue;
      handlers_.erase(std::next(it).base());
      return true;
    }
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (!started_ && !start_()) return false;
  started_ = true;
  handlers_.push_back(handler);
  return true;
}

bool ConsoleHandlerList::Deliver(uint32_t event) {
  std::vector<ConsoleCtrlHandler> handlers;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    handlers = handlers_;
  }
  for (auto handler = handlers.rbegin(); handler != handlers.rend(); ++handler) {
    if ((*handler)(event)) return true;
  }
  return false;
}

}  // namespace platform
