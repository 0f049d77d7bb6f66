// StdSocket: one TCP socket with the transfers the SRPC server and the monitor server rely on:
// bind, listen and accept for servers, connect with a time-out for clients, exact receives
// and whole sends that never wait longer than the time-out for one transfer, a one-byte read
// with a bounded wait, a timed receive for buffered readers, the peer address, a connected
// flag, the last error as a code and a text, and a buffered write.
//
// Who may call what: a StdSocket is used by one thread at a time (a client socket by its
// session thread, a listening socket by its accept loop). The exceptions: Close, which
// another thread may call on a listening socket to make a blocked Accept fail, and Interrupt,
// which another thread may call at any time to end the waits of the socket's user. The count
// of open sockets is process-wide and kept under its own lock.
//
// Invariants:
//  1. handle() is platform::kInvalidSocket exactly when the socket is closed; a closed socket
//     is never connected.
//  2. Every failing operation records its Winsock number in last_error() and the matching
//     text (platform::SocketErrorText, "" for numbers without one) in error_text(); a
//     successful transfer sets last_error() to 0. A failed Connect is told to a user, not
//     logged: its text is the platform's line naming the step, the address and the reason
//     ("connect 127.0.0.1:7027: Connection refused").
//  3. An error of a wait, a receive or a send, and a receive of 0 bytes (the peer closed),
//     clear the connected flag; a wait that only times out leaves it alone.
//  4. No wait or transfer blocks without limit unless the caller asks for it (microseconds
//     -1), or calls RecvSome on a socket that no wait found readable.
//  5. The count of open handles drives the platform start-up: the first open socket starts
//     it, the close that leaves none cleans it up. A socket that stays attached to a handed-in
//     handle is never closed by its destructor and keeps its place in that count.
//  6. Interrupt and Close exclude each other (the handle lock): an Interrupt never reaches a
//     handle number that Close has given back to the system, which may already name another
//     socket or file.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "foundation/cstring.h"
#include "platform/socket.h"
#include "runtime/memobj.h"
#include "runtime/mt.h"

class StdSocket : public BaseObject {
 public:
  static constexpr int kDefaultTimeoutSeconds = 1800;
  // Accepted client sockets get a write buffer of this size.
  static constexpr int kClientWriteBuffer = 16384;
  // The largest piece one send takes when SO_SNDBUF reads 0.
  // The limit of Connect's wait for the connection to complete.
  static constexpr int kConnectTimeoutSeconds = 5;

  // With a handle (one from Accept, or handed in by a caller), the object is attached to it
  // and connected; without one (kInvalidSocket) it makes a new socket of `type`. Either way
  // the handle gets SO_LINGER on with 0 seconds (a close resets the connection at once) and
  // SO_REUSEADDR.
  explicit StdSocket(platform::SocketHandle handle = platform::kInvalidSocket,
                     int write_buffer_size = kClientWriteBuffer,
                     platform::SocketType type = platform::SocketType::kStream);
  // Closes (with shutdown) unless attached.
  ~StdSocket() override;
  StdSocket(const StdSocket&) = delete;
  StdSocket& operator=(const StdSocket&) = delete;

  // Flushes the write buffer, shuts both directions down when asked, closes. Always true;
  // nothing happens when the socket is already closed.
  bool Close(bool shutdown = true);
  // Shuts one or both directions down, from any thread, and leaves the handle open: a wait
  // for bytes ends as if the peer had closed (kReceive), a wait to send fails (kBoth).
  // Nothing happens when the socket is already closed.
  void Interrupt(platform::SocketShutdownHow how);

  // Host as a dotted address or a name ("0.0.0.0" is any local address), port as decimal
  // text converted with atoi ("0" lets the system choose; see GetLocalAddr).
  bool Bind(const char* host, const char* port);
  bool Listen(int backlog);
  // The next client as a new socket that the caller owns (not attached: deleting it closes
  // it), connected, with this socket's time-out; null on failure. Blocks until a client comes.
  StdSocket* Accept();
  // Connects to a host name, an IPv4 address or an IPv6 address (brackets allowed), trying
  // each address the name has, each within kConnectTimeoutSeconds. A time-out fails with
  // 10060, a refusal with 10061, an unknown name with 11001. The handle changes either way:
  // the connection is a new TCP socket (of the address's family, IPv6 too) with the options
  // set on this object so far, blocking; a failure leaves a new unconnected one (or, when none
  // can be made, a closed object). A closed socket stays closed (10038).
  virtual bool Connect(const char* host, const char* port);

  bool IsConnected() const { return connected_.load() != 0; }
  bool GetPeerAddr(CString* address, int* port);
  bool GetPeerAddr(CString* address, CString* port);  // the port formatted with "%d"
  // The bound local address, for a port that the system chose.
  bool GetLocalAddr(CString* address, int* port);
  // SO_REUSEADDR and SO_KEEPALIVE for the listener. Options set before Connect are set on
  // the socket it connects, before it connects.
  bool SetOption(platform::SocketOption option, int value);

  // Waits at most seconds + microseconds (microseconds -1: without limit). Readable: the
  // number of bytes waiting, at least 1 (a closed peer counts as readable). Time-out: 0.
  // Error: 0 and the socket is no longer connected.
  int WaitReadable(int seconds, int microseconds);
  bool WaitWritable(int seconds, int microseconds);
  // One receive of at most n bytes → the count; 0 when the peer closed or on an error (both
  // clear the connected flag; the peer's close records error 0 and an empty text). Meant
  // for a socket that a wait found readable: on a silent one it gives up (with 10060) after
  // the wait that the last RecvWithin left on the socket, if any.
  int RecvSome(void* buffer, int n);
  // Waits at most `seconds` (at least 1) for bytes and receives at most n of them → the
  // count; 0 when nothing came in time (the socket stays connected) or the connection is
  // lost (it does not). The buffered readers' primitive: the wait and the receive are one
  // system call, and no byte count is asked for.
  int RecvWithin(void* buffer, int n, int seconds);
  // Exactly n bytes, each receive preceded by a wait of at most the time-out.
  bool RecvExact(void* buffer, int n);
  // Up to tries + 1 waits of one second while connected; the first readable one receives one
  // byte and ends the attempts. → the byte, or 0 when none came; *count gets RecvSome's
  // result (0 when none came).
  uint8_t ReadByte(int* count = nullptr, int tries = 2);
  // Sends all n bytes: each send takes what fits into the send buffer without waiting, and
  // when nothing fits waits for writability, at most the time-out each time; a time-out or an
  // error gives false (an error also clears the connected flag).
  bool SendAll(const void* buffer, int n);
  // SendAll of the pieces' bytes one after another (at most kMostPieces pieces), gathered into
  // as few sends as the system takes, without copying them.
  static constexpr int kMostPieces = 24;
  bool SendPieces(const platform::SocketPiece* pieces, int count);
  // One send of what fits into the send buffer now, without waiting → how many bytes went (0
  // when none fit), or -1 when the connection is lost (the connected flag cleared).
  int SendSome(const platform::SocketPiece* pieces, int count);
  // Buffered sending: bytes collect in the write buffer, which is sent whenever it is full
  // and by Flush (which empties it even when the send fails).
  bool Write(const void* buffer, int n);
  bool Flush();

  platform::SocketHandle handle() const { return handle_.load(); }
  uint32_t last_error() const { return last_error_; }
  const CString& error_text() const { return error_text_; }
  int timeout() const { return timeout_; }
  void set_timeout(int seconds) { timeout_ = seconds; }
  int attached() const { return attached_; }
  void set_attached(int attached) { attached_ = attached; }
  const CString& peer_host() const { return peer_host_; }
  int peer_port() const { return peer_port_; }

 protected:
  // Records platform::LastError() (or `code`) as the last error with its text.
  void RecordError();
  void RecordError(uint32_t code);

 private:
  void Configure();
  bool Resolve(const char* host, const char* port, platform::SocketAddress* address);
  // Takes `handle` (counted already) as the object's socket, set up as the constructor and
  // SetOption set up the one before; kInvalidSocket leaves the object closed.
  void Reattach(platform::SocketHandle handle);
  platform::SocketWaitResult Wait(platform::SocketWaitFor what, int seconds, int microseconds);
  // The end of a receive that gave `received`: → the count, or 0 after recording the loss.
  int Received(int received);
  void ConnectionLost();

  std::atomic<platform::SocketHandle> handle_{platform::kInvalidSocket};
  CCriticalSection handle_lock_;  // Close's release of the handle against Interrupt
  int attached_ = 0;
  uint32_t last_error_ = 0;
  CString error_text_;
  CString peer_host_;
  int peer_port_ = 0;
  std::atomic<int> connected_{0};
  int timeout_ = kDefaultTimeoutSeconds;
  int64_t receive_timeout_ms_ = -1;  // the socket's SO_RCVTIMEO; -1 until RecvWithin sets it
  std::vector<platform::SocketSetting> settings_;  // SetOption's before the connection
  char* write_buffer_ = nullptr;
  int write_buffer_size_ = 0;
  int pending_ = 0;
};
