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
using namespace platform;
using namespace std::chrono_literals;

#ifndef _WIN32
// Absent and stopped services are the install tests'. Where systemd runs, the machine's
// manager is left alone.
TEST(ServiceManager, AManagerHandleIsNoServiceHandleAndWithoutSystemdThereIsNoManager) {
  TempDir root;
  fs::create_directories(root / "etc/systemd/system");
  SetServiceManagerRoot(root.path());
  ScopedScHandle manager(OpenServiceManager());
  ServiceStatus status;
  EXPECT_TRUE(manager && !QueryServiceStatus(manager.get(), &status) &&
              LastError() == kErrorInvalidHandle);
  SetServiceManagerRoot("");
  if (fs::exists("/run/systemd/system")) return;
  EXPECT_TRUE(OpenServiceManager() == kNoScHandle && LastError() == kErrorRpcServerUnavailable);
}

std::atomic<int> g_stops{0};
std::atomic<int> g_stops_while_starting{-1};

void CountStop(uint32_t control) {
  g_stops += control == kServiceControlStop;
}

void Report(ServiceStatusHandle handle, uint32_t state, uint32_t accepted) {
  EXPECT_TRUE(SetServiceStatus(handle, ServiceStatus{kServiceWin32OwnProcess, state, accepted}));
}

// Stopped by the manager while it still starts, and again once it runs.
void StoppedEarly() {
  ServiceStatusHandle handle = RegisterServiceCtrlHandler("early", CountStop);
  Report(handle, kServiceStartPending, 0);
  std::raise(SIGTERM);
  std::this_thread::sleep_for(200ms);
  g_stops_while_starting = g_stops.load();
  Report(handle, kServiceRunning, kServiceAcceptStop);
  for (int i = 0; i < 500 && g_stops.load() == 0; ++i) std::this_thread::sleep_for(10ms);
  Report(handle, kServiceStopped, kServiceAcceptStop);
}

// systemd sends SIGTERM when it likes: the service hears the stop once its reports accept one.
TEST(ServiceDispatcher, AStopWhileStartingWaitsUntilTheServiceAcceptsIt) {
  TempDir dir;
  ServiceNotifyListener manager;
  ASSERT_TRUE(manager.Open(dir / "notify"));
  SetServiceNotifyAddress(manager.path());
  EXPECT_TRUE(StartServiceDispatcher("early", StoppedEarly));
  SetServiceNotifyAddress("");
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
  ScopedScHandle manager(OpenServiceManager());
  ASSERT_TRUE(manager) << LastError();
  ServiceConfig quoted{"pellary-quoted", "Quoted", "c:\\a \"b\"\\p.exe", {}};
  ServiceStatus status;
  EXPECT_TRUE(OpenService(manager.get(), "pellary-absent") == kNoScHandle &&
              LastError() == kErrorServiceDoesNotExist);
  EXPECT_TRUE(OpenService(manager.get(), "a/b") == kNoScHandle &&
              CreateService(manager.get(), quoted) == kNoScHandle &&
              LastError() == kErrorInvalidName);
  EXPECT_TRUE(!QueryServiceStatus(manager.get(), &status) && LastError() == kErrorInvalidHandle);
  EXPECT_TRUE(!StartServiceDispatcher("pellary", NeverRuns) &&
              LastError() == kErrorFailedServiceControllerConnect);
  EXPECT_TRUE(RegisterServiceCtrlHandler("pellary", IgnoreControl) == kNoServiceStatus &&
              LastError() == kErrorServiceDoesNotExist);
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
  return kTakes && event == kCtrlCEvent;
}

// The handler added last is asked first; one that declines passes the event on.
TEST(ConsoleControl, HandlersAreAskedLastAddedFirst) {
  ASSERT_TRUE(SetConsoleCtrlHandler(Handler<true>, true));
  ASSERT_TRUE(SetConsoleCtrlHandler(Handler<false>, true));
  ASSERT_TRUE(RaiseConsoleCtrlEvent(kCtrlCEvent)) << LastError();
  for (int i = 0; i < 500 && g_calls.load() < 2; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(g_calls.load() == 2 && g_first.load() == 1);
  EXPECT_TRUE(SetConsoleCtrlHandler(Handler<false>, false) &&
              SetConsoleCtrlHandler(Handler<true>, false));
  EXPECT_TRUE(!SetConsoleCtrlHandler(Handler<true>, false) &&
              LastError() == kErrorInvalidParameter);
  // Only the events a terminal's keys make can be raised.
  EXPECT_TRUE(!RaiseConsoleCtrlEvent(kCtrlCloseEvent) && LastError() == kErrorInvalidParameter);
}

// An event no handler takes ends the process: POSIX by the signal (Ctrl+Break's SIGTERM),
// Windows with STATUS_CONTROL_C_EXIT (Wine: with status 0).
bool EndedByTheEvent(int status) {
#ifdef _WIN32
  return status == static_cast<int>(0xC000013A) || (RunsUnderWine() && status == 0);
#else
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
#endif
}

TEST(ConsoleControl, AnEventNoHandlerTakesEndsTheProcessAndCtrlCTurnedOffStaysOffOnPosix) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SetConsoleCtrlHandler(Handler<false>, true);
        RaiseConsoleCtrlEvent(kWindows ? kCtrlCEvent : kCtrlBreakEvent);
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
        SetConsoleCtrlHandler(Handler<true>, true);
        RaiseConsoleCtrlEvent(kCtrlCEvent);
        for (int i = 0; i < 30 && g_calls.load() == 0; ++i) std::this_thread::sleep_for(10ms);
        std::exit(g_calls.load());
      },
      ::testing::ExitedWithCode(kWindows ? 1 : 0), "");
}

}  // namespace
