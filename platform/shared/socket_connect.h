// The client connect of both backends (SocketConnectHost): getaddrinfo, each address in turn
// with a non-blocking connect and a bounded wait, and the line that tells the user what
// failed. getaddrinfo and getnameinfo are the same calls on both systems, so this is written
// once; a backend includes its system's socket headers (addrinfo, getnameinfo, NI_MAXHOST)
// before this one and defines the three functions declared first. Internal to platform/.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/socket.h"

namespace platform {

// A new stream socket of the address family `family`, not inherited; kInvalidSocket with the
// Winsock number in LastError() when none could be made.
SocketHandle NewStreamSocket(int family);
// Starts connecting a non-blocking `socket` to `address`: true when connected at once, else
// false with the Winsock number in LastError(), kWsaEwouldblock while it is under way.
bool StartConnect(SocketHandle socket, const addrinfo& address);
// getaddrinfo's failure `result` as a Winsock number (kWsaHostNotFound ...).
uint32_t ResolverError(int result);

namespace connect_host {

// An IPv6 address comes in brackets when a port may follow it; getaddrinfo takes it bare.
inline std::string Unbracketed(const char* host) {
  size_t length = std::strlen(host);
  if (length >= 2 && host[0] == '[' && host[length - 1] == ']') {
    return std::string(host + 1, length - 2);
  }
  return host;
}

// "127.0.0.1:7027", "[::1]:7027".
inline std::string AddressText(const addrinfo& address) {
  char host[NI_MAXHOST];
  char port[NI_MAXSERV];
  if (getnameinfo(address.ai_addr, address.ai_addrlen, host, sizeof host, port, sizeof port,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "an address of an unknown kind";
  }
  std::string text = address.ai_family == AF_INET6 ? "[" + std::string(host) + "]" : host;
  return text + ":" + port;
}

// After StartConnect did not connect at once: waits at most timeout_ms for the outcome.
inline bool FinishConnect(SocketHandle socket, int64_t timeout_ms) {
  if (LastError() != kWsaEwouldblock) return false;
  switch (SocketWait(socket, SocketWaitFor::kWritable, timeout_ms)) {
    case SocketWaitResult::kTimeout:
      SetLastError(kWsaEtimedout);
      return false;
    case SocketWaitResult::kFailed:
      return false;
    case SocketWaitResult::kReady:
      break;
  }
  uint32_t code = 0;
  if (!SocketPendingError(socket, &code)) return false;
  if (code == 0) return true;
  SetLastError(code);
  return false;
}

// A new socket connected to one address, blocking again; kInvalidSocket on failure.
inline SocketHandle ConnectOne(const addrinfo& address, int64_t timeout_ms,
                               const std::vector<SocketSetting>& settings) {
  SocketHandle socket = NewStreamSocket(address.ai_family);
  if (socket == kInvalidSocket) return kInvalidSocket;
  bool connected = true;
  for (const SocketSetting& setting : settings) {
    connected = connected && SocketSetOption(socket, setting.option, setting.value);
  }
  connected = connected && SocketSetNonBlocking(socket, true) &&
              (StartConnect(socket, address) || FinishConnect(socket, timeout_ms)) &&
              SocketSetNonBlocking(socket, false);
  if (connected) return socket;
  uint32_t error = LastError();
  SocketClose(socket);
  SetLastError(error);
  return kInvalidSocket;
}

inline SocketHandle Failed(const std::string& step, std::string* failure) {
  *failure = step + ": " + SocketErrorReason(LastError());
  return kInvalidSocket;
}

inline SocketHandle ConnectHost(const char* host, uint16_t port, int64_t timeout_ms,
                                const std::vector<SocketSetting>& settings, std::string* failure) {
  const std::string resolve = std::string("resolve ") + host;
  if (SocketStartupCount() == 0) {
    SetLastError(kWsaNotInitialised);
    return Failed(resolve, failure);
  }
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;  // whatever the name has, IPv6 included
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int result = getaddrinfo(Unbracketed(host).c_str(), std::to_string(port).c_str(), &hints, &found);
  if (result != 0 || found == nullptr) {
    SetLastError(result != 0 ? ResolverError(result) : kWsaNoData);
    return Failed(resolve, failure);
  }
  SocketHandle socket = kInvalidSocket;
  std::string tried;
  for (const addrinfo* address = found; address != nullptr && socket == kInvalidSocket;
       address = address->ai_next) {
    tried = AddressText(*address);
    socket = ConnectOne(*address, timeout_ms, settings);
  }
  uint32_t error = LastError();
  freeaddrinfo(found);
  if (socket != kInvalidSocket) return socket;
  SetLastError(error);
  return Failed("connect " + tried, failure);  // the reason of the last address tried
}

}  // namespace connect_host
}  // namespace platform
