// SRPC packets on the stream: the writer that frames a request or an answer, the opened view
// of one received packet, and the resumable reader that finds packets in a byte stream,
// re-synchronises after garbage and drives a socket for the session loop.
//
// A packet, every number big-endian:
//
//   plain    OFFSET SIZE DESCRIPTION            extended OFFSET SIZE DESCRIPTION
//                 0    1 kind R, Y, A or B                     0    1 'X'
//                 1    4 total length                          1    1 kind R or Y
//                 5    1 header checksum                       2    4 total length
//                 6    . body                                  6    1 header checksum
//               n-2    2 trailer 35 67                         7    . body
//                                                            n-2    2 trailer 35 67
//
//   The total length counts header, body and trailer; receivers take 1 to 419,430,400. The
//   checksum is 0x55 XOR-ed with every header byte in front of it. A request body is the
//   procedure name with its NUL (plain) or the procedure index, 4 bytes (extended), then the
//   arguments as tagged values; an answer body holds the results ('A') or an 'i' error code
//   and an 's' text ('B'). A lone 'P' between packets is a keep-alive.
//
//   corvexa_srpc_getcmds called with kind R, no arguments, 29 bytes:
//     52 00 00 00 1D 1A  "corvexa_srpc_getcmds" 00  35 67
//   the answer for an unknown procedure, 31 bytes:
//     42 00 00 00 1F 08  69 FF FF FF FF  73 "PROC NOT SUPPORT" 00  35 67
//
// Who may call what: every object here belongs to one connection and is used by one thread
// at a time; nothing is shared.
//
// Invariants:
//  1. The reader never reads or writes outside the bytes it was given or the buffers it owns,
//     whatever the bytes say, and never takes a packet whose header checksum, declared
//     length or trailer is wrong.
//  2. The reader's packet buffer grows only as packet bytes arrive (to at most twice the bytes
//     received, never beyond the declared length + 1): a declared length costs nothing until
//     its bytes come. A reader owns at most kKeptBuffer bytes of packet buffer; a packet that
//     needs more reads into a buffer of the process-wide pool of large buffers (which may hand
//     out one it holds up to the declared length + 1) and gives it back before the next
//     packet, so an idle connection holds no large buffer.
//  3. An opened packet is a view of bytes that it does not own; the reader's packet stays
//     valid until the next Feed, Receive or Reset.
//  4. Framing errors are dropped silently (a declared length out of range prints
//     "invalid size:%d(0,%d)\n" first) and never end the stream; only a failed or timed-out
//     read inside a packet ends a Receive with kFailed.
#pragma once

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/socket.h"
#include "values/netdat.h"

class StdSocket;

// Packet kinds: the first byte of a packet (the second of an extended one).
constexpr uint8_t kSrpcKeepAlive = 'P';
constexpr uint8_t kSrpcRequest = 'R';
constexpr uint8_t kSrpcOneWay = 'Y';
constexpr uint8_t kSrpcExtended = 'X';
constexpr uint8_t kSrpcAnswer = 'A';
constexpr uint8_t kSrpcErrorAnswer = 'B';

constexpr int kSrpcPlainHeader = 6;
constexpr int kSrpcExtendedHeader = 7;
constexpr int kSrpcTrailerSize = 2;
constexpr uint8_t kSrpcTrailer0 = 0x35;
constexpr uint8_t kSrpcTrailer1 = 0x67;
// The largest total length a receiver accepts (0x19000000).
constexpr uint32_t kSrpcMaxPacket = 419430400;

// 0x55 XOR-ed with the n bytes.
uint8_t SrpcChecksum(const uint8_t* bytes, int n);

// A packet to send as pieces of memory, in order: the writer's bytes, or the writer's bytes
// up to a lent binary, the binary's pieces where they lie, and the rest of the writer's bytes.
struct SrpcPieces {
  static constexpr int kMost = NetValueList::kMostPieces + 2;
  platform::SocketPiece piece[kMost] = {};
  int count = 0;
  int total = 0;
  // The packet's bytes from byte `from` on, in one string.
  std::string Joined(int from = 0) const;
};

// Builds one packet at a time in its own buffer, which keeps its memory between packets up to
// kKeptBuffer bytes.
class SrpcPacketWriter {
 public:
  static constexpr int kKeptBuffer = 16384;

  // Clears the buffer and writes the header with placeholders for length and checksum.
  void BeginPlain(uint8_t kind);
  void BeginExtended(uint8_t kind);  // kind R or Y
  // The name and its NUL.
  bool PutProcName(const char* name);
  // Refused (false, nothing written) unless the packet is extended.
  bool PutProcIndex(uint32_t index);
  // Every value, as NetValueList::Encode writes them. With `lend`, the first large binary is
  // not copied (NetValueList::LentBinary): the list must stay unchanged until the packet was
  // sent, and only Finish into pieces may end the packet.
  bool PutValues(const NetValueList& values, bool lend = false);
  // For the value writers of values/netdat (PutLong, PutString, ...).
  PackBuffer& stream() { return stream_; }
  // Appends the trailer, stores length and checksum → the whole packet, valid until the next
  // Begin. False only when the buffer refused a write.
  bool Finish(const char** bytes, int* length);
  bool Finish(SrpcPieces* pieces);
  // Frees the buffer when it grew beyond kKeptBuffer (a large packet was sent).
  void Trim();

  // An 'A' packet with the results (a large binary lent); a 'B' packet with the code and the
  // text.
  bool BuildAnswer(const NetValueList& results, SrpcPieces* pieces);
  bool BuildErrorAnswer(int32_t code, const char* text, SrpcPieces* pieces);

 private:
  void Begin(const uint8_t* header, int header_size);
  bool Close();

  PackBuffer stream_;
  int header_size_ = 0;  // 0 while no packet is begun
  NetValueList::LentBinary lent_;
};

// What a request names and how it is to be answered.
struct SrpcRequest {
  uint8_t kind = 0;       // R (answer due) or Y (no answer)
  bool extended = false;  // named by index instead of by name
  // The reference ran into the trailer (a name without its NUL, fewer than 4 index bytes): it
  // names no procedure.
  bool cut_short = false;
  const char* name = "";  // plain requests: the NUL-terminated name inside the packet
  uint32_t index = 0;     // extended requests
};

// One checked packet, read through a read-only view of its bytes.
class SrpcPacket {
 public:
  // Checks, in this order: length at least header + trailer, the header checksum, the
  // declared length equal to `length`, the trailer. On success the read position is behind
  // the header; on failure the packet is closed.
  bool Open(const void* bytes, int length);
  void Close();
  bool IsOpen() const { return stream_.Size() > 0; }
  bool IsExtended() const;
  // The packet's kind: the second byte of an extended packet, else the first.
  uint8_t Kind() const;
  const char* Bytes() const { return stream_.Data(); }
  int Length() const { return stream_.Size(); }

  // The NUL-terminated name at the read position; false (position unchanged) when no NUL
  // comes before the trailer.
  bool GetProcName(const char** name);
  // 4 bytes big-endian; false when fewer are left before the trailer.
  bool GetProcIndex(uint32_t* index);
  // Only the trailer is left.
  bool AtEnd() const;
  // Decodes at most `max_values` values between the read position and the trailer into
  // `values` (cleared first; NetValueList::Decode) and moves to the trailer → the number of
  // values.
  // With `lend`, binaries refer into the packet's bytes (NetValueList::Decode).
  int DecodeValues(NetValueList& values, int max_values = INT_MAX, bool lend = false);
  // From a freshly opened request: the procedure reference, leaving the read position at the
  // arguments (at the trailer when the reference is cut short).
  void ReadRequest(SrpcRequest* request);

  PackBuffer& stream() { return stream_; }

 private:
  int BodyEnd() const { return stream_.Size() - kSrpcTrailerSize; }

  PackBuffer stream_;
};

// Which packets a reader looks for: a server reads requests (R, Y, X), a client answers (A, B).
enum class SrpcPeer { kServer, kClient };

// Finds packets in a byte stream, byte by byte where the stream is out of step:
//   - a 'P' between packets is dropped;
//   - any other byte that cannot start a packet is dropped and ends the pass (kStrayByte);
//   - 'X' followed by neither R nor Y: both bytes are dropped;
//   - a header with a wrong checksum, a declared length out of range or too short for header
//     and trailer: the header bytes are dropped, and the search goes on with the next byte;
//   - a complete packet that does not open (wrong trailer): dropped.
//
// State machine (the function that makes each transition):
//   kKind         --R/Y (A/B)--> kHeader          TakeKind
//   kKind         --X---------> kExtendedKind     TakeKind
//   kExtendedKind --R/Y-------> kHeader; else kKind     TakeExtendedKind
//   kHeader       --header----> kBody; bad: kKind       CheckHeader
//   kBody         --last byte-> kKind (+ kPacket)       TakeBody
class SrpcPacketReader {
 public:
  enum class Phase { kKind, kExtendedKind, kHeader, kBody };
  enum class Event { kNeedMore, kPacket, kStrayByte };
  enum class Result { kPacket, kNoPacket, kFailed };

  static constexpr int kInitialBuffer = 250;
  static constexpr int kKeptBuffer = 16384;
  // One receive takes up to this many bytes, so a small packet costs one system call. The
  // rest of a body longer than this is received straight into the packet buffer.
  static constexpr int kReadAhead = 16384;
  // The pool of large buffers keeps at most this many bytes of free buffers.
  static constexpr int64_t kPooledBytes = int64_t{32} << 20;
  // Between packets a pass waits for a byte this many times, one second each (unless the
  // reader is made with another count).
  static constexpr int kIdleWaits = 3;

  explicit SrpcPacketReader(SrpcPeer peer = SrpcPeer::kServer, int idle_waits = kIdleWaits);
  ~SrpcPacketReader();
  SrpcPacketReader(const SrpcPacketReader&) = delete;
  SrpcPacketReader& operator=(const SrpcPacketReader&) = delete;

  // Parses n bytes. Stops behind a complete packet (kPacket: see packet()) or behind a stray
  // byte at a packet start (kStrayByte); otherwise takes all n (kNeedMore). *consumed gets
  // the number of bytes taken.
  Event Feed(const char* bytes, int n, int* consumed);

  // One pass of a session loop on `socket`, with what an earlier receive read ahead first:
  //   - between packets, up to idle_waits waits of one second for the next bytes; none came
  //     (or the socket is no longer connected): kNoPacket. A stray byte: kNoPacket at
  //     once (stopped_at_stray_byte tells);
  //   - after an 'X', the same waits for the kind; none came: the 'X' is dropped and the pass
  //     goes on between packets;
  //   - inside a packet, each receive after a wait of at most the socket's time-out; a
  //     time-out, an error or the peer's close: kFailed (the session ends);
  //   - a complete packet: kPacket.
  // With a limit (milliseconds from now, -1 for none) no wait goes on past it (waits are whole
  // seconds, so by at most one second): once it is over, a pass between packets ends with
  // kNoPacket and a packet not yet complete with kFailed.
  Result Receive(StdSocket& socket, int64_t limit_ms = -1);

  // The last packet (open after kPacket).
  SrpcPacket& packet() { return packet_; }
  Phase phase() const { return phase_; }
  // Drops a partly read packet; bytes read ahead stay.
  void Reset();
  int buffer_capacity() const { return capacity_; }
  // Frees every buffer the pool of large buffers holds (tests that measure a reader's growth).
  static void DropPooledBuffers();
  // Bytes read from the socket and not yet parsed.
  int read_ahead() const { return ahead_end_ - ahead_begin_; }
  // The waits between packets in which nothing came, in the last Receive.
  int idle_waits_made() const { return idle_waits_made_; }
  // Whether the last Receive ended at a byte that cannot start a packet.
  bool stopped_at_stray_byte() const { return stopped_at_stray_byte_; }
  // What the last receive from the socket into the read-ahead brought, parsed or not (to show
  // a user what a peer sent).
  std::string_view last_fill() const { return {ahead_, static_cast<size_t>(ahead_end_)}; }

 private:
  Event TakeKind(uint8_t byte);
  void TakeExtendedKind(uint8_t byte);
  int TakeHeader(const char* bytes, int n);
  void CheckHeader();
  int TakeBody(const char* bytes, int n, Event* event);
  Event TookBody(int n);
  void Grow(int need);
  void ReleaseLargeBuffer();
  // Receives the rest of a long body into the packet buffer → the bytes received, 0 when the
  // receive failed or timed out.
  int ReceiveBody(StdSocket& socket, Event* event);
  bool Starts(uint8_t byte) const;
  int FillBetweenPackets(StdSocket& socket);
  int FillInsidePacket(StdSocket& socket);
  int Fill(StdSocket& socket, int seconds);
  // The next wait: at most `most` seconds, and no further than the limit → seconds, 0 when
  // the limit is over.
  int WaitSeconds(int most) const;

  SrpcPeer peer_;
  int idle_waits_;
  int idle_waits_made_ = 0;
  bool stopped_at_stray_byte_ = false;
  Phase phase_ = Phase::kKind;
  char* buffer_ = nullptr;  // the packet being read, header first: own_ or a pooled buffer
  int capacity_ = 0;
  char* own_ = nullptr;  // at most kKeptBuffer bytes
  int own_capacity_ = 0;
  int got_ = 0;          // bytes of the current packet in buffer_
  int header_size_ = 0;  // 6 or 7 once the kind is known
  int total_ = 0;        // declared length, once the header checked out
  SrpcPacket packet_;
  char* ahead_ = nullptr;  // bytes received, ahead_[ahead_begin_, ahead_end_) not yet parsed
  int ahead_begin_ = 0;
  int ahead_end_ = 0;
  uint32_t limit_start_ = 0;  // the tick at which Receive's limit began
  int64_t limit_ms_ = -1;
};
