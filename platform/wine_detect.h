// For the platform tests: whether this Windows build runs under Wine, whose missing pieces a
// few tests must step around (each says which). On Windows it brings in windows.h without the
// macros that would rename the platform's functions of the same names.
#pragma once

#ifdef _WIN32
#include "platform/win32/windows_headers.h"
#endif

namespace platform {

// Wine's ntdll exports its version; the one of Windows does not.
inline bool RunsUnderWine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace platform
