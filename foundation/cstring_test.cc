#include "foundation/cstring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(CString, BinarySafeAssignKeepsNulBytesAndTerminates) {
  const char bytes[] = {'a', '\0', 'b'};
  CString s(bytes, 3);
  EXPECT_EQ(s.GetLength(), 3);
  EXPECT_EQ(std::string(s.GetString(), 3), std::string(bytes, 3));
  EXPECT_EQ(s.GetString()[3], '\0');
  CString copy(s);
  EXPECT_TRUE(copy == s);
  EXPECT_FALSE(copy == CString("a"));
}

TEST(CString, AssigningAPieceOfItselfIsSafe) {
  CString s("hello world");
  s.Assign(s.GetString() + 6, 5);
  EXPECT_STREQ(s, "world");
  s.Append(s.GetString(), s.GetLength());
  EXPECT_STREQ(s, "worldworld");
  s = "";
  EXPECT_STREQ(s, "");
  EXPECT_EQ(s.GetLength(), 0);
}

TEST(CString, TrimRemovesAsciiSpaceOnlyNeverHighBytes) {
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
}

TEST(CString, ReplaceEveryOccurrenceIncludingGrowthAndShrink) {
  CString s("a&b&&c");
  EXPECT_EQ(s.Replace("&", "&amp;"), 3);
  EXPECT_STREQ(s, "a&amp;b&amp;&amp;c");
  EXPECT_EQ(s.Replace("&amp;", "&"), 3);
  EXPECT_STREQ(s, "a&b&&c");
  EXPECT_EQ(s.Replace("zz", "y"), 0);
  EXPECT_EQ(s.Replace("", "y"), 0);
  CString overlap("aaa");
  EXPECT_EQ(overlap.Replace("aa", "b"), 1);
  EXPECT_STREQ(overlap, "ba");
}

TEST(CString, PiecesClampToTheText) {
  CString s("abcdef");
  EXPECT_STREQ(s.Left(2), "ab");
  EXPECT_STREQ(s.Left(99), "abcdef");
  EXPECT_STREQ(s.Mid(2, 3), "cde");
  EXPECT_STREQ(s.Mid(4), "ef");
  EXPECT_STREQ(s.Mid(10, 2), "");
  EXPECT_STREQ(s.Right(2), "ef");
  EXPECT_EQ(s.Find("cd"), 2);
  EXPECT_EQ(s.Find("cd", 3), -1);
  EXPECT_EQ(s.Find('f'), 5);
  EXPECT_EQ(CString("a\\b\\c").ReverseFind('\\'), 3);
}

TEST(CString, CaseHandlingIsAsciiOnly) {
  CString s("AbC\xC4z");
  s.MakeLower();
  EXPECT_STREQ(s, "abc\xC4z");
  EXPECT_EQ(s.CompareNoCase("ABC\xC4Z"), 0);
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
