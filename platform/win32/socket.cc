// Sockets on Winsock 1.1 itself. The system already reports Winsock numbers through the
// thread's last error, so most calls only pass results on. Four things are added so that the
// backends behave alike: a counted start-up that SocketCreate checks, a shutdown that wakes a
// blocked accept on a listening socket (Winsock refuses to shut a listener down), a shutdown
// that ends the waits of another thread on a connection (Winsock leaves a recv or a select
// waiting), and a send that never waits when asked not to, also on a blocking socket.

// windows_headers.h keeps <windows.h> from bringing in the old winsock.h.
#include <winsock2.h>
#include "platform/win32/windows_headers.h"

#include <ws2tcpip.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/error.h"
#include "platform/shared/socket_connect.h"
#include "platform/shared/socket_native.h"
#include "platform/socket.h"

namespace platform {

namespace {

std::atomic<int> g_startups{0};

// How long a shutdown waits for the connection that wakes a blocked accept.
constexpr long kWakeConnectLimitMs = 500;

// Sockets that SocketSetNonBlocking switched to non-blocking mode (Winsock cannot be asked).
std::mutex g_state_mutex;
std::set<SOCKET> g_non_blocking;

// Whether a listener was shut down, for every listener that was accepted on or shut down. An
// accept holds its listener's flag, so a close that drops the entry (the number may name a
// new socket from then on) cannot take the mark away from an accept that is still waking up.
using ShutFlag = std::shared_ptr<std::atomic<bool>>;
std::map<SOCKET, ShutFlag> g_listeners;

// Waits on a connection are cut into slices of at most this long, so that they see a shutdown
// from another thread: the system wakes neither a recv nor a select for it.
constexpr int64_t kWakeSliceMs = 500;
// The directions of connections shut down (kShutReceive, kShutSend), and the receive time-outs
// asked for (0: without limit), of which the socket itself holds at most a slice.
constexpr int kShutReceive = 1;
constexpr int kShutSend = 2;
std::map<SOCKET, int> g_shut;
std::map<SOCKET, int64_t> g_receive_timeouts;

bool IsShut(SocketHandle socket, int direction) {
  std::lock_guard<std::mutex> hold(g_state_mutex);
  auto found = g_shut.find(static_cast<SOCKET>(socket));
  return found != g_shut.end() && (found->second & direction) != 0;
}

// The receive time-out asked for, or -1 when none was.
int64_t ReceiveTimeout(SocketHandle socket) {
  std::lock_guard<std::mutex> hold(g_state_mutex);
  auto found = g_receive_timeouts.find(static_cast<SOCKET>(socket));
  return found == g_receive_timeouts.end() ? -1 : found->second;
}

ShutFlag ListenerFlag(SOCKET socket) {
  std::lock_guard<std::mutex> hold(g_state_mutex);
  ShutFlag& flag = g_listeners[socket];
  if (flag == nullptr) flag = std::make_shared<std::atomic<bool>>(false);
  return flag;
}

SOCKET Native(SocketHandle socket) {
  return static_cast<SOCKET>(socket);
}

// Winsock's error is the thread's last error already; it is stored again through
// SetLastError so that every failure takes the one path the backends share.
template <typename T>
T Failed(T failure) {
  SetLastError(static_cast<uint32_t>(WSAGetLastError()));
  return failure;
}

template <typename T>
T FailedWith(uint32_t code, T failure) {
  SetLastError(code);
  return failure;
}

bool IsIn(const std::set<SOCKET>& set, SOCKET socket) {
  std::lock_guard<std::mutex> hold(g_state_mutex);
  return set.count(socket) != 0;
}

bool SetIntOption(SocketHandle socket, int level, int name, int value) {
  if (setsockopt(Native(socket), level, name, reinterpret_cast<const char*>(&value),
                 sizeof value) == 0) {
    return true;
  }
  return Failed(false);
}

bool GetIntOption(SocketHandle socket, int level, int name, int* value) {
  int length = sizeof *value;
  if (getsockopt(Native(socket), level, name, reinterpret_cast<char*>(value), &length) == 0) {
    return true;
  }
  return Failed(false);
}

using NameCall = int(WSAAPI*)(SOCKET, sockaddr*, int*);

bool AddressOf(SocketHandle socket, NameCall call, SocketAddress* address) {
  sockaddr_storage native;
  int length = sizeof native;
  if (call(Native(socket), reinterpret_cast<sockaddr*>(&native), &length) != 0) {
    return Failed(false);
  }
  if (native.ss_family != AF_INET) return FailedWith(kWsaEafnosupport, false);
  *address = FromSockaddr(reinterpret_cast<const sockaddr_in&>(native));
  return true;
}

SocketHandle CreateSocket(int family, int native_type) {
  SOCKET made = ::socket(family, native_type, 0);
  if (made == INVALID_SOCKET) return Failed(kInvalidSocket);
  // Child processes must not hold a listener's port or a connection open.
  SetHandleInformation(reinterpret_cast<HANDLE>(made), HANDLE_FLAG_INHERIT, 0);
  return static_cast<SocketHandle>(made);
}

// Texts for numbers that FormatMessage does not explain everywhere (Wine has none for these).
struct Reason {
  uint32_t code;
  const char* text;
};

constexpr Reason kReasons[] = {
    {kWsaEtimedout, "Connection timed out"},
    {kWsaEnetunreach, "Network is unreachable"},
    {kWsaEhostunreach, "No route to host"},
    {kWsaEafnosupport, "Address family not supported"},
    {kWsaEaddrnotavail, "Cannot assign requested address"},
};

// The system's message for `code` without its full stop and line end; "" when it has none.
std::string SystemReason(uint32_t code) {
  char text[256];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, text, sizeof text, nullptr);
  while (length > 0 && std::strchr(". \r\n", text[length - 1]) != nullptr) --length;
  return std::string(text, length);
}

bool IsListening(SocketHandle socket) {
  int listening = 0;
  int length = sizeof listening;
  return getsockopt(Native(socket), SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening),
                    &length) == 0 &&
         listening != 0;
}

// Marks a listener as shut down and wakes an accept that waits on it: a connection of our
// own makes the accept return, and the mark makes it refuse what it got.
bool ShutDownListener(SocketHandle socket) {
  SocketAddress local;
  if (!SocketLocalAddress(socket, &local)) return false;
  if (ListenerFlag(Native(socket))->exchange(true)) return true;  // woken before
  if (local.ip == 0) local.ip = INADDR_LOOPBACK;
  SOCKET waker = ::socket(AF_INET, SOCK_STREAM, 0);
  if (waker == INVALID_SOCKET) return true;  // marked; the next accept refuses at least
  // An accept that waits has an empty backlog, so the connection is made at once; with a full
  // backlog nobody waits, and the attempt must not hang until the system gives it up.
  u_long non_blocking = 1;
  ioctlsocket(waker, FIONBIO, &non_blocking);
  if (!CallWithAddress(connect, waker, local)) {
    fd_set connected;
    FD_ZERO(&connected);
    FD_SET(waker, &connected);
    timeval limit{0, kWakeConnectLimitMs * 1000};
    select(0, nullptr, &connected, nullptr, &limit);
  }
  closesocket(waker);
  return true;
}

// Parts of an inet_addr text: decimal, octal with a leading 0, or hexadecimal with 0x.
bool ParsePart(const char** text, uint32_t* value) {
  const char* p = *text;
  uint32_t base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  } else if (p[0] == '0') {
    base = 8;
  }
  uint64_t number = 0;
  const char* start = p;
  for (;; ++p) {
    uint32_t digit;
    if (*p >= '0' && *p <= '9') {
      digit = static_cast<uint32_t>(*p - '0');
    } else if (base == 16 && *p >= 'a' && *p <= 'f') {
      digit = static_cast<uint32_t>(*p - 'a' + 10);
    } else if (base == 16 && *p >= 'A' && *p <= 'F') {
      digit = static_cast<uint32_t>(*p - 'A' + 10);
    } else {
      break;
    }
    if (digit >= base) return false;
    number = number * base + digit;
    if (number > 0xFFFFFFFFu) return false;
  }
  if (p == start && base != 8) return false;  // "0x" alone, or no digit at all
  *value = static_cast<uint32_t>(number);
  *text = p;
  return true;
}

}  // namespace

bool SocketStartup() {
  WSADATA data;
  int failed = WSAStartup(MAKEWORD(1, 1), &data);
  if (failed != 0) return FailedWith(static_cast<uint32_t>(failed), false);
  g_startups.fetch_add(1);
  return true;
}

bool SocketCleanup() {
  int count = g_startups.load();
  while (count > 0 && !g_startups.compare_exchange_weak(count, count - 1)) {
  }
  if (count == 0) return FailedWith(kWsaNotInitialised, false);
  if (WSACleanup() == 0) return true;
  return Failed(false);
}

int SocketStartupCount() {
  return g_startups.load();
}

SocketHandle SocketCreate(SocketType type) {
  if (g_startups.load() == 0) return FailedWith(kWsaNotInitialised, kInvalidSocket);
  return CreateSocket(AF_INET, type == SocketType::kStream ? SOCK_STREAM : SOCK_DGRAM);
}

bool SocketClose(SocketHandle socket) {
  if (closesocket(Native(socket)) != 0) return Failed(false);
  // The number may name a new socket from now on.
  std::lock_guard<std::mutex> hold(g_state_mutex);
  g_non_blocking.erase(Native(socket));
  g_listeners.erase(Native(socket));
  g_shut.erase(Native(socket));
  g_receive_timeouts.erase(Native(socket));
  return true;
}

bool SocketShutdown(SocketHandle socket, SocketShutdownHow how) {
  if (IsListening(socket)) return ShutDownListener(socket);
  int native = how == SocketShutdownHow::kReceive ? SD_RECEIVE
               : how == SocketShutdownHow::kSend  ? SD_SEND
                                                  : SD_BOTH;
  if (shutdown(Native(socket), native) != 0) return Failed(false);
  int directions = how == SocketShutdownHow::kReceive ? kShutReceive
                   : how == SocketShutdownHow::kSend  ? kShutSend
                                                      : kShutReceive | kShutSend;
  std::lock_guard<std::mutex> hold(g_state_mutex);
  g_shut[Native(socket)] |= directions;
  return true;
}

bool SocketSetOption(SocketHandle socket, SocketOption option, int value) {
  // Winsock binds over closing connections without being asked; its SO_REUSEADDR would also
  // let a second listener take a live port. Exclusive use refuses that.
  NativeOption native;
  if (!NativeOptionOf(option, SO_EXCLUSIVEADDRUSE, &native)) {
    return FailedWith(kWsaEnoprotoopt, false);
  }
  return SetIntOption(socket, native.level, native.name, value);
}

bool SocketSetLinger(SocketHandle socket, bool on, int seconds) {
  linger value;
  value.l_onoff = on ? 1 : 0;
  value.l_linger = static_cast<u_short>(seconds);
  if (setsockopt(Native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value),
                 sizeof value) == 0) {
    return true;
  }
  return Failed(false);
}

int SocketSendBufferSize(SocketHandle socket) {
  int size = 0;
  return GetIntOption(socket, SOL_SOCKET, SO_SNDBUF, &size) ? size : -1;
}

bool SocketSetNonBlocking(SocketHandle socket, bool non_blocking) {
  u_long mode = non_blocking ? 1 : 0;
  if (ioctlsocket(Native(socket), FIONBIO, &mode) != 0) return Failed(false);
  std::lock_guard<std::mutex> hold(g_state_mutex);
  if (non_blocking) {
    g_non_blocking.insert(Native(socket));
  } else {
    g_non_blocking.erase(Native(socket));
  }
  return true;
}

bool SocketPendingError(SocketHandle socket, uint32_t* code) {
  int err = 0;
  if (!GetIntOption(socket, SOL_SOCKET, SO_ERROR, &err)) return false;
  *code = static_cast<uint32_t>(err);
  return true;
}

bool SocketSetReceiveTimeout(SocketHandle socket, int64_t timeout_ms) {
  // Winsock takes milliseconds as a DWORD. The socket waits one slice at a time;
  // SocketRecvTimed adds the slices up to what was asked (0: without limit).
  DWORD value =
      timeout_ms <= 0 || timeout_ms > kWakeSliceMs ? DWORD(kWakeSliceMs) : DWORD(timeout_ms);
  if (setsockopt(Native(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                 sizeof value) != 0) {
    return Failed(false);
  }
  std::lock_guard<std::mutex> hold(g_state_mutex);
  g_receive_timeouts[Native(socket)] = timeout_ms <= 0 ? 0 : timeout_ms;
  return true;
}

int SocketBytesAvailable(SocketHandle socket) {
  u_long count = 0;
  if (ioctlsocket(Native(socket), FIONREAD, &count) != 0) return Failed(-1);
  return count > INT_MAX ? INT_MAX : static_cast<int>(count);
}

bool ParseIPv4(const char* text, uint32_t* ip) {
  // Parsed here rather than by inet_addr, which differs between systems on trailing text.
  if (text == nullptr) return false;
  uint32_t parts[4];
  int count = 0;
  const char* p = text;
  for (;;) {
    if (count == 4 || !ParsePart(&p, &parts[count])) return false;
    ++count;
    if (*p == '\0') break;
    if (*p != '.') return false;
    ++p;
  }
  // The last part fills the bytes that the parts before it leave.
  uint32_t value = 0;
  for (int i = 0; i < count - 1; ++i) {
    if (parts[i] > 0xFF) return false;
    value |= parts[i] << (24 - 8 * i);
  }
  uint32_t last = parts[count - 1];
  if (count > 1 && last > (0xFFFFFFFFu >> (8 * (count - 1)))) return false;
  value |= last;
  if (value == INADDR_NONE) return false;
  *ip = value;
  return true;
}

bool ResolveHostIPv4(const char* host, uint32_t* ip) {
  if (host == nullptr || *host == '\0') return false;
  // A start-up of its own: the name service needs one, and callers resolve before they
  // have made any socket.
  WSADATA data;
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
  bool found = false;
  const hostent* entry = gethostbyname(host);
  if (entry != nullptr && entry->h_addrtype == AF_INET && entry->h_addr_list[0] != nullptr) {
    in_addr first;
    std::memcpy(&first, entry->h_addr_list[0], sizeof first);
    *ip = ntohl(first.s_addr);
    found = true;
  }
  WSACleanup();
  return found;
}

void IPv4Text(uint32_t ip, char* text) {
  std::snprintf(text, 16, "%u.%u.%u.%u", (ip >> 24) & 0xFF, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF,
                ip & 0xFF);
}

bool SocketBind(SocketHandle socket, const SocketAddress& address) {
  if (CallWithAddress(bind, Native(socket), address)) return true;
  return Failed(false);
}

bool SocketListen(SocketHandle socket, int backlog) {
  if (listen(Native(socket), backlog) == 0) return true;
  return Failed(false);
}

SocketHandle SocketAccept(SocketHandle socket, SocketAddress* peer) {
  // A shut listener fails as a listening socket does on POSIX after shutdown.
  ShutFlag shut = ListenerFlag(Native(socket));
  if (shut->load()) return FailedWith(kWsaEinval, kInvalidSocket);
  sockaddr_in native;
  int length = sizeof native;
  SOCKET accepted = accept(Native(socket), reinterpret_cast<sockaddr*>(&native), &length);
  if (accepted == INVALID_SOCKET) return Failed(kInvalidSocket);
  if (shut->load()) {
    closesocket(accepted);  // the wake-up, or a client that came too late
    return FailedWith(kWsaEinval, kInvalidSocket);
  }
  SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
  if (peer != nullptr) *peer = FromSockaddr(native);
  return static_cast<SocketHandle>(accepted);
}

bool SocketConnect(SocketHandle socket, const SocketAddress& address) {
  if (CallWithAddress(connect, Native(socket), address)) return true;
  return Failed(false);
}

SocketHandle NewStreamSocket(int family) {
  return CreateSocket(family, SOCK_STREAM);
}

bool StartConnect(SocketHandle socket, const addrinfo& address) {
  if (connect(Native(socket), address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) {
    return true;
  }
  return Failed(false);
}

// getaddrinfo answers Winsock numbers already (WSAHOST_NOT_FOUND ...).
uint32_t ResolverError(int result) {
  return static_cast<uint32_t>(result);
}

SocketHandle SocketConnectHost(const char* host, uint16_t port, int64_t timeout_ms,
                               const std::vector<SocketSetting>& settings, std::string* failure) {
  return connect_host::ConnectHost(host, port, timeout_ms, settings, failure);
}

std::string SocketErrorReason(uint32_t code) {
  uint32_t error = LastError();
  std::string text = SystemReason(code);
  SetLastError(error);  // a FormatMessage that finds no text leaves an error of its own
  if (!text.empty()) return text;
  for (const Reason& entry : kReasons) {
    if (entry.code == code) return entry.text;
  }
  text = SocketErrorText(code);
  return !text.empty() ? text : "socket error " + std::to_string(code);
}

bool SocketPeerAddress(SocketHandle socket, SocketAddress* address) {
  return AddressOf(socket, getpeername, address);
}

bool SocketLocalAddress(SocketHandle socket, SocketAddress* address) {
  return AddressOf(socket, getsockname, address);
}

SocketWaitResult SocketWait(SocketHandle socket, SocketWaitFor what, int64_t timeout_ms) {
  int direction = what == SocketWaitFor::kReadable ? kShutReceive : kShutSend;
  ULONGLONG start = GetTickCount64();
  for (;;) {
    // A direction shut down counts as ready: the transfer that follows finds out.
    if (IsShut(socket, direction)) return SocketWaitResult::kReady;
    int64_t left =
        timeout_ms < 0 ? kWakeSliceMs : timeout_ms - static_cast<int64_t>(GetTickCount64() - start);
    if (left < 0) left = 0;
    fd_set wanted;
    fd_set failed;
    FD_ZERO(&wanted);
    FD_ZERO(&failed);
    FD_SET(Native(socket), &wanted);
    // A connect that failed shows in the exception set, not as writable: it is ready too, and
    // SocketPendingError tells why.
    if (what == SocketWaitFor::kWritable) FD_SET(Native(socket), &failed);
    int64_t slice = left < kWakeSliceMs ? left : kWakeSliceMs;
    timeval limit{static_cast<long>(slice / 1000), static_cast<long>(slice % 1000 * 1000)};
    int ready = what == SocketWaitFor::kReadable ? select(0, &wanted, nullptr, nullptr, &limit)
                                                 : select(0, nullptr, &wanted, &failed, &limit);
    if (ready == SOCKET_ERROR) return Failed(SocketWaitResult::kFailed);
    if (ready > 0) return SocketWaitResult::kReady;
    if (timeout_ms >= 0 && slice == left) return SocketWaitResult::kTimeout;
  }
}

int SocketSend(SocketHandle socket, const void* bytes, int n, bool wait) {
  const char* data = static_cast<const char*>(bytes);
  if (wait || IsIn(g_non_blocking, Native(socket))) {
    int sent = send(Native(socket), data, n, 0);
    return sent == SOCKET_ERROR ? Failed(-1) : sent;
  }
  // Winsock has no per-call "don't wait": the socket is non-blocking for this one send.
  u_long mode = 1;
  if (ioctlsocket(Native(socket), FIONBIO, &mode) != 0) return Failed(-1);
  int sent = send(Native(socket), data, n, 0);
  int error = WSAGetLastError();
  mode = 0;
  ioctlsocket(Native(socket), FIONBIO, &mode);
  return sent == SOCKET_ERROR ? FailedWith(static_cast<uint32_t>(error), -1) : sent;
}

int SocketSendGathered(SocketHandle socket, const SocketPiece* pieces, int count, bool wait) {
  constexpr int kMostPieces = 64;
  WSABUF buffers[kMostPieces];
  int used = count < kMostPieces ? count : kMostPieces;
  for (int i = 0; i < used; ++i) {
    buffers[i].buf = static_cast<char*>(const_cast<void*>(pieces[i].bytes));
    buffers[i].len = static_cast<ULONG>(pieces[i].length);
  }
  bool toggle = !wait && !IsIn(g_non_blocking, Native(socket));
  u_long mode = 1;
  // Winsock has no per-call "don't wait": the socket is non-blocking for this one send.
  if (toggle && ioctlsocket(Native(socket), FIONBIO, &mode) != 0) return Failed(-1);
  DWORD sent = 0;
  int result =
      WSASend(Native(socket), buffers, static_cast<DWORD>(used), &sent, 0, nullptr, nullptr);
  int error = WSAGetLastError();
  mode = 0;
  if (toggle) ioctlsocket(Native(socket), FIONBIO, &mode);
  return result == SOCKET_ERROR ? FailedWith(static_cast<uint32_t>(error), -1)
                                : static_cast<int>(sent);
}

int SocketRecv(SocketHandle socket, void* bytes, int n) {
  int received = recv(Native(socket), static_cast<char*>(bytes), n, 0);
  return received == SOCKET_ERROR ? Failed(-1) : received;
}

// Winsock has no per-call "do not wait": the count of bytes waiting says whether a receive
// would. A closed peer counts 0 as well, and so waits for the timed receive to say so.
int SocketRecvReady(SocketHandle socket, void* bytes, int n) {
  int waiting = SocketBytesAvailable(socket);
  if (waiting < 0) return -1;
  if (waiting == 0) return FailedWith(kWsaEwouldblock, -1);
  return SocketRecv(socket, bytes, n);
}

int SocketRecvTimed(SocketHandle socket, void* bytes, int n) {
  int64_t timeout_ms = ReceiveTimeout(socket);
  if (timeout_ms < 0) return SocketRecv(socket, bytes, n);
  ULONGLONG start = GetTickCount64();
  for (;;) {
    // Shut down from another thread: as on POSIX, the wait ends as if the peer had closed.
    if (IsShut(socket, kShutReceive)) return 0;
    int received = recv(Native(socket), static_cast<char*>(bytes), n, 0);
    if (received != SOCKET_ERROR) return received;
    int error = WSAGetLastError();
    if (error != WSAETIMEDOUT) return FailedWith(static_cast<uint32_t>(error), -1);
    // One slice is over; the time-out asked for may go on (by up to a slice more).
    if (timeout_ms > 0 && static_cast<int64_t>(GetTickCount64() - start) >= timeout_ms) {
      return FailedWith(kWsaEtimedout, -1);
    }
  }
}

}  // namespace platform
