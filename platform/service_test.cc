// The service manager, the dispatcher, and which console handler takes an event, if any.
#include "platform/service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "platform/error.h"
#include "platform/process.h"
#include "platform/tools/console_event.h"
#include "platform/tools/service_stand_in.h"
#include "platform/tools/wine_detect.h"
#include "testing/temp_dir.h"

#ifdef _WIN32
#include "platform/win32/windows_headers.h"
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

#ifndef _WIN32
// Absent and stopped services are the install tests'. Where systemd runs, the machine's
// manager is left alone.
TEST(ServiceManager, AManagerHandleIsNoServiceHandleAndWithoutSystemdThereIsNoManager) {
  TempDir root;
  fs::create_directories(root / "etc/systemd/system");
  platform::SetServiceManagerRoot(root.path());
  platform::ScopedScHandle manager(platform::OpenServiceManager());
  platform::ServiceStatus status;
  EXPECT_TRUE(manager && !platform::QueryServiceStatus(manager.get(), &status) &&
              platform::LastError() == platform::kErrorInvalidHandle);
  platform::SetServiceManagerRoot("");
  if (fs::exists("/run/systemd/system")) return;
  EXPECT_TRUE(platform::OpenServiceManager() == platform::kNoScHandle &&
              platform::LastError() == platform::kErrorRpcServerUnavailable);
}

std::atomic<int> g_stops{0};
std::atomic<int> g_stops_while_starting{-1};

void CountStop(uint32_t control) {
  g_stops += control == platform::kServiceControlStop;
}

void Report(platform::ServiceStatusHandle handle, uint32_t state, uint32_t accepted) {
  EXPECT_TRUE(platform::SetServiceStatus(
      handle, platform::ServiceStatus{platform::kServiceWin32OwnProcess, state, accepted}));
}

// Stopped by the manager while it still starts, and again once it runs.
void StoppedEarly() {
  platform::ServiceStatusHandle handle = platform::RegisterServiceCtrlHandler("early", CountStop);
  Report(handle, platform::kServiceStartPending, 0);
  std::raise(SIGTERM);
  std::this_thread::sleep_for(200ms);
  g_stops_while_starting = g_stops.load();
  Report(handle, platform::kServiceRunning, platform::kServiceAcceptStop);
  for (int i = 0; i < 500 && g_stops.load() == 0; ++i) std::this_thread::sleep_for(10ms);
  Report(handle, platform::kServiceStopped, platform::kServiceAcceptStop);
}

// systemd sends SIGTERM when it likes: the service hears the stop once its reports accept one.
TEST(ServiceDispatcher, AStopWhileStartingWaitsUntilTheServiceAcceptsIt) {
  TempDir dir;
  platform::ServiceNotifyListener manager;
  ASSERT_TRUE(manager.Open(dir / "notify"));
  platform::SetServiceNotifyAddress(manager.path());
  EXPECT_TRUE(platform::StartServiceDispatcher("early", StoppedEarly));
  platform::SetServiceNotifyAddress("");
  EXPECT_EQ(g_stops_while_starting.load(), 0);
  EXPECT_EQ(g_stops.load(), 1);
}

#else

void NeverRuns() {
  ADD_FAILURE() << "a service main ran outside the service manager";
}
void IgnoreControl(uint32_t) {}

// Read only (a test that installs for real needs a Wine prefix of its own); outside the
// manager, dispatching and reporting fail.
TEST(ServiceManager, AbsentServicesWrongNamesAndWrongHandlesAreRefused) {
  platform::ScopedScHandle manager(platform::OpenServiceManager());
  ASSERT_TRUE(manager) << platform::LastError();
  platform::ServiceConfig quoted{"pellary-quoted", "Quoted", "c:\\a \"b\"\\p.exe", {}};
  platform::ServiceStatus status;
  EXPECT_TRUE(platform::OpenService(manager.get(), "pellary-absent") == platform::kNoScHandle &&
              platform::LastError() == platform::kErrorServiceDoesNotExist);
  EXPECT_TRUE(platform::OpenService(manager.get(), "a/b") == platform::kNoScHandle &&
              platform::CreateService(manager.get(), quoted) == platform::kNoScHandle &&
              platform::LastError() == platform::kErrorInvalidName);
  EXPECT_TRUE(!platform::QueryServiceStatus(manager.get(), &status) &&
              platform::LastError() == platform::kErrorInvalidHandle);
  EXPECT_TRUE(!platform::StartServiceDispatcher("pellary", NeverRuns) &&
              platform::LastError() == platform::kErrorFailedServiceControllerConnect);
  EXPECT_TRUE(platform::RegisterServiceCtrlHandler("pellary", IgnoreControl) ==
                  platform::kNoServiceStatus &&
              platform::LastError() == platform::kErrorServiceDoesNotExist);
}

#endif

// A shell's background job inherits an ignored SIGINT, which the console control keeps.
const bool g_sigint_default = std::signal(SIGINT, SIG_DFL) != SIG_ERR;

std::atomic<int> g_calls{0};
std::atomic<int> g_first{-1};

// Declines everything, or takes Ctrl+C; notes which was asked first.
template <bool kTakes>
bool Handler(uint32_t event) {
  if (g_calls++ == 0) g_first = kTakes ? 0 : 1;
  return kTakes && event == platform::kCtrlCEvent;
}

// The handler added last is asked first; one that declines passes the event on.
TEST(ConsoleControl, HandlersAreAskedLastAddedFirst) {
  ASSERT_TRUE(platform::SetConsoleCtrlHandler(Handler<true>, true));
  ASSERT_TRUE(platform::SetConsoleCtrlHandler(Handler<false>, true));
  ASSERT_TRUE(platform::RaiseConsoleCtrlEvent(platform::kCtrlCEvent)) << platform::LastError();
  for (int i = 0; i < 500 && g_calls.load() < 2; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(g_calls.load() == 2 && g_first.load() == 1);
  EXPECT_TRUE(platform::SetConsoleCtrlHandler(Handler<false>, false) &&
              platform::SetConsoleCtrlHandler(Handler<true>, false));
  EXPECT_TRUE(!platform::SetConsoleCtrlHandler(Handler<true>, false) &&
              platform::LastError() == platform::kErrorInvalidParameter);
  // Only the events a terminal's keys make can be raised.
  EXPECT_TRUE(!platform::RaiseConsoleCtrlEvent(platform::kCtrlCloseEvent) &&
              platform::LastError() == platform::kErrorInvalidParameter);
}

// An event no handler takes ends the process: POSIX by the signal (Ctrl+Break's SIGTERM),
// Windows with STATUS_CONTROL_C_EXIT (Wine: with status 0).
bool EndedByTheEvent(int status) {
#ifdef _WIN32
  return status == static_cast<int>(0xC000013A) || (platform::RunsUnderWine() && status == 0);
#else
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
#endif
}

TEST(ConsoleControl, AnEventNoHandlerTakesEndsTheProcessAndCtrlCTurnedOffStaysOffOnPosix) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        platform::SetConsoleCtrlHandler(Handler<false>, true);
        platform::RaiseConsoleCtrlEvent(platform::kWindows ? platform::kCtrlCEvent
                                                           : platform::kCtrlBreakEvent);
        std::this_thread::sleep_for(3s);
        std::exit(3);  // still alive
      },
      EndedByTheEvent, "");
  // Ctrl+C off on the way in: kept on POSIX, turned on by a new handler on Windows.
  EXPECT_EXIT(
      {
#ifdef _WIN32
        ::SetConsoleCtrlHandler(nullptr, TRUE);
#else
        std::signal(SIGINT, SIG_IGN);
#endif
        platform::SetConsoleCtrlHandler(Handler<true>, true);
        platform::RaiseConsoleCtrlEvent(platform::kCtrlCEvent);
        for (int i = 0; i < 30 && g_calls.load() == 0; ++i) std::this_thread::sleep_for(10ms);
        std::exit(g_calls.load());
      },
      ::testing::ExitedWithCode(platform::kWindows ? 1 : 0), "");
}

}  // namespace
