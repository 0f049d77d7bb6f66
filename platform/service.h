// The service manager, a service process's side of it, and console control events, in the
// terms of the Win32 service control manager: handles, states, controls and error numbers.
//
// Three groups, each usable from any thread unless it says otherwise:
//  - Managing services (install, remove, stop, query): OpenServiceManager gives a manager
//    handle; CreateService and OpenService give service handles; CloseServiceHandle frees
//    either. A handle belongs to the thread that opened it until closed.
//  - Being a service: StartServiceDispatcher blocks the calling thread (the dispatcher) and
//    runs the service main on a thread of its own. The control handler that the service main
//    registers runs on the dispatcher thread, never in a signal handler. SetServiceStatus may
//    be called from the service main and the control handler at the same time.
//  - Console control: handlers run on a control thread of their own, never in a signal
//    handler, so they may print and take locks.
//
// Invariants:
//  1. Every failing call leaves a Win32 number in LastError(): the file numbers of error.h,
//     or one of the service manager's numbers below.
//  2. StartServiceDispatcher fails at once with kErrorFailedServiceControllerConnect when the
//     process was not started by the service manager; nothing else has happened then.
//  3. A handler returns before the next control reaches it: controls are delivered one at a
//     time, in the order they came.
//
// POSIX backend (systemd):
//  - A service is the unit "<name>.service" in /etc/systemd/system, written by CreateService
//    and enabled with systemctl; DeleteService disables and deletes it. The manager is
//    reachable when systemd runs as the init system (else OpenServiceManager fails with
//    kErrorRpcServerUnavailable) and the unit directory is writable (else 5).
//  - PELLARY_SYSTEMD_ROOT, when set, names another root: units go to
//    <root>/etc/systemd/system (which must exist) and systemctl works there with --root,
//    without the running system. Nothing runs in such a tree, so its services are always
//    stopped. Used to prepare images and by the tests (platform/tools/service_stand_in.h).
//  - A process is a service when NOTIFY_SOCKET names the manager's datagram socket; the
//    status reports go there (START_PENDING, RUNNING with READY=1, STOP_PENDING with
//    STOPPING=1, STOPPED, each with a STATUS= text; a wait hint extends systemd's time-out).
//    SIGTERM is the stop control; systemd sends it whenever it likes, so one that comes while
//    the last report accepted no stop (START_PENDING) waits until a report accepts stop.
//  - Console: SIGINT is kCtrlCEvent and SIGTERM kCtrlBreakEvent. When no handler takes an
//    event, the signal's default action ends the process. A signal that the process inherited
//    as ignored stays ignored (a shell's background job ignores SIGINT). SIGHUP is the close
//    event and is not delivered: it keeps its own action, which ends the process.
//
// Windows backend: the service control manager itself. CreateService registers an
// own-process service started automatically, its program path quoted, its dependencies as the
// manager's list, and asks for a restart after a failure (a manager that keeps no failure
// actions, as Wine's, leaves it out). The manager runs services in its own directory, not in
// the program's. A process is a service when the manager started it, which its parent
// (services.exe) tells. Ctrl+C: a process started in a process group of its own (as ChildStart
// starts them, or `start /b`) has it turned off; adding the first handler turns it on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

inline constexpr uint32_t kServiceWin32OwnProcess = 0x10;

// Service states.
enum : uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
};

inline constexpr uint32_t kServiceAcceptStop = 1;
// Controls.
inline constexpr uint32_t kServiceControlStop = 1;
inline constexpr uint32_t kServiceControlInterrogate = 4;

// The service manager's error numbers.
enum : uint32_t {
  kErrorInvalidName = 123,
  kErrorInvalidServiceControl = 1052,
  kErrorServiceAlreadyRunning = 1056,
  kErrorServiceDoesNotExist = 1060,
  kErrorServiceCannotAcceptCtrl = 1061,
  kErrorServiceNotActive = 1062,
  kErrorFailedServiceControllerConnect = 1063,
  kErrorServiceExists = 1073,
  kErrorRpcServerUnavailable = 1722,
};

// The system's text for an error number, the service manager's numbers included (others as
// SystemErrorText gives them).
const char* ServiceErrorText(uint32_t code);

// SERVICE_STATUS.
struct ServiceStatus {
  uint32_t service_type = 0;
  uint32_t current_state = 0;
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_specific_exit_code = 0;
  uint32_t check_point = 0;
  uint32_t wait_hint = 0;
};

// What CreateService records: an own-process service started automatically at boot, restarted
// when it fails, run as the system's account in the directory of its program.
struct ServiceConfig {
  std::string name;          // the manager's key; letters, digits and "_-.:" only
  std::string display_name;  // shown to people
  std::string program_path;  // the executable as ProgramPath gives it; run without arguments
  // Services (by their Win32 names) to start after. POSIX: "RPCSS", which networked services
  // wait for, is the network being up (network-online.target); any other name X is X.service.
  std::vector<std::string> dependencies;
};

using ScHandle = intptr_t;
inline constexpr ScHandle kNoScHandle = 0;

// kNoScHandle on failure.
ScHandle OpenServiceManager();
// Fails with kErrorServiceExists when the service is there already, kErrorInvalidName for a
// name or program path that the manager cannot take (POSIX: quotes, backslashes or control
// characters in the path).
ScHandle CreateService(ScHandle manager, const ServiceConfig& config);
ScHandle OpenService(ScHandle manager, const std::string& name);
// Sends a control; *status is the state afterwards. Fails with kErrorServiceNotActive when the
// service is stopped, kErrorServiceCannotAcceptCtrl while it starts or stops.
bool ControlService(ScHandle service, uint32_t control, ServiceStatus* status);
bool QueryServiceStatus(ScHandle service, ServiceStatus* status);
bool DeleteService(ScHandle service);
bool CloseServiceHandle(ScHandle handle);

// Closes a manager or service handle when it goes out of scope.
class ScopedScHandle {
 public:
  explicit ScopedScHandle(ScHandle handle) : handle_(handle) {}
  ~ScopedScHandle() {
    if (handle_ != kNoScHandle) CloseServiceHandle(handle_);
  }
  ScopedScHandle(const ScopedScHandle&) = delete;
  ScopedScHandle& operator=(const ScopedScHandle&) = delete;
  ScHandle get() const { return handle_; }
  explicit operator bool() const { return handle_ != kNoScHandle; }

 private:
  ScHandle handle_;
};

using ServiceMain = void (*)();
using ServiceControlHandler = void (*)(uint32_t control);
using ServiceStatusHandle = intptr_t;
inline constexpr ServiceStatusHandle kNoServiceStatus = 0;

// Runs `service_main` as the service `name` and returns true once it has returned; false at
// once when this process is not a service (see invariant 2) or already dispatches.
bool StartServiceDispatcher(const char* name, ServiceMain service_main);
// From the service main: where controls for `name` go. kNoServiceStatus (1060) outside a
// dispatch or for another name.
ServiceStatusHandle RegisterServiceCtrlHandler(const char* name, ServiceControlHandler handler);
bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// Console control events.
enum : uint32_t {
  kCtrlCEvent = 0,
  kCtrlBreakEvent = 1,
  kCtrlCloseEvent = 2,
};
// True when the handler took the event; false passes it to the handler added before, and
// after the first to the default action.
using ConsoleCtrlHandler = bool (*)(uint32_t event);
// Adds (the last added is asked first) or removes a handler; false (87) for a null handler or
// one that was not added.
bool SetConsoleCtrlHandler(ConsoleCtrlHandler handler, bool add);

}  // namespace platform
