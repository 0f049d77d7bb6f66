// Wine's ntdll exports its version; the one of Windows does not.
#include "platform/tools/wine_detect.h"

#include "platform/win32/windows_headers.h"

namespace platform {

bool RunsUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace platform
