// The decisions of transfers that need no server: where a resume starts and what a short
// write means.
#include "client/transfer.h"

#include <gtest/gtest.h>

namespace {

TEST(Transfer, ResumeStartsAWholeStripeWindowBelowWhatWasWritten) {
  EXPECT_EQ(ResumePoint(0, 10), 0);
  EXPECT_EQ(ResumePoint(kStripeWindow * 10 + 9, 10), 0);
  EXPECT_EQ(ResumePoint((kStripeWindow + 1) * 10, 10), 10);
  EXPECT_EQ(ResumePoint((kStripeWindow + 3) * 10 + 7, 10), 30);
}

TEST(Transfer, AShortWriteIsAFullVolumeWhenTheRestWouldNotFit) {
  constexpr int64_t kMiB = 1024 * 1024;
  EXPECT_EQ(ShortWriteText(0, 4 * kMiB, 0), "the server's volume is full (0 MiB free)");
  EXPECT_EQ(ShortWriteText(kMiB, 4 * kMiB, 2), "the server's volume is full (2 MiB free)");
  EXPECT_EQ(ShortWriteText(kMiB, 4 * kMiB, 3),
            "the server wrote 1048576 of 4194304 bytes (3 MiB free on its volume)");
  EXPECT_EQ(ShortWriteText(0, 4 * kMiB, -1), "the server wrote 0 of 4194304 bytes");
}

}  // namespace
