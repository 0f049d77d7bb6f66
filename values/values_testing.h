// Shared by the values tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "testing/text.h"
#include "values/netdat.h"
#include "values/nettable.h"

namespace values_testing {

using U8 = uint8_t;
using U16 = uint16_t;

inline DateTimeRecord Date(int year, int month, int day, int hour = 0) {
  return DateTimeRecord{U16(year), U8(month), U8(day), U8(hour)};
}

inline std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out += static_cast<char>(b);
  return out;
}

inline std::string Text(const char* bytes, int length) {
  return bytes != nullptr ? std::string(bytes, static_cast<size_t>(length)) : std::string();
}

// The getter runs before its length is read (argument order is unspecified otherwise).
template <class Holder, class... At>
std::string BinaryOf(const Holder& holder, At... at) {
  int length = 0;
  const char* bytes = holder.GetBinary(at..., &length);
  return Text(bytes, length);
}

// Finite reals from random bits, zeroes of both signs and extremes mixed in.
template <class Real, class Bits>
Real RandomReal(std::mt19937_64& rng) {
  static const Real kSpecial[] = {0, -Real(0), std::numeric_limits<Real>::denorm_min(),
                                  std::numeric_limits<Real>::max(), Real(0.1)};
  if (rng() % 4 == 0) return kSpecial[rng() % 5];
  for (Real value;;) {
    auto bits = static_cast<Bits>(rng());
    std::memcpy(&value, &bits, sizeof value);
    if (std::isfinite(value)) return value;
  }
}

inline std::string RandomBytes(std::mt19937_64& rng, int max_length, bool text) {
  std::string bytes(rng() % (static_cast<uint64_t>(max_length) + 1), '\0');
  for (char& ch : bytes) ch = static_cast<char>(text ? 1 + rng() % 255 : rng() % 256);
  return bytes;
}

inline DateTimeRecord RandomDateTime(std::mt19937_64& rng) {
  auto at = [&](int most) { return static_cast<int>(rng() % most); };  // braces: left to right
  return {U16(at(10000)), U8(1 + at(12)), U8(1 + at(28)), U8(at(24)), U8(at(60)), U8(at(60)), 0,
          U16(at(1000))};
}

// Every encodable column type, NULL cells, and nested tables down to `depth` more levels.
inline void FillRandomTable(std::mt19937_64& rng, NetTable& table, int depth) {
  static const int kTypes[] = {NET_LONG,   NET_FLOAT,    NET_DOUBLE,  NET_SUPERLONG, NET_STRING,
                               NET_BINARY, NET_DATETIME, NET_CSTRING, NET_TABLE};
  int columns = 1 + static_cast<int>(rng() % 6), rows = static_cast<int>(rng() % 8);
  for (int c = 1; c <= columns; ++c) {
    table.AddColumn(("c" + std::to_string(c)).c_str(), kTypes[rng() % (depth > 0 ? 9 : 8)],
                    static_cast<int>(rng() % 12));
  }
  table.InsertRows(1, rows);
  for (int r = 1; r <= rows; ++r) {
    for (int c = 1; c <= columns; ++c) {
      int type = table.ColumnType(c);
      std::string bytes = RandomBytes(rng, 15, type != NET_BINARY);
      if (rng() % 5 == 0) continue;  // NULL
      if (type == NET_LONG) table.SetLong(r, c, static_cast<int32_t>(rng()));
      if (type == NET_SUPERLONG) table.SetSuperLong(r, c, static_cast<int64_t>(rng()));
      if (type == NET_FLOAT) table.SetFloat(r, c, RandomReal<float, uint32_t>(rng));
      if (type == NET_DOUBLE) table.SetDouble(r, c, RandomReal<double, uint64_t>(rng));
      if (type == NET_DATETIME) table.SetDateTime(r, c, RandomDateTime(rng));
      if (type == NET_STRING || type == NET_CSTRING) table.SetString(r, c, bytes.c_str());
      if (type == NET_BINARY) table.SetBinary(r, c, bytes.data(), static_cast<int>(bytes.size()));
      if (type == NET_TABLE) {
        NetTable nested;
        FillRandomTable(rng, nested, depth - 1);
        table.SetTable(r, c, &nested);
      }
    }
  }
}

// The table's image: with the image tests pinning its bytes, equal images are equal tables.
inline std::string Image(const NetTable& table) {
  PackBuffer out;
  EXPECT_EQ(table.Encode(out), 1);
  return std::string(out.Data(), static_cast<size_t>(out.Size()));
}

}  // namespace values_testing
