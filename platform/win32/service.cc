// The service control manager, a service process's side of it, and console control, on the
// Win32 calls of the same names. What is added: static trampolines that turn the system's callbacks
// into the platform's handler types, and a quick answer to "are we a service at all" (see
// IsStartedByServiceManager).
//
// Invariants:
//  1. One dispatch at a time: g_dispatch.active is set from the start of
//     StartServiceDispatcher until the system's dispatcher has returned.
//  2. The console trampoline is registered with the system once, when the first handler is
//     added, and stays: with no handler left it passes every event on.
// The error texts, the service names the manager takes and the list of console handlers are
// the backends' shared ones (platform/shared/).
// windows.h first: the headers after it build on its types.
#include "platform/win32/windows_headers.h"

#include <tlhelp32.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/service.h"
#include "platform/shared/service_common.h"

namespace platform {
namespace {

// How long the manager waits before it starts a failed service again.
constexpr DWORD kRestartDelayMs = 1000;
// After a day without failure the count of failures starts again.
constexpr DWORD kFailureResetSeconds = 24 * 60 * 60;

SC_HANDLE Native(ScHandle handle) {
  return reinterpret_cast<SC_HANDLE>(handle);
}

// A path that can stand between quotes on the manager's command line.
bool QuotablePath(const std::string& path) {
  if (path.empty()) return false;
  for (char ch : path) {
    if (ch == '"' || static_cast<unsigned char>(ch) < 0x20) return false;
  }
  return true;
}

ServiceStatus FromNative(const SERVICE_STATUS& native) {
  ServiceStatus status;
  status.service_type = native.dwServiceType;
  status.current_state = native.dwCurrentState;
  status.controls_accepted = native.dwControlsAccepted;
  status.win32_exit_code = native.dwWin32ExitCode;
  status.service_specific_exit_code = native.dwServiceSpecificExitCode;
  status.check_point = native.dwCheckPoint;
  status.wait_hint = native.dwWaitHint;
  return status;
}

// Restarts after a failure, as a service should keep serving. Not every manager keeps
// failure actions (Wine's does not), and the service works without them.
void AskForRestarts(SC_HANDLE service) {
  SC_ACTION restart{SC_ACTION_RESTART, kRestartDelayMs};
  SERVICE_FAILURE_ACTIONSA actions{};
  actions.dwResetPeriod = kFailureResetSeconds;
  actions.cActions = 1;
  actions.lpsaActions = &restart;
  ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions);
}

// StartServiceCtrlDispatcher outside the manager waits for a pipe that never comes (Wine: about
// ten seconds) before it fails. The manager is the parent of every service process it starts,
// so a process whose parent is another program is not a service, and is told so at once.
bool IsStartedByServiceManager() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return true;  // cannot tell: ask the system
  DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  bool parent_is_manager = false;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  }
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (parent != 0 && entry.th32ProcessID == parent) {
      parent_is_manager = lstrcmpiA(entry.szExeFile, "services.exe") == 0;
    }
  }
  CloseHandle(snapshot);
  return parent_is_manager;
}

// ---- Being a service ----

ServiceDispatch g_dispatch;

void WINAPI ServiceMainEntry(DWORD, LPSTR*) {
  ServiceMain service_main;
  {
    std::lock_guard<std::mutex> hold(g_dispatch.mutex);
    service_main = g_dispatch.service_main;
  }
  service_main();
}

// On the dispatcher thread, one control at a time.
void WINAPI ControlEntry(DWORD control) {
  ServiceControlHandler handler;
  {
    std::lock_guard<std::mutex> hold(g_dispatch.mutex);
    handler = g_dispatch.handler;
  }
  if (handler != nullptr) handler(control);
}

// ---- Console control ----

// On the system's control thread: FALSE lets the system take its default action, which ends
// the process.
BOOL WINAPI ConsoleEntry(DWORD event);

// Before the first handler is added (invariant 2).
bool RegisterConsoleEntry() {
  if (!::SetConsoleCtrlHandler(ConsoleEntry, TRUE)) return false;
  // A process started in a process group of its own (as ChildStart starts them) has Ctrl+C
  // turned off; one that adds a handler wants the event.
  ::SetConsoleCtrlHandler(nullptr, FALSE);
  return true;
}

// Made on first use: a handler may be added while the program's globals are made.
ConsoleHandlerList& Handlers() {
  static ConsoleHandlerList handlers(RegisterConsoleEntry);
  return handlers;
}

BOOL WINAPI ConsoleEntry(DWORD event) {
  return Handlers().Deliver(event) ? TRUE : FALSE;
}

}  // namespace

ScHandle OpenServiceManager() {
  return reinterpret_cast<ScHandle>(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

ScHandle CreateService(ScHandle manager, const ServiceConfig& config) {
  if (!ValidServiceName(config.name) || !QuotablePath(config.program_path)) {
    SetLastError(kErrorInvalidName);
    return kNoScHandle;
  }
  // Quoted, or a path with blanks would run the first word as a program.
  std::string command = "\"" + config.program_path + "\"";
  // The dependencies as one block: each name ends with a NUL, the block with another.
  std::string dependencies;
  for (const std::string& dependency : config.dependencies) {
    dependencies += dependency;
    dependencies += '\0';
  }
  dependencies += '\0';
  SC_HANDLE service = CreateServiceA(
      Native(manager), config.name.c_str(), config.display_name.c_str(), SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr,
      nullptr, config.dependencies.empty() ? nullptr : dependencies.c_str(), nullptr, nullptr);
  if (service == nullptr) return kNoScHandle;
  AskForRestarts(service);
  return reinterpret_cast<ScHandle>(service);
}

ScHandle OpenService(ScHandle manager, const std::string& name) {
  if (!ValidServiceName(name)) {
    SetLastError(kErrorInvalidName);
    return kNoScHandle;
  }
  return reinterpret_cast<ScHandle>(
      OpenServiceA(Native(manager), name.c_str(), SERVICE_ALL_ACCESS));
}

bool ControlService(ScHandle service, uint32_t control, ServiceStatus* status) {
  SERVICE_STATUS native{};
  if (!::ControlService(Native(service), control, &native)) return false;
  *status = FromNative(native);
  return true;
}

bool QueryServiceStatus(ScHandle service, ServiceStatus* status) {
  SERVICE_STATUS native{};
  if (!::QueryServiceStatus(Native(service), &native)) return false;
  *status = FromNative(native);
  return true;
}

bool DeleteService(ScHandle service) {
  return ::DeleteService(Native(service)) != 0;
}

bool CloseServiceHandle(ScHandle handle) {
  return ::CloseServiceHandle(Native(handle)) != 0;
}

bool StartServiceDispatcher(const char* name, ServiceMain service_main) {
  if (!IsStartedByServiceManager()) {
    SetLastError(kErrorFailedServiceControllerConnect);
    return false;
  }
  {
    std::lock_guard<std::mutex> hold(g_dispatch.mutex);
    if (!g_dispatch.Begin(name, service_main)) return false;
  }
  std::string table_name = name;
  SERVICE_TABLE_ENTRYA table[] = {{table_name.data(), ServiceMainEntry}, {nullptr, nullptr}};
  BOOL dispatched = StartServiceCtrlDispatcherA(table);
  DWORD error = GetLastError();
  {
    std::lock_guard<std::mutex> hold(g_dispatch.mutex);
    g_dispatch.End();
  }
  SetLastError(error);
  return dispatched != 0;
}

ServiceStatusHandle RegisterServiceCtrlHandler(const char* name, ServiceControlHandler handler) {
  {
    std::lock_guard<std::mutex> hold(g_dispatch.mutex);
    if (!g_dispatch.Register(name, handler)) return kNoServiceStatus;
  }
  return reinterpret_cast<ServiceStatusHandle>(RegisterServiceCtrlHandlerA(name, ControlEntry));
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  SERVICE_STATUS native{};
  native.dwServiceType = status.service_type;
  native.dwCurrentState = status.current_state;
  native.dwControlsAccepted = status.controls_accepted;
  native.dwWin32ExitCode = status.win32_exit_code;
  native.dwServiceSpecificExitCode = status.service_specific_exit_code;
  native.dwCheckPoint = status.check_point;
  native.dwWaitHint = status.wait_hint;
  return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &native) != 0;
}

bool SetConsoleCtrlHandler(ConsoleCtrlHandler handler, bool add) {
  return Handlers().Change(handler, add);
}

}  // namespace platform
