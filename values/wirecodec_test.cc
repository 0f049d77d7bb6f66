// Tests of the value encoding: byte orders, texts, readers on cut and lying bytes, PackBuffer
// and the tag letters.
#include "values/wirecodec.h"

#include <gtest/gtest.h>

#include <string>

#include "values/values_testing.h"

namespace {

using values_testing::Bytes;
using values_testing::Hex;
using values_testing::Text;

// ---- Encoding ------------------------------------------------------------------------------

TEST(ValueEncoding, NumbersHaveTheirByteOrders) {
  PackBuffer out;
  PutLong(out, -2);
  PutLong(out, 0, 1);
  PutLong(out, 1);
  PutSuperLong(out, 1);
  PutSuperLong(out, -2, 1);
  EXPECT_EQ(Hex(out), "69 FF FF FF FE E9 69 00 00 00 01 6C 01 00 00 00 00 00 00 00 EC");

  PackBuffer in;
  in.Wrap(static_cast<const void*>(out.Data()), out.Size());
  int32_t value;
  int64_t wide;
  EXPECT_EQ(ReadTag(in), 'i');
  EXPECT_EQ(ReadLong(in, &value), 1);
  EXPECT_EQ(value, -2);
  in.Seek(11);
  EXPECT_EQ(ReadTag(in), 'l');
  EXPECT_EQ(ReadSuperLong(in, &wide), 1);
  EXPECT_EQ(wide, 1);
}

TEST(ValueEncoding, DateTimeSendsYearAndMillisecondsBigEndianAndNoPadding) {
  DateTimeRecord when;
  when.year = 2024;
  when.month = 3;
  when.day = 5;
  when.hour = 13;
  when.minute = 45;
  when.second = 30;
  when.padding = 9;
  when.milliseconds = 500;
  PackBuffer out;
  PutDateTime(out, when);
  EXPECT_EQ(Hex(out), "74 07 E8 03 05 0D 2D 1E 00 01 F4");

  PackBuffer in;
  in.Wrap(static_cast<const void*>(out.Data() + 1), out.Size() - 1);
  DateTimeRecord back;
  ASSERT_EQ(ReadDateTime(in, &back), 1);
  EXPECT_EQ(back, when);
  EXPECT_EQ(back.padding, 0);
}

TEST(ValueEncoding, FloatingPointTravelsAsExactText) {
  PackBuffer out;
  PutDouble(out, 0.5);
  // 'd', one digit, the point, 48 digits, the exponent, NUL.
  std::string expected = "d5." + std::string(48, '0') + "e-01";
  ASSERT_EQ(out.Size(), static_cast<int>(expected.size()) + 1);
  EXPECT_EQ(std::string(out.Data(), expected.size()), expected);
  EXPECT_EQ(out.Data()[out.Size() - 1], '\0');

  // Any text atof accepts reads back, whatever its exponent digits.
  for (const char* text : {"1.5e+0005", "-2.5E3", "  7", "0x10"}) {
    std::string payload = std::string(text) + '\0';
    PackBuffer in;
    in.Wrap(static_cast<const void*>(payload.data()), static_cast<int>(payload.size()));
    double value;
    ReadDouble(in, &value);
    EXPECT_EQ(value, std::atof(text)) << text;
    EXPECT_TRUE(in.AtEnd());
  }

  // Widened to double on the way out, narrowed back exactly.
  std::mt19937_64 rng(7);
  for (int k = 0; k < 200; ++k) {
    float f = values_testing::RandomFloat(rng);
    double d = values_testing::RandomDouble(rng);
    PackBuffer buffer;
    PutFloat(buffer, f);
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

TEST(ValueEncoding, TextsAndCountedPayloads) {
  PackBuffer out;
  PutString(out, "ab");
  PutString(out, nullptr, 1);
  PutBinary(out, "\x01\x00\x02", 3);
  PutLString(out, "a\0b", 3);
  PutTableImage(out, nullptr, 0, 1);
  PutBinary(out, "zz", -5);
  EXPECT_EQ(Hex(out),
            "73 61 62 00 F3 62 00 00 00 03 01 00 02 75 00 00 00 03 61 00 62 F2 62 00 00 00 00");
}

TEST(ValueEncoding, BorrowedBufferRefusesWholeValues) {
  char room[6];
  PackBuffer out;
  out.Wrap(static_cast<void*>(room), sizeof room);
  EXPECT_EQ(PutLong(out, 5), 1);
  EXPECT_EQ(PutLong(out, 6), 0);  // 5 more bytes do not fit into the 1 left
  EXPECT_EQ(out.Tell(), 5);
  EXPECT_EQ(PutLong(out, 0, 1), 1);  // a NULL tag does
  EXPECT_EQ(Hex(room, 6), "69 00 00 00 05 E9");
}

// ---- Readers on cut and lying payloads -----------------------------------------------------

TEST(ValueReaders, CutFixedPayloadsGiveNoValue) {
  std::string two = Bytes({0x12, 0x34});
  PackBuffer in;
  in.Wrap(static_cast<const void*>(two.data()), 2);
  int32_t value = 99;
  EXPECT_EQ(ReadLong(in, &value), 0);
  EXPECT_EQ(value, 0);
  EXPECT_TRUE(in.AtEnd());
  EXPECT_EQ(ReadTag(in), -1);
}

TEST(ValueReaders, TextsStopAtTheEndOfTheData) {
  // Exactly the bytes of the text, no NUL: nothing behind them may be read.
  auto owned = std::make_unique<char[]>(3);
  std::memcpy(owned.get(), "2.5", 3);
  PackBuffer in;
  in.Wrap(static_cast<const void*>(owned.get()), 3);
  double value;
  ReadDouble(in, &value);
  EXPECT_EQ(value, 2.5);
  EXPECT_TRUE(in.AtEnd());

  std::memcpy(owned.get(), "abc", 3);
  in.Wrap(static_cast<const void*>(owned.get()), 3);
  const char* text;
  int length;
  ReadString(in, &text, &length);
  EXPECT_EQ(Text(text, length), "abc");
  EXPECT_EQ(ReadString(in, &text, &length), 1);
  EXPECT_EQ(length, 0);
  EXPECT_STREQ(text, "");
}

TEST(ValueReaders, CountedLengthsAreCutOrZeroed) {
  std::string lying = Bytes({0x00, 0x00, 0x03, 0xE8}) + "0123456789";
  std::string negative = Bytes({0xFF, 0xFF, 0xFF, 0xFE}) + "xy";
  std::string short_count = Bytes({0x00, 0x00});
  const char* bytes;
  int length;
  PackBuffer in;
  in.Wrap(static_cast<const void*>(lying.data()), static_cast<int>(lying.size()));
  ASSERT_EQ(ReadCounted(in, &bytes, &length), 1);
  EXPECT_EQ(Text(bytes, length), "0123456789");
  in.Wrap(static_cast<const void*>(negative.data()), static_cast<int>(negative.size()));
  ASSERT_EQ(ReadCounted(in, &bytes, &length), 1);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(in.Tell(), 4);
  in.Wrap(static_cast<const void*>(short_count.data()), 2);
  EXPECT_EQ(ReadCounted(in, &bytes, &length), 0);
  EXPECT_EQ(length, 0);
}

// ---- PackBuffer ----------------------------------------------------------------------------

TEST(PackBufferTest, GrowsByTheRule) {
  PackBuffer out;
  std::string block(2000, 'x');
  out.Write(block.data(), 10);
  EXPECT_EQ(out.Capacity(), 1024);
  out.Write(block.data(), 1015);  // needs 1025
  EXPECT_EQ(out.Capacity(), 1025 + 1025 / 3);
  out.Seek(0);
  out.Write("ab", 2);  // overwriting does not shrink the size
  EXPECT_EQ(out.Size(), 1025);

  PackBuffer big;
  big.Write(block.data(), 2000);  // a first write of 1024 or more: need + need / 3
  EXPECT_EQ(big.Capacity(), 2666);
}

TEST(PackBufferTest, PositionRules) {
  PackBuffer out;
  out.Write("abcdef", 6);
  out.Seek(6);  // not below the size: ignored
  EXPECT_EQ(out.Tell(), 6);
  out.Seek(-1);
  EXPECT_EQ(out.Tell(), 6);
  out.Seek(2);
  char two[8];
  EXPECT_EQ(out.Read(two, 8), 4);
  EXPECT_EQ(Text(two, 4), "cdef");
  EXPECT_EQ(out.SetSize(3), 1);
  EXPECT_EQ(out.Tell(), 3);
  EXPECT_TRUE(out.AtEnd());
  EXPECT_EQ(out.SetSize(5000), 1);
  EXPECT_EQ(out.Data()[4000], '\0');
  EXPECT_EQ(out.Patch(4998, "zz", 2), 2);
  EXPECT_EQ(out.Patch(4999, "zz", 2), 0);

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
    if (type < 0) continue;
    EXPECT_EQ(TagOfType(type), letter) << letter;
  }
  for (int type = 0; type <= kNetTypeMask; ++type) {
    char letter = TagOfType(type);
    if (letter == 0) continue;
    EXPECT_EQ(TypeOfTag(letter), type) << type;
  }
  EXPECT_EQ(TypeOfTag('i' | NET_NULL), -1) << "the NULL flag is the caller's to remove";
  EXPECT_EQ(TypeOfTag('v'), -1) << "a table image's column tag, not a value's";
  EXPECT_EQ(TagOfType(NET_CSTRING), 0);
}

}  // namespace
