// Console control events raised through this process's console.
#include "platform/tools/console_event.h"

#include "platform/win32/windows_headers.h"

#include "platform/error.h"
#include "platform/service.h"
#include "platform/tools/win32/console.h"

namespace platform {

bool RaiseConsoleCtrlEvent(uint32_t event) {
  if (event != kCtrlCEvent && event != kCtrlBreakEvent) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return EnsureConsole(true) && GenerateConsoleCtrlEvent(event, 0) != 0;
}

}  // namespace platform
