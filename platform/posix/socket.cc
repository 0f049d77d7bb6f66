// Sockets on BSD sockets with the behaviour of Windows Sockets 1.1: Winsock error numbers in
// the last error, no SIGPIPE (MSG_NOSIGNAL), interrupted calls repeated, select-style waits
// on poll with a monotonic deadline, and a counted start-up. Any thread may call; a handle is
// used by one thread at a time except for the shutdown that wakes a blocked accept.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "platform/error.h"
#include "platform/posix/posix_error.h"
#include "platform/shared/socket_connect.h"
#include "platform/shared/socket_native.h"
#include "platform/socket.h"

namespace platform {

namespace {

std::atomic<int> g_startups{0};

int Fd(SocketHandle socket) {
  return static_cast<int>(socket);
}

// Stores errno as the thread's Winsock error and gives `failure` back to be returned.
template <typename T>
T Failed(T failure) {
  SetLastError(WinsockErrorFromErrno(errno));
  return failure;
}

template <typename T>
T FailedWith(uint32_t code, T failure) {
  SetLastError(code);
  return failure;
}

int64_t MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// poll's time-out for the rest of the wait: -1 without limit, else clamped to an int.
int PollTimeout(int64_t deadline) {
  if (deadline < 0) return -1;
  int64_t left = deadline - MonotonicMs();
  if (left <= 0) return 0;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

bool SetIntOption(SocketHandle socket, int level, int name, int value) {
  if (setsockopt(Fd(socket), level, name, &value, sizeof value) == 0) return true;
  return Failed(false);
}

bool GetIntOption(SocketHandle socket, int level, int name, int* value) {
  socklen_t length = sizeof *value;
  if (getsockopt(Fd(socket), level, name, value, &length) == 0) return true;
  return Failed(false);
}

// Waits for `events` (POLLIN or POLLOUT) until the monotonic `deadline` (-1: without limit);
// an interruption only shortens the next poll.
SocketWaitResult WaitUntil(SocketHandle socket, short events, int64_t deadline) {
  pollfd entry;
  entry.fd = Fd(socket);
  entry.events = events;
  int ready;
  do {
    entry.revents = 0;
    ready = poll(&entry, 1, PollTimeout(deadline));
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return Failed(SocketWaitResult::kFailed);
  if (ready == 0) return SocketWaitResult::kTimeout;
  if ((entry.revents & POLLNVAL) != 0) return FailedWith(kWsaEnotsock, SocketWaitResult::kFailed);
  // An error or a hang-up counts as ready, as select reports it: the transfer that follows
  // collects the reason.
  return SocketWaitResult::kReady;
}

using NameCall = int (*)(int, sockaddr*, socklen_t*);

bool AddressOf(SocketHandle socket, NameCall call, SocketAddress* address) {
  sockaddr_storage native;
  socklen_t length = sizeof native;
  if (call(Fd(socket), reinterpret_cast<sockaddr*>(&native), &length) != 0) return Failed(false);
  if (native.ss_family != AF_INET) return FailedWith(kWsaEafnosupport, false);
  *address = FromSockaddr(reinterpret_cast<const sockaddr_in&>(native));
  return true;
}

SocketHandle CreateSocket(int family, int native_type) {
  int fd = socket(family, native_type | SOCK_CLOEXEC, 0);
  if (fd < 0) return Failed(kInvalidSocket);
  return fd;
}

// The resolver's failures and the Winsock numbers that stand for them; a number that several
// share stands for the first when a user is told about it.
struct ResolverCode {
  int result;
  uint32_t code;
};

constexpr ResolverCode kResolverCodes[] = {
    {EAI_NONAME, kWsaHostNotFound}, {EAI_AGAIN, kWsaTryAgain},    {EAI_FAIL, kWsaNoRecovery},
    {EAI_NODATA, kWsaNoData},       {EAI_ADDRFAMILY, kWsaNoData},
};

}  // namespace

bool SocketStartup() {
  g_startups.fetch_add(1);
  return true;
}

bool SocketCleanup() {
  int count = g_startups.load();
  while (count > 0 && !g_startups.compare_exchange_weak(count, count - 1)) {
  }
  if (count > 0) return true;
  return FailedWith(kWsaNotInitialised, false);
}

int SocketStartupCount() {
  return g_startups.load();
}

SocketHandle SocketCreate(SocketType type) {
  if (g_startups.load() == 0) return FailedWith(kWsaNotInitialised, kInvalidSocket);
  return CreateSocket(AF_INET, type == SocketType::kStream ? SOCK_STREAM : SOCK_DGRAM);
}

bool SocketClose(SocketHandle socket) {
  // close is not repeated after EINTR: Linux has released the descriptor already.
  if (close(Fd(socket)) == 0 || errno == EINTR) return true;
  return Failed(false);
}

bool SocketShutdown(SocketHandle socket, SocketShutdownHow how) {
  int native = how == SocketShutdownHow::kReceive ? SHUT_RD
               : how == SocketShutdownHow::kSend  ? SHUT_WR
                                                  : SHUT_RDWR;
  if (shutdown(Fd(socket), native) == 0) return true;
  return Failed(false);
}

bool SocketSetOption(SocketHandle socket, SocketOption option, int value) {
  // POSIX SO_REUSEADDR already refuses a port that a live listener holds, which is what the
  // option promises (Windows needs SO_EXCLUSIVEADDRUSE for the same).
  NativeOption native;
  if (!NativeOptionOf(option, SO_REUSEADDR, &native)) return false;
  return SetIntOption(socket, native.level, native.name, value);
}

bool SocketSetLinger(SocketHandle socket, bool on, int seconds) {
  struct linger value;
  value.l_onoff = on ? 1 : 0;
  value.l_linger = seconds;
  if (setsockopt(Fd(socket), SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0) return true;
  return Failed(false);
}

int SocketSendBufferSize(SocketHandle socket) {
  int size = 0;
  return GetIntOption(socket, SOL_SOCKET, SO_SNDBUF, &size) ? size : -1;
}

bool SocketSetNonBlocking(SocketHandle socket, bool non_blocking) {
  int flags = fcntl(Fd(socket), F_GETFL);
  if (flags < 0) return Failed(false);
  flags = non_blocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (fcntl(Fd(socket), F_SETFL, flags) == 0) return true;
  return Failed(false);
}

bool SocketPendingError(SocketHandle socket, uint32_t* code) {
  int err = 0;
  if (!GetIntOption(socket, SOL_SOCKET, SO_ERROR, &err)) return false;
  *code = WinsockErrorFromErrno(err);
  return true;
}

bool SocketSetReceiveTimeout(SocketHandle socket, int64_t timeout_ms) {
  struct timeval value;
  value.tv_sec = static_cast<time_t>(timeout_ms / 1000);
  value.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000 * 1000);
  if (setsockopt(Fd(socket), SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) == 0) return true;
  return Failed(false);
}

int SocketBytesAvailable(SocketHandle socket) {
  int count = 0;
  if (ioctl(Fd(socket), FIONREAD, &count) == 0) return count;
  return Failed(-1);
}

bool ParseIPv4(const char* text, uint32_t* ip) {
  struct in_addr parsed;
  if (text == nullptr || inet_aton(text, &parsed) == 0) return false;
  if (parsed.s_addr == INADDR_NONE) return false;
  *ip = ntohl(parsed.s_addr);
  return true;
}

bool ResolveHostIPv4(const char* host, uint32_t* ip) {
  if (host == nullptr || *host == '\0') return false;
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *ip = ntohl(reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
  freeaddrinfo(found);
  return true;
}

void IPv4Text(uint32_t ip, char* text) {
  struct in_addr native;
  native.s_addr = htonl(ip);
  inet_ntop(AF_INET, &native, text, INET_ADDRSTRLEN);
}

bool SocketBind(SocketHandle socket, const SocketAddress& address) {
  if (CallWithAddress(bind, Fd(socket), address)) return true;
  return Failed(false);
}

bool SocketListen(SocketHandle socket, int backlog) {
  if (listen(Fd(socket), backlog) == 0) return true;
  return Failed(false);
}

SocketHandle SocketAccept(SocketHandle socket, SocketAddress* peer) {
  sockaddr_in native;
  int fd;
  do {
    socklen_t length = sizeof native;
    fd = accept4(Fd(socket), reinterpret_cast<sockaddr*>(&native), &length, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Failed(kInvalidSocket);
  if (peer != nullptr) *peer = FromSockaddr(native);
  return fd;
}

bool SocketConnect(SocketHandle socket, const SocketAddress& address) {
  if (CallWithAddress(connect, Fd(socket), address)) return true;
  if (errno != EINTR) return Failed(false);
  // An interrupted connect goes on in the background; finish it as Winsock would.
  if (SocketWait(socket, SocketWaitFor::kWritable, -1) != SocketWaitResult::kReady) return false;
  uint32_t code = 0;
  if (!SocketPendingError(socket, &code)) return false;
  return code == 0 ? true : FailedWith(code, false);
}

SocketHandle NewStreamSocket(int family) {
  return CreateSocket(family, SOCK_STREAM);
}

bool StartConnect(SocketHandle socket, const addrinfo& address) {
  if (connect(Fd(socket), address.ai_addr, address.ai_addrlen) == 0) return true;
  // An interrupted connect goes on in the background, as one under way does.
  return FailedWith(errno == EINTR ? kWsaEwouldblock : WinsockErrorFromErrno(errno), false);
}

uint32_t ResolverError(int result) {
  if (result == EAI_SYSTEM) return WinsockErrorFromErrno(errno);
  if (result == EAI_MEMORY) return kWsaEnobufs;
  for (const ResolverCode& entry : kResolverCodes) {
    if (entry.result == result) return entry.code;
  }
  return kWsaNoRecovery;
}

SocketHandle SocketConnectHost(const char* host, uint16_t port, int64_t timeout_ms,
                               const std::vector<SocketSetting>& settings, std::string* failure) {
  return connect_host::ConnectHost(host, port, timeout_ms, settings, failure);
}

std::string SocketErrorReason(uint32_t code) {
  for (const ResolverCode& entry : kResolverCodes) {
    if (entry.code == code) return gai_strerror(entry.result);
  }
  int err = ErrnoFromWinsock(code);
  if (err >= 0) return std::strerror(err);
  const char* text = SocketErrorText(code);
  return *text != '\0' ? text : "socket error " + std::to_string(code);
}

bool SocketPeerAddress(SocketHandle socket, SocketAddress* address) {
  return AddressOf(socket, getpeername, address);
}

bool SocketLocalAddress(SocketHandle socket, SocketAddress* address) {
  return AddressOf(socket, getsockname, address);
}

SocketWaitResult SocketWait(SocketHandle socket, SocketWaitFor what, int64_t timeout_ms) {
  int64_t deadline = timeout_ms < 0 ? -1 : MonotonicMs() + timeout_ms;
  return WaitUntil(socket, what == SocketWaitFor::kReadable ? POLLIN : POLLOUT, deadline);
}

int SocketSend(SocketHandle socket, const void* bytes, int n, bool wait) {
  int flags = MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT);
  ssize_t sent;
  do {
    sent = send(Fd(socket), bytes, static_cast<size_t>(n), flags);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return Failed(-1);
  return static_cast<int>(sent);
}

int SocketSendGathered(SocketHandle socket, const SocketPiece* pieces, int count, bool wait) {
  constexpr int kMostPieces = 64;
  iovec vectors[kMostPieces];
  int used = count < kMostPieces ? count : kMostPieces;
  for (int i = 0; i < used; ++i) {
    vectors[i].iov_base = const_cast<void*>(pieces[i].bytes);
    vectors[i].iov_len = static_cast<size_t>(pieces[i].length);
  }
  msghdr message = {};
  message.msg_iov = vectors;
  message.msg_iovlen = static_cast<size_t>(used);
  int flags = MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT);
  ssize_t sent;
  do {
    sent = sendmsg(Fd(socket), &message, flags);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return Failed(-1);
  return static_cast<int>(sent);
}

int SocketRecv(SocketHandle socket, void* bytes, int n) {
  ssize_t received;
  do {
    received = recv(Fd(socket), bytes, static_cast<size_t>(n), 0);
  } while (received < 0 && errno == EINTR);
  if (received < 0) return Failed(-1);
  return static_cast<int>(received);
}

int SocketRecvReady(SocketHandle socket, void* bytes, int n) {
  ssize_t received;
  do {
    received = recv(Fd(socket), bytes, static_cast<size_t>(n), MSG_DONTWAIT);
  } while (received < 0 && errno == EINTR);
  if (received >= 0) return static_cast<int>(received);
  return errno == EAGAIN ? FailedWith(kWsaEwouldblock, -1) : Failed(-1);
}

int SocketRecvTimed(SocketHandle socket, void* bytes, int n) {
  int64_t start = MonotonicMs();
  ssize_t received = recv(Fd(socket), bytes, static_cast<size_t>(n), 0);
  if (received >= 0) return static_cast<int>(received);
  // A blocking socket reports its receive time-out as EAGAIN; Winsock calls it a time-out.
  if (errno == EAGAIN) return FailedWith(kWsaEtimedout, -1);
  if (errno != EINTR) return Failed(-1);
  // A receive with SO_RCVTIMEO is never restarted by the system, and restarting it here would
  // start its whole time-out anew: a thread that is signalled more often than that (the
  // diagnostics thread asks every thread for its stack) would wait for ever. The rest of the
  // wait is a poll for what is left of the time-out.
  timeval limit;
  socklen_t length = sizeof limit;
  if (getsockopt(Fd(socket), SOL_SOCKET, SO_RCVTIMEO, &limit, &length) != 0) return Failed(-1);
  int64_t limit_ms = static_cast<int64_t>(limit.tv_sec) * 1000 + limit.tv_usec / 1000;
  int64_t deadline = limit_ms == 0 ? -1 : start + limit_ms;
  for (;;) {
    SocketWaitResult ready = WaitUntil(socket, POLLIN, deadline);
    if (ready == SocketWaitResult::kTimeout) return FailedWith(kWsaEtimedout, -1);
    if (ready == SocketWaitResult::kFailed) return -1;
    received = recv(Fd(socket), bytes, static_cast<size_t>(n), MSG_DONTWAIT);
    if (received >= 0) return static_cast<int>(received);
    if (errno != EAGAIN && errno != EINTR) return Failed(-1);
  }
}

}  // namespace platform
