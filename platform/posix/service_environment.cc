// The notify socket's address (see service_environment.h).
#include "platform/posix/service_environment.h"

#include <cstddef>
#include <cstring>

namespace platform {

bool NotifyAddress(const char* text, sockaddr_un* address, socklen_t* length) {
  size_t size = text == nullptr ? 0 : std::strlen(text);
  if (size < 2 || size >= sizeof address->sun_path || (text[0] != '/' && text[0] != '@')) {
    return false;
  }
  *address = sockaddr_un();
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, text, size);
  if (text[0] == '@') address->sun_path[0] = '\0';
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
  return true;
}

}  // namespace platform
