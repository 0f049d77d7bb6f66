// The service manager on systemd: a service is a unit file that CreateService writes and
// systemctl enables; its state is systemd's ActiveState of the unit (see service.h).
//
// Invariant: every manager or service handle handed out is in g_handles until
// CloseServiceHandle.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/error.h"
#include "platform/posix/path.h"
#include "platform/posix/posix_error.h"
#include "platform/posix/service_environment.h"
#include "platform/service.h"
#include "platform/shared/service_common.h"

namespace platform {
namespace {

constexpr char kUnitDirectory[] = "/etc/systemd/system";
// systemd's own test for "booted with systemd as init".
constexpr char kSystemdRunning[] = "/run/systemd/system";

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
  const char* root = std::getenv(kServiceRootVariable);
  return root == nullptr ? std::string() : std::string(root);
}

std::string UnitName(const ScRecord& service) {
  return service.name + ".service";
}

std::string UnitPath(const ScRecord& service) {
  return service.root + kUnitDirectory + "/" + UnitName(service);
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
}  // namespace

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

}  // namespace platform
