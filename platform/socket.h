// IPv4 sockets with Windows Sockets 1.1 behaviour, for the socket layer of srpc/ and nothing
// else: create, options, bind, listen, accept, connect, timed waits, send and receive. Clients
// alone also reach IPv6 and named hosts (SocketConnectHost), and tell their users what failed
// in the system's own words (SocketErrorReason); the servers stay on IPv4 and log the Winsock
// texts (SocketErrorText).
//
// Who may call what: any thread. A handle is used by one thread at a time, with one exception
// that the servers rely on: SocketShutdown from another thread makes a SocketAccept that is
// blocked on the same handle return with a failure (closing alone does not wake it on every
// platform, so shut down first, then close), and ends a SocketRecvTimed or SocketWait that
// waits on the same connection in the direction shut down: the receive gives 0 as if the peer
// had closed, the wait reports ready. (Windows wakes neither; its backend waits in slices of
// half a second and looks for the shutdown between them.) The caller must keep the handle from
// being closed meanwhile.
//
// Invariants:
//  1. Every call that fails returns its failure value and leaves a Winsock error number
//     (10xxx, below) in platform::LastError(), as WSAGetLastError would give it. EINTR and its
//     kin never surface: interrupted calls are repeated, waits keep their deadline.
//  2. Sending never raises a signal: a send to a connection that the peer reset fails with
//     kWsaEconnreset.
//  3. SocketStartup / SocketCleanup are counted like WSAStartup / WSACleanup. SocketCreate
//     fails with kWsaNotInitialised while the count is 0, so a missing start-up shows on
//     every platform, not only on the one that needs it.
//  4. kReuseAddress lets a listener bind again at once over connections of a previous run that
//     are still closing, but never lets two live listeners share a port: a bind to a port that
//     a listening socket holds fails with kWsaEaddrinuse on every backend.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using SocketHandle = intptr_t;
// A handle that names no socket (INVALID_SOCKET). 0 is a valid descriptor on POSIX.
inline constexpr SocketHandle kInvalidSocket = -1;

// The Winsock error numbers the socket calls report.
enum : uint32_t {
  kWsaEintr = 10004,
  kWsaEacces = 10013,
  kWsaEfault = 10014,
  kWsaEinval = 10022,
  kWsaEmfile = 10024,
  kWsaEwouldblock = 10035,  // also a non-blocking connect that is under way
  kWsaEinprogress = 10036,
  kWsaEalready = 10037,
  kWsaEnotsock = 10038,
  kWsaEdestaddrreq = 10039,
  kWsaEmsgsize = 10040,
  kWsaEprototype = 10041,
  kWsaEnoprotoopt = 10042,
  kWsaEprotonosupport = 10043,
  kWsaEsocktnosupport = 10044,
  kWsaEopnotsupp = 10045,
  kWsaEafnosupport = 10047,
  kWsaEaddrinuse = 10048,
  kWsaEaddrnotavail = 10049,
  kWsaEnetdown = 10050,
  kWsaEnetunreach = 10051,
  kWsaEnetreset = 10052,
  kWsaEconnaborted = 10053,
  kWsaEconnreset = 10054,
  kWsaEnobufs = 10055,
  kWsaEisconn = 10056,
  kWsaEnotconn = 10057,
  kWsaEshutdown = 10058,
  kWsaEtimedout = 10060,
  kWsaEconnrefused = 10061,
  kWsaEhostdown = 10064,
  kWsaEhostunreach = 10065,
  kWsaNotInitialised = 10093,
  // The resolver's failures: no such name, a temporary failure, a lasting one, a name
  // without addresses.
  kWsaHostNotFound = 11001,
  kWsaTryAgain = 11002,
  kWsaNoRecovery = 11003,
  kWsaNoData = 11004,
};

// The English text the socket layer records beside an error number, the same on every
// platform; "" for numbers that it does not explain.
inline const char* SocketErrorText(uint32_t code) {
  switch (code) {
    case kWsaEinval:
      return "The socket has not been bound with bind.";
    case kWsaEmfile:
      return "No more socket descriptors are available.";
    case kWsaEinprogress:
      return "A blocking Windows Sockets 1.1 call is in progress, or the service provider is "
             "still processing a callback function.";
    case kWsaEnotsock:
      return "The descriptor is not a socket";
    case kWsaEopnotsupp:
      return "The referenced socket is not of a type that supports the listen operation.";
    case kWsaEaddrinuse:
      return "The socket's local address is already in use and the socket was not marked to "
             "allow address reuse with SO_REUSEADDR. ";
    case kWsaEnetdown:
      return "The network subsystem has failed.";
    case kWsaEnobufs:
      return "No buffer space is available";
    case kWsaEisconn:
      return "The socket is already connected.";
    case kWsaEtimedout:
      return "The connection has been dropped, because of a network failure or because the "
             "system on the other end went down without notice.";
    case kWsaNotInitialised:
      return "A successful WSAStartup must occur before using this function.";
    default:
      return "";
  }
}

// The text for a user of a client: what the system calls a socket or resolver error, as
// strerror and gai_strerror give it on POSIX ("Connection refused", "Name or service not
// known") and FormatMessage on Windows (a short table where the system has no text, as Wine
// has not for some). Never empty; LastError() stays as it was. The server's logs keep
// SocketErrorText.
std::string SocketErrorReason(uint32_t code);

// Winsock's SOCK_STREAM and SOCK_DGRAM numbers.
enum class SocketType { kStream = 1, kDatagram = 2 };
enum class SocketShutdownHow { kReceive = 0, kSend = 1, kBoth = 2 };
// kReuseAddress: see invariant 4. kKeepAlive: TCP keep-alive probes.
// kReceiveBuffer and kSendBuffer are SO_RCVBUF and SO_SNDBUF. Set on a listening socket they
// pass to the sockets it accepts; set before connecting, the receive buffer also bounds the
// window the peer sees.
// kNoDelay is TCP_NODELAY: small tails of large sends go out at once instead of waiting for
// the peer's (delayed) acknowledgement.
enum class SocketOption { kReuseAddress, kKeepAlive, kReceiveBuffer, kSendBuffer, kNoDelay };
struct SocketSetting {
  SocketOption option;
  int value;
};
enum class SocketWaitFor { kReadable, kWritable };
enum class SocketWaitResult { kReady, kTimeout, kFailed };

// An IPv4 address and port, both in host byte order; address 0 is "any local address".
struct SocketAddress {
  uint32_t ip = 0;
  uint16_t port = 0;
};

// WSAStartup(1.1) and WSACleanup; the count of starts not yet cleaned up.
bool SocketStartup();
bool SocketCleanup();
int SocketStartupCount();

// A new IPv4 socket of `type`, not inherited by child processes, or kInvalidSocket.
SocketHandle SocketCreate(SocketType type);
bool SocketClose(SocketHandle socket);
bool SocketShutdown(SocketHandle socket, SocketShutdownHow how);
bool SocketSetOption(SocketHandle socket, SocketOption option, int value);
// SO_LINGER: with on and 0 seconds a close resets the connection at once.
bool SocketSetLinger(SocketHandle socket, bool on, int seconds);
// SO_SNDBUF in bytes, or -1.
int SocketSendBufferSize(SocketHandle socket);
bool SocketSetNonBlocking(SocketHandle socket, bool non_blocking);
// SO_ERROR as a Winsock number (0 when the connection is fine); false when unreadable.
bool SocketPendingError(SocketHandle socket, uint32_t* code);
// SO_RCVTIMEO: a blocking SocketRecvTimed gives up after timeout_ms (0: waits without limit),
// however often the thread is interrupted meanwhile.
bool SocketSetReceiveTimeout(SocketHandle socket, int64_t timeout_ms);
// Bytes that a receive would return at once (FIONREAD), or -1.
int SocketBytesAvailable(SocketHandle socket);

// A dotted IPv4 text in the forms inet_addr takes; false for anything else and for
// "255.255.255.255", which inet_addr cannot tell from a failure either.
bool ParseIPv4(const char* text, uint32_t* ip);
// The first IPv4 address of a host name (gethostbyname); false when there is none.
bool ResolveHostIPv4(const char* host, uint32_t* ip);
// Dotted text of an address (inet_ntoa) into `text`, which holds at least 16 bytes.
void IPv4Text(uint32_t ip, char* text);

bool SocketBind(SocketHandle socket, const SocketAddress& address);
bool SocketListen(SocketHandle socket, int backlog);
// Blocks until a client arrives; the new handle (not inherited) or kInvalidSocket.
SocketHandle SocketAccept(SocketHandle socket, SocketAddress* peer);
// Connects, or on a non-blocking socket starts connecting: a connection still under way
// fails with kWsaEwouldblock; wait for writability, then read SocketPendingError.
bool SocketConnect(SocketHandle socket, const SocketAddress& address);
// Addresses of IPv4 sockets; another family fails with kWsaEafnosupport.
bool SocketPeerAddress(SocketHandle socket, SocketAddress* address);
bool SocketLocalAddress(SocketHandle socket, SocketAddress* address);

// A client's connection: resolves `host` (a name, an IPv4 address, or an IPv6 address with or
// without brackets) and connects a new stream socket of the address's family to `port` at
// each address in turn, `settings` set before connecting, each attempt waiting at most
// timeout_ms, until one connects. → that socket, blocking and not inherited; or kInvalidSocket
// with the last failure's Winsock number in LastError() and in *failure a line for the user
// that names the step, the address and the reason: "resolve no such host: Name or service not
// known", "connect [::1]:7027: Connection refused". Needs the start-up as SocketCreate does.
SocketHandle SocketConnectHost(const char* host, uint16_t port, int64_t timeout_ms,
                               const std::vector<SocketSetting>& settings, std::string* failure);

// Waits until the socket is readable (data, end of stream or an error to collect) or
// writable, at most timeout_ms milliseconds; a negative timeout_ms waits without limit.
SocketWaitResult SocketWait(SocketHandle socket, SocketWaitFor what, int64_t timeout_ms);
// One send / one receive of at most n bytes: the count, or -1. A receive of 0 means that
// the peer closed the connection. A send with `wait` false takes what fits into the send
// buffer at once and fails with kWsaEwouldblock when nothing fits.
int SocketSend(SocketHandle socket, const void* bytes, int n, bool wait = true);
// Bytes that a gathered send takes from memory it does not copy.
struct SocketPiece {
  const void* bytes;
  int length;
};
// One send of the pieces one after another, as SocketSend of their concatenation would send
// it (the total must fit an int): the count sent, or -1.
int SocketSendGathered(SocketHandle socket, const SocketPiece* pieces, int count, bool wait);
int SocketRecv(SocketHandle socket, void* bytes, int n);
// A receive of what has already come, without a wait: the count, 0 when the peer closed, or
// -1 (kWsaEwouldblock when nothing is there yet).
int SocketRecvReady(SocketHandle socket, void* bytes, int n);
// A receive on a blocking socket that waits at most the socket's receive time-out: when
// nothing came in that time, -1 with kWsaEtimedout. One system call for a wait and a receive.
int SocketRecvTimed(SocketHandle socket, void* bytes, int n);

}  // namespace platform
