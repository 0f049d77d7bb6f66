// SRPC packet framing: the writer, the checks of a received packet and the resumable reader
// that re-synchronises a stream byte by byte. See packet.h for the layout.
#include "srpc/packet.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "runtime/dumpstack.h"
#include "runtime/mt.h"
#include "srpc/stdsocket.h"

namespace {

constexpr char kUnit[] = "packet";

constexpr uint8_t kChecksumSeed = 0x55;

int HeaderSizeOf(uint8_t first_byte) {
  return first_byte == kSrpcExtended ? kSrpcExtendedHeader : kSrpcPlainHeader;
}

const uint8_t* Unsigned(const char* bytes) {
  return reinterpret_cast<const uint8_t*>(bytes);
}

// Free large packet buffers, shared by every reader: a connection that moved a large packet
// gives its buffer back instead of keeping it while it idles.
class LargeBuffers {
 public:
  // The largest free buffer of at least `need` and at most `most` bytes (the rest of the packet
  // then goes in without another copy) → its bytes and *size, or null.
  char* Take(int need, int most, int* size) {
    ScopedLock hold(lock_, kUnit, __LINE__);
    auto best = free_.end();
    for (auto it = free_.begin(); it != free_.end(); ++it) {
      if (it->second >= need && it->second <= most &&
          (best == free_.end() || it->second > best->second))
        best = it;
    }
    if (best == free_.end()) return nullptr;
    char* bytes = best->first;
    *size = best->second;
    held_ -= best->second;
    free_.erase(best);
    return bytes;
  }
  void Give(char* bytes, int size) {
    {
      ScopedLock hold(lock_, kUnit, __LINE__);
      if (held_ + size <= SrpcPacketReader::kPooledBytes) {
        free_.emplace_back(bytes, size);
        held_ += size;
        return;
      }
    }
    Heap::Release(bytes);
  }
  void Drop() {
    ScopedLock hold(lock_, kUnit, __LINE__);
    for (auto& [bytes, size] : free_) Heap::Release(bytes);
    free_.clear();
    held_ = 0;
  }

 private:
  CCriticalSection lock_{1};
  std::vector<std::pair<char*, int>> free_;  // guarded by lock_
  int64_t held_ = 0;                         // guarded by lock_
};

LargeBuffers& Pool() {
  static auto* pool = new LargeBuffers();  // kept: readers of detached threads may outlive main
  return *pool;
}

}  // namespace

uint8_t SrpcChecksum(const uint8_t* bytes, int n) {
  uint8_t sum = kChecksumSeed;
  for (int i = 0; i < n; ++i) sum ^= bytes[i];
  return sum;
}

// ---- Writer --------------------------------------------------------------------------------

std::string SrpcPieces::Joined(int from) const {
  std::string bytes;
  bytes.reserve(static_cast<size_t>(std::max(total - from, 0)));
  for (int i = 0; i < count; ++i) {
    int skip = std::clamp(from, 0, piece[i].length);
    from -= skip;
    bytes.append(static_cast<const char*>(piece[i].bytes) + skip,
                 static_cast<size_t>(piece[i].length - skip));
  }
  return bytes;
}

void SrpcPacketWriter::Begin(const uint8_t* header, int header_size) {
  stream_.SetSize(0);
  // Length and checksum are placeholders until Finish; the stream grows from 0 bytes here.
  FATAL_CHECK(stream_.Write(header, header_size) == header_size);
  header_size_ = header_size;
  lent_ = {};
}

void SrpcPacketWriter::BeginPlain(uint8_t kind) {
  const uint8_t header[kSrpcPlainHeader] = {kind, 0, 0, 0, 0, 0};
  Begin(header, kSrpcPlainHeader);
}

void SrpcPacketWriter::BeginExtended(uint8_t kind) {
  const uint8_t header[kSrpcExtendedHeader] = {kSrpcExtended, kind, 0, 0, 0, 0, 0};
  Begin(header, kSrpcExtendedHeader);
}

bool SrpcPacketWriter::PutProcName(const char* name) {
  FATAL_CHECK(header_size_ != 0 && name != nullptr);
  int length = static_cast<int>(std::strlen(name)) + 1;
  return stream_.Write(name, length) == length;
}

bool SrpcPacketWriter::PutProcIndex(uint32_t index) {
  FATAL_CHECK(header_size_ != 0);
  if (header_size_ != kSrpcExtendedHeader) return false;
  unsigned char bytes[4];
  PutBigEndian(bytes, index, 4);
  return stream_.Write(bytes, 4) == 4;
}

bool SrpcPacketWriter::PutValues(const NetValueList& values, bool lend) {
  FATAL_CHECK(header_size_ != 0);
  return values.Encode(stream_, lend ? &lent_ : nullptr) != 0;
}

// Appends the trailer and stores length (lent bytes included) and checksum.
bool SrpcPacketWriter::Close() {
  FATAL_CHECK(header_size_ != 0);
  const uint8_t trailer[kSrpcTrailerSize] = {kSrpcTrailer0, kSrpcTrailer1};
  if (stream_.Write(trailer, kSrpcTrailerSize) != kSrpcTrailerSize) return false;
  int64_t total = int64_t{stream_.Size()} + (lent_.at >= 0 ? lent_.length : 0);
  if (total > INT_MAX) return false;
  unsigned char header[kSrpcExtendedHeader];
  std::memcpy(header, stream_.Data(), static_cast<size_t>(header_size_));
  PutBigEndian(header + header_size_ - 5, static_cast<uint32_t>(total), 4);
  header[header_size_ - 1] = SrpcChecksum(header, header_size_ - 1);
  stream_.Patch(0, header, header_size_);
  return true;
}

bool SrpcPacketWriter::Finish(const char** bytes, int* length) {
  FATAL_CHECK(lent_.at < 0);  // a lent binary is sent from where it lies
  if (!Close()) return false;
  *bytes = stream_.Data();
  *length = stream_.Size();
  return true;
}

bool SrpcPacketWriter::Finish(SrpcPieces* pieces) {
  if (!Close()) return false;
  const char* data = stream_.Data();
  int size = stream_.Size();
  if (lent_.at < 0) {
    pieces->piece[0] = {data, size};
    pieces->count = 1;
    pieces->total = size;
    return true;
  }
  pieces->piece[0] = {data, lent_.at};
  for (int i = 0; i < lent_.count; ++i) {
    pieces->piece[1 + i] = {lent_.pieces[i].bytes, lent_.pieces[i].length};
  }
  pieces->piece[1 + lent_.count] = {data + lent_.at, size - lent_.at};
  pieces->count = 2 + lent_.count;
  pieces->total = size + lent_.length;
  return true;
}

void SrpcPacketWriter::Trim() {
  if (stream_.Capacity() > kKeptBuffer) stream_.Free();
}

bool SrpcPacketWriter::BuildAnswer(const NetValueList& results, SrpcPieces* pieces) {
  BeginPlain(kSrpcAnswer);
  return PutValues(results, true) && Finish(pieces);
}

bool SrpcPacketWriter::BuildErrorAnswer(int32_t code, const char* text, SrpcPieces* pieces) {
  BeginPlain(kSrpcErrorAnswer);
  return PutLong(stream_, code) != 0 && PutString(stream_, text) != 0 && Finish(pieces);
}

// ---- Opened packet -------------------------------------------------------------------------

bool SrpcPacket::Open(const void* bytes, int length) {
  Close();
  if (bytes == nullptr || length < kSrpcPlainHeader + kSrpcTrailerSize) return false;
  const auto* p = static_cast<const uint8_t*>(bytes);
  int header_size = HeaderSizeOf(p[0]);
  if (length < header_size + kSrpcTrailerSize) return false;
  if (p[header_size - 1] != SrpcChecksum(p, header_size - 1)) return false;
  if (GetBigEndian(p + header_size - 5, 4) != static_cast<uint32_t>(length)) return false;
  if (p[length - 2] != kSrpcTrailer0 || p[length - 1] != kSrpcTrailer1) return false;
  stream_.Wrap(bytes, length);
  stream_.Seek(header_size);
  return true;
}

void SrpcPacket::Close() {
  stream_.Free();
}

bool SrpcPacket::IsExtended() const {
  return IsOpen() && static_cast<uint8_t>(stream_.Data()[0]) == kSrpcExtended;
}

uint8_t SrpcPacket::Kind() const {
  if (!IsOpen()) return 0;
  return static_cast<uint8_t>(stream_.Data()[IsExtended() ? 1 : 0]);
}

bool SrpcPacket::GetProcName(const char** name) {
  int left = BodyEnd() - stream_.Tell();
  if (!IsOpen() || left <= 0) return false;
  const void* nul = std::memchr(stream_.Current(), '\0', static_cast<size_t>(left));
  if (nul == nullptr) return false;
  *name = stream_.Current();
  stream_.Skip(static_cast<int>(static_cast<const char*>(nul) - stream_.Current()) + 1);
  return true;
}

bool SrpcPacket::GetProcIndex(uint32_t* index) {
  if (!IsOpen() || BodyEnd() - stream_.Tell() < 4) return false;
  *index = static_cast<uint32_t>(GetBigEndian(Unsigned(stream_.Current()), 4));
  stream_.Skip(4);
  return true;
}

bool SrpcPacket::AtEnd() const {
  return stream_.Tell() + kSrpcTrailerSize >= stream_.Size();
}

int SrpcPacket::DecodeValues(NetValueList& values, int max_values, bool lend) {
  int left = IsOpen() ? BodyEnd() - stream_.Tell() : 0;
  int count =
      values.Decode(left > 0 ? stream_.Current() : nullptr, left > 0 ? left : 0, max_values, lend);
  if (left > 0) stream_.Skip(left);
  return count;
}

void SrpcPacket::ReadRequest(SrpcRequest* request) {
  request->kind = Kind();
  request->extended = IsExtended();
  request->name = "";
  request->index = 0;
  bool named = request->extended ? GetProcIndex(&request->index) : GetProcName(&request->name);
  request->cut_short = !named;
  if (!named && IsOpen()) stream_.Skip(BodyEnd() - stream_.Tell());
}

// ---- Reader: parsing -----------------------------------------------------------------------

SrpcPacketReader::SrpcPacketReader(SrpcPeer peer, int idle_waits)
    : peer_(peer), idle_waits_(idle_waits) {
  FATAL_CHECK(idle_waits > 0);
  own_ = static_cast<char*>(Heap::Allocate(kInitialBuffer));
  own_capacity_ = kInitialBuffer;
  buffer_ = own_;
  capacity_ = own_capacity_;
  ahead_ = static_cast<char*>(Heap::Allocate(kReadAhead));
}

SrpcPacketReader::~SrpcPacketReader() {
  packet_.Close();
  if (buffer_ != own_) Pool().Give(buffer_, capacity_);
  Heap::Release(own_);
  Heap::Release(ahead_);
}

void SrpcPacketReader::DropPooledBuffers() {
  Pool().Drop();
}

void SrpcPacketReader::Reset() {
  packet_.Close();
  phase_ = Phase::kKind;
  got_ = 0;
}

bool SrpcPacketReader::Starts(uint8_t byte) const {
  if (peer_ == SrpcPeer::kServer) return byte == kSrpcRequest || byte == kSrpcOneWay;
  return byte == kSrpcAnswer || byte == kSrpcErrorAnswer;
}

SrpcPacketReader::Event SrpcPacketReader::Feed(const char* bytes, int n, int* consumed) {
  FATAL_CHECK(n >= 0 && (bytes != nullptr || n == 0));
  packet_.Close();
  ReleaseLargeBuffer();
  int used = 0;
  Event event = Event::kNeedMore;
  while (used < n && event == Event::kNeedMore) {
    switch (phase_) {
      case Phase::kKind:
        event = TakeKind(static_cast<uint8_t>(bytes[used++]));
        break;
      case Phase::kExtendedKind:
        TakeExtendedKind(static_cast<uint8_t>(bytes[used++]));
        break;
      case Phase::kHeader:
        used += TakeHeader(bytes + used, n - used);
        break;
      case Phase::kBody:
        used += TakeBody(bytes + used, n - used, &event);
        break;
    }
  }
  *consumed = used;
  return event;
}

SrpcPacketReader::Event SrpcPacketReader::TakeKind(uint8_t byte) {
  if (byte == kSrpcKeepAlive) return Event::kNeedMore;
  if (byte == kSrpcExtended && peer_ == SrpcPeer::kServer) {
    buffer_[0] = static_cast<char>(byte);
    got_ = 1;
    phase_ = Phase::kExtendedKind;
    return Event::kNeedMore;
  }
  if (!Starts(byte)) return Event::kStrayByte;
  buffer_[0] = static_cast<char>(byte);
  got_ = 1;
  header_size_ = kSrpcPlainHeader;
  phase_ = Phase::kHeader;
  return Event::kNeedMore;
}

void SrpcPacketReader::TakeExtendedKind(uint8_t byte) {
  if (!Starts(byte)) {  // both bytes are dropped, this one included
    Reset();
    return;
  }
  buffer_[1] = static_cast<char>(byte);
  got_ = 2;
  header_size_ = kSrpcExtendedHeader;
  phase_ = Phase::kHeader;
}

int SrpcPacketReader::TakeHeader(const char* bytes, int n) {
  int take = std::min(n, header_size_ - got_);
  std::memcpy(buffer_ + got_, bytes, static_cast<size_t>(take));
  got_ += take;
  if (got_ == header_size_) CheckHeader();
  return take;
}

void SrpcPacketReader::CheckHeader() {
  const uint8_t* header = Unsigned(buffer_);
  if (header[header_size_ - 1] != SrpcChecksum(header, header_size_ - 1)) {
    Reset();  // out of step: the search for a packet start goes on behind these bytes
    return;
  }
  uint32_t total = static_cast<uint32_t>(GetBigEndian(header + header_size_ - 5, 4));
  if (total < 1 || total > kSrpcMaxPacket) {
    std::printf("invalid size:%d(0,%d)\n", static_cast<int32_t>(total),
                static_cast<int>(kSrpcMaxPacket));
    Reset();
    return;
  }
  if (total < static_cast<uint32_t>(header_size_ + kSrpcTrailerSize)) {
    Reset();  // in range, yet too short to hold its own header and trailer
    return;
  }
  total_ = static_cast<int>(total);
  phase_ = Phase::kBody;
}

int SrpcPacketReader::TakeBody(const char* bytes, int n, Event* event) {
  int take = std::min(n, total_ - got_);
  // Room for what arrived, and for the NUL behind the packet once it is complete.
  Grow(got_ + take + (got_ + take == total_ ? 1 : 0));
  std::memcpy(buffer_ + got_, bytes, static_cast<size_t>(take));
  *event = TookBody(take);
  return take;
}

// n more bytes of the body are in the buffer.
SrpcPacketReader::Event SrpcPacketReader::TookBody(int n) {
  got_ += n;
  if (got_ < total_) return Event::kNeedMore;
  Grow(total_ + 1);
  buffer_[total_] = '\0';  // a text that runs to the end of the packet still ends
  phase_ = Phase::kKind;
  got_ = 0;
  return packet_.Open(buffer_, total_) ? Event::kPacket : Event::kNeedMore;
}

void SrpcPacketReader::Grow(int need) {
  if (need <= capacity_) return;
  // Doubling keeps the copies few, the declared length bounds it: memory follows the bytes
  // that actually came, not the length a peer claimed.
  int64_t doubled = std::min<int64_t>(int64_t{capacity_} * 2, int64_t{total_} + 1);
  int grown = static_cast<int>(std::max<int64_t>(need, doubled));
  int size = 0;
  // A packet that will not fit the reader's own buffer moves to a pooled one at once, so that
  // its bytes are copied over once at most.
  char* larger =
      total_ + int64_t{1} > kKeptBuffer ? Pool().Take(grown, total_ + 1, &size) : nullptr;
  if (larger == nullptr && grown <= kKeptBuffer) {
    FATAL_CHECK(buffer_ == own_);  // a pooled buffer is larger than kKeptBuffer
    own_ = static_cast<char*>(Heap::Reallocate(own_, static_cast<size_t>(grown)));
    own_capacity_ = grown;
    buffer_ = own_;
    capacity_ = grown;
    return;
  }
  if (larger == nullptr) {
    larger = static_cast<char*>(Heap::Allocate(static_cast<size_t>(grown)));
    size = grown;
  }
  std::memcpy(larger, buffer_, static_cast<size_t>(got_));
  if (buffer_ != own_) Pool().Give(buffer_, capacity_);
  buffer_ = larger;
  capacity_ = size;
}

void SrpcPacketReader::ReleaseLargeBuffer() {
  if (phase_ != Phase::kKind || buffer_ == own_) return;
  Pool().Give(buffer_, capacity_);
  buffer_ = own_;
  capacity_ = own_capacity_;
}

// ---- Reader: the socket --------------------------------------------------------------------

SrpcPacketReader::Result SrpcPacketReader::Receive(StdSocket& socket, int64_t limit_ms) {
  packet_.Close();
  ReleaseLargeBuffer();
  limit_start_ = platform::GetTickCount();
  limit_ms_ = limit_ms;
  idle_waits_made_ = 0;
  stopped_at_stray_byte_ = false;
  for (;;) {
    if (ahead_begin_ == ahead_end_ && phase_ == Phase::kBody && total_ - got_ >= kReadAhead) {
      Event event = Event::kNeedMore;
      if (ReceiveBody(socket, &event) == 0) return Result::kFailed;
      if (event == Event::kPacket) return Result::kPacket;
      continue;
    }
    if (ahead_begin_ == ahead_end_) {
      bool inside = phase_ == Phase::kHeader || phase_ == Phase::kBody;
      if (inside && FillInsidePacket(socket) == 0) return Result::kFailed;
      if (!inside && FillBetweenPackets(socket) == 0) {
        if (phase_ == Phase::kKind) return Result::kNoPacket;
        Reset();  // the kind after an 'X' did not come: the 'X' is dropped
        continue;
      }
    }
    int used = 0;
    Event event = Feed(ahead_ + ahead_begin_, ahead_end_ - ahead_begin_, &used);
    ahead_begin_ += used;
    if (event == Event::kPacket) return Result::kPacket;
    if (event == Event::kStrayByte) {
      stopped_at_stray_byte_ = true;
      return Result::kNoPacket;
    }
  }
}

int SrpcPacketReader::FillBetweenPackets(StdSocket& socket) {
  for (int wait = 0; wait < idle_waits_ && socket.IsConnected(); ++wait) {
    int seconds = WaitSeconds(1);
    if (seconds == 0) break;
    if (Fill(socket, seconds) > 0) return read_ahead();
    ++idle_waits_made_;
  }
  return 0;
}

int SrpcPacketReader::ReceiveBody(StdSocket& socket, Event* event) {
  if (got_ == capacity_) Grow(got_ + 1);
  int seconds = WaitSeconds(socket.timeout());
  int room = std::min(capacity_, total_) - got_;
  int received = seconds == 0 ? 0 : socket.RecvWithin(buffer_ + got_, room, seconds);
  if (received > 0) *event = TookBody(received);
  return received;
}

int SrpcPacketReader::FillInsidePacket(StdSocket& socket) {
  int seconds = WaitSeconds(socket.timeout());
  return seconds == 0 ? 0 : Fill(socket, seconds);
}

int SrpcPacketReader::WaitSeconds(int most) const {
  if (limit_ms_ < 0) return most;
  int64_t left = limit_ms_ - (platform::GetTickCount() - limit_start_);
  if (left <= 0) return 0;
  return static_cast<int>(std::min<int64_t>(most, (left + 999) / 1000));
}

int SrpcPacketReader::Fill(StdSocket& socket, int seconds) {
  ahead_begin_ = 0;
  ahead_end_ = socket.RecvWithin(ahead_, kReadAhead, seconds);
  return ahead_end_;
}
