// A console of the process's own, made on demand for control events.
#include "platform/tools/win32/console.h"

#include "platform/win32/windows_headers.h"

#include <mutex>

namespace platform {

bool EnsureConsole(bool alone) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> hold(mutex);
  DWORD attached[2];
  DWORD count = GetConsoleProcessList(attached, 2);
  if (count == 1 || (count > 1 && !alone)) return true;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  // A process without a console may still hold a reference that AllocConsole refuses.
  FreeConsole();
  bool made = AllocConsole() != 0;
  if (made) {
    HWND window = GetConsoleWindow();
    if (window != nullptr) ShowWindow(window, SW_HIDE);
  }
  SetStdHandle(STD_INPUT_HANDLE, in);
  SetStdHandle(STD_OUTPUT_HANDLE, out);
  SetStdHandle(STD_ERROR_HANDLE, err);
  return made;
}

}  // namespace platform
