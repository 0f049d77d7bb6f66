// Tests of the value encoding, PackBuffer, NetValueList and the value pools.
#include "values/netdat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "values/nettable.h"
#include "values/values_testing.h"

namespace {

using values_testing::Bytes;
using values_testing::Text;

// ---- NetValueList --------------------------------------------------------------------------

TEST(NetValueListTest, CellsStartAsNullBytes) {
  NetValueList list;
  EXPECT_EQ(list.Append(3), 3);
  EXPECT_EQ(list.Append(0), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(list.Type(i), NET_BYTE);
    EXPECT_NE(list.IsNull(i), 0);
  }
  list.SetLong(1, 42);
  EXPECT_EQ(list.IsNull(1), 0);
  list.SetNull(1, NET_DOUBLE);
  EXPECT_EQ(list.Type(1), NET_DOUBLE);
  EXPECT_NE(list.IsNull(1), 0);
  EXPECT_EQ(list.RemoveAt(0), 2);
  EXPECT_EQ(list.Type(0), NET_DOUBLE);
  list.Clear();
  EXPECT_EQ(list.RemoveAt(0), 0);  // empty: nothing, no violation
}

TEST(NetValueListTest, ScalarsKeepTheirFullRange) {
  NetValueList list;
  list.Append(12);
  DateTimeRecord when;
  when.year = 1999;
  when.milliseconds = 999;
  int dummy = 0;
  list.SetByte(0, 255);
  list.SetWord(1, 65535);
  list.SetDword(2, 0xFFFFFFFFu);
  list.SetChar(3, -1);
  list.SetShort(4, -32768);
  list.SetLong(5, INT32_MIN);
  list.SetSuperLong(6, INT64_MIN);
  list.SetFloat(7, -0.0f);
  list.SetDouble(8, 1e300);
  list.SetPointer(9, &dummy);
  list.SetHandle(10, &list);
  list.SetDateTime(11, when);
  EXPECT_EQ(list.GetByte(0), 255);
  EXPECT_EQ(list.GetWord(1), 65535);
  EXPECT_EQ(list.GetDword(2), 0xFFFFFFFFu);
  EXPECT_EQ(list.GetChar(3), -1);
  EXPECT_EQ(list.GetShort(4), -32768);
  EXPECT_EQ(list.GetLong(5), INT32_MIN);
  EXPECT_EQ(list.GetSuperLong(6), INT64_MIN);
  EXPECT_TRUE(std::signbit(list.GetFloat(7)));
  EXPECT_EQ(list.GetDouble(8), 1e300);
  EXPECT_EQ(list.GetPointer(9), &dummy);
  EXPECT_EQ(list.GetPointer(10), &list);
  EXPECT_EQ(list.GetDateTime(11), when);
}

TEST(NetValueListTest, StringLengthRules) {
  NetValueList list;
  list.Append(4);
  int length;
  list.SetString(0, "ab");
  list.GetString(0, &length);
  EXPECT_EQ(length, 2);
  list.SetString(1, "ab", 3);  // the NUL is copied too
  list.GetString(1, &length);
  EXPECT_EQ(length, 3);
  list.SetString(2, nullptr);
  EXPECT_STREQ(list.GetString(2, &length), "");
  list.SetLString(3, "x\0y\0", 4);
  EXPECT_EQ(values_testing::LStringOf(list, 3), std::string("x\0y\0", 4));
  // A text taken from the cell itself survives being set again.
  list.SetString(0, list.GetString(0) + 1);
  EXPECT_STREQ(list.GetString(0), "b");
}

TEST(NetValueListTest, BinaryShortInABlockAndLong) {
  NetValueList list;
  list.Append(3);
  std::mt19937_64 rng(3);
  std::string block(kBinaryBlockSize, '\0');
  for (char& ch : block) ch = static_cast<char>(rng());
  std::string larger = block + "z";
  list.SetBinary(0, block.data(), kBinaryBlockSize);
  list.SetBinary(1, larger.data(), kBinaryBlockSize + 1);
  list.SetBinary(2, "abc", -4);
  int length;
  EXPECT_EQ(values_testing::BinaryOf(list, 0), block);
  EXPECT_EQ(values_testing::BinaryOf(list, 1), larger);
  list.GetBinary(2, &length);
  EXPECT_EQ(length, 0);
  // Either side of the shortest binary that takes a pool block.
  for (int size : {kBinaryBlockSize / 2, kBinaryBlockSize / 2 + 1}) {
    list.SetBinary(2, block.data(), size);
    EXPECT_EQ(values_testing::BinaryOf(list, 2), block.substr(0, size));
  }
  // A binary set from its own bytes (block and text alike) keeps them.
  const char* own = list.GetBinary(0, &length);
  list.SetBinary(0, own + 1, 10);
  EXPECT_EQ(values_testing::BinaryOf(list, 0), block.substr(1, 10));
  own = list.GetBinary(1, &length);
  list.SetBinary(1, own, length);
  EXPECT_EQ(values_testing::BinaryOf(list, 1), larger);
  list.SetString(1, "after");  // the large text gives way to the string
  EXPECT_STREQ(list.GetString(1), "after");
}

TEST(NetValueListTest, OwnedObjectsLiveAsLongAsTheirCell) {
  NetValueList list;
  list.Append(3);
  auto* table = new NetTable();
  table->AddColumn("a", NET_LONG);
  list.SetTable(0, table, 1);
  list.SetTable(0, table, 1);  // the same table again: kept, not deleted
  EXPECT_EQ(list.GetTable(0)->ColumnCount(), 1);
  EXPECT_EQ(list.IsOwned(0), 1);
  NetTable outside;
  list.SetTable(1, &outside, 0);
  EXPECT_EQ(list.IsOwned(1), 0);
  auto* nested = new NetValueList();
  nested->Append(1);
  nested->SetString(0, "inner");
  list.SetList(2, nested, 1);
  EXPECT_STREQ(list.GetList(2)->GetString(0), "inner");
  list.SetLong(0, 1);  // deletes the owned table (the leak checker sees it otherwise)
  list.RemoveAt(1);    // leaves `outside` alone
  EXPECT_EQ(outside.ColumnCount(), 0);
}

TEST(NetValueListTest, PrintGivesTheLogForm) {
  NetValueList list;
  list.Append(2);
  list.SetLong(0, 7);
  list.SetString(1, "a");
  EXPECT_STREQ(list.Print(), "NET_LONG 7 ,NET_STRING a ");

  DateTimeRecord when;
  when.year = 2024;
  when.month = 3;
  when.day = 5;
  when.hour = 23;
  NetTable table;
  list.Clear();
  list.Append(11);
  list.SetDateTime(0, when);
  list.SetBinary(1, "xyz", 3);
  list.SetFloat(2, 1.5f);
  list.SetSuperLong(3, -5000000000);
  list.SetChar(4, 'q');
  list.SetChar(5, '\0');
  list.SetPointer(6, &table);
  list.SetTable(7, &table, 0);
  list.SetLString(8, "a\0b", 3);
  list.SetNull(9, NET_LONG);
  list.SetDword(10, 7);
  EXPECT_STREQ(list.Print(),
               "NET_DATETIME 2024-03-05,NET_BINARY(SIZE:3) ,NET_FLOAT 1.500000 ,"
               "NET_SUPERLONG -5000000000 ,NET_CHAR q ,NET_CHAR  ,NET_POINTER  ,NET_TABLE ,"
               "NET_LSTRING(SIZE:3) ,NET_LONG NULL ,NET_DWORD 7 ");
}

// ---- Argument decoding ---------------------------------------------------------------------

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
      {"nothing", "", 0, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<char> bytes(c.bytes.begin(), c.bytes.end());  // exact: reads behind are seen
    NetValueList list;
    ASSERT_EQ(list.Decode(bytes.data(), static_cast<int>(bytes.size())), c.count);
    EXPECT_STREQ(list.Print(), c.printed);
  }
  NetValueList list;
  std::string lying = Bytes({'b', 0, 0, 0x03, 0xE8}) + "0123456789";
  list.Decode(lying.data(), static_cast<int>(lying.size()));
  EXPECT_EQ(values_testing::BinaryOf(list, 0), "0123456789");
}

// `value` repeated to fill about `bytes` bytes.
std::string Repeated(const std::string& value, size_t bytes) {
  std::string out;
  while (out.size() + value.size() <= bytes) out += value;
  return out;
}

// An 'r' value carrying `image`.
std::string TableValue(const std::string& image) {
  unsigned char count[4];
  PutBigEndian(count, image.size(), 4);
  return "r" + std::string(reinterpret_cast<char*>(count), 4) + image;
}

// One string column of 4,000 characters and `rows` NULL cells: 4 KiB of cells per byte.
std::string WideImage(int rows) {
  std::string image = Bytes(
      {0, 0, (rows >> 8) & 0xFF, rows & 0xFF, 0, 1, 'w', 0, 's', 0, 0, 4000 >> 8, 4000 & 0xFF});
  return image + std::string(static_cast<size_t>(rows), static_cast<char>(0xF3));
}

// One table column and `rows` rows, each holding a table of one column and no rows.
std::string NestedTablesImage(int rows) {
  std::string image = Bytes({(rows >> 24) & 0xFF, (rows >> 16) & 0xFF, (rows >> 8) & 0xFF,
                             rows & 0xFF, 0, 1, 't', 0, 'r', 0, 0, 0, 0});
  std::string inner = TableValue(Bytes({0, 0, 0, 0, 0, 1, 'c', 0, 'i', 0, 0, 0, 0}));
  for (int r = 0; r < rows; ++r) image += inner;
  return image;
}

TEST(ArgumentDecoding, MemoryFollowsTheBytesWhateverTheyHold) {
  constexpr size_t kBytes = 256 << 10;
  const struct {
    const char* shape;
    std::string bytes;
  } kShapes[] = {
      {"empty binaries", Repeated(Bytes({'b', 0, 0, 0, 0}), kBytes)},
      {"one-byte binaries", Repeated(Bytes({'b', 0, 0, 0, 1, 'x'}), kBytes)},
      {"NULL tags", Repeated(Bytes({0xE2}), kBytes)},
      {"empty strings", Repeated(Bytes({'s', 0}), kBytes)},
      {"empty lstrings", Repeated(Bytes({'u', 0, 0, 0, 0}), kBytes)},
      {"a wide table", TableValue(WideImage(4000))},
      {"nested tables", TableValue(NestedTablesImage(kBytes / 18))},
  };
  for (const auto& shape : kShapes) {
    NetValueList list;
    uint64_t before = Heap::AllocatedBytes();
    list.Decode(shape.bytes.data(), static_cast<int>(shape.bytes.size()));
    // 1 MiB for any packet, and twice its bytes.
    EXPECT_LE(Heap::AllocatedBytes() - before, (1u << 20) + 2 * shape.bytes.size()) << shape.shape;
  }
}

// ---- Round trips ---------------------------------------------------------------------------

// Element i of `list` set to a random value of an encodable type, NULL now and then; binaries
// either side of a pool block's size, nested tables.
void PutRandom(std::mt19937_64& rng, NetValueList& list, int i, size_t most_bytes) {
  static const int kTypes[] = {NET_LONG,   NET_SUPERLONG, NET_FLOAT,   NET_DOUBLE, NET_STRING,
                               NET_BINARY, NET_DATETIME,  NET_LSTRING, NET_TABLE};
  int type = kTypes[rng() % 9];
  std::string bytes = values_testing::RandomBytes(rng, 40, type == NET_STRING);
  if (type == NET_BINARY && rng() % 8 == 0) bytes.resize(kBinaryBlockSize + rng() % 3 - 1);
  bytes.resize(std::min(bytes.size(), most_bytes));
  int length = static_cast<int>(bytes.size());
  if (rng() % 6 == 0) {
    list.SetNull(i, type);
  } else if (type == NET_LONG || type == NET_SUPERLONG) {
    type == NET_LONG ? list.SetLong(i, static_cast<int32_t>(rng()))
                     : list.SetSuperLong(i, static_cast<int64_t>(rng()));
  } else if (type == NET_FLOAT) {
    list.SetFloat(i, values_testing::RandomFloat(rng));
  } else if (type == NET_DOUBLE) {
    list.SetDouble(i, values_testing::RandomDouble(rng));
  } else if (type == NET_STRING) {
    list.SetString(i, bytes.c_str());
  } else if (type == NET_BINARY || type == NET_LSTRING) {
    type == NET_BINARY ? list.SetBinary(i, bytes.data(), length)
                       : list.SetLString(i, bytes.data(), length);
  } else if (type == NET_DATETIME) {
    list.SetDateTime(i, values_testing::RandomDateTime(rng));
  } else {
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
// to the same bytes holds the same values, bit for bit.
TEST(ValueRoundTrip, RandomListsOfEveryEncodableType) {
  std::mt19937_64 rng(20240305);
  for (int round = 0; round < 60; ++round) {
    NetValueList list;
    int count = list.Append(static_cast<int>(rng() % 12));
    for (int i = 0; i < count; ++i) PutRandom(rng, list, i, 1 << 20);
    std::string image = Encoded(list);
    NetValueList back;
    ASSERT_EQ(back.Decode(image.data(), static_cast<int>(image.size())), count);
    EXPECT_EQ(Encoded(back), image) << "round " << round;
  }
}

TEST(ValueRoundTrip, EveryCutDecodesTheCompleteValuesInFront) {
  std::mt19937_64 rng(99);
  for (int round = 0; round < 6; ++round) {
    std::string image;
    std::vector<size_t> ends;  // where each value's encoding ends
    for (int n = 1 + static_cast<int>(rng() % 6); n > 0; --n) {
      NetValueList one;
      one.Append(1);
      PutRandom(rng, one, 0, 1000);  // short values keep every-length cutting quick
      image += Encoded(one);
      ends.push_back(image.size());
    }
    for (size_t cut = 0; cut <= image.size(); ++cut) {
      // Copied so that the sanitizer sees any read behind the cut.
      std::vector<char> bytes(image.begin(), image.begin() + static_cast<long>(cut));
      NetValueList back;
      int count = back.Decode(bytes.data(), static_cast<int>(cut));
      int complete = 0;
      while (complete < static_cast<int>(ends.size()) && ends[complete] <= cut) ++complete;
      ASSERT_GE(count, complete) << "cut " << cut;
      while (back.Count() > complete) back.RemoveAt(back.Count() - 1);
      ASSERT_EQ(Encoded(back), image.substr(0, complete > 0 ? ends[complete - 1] : 0))
          << "cut " << cut;
    }
  }
}

// ---- Pools ---------------------------------------------------------------------------------

TEST(ValuePools, SteadyStateAllocatesNothing) {
  NetValueList list;
  std::string block(3000, 'b');
  auto call = [&] {
    list.Append(10);
    for (int i = 0; i < 10; i += 2) {
      list.SetString(i, "a short argument text");
      list.SetBinary(i + 1, block.data(), static_cast<int>(block.size()));
    }
    list.Clear();
  };
  call();
  call();
  uint64_t before = Heap::AllocationCount();
  for (int k = 0; k < 50; ++k) call();
  EXPECT_EQ(Heap::AllocationCount(), before);
}

TEST(ValuePools, FreeListsAreBoundedStacks) {
  const std::string block(kBinaryBlockSize, 'x');  // a binary this long lives in a pool block
  auto set_block = [&](NetValueList& list, int i) {
    list.SetBinary(i, block.data(), kBinaryBlockSize);
  };
  NetValueList list;
  list.Append(300);
  for (int i = 0; i < 30; ++i) set_block(list, i);
  list.Clear();
  NetValuePoolCounts counts = GetNetValuePoolCounts();
  int most_cells = 0;
  for (int n : counts.cells) most_cells = std::max(most_cells, n);
  EXPECT_EQ(most_cells, 100);
  EXPECT_EQ(std::max(counts.blocks[0], counts.blocks[1]), 20);

  // The block given back last is the first taken again.
  list.Append(1);
  set_block(list, 0);
  const char* first = list.GetBinary(0);
  set_block(list, 0);  // takes a new block, then returns `first`
  EXPECT_NE(list.GetBinary(0), first);
  set_block(list, 0);
  EXPECT_EQ(list.GetBinary(0), first);
}

TEST(ValuePools, SharedByThreads) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (int k = 0; k < 500; ++k) {
        NetValueList list;
        list.Append(4);
        std::string text = std::to_string(t * 100000 + k);
        list.SetString(0, text.c_str());
        list.SetBinary(1, text.data(), static_cast<int>(text.size()));
        list.RemoveAt(2);
        int length;
        const char* bytes = list.GetBinary(1, &length);
        if (text != list.GetString(0) || text != Text(bytes, length)) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

// ---- Contract violations -------------------------------------------------------------------

TEST(NetValueListDeathTest, ContractViolations) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  NetValueList list;
  list.Append(2);
  list.SetLong(0, 1);
  list.SetHandle(1, nullptr);
  EXPECT_EQ(list.GetPointer(1), nullptr);  // handles read through GetPointer
  // Getters of another type.
  EXPECT_DEATH(list.GetDouble(0), "");
  EXPECT_DEATH(list.GetSuperLong(0), "");
  EXPECT_DEATH(list.GetString(0), "");
  EXPECT_DEATH(list.GetPointer(0), "");
  // Indexes out of range.
  EXPECT_DEATH(list.GetByte(2), "");
  EXPECT_DEATH(list.SetLong(-1, 0), "");
  EXPECT_DEATH(list.RemoveAt(2), "");
  EXPECT_DEATH(list.IsNull(3), "");
  // Types that cannot be sent, the NULL byte an unknown tag leaves among them.
  PackBuffer out;
  list.SetWord(1, 2);
  EXPECT_DEATH(list.Encode(out), "");
  list.SetNull(1, NET_BYTE);
  EXPECT_DEATH(list.Encode(out), "");
  EXPECT_DEATH(list.SetNull(0, NET_CSTRING), "");
  EXPECT_DEATH(list.SetNull(0, 23), "");
}

}  // namespace
