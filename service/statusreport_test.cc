// State reports as the service manager sees them, failed ones in the event log, error texts.
#include "service/statusreport.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"

namespace {

using platform::ServiceStatus;

struct Recorded {
  std::vector<ServiceStatus> statuses;
  std::vector<std::string> events;
  bool fail = false;
};

ServiceReporter MakeReporter(Recorded* recorded) {
  return ServiceReporter(
      "pellary",
      [recorded](const ServiceStatus& status) {
        if (recorded->fail) {
          platform::SetLastError(platform::kErrorServiceNotActive);
          return false;
        }
        recorded->statuses.push_back(status);
        return true;
      },
      [recorded](const std::string& error_line, const char* message) {
        recorded->events.push_back(error_line + "|" + message);
      });
}

// Pending reports are numbered; the stop is accepted from running on; a failed report goes to
// the event log and its error becomes the exit code; under the debug flag nothing is reported.
TEST(ServiceReporter, ALifeOfTheServiceNumbersItsPendingReports) {
  Recorded recorded;
  ServiceReporter reporter = MakeReporter(&recorded);
  const uint32_t kStop = platform::kServiceAcceptStop;
  const std::vector<std::array<uint32_t, 5>> life = {
      // state, accepted, check point, hint, code
      {platform::kServiceStartPending, 0, 1, 3000, 0},
      {platform::kServiceStartPending, 0, 2, 3000, 0},
      {platform::kServiceRunning, kStop, 0, 0, 0},
      {platform::kServiceStopPending, kStop, 3, 0, 0},
      {platform::kServiceStopPending, kStop, 4, 0, 0},  // a control the service does not act on
      {platform::kServiceStopped, kStop, 0, 0, 5},
  };
  for (size_t i = 0; i < life.size(); ++i) {
    EXPECT_TRUE(i == 4 ? reporter.ReportCurrentStatus()
                       : reporter.ReportStatus(life[i][0], life[i][4], life[i][3]));
    ASSERT_EQ(recorded.statuses.size(), i + 1);
    const ServiceStatus& got = recorded.statuses[i];
    EXPECT_EQ((std::array{got.current_state, got.controls_accepted, got.check_point, got.wait_hint,
                          got.win32_exit_code}),
              life[i]);
    EXPECT_TRUE(got.service_type == platform::kServiceWin32OwnProcess &&
                got.service_specific_exit_code == 0u);
  }
  recorded.fail = true;
  EXPECT_FALSE(reporter.ReportStatus(platform::kServiceStartPending, 0, 3000));
  EXPECT_EQ(recorded.events, std::vector<std::string>{"pellary error: 1062|SetServiceStatus"});
  EXPECT_EQ(reporter.last_error(), platform::kErrorServiceNotActive);
  platform::SetLastError(platform::kErrorFailedServiceControllerConnect);
  reporter.AddToMessageLog("StartServiceCtrlDispatcher failed.");
  EXPECT_EQ(recorded.events.back(), "pellary error: 1063|StartServiceCtrlDispatcher failed.");
  EXPECT_EQ(reporter.last_error(), platform::kErrorFailedServiceControllerConnect);
  Recorded quiet;
  ServiceReporter debug = MakeReporter(&quiet);
  debug.SetDebug();
  quiet.fail = true;
  EXPECT_TRUE(debug.ReportStatus(platform::kServiceRunning, 0, 0));
  debug.AddToMessageLog("SetServiceStatus");
  EXPECT_TRUE(quiet.statuses.empty() && quiet.events.empty());
  EXPECT_EQ(debug.last_error(), 0u);
}

// The control thread and the service thread report at once; the manager must never see a
// check point go back.
TEST(ServiceReporter, ConcurrentReportsArriveInCheckPointOrder) {
  std::vector<uint32_t> seen;
  ServiceReporter reporter(
      "pellary",
      [&seen](const ServiceStatus& status) {
        uint32_t check_point = status.check_point;
        std::this_thread::sleep_for(std::chrono::microseconds(20));  // room to overtake
        seen.push_back(check_point);
        return true;
      },
      [](const std::string&, const char*) {});
  auto report = [&reporter] {
    for (int i = 0; i < 500; ++i) reporter.ReportStatus(platform::kServiceStopPending, 0, 0);
  };
  std::thread other(report);
  report();
  other.join();
  std::vector<uint32_t> in_order(1000);
  std::iota(in_order.begin(), in_order.end(), 1u);
  EXPECT_EQ(seen, in_order);
}

// The system's text with its number when it fits a 256-character message (a text of at most
// 242 characters); the service manager's numbers have texts of their own.
TEST(ErrorText, TheSystemTextWithItsNumberWhenItFits) {
  EXPECT_EQ(FormatErrorText("The RPC server is unavailable.\r\n", 1722),
            "The RPC server is unavailable. (0x6ba)");
  EXPECT_EQ(FormatErrorText("", 5), "");
  EXPECT_EQ(FormatErrorText(nullptr, 5), "");
  std::string longest(242, 'x');
  EXPECT_EQ(FormatErrorText(longest.c_str(), 0x431), longest + " (0x431)");
  EXPECT_EQ(FormatErrorText((longest + "x").c_str(), 0x431), "");
  platform::SetLastError(platform::kErrorServiceExists);
  EXPECT_EQ(LastErrorText(), "The specified service already exists. (0x431)");
}

}  // namespace
