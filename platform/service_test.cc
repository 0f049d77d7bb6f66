// The service manager where nothing runs (a tree of its own), the dispatcher holding a stop
// until the service accepts one, and console control: which handler takes an event, and what
// happens when none does.
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

#include "platform/error.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

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
  ASSERT_TRUE(service);
  platform::ServiceStatus status;
  ASSERT_TRUE(platform::QueryServiceStatus(service.get(), &status));
  EXPECT_EQ(status.current_state, platform::kServiceStopped);
  EXPECT_FALSE(platform::ControlService(service.get(), platform::kServiceControlStop, &status));
  EXPECT_EQ(platform::LastError(), platform::kErrorServiceNotActive);
  // A manager handle is not a service handle.
  EXPECT_FALSE(platform::QueryServiceStatus(manager.get(), &status));
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
  std::signal(SIGINT, SIG_DFL);
  ASSERT_TRUE(platform::SetConsoleCtrlHandler(Takes, true));
  ASSERT_TRUE(platform::SetConsoleCtrlHandler(Declines, true));
  std::raise(SIGINT);
  for (int i = 0; i < 500 && g_calls.load() < 2; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(g_calls.load(), 2);
  EXPECT_EQ(g_first.load(), 1);
  EXPECT_TRUE(platform::SetConsoleCtrlHandler(Declines, false));
  EXPECT_TRUE(platform::SetConsoleCtrlHandler(Takes, false));
  EXPECT_FALSE(platform::SetConsoleCtrlHandler(Takes, false));
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidParameter);
}

void RaiseAndLinger(int signal) {
  std::raise(signal);
  std::this_thread::sleep_for(3s);
  std::exit(0);
}

// Each in a fresh process: the console control thread must exist in it.
TEST(ConsoleControl, AnEventNoHandlerTakesEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        platform::SetConsoleCtrlHandler(Declines, true);
        RaiseAndLinger(SIGTERM);
      },
      ::testing::KilledBySignal(SIGTERM), "");
}

// A shell's background job ignores SIGINT, and so does the server it starts.
TEST(ConsoleControl, AnInheritedIgnoredCtrlCStaysIgnored) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::signal(SIGINT, SIG_IGN);
        platform::SetConsoleCtrlHandler(Takes, true);
        std::raise(SIGINT);
        std::this_thread::sleep_for(300ms);
        std::exit(g_calls.load());
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
