#include "foundation/cstring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(CString, AssignsBinarySafelyAlsoAPieceOfItself) {
  const char bytes[] = {'a', '\0', 'b'};
  CString s(bytes, 3);
  EXPECT_EQ(s.GetLength(), 3);
  EXPECT_EQ(std::string(s.GetString(), 3), std::string(bytes, 3));
  EXPECT_EQ(s.GetString()[3], '\0');
  CString copy(s);
  EXPECT_TRUE(copy == s);
  EXPECT_FALSE(copy == CString("a"));
  CString self("hello world");
  self.Assign(self.GetString() + 6, 5);
  EXPECT_STREQ(self, "world");
  self.Append(self.GetString(), self.GetLength());
  EXPECT_STREQ(self, "worldworld");
  self = "";
  EXPECT_STREQ(self, "");
  EXPECT_EQ(self.GetLength(), 0);
}

// Trim and case handling are ASCII only: high bytes stay as they are.
TEST(CString, TrimReplacePiecesAndCase) {
  CString s(" \t\r\n\v\fx y \r\n");
  s.Trim();
  EXPECT_STREQ(s, "x y");
  CString high("\xA1\xA1 text \xA1");
  high.TrimLeft();
  high.TrimRight();
  EXPECT_STREQ(high, "\xA1\xA1 text \xA1");
  CString blank("   ");
  blank.Trim();
  EXPECT_TRUE(blank.IsEmpty());
  CString text("a&b&&c");
  EXPECT_EQ(text.Replace("&", "&amp;"), 3);
  EXPECT_STREQ(text, "a&amp;b&amp;&amp;c");
  EXPECT_EQ(text.Replace("&amp;", "&"), 3);
  EXPECT_STREQ(text, "a&b&&c");
  EXPECT_EQ(text.Replace("zz", "y"), 0);
  EXPECT_EQ(text.Replace("", "y"), 0);
  CString overlap("aaa");
  EXPECT_EQ(overlap.Replace("aa", "b"), 1);
  EXPECT_STREQ(overlap, "ba");
  CString pieces("abcdef");
  EXPECT_STREQ(pieces.Left(2), "ab");
  EXPECT_STREQ(pieces.Left(99), "abcdef");
  EXPECT_STREQ(pieces.Mid(2, 3), "cde");
  EXPECT_STREQ(pieces.Mid(4), "ef");
  EXPECT_STREQ(pieces.Mid(10, 2), "");
  EXPECT_STREQ(pieces.Right(2), "ef");
  EXPECT_EQ(pieces.Find("cd"), 2);
  EXPECT_EQ(pieces.Find("cd", 3), -1);
  EXPECT_EQ(pieces.Find('f'), 5);
  EXPECT_EQ(CString("a\\b\\c").ReverseFind('\\'), 3);
  CString mixed("AbC\xC4z");
  mixed.MakeLower();
  EXPECT_STREQ(mixed, "abc\xC4z");
  EXPECT_EQ(mixed.CompareNoCase("ABC\xC4Z"), 0);
  EXPECT_LT(StrICmp("abc", "ABD"), 0);
  EXPECT_GT(StrICmp("b", "A"), 0);
  EXPECT_LT(CString("a").Compare("b"), 0);
}

TEST(CString, FormatUnderstandsI64AndGrowsToAnyLength) {
  CString s;
  int64_t big = -9000000000LL;
  s.Format("pos:%I64d size:%d", big, 7);
  EXPECT_STREQ(s, "pos:-9000000000 size:7");
  s.Format("%I64u|%5I64d|%%I64d|I64d", static_cast<uint64_t>(18000000000ULL), int64_t{42});
  EXPECT_STREQ(s, "18000000000|   42|%I64d|I64d");
  std::string long_text(5000, 'x');
  s.Format("[%s]", long_text.c_str());
  EXPECT_EQ(s.GetLength(), 5002);
  s.AppendFormat("%d", 5);
  EXPECT_EQ(s.GetLength(), 5003);
}

TEST(CString, ConcatenationForms) {
  CString a("ab");
  EXPECT_STREQ(a + "cd", "abcd");
  EXPECT_STREQ("x" + a, "xab");
  EXPECT_STREQ(a + a, "abab");
  a += 'z';
  EXPECT_STREQ(a, "abz");
  char* buffer = a.GetBuffer(10);
  std::snprintf(buffer, 11, "0123456789");
  a.ReleaseBuffer(4);
  EXPECT_STREQ(a, "0123");
}

}  // namespace
