// The service host: the command line, the console and service runs, and the handlers through
// which the platform's control threads reach the host.
//
// The platform calls handlers without a context, so the one host of the process is reached
// through g_host, set for exactly the life of RunServiceHost.
#include "service/servicehost.h"

#include <atomic>

#include "foundation/cstring.h"
#include "platform/service.h"
#include "runtime/dumpstack.h"
#include "service/install.h"
#include "service/statusreport.h"

namespace {

constexpr char kUnit[] = "servicehost";
constexpr uint32_t kStartWaitHint = 3000;
constexpr uint32_t kNoError = 0;

bool IsOption(const char* argument, const char* name) {
  if (argument[0] != '-' && argument[0] != '/') return false;
  return CString(argument + 1).CompareNoCase(name) == 0;
}

class ServiceHost;
std::atomic<ServiceHost*> g_host{nullptr};

class ServiceHost {
 public:
  ServiceHost(const ServiceApplication& app, std::FILE* out)
      : app_(app),
        out_(out),
        reporter_(
            kServiceName,
            [this](const platform::ServiceStatus& status) {
              return platform::SetServiceStatus(status_handle_.load(), status);
            },
            [](const std::string& error_line, const char* message) {
              WriteEventLog(kServiceName, error_line, message);
            }) {
    ServiceHost* none = nullptr;
    FATAL_CHECK(g_host.compare_exchange_strong(none, this));
  }
  ~ServiceHost() { g_host.store(nullptr); }

  void Run(HostCommand command) {
    switch (command) {
      case HostCommand::kInstall:
        InstallService(out_);
        break;
      case HostCommand::kRemove:
        RemoveService(out_);
        break;
      case HostCommand::kDebug:
        RunAsConsole("Debug ");
        break;
      case HostCommand::kConsole:
        RunAsConsole("");
        break;
      case HostCommand::kDispatch:
        PrintUsage(out_);
        std::fflush(out_);
        Dispatch();
        break;
    }
  }

 private:
  static void ServiceMainEntry() { g_host.load()->ServiceMain(); }
  static void ControlEntry(uint32_t control) { g_host.load()->OnControl(control); }
  // A console event after the host has gone is not ours to take.
  static bool ConsoleEntry(uint32_t event) {
    ServiceHost* host = g_host.load();
    return host != nullptr && host->OnConsoleEvent(event);
  }

  void RunAsConsole(const char* banner_prefix) {
    reporter_.SetDebug();
    std::fprintf(out_, "%s%s\n", banner_prefix, kDisplayName);
    platform::SetConsoleCtrlHandler(&ConsoleEntry, true);
    StartAndServe();
  }

  void Dispatch() {
    if (!platform::StartServiceDispatcher(kServiceName, &ServiceMainEntry)) {
      reporter_.AddToMessageLog("StartServiceCtrlDispatcher failed.");
    }
  }

  // On the service thread.
  void ServiceMain() {
    status_handle_.store(platform::RegisterServiceCtrlHandler(kServiceName, &ControlEntry));
    if (status_handle_.load() == platform::kNoServiceStatus) return;
    StartAndServe();
    reporter_.ReportStatus(platform::kServiceStopped, reporter_.last_error(), 0);
  }

  // The application main runs only when every report before it reached the manager.
  void StartAndServe() {
    if (reporter_.ReportStatus(platform::kServiceStartPending, kNoError, kStartWaitHint) &&
        reporter_.ReportStatus(platform::kServiceStartPending, kNoError, kStartWaitHint) &&
        reporter_.ReportStatus(platform::kServiceRunning, kNoError, 0)) {
      app_.main(0, nullptr);
    }
  }

  // On the dispatcher thread.
  void OnControl(uint32_t control) {
    if (control != platform::kServiceControlStop) {
      reporter_.ReportCurrentStatus();
      return;
    }
    reporter_.ReportStatus(platform::kServiceStopPending, kNoError, 0);
    app_.stop();
  }

  // On the console control thread.
  bool OnConsoleEvent(uint32_t event) {
    if (event != platform::kCtrlCEvent && event != platform::kCtrlBreakEvent) return false;
    std::fprintf(out_, "Stopping %s.\n", kDisplayName);
    std::fflush(out_);
    app_.stop();
    return true;
  }

  const ServiceApplication app_;
  std::FILE* const out_;
  std::atomic<platform::ServiceStatusHandle> status_handle_{platform::kNoServiceStatus};
  ServiceReporter reporter_;
};

}  // namespace

HostCommand ParseCommandLine(int argc, char** argv) {
  if (argc < 2 || argv[1] == nullptr) return HostCommand::kDispatch;
  if (IsOption(argv[1], "install")) return HostCommand::kInstall;
  if (IsOption(argv[1], "remove")) return HostCommand::kRemove;
  if (IsOption(argv[1], "debug")) return HostCommand::kDebug;
  if (IsOption(argv[1], "console")) return HostCommand::kConsole;
  return HostCommand::kDispatch;
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "%s -install          to install the service\n", kProgramName);
  std::fprintf(out, "%s -remove           to remove the service\n", kProgramName);
  std::fprintf(out, "%s -debug <params>   to run as a console app for debugging\n", kProgramName);
  std::fprintf(out, "%s -console <params> to run as a console app  \n", kProgramName);
  std::fprintf(out, "This may take several seconds.  Please wait.\n");
}

int RunServiceHost(int argc, char** argv, const ServiceApplication& app, std::FILE* out) {
  FATAL_CHECK(app.main != nullptr && app.stop != nullptr && out != nullptr);
  ServiceHost host(app, out);
  host.Run(ParseCommandLine(argc, argv));
  return 0;
}
