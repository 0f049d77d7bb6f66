// Console control events raised in this process, as a terminal raises them.
#include "platform/tools/console_event.h"

#include <signal.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/posix/posix_error.h"
#include "platform/service.h"

namespace platform {

bool RaiseConsoleCtrlEvent(uint32_t event) {
  if (event != kCtrlCEvent && event != kCtrlBreakEvent) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (raise(event == kCtrlCEvent ? SIGINT : SIGTERM) == 0) return true;
  SetLastErrorFromErrno(errno);
  return false;
}

}  // namespace platform
