#include "runtime/monitor/logtext.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>

namespace {

TEST(LogValue, EscapesControlBytesAndCutsLongValues) {
  const std::string a1000(1000, 'a');
  const std::pair<std::string, std::string> cases[] = {
      {"/srv/a b/\\n.txt", "/srv/a b/\\n.txt"},  // a backslash stays as it is
      {"x\r\nclient:6.6.6.6,666 connected", "x\\r\\nclient:6.6.6.6,666 connected"},
      {"\t\x1b[2J\x7f\x01\x1f ~", "\\t\\x1b[2J\\x7f\\x01\\x1f ~"},
      {"\xe6\x95\xb0\xd5\xd2\x80\xff", "\xe6\x95\xb0\xd5\xd2\x80\xff"},  // UTF-8, GBK bytes
      {a1000, a1000},
      {a1000 + "b", a1000 + "..."},
      {std::string(996, 'a') + "\x1b", std::string(996, 'a') + "\\x1b"},  // just fits
      {std::string(997, 'a') + "\x1b", std::string(997, 'a') + "..."},    // no half escape
  };
  for (const auto& [value, logged] : cases) {
    EXPECT_EQ(std::string(LogValue(value.c_str()).GetString()), logged) << value.substr(0, 40);
  }
  EXPECT_STREQ(LogValue(nullptr).GetString(), "");
}

// Steps at times from a base (the second wraps the clock): a refusal line (admit) that passes
// or not, with the suppressed count it reports, or a question for a due report.
TEST(RefusalLimiter, LetsAFewThroughEachSecondAndReportsTheRestOnce) {
  const std::tuple<uint32_t, bool, bool, int> steps[] = {
      {0, true, true, 0},      {0, true, true, 0},     {1, true, true, 0},
      {100, true, true, 0},    {900, true, true, 0},   {900, true, false, 0},
      {999, true, false, 0},   {999, false, false, 0},  // the second is not over yet
      {1000, false, false, 2},                          // now it is: reported once
      {1000, false, false, 0}, {1001, true, true, 0},   // a new second, starting with this line
      {1001, true, true, 0},   {1001, true, true, 0},  {1001, true, true, 0},
      {1001, true, true, 0},   {1500, true, false, 0}, {2000, true, false, 0},
      {2001, true, true, 2},  // the next line let through brings the count
      {4000, false, false, 0}};
  for (uint32_t base : {5000u, 0xfffffe00u}) {
    RefusalLimiter limiter;
    for (const auto& [at, admit, passes, suppressed] : steps) {
      SCOPED_TRACE(std::to_string(base) + "+" + std::to_string(at));
      int count = -1;
      bool passed =
          admit ? limiter.Admit(base + at, &count) : (count = limiter.TakeDue(base + at), false);
      EXPECT_EQ(passed, passes);
      EXPECT_EQ(count, suppressed);
    }
  }
}

}  // namespace
