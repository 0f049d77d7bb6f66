// The service manager on systemd, a service process's status reports through NOTIFY_SOCKET,
// and console control on SIGINT / SIGTERM.
//
// Signals never run our logic: the signal handler only writes the signal's number into the
// pipe of the thread that the signal is routed to (the dispatcher thread, or the console
// control thread), and that thread calls the handlers. The pipes live as long as the process,
// so a late signal never writes into a closed or reused descriptor.
//
// Invariants:
//  1. A routed signal's handler is installed exactly while its route names a pipe; removing
//     the last route puts back the action that was there before.
//  2. One dispatch at a time: g_dispatch.active is set from the connect of the notify socket
//     until the service main has returned and the socket is closed.
//  3. Every manager or service handle handed out is in g_handles until CloseServiceHandle.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/error.h"
#include "platform/posix/path.h"
#include "platform/posix/posix_error.h"
#include "platform/service.h"
#include "platform/thread.h"

namespace platform {
namespace {

constexpr char kRootVariable[] = "PELLARY_SYSTEMD_ROOT";
constexpr char kNotifyVariable[] = "NOTIFY_SOCKET";
constexpr char kUnitDirectory[] = "/etc/systemd/system";
// systemd's own test for "booted with systemd as init".
constexpr char kSystemdRunning[] = "/run/systemd/system";

struct ErrorText {
  uint32_t code;
  const char* text;
};

constexpr ErrorText kServiceTexts[] = {
    {kErrorInvalidName, "The filename, directory name, or volume label syntax is incorrect."},
    {kErrorInvalidServiceControl, "The requested control is not valid for this service."},
    {kErrorServiceAlreadyRunning, "An instance of the service is already running."},
    {kErrorServiceDoesNotExist, "The specified service does not exist as an installed service."},
    {kErrorServiceCannotAcceptCtrl, "The service cannot accept control messages at this time."},
    {kErrorServiceNotActive, "The service has not been started."},
    {kErrorFailedServiceControllerConnect,
     "The service process could not connect to the service controller."},
    {kErrorServiceExists, "The specified service already exists."},
    {kErrorRpcServerUnavailable, "The RPC server is unavailable."},
};

// ---- Signal routes and control pipes ----

struct SignalRoute {
  int signal;
  std::atomic<int> write_fd{-1};
  bool installed = false;
  struct sigaction previous {};
};

SignalRoute g_routes[] = {{SIGINT}, {SIGTERM}};
std::mutex g_route_mutex;

SignalRoute& RouteOf(int signal) {
  return signal == SIGINT ? g_routes[0] : g_routes[1];
}

// Async-signal-safe: one write, errno kept.
void OnControlSignal(int signal) {
  int saved = errno;
  int fd = RouteOf(signal).write_fd.load();
  unsigned char byte = static_cast<unsigned char>(signal);
  if (fd >= 0) (void)!write(fd, &byte, 1);
  errno = saved;
}

// Sends `signal` to `write_fd` from now on (-1: nowhere, the earlier action again); gives the
// route it replaces.
int RouteSignal(int signal, int write_fd) {
  std::lock_guard<std::mutex> hold(g_route_mutex);
  SignalRoute& route = RouteOf(signal);
  int previous = route.write_fd.exchange(write_fd);
  if (write_fd >= 0 && !route.installed) {
    struct sigaction action {};
    action.sa_handler = OnControlSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, &route.previous);
    route.installed = true;
  } else if (write_fd < 0 && route.installed) {
    sigaction(signal, &route.previous, nullptr);
    route.installed = false;
  }
  return previous;
}

bool InheritedAsIgnored(int signal) {
  struct sigaction current {};
  sigaction(signal, nullptr, &current);
  return !RouteOf(signal).installed && current.sa_handler == SIG_IGN;
}

// What the system does with a signal nobody handles: usually the end of the process.
void TakeDefaultAction(int signal) {
  {
    std::lock_guard<std::mutex> hold(g_route_mutex);
    RouteOf(signal).write_fd.store(-1);
    RouteOf(signal).installed = false;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
  kill(getpid(), signal);
}

struct ControlPipe {
  int read_fd = -1;
  int write_fd = -1;
};

bool OpenControlPipe(ControlPipe* control) {
  if (control->read_fd >= 0) return true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  control->read_fd = fds[0];
  control->write_fd = fds[1];
  return true;
}

void WriteControlByte(const ControlPipe& control, unsigned char byte) {
  while (write(control.write_fd, &byte, 1) < 0 && errno == EINTR) {
  }
}

// The next byte of the pipe, waiting as long as it takes; -1 when the pipe broke.
int NextControlByte(const ControlPipe& control) {
  for (;;) {
    unsigned char byte = 0;
    ssize_t n = read(control.read_fd, &byte, 1);
    if (n == 1) return byte;
    if (n < 0 && errno == EAGAIN) {
      pollfd wait{control.read_fd, POLLIN, 0};
      poll(&wait, 1, -1);
    } else if (n == 0 || errno != EINTR) {
      return -1;
    }
  }
}

// Signals that reached a dispatch after its service main ended are not for the next one.
void DrainControlPipe(const ControlPipe& control) {
  unsigned char bytes[64];
  while (read(control.read_fd, bytes, sizeof bytes) > 0) {
  }
}

// ---- The service manager: unit files and systemctl ----

struct ScRecord {
  bool is_service = false;
  std::string root;  // "" for the running system
  std::string name;  // services only
};

std::mutex g_handles_mutex;
std::set<ScRecord*> g_handles;

ScHandle NewHandle(const ScRecord& record) {
  ScRecord* made = new ScRecord(record);
  std::lock_guard<std::mutex> hold(g_handles_mutex);
  g_handles.insert(made);
  return reinterpret_cast<ScHandle>(made);
}

// The record of a live handle of the wanted kind, else null with error 6.
const ScRecord* RecordOf(ScHandle handle, bool want_service) {
  ScRecord* record = reinterpret_cast<ScRecord*>(handle);
  std::lock_guard<std::mutex> hold(g_handles_mutex);
  if (g_handles.count(record) == 0 || record->is_service != want_service) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  return record;
}

std::string ManagerRoot() {
  const char* root = std::getenv(kRootVariable);
  return root == nullptr ? std::string() : std::string(root);
}

std::string UnitName(const ScRecord& service) {
  return service.name + ".service";
}

std::string UnitPath(const ScRecord& service) {
  return service.root + kUnitDirectory + "/" + UnitName(service);
}

bool ValidServiceName(const std::string& name) {
  if (name.empty() || name.size() > 200) return false;
  for (char ch : name) {
    bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
    if (!plain && std::strchr("_-.:", ch) == nullptr) return false;
  }
  return true;
}

bool IsDirectory(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// Reads `fd` to its end into *output, then closes it.
void ReadToEnd(int fd, std::string* output) {
  char buffer[512];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) output->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
}

// Runs systemctl (below `root` when there is one) and waits for it; its standard output goes
// to *output when given, its errors to ours so that people see systemd's reason. False with
// the last error set unless it ran and succeeded.
bool Systemctl(const std::string& root, const std::vector<std::string>& arguments,
               std::string* output = nullptr) {
  std::vector<std::string> words = {"systemctl"};
  if (!root.empty()) words.push_back("--root=" + root);
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  int out[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output != nullptr && pipe2(out, O_CLOEXEC) == 0) {
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  }
  pid_t pid = 0;
  int failed = posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (out[1] >= 0) close(out[1]);
  if (out[0] >= 0) ReadToEnd(out[0], output);
  if (failed != 0) {
    SetLastErrorFromErrno(failed);
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  SetLastError(kErrorGenFailure);
  return false;
}

// A value of a unit file: systemd expands "%" specifiers everywhere.
std::string UnitValue(const std::string& text) {
  std::string value;
  for (char ch : text) {
    if (ch == '%') value += '%';
    value += ch;
  }
  return value;
}

std::string UnitOfDependency(const std::string& dependency) {
  if (EqualNoCase(dependency, "RPCSS")) return "network-online.target";
  return dependency + ".service";
}

// Control characters, or any of `refused`.
bool HasRefused(const std::string& text, const char* refused) {
  for (char ch : text) {
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F || std::strchr(refused, ch)) {
      return true;
    }
  }
  return false;
}

// The unit file of a service; false (123) for a program path that systemd would not run, 87
// for a display name that a unit line cannot carry.
bool UnitText(const ServiceConfig& config, std::string* text) {
  const std::string& program = config.program_path;
  size_t slash = program.rfind('/');
  // systemd runs no program whose path holds quotes or backslashes.
  if (slash == std::string::npos || HasRefused(program, "\"'\\")) {
    SetLastError(kErrorInvalidName);
    return false;
  }
  if (HasRefused(config.display_name, "")) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  *text = "# The service " + config.name + ", written when it was installed.\n";
  *text += "[Unit]\nDescription=" + UnitValue(config.display_name) + "\n";
  for (const std::string& dependency : config.dependencies) {
    std::string unit = UnitOfDependency(dependency);
    *text += "Wants=" + unit + "\nAfter=" + unit + "\n";
  }
  *text += "\n[Service]\nType=notify\nNotifyAccess=main\n";
  // Quoted for blanks; "$" is not expanded in the program's own path.
  *text += "ExecStart=\"" + UnitValue(program) + "\"\n";
  // With its final '/': a value's trailing blanks would be cut.
  *text += "WorkingDirectory=" + UnitValue(program.substr(0, slash + 1)) + "\n";
  *text += "KillSignal=SIGTERM\nRestart=on-failure\n";
  *text += "\n[Install]\nWantedBy=multi-user.target\n";
  return true;
}

// Creates `path` with `text`; an existing file is kErrorServiceExists.
bool WriteNewUnit(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) {
      SetLastError(kErrorServiceExists);
    } else {
      SetLastErrorForPath(errno, path);
    }
    return false;
  }
  size_t done = 0;
  int err = 0;
  while (done < text.size() && err == 0) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n > 0) done += static_cast<size_t>(n);
    if (n < 0 && errno != EINTR) err = errno;
    if (n == 0) err = ENOSPC;  // a short write without an error: the disk is full
  }
  close(fd);
  if (err == 0) return true;
  SetLastErrorFromErrno(err);
  unlink(path.c_str());
  return false;
}

uint32_t StateOfActiveState(const std::string& active_state) {
  if (active_state == "active" || active_state == "reloading" || active_state == "refreshing") {
    return kServiceRunning;
  }
  if (active_state == "activating") return kServiceStartPending;
  if (active_state == "deactivating") return kServiceStopPending;
  return kServiceStopped;  // inactive, failed, maintenance
}

bool QueryState(const ScRecord& service, uint32_t* state) {
  *state = kServiceStopped;  // nothing runs in another root
  if (!service.root.empty()) return true;
  std::string output;
  if (!Systemctl("", {"show", "--property=ActiveState", "--value", UnitName(service)}, &output)) {
    return false;
  }
  while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
  *state = StateOfActiveState(output);
  return true;
}

void FillStatus(uint32_t state, ServiceStatus* status) {
  *status = ServiceStatus();
  status->service_type = kServiceWin32OwnProcess;
  status->current_state = state;
  status->controls_accepted = state == kServiceRunning ? kServiceAcceptStop : 0;
}

// ---- Being a service: the notify socket and the dispatcher ----

struct Dispatch {
  std::mutex mutex;
  bool active = false;
  std::string name;
  ServiceMain service_main = nullptr;
  ServiceControlHandler handler = nullptr;
  int notify_fd = -1;
  ControlPipe pipe;
  // systemd cannot be told that the service refuses a stop now, so a SIGTERM that comes while
  // the last report accepted no stop is held until a report accepts it.
  bool accepts_stop = false;
  bool stop_held = false;
};

Dispatch g_dispatch;
constexpr unsigned char kServiceMainReturned = 0;

// NOTIFY_SOCKET: a socket path, or "@name" in the abstract namespace.
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

// The manager's socket, connected; -1 with kErrorFailedServiceControllerConnect.
int ConnectNotifySocket() {
  sockaddr_un address;
  socklen_t length = 0;
  int fd = -1;
  if (NotifyAddress(std::getenv(kNotifyVariable), &address, &length)) {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) SetLastError(kErrorFailedServiceControllerConnect);
  return fd;
}

bool BeginDispatch(const char* name, ServiceMain service_main, int notify_fd) {
  std::lock_guard<std::mutex> hold(g_dispatch.mutex);
  if (g_dispatch.active) {
    SetLastError(kErrorServiceAlreadyRunning);
    return false;
  }
  if (!OpenControlPipe(&g_dispatch.pipe)) return false;
  DrainControlPipe(g_dispatch.pipe);
  g_dispatch.active = true;
  g_dispatch.name = name;
  g_dispatch.service_main = service_main;
  g_dispatch.handler = nullptr;
  g_dispatch.notify_fd = notify_fd;
  g_dispatch.accepts_stop = false;
  g_dispatch.stop_held = false;
  return true;
}

void EndDispatch() {
  std::lock_guard<std::mutex> hold(g_dispatch.mutex);
  close(g_dispatch.notify_fd);
  g_dispatch.notify_fd = -1;
  g_dispatch.handler = nullptr;
  g_dispatch.active = false;
}

uint32_t RunServiceMain(void*) {
  g_dispatch.service_main();
  WriteControlByte(g_dispatch.pipe, kServiceMainReturned);
  return 0;
}

// The dispatcher thread's loop: every SIGTERM is a stop control, until the service main ends.
void DeliverServiceControls() {
  for (;;) {
    int byte = NextControlByte(g_dispatch.pipe);
    if (byte < 0 || byte == kServiceMainReturned) return;
    ServiceControlHandler handler = nullptr;
    {
      std::lock_guard<std::mutex> hold(g_dispatch.mutex);
      if (g_dispatch.handler != nullptr && g_dispatch.accepts_stop) {
        handler = g_dispatch.handler;
      } else {
        g_dispatch.stop_held = true;
      }
    }
    if (handler != nullptr) handler(kServiceControlStop);
  }
}

// What systemd hears of a state: READY=1 and STOPPING=1 where they apply, a status line for
// `systemctl status`, and the wait hint as the time until the next report.
std::string NotifyMessage(const ServiceStatus& status) {
  char text[200];
  bool pending = false;
  switch (status.current_state) {
    case kServiceStartPending:
    case kServiceStopPending:
      pending = true;
      std::snprintf(text, sizeof text, "%sSTATUS=%s pending, check point %u, wait hint %u ms",
                    status.current_state == kServiceStopPending ? "STOPPING=1\n" : "",
                    status.current_state == kServiceStopPending ? "Stop" : "Start",
                    status.check_point, status.wait_hint);
      break;
    case kServiceRunning:
      std::snprintf(text, sizeof text, "READY=1\nSTATUS=Running");
      break;
    case kServiceStopped:
      std::snprintf(text, sizeof text, "STATUS=Stopped, exit code %u", status.win32_exit_code);
      break;
    default:
      std::snprintf(text, sizeof text, "STATUS=State %u", status.current_state);
  }
  std::string message = text;
  if (pending && status.wait_hint > 0) {
    message += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{status.wait_hint} * 1000);
  }
  return message;
}

// ---- Console control ----

struct ConsoleControl {
  std::mutex mutex;
  std::vector<ConsoleCtrlHandler> handlers;
  bool started = false;
  ControlPipe pipe;
};

ConsoleControl g_console;

void DeliverConsoleEvent(int signal) {
  uint32_t event = signal == SIGINT ? kCtrlCEvent : kCtrlBreakEvent;
  std::vector<ConsoleCtrlHandler> handlers;
  {
    std::lock_guard<std::mutex> hold(g_console.mutex);
    handlers = g_console.handlers;
  }
  for (auto handler = handlers.rbegin(); handler != handlers.rend(); ++handler) {
    if ((*handler)(event)) return;
  }
  TakeDefaultAction(signal);
}

uint32_t ConsoleControlThread(void*) {
  for (;;) {
    int signal = NextControlByte(g_console.pipe);
    if (signal < 0) return 1;
    DeliverConsoleEvent(signal);
  }
}

// Under g_console.mutex.
bool StartConsoleControl() {
  if (!OpenControlPipe(&g_console.pipe)) return false;
  uint64_t thread_id = 0;
  ThreadHandle thread = ThreadCreate(0, ConsoleControlThread, nullptr, 0, &thread_id);
  if (thread == kNoThread) return false;
  ThreadClose(thread);
  if (!InheritedAsIgnored(SIGINT)) RouteSignal(SIGINT, g_console.pipe.write_fd);
  RouteSignal(SIGTERM, g_console.pipe.write_fd);
  g_console.started = true;
  return true;
}

void SetVariable(const char* name, const std::string& value) {
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
}

}  // namespace

const char* ServiceErrorText(uint32_t code) {
  for (const ErrorText& entry : kServiceTexts) {
    if (entry.code == code) return entry.text;
  }
  return SystemErrorText(code);
}

ScHandle OpenServiceManager() {
  std::string root = ManagerRoot();
  if (root.empty() && !IsDirectory(kSystemdRunning)) {
    SetLastError(kErrorRpcServerUnavailable);
    return kNoScHandle;
  }
  std::string directory = root + kUnitDirectory;
  if (access(directory.c_str(), W_OK) != 0) {
    SetLastErrorForPath(errno, directory);
    return kNoScHandle;
  }
  return NewHandle(ScRecord{false, root, ""});
}

ScHandle CreateService(ScHandle manager, const ServiceConfig& config) {
  const ScRecord* owner = RecordOf(manager, false);
  if (owner == nullptr) return kNoScHandle;
  if (!ValidServiceName(config.name)) {
    SetLastError(kErrorInvalidName);
    return kNoScHandle;
  }
  ScRecord service{true, owner->root, config.name};
  std::string text;
  if (!UnitText(config, &text) || !WriteNewUnit(UnitPath(service), text)) return kNoScHandle;
  if (!Systemctl(service.root, {"--quiet", "enable", UnitName(service)})) {
    unlink(UnitPath(service).c_str());
    return kNoScHandle;
  }
  return NewHandle(service);
}

ScHandle OpenService(ScHandle manager, const std::string& name) {
  const ScRecord* owner = RecordOf(manager, false);
  if (owner == nullptr) return kNoScHandle;
  if (!ValidServiceName(name)) {
    SetLastError(kErrorInvalidName);
    return kNoScHandle;
  }
  ScRecord service{true, owner->root, name};
  struct stat info {};
  if (stat(UnitPath(service).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    SetLastError(kErrorServiceDoesNotExist);
    return kNoScHandle;
  }
  return NewHandle(service);
}

bool QueryServiceStatus(ScHandle service, ServiceStatus* status) {
  const ScRecord* record = RecordOf(service, true);
  uint32_t state = kServiceStopped;
  if (record == nullptr || !QueryState(*record, &state)) return false;
  FillStatus(state, status);
  return true;
}

bool ControlService(ScHandle service, uint32_t control, ServiceStatus* status) {
  const ScRecord* record = RecordOf(service, true);
  if (record != nullptr && control != kServiceControlStop) {
    SetLastError(kErrorInvalidServiceControl);
    return false;
  }
  if (record == nullptr || !QueryServiceStatus(service, status)) return false;
  if (status->current_state != kServiceRunning) {
    bool stopped = status->current_state == kServiceStopped;
    SetLastError(stopped ? kErrorServiceNotActive : kErrorServiceCannotAcceptCtrl);
    return false;
  }
  if (!Systemctl(record->root, {"--no-block", "stop", UnitName(*record)})) return false;
  if (!QueryServiceStatus(service, status)) return false;
  // The stop is queued; systemd may not have begun it yet.
  if (status->current_state == kServiceRunning) FillStatus(kServiceStopPending, status);
  return true;
}

bool DeleteService(ScHandle service) {
  const ScRecord* record = RecordOf(service, true);
  if (record == nullptr) return false;
  if (!Systemctl(record->root, {"--quiet", "disable", UnitName(*record)})) return false;
  if (unlink(UnitPath(*record).c_str()) != 0) {
    if (errno == ENOENT) {
      SetLastError(kErrorServiceDoesNotExist);
    } else {
      SetLastErrorFromErrno(errno);
    }
    return false;
  }
  // systemd forgets the deleted unit; a tree below another root has no manager to tell.
  return !record->root.empty() || Systemctl("", {"daemon-reload"});
}

bool CloseServiceHandle(ScHandle handle) {
  ScRecord* record = reinterpret_cast<ScRecord*>(handle);
  {
    std::lock_guard<std::mutex> hold(g_handles_mutex);
    if (g_handles.erase(record) == 0) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
  }
  delete record;
  return true;
}

bool StartServiceDispatcher(const char* name, ServiceMain service_main) {
  int notify_fd = ConnectNotifySocket();
  if (notify_fd < 0) return false;
  if (!BeginDispatch(name, service_main, notify_fd)) {
    close(notify_fd);
    return false;
  }
  int previous_route = RouteSignal(SIGTERM, g_dispatch.pipe.write_fd);
  uint64_t thread_id = 0;
  ThreadHandle thread = ThreadCreate(0, RunServiceMain, nullptr, 0, &thread_id);
  if (thread != kNoThread) {
    DeliverServiceControls();
    ThreadWait(thread, kInfinite);
    ThreadClose(thread);
  }
  RouteSignal(SIGTERM, previous_route);
  EndDispatch();
  return thread != kNoThread;
}

ServiceStatusHandle RegisterServiceCtrlHandler(const char* name, ServiceControlHandler handler) {
  std::lock_guard<std::mutex> hold(g_dispatch.mutex);
  if (handler == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return kNoServiceStatus;
  }
  if (!g_dispatch.active || g_dispatch.name != name) {
    SetLastError(kErrorServiceDoesNotExist);
    return kNoServiceStatus;
  }
  g_dispatch.handler = handler;
  return reinterpret_cast<ServiceStatusHandle>(&g_dispatch);
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  std::string message = NotifyMessage(status);
  std::lock_guard<std::mutex> hold(g_dispatch.mutex);
  if (handle != reinterpret_cast<ServiceStatusHandle>(&g_dispatch) || !g_dispatch.active) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  ssize_t sent;
  do {
    sent = send(g_dispatch.notify_fd, message.data(), message.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(message.size())) {
    SetLastErrorFromErrno(sent < 0 ? errno : EIO);
    return false;
  }
  g_dispatch.accepts_stop = (status.controls_accepted & kServiceAcceptStop) != 0;
  if (g_dispatch.accepts_stop && g_dispatch.stop_held && status.current_state != kServiceStopped) {
    g_dispatch.stop_held = false;
    WriteControlByte(g_dispatch.pipe, SIGTERM);  // to the dispatcher thread again
  }
  return true;
}

bool SetConsoleCtrlHandler(ConsoleCtrlHandler handler, bool add) {
  if (handler == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  std::lock_guard<std::mutex> hold(g_console.mutex);
  std::vector<ConsoleCtrlHandler>& handlers = g_console.handlers;
  if (!add) {
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
      if (*it != handler) continue;
      handlers.erase(std::next(it).base());
      return true;
    }
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (!g_console.started && !StartConsoleControl()) return false;
  handlers.push_back(handler);
  return true;
}

bool RaiseConsoleCtrlEvent(uint32_t event) {
  if (event != kCtrlCEvent && event != kCtrlBreakEvent) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (raise(event == kCtrlCEvent ? SIGINT : SIGTERM) == 0) return true;
  SetLastErrorFromErrno(errno);
  return false;
}

void SetServiceManagerRoot(const std::string& root) {
  SetVariable(kRootVariable, root);
}

void SetServiceNotifyAddress(const std::string& address) {
  SetVariable(kNotifyVariable, address);
}

ServiceNotifyListener::~ServiceNotifyListener() {
  if (socket_ < 0) return;
  close(static_cast<int>(socket_));
  unlink(path_.c_str());
}

bool ServiceNotifyListener::Open(const std::string& path) {
  sockaddr_un address;
  socklen_t length = 0;
  if (socket_ >= 0 || path.empty() || path[0] != '/' ||
      !NotifyAddress(path.c_str(), &address, &length)) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    SetLastErrorFromErrno(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  socket_ = fd;
  path_ = path;
  return true;
}

bool ServiceNotifyListener::Receive(std::string* report, uint32_t timeout_ms) {
  if (socket_ < 0) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  pollfd wait{static_cast<int>(socket_), POLLIN, 0};
  int ready;
  do {
    ready = poll(&wait, 1, static_cast<int>(timeout_ms));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  char buffer[4096];
  ssize_t n = recv(static_cast<int>(socket_), buffer, sizeof buffer, 0);
  if (n < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  report->assign(buffer, static_cast<size_t>(n));
  return true;
}

}  // namespace platform
