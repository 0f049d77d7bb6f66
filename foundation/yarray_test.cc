#include "foundation/yarray.h"

#include <gtest/gtest.h>

namespace {

TEST(YStringArray, SplitTrimsPiecesAndDropsEmptyOnesOnlyForBlank) {
  YStringArray commas;
  commas.Split(" a , ,b,", ',');
  ASSERT_EQ(commas.GetCount(), 4);
  EXPECT_STREQ(commas.GetAt(0), "a");
  EXPECT_STREQ(commas.GetAt(1), "");
  EXPECT_STREQ(commas.GetAt(2), "b");
  EXPECT_STREQ(commas.GetAt(3), "");

  YStringArray words;
  words.Split("  d:\\a   e:\\b ", ' ');
  ASSERT_EQ(words.GetCount(), 2);
  EXPECT_STREQ(words.GetAt(0), "d:\\a");
  EXPECT_STREQ(words.GetAt(1), "e:\\b");
}

TEST(YStringArray, SortIsSkippedWhenSortedUnlessForcedOrChanged) {
  YStringArray a;
  a.Add("pear");
  a.Add("apple");
  a.Add("fig");
  a.Sort();
  EXPECT_TRUE(a.IsSorted());
  EXPECT_STREQ(a.GetAt(0), "apple");
  EXPECT_STREQ(a.GetAt(2), "pear");
  a.SetAt(0, "zebra");
  EXPECT_FALSE(a.IsSorted());
  a.Sort();
  EXPECT_STREQ(a.GetAt(2), "zebra");
  a.RemoveAt(0);
  ASSERT_EQ(a.GetCount(), 2);
  EXPECT_STREQ(a.GetAt(0), "pear");
  a.Clear();
  EXPECT_EQ(a.GetCount(), 0);
}

TEST(YArray, InsertAndRemoveKeepOrder) {
  YArray a;
  int values[40];
  for (int i = 0; i < 40; ++i) a.Add(&values[i]);
  a.InsertAt(0, &values[39]);
  EXPECT_EQ(a.GetAt(0), &values[39]);
  EXPECT_EQ(a.GetAt(40), &values[39]);
  EXPECT_EQ(a.RemoveAt(1), &values[0]);
  EXPECT_EQ(a.GetAt(1), &values[1]);
  EXPECT_EQ(a.GetCount(), 40);
}

TEST(YArrayDeathTest, IndexOutOfRangeIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  YArray a;
  a.Add(nullptr);
  EXPECT_DEATH(a.GetAt(1), "");
  EXPECT_DEATH(a.RemoveAt(-1), "");
}

}  // namespace
