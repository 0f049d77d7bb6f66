// StdSocket on the platform's sockets: timed waits before every transfer, Winsock error
// numbers and texts, and the count of open handles that starts and cleans up the platform.
#include "srpc/stdsocket.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/error.h"
#include "runtime/dumpstack.h"
#include "runtime/mt.h"

namespace {

constexpr char kUnit[] = "stdsocket";

using platform::SocketHandle;
using platform::SocketWaitFor;
using platform::SocketWaitResult;

// Handles open through StdSocket objects. Never destroyed: sockets may be closed by threads
// that outlive static destruction.
struct OpenSockets {
  CCriticalSection lock;
  int count = 0;
};

OpenSockets& Opened() {
  static OpenSockets* opened = new OpenSockets;
  return *opened;
}

// Counts `given`, or a new socket of `type` when none is given, starting the platform for the
// first one. kInvalidSocket (with the platform's error) when no socket could be made.
SocketHandle OpenHandle(SocketHandle given, platform::SocketType type) {
  OpenSockets& opened = Opened();
  ScopedLock lock(opened.lock, kUnit, __LINE__);
  if (opened.count == 0) platform::SocketStartup();
  SocketHandle handle = given != platform::kInvalidSocket ? given : platform::SocketCreate(type);
  if (handle != platform::kInvalidSocket) {
    ++opened.count;
  } else if (opened.count == 0) {
    uint32_t error = platform::LastError();
    platform::SocketCleanup();
    platform::SetLastError(error);
  }
  return handle;
}

// A counted handle is gone: the last one cleans the platform up.
void Uncount() {
  OpenSockets& opened = Opened();
  ScopedLock lock(opened.lock, kUnit, __LINE__);
  FATAL_CHECK(opened.count > 0);
  if (--opened.count == 0) platform::SocketCleanup();
}

void CloseHandle(SocketHandle handle, bool shutdown) {
  if (shutdown) platform::SocketShutdown(handle, platform::SocketShutdownHow::kBoth);
  platform::SocketClose(handle);
  Uncount();
}

}  // namespace

StdSocket::StdSocket(SocketHandle handle, int write_buffer_size, platform::SocketType type) {
  FATAL_CHECK(write_buffer_size >= 0);
  handle_ = OpenHandle(handle, type);
  if (handle != platform::kInvalidSocket) {
    attached_ = 1;
    connected_ = 1;
  }
  if (handle_.load() == platform::kInvalidSocket) {
    RecordError();
  } else {
    Configure();
  }
  write_buffer_ = static_cast<char*>(Heap::Allocate(static_cast<size_t>(write_buffer_size)));
  write_buffer_size_ = write_buffer_size;
}

StdSocket::~StdSocket() {
  if (attached_ == 0) Close(true);
  Heap::Release(write_buffer_);
}

void StdSocket::Configure() {
  SocketHandle handle = handle_.load();
  platform::SocketSetLinger(handle, true, 0);
  platform::SocketSetOption(handle, platform::SocketOption::kReuseAddress, 1);
  // Without this the last, short piece of a large request or answer waits for the peer's
  // delayed acknowledgement (tens of ms).
  platform::SocketSetOption(handle, platform::SocketOption::kNoDelay, 1);
}

bool StdSocket::Close(bool shutdown) {
  if (handle_.load() == platform::kInvalidSocket) return true;
  // Only pending bytes are flushed, so that a Close from another thread (a listener being
  // stopped) touches nothing but the handle and the connected flag.
  if (pending_ > 0) Flush();
  SocketHandle handle;
  {
    ScopedLock hold(handle_lock_, kUnit, __LINE__);
    handle = handle_.exchange(platform::kInvalidSocket);
  }
  if (handle == platform::kInvalidSocket) return true;  // another thread closed it first
  connected_ = 0;
  CloseHandle(handle, shutdown);
  return true;
}

void StdSocket::Interrupt(platform::SocketShutdownHow how) {
  ScopedLock hold(handle_lock_, kUnit, __LINE__);
  SocketHandle handle = handle_.load();
  if (handle != platform::kInvalidSocket) platform::SocketShutdown(handle, how);
}

void StdSocket::RecordError() {
  RecordError(platform::LastError());
}

void StdSocket::RecordError(uint32_t code) {
  if (code == last_error_) return;  // the text follows from the code alone
  last_error_ = code;
  error_text_ = platform::SocketErrorText(code);
}

void StdSocket::ConnectionLost() {
  connected_ = 0;
}

bool StdSocket::Resolve(const char* host, const char* port, platform::SocketAddress* address) {
  FATAL_CHECK(host != nullptr && port != nullptr);
  if (!platform::ParseIPv4(host, &address->ip) && !platform::ResolveHostIPv4(host, &address->ip)) {
    RecordError(platform::kWsaEinval);
    return false;
  }
  address->port = static_cast<uint16_t>(std::atoi(port));
  return true;
}

bool StdSocket::Bind(const char* host, const char* port) {
  platform::SocketAddress address;
  if (!Resolve(host, port, &address)) return false;
  if (platform::SocketBind(handle_.load(), address)) return true;
  RecordError();
  return false;
}

bool StdSocket::Listen(int backlog) {
  if (!platform::SocketListen(handle_.load(), backlog)) {
    RecordError();
    return false;
  }
  RecordError(0);
  return true;
}

StdSocket* StdSocket::Accept() {
  SocketHandle client = platform::SocketAccept(handle_.load(), nullptr);
  if (client == platform::kInvalidSocket) {
    RecordError();
    return nullptr;
  }
  auto* accepted = new StdSocket(client, kClientWriteBuffer, platform::SocketType::kStream);
  accepted->attached_ = 0;
  accepted->connected_ = 1;
  accepted->timeout_ = timeout_;
  return accepted;
}

bool StdSocket::Connect(const char* host, const char* port) {
  FATAL_CHECK(host != nullptr && port != nullptr);
  peer_host_ = host;
  peer_port_ = std::atoi(port);
  if (handle_.load() == platform::kInvalidSocket) {  // closed: it stays so
    RecordError(platform::kWsaEnotsock);
    return false;
  }
  // The connection is a socket of its own, of the family of the address that takes it. The
  // socket made so far goes first and the object keeps its place in the count of open
  // sockets, so that connecting needs no more descriptors than the object held.
  SocketHandle made;
  {
    ScopedLock hold(handle_lock_, kUnit, __LINE__);
    made = handle_.exchange(platform::kInvalidSocket);
  }
  platform::SocketClose(made);
  std::string failure;
  SocketHandle connected = platform::SocketConnectHost(
      host, static_cast<uint16_t>(peer_port_), kConnectTimeoutSeconds * 1000, settings_, &failure);
  if (connected == platform::kInvalidSocket) {
    // For the user, not a log: the step, the address and the system's own words.
    last_error_ = platform::LastError();
    error_text_ = failure.c_str();
    Reattach(platform::SocketCreate(platform::SocketType::kStream));  // unconnected, as before
    return false;
  }
  Reattach(connected);
  connected_ = 1;
  RecordError(0);
  return true;
}

void StdSocket::Reattach(SocketHandle handle) {
  if (handle == platform::kInvalidSocket) {  // none could be made: the object is closed now
    Uncount();
    return;
  }
  {
    ScopedLock hold(handle_lock_, kUnit, __LINE__);
    handle_ = handle;
  }
  receive_timeout_ms_ = -1;
  Configure();
  for (const platform::SocketSetting& setting : settings_) {
    platform::SocketSetOption(handle, setting.option, setting.value);
  }
}

bool StdSocket::GetPeerAddr(CString* address, int* port) {
  platform::SocketAddress peer;
  if (!platform::SocketPeerAddress(handle_.load(), &peer)) {
    RecordError();
    return false;
  }
  char text[16];
  platform::IPv4Text(peer.ip, text);
  *address = text;
  *port = peer.port;
  return true;
}

bool StdSocket::GetPeerAddr(CString* address, CString* port) {
  int number = 0;
  if (!GetPeerAddr(address, &number)) return false;
  port->Format("%d", number);
  return true;
}

bool StdSocket::GetLocalAddr(CString* address, int* port) {
  platform::SocketAddress local;
  if (!platform::SocketLocalAddress(handle_.load(), &local)) {
    RecordError();
    return false;
  }
  char text[16];
  platform::IPv4Text(local.ip, text);
  *address = text;
  *port = local.port;
  return true;
}

bool StdSocket::SetOption(platform::SocketOption option, int value) {
  if (!IsConnected()) settings_.push_back({option, value});  // for the socket Connect makes
  if (platform::SocketSetOption(handle_.load(), option, value)) return true;
  RecordError();
  return false;
}

SocketWaitResult StdSocket::Wait(SocketWaitFor what, int seconds, int microseconds) {
  int64_t timeout_ms =
      microseconds == -1 ? -1 : int64_t{seconds} * 1000 + (int64_t{microseconds} + 999) / 1000;
  SocketWaitResult result = platform::SocketWait(handle_.load(), what, timeout_ms);
  if (result == SocketWaitResult::kFailed) {
    RecordError();
    ConnectionLost();
  } else if (result == SocketWaitResult::kReady) {
    RecordError(0);
  }
  return result;
}

int StdSocket::WaitReadable(int seconds, int microseconds) {
  if (Wait(SocketWaitFor::kReadable, seconds, microseconds) != SocketWaitResult::kReady) return 0;
  int waiting = platform::SocketBytesAvailable(handle_.load());
  return waiting > 1 ? waiting : 1;
}

bool StdSocket::WaitWritable(int seconds, int microseconds) {
  return Wait(SocketWaitFor::kWritable, seconds, microseconds) == SocketWaitResult::kReady;
}

int StdSocket::Received(int received) {
  if (received > 0) {
    RecordError(0);
    return received;
  }
  // A close by the peer is no error of its own: it records 0 with an empty text.
  if (received == 0) {
    RecordError(0);
  } else {
    RecordError();
  }
  ConnectionLost();
  return 0;
}

int StdSocket::RecvSome(void* buffer, int n) {
  FATAL_CHECK(n > 0);
  return Received(platform::SocketRecvTimed(handle_.load(), buffer, n));
}

int StdSocket::RecvWithin(void* buffer, int n, int seconds) {
  FATAL_CHECK(n > 0 && seconds > 0);
  SocketHandle handle = handle_.load();
  int64_t timeout_ms = int64_t{seconds} * 1000;
  if (timeout_ms != receive_timeout_ms_) {
    // Bytes that have already come need no wait, so the socket keeps the wait it has: a
    // busy connection alternates between waits for the next request and for the rest of
    // one, and would otherwise set the socket's time-out twice per call.
    int ready = platform::SocketRecvReady(handle, buffer, n);
    if (ready >= 0 || platform::LastError() != platform::kWsaEwouldblock) return Received(ready);
    if (!platform::SocketSetReceiveTimeout(handle, timeout_ms)) return Received(-1);
    receive_timeout_ms_ = timeout_ms;
  }
  int received = platform::SocketRecvTimed(handle, buffer, n);
  if (received < 0 && platform::LastError() == platform::kWsaEtimedout) return 0;
  return Received(received);
}

bool StdSocket::RecvExact(void* buffer, int n) {
  FATAL_CHECK(n >= 0);
  auto* bytes = static_cast<char*>(buffer);
  for (int got = 0; got < n;) {
    int received = RecvWithin(bytes + got, n - got, timeout_);
    if (received == 0) return false;
    got += received;
  }
  return true;
}

uint8_t StdSocket::ReadByte(int* count, int tries) {
  uint8_t byte = 0;
  int received = 0;
  for (int attempt = 0; attempt <= tries && IsConnected(); ++attempt) {
    if (WaitReadable(1, 0) == 0) continue;
    received = RecvSome(&byte, 1);
    break;
  }
  if (count != nullptr) *count = received;
  return received == 1 ? byte : 0;
}

bool StdSocket::SendAll(const void* buffer, int n) {
  FATAL_CHECK(n >= 0);
  platform::SocketPiece piece = {buffer, n};
  return SendPieces(&piece, 1);
}

bool StdSocket::SendPieces(const platform::SocketPiece* pieces, int count) {
  FATAL_CHECK(count >= 0 && count <= kMostPieces);
  platform::SocketPiece left[kMostPieces];
  int first = 0;
  for (int i = 0; i < count; ++i) {
    FATAL_CHECK(pieces[i].length >= 0);
    left[i] = pieces[i];
  }
  // Every send is offered without blocking and waits only when the send buffer is full: no
  // send ever blocks longer than the time-out, and a send that fits costs no wait.
  while (first < count) {
    if (left[first].length == 0) {
      ++first;
      continue;
    }
    int sent = SendSome(left + first, count - first);
    if (sent < 0) return false;
    if (sent == 0 && !WaitWritable(timeout_, 0)) return false;
    for (; first < count && sent >= left[first].length; ++first) sent -= left[first].length;
    if (first < count) {
      left[first].bytes = static_cast<const char*>(left[first].bytes) + sent;
      left[first].length -= sent;
    }
  }
  RecordError(0);
  return true;
}

int StdSocket::SendSome(const platform::SocketPiece* pieces, int count) {
  int sent = platform::SocketSendGathered(handle_.load(), pieces, count, false);
  if (sent >= 0) return sent;
  if (platform::LastError() == platform::kWsaEwouldblock) return 0;
  RecordError();
  ConnectionLost();
  return -1;
}

bool StdSocket::Write(const void* buffer, int n) {
  FATAL_CHECK(n >= 0);
  if (write_buffer_size_ == 0) return SendAll(buffer, n);
  const auto* bytes = static_cast<const char*>(buffer);
  while (n > 0) {
    int piece = std::min(n, write_buffer_size_ - pending_);
    std::memcpy(write_buffer_ + pending_, bytes, static_cast<size_t>(piece));
    pending_ += piece;
    bytes += piece;
    n -= piece;
    if (pending_ == write_buffer_size_ && !Flush()) return false;
  }
  return true;
}

bool StdSocket::Flush() {
  bool sent = SendAll(write_buffer_, pending_);
  pending_ = 0;
  return sent;
}
