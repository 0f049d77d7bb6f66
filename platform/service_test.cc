// The service manager (POSIX: a tree of its own where nothing runs; Windows: the system's, only
// read), the dispatcher, and console control: which handler takes an event, and what happens
// when none does (Ctrl+Break's own event is the service host's console table's).
#include "platform/service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
// Only where systemd does not run: where it does, the test would reach the machine's manager.
TEST(ServiceManager, WithoutSystemdTheManagerCannotBeOpened) {
  if (fs::exists("/run/systemd/system")) GTEST_SKIP() << "systemd runs on this machine";
  platform::SetServiceManagerRoot("");
  EXPECT_EQ(platform::OpenServiceManager(), platform::kNoScHandle);
  EXPECT_EQ(platform::LastError(), platform::kErrorRpcServerUnavailable);
}

TEST(ServiceManager, AServiceOfAnotherRootIsNeverRunning) {
  TempDir root;
  fs::create_directories(root / "etc/systemd/system");
  std::ofstream(root / "etc/systemd/system/pellary.service") << "[Service]\n";
  platform::SetServiceManagerRoot(root.path());
  platform::ScopedScHandle manager(platform::OpenServiceManager());
  ASSERT_TRUE(manager);
  EXPECT_EQ(platform::OpenService(manager.get(), "absent"), platform::kNoScHandle);
  EXPECT_EQ(platform::LastError(), platform::kErrorServiceDoesNotExist);
  platform::ScopedScHandle service(platform::OpenService(manager.get(), "pellary"));
  platform::ServiceStatus status;
  ASSERT_TRUE(service && platform::QueryServiceStatus(service.get(), &status));
  EXPECT_EQ(status.current_state, platform::kServiceStopped);
  EXPECT_FALSE(platform::ControlService(service.get(), platform::kServiceControlStop, &status));
  EXPECT_EQ(platform::LastError(), platform::kErrorServiceNotActive);
  EXPECT_FALSE(platform::QueryServiceStatus(manager.get(), &status));  // not a service handle
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidHandle);
  platform::SetServiceManagerRoot("");
}

std::atomic<int> g_stops{0};
std::atomic<int> g_stops_while_starting{-1};

void CountStop(uint32_t control) {
  if (control == platform::kServiceControlStop) ++g_stops;
}

void Report(platform::ServiceStatusHandle handle, uint32_t state, uint32_t accepted) {
  platform::ServiceStatus status;
  status.service_type = platform::kServiceWin32OwnProcess;
  status.current_state = state;
  status.controls_accepted = accepted;
  EXPECT_TRUE(platform::SetServiceStatus(handle, status));
}

// Stopped by the manager while it still starts, and again once it runs.
void StoppedEarly() {
  platform::ServiceStatusHandle handle = platform::RegisterServiceCtrlHandler("early", CountStop);
  ASSERT_NE(handle, platform::kNoServiceStatus);
  Report(handle, platform::kServiceStartPending, 0);
  std::raise(SIGTERM);
  std::this_thread::sleep_for(200ms);
  g_stops_while_starting = g_stops.load();
  Report(handle, platform::kServiceRunning, platform::kServiceAcceptStop);
  for (int i = 0; i < 500 && g_stops.load() == 0; ++i) std::this_thread::sleep_for(10ms);
  Report(handle, platform::kServiceStopped, platform::kServiceAcceptStop);
}

// systemd sends SIGTERM when it likes and cannot be refused: the service hears the stop once
// its reports accept one.
TEST(ServiceDispatcher, AStopWhileStartingWaitsUntilTheServiceAcceptsIt) {
  g_stops = 0;
  g_stops_while_starting = -1;
  TempDir dir;
  platform::ServiceNotifyListener manager;
  ASSERT_TRUE(manager.Open(dir / "notify"));
  platform::SetServiceNotifyAddress(manager.path());
  EXPECT_TRUE(platform::StartServiceDispatcher("early", StoppedEarly));
  platform::SetServiceNotifyAddress("");
  EXPECT_EQ(g_stops_while_starting.load(), 0);
  EXPECT_EQ(g_stops.load(), 1);
  std::string report;
  int reports = 0;
  while (manager.Receive(&report, 0)) ++reports;
  EXPECT_EQ(reports, 3);
}

#else

// Read only: a test that installs for real needs a Wine prefix of its own.
TEST(ServiceManager, AbsentServicesWrongNamesAndWrongHandlesAreRefused) {
  platform::ScopedScHandle manager(platform::OpenServiceManager());
  ASSERT_TRUE(manager) << platform::LastError();
  EXPECT_EQ(platform::OpenService(manager.get(), "pellary-absent"), platform::kNoScHandle);
  EXPECT_EQ(platform::LastError(), platform::kErrorServiceDoesNotExist);
  EXPECT_EQ(platform::OpenService(manager.get(), "a/b"), platform::kNoScHandle);
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidName);
  platform::ServiceConfig quoted{"pellary-quoted", "Quoted", "c:\\a \"b\"\\p.exe", {}};
  EXPECT_EQ(platform::CreateService(manager.get(), quoted), platform::kNoScHandle);
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidName);
  platform::ServiceStatus status;
  EXPECT_FALSE(platform::QueryServiceStatus(manager.get(), &status));
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidHandle);
}

// The installer service of every Windows (and Wine) starts on demand, so it is stopped here.
TEST(ServiceManager, AStoppedServiceReportsItsStateAndRefusesAStop) {
  platform::ScopedScHandle manager(platform::OpenServiceManager());
  ASSERT_TRUE(manager);
  platform::ScopedScHandle service(platform::OpenService(manager.get(), "msiserver"));
  platform::ServiceStatus status;
  ASSERT_TRUE(service && platform::QueryServiceStatus(service.get(), &status))
      << platform::LastError();
  if (status.current_state != platform::kServiceStopped) GTEST_SKIP() << "msiserver runs now";
  EXPECT_EQ(status.controls_accepted, 0u);
  EXPECT_FALSE(platform::ControlService(service.get(), platform::kServiceControlStop, &status));
  EXPECT_EQ(platform::LastError(), platform::kErrorServiceNotActive);
}

void NeverRuns() {
  ADD_FAILURE() << "a service main ran outside the service manager";
}
void IgnoreControl(uint32_t) {}

TEST(ServiceDispatcher, OutsideTheManagerEverythingFails) {
  EXPECT_FALSE(platform::StartServiceDispatcher("pellary", NeverRuns));
  EXPECT_EQ(platform::LastError(), platform::kErrorFailedServiceControllerConnect);
  EXPECT_EQ(platform::RegisterServiceCtrlHandler("pellary", IgnoreControl),
            platform::kNoServiceStatus);
  EXPECT_EQ(platform::LastError(), platform::kErrorServiceDoesNotExist);
  platform::ServiceStatus status;
  EXPECT_FALSE(platform::SetServiceStatus(platform::kNoServiceStatus, status));
  // The stand-in manager of the POSIX tests has no counterpart here.
  platform::ServiceNotifyListener listener;
  EXPECT_FALSE(listener.Open("notify"));
  EXPECT_EQ(platform::LastError(), platform::kErrorNotSupported);
}

#endif

// Run from a shell's background, this program would inherit an ignored SIGINT, which the
// console control keeps ignored; the tests need its default, set before any of them runs.
const bool g_sigint_default = std::signal(SIGINT, SIG_DFL) != SIG_ERR;

std::atomic<int> g_calls{0};
std::atomic<int> g_first{-1};

bool Declines(uint32_t) {
  int none = -1;
  g_first.compare_exchange_strong(none, 1);
  ++g_calls;
  return false;
}

bool Takes(uint32_t event) {
  int none = -1;
  g_first.compare_exchange_strong(none, 0);
  ++g_calls;
  return event == platform::kCtrlCEvent;
}

// The handler added last is asked first; one that declines passes the event on.
TEST(ConsoleControl, HandlersAreAskedLastAddedFirst) {
  g_calls = 0;
  g_first = -1;
  ASSERT_TRUE(platform::SetConsoleCtrlHandler(Takes, true));
  ASSERT_TRUE(platform::SetConsoleCtrlHandler(Declines, true));
  ASSERT_TRUE(platform::RaiseConsoleCtrlEvent(platform::kCtrlCEvent)) << platform::LastError();
  for (int i = 0; i < 500 && g_calls.load() < 2; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(g_calls.load(), 2);
  EXPECT_EQ(g_first.load(), 1);
  EXPECT_TRUE(platform::SetConsoleCtrlHandler(Declines, false) &&
              platform::SetConsoleCtrlHandler(Takes, false));
  EXPECT_FALSE(platform::SetConsoleCtrlHandler(Takes, false));
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidParameter);
  // Only the events a terminal's keys make can be raised.
  EXPECT_FALSE(platform::RaiseConsoleCtrlEvent(platform::kCtrlCloseEvent));
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidParameter);
}

// An event no handler takes ends the process: POSIX by the signal (Ctrl+Break's SIGTERM),
// Windows with STATUS_CONTROL_C_EXIT (Wine: with status 0). Each in a fresh process: the
// console control thread must exist in it.
bool EndedByTheEvent(int status) {
#ifdef _WIN32
  return status == static_cast<int>(0xC000013A) || (platform::RunsUnderWine() && status == 0);
#else
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
#endif
}

TEST(ConsoleControl, AnEventNoHandlerTakesEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        platform::SetConsoleCtrlHandler(Declines, true);
        platform::RaiseConsoleCtrlEvent(platform::kWindows ? platform::kCtrlCEvent
                                                           : platform::kCtrlBreakEvent);
        std::this_thread::sleep_for(3s);
        std::exit(3);  // still alive
      },
      EndedByTheEvent, "");
}

// Ctrl+C turned off on the way in: a shell's background job ignores SIGINT, and so does the
// server it starts; a Windows process in a process group of its own has it turned off by the
// system (so are the servers that ChildStart runs), and adding a handler turns it on.
TEST(ConsoleControl, CtrlCTurnedOffIsKeptOnPosixAndTurnedOnByAHandlerOnWindows) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
#ifdef _WIN32
        ::SetConsoleCtrlHandler(nullptr, TRUE);
#else
        std::signal(SIGINT, SIG_IGN);
#endif
        platform::SetConsoleCtrlHandler(Takes, true);
        platform::RaiseConsoleCtrlEvent(platform::kCtrlCEvent);
        for (int i = 0; i < 30 && g_calls.load() == 0; ++i) std::this_thread::sleep_for(10ms);
        std::exit(g_calls.load());
      },
      ::testing::ExitedWithCode(platform::kWindows ? 1 : 0), "");
}

}  // namespace
