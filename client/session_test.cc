// The progress line: sizes, the rate of this run's bytes only, the time left or taken.
#include "client/session.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t kMiB = 1024 * 1024;

TEST(Progress, SizesAreReadable) {
  EXPECT_EQ(FormatBytes(0), "0 B");
  EXPECT_EQ(FormatBytes(1023), "1023 B");
  EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
  EXPECT_EQ(FormatBytes(3 * kMiB), "3.0 MiB");
  EXPECT_EQ(FormatBytes(int64_t{5} << 30), "5.0 GiB");
  EXPECT_EQ(FormatBytes(int64_t{2048} << 40), "2048.0 TiB");  // no unit beyond TiB
}

TEST(Progress, TheRateCountsWhatThisRunMovedAndTheEndSaysHowLongItTook) {
  struct Case {
    ProgressFigures figures;
    const char* line;
  };
  const Case cases[] = {
      // A quarter of 8 MiB in 2 s: 1 MiB/s, 6 MiB to go.
      {{"a.bin", 2 * kMiB, 8 * kMiB, 2 * kMiB, 2000},
       "a.bin  2.0 MiB of 8.0 MiB (25%)  1.0 MiB/s  0:00:06 left"},
      {{"a.bin", kMiB, 7201 * kMiB, kMiB, 1000},
       "a.bin  1.0 MiB of 7.0 GiB (0%)  1.0 MiB/s  2:00:00 left"},
      // Resumed with 5 MiB in place: 1 MiB moved in 1 s is 1 MiB/s, not 6.
      {{"a.bin", 6 * kMiB, 8 * kMiB, kMiB, 1000},
       "a.bin  6.0 MiB of 8.0 MiB (75%)  1.0 MiB/s  0:00:02 left"},
      {{"a.bin", 8 * kMiB, 8 * kMiB, 2 * kMiB, 2400, true},
       "a.bin  8.0 MiB of 8.0 MiB (100%)  853.3 KiB/s  in 0:00:02"},
      {{"a.bin", 8 * kMiB, 8 * kMiB, 0, 300, true}, "a.bin  8.0 MiB of 8.0 MiB (100%)  in 0:00:00"},
      {{"a.bin", 100, 400, 100, 0}, "a.bin  100 B of 400 B (25%)"},  // no time yet, no rate
      {{"a.bin", 0, 0, 0, 50}, "a.bin  0 B of 0 B"},
      {{"-", 4096, -1, 4096, 1000}, "-  4.0 KiB  4.0 KiB/s"},  // total unknown
  };
  for (const Case& c : cases) EXPECT_EQ(FormatProgress(c.figures), c.line);
}

}  // namespace
