// Text helpers that tests share: bytes shown as hex, ASCII lower-casing.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// "0A 1B ..": each byte as two upper-case hex digits, separated by spaces.
inline std::string Hex(const void* bytes, size_t length) {
  std::string text;
  const auto* p = static_cast<const unsigned char*>(bytes);
  for (size_t i = 0; i < length; ++i) {
    char piece[4];
    std::snprintf(piece, sizeof piece, i == 0 ? "%02X" : " %02X", p[i]);
    text += piece;
  }
  return text;
}

inline std::string Hex(const std::string& bytes) {
  return Hex(bytes.data(), bytes.size());
}

// The ASCII letters of `text` in lower case; other bytes as they are.
inline std::string Lower(std::string text) {
  for (char& ch : text) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + ('a' - 'A'));
  }
  return text;
}
