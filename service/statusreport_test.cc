// State reports as the service manager sees them, failed reports in the event log, and the
// error text of the console messages.
#include "service/statusreport.h"

#include <gtest/gtest.h>

#include <chrono>
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

TEST(ServiceReporter, ALifeOfTheServiceNumbersItsPendingReports) {
  Recorded recorded;
  ServiceReporter reporter = MakeReporter(&recorded);
  EXPECT_TRUE(reporter.ReportStatus(platform::kServiceStartPending, 0, 3000));
  EXPECT_TRUE(reporter.ReportStatus(platform::kServiceStartPending, 0, 3000));
  EXPECT_TRUE(reporter.ReportStatus(platform::kServiceRunning, 0, 0));
  EXPECT_TRUE(reporter.ReportStatus(platform::kServiceStopPending, 0, 0));
  EXPECT_TRUE(reporter.ReportCurrentStatus());  // a control the service does not act on
  EXPECT_TRUE(reporter.ReportStatus(platform::kServiceStopped, 5, 0));

  struct Expected {
    uint32_t state, accepted, check_point, wait_hint, exit_code;
  };
  const Expected expected[] = {
      {platform::kServiceStartPending, 0, 1, 3000, 0},
      {platform::kServiceStartPending, 0, 2, 3000, 0},
      {platform::kServiceRunning, platform::kServiceAcceptStop, 0, 0, 0},
      {platform::kServiceStopPending, platform::kServiceAcceptStop, 3, 0, 0},
      {platform::kServiceStopPending, platform::kServiceAcceptStop, 4, 0, 0},
      {platform::kServiceStopped, platform::kServiceAcceptStop, 0, 0, 5},
  };
  ASSERT_EQ(recorded.statuses.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const ServiceStatus& got = recorded.statuses[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(got.service_type, platform::kServiceWin32OwnProcess);
    EXPECT_EQ(got.current_state, expected[i].state);
    EXPECT_EQ(got.controls_accepted, expected[i].accepted);
    EXPECT_EQ(got.check_point, expected[i].check_point);
    EXPECT_EQ(got.wait_hint, expected[i].wait_hint);
    EXPECT_EQ(got.win32_exit_code, expected[i].exit_code);
    EXPECT_EQ(got.service_specific_exit_code, 0u);
  }
  EXPECT_TRUE(recorded.events.empty());
}

TEST(ServiceReporter, AFailedReportGoesToTheEventLogAndItsErrorBecomesTheExitCode) {
  Recorded recorded;
  ServiceReporter reporter = MakeReporter(&recorded);
  recorded.fail = true;
  EXPECT_FALSE(reporter.ReportStatus(platform::kServiceStartPending, 0, 3000));
  ASSERT_EQ(recorded.events.size(), 1u);
  EXPECT_EQ(recorded.events[0], "pellary error: 1062|SetServiceStatus");
  EXPECT_EQ(reporter.last_error(), platform::kErrorServiceNotActive);

  platform::SetLastError(platform::kErrorFailedServiceControllerConnect);
  reporter.AddToMessageLog("StartServiceCtrlDispatcher failed.");
  EXPECT_EQ(recorded.events.back(), "pellary error: 1063|StartServiceCtrlDispatcher failed.");
  EXPECT_EQ(reporter.last_error(), platform::kErrorFailedServiceControllerConnect);
}

TEST(ServiceReporter, UnderTheDebugFlagNothingIsReportedAndReportsSucceed) {
  Recorded recorded;
  ServiceReporter reporter = MakeReporter(&recorded);
  reporter.SetDebug();
  recorded.fail = true;
  EXPECT_TRUE(reporter.ReportStatus(platform::kServiceStartPending, 0, 3000));
  EXPECT_TRUE(reporter.ReportStatus(platform::kServiceRunning, 0, 0));
  platform::SetLastError(platform::kErrorAccessDenied);
  reporter.AddToMessageLog("SetServiceStatus");
  EXPECT_TRUE(recorded.statuses.empty());
  EXPECT_TRUE(recorded.events.empty());
  EXPECT_EQ(reporter.last_error(), 0u);
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
  ASSERT_EQ(seen.size(), 1000u);
  for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], i + 1) << "at " << i;
}

TEST(ErrorText, TheSystemTextWithItsNumberWhenItFits) {
  EXPECT_EQ(FormatErrorText("Access is denied.", 5), "Access is denied. (0x5)");
  EXPECT_EQ(FormatErrorText("The RPC server is unavailable.\r\n", 1722),
            "The RPC server is unavailable. (0x6ba)");
  EXPECT_EQ(FormatErrorText("", 5), "");
  EXPECT_EQ(FormatErrorText(nullptr, 5), "");
  // A 256-character message holds a text of at most 242 characters with its number.
  std::string longest(242, 'x');
  EXPECT_EQ(FormatErrorText(longest.c_str(), 0x431), longest + " (0x431)");
  EXPECT_EQ(FormatErrorText((longest + "x").c_str(), 0x431), "");
}

TEST(ErrorText, ServiceManagerNumbersHaveTheirOwnTexts) {
  platform::SetLastError(platform::kErrorServiceExists);
  EXPECT_EQ(LastErrorText(), "The specified service already exists. (0x431)");
  platform::SetLastError(platform::kErrorPathNotFound);
  EXPECT_EQ(LastErrorText(), "The system cannot find the path specified. (0x3)");
}

}  // namespace
