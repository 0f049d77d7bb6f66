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
using values_testing::Image;

TEST(TableImage, Examples) {
  NetTable table;
  table.AddColumn("a", NET_LONG);
  table.AddColumn("s", NET_STRING, 5);
  table.AddColumn("v", NET_CSTRING);
  table.InsertRows(1, 2);
  table.SetLong(1, 1, 7);
  table.SetString(1, 2, "ab");
  table.SetString(1, 3, "c");
  EXPECT_EQ(Hex(Image(table)),
            "00 00 00 02 00 03 61 00 69 00 00 00 00 73 00 73 00 00 00 05 76 00 76 00 00 00 00 "
            "69 00 00 00 07 73 61 62 00 73 63 00 E9 F3 F3");
}

// Every tenth table is also decoded from every cut of its image.
TEST(TableImage, RandomTablesRoundTripAndEveryCutIsSafe) {
  std::mt19937_64 rng(4242);
  for (int round = 0; round < 80; ++round) {
    NetTable table, back;
    values_testing::FillRandomTable(rng, table, round % 10 == 0 ? 2 : 3);
    std::string image = Image(table);
    ASSERT_EQ(back.Decode(image.data(), static_cast<int>(image.size())), 1);
    EXPECT_EQ(Image(back), image);
    for (size_t cut = 0; round % 10 == 0 && cut < image.size(); ++cut) {
      std::vector<char> bytes(image.begin(), image.begin() + static_cast<long>(cut));
      NetTable part;
      part.Decode(bytes.data(), static_cast<int>(cut));
      ASSERT_LE(part.ColumnCount(), table.ColumnCount());
      ASSERT_LE(part.RowCount(), table.RowCount());
      for (int c = 1; c <= part.ColumnCount(); ++c) {
        ASSERT_STREQ(part.ColumnName(c), table.ColumnName(c));
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
    int result;
    const char* printed;
    std::string after;  // the decoded table's image, "" when it is not checked
  } kCases[] = {
      {"an unknown column tag ends the decode",
       Bytes({0,   0, 0, 1, 0, 2,   'a', 0, 'i', 0, 0,   0, 0, 'n', 'm', 0,
              'u', 0, 0, 0, 0, 'i', 0,   0, 0,   1, 'u', 0, 0, 0,   0}),
       0, "unsupport srpc type:117 ,nm\r\n", "00 00 00 00 00 01 61 00 69 00 00 00 00"},
      {"a definition the table refuses",
       Bytes({0, 0, 0, 0, 0, 1, 'b', 0, 's', 0x7F, 0xFF, 0xFF, 0xFF}), 0,
       "unsupport srpc type:115 ,b\r\n", "00 00 00 00 00 00"},
      {"an 's' cell in a long column is NULL, only its tag consumed",
       Bytes({0, 0, 0, 2, 0, 1, 'a', 0, 'i', 0, 0, 0, 0, 's', 'i', 0, 0, 0, 7}), 1, "",
       "00 00 00 02 00 01 61 00 69 00 00 00 00 E9 69 00 00 00 07"},
      {"'v' cells in a string column, a binary cut to its column",
       Bytes({0, 0, 0,   1,   0,   2,   's', 0,   's', 0,   0, 0, 3, 'b', 0,   'b', 0,   0,
              0, 2, 'v', 'h', 'e', 'l', 'l', 'o', 0,   'b', 0, 0, 0, 4,   'w', 'x', 'y', 'z'}),
       1, "",
       "00 00 00 01 00 02 73 00 73 00 00 00 03 62 00 62 00 00 00 02 73 68 65 6C 00 62 00 00 00 02 "
       "77 78"},
      {"four billion rows declared, ten bytes of cells",
       Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0, 1, 'a', 0, 'i', 0, 0, 0,
              0,    'i',  0,    0,    0, 1, 'i', 0, 0,   0, 2}),
       0, "",
       "00 00 00 0A 00 01 61 00 69 00 00 00 00 69 00 00 00 01 69 00 00 00 02 E9 E9 E9 E9 E9 E9 E9 "
       "E9"},
      {"billions of rows without columns", Bytes({0x7F, 0xFF, 0xFF, 0xFF, 0, 0}), 0, "",
       "00 00 00 00 00 00"},
      {"columns declared but never sent", Bytes({0, 0, 0, 1, 0xFF, 0xFF, 'a', 0, 'i', 0, 0, 0, 0}),
       0, "", "00 00 00 00 00 01 61 00 69 00 00 00 00"},
      {"gigabytes of cells for a kilobyte", wide, 0, "", ""},
  };
  NetTable table;  // one table throughout: each decode starts from nothing
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<char> bytes(c.image.begin(), c.image.end());  // exact: reads behind are seen
    testing::internal::CaptureStdout();
    EXPECT_EQ(table.Decode(bytes.data(), static_cast<int>(bytes.size())), c.result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_LE(table.RowCapacity(), 100);  // memory follows the bytes, not the declared rows
    if (!c.after.empty()) {
      EXPECT_EQ(Hex(Image(table)), c.after);
    }
  }
  EXPECT_EQ(table.ColumnCount(), 127);  // the wide image's columns, no rows
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
  std::string image = NestedImage(kMaxImageDepth + 8);
  EXPECT_EQ(table.Decode(image.data(), static_cast<int>(image.size())), 1);
  int levels = 1;
  const NetTable* level = &table;
  for (; level->IsNull(1, 1) == 0; ++levels) level = level->GetTable(1, 1);
  EXPECT_EQ(levels, kMaxImageDepth);
  EXPECT_EQ(level->ColumnCount(), 1);  // the deepest decoded table, its cell left NULL
}

TEST(TableImage, StreamRefusesUndeclaredColumns) {
  PackBuffer out;
  TableStream stream(out, 2, 1);
  EXPECT_EQ(stream.PutColumn("a", 'i', 0), 1);
  EXPECT_EQ(stream.PutColumn("b", 'i', 0), 0);
  EXPECT_EQ(Hex(out.Data(), out.Size()), "00 00 00 02 00 01 61 00 69 00 00 00 00");
}

}  // namespace
