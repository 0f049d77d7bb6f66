// Tests of the event log: the handles and their errors on every backend, and on POSIX the
// entry as a person running the program sees it on standard error. The Windows log cannot be
// read back here: Wine's event log accepts entries and keeps none.
#include "platform/eventlog.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/error.h"

namespace {

TEST(EventLog, ASourceNeedsANameAndHandlesAreChecked) {
  EXPECT_EQ(platform::RegisterEventSource(""), platform::kNoEventSource);
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidParameter);
  EXPECT_EQ(platform::RegisterEventSource(nullptr), platform::kNoEventSource);
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidParameter);

  const char* strings[] = {"one"};
  EXPECT_FALSE(
      platform::ReportEvent(platform::kNoEventSource, platform::kEventlogErrorType, strings, 1));
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidHandle);
  EXPECT_FALSE(platform::DeregisterEventSource(platform::kNoEventSource));
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidHandle);
}

TEST(EventLog, AnEntryOfEachTypeIsAccepted) {
  platform::EventSourceHandle source = platform::RegisterEventSource("PellaryTest");
  ASSERT_NE(source, platform::kNoEventSource) << platform::LastError();
  const char* strings[] = {"PellaryTest error 5", "while testing"};
#ifndef _WIN32
  ::testing::internal::CaptureStderr();
#endif
  EXPECT_TRUE(platform::ReportEvent(source, platform::kEventlogErrorType, strings, 2));
  EXPECT_TRUE(platform::ReportEvent(source, platform::kEventlogWarningType, strings, 1));
  EXPECT_TRUE(platform::ReportEvent(source, platform::kEventlogInformationType, strings, 0));
#ifndef _WIN32
  // One line per entry, its strings joined.
  std::string shown = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(shown.find("PellaryTest error 5 - while testing\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("PellaryTest error 5\n"), std::string::npos) << shown;
#endif
  EXPECT_TRUE(platform::DeregisterEventSource(source));
}

}  // namespace
