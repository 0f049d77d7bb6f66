// The last error of the Win32 backend: the system's own per-thread error, whose numbers are
// already the ones the rest of the system uses.
#include "platform/error.h"

#include "platform/win32/windows_headers.h"

namespace platform {

uint32_t LastError() {
  return ::GetLastError();
}

void SetLastError(uint32_t code) {
  ::SetLastError(code);
}

}  // namespace platform
