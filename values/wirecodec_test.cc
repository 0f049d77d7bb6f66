// Tests of the value encoding: byte images, readers on cut and lying payloads, PackBuffer, tags.
#include "values/wirecodec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "values/values_testing.h"

namespace {

using values_testing::Bytes;
using values_testing::Text;

std::string HexOf(const PackBuffer& out) {
  return Hex(out.Data(), out.Size());
}

TEST(ValueEncoding, ByteImages) {
  DateTimeRecord when{2024, 3, 5, 13, 45, 30, 9, 500};  // the padding (9) is never sent
  const struct {
    const char* name;
    std::function<void(PackBuffer&)> put;
    std::string hex;
  } kCases[] = {
      {"longs big-endian, superlongs little-endian, NULL tags",
       [](PackBuffer& out) {
         PutLong(out, -2), PutLong(out, 0, 1), PutLong(out, 1);
         PutSuperLong(out, 1), PutSuperLong(out, -2, 1);
       },
       "69 FF FF FF FE E9 69 00 00 00 01 6C 01 00 00 00 00 00 00 00 EC"},
      {"date-time", [&](PackBuffer& out) { PutDateTime(out, when); },
       "74 07 E8 03 05 0D 2D 1E 00 01 F4"},
      {"texts and counted payloads",
       [](PackBuffer& out) {
         PutString(out, "ab"), PutString(out, nullptr, 1), PutBinary(out, "\x01\x00\x02", 3);
         PutLString(out, "a\0b", 3), PutTableImage(out, nullptr, 0, 1), PutBinary(out, "zz", -5);
       },
       "73 61 62 00 F3 62 00 00 00 03 01 00 02 75 00 00 00 03 61 00 62 F2 62 00 00 00 00"},
      {"a double as exact text", [](PackBuffer& out) { PutDouble(out, 0.5); },
       Hex("d5." + std::string(48, '0') + "e-01" + std::string(1, '\0'))},
  };
  for (const auto& c : kCases) {
    PackBuffer out;
    c.put(out);
    EXPECT_EQ(HexOf(out), c.hex) << c.name;
  }
}

// A reader's answer as "ok:value" text; kind: i long, d double, s string, b counted, t tag.
std::string Read(PackBuffer& in, char kind) {
  int32_t number = 99;
  double real = 99;
  const char* bytes = nullptr;
  int length = -1;
  int ok = kind == 'i'   ? ReadLong(in, &number)
           : kind == 'd' ? ReadDouble(in, &real)
           : kind == 's' ? ReadString(in, &bytes, &length)
           : kind == 'b' ? ReadCounted(in, &bytes, &length)
                         : ReadTag(in);
  std::string value = kind == 'i'   ? std::to_string(number)
                      : kind == 'd' ? std::to_string(real)
                                    : std::to_string(length) + ":" + Text(bytes, length);
  return std::to_string(ok) + ":" + (kind == 't' ? "" : value);
}

TEST(ValueReaders, CutAndLyingPayloads) {
  const struct {
    const char* name;
    std::string bytes;
    char kind;
    std::string result;
    int tell;
  } kCases[] = {
      {"a cut long gives no value", Bytes({0x12, 0x34}), 'i', "0:0", 2},
      {"no tag at the end", "", 't', "-1:", 0},
      {"a double without its NUL", "2.5", 'd', "1:2.500000", 3},
      {"exponent forms atof takes", std::string("-1.5E+0005\0", 11), 'd', "1:-150000.000000", 11},
      {"leading blanks", std::string("  7\0", 4), 'd', "1:7.000000", 4},
      {"what atof makes of hex", std::string("0x10\0", 5), 'd',
       "1:" + std::to_string(std::atof("0x10")), 5},
      {"a string without its NUL", "abc", 's', "1:3:abc", 3},
      {"a string at the end", "", 's', "1:0:", 0},
      {"a count beyond the bytes", Bytes({0, 0, 0x03, 0xE8}) + "0123456789", 'b', "1:10:0123456789",
       14},
      {"a negative count", Bytes({0xFF, 0xFF, 0xFF, 0xFE}) + "xy", 'b', "1:0:", 4},
      {"a cut count", Bytes({0, 0}), 'b', "0:0:", 2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<char> bytes(c.bytes.begin(), c.bytes.end());  // exact: reads behind are seen
    PackBuffer in;
    in.Wrap(static_cast<const void*>(bytes.data()), static_cast<int>(bytes.size()));
    EXPECT_EQ(Read(in, c.kind), c.result);
    EXPECT_EQ(in.Tell(), c.tell);
  }
}

TEST(PackBufferTest, GrowthPositionAndBorrowedBuffers) {
  PackBuffer at;
  at.Write("abcdef", 6);
  EXPECT_EQ(at.Capacity(), 1024);
  at.Seek(0);
  at.Write("ab", 2);  // overwriting does not shrink the size
  at.Seek(6);         // not below the size: ignored
  at.Seek(-1);
  char four[8];
  EXPECT_TRUE(at.Read(four, 8) == 4 && Text(four, 4) == "cdef");
  EXPECT_EQ(at.SetSize(3), 1);
  EXPECT_TRUE(at.Tell() == 3 && at.AtEnd());
  EXPECT_EQ(at.SetSize(5000), 1);
  EXPECT_EQ(at.Data()[4000] + at.Patch(4999, "zz", 2), 0);
  EXPECT_EQ(at.Patch(4998, "zz", 2), 2);

  char room[6];
  PackBuffer out;
  out.Wrap(static_cast<void*>(room), sizeof room);
  EXPECT_EQ(out.SetSize(2), 0);
  EXPECT_EQ(PutLong(out, 5), 1);
  EXPECT_EQ(PutLong(out, 6), 0);  // a whole value or nothing
  EXPECT_EQ(PutLong(out, 0, 1), 1);
  EXPECT_EQ(Hex(room, 6), "69 00 00 00 05 E9");
  out.Free();  // not ours: only forgotten
  out.Wrap(static_cast<const void*>("xyz"), 3);
  EXPECT_EQ(out.Write("a", 1) + out.Patch(0, "a", 1), 0);
}

}  // namespace
