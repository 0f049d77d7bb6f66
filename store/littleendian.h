// Little-endian integers in byte buffers, for the on-disk layouts and keys of the file store.
// Pure functions on caller-owned bytes; any thread.
#pragma once

#include <cstdint>

inline uint32_t GetU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline uint64_t GetU64(const uint8_t* p) {
  return uint64_t{GetU32(p)} | uint64_t{GetU32(p + 4)} << 32;
}

inline int32_t GetI32(const uint8_t* p) {
  return static_cast<int32_t>(GetU32(p));
}

inline int64_t GetI64(const uint8_t* p) {
  return static_cast<int64_t>(GetU64(p));
}

inline void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void PutU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void PutI32(uint8_t* p, int32_t v) {
  PutU32(p, static_cast<uint32_t>(v));
}

inline void PutI64(uint8_t* p, int64_t v) {
  PutU64(p, static_cast<uint64_t>(v));
}
