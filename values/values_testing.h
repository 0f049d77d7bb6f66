// Helpers shared by the values tests: hex images of buffers, random values and tables, table
// images.
// Tests only.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "testing/text.h"
#include "values/netdat.h"
#include "values/nettable.h"

namespace values_testing {

inline std::string Hex(const PackBuffer& buffer) {
  return ::Hex(buffer.Data(), static_cast<size_t>(buffer.Size()));
}

// A date-time of whole seconds.
inline DateTimeRecord Date(int year, int month, int day, int hour = 0, int minute = 0,
                           int second = 0) {
  DateTimeRecord value;
  value.year = static_cast<uint16_t>(year);
  value.month = static_cast<uint8_t>(month);
  value.day = static_cast<uint8_t>(day);
  value.hour = static_cast<uint8_t>(hour);
  value.minute = static_cast<uint8_t>(minute);
  value.second = static_cast<uint8_t>(second);
  return value;
}

// A byte string from byte values.
inline std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out += static_cast<char>(b);
  return out;
}

inline std::string Text(const char* bytes, int length) {
  return bytes != nullptr ? std::string(bytes, static_cast<size_t>(length)) : std::string();
}

// The getter runs before its length is read (argument order is unspecified otherwise).
inline std::string BinaryOf(const NetValueList& list, int i) {
  int length = 0;
  const char* bytes = list.GetBinary(i, &length);
  return Text(bytes, length);
}

inline std::string LStringOf(const NetValueList& list, int i) {
  int length = 0;
  const char* text = list.GetLString(i, &length);
  return Text(text, length);
}

inline std::string BinaryOf(const NetTable& table, int r, int c) {
  int length = 0;
  const char* bytes = table.GetBinary(r, c, &length);
  return Text(bytes, length);
}

template <class T>
bool SameBits(T a, T b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Finite floats and doubles from random bits, with the awkward ones (zeroes of both signs,
// denormals, extremes) mixed in.
inline double RandomDouble(std::mt19937_64& rng) {
  static const double kSpecial[] = {0.0, -0.0, 5e-324, 1.7976931348623157e308, -1.5, 0.1};
  if (rng() % 4 == 0) return kSpecial[rng() % 6];
  for (;;) {
    uint64_t bits = rng();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (std::isfinite(value)) return value;
  }
}

inline float RandomFloat(std::mt19937_64& rng) {
  static const float kSpecial[] = {0.0f, -0.0f, 1e-45f, 3.4028235e38f, 0.1f};
  if (rng() % 4 == 0) return kSpecial[rng() % 5];
  for (;;) {
    auto bits = static_cast<uint32_t>(rng());
    float value;
    std::memcpy(&value, &bits, sizeof value);
    if (std::isfinite(value)) return value;
  }
}

// Bytes without NUL when `text`, any bytes otherwise.
inline std::string RandomBytes(std::mt19937_64& rng, int max_length, bool text) {
  std::string bytes(rng() % (static_cast<uint64_t>(max_length) + 1), '\0');
  for (char& ch : bytes) ch = static_cast<char>(text ? 1 + rng() % 255 : rng() % 256);
  return bytes;
}

inline DateTimeRecord RandomDateTime(std::mt19937_64& rng) {
  DateTimeRecord value;
  value.year = static_cast<uint16_t>(rng() % 10000);
  value.month = static_cast<uint8_t>(1 + rng() % 12);
  value.day = static_cast<uint8_t>(1 + rng() % 28);
  value.hour = static_cast<uint8_t>(rng() % 24);
  value.minute = static_cast<uint8_t>(rng() % 60);
  value.second = static_cast<uint8_t>(rng() % 60);
  value.milliseconds = static_cast<uint16_t>(rng() % 1000);
  return value;
}

// Every encodable column type, NULL cells, and nested tables down to `depth` more levels.
inline void FillRandomTable(std::mt19937_64& rng, NetTable& table, int depth) {
  static const int kTypes[] = {NET_LONG,   NET_FLOAT,    NET_DOUBLE,  NET_SUPERLONG, NET_STRING,
                               NET_BINARY, NET_DATETIME, NET_CSTRING, NET_TABLE};
  int columns = 1 + static_cast<int>(rng() % 6);
  for (int c = 1; c <= columns; ++c) {
    int type = kTypes[rng() % (depth > 0 ? 9 : 8)];
    int size = static_cast<int>(rng() % 12);
    table.AddColumn(("c" + std::to_string(c)).c_str(), type, size);
  }
  int rows = static_cast<int>(rng() % 8);
  table.InsertRows(1, rows);
  for (int r = 1; r <= rows; ++r) {
    for (int c = 1; c <= columns; ++c) {
      if (rng() % 5 == 0) continue;  // NULL
      switch (table.ColumnType(c)) {
        case NET_LONG:
          table.SetLong(r, c, static_cast<int32_t>(rng()));
          break;
        case NET_SUPERLONG:
          table.SetSuperLong(r, c, static_cast<int64_t>(rng()));
          break;
        case NET_FLOAT:
          table.SetFloat(r, c, RandomFloat(rng));
          break;
        case NET_DOUBLE:
          table.SetDouble(r, c, RandomDouble(rng));
          break;
        case NET_DATETIME:
          table.SetDateTime(r, c, RandomDateTime(rng));
          break;
        case NET_STRING:
        case NET_CSTRING: {
          std::string text = RandomBytes(rng, 15, true);
          table.SetString(r, c, text.c_str());
          break;
        }
        case NET_BINARY: {
          std::string bytes = RandomBytes(rng, 15, false);
          table.SetBinary(r, c, bytes.data(), static_cast<int>(bytes.size()));
          break;
        }
        case NET_TABLE: {
          NetTable nested;
          FillRandomTable(rng, nested, depth - 1);
          table.SetTable(r, c, &nested);
          break;
        }
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
