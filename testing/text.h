// Text helpers that tests share: bytes shown as hex, ASCII lower-casing, random bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
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

// Eight bytes a draw: files of tens of MiB are made fast enough in a debug build too.
inline std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937_64 random(seed);
  std::string bytes(size + 8, '\0');
  for (size_t at = 0; at < size; at += 8) {
    uint64_t word = random();
    std::memcpy(&bytes[at], &word, 8);
  }
  bytes.resize(size);
  return bytes;
}
