// Outside values as they reach a log line, and the refusal rate limit driven by chosen times.
#include "runtime/monitor/logtext.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

TEST(LogValue, EscapesControlBytesAndCutsLongValues) {
  struct Case {
    std::string value, logged;
  };
  const std::string a1000(1000, 'a');
  const std::vector<Case> cases = {
      {"", ""},
      {"c:\\data\\x.blob", "c:\\data\\x.blob"},  // nothing to do: unchanged
      {"/srv/a b/\\n.txt", "/srv/a b/\\n.txt"},  // a backslash stays as it is
      {"x\r\nclient:6.6.6.6,666 connected", "x\\r\\nclient:6.6.6.6,666 connected"},
      {"\t\x1b[2J\x7f\x01\x1f ~", "\\t\\x1b[2J\\x7f\\x01\\x1f ~"},
      {"\xe6\x95\xb0\xd5\xd2\x80\xff", "\xe6\x95\xb0\xd5\xd2\x80\xff"},  // UTF-8, GBK bytes
      {a1000, a1000},
      {a1000 + "b", a1000 + "..."},
      {std::string(20 << 20, 'p'), std::string(1000, 'p') + "..."},
      {std::string(996, 'a') + "\x1b", std::string(996, 'a') + "\\x1b"},  // just fits
      {std::string(997, 'a') + "\x1b", std::string(997, 'a') + "..."},    // no half escape
      {std::string(999, 'a') + "\r", std::string(999, 'a') + "..."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(std::string(LogValue(c.value.c_str()).GetString()), c.logged)
        << c.value.substr(0, 40);
  }
  EXPECT_STREQ(LogValue(nullptr).GetString(), "");
}

// One step: at `now`, either a refusal line (`admit`) or a question for a due report.
struct Step {
  uint32_t now;
  bool admit;
  bool passes;     // for a line: whether it is written
  int suppressed;  // the count reported with the line, or handed out when asked
};

void Drive(const std::vector<Step>& steps) {
  RefusalLimiter limiter;
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& step = steps[i];
    int count = -1;
    if (step.admit) {
      EXPECT_EQ(limiter.Admit(step.now, &count), step.passes) << "step " << i;
    } else {
      count = limiter.TakeDue(step.now);
    }
    EXPECT_EQ(count, step.suppressed) << "step " << i;
  }
}

TEST(RefusalLimiter, LetsAFewThroughEachSecondAndReportsTheRestOnce) {
  Drive({
      {5000, true, true, 0},   {5000, true, true, 0},   {5001, true, true, 0},
      {5100, true, true, 0},   {5900, true, true, 0},   {5900, true, false, 0},
      {5999, true, false, 0},  {5999, false, false, 0},  // the second is not over yet
      {6000, false, false, 2},                           // now it is: reported once
      {6000, false, false, 0}, {6001, true, true, 0},    // a new second, starting with this line
      {6001, true, true, 0},   {6001, true, true, 0},   {6001, true, true, 0},
      {6001, true, true, 0},   {6500, true, false, 0},  {7000, true, false, 0},
      {7001, true, true, 2},  // the next line let through brings the count
      {9000, false, false, 0},
  });
}

TEST(RefusalLimiter, SecondsAreCountedAcrossTheClocksWrap) {
  Drive({
      {0xfffffe00u, true, true, 0},
      {0xfffffe00u, true, true, 0},
      {0xfffffe00u, true, true, 0},
      {0xfffffe00u, true, true, 0},
      {0xfffffe00u, true, true, 0},
      {0xfffffff0u, true, false, 0},
      {0x000001e0u, true, false, 0},  // 992 ms later: the same second
      {0x000001e8u, false, false, 2},
      {0x000001e8u, true, true, 0},
  });
}

}  // namespace
