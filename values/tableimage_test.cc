// Tests of the table image: examples, and cut, lying and nested images. Random tables go
// through their images in the value round trips (netdat_test.cc).
#include <gtest/gtest.h>

#include <vector>

#include "values/nettable.h"
#include "values/values_testing.h"

namespace {

using values_testing::Image;

std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 3)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// An image of `depth` tables, each holding the next in its only cell, around `leaf`.
std::string NestedImage(int depth, const std::string& leaf) {
  if (depth == 0) return leaf;
  std::string inner = NestedImage(depth - 1, leaf);
  unsigned char count[4];
  PutBigEndian(count, inner.size(), 4);
  return Unhex("00 00 00 01 00 01 74 00 72 00 00 00 00 72") +
         std::string(reinterpret_cast<char*>(count), 4) + inner;
}

TEST(TableImage, CutUnknownAndLyingImages) {
  std::string wide = Unhex("00 00 00 01 00 7F");  // 127 columns of 1 MiB texts, NULL cells
  for (int c = 0; c < 127; ++c) wide += Unhex("63 00 73 00 10 00 00");
  wide += std::string(127, static_cast<char>(0xF3));
  const struct {
    const char* name;
    std::string image;
    int result;
    const char* printed;
    std::string after;  // the decoded table's image; "=": the image decoded, "": not checked
  } kCases[] = {
      {"an example: a long, a string, a text object, NULL cells",
       Unhex("00 00 00 02 00 03 61 00 69 00 00 00 00 73 00 73 00 00 00 05 76 00 76 00 00 00 00 69 "
             "00 00 00 07 73 61 62 00 73 63 00 E9 F3 F3"),
       1, "", "="},
      {"nesting is bounded: the deepest table decoded keeps a NULL cell",
       NestedImage(kMaxImageDepth + 8, Unhex("00 00 00 00 00 00")), 1, "",
       Hex(NestedImage(kMaxImageDepth - 1, Unhex("00 00 00 01 00 01 74 00 72 00 00 00 00 F2")))},
      {"an unknown column tag ends the decode",
       Unhex("00 00 00 01 00 02 61 00 69 00 00 00 00 6E 6D 00 75 00 00 00 00 69 00 00 00 01 75 00 "
             "00 00 00"),
       0, "unsupport srpc type:117 ,nm\r\n", "00 00 00 00 00 01 61 00 69 00 00 00 00"},
      {"a definition the table refuses", Unhex("00 00 00 00 00 01 62 00 73 7F FF FF FF"), 0,
       "unsupport srpc type:115 ,b\r\n", "00 00 00 00 00 00"},
      {"an 's' cell in a long column is NULL, only its tag consumed",
       Unhex("00 00 00 02 00 01 61 00 69 00 00 00 00 73 69 00 00 00 07"), 1, "",
       "00 00 00 02 00 01 61 00 69 00 00 00 00 E9 69 00 00 00 07"},
      {"'v' cells in a string column, a binary cut to its column",
       Unhex("00 00 00 01 00 02 73 00 73 00 00 00 03 62 00 62 00 00 00 02 76 68 65 6C 6C 6F 00 62 "
             "00 00 00 04 77 78 79 7A"),
       1, "",
       "00 00 00 01 00 02 73 00 73 00 00 00 03 62 00 62 00 00 00 02 73 68 65 6C 00 62 00 00 00 02 "
       "77 78"},
      {"four billion rows declared, ten bytes of cells",
       Unhex("FF FF FF FF 00 01 61 00 69 00 00 00 00 69 00 00 00 01 69 00 00 00 02"), 0, "",
       "00 00 00 0A 00 01 61 00 69 00 00 00 00 69 00 00 00 01 69 00 00 00 02 E9 E9 E9 E9 E9 E9 E9 "
       "E9"},
      {"billions of rows without columns", Unhex("7F FF FF FF 00 00"), 0, "", "00 00 00 00 00 00"},
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
      EXPECT_EQ(Hex(Image(table)), c.after == "=" ? Hex(c.image) : c.after);
    }
  }
  EXPECT_EQ(table.ColumnCount(), 127);  // the wide image's columns, no rows
}

TEST(TableImage, StreamRefusesUndeclaredColumns) {
  PackBuffer out;
  TableStream stream(out, 2, 1);
  EXPECT_EQ(stream.PutColumn("a", 'i', 0), 1);
  EXPECT_EQ(stream.PutColumn("b", 'i', 0), 0);
  EXPECT_EQ(Hex(out.Data(), out.Size()), "00 00 00 02 00 01 61 00 69 00 00 00 00");
}

}  // namespace
