// Tests of NetTable: columns, rows, the accessors' type rules, sorting and search, copies.
#include "values/nettable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "testing/text.h"
#include "values/values_testing.h"

namespace {

using values_testing::Date;
using values_testing::Image;

TEST(NetTableColumns, LimitsTypesSizesAndNames) {
  NetTable table;
  for (int c = 1; c <= 127; ++c) ASSERT_EQ(table.AddColumn(std::to_string(c).c_str(), NET_LONG), 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(table.AddColumn("c128", NET_LONG), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " max col exceed!\n");
  table.Clear();
  // Byte, word, dword, pointer, handle, list, lstring, reserved and unknown types; sizes.
  for (int t : {12, 13, 14, 22, 27, 28, 33, 23, 24, 0, 99}) EXPECT_EQ(table.AddColumn("x", t), 0);
  EXPECT_EQ(table.AddColumn("s", NET_STRING, -1), 0);
  EXPECT_EQ(table.AddColumn("b", NET_BINARY, kMaxColumnSize + 1), 0);
  EXPECT_EQ(table.AddColumn("zeta", NET_STRING, 10), 1);
  EXPECT_EQ(table.AddColumn("alpha", NET_LONG, 10), 1);
  EXPECT_TRUE(table.ColumnSize(1) == 10 && table.ColumnSize(2) == 0);  // texts, binaries only
  EXPECT_TRUE(table.ColumnType(3) == 0 && table.ColumnSize(0) == 0 && *table.ColumnName(9) == 0);
  EXPECT_EQ(table.FindColumn("alpha") + table.FindColumn("Alpha") + table.FindColumn(nullptr), 0);
  std::string long_name(80, 'n');
  table.AddColumn(long_name.c_str(), NET_LONG);  // added after a lookup: the index is rebuilt
  EXPECT_EQ(std::string(table.ColumnName(3)), long_name.substr(0, 63));
  EXPECT_EQ(table.FindColumn(long_name.c_str()), 3);
  EXPECT_EQ(table.FindColumn("zeta"), 1);
  table.AppendRow();
  EXPECT_EQ(table.IsNull(1, "nope") + table.GetLong(1, "nope"), 1);  // a missing name
  EXPECT_EQ(table.SetLong(1, "nope", 1) + table.SetString(1, "nope", "x"), 0);
  EXPECT_EQ(table.SetNull(1, "nope"), 0);
}

TEST(NetTableRows, InsertAndDeleteMoveWholeRows) {
  NetTable table;
  auto keys = [&] {  // column 1, NULL as 0
    std::vector<int> keys;
    for (int r = 1; r <= table.RowCount(); ++r) keys.push_back(table.GetLong(r, 1));
    return keys;
  };
  table.AddColumn("k", NET_LONG);
  for (int r = 1; r <= 3; ++r) table.SetLong(table.AppendRow(), 1, r);
  table.AddColumn("s", NET_CSTRING);  // added with rows present: all NULL
  table.SetString(3, 2, "three");
  EXPECT_EQ(table.InsertRows(2, 2), 5);
  EXPECT_EQ(keys(), (std::vector<int>{1, 0, 0, 2, 3}));
  EXPECT_STREQ(table.GetString(5, 2), "three");
  EXPECT_EQ(table.InsertRows(-7, 1), 6);  // clamped to the front
  EXPECT_EQ(table.InsertRows(99, 1), 7);  // clamped to the end
  EXPECT_EQ(table.DeleteRow(6), 6);       // releases "three"
  EXPECT_EQ(table.DeleteRow(1), 5);
  EXPECT_EQ(keys(), (std::vector<int>{1, 0, 0, 2, 0}));
  EXPECT_EQ(table.IsNull(5, 2), 1);
}

TEST(NetTableDeathTest, CellsCutsNullsConversionsAndContracts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  NetTable table;
  // Char, short, long, superlong, double, float, date-time, table, text object.
  for (int type : {15, 16, 17, 29, 19, 18, 25, 26, 30}) table.AddColumn("n", type);
  table.AddColumn("s", NET_STRING, 5);
  table.AddColumn("b", NET_BINARY, 8);
  table.AppendRow();
  EXPECT_EQ(values_testing::BinaryOf(table, 1, 11), "");  // NULL cells give null results
  EXPECT_EQ(table.GetDateTime(1, 7), DateTimeRecord());
  EXPECT_EQ(table.GetTable(1, 8), nullptr);
  for (auto [r, c] : {std::pair{0, 1}, {2, 1}, {1, 0}, {1, 12}}) {  // missing cells
    EXPECT_EQ(table.IsNull(r, c) + table.GetLong(r, c) + table.SetLong(r, c, 1), 1);
    EXPECT_EQ(table.SetNull(r, c), 0);
  }
  table.SetString(1, 10, "abc", 3);  // the count includes the NUL
  EXPECT_STREQ(table.GetString(1, 10), "ab");
  table.SetString(1, 10, nullptr);
  EXPECT_TRUE(table.IsNull(1, 10) == 0 && *table.GetString(1, 10) == '\0');
  table.SetBinary(1, 11, "x", -3);
  EXPECT_TRUE(table.IsNull(1, 11) == 0 && values_testing::BinaryOf(table, 1, 11).empty());

  table.SetLong(1, 3, 0x12345678);
  EXPECT_TRUE(table.GetChar(1, 3) == 0x78 && table.GetShort(1, 3) == 0x5678);  // cut
  EXPECT_TRUE(table.SetNull(1, 3) == 1 && table.GetLong(1, 3) == 0);
  table.SetDouble(1, 5, -2.7);
  EXPECT_TRUE(table.GetLong(1, 5) == -2 && table.GetChar(1, 5) == -2);  // toward zero
  table.SetDouble(1, 5, 1e300);
  EXPECT_EQ(table.GetSuperLong(1, 5), INT64_MAX);                      // saturated, not undefined
  EXPECT_EQ((table.SetLong(1, 4, -1), table.GetSuperLong(1, 4)), -1);  // sign-extended
  EXPECT_EQ((table.SetSuperLong(1, 4, 0x100000005), table.GetLong(1, 4)), 5);
  EXPECT_EQ((table.SetLong(1, 1, 0x1FF), table.GetChar(1, 1)), -1);
  EXPECT_EQ((table.SetLong(1, 2, 70000), table.GetShort(1, 2)), static_cast<int16_t>(70000));
  EXPECT_EQ((table.SetSuperLong(1, 3, 0x7FFFFFFFFFLL), table.GetLong(1, 3)), -1);
  EXPECT_EQ((table.SetChar(1, 4, -3), table.GetSuperLong(1, 4)), -3);
  EXPECT_TRUE(table.SetLong(1, 6, 5) == 0 && table.IsNull(1, 6) == 1);  // not an integer: nothing
  EXPECT_DEATH(table.GetLong(1, 10), "");          // an accessor of another type
  EXPECT_DEATH(table.FindSorted(3, 1, 0, 2), "");  // not a sort key
  PackBuffer out;
  EXPECT_DEATH(table.Encode(out), "");  // a column that has no tag
}

TEST(NetTableSort, SortAndSearchAgreeWithTheStandardLibrary) {
  std::mt19937_64 rng(11);
  const int kTypes[] = {NET_CHAR,   NET_SHORT,  NET_LONG,    NET_SUPERLONG, NET_FLOAT,
                        NET_DOUBLE, NET_STRING, NET_CSTRING, NET_DATETIME};
  for (int round = 0; round < 40; ++round) {
    int type = kTypes[round % 9];
    bool in_order = round == 2 || round == 3, folded = round % 2 == 1;
    bool text = type == NET_STRING || type == NET_CSTRING,
         real = type == NET_FLOAT || type == NET_DOUBLE;
    int rows = in_order ? 2000 : static_cast<int>(rng() % 4 == 0 ? rng() % 3 : rng() % 300);
    SCOPED_TRACE("round " + std::to_string(round) + " type " + std::to_string(type));
    NetTable table;
    table.AddColumn("key", type, 8);
    table.AddColumn("id", NET_LONG);  // each row carries its id: rows move whole
    table.InsertRows(1, rows);
    // Keys as the sort sees them: numbers (dates as day numbers) or letters; NULL: 0 or "".
    std::vector<std::pair<double, std::string>> keys(rows);
    for (int r = 1; r <= rows; ++r) {
      table.SetLong(r, 2, r - 1);
      int value = in_order ? r / 3 : static_cast<int>(rng() % 51) - 25;
      auto& [number, letters] = keys[r - 1];
      if (!in_order && rng() % 5 == 0) continue;  // NULL
      for (int n = text ? static_cast<int>(rng() % 5) : 0; n > 0; --n) letters += "aBbA"[rng() % 4];
      if (text) table.SetString(r, 1, letters.c_str());
      if (type == NET_DATETIME)
        table.SetDateTime(r, 1, Date(2000 + value % 3, 1, 1 + (value + 25) % 28));
      if (type == NET_FLOAT) table.SetFloat(r, 1, static_cast<float>(value / 2.0));
      if (type == NET_DOUBLE) table.SetDouble(r, 1, value / 2.0);
      if (!text && !real && type != NET_DATETIME) table.SetLong(r, 1, value);
      number = text ? 0 : real ? value / 2.0 : value;
      if (type == NET_DATETIME) number = DateTimeToDayNumber(table.GetDateTime(r, 1));
    }
    table.set_case_insensitive(folded ? 1 : 0);
    auto less = [&](const auto& a, const auto& b) {
      if (!text) return a.first < b.first;
      return folded ? Lower(a.second) < Lower(b.second) : a.second < b.second;
    };
    for (int ascending : {1, 0}) {
      ASSERT_EQ(table.SortByColumn(1, ascending), 1);
      auto expected = keys;
      std::stable_sort(expected.begin(), expected.end(), [&](const auto& a, const auto& b) {
        return ascending != 0 ? less(a, b) : less(b, a);
      });
      std::vector<bool> seen(rows, false);
      for (int r = 1; r <= rows; ++r) {
        int id = table.GetLong(r, 2);
        ASSERT_TRUE(id >= 0 && id < rows && !seen[id]) << r;
        seen[id] = true;
        ASSERT_FALSE(less(keys[id], expected[r - 1]) || less(expected[r - 1], keys[id])) << r;
      }
      if (type != NET_LONG && type != NET_SUPERLONG) {
        EXPECT_EQ(table.FindSorted(1, 0, 1, 0), -1);  // only integer keys are searched
        continue;
      }
      std::vector<int64_t> sorted;
      for (const auto& k : expected) sorted.push_back(static_cast<int64_t>(k.first));
      for (int probe = 0; probe < 40; ++probe) {
        int64_t key = static_cast<int64_t>(rng() % 55) - 27;
        int from = static_cast<int>(rng() % (rows + 2)) - 1;  // below 1: from the first row
        int to = rng() % 3 == 0 ? -1 : static_cast<int>(rng() % (rows + 3));  // past: the last
        int first = std::max(from, 1), last = to == -1 || to > rows ? rows : to;
        if (last < first - 1) continue;
        if (probe % 2 == 0 && last >= first) key = sorted[(probe % 4 == 0 ? last : first) - 1];
        auto order = [&](int64_t a, int64_t b) { return ascending != 0 ? a < b : a > b; };
        auto [lower, upper] =
            std::equal_range(sorted.begin() + first - 1, sorted.begin() + last, key, order);
        int at = static_cast<int>(lower - sorted.begin()) + 1;
        EXPECT_EQ(table.FindSorted(1, key, 0, 0, from, to), lower == upper ? -1 : at);
        EXPECT_EQ(table.FindSorted(1, key, 1, 1, from, to),
                  lower == upper ? at : static_cast<int>(upper - sorted.begin()));
        int hit = table.FindSorted(1, key, 0, 2, from, to);
        EXPECT_TRUE(lower == upper ? hit == -1 : hit >= at && hit < at + (upper - lower)) << hit;
      }
    }
  }
  NetTable table;
  EXPECT_EQ(table.SortByColumn(1, 1), 0);  // no such column
}

TEST(NetTableCopy, CopiesAreDeepEvenFromInsideTheTarget) {
  std::mt19937_64 rng(8);
  NetTable source, copy, inner, outer;
  values_testing::FillRandomTable(rng, source, 3);
  std::string image = Image(source);
  copy.AddColumn("stale", NET_LONG);
  source.CopyTo(copy);
  source.CopyTo(source);  // a copy onto itself changes nothing
  EXPECT_EQ(Image(source), image);
  source.Clear();
  EXPECT_EQ(Image(copy), image);  // deep: the copy outlives its source's cells
  // A table given from inside the cell's own table, which the copy replaces.
  for (NetTable* table : {&inner, &outer}) table->AddColumn("t", NET_TABLE), table->AppendRow();
  inner.SetTable(1, 1, &copy);
  outer.SetTable(1, 1, &inner);
  NetTable* own = outer.GetTable(1, 1);
  outer.SetTable(1, 1, own->GetTable(1, 1));
  EXPECT_EQ(outer.GetTable(1, 1), own);  // the cell keeps its table object
  EXPECT_EQ(Image(*own), image);
}

}  // namespace
