// Tests of the value encoding: byte images, readers on cut and lying payloads, PackBuffer and
// the tag letters.
#include "values/wirecodec.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "values/values_testing.h"

namespace {

using values_testing::Bytes;
using values_testing::Hex;
using values_testing::Text;

// ---- Encoding ------------------------------------------------------------------------------

TEST(ValueEncoding, ByteImages) {
  DateTimeRecord when = values_testing::Date(2024, 3, 5, 13, 45, 30);
  when.padding = 9;  // never sent
  when.milliseconds = 500;
  const struct {
    const char* name;
    std::function<void(PackBuffer&)> put;
    std::string hex;
  } kCases[] = {
      {"longs big-endian, superlongs little-endian, NULL tags",
       [](PackBuffer& out) {
         PutLong(out, -2);
         PutLong(out, 0, 1);
         PutLong(out, 1);
         PutSuperLong(out, 1);
         PutSuperLong(out, -2, 1);
       },
       "69 FF FF FF FE E9 69 00 00 00 01 6C 01 00 00 00 00 00 00 00 EC"},
      {"date-time", [&](PackBuffer& out) { PutDateTime(out, when); },
       "74 07 E8 03 05 0D 2D 1E 00 01 F4"},
      {"texts and counted payloads",
       [](PackBuffer& out) {
         PutString(out, "ab");
         PutString(out, nullptr, 1);
         PutBinary(out, "\x01\x00\x02", 3);
         PutLString(out, "a\0b", 3);
         PutTableImage(out, nullptr, 0, 1);
         PutBinary(out, "zz", -5);
       },
       "73 61 62 00 F3 62 00 00 00 03 01 00 02 75 00 00 00 03 61 00 62 F2 62 00 00 00 00"},
      {"a double as exact text", [](PackBuffer& out) { PutDouble(out, 0.5); },
       ::Hex("d5." + std::string(48, '0') + "e-01" + std::string(1, '\0'))},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    PackBuffer out;
    c.put(out);
    EXPECT_EQ(Hex(out), c.hex);
  }
  PackBuffer out;
  PutDateTime(out, when);
  out.Seek(1);
  DateTimeRecord back;
  ASSERT_EQ(ReadDateTime(out, &back), 1);
  EXPECT_EQ(back, when);
  EXPECT_EQ(back.padding, 0);
}

TEST(ValueEncoding, FloatsAndDoublesReadBackBitForBit) {
  std::mt19937_64 rng(7);
  for (int k = 0; k < 200; ++k) {
    float f = values_testing::RandomFloat(rng);
    double d = values_testing::RandomDouble(rng);
    PackBuffer buffer;
    PutFloat(buffer, f);  // widened to double on the way out, narrowed back exactly
    PutDouble(buffer, d);
    buffer.Seek(0);
    float f_back;
    double d_back;
    ReadTag(buffer);
    ReadFloat(buffer, &f_back);
    ReadTag(buffer);
    ReadDouble(buffer, &d_back);
    EXPECT_TRUE(values_testing::SameBits(f, f_back)) << f;
    EXPECT_TRUE(values_testing::SameBits(d, d_back)) << d;
  }
}

TEST(ValueEncoding, BorrowedBufferRefusesWholeValues) {
  char room[6];
  PackBuffer out;
  out.Wrap(static_cast<void*>(room), sizeof room);
  EXPECT_EQ(PutLong(out, 5), 1);
  EXPECT_EQ(PutLong(out, 6), 0);  // 5 more bytes do not fit into the 1 left
  EXPECT_EQ(out.Tell(), 5);
  EXPECT_EQ(PutLong(out, 0, 1), 1);  // a NULL tag does
  EXPECT_EQ(::Hex(room, 6), "69 00 00 00 05 E9");
}

// ---- Readers on cut and lying payloads -----------------------------------------------------

std::string Long(PackBuffer& in) {
  int32_t value = 99;
  int ok = ReadLong(in, &value);
  return std::to_string(ok) + ":" + std::to_string(value);
}
std::string Double(PackBuffer& in) {
  double value = 99;
  int ok = ReadDouble(in, &value);
  return std::to_string(ok) + ":" + std::to_string(value);
}
std::string String(PackBuffer& in) {
  const char* text = nullptr;
  int length = -1;
  int ok = ReadString(in, &text, &length);
  return std::to_string(ok) + ":" + (text == nullptr ? "null" : Text(text, length));
}
std::string Counted(PackBuffer& in) {
  const char* bytes = nullptr;
  int length = -1;
  int ok = ReadCounted(in, &bytes, &length);
  return std::to_string(ok) + ":" + std::to_string(length) + ":" + Text(bytes, length);
}
std::string Tag(PackBuffer& in) {
  return std::to_string(ReadTag(in));
}

TEST(ValueReaders, CutAndLyingPayloads) {
  const struct {
    const char* name;
    std::string bytes;
    std::string (*read)(PackBuffer&);
    std::string result;
    int tell;
  } kCases[] = {
      {"a cut long gives no value", Bytes({0x12, 0x34}), Long, "0:0", 2},
      {"no tag at the end", "", Tag, "-1", 0},
      {"a double without its NUL", "2.5", Double, "1:2.500000", 3},
      {"exponent digits atof takes", std::string("1.5e+0005\0", 10), Double, "1:150000.000000", 10},
      {"upper-case exponent", std::string("-2.5E3\0", 7), Double, "1:-2500.000000", 7},
      {"leading blanks", std::string("  7\0", 4), Double, "1:7.000000", 4},
      {"what atof makes of hex", std::string("0x10\0", 5), Double,
       "1:" + std::to_string(std::atof("0x10")), 5},
      {"a string without its NUL", "abc", String, "1:abc", 3},
      {"a string at the end", "", String, "1:", 0},
      {"a count beyond the bytes", Bytes({0, 0, 0x03, 0xE8}) + "0123456789", Counted,
       "1:10:0123456789", 14},
      {"a negative count", Bytes({0xFF, 0xFF, 0xFF, 0xFE}) + "xy", Counted, "1:0:", 4},
      {"a cut count", Bytes({0, 0}), Counted, "0:0:", 2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    // Exactly the payload's bytes on the heap: the sanitizer sees any read behind them.
    std::vector<char> bytes(c.bytes.begin(), c.bytes.end());
    PackBuffer in;
    in.Wrap(static_cast<const void*>(bytes.data()), static_cast<int>(bytes.size()));
    EXPECT_EQ(c.read(in), c.result);
    EXPECT_EQ(in.Tell(), c.tell);
  }
}

// ---- PackBuffer ----------------------------------------------------------------------------

TEST(PackBufferTest, GrowthAndPositionRules) {
  PackBuffer out;
  std::string block(2000, 'x');
  out.Write(block.data(), 10);
  EXPECT_EQ(out.Capacity(), 1024);
  out.Write(block.data(), 1015);  // needs 1025
  EXPECT_EQ(out.Capacity(), 1025 + 1025 / 3);
  PackBuffer big;
  big.Write(block.data(), 2000);  // a first write of 1024 or more: need + need / 3
  EXPECT_EQ(big.Capacity(), 2666);

  PackBuffer at;
  at.Write("abcdef", 6);
  at.Seek(0);
  at.Write("ab", 2);  // overwriting does not shrink the size
  EXPECT_EQ(at.Size(), 6);
  at.Seek(6);  // not below the size: ignored
  EXPECT_EQ(at.Tell(), 2);
  at.Seek(-1);
  EXPECT_EQ(at.Tell(), 2);
  char four[8];
  EXPECT_EQ(at.Read(four, 8), 4);
  EXPECT_EQ(Text(four, 4), "cdef");
  EXPECT_EQ(at.SetSize(3), 1);
  EXPECT_EQ(at.Tell(), 3);
  EXPECT_TRUE(at.AtEnd());
  EXPECT_EQ(at.SetSize(5000), 1);
  EXPECT_EQ(at.Data()[4000], '\0');
  EXPECT_EQ(at.Patch(4998, "zz", 2), 2);
  EXPECT_EQ(at.Patch(4999, "zz", 2), 0);

  char room[4];
  PackBuffer wrapped;
  wrapped.Wrap(static_cast<void*>(room), 4);
  EXPECT_EQ(wrapped.SetSize(2), 0);
  EXPECT_EQ(wrapped.Write("abcd", 4), 4);
  EXPECT_EQ(wrapped.Write("e", 1), 0);
  wrapped.Free();  // not ours: only forgotten
  EXPECT_EQ(wrapped.Size(), 0);
  const char kConst[] = "xyz";
  wrapped.Wrap(static_cast<const void*>(kConst), 3);
  EXPECT_EQ(wrapped.Write("a", 1), 0);
  EXPECT_EQ(wrapped.Patch(0, "a", 1), 0);
}

// ---- Tag letters ---------------------------------------------------------------------------

TEST(ValueTags, EveryLetterAndTypeMapsBothWaysAndOthersMapToNothing) {
  for (int letter = 0; letter < 256; ++letter) {
    int type = TypeOfTag(letter);
    if (type >= 0) {
      EXPECT_EQ(TagOfType(type), letter) << letter;
    }
  }
  for (int type = 0; type <= kNetTypeMask; ++type) {
    char letter = TagOfType(type);
    if (letter != 0) {
      EXPECT_EQ(TypeOfTag(letter), type) << type;
    }
  }
  EXPECT_EQ(TypeOfTag('i' | NET_NULL), -1) << "the NULL flag is the caller's to remove";
  EXPECT_EQ(TypeOfTag('v'), -1) << "a table image's column tag, not a value's";
  EXPECT_EQ(TagOfType(NET_CSTRING), 0);
}

}  // namespace
