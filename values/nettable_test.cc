// Tests of NetTable: columns, rows, the accessors' type rules, sorting and search, copies.
#include "values/nettable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "testing/text.h"
#include "values/values_testing.h"

namespace {

using values_testing::Date;
using values_testing::Image;

// One NET_LONG column "k" holding the values; INT32_MIN stands for NULL.
void FillKeys(NetTable& table, const std::vector<int>& keys) {
  table.AddColumn("k", NET_LONG);
  table.InsertRows(1, static_cast<int>(keys.size()));
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] != INT32_MIN) table.SetLong(static_cast<int>(i) + 1, 1, keys[i]);
  }
}

std::vector<int> Keys(const NetTable& table) {
  std::vector<int> keys;
  for (int r = 1; r <= table.RowCount(); ++r) {
    keys.push_back(table.IsNull(r, 1) != 0 ? INT32_MIN : table.GetLong(r, 1));
  }
  return keys;
}

// ---- Columns -------------------------------------------------------------------------------

TEST(NetTableColumns, AtMost127AndOnlyColumnTypes) {
  NetTable table;
  for (int c = 1; c <= 127; ++c) {
    ASSERT_EQ(table.AddColumn(("c" + std::to_string(c)).c_str(), NET_LONG), 1);
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(table.AddColumn("c128", NET_LONG), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " max col exceed!\n");
  EXPECT_EQ(table.ColumnCount(), 127);

  NetTable other;
  for (int type : std::initializer_list<int>{NET_BYTE, NET_WORD, NET_DWORD, NET_POINTER, NET_HANDLE,
                                             NET_LIST, NET_LSTRING, 23, 24, 0, 99}) {
    EXPECT_EQ(other.AddColumn("x", type), 0) << type;
  }
  EXPECT_EQ(other.AddColumn("s", NET_STRING, -1), 0);
  EXPECT_EQ(other.AddColumn("b", NET_BINARY, kMaxColumnSize + 1), 0);
  EXPECT_EQ(other.ColumnCount(), 0);
  EXPECT_EQ(other.AddColumn("s", NET_STRING, 10), 1);
  EXPECT_EQ(other.AddColumn("l", NET_LONG, 10), 1);
  EXPECT_EQ(other.ColumnSize(1), 10);
  EXPECT_EQ(other.ColumnSize(2), 0);  // only texts and binaries keep a size
  EXPECT_EQ(other.ColumnType(3), 0);
  EXPECT_EQ(other.ColumnSize(0), 0);
  EXPECT_STREQ(other.ColumnName(9), "");
}

TEST(NetTableColumns, FindColumnByName) {
  NetTable table;
  table.AddColumn("zeta", NET_LONG);
  table.AddColumn("alpha", NET_LONG);
  EXPECT_EQ(table.FindColumn("alpha"), 2);
  EXPECT_EQ(table.FindColumn("Alpha"), -1);  // case-sensitive
  table.AddColumn("mid", NET_LONG);          // added after a lookup: the index is rebuilt
  EXPECT_EQ(table.FindColumn("mid"), 3);
  EXPECT_EQ(table.FindColumn("zeta"), 1);
  EXPECT_EQ(table.FindColumn(nullptr), -1);
  table.AddColumn("alpha", NET_LONG);
  int found = table.FindColumn("alpha");
  EXPECT_TRUE(found == 2 || found == 4);

  std::string long_name(80, 'n');
  table.AddColumn(long_name.c_str(), NET_LONG);
  EXPECT_EQ(std::string(table.ColumnName(5)), long_name.substr(0, 63));
  EXPECT_EQ(table.FindColumn(long_name.c_str()), 5);
  EXPECT_EQ(table.FindColumn(long_name.substr(0, 63).c_str()), 5);
  table.Clear();
  EXPECT_EQ(table.FindColumn("zeta"), -1);
}

TEST(NetTableColumns, ByNameAccessorsOnAMissingName) {
  NetTable table;
  table.AddColumn("n", NET_LONG);
  table.AppendRow();
  EXPECT_EQ(table.SetLong(1, "n", 5), 1);
  EXPECT_EQ(table.GetLong(1, "n"), 5);
  EXPECT_EQ(table.IsNull(1, "nope"), 1);
  EXPECT_EQ(table.GetLong(1, "nope"), 0);
  EXPECT_STREQ(table.GetString(1, "nope"), "");
  EXPECT_EQ(table.SetLong(1, "nope", 1), 0);
  EXPECT_EQ(table.SetString(1, "nope", "x"), 0);
  EXPECT_EQ(table.SetNull(1, "nope"), 0);
}

// ---- Rows ----------------------------------------------------------------------------------

TEST(NetTableRows, CapacityGrowsByStepThenHalfCappedAtAThousand) {
  NetTable table(100, 128);
  table.AddColumn("a", NET_LONG);
  std::vector<int> capacities;
  for (int r = 1; r <= 2278; ++r) {
    table.AppendRow();
    if (capacities.empty() || capacities.back() != table.RowCapacity()) {
      capacities.push_back(table.RowCapacity());
    }
  }
  EXPECT_EQ(capacities, (std::vector<int>{100, 200, 300, 450, 675, 1012, 1518, 2277, 3277}));

  NetTable jump(100, 128);
  jump.AddColumn("a", NET_LONG);
  jump.InsertRows(1, 5000);  // one step is not enough: the need + 1
  EXPECT_EQ(jump.RowCapacity(), 5001);
}

TEST(NetTableRows, InsertAndDeleteMoveWholeRows) {
  NetTable table;
  FillKeys(table, {1, 2, 3});
  table.AddColumn("s", NET_CSTRING);  // added with rows present: all NULL
  EXPECT_EQ(table.IsNull(2, 2), 1);
  table.SetString(3, 2, "three");
  EXPECT_EQ(table.InsertRows(2, 2), 5);
  EXPECT_EQ(Keys(table), (std::vector<int>{1, INT32_MIN, INT32_MIN, 2, 3}));
  EXPECT_STREQ(table.GetString(5, 2), "three");
  EXPECT_EQ(table.InsertRows(-7, 1), 6);  // clamped to the front
  EXPECT_EQ(table.InsertRows(99, 1), 7);  // clamped to the end
  EXPECT_EQ(table.InsertRows(1, 0), 7);
  EXPECT_EQ(table.IsNull(1, 1), 1);
  EXPECT_EQ(table.IsNull(7, 1), 1);
  EXPECT_EQ(table.DeleteRow(6), 6);  // releases "three"
  EXPECT_EQ(table.DeleteRow(1), 5);
  EXPECT_EQ(Keys(table), (std::vector<int>{1, INT32_MIN, INT32_MIN, 2, INT32_MIN}));
  EXPECT_EQ(table.IsNull(5, 2), 1);
}

// ---- Cells and type rules ------------------------------------------------------------------

TEST(NetTableCells, TextAndBinaryAreCutToTheColumn) {
  NetTable table;
  table.AddColumn("s", NET_STRING, 5);
  table.AddColumn("b", NET_BINARY, 8);
  table.AddColumn("o", NET_CSTRING);
  table.AppendRow();
  table.SetString(1, 1, "123456789");
  EXPECT_STREQ(table.GetString(1, 1), "12345");
  table.SetString(1, 1, "abc", 3);  // the count includes the NUL
  EXPECT_STREQ(table.GetString(1, 1), "ab");
  table.SetString(1, 1, nullptr);
  EXPECT_STREQ(table.GetString(1, 1), "");
  EXPECT_EQ(table.IsNull(1, 1), 0);

  std::string twenty = "0123456789abcdefghij";
  table.SetBinary(1, 2, twenty.data(), 20);
  int length;
  EXPECT_EQ(values_testing::BinaryOf(table, 1, 2), "01234567");
  table.SetBinary(1, 2, "x", -3);
  table.GetBinary(1, 2, &length);
  EXPECT_EQ(length, 0);

  std::string long_text(500, 'q');
  table.SetString(1, 3, long_text.c_str());
  EXPECT_EQ(std::string(table.GetString(1, 3)), long_text);
  EXPECT_EQ(table.GetCString(1, 3)->GetLength(), 500);
  table.SetCString(1, 3, CString("obj"));
  EXPECT_STREQ(table.GetString(1, 3), "obj");
}

TEST(NetTableCells, NullAndMissingCellsGiveNullResults) {
  NetTable table;
  table.AddColumn("l", NET_LONG);
  table.AddColumn("s", NET_STRING, 4);
  table.AddColumn("b", NET_BINARY, 4);
  table.AddColumn("t", NET_DATETIME);
  table.AddColumn("r", NET_TABLE);
  table.AppendRow();
  int length = 7;
  EXPECT_EQ(table.GetBinary(1, 3, &length), nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(table.GetDateTime(1, 4), DateTimeRecord());
  EXPECT_EQ(table.GetTable(1, 5), nullptr);
  EXPECT_STREQ(table.GetString(1, 2), "");
  for (auto [r, c] : {std::pair{0, 1}, {2, 1}, {1, 0}, {1, 6}}) {
    EXPECT_EQ(table.IsNull(r, c), 1);
    EXPECT_EQ(table.GetLong(r, c), 0);
    EXPECT_EQ(table.SetLong(r, c, 1), 0);
    EXPECT_EQ(table.SetNull(r, c), 0);
  }
  table.SetLong(1, 1, 9);
  EXPECT_EQ(table.SetNull(1, 1), 1);
  EXPECT_EQ(table.GetLong(1, 1), 0);
  table.SetDateTime(1, 4, 36526.5);  // from a day number
  EXPECT_EQ(table.GetDateTime(1, 4), Date(2000, 1, 1, 12));
}

TEST(NetTableCells, IntegerConversions) {
  NetTable table;
  table.AddColumn("c", NET_CHAR);
  table.AddColumn("s", NET_SHORT);
  table.AddColumn("l", NET_LONG);
  table.AddColumn("w", NET_SUPERLONG);
  table.AddColumn("d", NET_DOUBLE);
  table.AddColumn("f", NET_FLOAT);
  table.AppendRow();

  table.SetLong(1, 3, 0x12345678);
  EXPECT_EQ(table.GetChar(1, 3), 0x78);  // cut to the width asked for
  EXPECT_EQ(table.GetShort(1, 3), 0x5678);
  table.SetDouble(1, 5, -2.7);
  EXPECT_EQ(table.GetLong(1, 5), -2);  // toward zero
  EXPECT_EQ(table.GetChar(1, 5), -2);
  table.SetDouble(1, 5, 1e300);
  EXPECT_EQ(table.GetSuperLong(1, 5), INT64_MAX);  // saturated, not undefined

  EXPECT_EQ(table.SetLong(1, 4, -1), 1);  // sign-extended
  EXPECT_EQ(table.GetSuperLong(1, 4), -1);
  table.SetSuperLong(1, 4, 0x100000005);
  EXPECT_EQ(table.GetLong(1, 4), 5);
  EXPECT_EQ(table.SetLong(1, 1, 0x1FF), 1);  // cut
  EXPECT_EQ(table.GetChar(1, 1), -1);
  EXPECT_EQ(table.SetLong(1, 2, 70000), 1);
  EXPECT_EQ(table.GetShort(1, 2), static_cast<int16_t>(70000));
  EXPECT_EQ(table.SetSuperLong(1, 3, 0x7FFFFFFFFFLL), 1);  // cut to 32 bits
  EXPECT_EQ(table.GetLong(1, 3), -1);
  EXPECT_EQ(table.SetChar(1, 4, -3), 1);
  EXPECT_EQ(table.GetSuperLong(1, 4), -3);
  EXPECT_EQ(table.SetShort(1, 4, -300), 1);
  EXPECT_EQ(table.GetSuperLong(1, 4), -300);

  // SetLong on a non-integer column stores nothing.
  EXPECT_EQ(table.SetLong(1, 6, 5), 0);
  EXPECT_EQ(table.IsNull(1, 6), 1);
}

TEST(NetTableDeathTest, ContractViolations) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  NetTable table;
  table.AddColumn("c", NET_CHAR);
  table.AddColumn("l", NET_LONG);
  table.AddColumn("d", NET_DOUBLE);
  table.AddColumn("b", NET_BINARY, 4);
  table.AppendRow();
  // Accessors of another type.
  EXPECT_DEATH(table.GetFloat(1, 3), "");
  EXPECT_DEATH(table.GetLong(1, 1), "");
  EXPECT_DEATH(table.SetChar(1, 2, 'x'), "");
  EXPECT_DEATH(table.SetSuperLong(1, 3, 1), "");
  EXPECT_DEATH(table.SetString(1, 2, "x"), "");
  EXPECT_DEATH(table.GetBinary(1, 2, nullptr), "");
  EXPECT_DEATH(table.SetTable(1, 4, nullptr), "");
  // Sorts, searches and deletes that cannot be, a column that has no tag.
  EXPECT_DEATH(table.SortByColumn(4, 1), "");
  EXPECT_DEATH(table.FindSorted(2, 1, 0, 2), "");  // not a sort key
  table.SortByColumn(2, 1);
  EXPECT_DEATH(table.FindSorted(2, 1, 0, 3), "");  // no such mode
  EXPECT_DEATH(table.DeleteRow(2), "");
  EXPECT_DEATH(table.DeleteRow(0), "");
  PackBuffer out;
  EXPECT_DEATH(table.Encode(out), "");
}

// ---- Sorting and search --------------------------------------------------------------------

// A key as the sort compares it: numbers (integers, reals, day numbers) or texts; NULL is zero
// or "".
struct ModelKey {
  double number = 0;
  std::string text;
};

// One key column of `type` filled at random (letters only, so that case folding is plain),
// with the model's keys; `sorted_input` gives keys already in order, many equal.
std::vector<ModelKey> FillRandomKeys(std::mt19937_64& rng, NetTable& table, int type, int rows,
                                     bool sorted_input) {
  table.AddColumn("key", type, 8);
  table.InsertRows(1, rows);
  std::vector<ModelKey> keys(rows);
  for (int r = 1; r <= rows; ++r) {
    ModelKey& key = keys[r - 1];
    int value = sorted_input ? r / 3 : static_cast<int>(rng() % 51) - 25;
    if (!sorted_input && rng() % 5 == 0) continue;  // NULL
    if (type == NET_STRING || type == NET_CSTRING) {
      for (int n = static_cast<int>(rng() % 5); n > 0; --n) key.text += "aBbA"[rng() % 4];
      table.SetString(r, 1, key.text.c_str());
    } else if (type == NET_DATETIME) {
      table.SetDateTime(r, 1, Date(2000 + value % 3, 1, 1 + (value + 25) % 28));
      key.number = DateTimeToDayNumber(table.GetDateTime(r, 1));
    } else if (type == NET_FLOAT || type == NET_DOUBLE) {
      key.number = value / 2.0;
      type == NET_FLOAT ? table.SetFloat(r, 1, static_cast<float>(key.number))
                        : table.SetDouble(r, 1, key.number);
    } else {
      key.number = value;
      table.SetLong(r, 1, value);
    }
  }
  return keys;
}

TEST(NetTableSort, SortAndSearchAgreeWithTheStandardLibrary) {
  std::mt19937_64 rng(11);
  const int kTypes[] = {NET_CHAR,   NET_SHORT,  NET_LONG,    NET_SUPERLONG, NET_FLOAT,
                        NET_DOUBLE, NET_STRING, NET_CSTRING, NET_DATETIME};
  for (int round = 0; round < 40; ++round) {
    int type = kTypes[round % 9];
    bool sorted_input = round == 2 || round == 3;
    int rows = sorted_input ? 2000 : static_cast<int>(rng() % 4 == 0 ? rng() % 3 : rng() % 300);
    bool folded = round % 2 == 1;
    SCOPED_TRACE("round " + std::to_string(round) + " type " + std::to_string(type));
    NetTable table;
    std::vector<ModelKey> keys = FillRandomKeys(rng, table, type, rows, sorted_input);
    // Each row carries its id as text and, in the last column, as a number: rows move whole.
    table.AddColumn("text", NET_CSTRING);
    table.AddColumn("id", NET_LONG);
    for (int r = 1; r <= rows; ++r) {
      table.SetString(r, 2, std::to_string(r - 1).c_str());
      table.SetLong(r, 3, r - 1);
    }
    table.set_case_insensitive(folded ? 1 : 0);
    auto less = [&](const ModelKey& a, const ModelKey& b) {
      if (type != NET_STRING && type != NET_CSTRING) return a.number < b.number;
      return folded ? Lower(a.text) < Lower(b.text) : a.text < b.text;
    };
    for (int ascending : {1, 0}) {
      ASSERT_EQ(table.SortByColumn(1, ascending), 1);
      std::vector<ModelKey> expected = keys;
      std::stable_sort(expected.begin(), expected.end(), [&](const auto& a, const auto& b) {
        return ascending != 0 ? less(a, b) : less(b, a);
      });
      std::vector<bool> seen(rows, false);
      for (int r = 1; r <= rows; ++r) {
        int id = table.GetLong(r, 3);
        ASSERT_TRUE(id >= 0 && id < rows && !seen[id]) << r;
        seen[id] = true;
        ASSERT_EQ(std::to_string(id), table.GetString(r, 2));
        const ModelKey& key = keys[id];
        ASSERT_FALSE(less(key, expected[r - 1]) || less(expected[r - 1], key)) << "row " << r;
      }
      if (type != NET_LONG && type != NET_SUPERLONG) {
        EXPECT_EQ(table.FindSorted(1, 0, 1, 0), -1);  // only integer keys are searched
        continue;
      }
      std::vector<int64_t> sorted;
      for (const ModelKey& key : expected) sorted.push_back(static_cast<int64_t>(key.number));
      for (int probe = 0; probe < 40; ++probe) {
        int64_t key = static_cast<int64_t>(rng() % 55) - 27;
        int from = static_cast<int>(rng() % (rows + 2)) - 1;  // below 1: from the first row
        int to = rng() % 3 == 0 ? -1 : static_cast<int>(rng() % (rows + 3));  // past: the last
        int first = std::max(from, 1);
        int last = to == -1 || to > rows ? rows : to;
        if (last < first - 1) continue;
        if (probe % 2 == 0 && last >= first) key = sorted[(probe % 4 == 0 ? last : first) - 1];
        auto begin = sorted.begin() + (first - 1), end = sorted.begin() + last;
        auto lower = ascending != 0 ? std::lower_bound(begin, end, key)
                                    : std::lower_bound(begin, end, key, std::greater<>());
        auto upper = ascending != 0 ? std::upper_bound(begin, end, key)
                                    : std::upper_bound(begin, end, key, std::greater<>());
        int at = static_cast<int>(lower - sorted.begin()) + 1;
        int after = static_cast<int>(upper - sorted.begin());
        SCOPED_TRACE("key " + std::to_string(key) + " in " + std::to_string(from) + ".." +
                     std::to_string(to));
        if (lower == upper) {
          EXPECT_EQ(table.FindSorted(1, key, 0, 0, from, to), -1);
          EXPECT_EQ(table.FindSorted(1, key, 1, 1, from, to), at);
        } else {
          EXPECT_EQ(table.FindSorted(1, key, 0, 0, from, to), at);
          EXPECT_EQ(table.FindSorted(1, key, 1, 1, from, to), after);
          int hit = table.FindSorted(1, key, 0, 2, from, to);
          EXPECT_TRUE(hit >= at && hit <= after) << hit;
        }
      }
    }
  }
  NetTable table;
  EXPECT_EQ(table.SortByColumn(1, 1), 0);  // no such column
}

// ---- Copies --------------------------------------------------------------------------------

TEST(NetTableCopy, CopiesAreDeepAndIndependent) {
  std::mt19937_64 rng(8);
  NetTable source;
  values_testing::FillRandomTable(rng, source, 3);
  source.AddColumn("obj", NET_CSTRING);
  source.AddColumn("tab", NET_TABLE);
  source.AppendRow();
  int row = source.RowCount();
  source.SetString(row, source.ColumnCount() - 1, "object");
  NetTable inner;
  inner.AddColumn("x", NET_LONG);
  inner.AppendRow();
  inner.SetLong(1, 1, 42);
  source.SetTable(row, source.ColumnCount(), &inner);

  NetTable copy;
  copy.AddColumn("stale", NET_LONG);
  source.CopyTo(copy);
  EXPECT_EQ(Image(source), Image(copy));
  source.SetString(row, source.ColumnCount() - 1, "changed");
  source.GetTable(row, source.ColumnCount())->SetLong(1, 1, 7);
  EXPECT_STREQ(copy.GetString(row, copy.ColumnCount() - 1), "object");
  EXPECT_EQ(copy.GetTable(row, copy.ColumnCount())->GetLong(1, 1), 42);
  source.CopyTo(source);  // a copy onto itself changes nothing
  EXPECT_EQ(source.GetTable(row, source.ColumnCount())->GetLong(1, 1), 7);
}

TEST(NetTableCopy, SetTableFromInsideItsOwnCell) {
  NetTable inner;
  inner.AddColumn("v", NET_LONG);
  inner.AppendRow();
  inner.SetLong(1, 1, 3);
  NetTable middle;
  middle.AddColumn("t", NET_TABLE);
  middle.AppendRow();
  middle.SetTable(1, 1, &inner);
  NetTable outer;
  outer.AddColumn("t", NET_TABLE);
  outer.AppendRow();
  outer.SetTable(1, 1, &middle);
  NetTable* own = outer.GetTable(1, 1);
  // The given table lives inside the cell's table that the copy replaces.
  outer.SetTable(1, 1, own->GetTable(1, 1));
  EXPECT_EQ(outer.GetTable(1, 1), own);  // the cell keeps its table object
  EXPECT_EQ(Image(*outer.GetTable(1, 1)), Image(inner));
}

}  // namespace
