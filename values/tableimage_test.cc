// Tests of the table image: examples, round trips, and cut, lying and nested images.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "values/nettable.h"
#include "values/values_testing.h"

namespace {

using values_testing::Bytes;
using values_testing::Hex;
using values_testing::Image;

int Decode(NetTable& table, const std::string& image) {
  return table.Decode(image.data(), static_cast<int>(image.size()));
}

// ---- Table image ---------------------------------------------------------------------------

TEST(TableImage, OneRowExample) {
  NetTable table;
  table.AddColumn("a", NET_LONG);
  table.AppendRow();
  table.SetLong(1, 1, 7);
  EXPECT_EQ(::Hex(Image(table)), "00 00 00 01 00 01 61 00 69 00 00 00 00 69 00 00 00 07");
  table.SetNull(1, 1);
  EXPECT_EQ(::Hex(Image(table)), "00 00 00 01 00 01 61 00 69 00 00 00 00 E9");

  NetTable texts;
  texts.AddColumn("s", NET_STRING, 5);
  texts.AddColumn("v", NET_CSTRING);
  texts.AppendRow();
  texts.SetString(1, 1, "ab");
  texts.SetString(1, 2, "c");
  EXPECT_EQ(::Hex(Image(texts)),
            "00 00 00 01 00 02 73 00 73 00 00 00 05 76 00 76 00 00 00 00 "
            "73 61 62 00 73 63 00");
}

TEST(TableImage, RandomTablesRoundTrip) {
  std::mt19937_64 rng(4242);
  for (int round = 0; round < 80; ++round) {
    NetTable table;
    values_testing::FillRandomTable(rng, table, 3);
    std::string image = Image(table);
    NetTable back;
    ASSERT_EQ(Decode(back, image), 1);
    EXPECT_EQ(Image(back), image);
  }
}

TEST(TableImage, EveryCutIsSafe) {
  std::mt19937_64 rng(77);
  for (int round = 0; round < 8; ++round) {
    NetTable table;
    values_testing::FillRandomTable(rng, table, 2);
    std::string image = Image(table);
    for (size_t cut = 0; cut < image.size(); ++cut) {
      std::vector<char> bytes(image.begin(), image.begin() + static_cast<long>(cut));
      NetTable back;
      back.Decode(bytes.data(), static_cast<int>(cut));
      ASSERT_LE(back.ColumnCount(), table.ColumnCount());
      ASSERT_LE(back.RowCount(), table.RowCount());
      for (int c = 1; c <= back.ColumnCount(); ++c) {
        ASSERT_STREQ(back.ColumnName(c), table.ColumnName(c));
      }
    }
  }
}

TEST(TableImage, CutUnknownAndLyingImages) {
  std::string wide = Bytes({0, 0, 0, 1, 0, 127});  // 127 columns of 1 MiB texts, NULL cells
  for (int c = 0; c < 127; ++c) wide += Bytes({'c', 0, 's', 0, 0x10, 0, 0});
  wide += std::string(127, static_cast<char>(0xF3));
  const struct {
    const char* name;
    std::string image;
    int result, columns, rows;  // rows -1: checked by `more`
    const char* printed;
    std::function<void(const NetTable&)> more;
  } kCases[] = {
      {"an unknown column tag ends the decode",
       Bytes({0,   0, 0, 1, 0, 2,   'a', 0, 'i', 0, 0,   0, 0, 'n', 'm', 0,
              'u', 0, 0, 0, 0, 'i', 0,   0, 0,   1, 'u', 0, 0, 0,   0}),
       0, 1, 0, "unsupport srpc type:117 ,nm\r\n", nullptr},
      {"a definition the table refuses",
       Bytes({0, 0, 0, 0, 0, 1, 'b', 0, 's', 0x7F, 0xFF, 0xFF, 0xFF}), 0, 0, 0,
       "unsupport srpc type:115 ,b\r\n", nullptr},
      {"an 's' cell in a long column is NULL, only its tag consumed",
       Bytes({0, 0, 0, 2, 0, 1, 'a', 0, 'i', 0, 0, 0, 0, 's', 'i', 0, 0, 0, 7}), 1, 1, 2, "",
       [](const NetTable& t) {
         EXPECT_EQ(t.IsNull(1, 1), 1);
         EXPECT_EQ(t.GetLong(2, 1), 7);
       }},
      {"'v' cells in a string column, a binary cut to its column",
       Bytes({0, 0, 0,   1,   0,   2,   's', 0,   's', 0,   0, 0, 3, 'b', 0,   'b', 0,   0,
              0, 2, 'v', 'h', 'e', 'l', 'l', 'o', 0,   'b', 0, 0, 0, 4,   'w', 'x', 'y', 'z'}),
       1, 2, 1, "",
       [](const NetTable& t) {
         EXPECT_STREQ(t.GetString(1, 1), "hel");
         EXPECT_EQ(values_testing::BinaryOf(t, 1, 2), "wx");
       }},
      {"four billion rows declared, two cells present",
       Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0, 1, 'a', 0, 'i', 0, 0, 0,
              0,    'i',  0,    0,    0, 1, 'i', 0, 0,   0, 2}),
       0, 1, -1, "",
       [](const NetTable& t) {
         EXPECT_LE(t.RowCount(), 10);
         EXPECT_EQ(t.RowCapacity(), 100);
         EXPECT_EQ(t.GetLong(2, 1), 2);
       }},
      {"gigabytes of cells for a kilobyte", wide, 0, 127, 0, "", nullptr},
      {"billions of rows without columns", Bytes({0x7F, 0xFF, 0xFF, 0xFF, 0, 0}), 0, 0, 0, "",
       nullptr},
      {"columns declared but never sent", Bytes({0, 0, 0, 1, 0xFF, 0xFF, 'a', 0, 'i', 0, 0, 0, 0}),
       0, 1, 0, "", nullptr},
  };
  NetTable table;  // one table throughout: each decode starts from nothing
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<char> bytes(c.image.begin(), c.image.end());  // exact: reads behind are seen
    testing::internal::CaptureStdout();
    EXPECT_EQ(table.Decode(bytes.data(), static_cast<int>(bytes.size())), c.result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_EQ(table.ColumnCount(), c.columns);
    if (c.rows >= 0) {
      EXPECT_EQ(table.RowCount(), c.rows);
    }
    if (c.more) c.more(table);
  }
}

// An image of `depth` tables, each holding the next in its only cell.
std::string NestedImage(int depth) {
  if (depth == 0) return Bytes({0, 0, 0, 0, 0, 0});
  std::string inner = NestedImage(depth - 1);
  unsigned char count[4];
  PutBigEndian(count, inner.size(), 4);
  return Bytes({0, 0, 0, 1, 0, 1, 't', 0, 'r', 0, 0, 0, 0, 'r'}) +
         std::string(reinterpret_cast<char*>(count), 4) + inner;
}

TEST(TableImage, NestingIsBounded) {
  NetTable table;
  EXPECT_EQ(Decode(table, NestedImage(kMaxImageDepth + 8)), 1);
  int levels = 1;
  const NetTable* level = &table;
  while (level->IsNull(1, 1) == 0) {
    level = level->GetTable(1, 1);
    ++levels;
  }
  EXPECT_EQ(levels, kMaxImageDepth);
  EXPECT_EQ(level->ColumnCount(), 1);  // the deepest decoded table, its cell left NULL

  NetTable shallow;
  EXPECT_EQ(Decode(shallow, NestedImage(3)), 1);
  EXPECT_EQ(shallow.GetTable(1, 1)->GetTable(1, 1)->GetTable(1, 1)->ColumnCount(), 0);
}

TEST(TableImage, StreamRefusesUndeclaredColumns) {
  PackBuffer out;
  TableStream stream(out, 2, 1);
  EXPECT_EQ(stream.PutColumn("a", 'i', 0), 1);
  EXPECT_EQ(stream.PutColumn("b", 'i', 0), 0);
  EXPECT_EQ(Hex(out), "00 00 00 02 00 01 61 00 69 00 00 00 00");
}

TEST(TableImage, TablesInsideValueLists) {
  std::mt19937_64 rng(12);
  auto* table = new NetTable();
  values_testing::FillRandomTable(rng, *table, 2);
  NetValueList list;
  list.Append(2);
  list.SetTable(0, table, 1);
  list.SetNull(1, NET_TABLE);
  PackBuffer out;
  ASSERT_EQ(list.Encode(out), 1);
  std::string image = Image(*table);
  ASSERT_EQ(out.Data()[0], 'r');
  unsigned char count[4];
  PutBigEndian(count, image.size(), 4);
  EXPECT_EQ(std::string(out.Data() + 1, 4), std::string(reinterpret_cast<char*>(count), 4));
  EXPECT_EQ(std::string(out.Data() + 5, image.size()), image);
  EXPECT_EQ(static_cast<unsigned char>(out.Data()[out.Size() - 1]), 0xF2);
}

}  // namespace
