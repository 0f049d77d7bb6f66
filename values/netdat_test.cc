// Tests of NetValueList, argument decoding, value round trips and the value pools.
#include "values/netdat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "values/nettable.h"
#include "values/values_testing.h"

namespace {

using values_testing::BinaryOf;
using values_testing::Bytes;

// Types that cannot be sent (round trips drive the others), log forms, lengths, ownership.
TEST(NetValueListTest, CellsOfEveryKind) {
  NetValueList list;
  EXPECT_TRUE(list.Append(8) == 8 && list.Append(0) == 8);
  EXPECT_TRUE(list.Type(7) == NET_BYTE && list.IsNull(7) != 0);  // appended cells
  int dummy = 0;
  EXPECT_EQ((list.SetByte(0, 255), list.GetByte(0)), 255);
  EXPECT_EQ((list.SetWord(1, 65535), list.GetWord(1)), 65535);
  EXPECT_EQ((list.SetDword(2, 0xFFFFFFFFu), list.GetDword(2)), 0xFFFFFFFFu);
  EXPECT_EQ((list.SetChar(3, -1), list.GetChar(3)), -1);
  EXPECT_EQ((list.SetShort(4, -32768), list.GetShort(4)), -32768);
  EXPECT_EQ((list.SetPointer(5, &dummy), list.GetPointer(5)), &dummy);
  EXPECT_EQ((list.SetHandle(6, &list), list.GetPointer(6)), &list);  // read as a pointer
  list.SetChar(3, 'q');
  list.SetChar(7, '\0');
  EXPECT_STREQ(list.Print(),
               "NET_BYTE 255 ,NET_WORD 65535 ,NET_DWORD -1 ,NET_CHAR q ,"
               "NET_SHORT -32768 ,NET_POINTER  ,NET_HANDLE  ,NET_CHAR  ");
  list.Clear();
  EXPECT_EQ(list.RemoveAt(0), 0);  // empty: nothing, no violation
  list.Append(4);
  int length;
  list.SetString(1, "ab", 3);  // the NUL is copied too
  EXPECT_TRUE(list.GetString(1, &length) && length == 3);
  list.SetString(2, nullptr);
  EXPECT_STREQ(list.GetString(2, &length), "");
  list.SetString(0, "ab");
  list.SetString(0, list.GetString(0) + 1);  // from the cell itself
  EXPECT_STREQ(list.GetString(0), "b");

  std::mt19937_64 rng(3);
  std::string block(kBinaryBlockSize + 1, '\0');
  for (char& ch : block) ch = static_cast<char>(rng());
  // Either side of the sizes that take a pool block, a negative length, its own bytes.
  for (int size : {kBinaryBlockSize + 1, kBinaryBlockSize, kBinaryBlockSize / 2,
                   kBinaryBlockSize / 2 + 1, 7}) {
    list.SetBinary(1, block.data(), size);
    EXPECT_EQ(BinaryOf(list, 1), block.substr(0, size)) << size;
    const char* own = list.GetBinary(1, &length);
    list.SetBinary(1, own + 1, length - 1);
    EXPECT_EQ(BinaryOf(list, 1), block.substr(1, size - 1)) << size;
  }
  list.SetBinary(2, "abc", -4);
  EXPECT_EQ(BinaryOf(list, 2), "");
  list.SetString(1, "after");
  EXPECT_STREQ(list.GetString(1), "after");
  auto* table = new NetTable();
  table->AddColumn("a", NET_LONG);
  list.SetTable(0, table, 1);
  list.SetTable(0, table, 1);  // the same table again: kept, not deleted
  EXPECT_TRUE(list.GetTable(0)->ColumnCount() == 1 && list.IsOwned(0) == 1);
  NetTable outside;
  list.SetTable(1, &outside, 0);
  EXPECT_EQ(list.IsOwned(1), 0);
  auto* nested = new NetValueList();
  list.SetList(2, nested, 1);
  EXPECT_EQ(list.GetList(2), nested);
  list.SetLong(0, 1);  // deletes the owned table (the leak checker sees it otherwise)
  EXPECT_STREQ(list.Print(), "NET_LONG 1 ,NET_TABLE ,NET_LIST ,NET_BYTE NULL ");
  list.RemoveAt(1);  // leaves `outside` alone
  EXPECT_EQ(outside.ColumnCount(), 0);
}

TEST(ArgumentDecoding, CutUnknownAndLyingPayloads) {
  const struct {
    const char* name;
    std::string bytes;
    int count;
    const char* printed;
  } kCases[] = {
      {"an unknown tag ends the list, leaving a NULL byte",
       Bytes({'s', 'a', 0, 0x01, 'i', 0, 0, 0, 5}), 2, "NET_STRING a ,NET_BYTE NULL "},
      {"NULL tags keep their types", Bytes({0xE9, 0xEC, 0xE6, 0xE4, 0xF3, 0xE2, 0xF4, 0xF5, 0xF2}),
       9,
       "NET_LONG NULL ,NET_SUPERLONG NULL ,NET_FLOAT NULL ,NET_DOUBLE NULL ,NET_STRING NULL ,"
       "NET_BINARY NULL ,NET_DATETIME NULL ,NET_LSTRING NULL ,NET_TABLE NULL "},
      {"an empty table image leaves the cell as appended",
       Bytes({'r', 0, 0, 0, 0, 'i', 0, 0, 0, 9}), 2, "NET_BYTE NULL ,NET_LONG 9 "},
      {"a count beyond the bytes", Bytes({'b', 0, 0, 0x03, 0xE8}) + "0123456789", 1,
       "NET_BINARY(SIZE:10) "},
      {"a negative count, a text cut at the end", Bytes({'u', 0x80, 0, 0, 0, 'd'}) + "-4.25", 2,
       "NET_LSTRING(SIZE:0) ,NET_DOUBLE -4.250000 "},
      {"a cut long", Bytes({'i', 0, 0, 0, 1, 'i', 0, 0}), 2, "NET_LONG 1 ,NET_BYTE NULL "},
      {"the other forms",
       std::string(
           "t\x07\xE8\x03\x05\x17\0\0\0\0\0f1.5\0l\0\x0E\xFA\xD5\xFE\xFF\xFF\xFFu\0\0\0\x01\0", 31),
       4,
       "NET_DATETIME 2024-03-05,NET_FLOAT 1.500000 ,NET_SUPERLONG -5000000000 "
       ",NET_LSTRING(SIZE:1) "},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<char> bytes(c.bytes.begin(), c.bytes.end());  // exact: reads behind are seen
    NetValueList list;
    ASSERT_EQ(list.Decode(bytes.data(), static_cast<int>(bytes.size())), c.count);
    EXPECT_STREQ(list.Print(), c.printed);
  }
}

// An 'r' value carrying `image`.
std::string TableValue(const std::string& image) {
  unsigned char count[4];
  PutBigEndian(count, image.size(), 4);
  return "r" + std::string(reinterpret_cast<char*>(count), 4) + image;
}

TEST(ArgumentDecoding, MemoryFollowsTheBytesWhateverTheyHold) {
  // A string column of 4,000 characters and as many NULL cells; 14,000 rows of empty tables.
  std::string wide = Bytes({0, 0, 0x0F, 0xA0, 0, 1, 'w', 0, 's', 0, 0, 0x0F, 0xA0}) +
                     std::string(4000, static_cast<char>(0xF3));
  std::string nested = Bytes({0, 0, 0x36, 0xB0, 0, 1, 't', 0, 'r', 0, 0, 0, 0}),
              empty = TableValue(Bytes({0, 0, 0, 0, 0, 1, 'c', 0, 'i', 0, 0, 0, 0}));
  while (nested.size() < 13 + 14000 * empty.size()) nested += empty;
  for (const std::string& unit :
       {Bytes({'b', 0, 0, 0, 0}), Bytes({'b', 0, 0, 0, 1, 'x'}), Bytes({0xE2}), Bytes({'s', 0}),
        Bytes({'u', 0, 0, 0, 0}), TableValue(wide), TableValue(nested)}) {
    std::string bytes = unit;
    while (bytes.size() + unit.size() <= (256 << 10)) bytes += unit;
    NetValueList list;
    uint64_t before = Heap::AllocatedBytes();
    list.Decode(bytes.data(), static_cast<int>(bytes.size()));
    EXPECT_LE(Heap::AllocatedBytes() - before, (1u << 20) + 2 * bytes.size());  // 1 MiB + 2x
  }
}

// Element i of `list` set to a random value of an encodable type, NULL now and then; binaries
// either side of a pool block's size, nested tables.
void PutRandom(std::mt19937_64& rng, NetValueList& list, int i, size_t most_bytes) {
  static const int kTypes[] = {NET_LONG,   NET_SUPERLONG, NET_FLOAT,   NET_DOUBLE, NET_STRING,
                               NET_BINARY, NET_DATETIME,  NET_LSTRING, NET_TABLE};
  int type = kTypes[rng() % 9];
  std::string bytes = values_testing::RandomBytes(rng, 40, type == NET_STRING);
  if (type == NET_BINARY && rng() % 8 == 0) bytes.resize(kBinaryBlockSize + rng() % 3 - 1);
  bytes.resize(std::min(bytes.size(), most_bytes));
  if (rng() % 6 == 0) return list.SetNull(i, type);
  if (type == NET_LONG) list.SetLong(i, static_cast<int32_t>(rng()));
  if (type == NET_SUPERLONG) list.SetSuperLong(i, static_cast<int64_t>(rng()));
  if (type == NET_FLOAT) list.SetFloat(i, values_testing::RandomReal<float, uint32_t>(rng));
  if (type == NET_DOUBLE) list.SetDouble(i, values_testing::RandomReal<double, uint64_t>(rng));
  if (type == NET_STRING) list.SetString(i, bytes.c_str());
  if (type == NET_BINARY) list.SetBinary(i, bytes.data(), static_cast<int>(bytes.size()));
  if (type == NET_LSTRING) list.SetLString(i, bytes.data(), static_cast<int>(bytes.size()));
  if (type == NET_DATETIME) list.SetDateTime(i, values_testing::RandomDateTime(rng));
  if (type == NET_TABLE) {
    auto* table = new NetTable();
    values_testing::FillRandomTable(rng, *table, 2);
    list.SetTable(i, table, 1);
  }
}

std::string Encoded(const NetValueList& list) {
  PackBuffer out;
  EXPECT_EQ(list.Encode(out), 1);
  return std::string(out.Data(), static_cast<size_t>(out.Size()));
}

// The encoders' bytes are pinned by the encoding tests: a list decoded from them that encodes
// to the same bytes holds the same values, bit for bit. The first rounds also cut the image
// everywhere: the complete values in front of the cut decode.
TEST(ValueRoundTrip, RandomListsAndEveryCut) {
  std::mt19937_64 rng(20240305);
  for (int round = 0; round < 60; ++round) {
    std::string image;
    std::vector<size_t> ends;  // where each value's encoding ends
    for (int n = static_cast<int>(rng() % 12); n > 0; --n) {
      NetValueList one;
      one.Append(1);
      PutRandom(rng, one, 0, round < 6 ? 1000 : 1 << 20);  // short values cut quickly
      image += Encoded(one);
      ends.push_back(image.size());
    }
    for (size_t cut = round < 6 ? 0 : image.size(); cut <= image.size(); ++cut) {
      std::vector<char> bytes(image.begin(), image.begin() + static_cast<long>(cut));
      NetValueList back;
      int count = back.Decode(bytes.data(), static_cast<int>(cut));
      int complete =
          static_cast<int>(std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin());
      ASSERT_GE(count, complete) << "cut " << cut;
      ASSERT_TRUE(cut < image.size() || count == complete) << "round " << round;
      while (back.Count() > complete) back.RemoveAt(back.Count() - 1);
      ASSERT_EQ(Encoded(back), image.substr(0, complete > 0 ? ends[complete - 1] : 0)) << cut;
    }
  }
}

TEST(ValuePools, SteadyStateAllocatesNothingAndFreeListsAreBounded) {
  NetValueList list;
  std::string block(kBinaryBlockSize, 'b');
  auto call = [&](int cells, int size) {
    list.Append(cells);
    for (int i = 0; i < cells; i += 2) {
      list.SetString(i, "a short argument text");
      list.SetBinary(i + 1, block.data(), size);
    }
    list.Clear();
  };
  call(10, 3000), call(10, 3000);
  uint64_t before = Heap::AllocationCount();
  for (int k = 0; k < 50; ++k) call(10, 3000);
  EXPECT_EQ(Heap::AllocationCount(), before);
  call(300, kBinaryBlockSize);
  NetValuePoolCounts counts = GetNetValuePoolCounts();
  EXPECT_EQ(*std::max_element(std::begin(counts.cells), std::end(counts.cells)), 100);
  EXPECT_EQ(std::max(counts.blocks[0], counts.blocks[1]), 20);
}

TEST(NetValueListDeathTest, ContractViolations) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  NetValueList list;
  list.Append(2);
  list.SetLong(0, 1);
  EXPECT_DEATH(list.GetDouble(0), "");  // a getter of another type
  EXPECT_DEATH(list.GetByte(2), "");    // an index out of range
  PackBuffer out;
  EXPECT_DEATH(list.Encode(out), "");  // the NULL byte an unknown tag leaves cannot be sent
}

}  // namespace
