// State reports as the service manager sees them, failed ones in the event log, error texts.
#include "service/statusreport.h"

#include <gtest/gtest.h>

#include <array>
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
        std::this_thread::yield();  // room to overtake
        if (!recorded->fail) return recorded->statuses.push_back(status), true;
        return platform::SetLastError(platform::kErrorServiceNotActive), false;
      },
      [recorded](const std::string& line, const char* s) {
        recorded->events.push_back(line + "|" + s);
      });
}

// Pending reports are numbered, also from two threads at once; the stop is accepted from running
// on; a failed report goes to the event log; under the debug flag nothing is reported.
TEST(ServiceReporter, ALifeOfTheServiceNumbersItsPendingReports) {
  Recorded recorded;
  ServiceReporter reporter = MakeReporter(&recorded);
  const uint32_t kStop = platform::kServiceAcceptStop, kPending = platform::kServiceStopPending;
  const uint32_t kStart = platform::kServiceStartPending, kRun = platform::kServiceRunning;
  // state, accepted, check point, hint, code; row 4 repeats the current status
  const std::vector<std::array<uint32_t, 5>> life = {
      {kStart, 0, 1, 3000, 0},    {kStart, 0, 2, 3000, 0},
      {kRun, kStop, 0, 0, 0},     {kPending, kStop, 3, 0, 0},
      {kPending, kStop, 4, 0, 0}, {platform::kServiceStopped, kStop, 0, 0, 5}};
  for (size_t i = 0; i < life.size(); ++i) {
    EXPECT_TRUE(i == 4 ? reporter.ReportCurrentStatus()
                       : reporter.ReportStatus(life[i][0], life[i][4], life[i][3]));
    const ServiceStatus& got = recorded.statuses.at(i);
    EXPECT_EQ((std::array{got.current_state, got.controls_accepted, got.check_point, got.wait_hint,
                          got.win32_exit_code}),
              life[i]);
  }
  auto report = [&] {
    for (int i = 0; i < 300; ++i) reporter.ReportStatus(kPending, 0, 0);
  };
  std::thread other(report);
  report();
  other.join();
  for (uint32_t i = 0; i < 600; ++i) ASSERT_EQ(recorded.statuses.at(6 + i).check_point, 5 + i);
  recorded.fail = true;
  EXPECT_FALSE(reporter.ReportStatus(kStart, 0, 3000));
  EXPECT_EQ(recorded.events, std::vector<std::string>{"pellary error: 1062|SetServiceStatus"});
  Recorded quiet{{}, {}, true};
  ServiceReporter debug = MakeReporter(&quiet);
  debug.SetDebug();
  EXPECT_TRUE(debug.ReportStatus(kRun, 0, 0));
  debug.AddToMessageLog("SetServiceStatus");
  EXPECT_TRUE(quiet.statuses.empty() && quiet.events.empty() && debug.last_error() == 0u);
}

// The system's text with its number when it fits a 256-character message (at most 242).
TEST(ErrorText, TheSystemTextWithItsNumberWhenItFits) {
  std::string longest(242, 'x');
  EXPECT_EQ(FormatErrorText("The RPC server is unavailable.\r\n", 1722) + FormatErrorText("", 5) +
                FormatErrorText(nullptr, 5) + FormatErrorText((longest + "x").c_str(), 1) +
                FormatErrorText(longest.c_str(), 0x431),
            "The RPC server is unavailable. (0x6ba)" + longest + " (0x431)");
  platform::SetLastError(platform::kErrorServiceExists);
  EXPECT_EQ(LastErrorText(), "The specified service already exists. (0x431)");
}

}  // namespace
