// Reading what a server sends to a test's socket, until the server closes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "srpc/stdsocket.h"

// What came until `expected` bytes were in, the peer closed, or `ms` passed.
inline std::string ReadAtLeast(StdSocket& socket, size_t expected, uint32_t ms) {
  std::string got;
  char buffer[8192];
  for (uint32_t start = platform::GetTickCount();
       got.size() < expected && platform::GetTickCount() - start < ms;) {
    if (socket.WaitReadable(0, 20000) == 0) continue;
    int n = socket.RecvSome(buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, n);
  }
  return got;
}

// One whole SRPC packet of a plain kind, by the length its header declares (what came when the
// peer closed or `ms` passed first).
inline std::string ReadPacket(StdSocket& socket, uint32_t ms) {
  std::string got = ReadAtLeast(socket, 5, ms);
  size_t total = 0;
  for (size_t i = 1; i < 5 && got.size() >= 5; ++i) total = total << 8 | uint8_t(got[i]);
  return total > got.size() ? got + ReadAtLeast(socket, total - got.size(), ms) : got;
}

// What came until nothing more came for `quiet_ms` or the peer closed.
inline std::string ReadUntilQuiet(StdSocket& socket, uint32_t quiet_ms) {
  std::string got;
  char buffer[8192];
  for (uint32_t last = platform::GetTickCount(); platform::GetTickCount() - last < quiet_ms;) {
    if (socket.WaitReadable(0, 20000) == 0) continue;
    int n = socket.RecvSome(buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, n);
    last = platform::GetTickCount();
  }
  return got;
}

// What came until the peer closed the connection or `ms` passed; `*closed` tells which.
inline std::string ReadUntilClosed(StdSocket& socket, uint32_t ms, bool* closed) {
  std::string got;
  char buffer[4096];
  *closed = false;
  for (uint32_t start = platform::GetTickCount(); platform::GetTickCount() - start < ms;) {
    if (socket.WaitReadable(0, 20000) == 0) continue;
    int n = socket.RecvSome(buffer, sizeof buffer);
    if (n <= 0) {
      *closed = true;
      break;
    }
    got.append(buffer, n);
  }
  return got;
}
