// What both backends of socket.h do alike with the system's socket types: the IPv4 socket
// address, the calls that take one, and the level and name of an option. sockaddr_in and the option
// names are the same on both systems, so this is written once; a backend includes its system's
// socket headers (sockaddr_in, the option names and the byte-order calls) before this one. Internal
// to platform/.
#pragma once

#include <cstring>

#include "platform/socket.h"

namespace platform {

inline sockaddr_in ToSockaddr(const SocketAddress& address) {
  sockaddr_in native;
  std::memset(&native, 0, sizeof native);
  native.sin_family = AF_INET;
  native.sin_addr.s_addr = htonl(address.ip);
  native.sin_port = htons(address.port);
  return native;
}

inline SocketAddress FromSockaddr(const sockaddr_in& native) {
  SocketAddress address;
  address.ip = ntohl(native.sin_addr.s_addr);
  address.port = ntohs(native.sin_port);
  return address;
}

// Calls `call` (bind or connect) on the system's socket with `address` as the system's; true
// when it returned 0.
template <typename Call, typename NativeSocket>
bool CallWithAddress(Call call, NativeSocket socket, const SocketAddress& address) {
  sockaddr_in native = ToSockaddr(address);
  return call(socket, reinterpret_cast<const sockaddr*>(&native), sizeof native) == 0;
}

struct NativeOption {
  int level;
  int name;
};

// The option that setsockopt knows `option` by; kReuseAddress is the backend's
// `reuse_address` (the systems differ in which option refuses a port that a live listener
// holds). False for a value outside the enumeration.
inline bool NativeOptionOf(SocketOption option, int reuse_address, NativeOption* native) {
  switch (option) {
    case SocketOption::kReuseAddress:
      *native = {SOL_SOCKET, reuse_address};
      return true;
    case SocketOption::kKeepAlive:
      *native = {SOL_SOCKET, SO_KEEPALIVE};
      return true;
    case SocketOption::kReceiveBuffer:
      *native = {SOL_SOCKET, SO_RCVBUF};
      return true;
    case SocketOption::kSendBuffer:
      *native = {SOL_SOCKET, SO_SNDBUF};
      return true;
    case SocketOption::kNoDelay:
      *native = {IPPROTO_TCP, TCP_NODELAY};
      return true;
  }
  return false;
}

}  // namespace platform
