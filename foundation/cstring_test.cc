#include "foundation/cstring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// Binary-safe, also assigned a piece of itself; trim and case handling are ASCII only: high
// bytes stay as they are.
TEST(CString, EditsAndPieces) {
  const char bytes[] = {'a', '\0', 'b'};
  CString binary(bytes, 3), copy(binary);
  EXPECT_EQ(std::string(binary.GetString(), 4), std::string(bytes, 3) + '\0');
  EXPECT_TRUE(copy == binary);
  EXPECT_FALSE(copy == CString("a"));
  CString self("hello world"), twice, trimmed(" \t\r\n\v\fx y \r\n"), high("\xA1 t \xA1");
  self.Assign(self.GetString() + 6, 5);
  twice = self;
  twice.Append(twice.GetString(), twice.GetLength());
  trimmed.Trim();
  high.TrimLeft();
  high.TrimRight();
  CString blank("   "), amp("a&b&&c"), overlap("aaa"), lower("AbC\xC4z"), a("ab"), pieces("abcdef");
  blank.Trim();
  EXPECT_EQ(amp.Replace("&", "&amp;"), 3);
  EXPECT_EQ(amp.Replace("zz", "y") + amp.Replace("", "y"), 0);
  EXPECT_EQ(overlap.Replace("aa", "b"), 1);
  lower.MakeLower();
  a += 'z';
  auto join = [](const auto&... pieces) { return ((std::string(CString(pieces)) + "|") + ...); };
  EXPECT_EQ(join(self, twice, trimmed, high, blank, amp, overlap, lower, pieces.Left(2),
                 pieces.Left(99), pieces.Mid(2, 3), pieces.Mid(4), pieces.Mid(10, 2),
                 pieces.Right(2), a + "cd", "x" + a, a + a),
            "world|worldworld|x y|\xA1 t \xA1||a&amp;b&amp;&amp;c|ba|abc\xC4z|ab|abcdef|cde|ef||ef|"
            "abzcd|xabz|abzabz|");
  EXPECT_EQ((std::vector{pieces.Find("cd"), pieces.Find("cd", 3), pieces.Find('f'),
                         CString("a\\b\\c").ReverseFind('\\')}),
            (std::vector{2, -1, 5, 3}));
  EXPECT_EQ(lower.CompareNoCase("ABC\xC4Z"), 0);
  EXPECT_LT(StrICmp("abc", "ABD"), 0);
  EXPECT_LT(CString("a").Compare("b"), 0);
}

TEST(CString, FormatUnderstandsI64AndGrowsToAnyLength) {
  CString s;
  s.Format("pos:%I64d size:%d|%I64u|%5I64d|%%I64d|I64d", int64_t{-9000000000}, 7,
           uint64_t{18000000000}, int64_t{42});
  EXPECT_STREQ(s, "pos:-9000000000 size:7|18000000000|   42|%I64d|I64d");
  s.Format("[%s]", std::string(5000, 'x').c_str());
  s.AppendFormat("%d", 5);
  EXPECT_EQ(s.GetLength(), 5003);
  // Its own text as an argument, short and long, formatted and appended.
  for (int length : {10, 300, 5000}) {
    s = CString(std::string(length, 'y').c_str());
    s.Format("<%s>", s.GetString());
    s.AppendFormat("%s", s.GetString());
    EXPECT_EQ(std::string(s),
              "<" + std::string(length, 'y') + ">" + "<" + std::string(length, 'y') + ">");
  }
  s.Format("%s", "");
  EXPECT_STREQ(s, "");
  char* buffer = s.GetBuffer(10);
  std::snprintf(buffer, 11, "0123456789");
  s.ReleaseBuffer(4);
  EXPECT_STREQ(s, "0123");
}

}  // namespace
