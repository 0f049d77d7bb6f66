#include "foundation/yarray.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Split trims, and drops empty pieces only for blanks; a change ends the known-sorted state.
TEST(YArrayDeathTest, KeepsOrderAndAnIndexOutOfRangeIsFatal) {
  auto joined = [](const YStringArray& array, std::string text = "") {
    for (int i = 0; i < array.GetCount(); ++i) text += std::string(array.GetAt(i)) + "|";
    return text;
  };
  YStringArray commas, words, fruit;
  commas.Split(" a , ,b,", ',');
  EXPECT_EQ(joined(commas), "a||b||");
  words.Split("  d:\\a   e:\\b ", ' ');
  EXPECT_EQ(joined(words), "d:\\a|e:\\b|");
  fruit.Split("pear,apple,fig", ',');
  fruit.Sort();
  EXPECT_TRUE(fruit.IsSorted());
  fruit.SetAt(0, "zebra");
  fruit.Sort();
  fruit.RemoveAt(0);
  EXPECT_EQ(joined(fruit), "pear|zebra|");
  YArray a;
  int values[40];
  for (int i = 0; i < 40; ++i) a.Add(&values[i]);
  a.InsertAt(0, &values[39]);
  EXPECT_EQ(a.GetAt(40), a.GetAt(0));
  EXPECT_EQ(a.RemoveAt(1), &values[0]);
  EXPECT_EQ(a.GetAt(1), &values[1]);
  EXPECT_EQ(a.GetCount(), 40);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(a.GetAt(40), "");
  EXPECT_DEATH(a.RemoveAt(-1), "");
}

}  // namespace
