// The Windows manager starts its services itself and needs no stand-in.
#include "platform/tools/service_stand_in.h"

#include "platform/error.h"

namespace platform {

void SetServiceManagerRoot(const std::string&) {}
void SetServiceNotifyAddress(const std::string&) {}

ServiceNotifyListener::~ServiceNotifyListener() = default;

bool ServiceNotifyListener::Open(const std::string&) {
  SetLastError(kErrorNotSupported);
  return false;
}

bool ServiceNotifyListener::Receive(std::string*, uint32_t) {
  SetLastError(kErrorInvalidHandle);
  return false;
}

}  // namespace platform
