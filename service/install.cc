// Installing and removing the service: the steps and their console messages.
#include "service/install.h"

#include <string>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/service.h"
#include "platform/text.h"
#include "service/servicehost.h"
#include "service/statusreport.h"

namespace {

// The messages that people read in their own language (UTF-8 here).
constexpr char kInstalled[] =
    NATIVE_TEXT("%s 安装成功.\n", "%s \xb0\xb2\xd7\xb0\xb3\xc9\xb9\xa6.\n");
constexpr char kStopping[] = NATIVE_TEXT("试图关闭 %s.", "\xca\xd4\xcd\xbc\xb9\xd8\xb1\xd5 %s.");
constexpr char kStopped[] =
    NATIVE_TEXT("\n%s 关闭成功.\n", "\n%s \xb9\xd8\xb1\xd5\xb3\xc9\xb9\xa6.\n");
constexpr char kRemoved[] = NATIVE_TEXT("%s 拆除成功.\n", "%s \xb2\xf0\xb3\xfd\xb3\xc9\xb9\xa6.\n");

constexpr uint32_t kStopPollMs = 1000;
// The service waits for the RPC endpoint service, which on Linux means the network.
const char* const kDependency = "RPCSS";

void PrintFailure(std::FILE* out, const char* step) {
  std::fprintf(out, "%s failed - %s\n", step, LastErrorText().c_str());
}

// Sends the stop control and waits while the service stops; silent when it was not running.
void StopBeforeRemoving(std::FILE* out, platform::ScHandle service) {
  platform::ServiceStatus status;
  if (!platform::ControlService(service, platform::kServiceControlStop, &status)) return;
  std::fprintf(out, kStopping, kDisplayName);
  std::fflush(out);
  platform::SleepMs(kStopPollMs);
  while (platform::QueryServiceStatus(service, &status) &&
         status.current_state == platform::kServiceStopPending) {
    std::fprintf(out, ".");
    std::fflush(out);
    platform::SleepMs(kStopPollMs);
  }
  if (status.current_state == platform::kServiceStopped) {
    std::fprintf(out, kStopped, kDisplayName);
  } else {
    std::fprintf(out, "\n%s failed to stop.\n", kDisplayName);
  }
}

}  // namespace

void InstallService(std::FILE* out) {
  std::string program = platform::ProgramPath();
  if (program.empty()) {
    std::fprintf(out, "Unable to install %s - %s\n", kDisplayName, LastErrorText().c_str());
    return;
  }
  platform::ScopedScHandle manager(platform::OpenServiceManager());
  if (!manager) return PrintFailure(out, "OpenSCManager");
  platform::ServiceConfig config{kServiceName, kDisplayName, program, {kDependency}};
  platform::ScopedScHandle service(platform::CreateService(manager.get(), config));
  if (!service) return PrintFailure(out, "CreateService");
  std::fprintf(out, kInstalled, kDisplayName);
}

void RemoveService(std::FILE* out) {
  platform::ScopedScHandle manager(platform::OpenServiceManager());
  if (!manager) return PrintFailure(out, "OpenSCManager");
  platform::ScopedScHandle service(platform::OpenService(manager.get(), kServiceName));
  if (!service) return PrintFailure(out, "OpenService");
  StopBeforeRemoving(out, service.get());
  if (!platform::DeleteService(service.get())) return PrintFailure(out, "DeleteService");
  std::fprintf(out, kRemoved, kDisplayName);
}
