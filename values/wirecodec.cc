// PackBuffer and the value writers and readers (the contract is in wirecodec.h).
#include "values/wirecodec.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/dumpstack.h"
#include "runtime/memobj.h"

namespace {

constexpr char kUnit[] = "wirecodec";

// ---- Helpers of the writers and readers ---------------------------------------------------------

// One tagged value: tag, head, body; all or nothing. With is_null only the NULL tag.
int PutValue(PackBuffer& out, char tag, const void* head, int head_length, const void* body,
             int body_length, int is_null) {
  if (is_null != 0) {
    unsigned char null_tag = static_cast<unsigned char>(tag) | NET_NULL;
    return out.Write(&null_tag, 1);
  }
  if (out.Reserve(1 + head_length + body_length) == 0) return 0;
  out.Write(&tag, 1);
  out.Write(head, head_length);
  out.Write(body, body_length);
  return 1;
}

int PutCounted(PackBuffer& out, char tag, const void* bytes, int length, int is_null) {
  if (length < 0) length = 0;
  FATAL_CHECK(bytes != nullptr || length == 0 || is_null != 0);
  unsigned char count[4];
  PutBigEndian(count, static_cast<uint32_t>(length), 4);
  return PutValue(out, tag, count, 4, bytes, length, is_null);
}

int PutNumberText(PackBuffer& out, char tag, double value, int is_null) {
  char text[80];
  int length = std::snprintf(text, sizeof text, "%.48e", value);
  return PutValue(out, tag, text, length + 1, nullptr, 0, is_null);
}

// Copies n bytes, or, when fewer are left, consumes the rest and gives false with zeroes.
bool TakeBytes(PackBuffer& in, unsigned char* out, int n) {
  if (in.Remaining() < n) {
    in.Skip(in.Remaining());
    std::memset(out, 0, static_cast<size_t>(n));
    return false;
  }
  in.Read(out, n);
  return true;
}

// The text at the position: up to its NUL or the end. Moves behind the NUL.
const char* TakeText(PackBuffer& in, int* length, bool* terminated) {
  int left = in.Remaining();
  const char* text = left > 0 ? in.Current() : "";
  const void* nul = left > 0 ? std::memchr(text, 0, static_cast<size_t>(left)) : nullptr;
  *terminated = nul != nullptr || left == 0;
  *length = nul != nullptr ? static_cast<int>(static_cast<const char*>(nul) - text) : left;
  in.Skip(*length + (nul != nullptr ? 1 : 0));
  return *length > 0 || nul != nullptr ? text : "";
}

double TextToDouble(PackBuffer& in) {
  int length;
  bool terminated;
  const char* text = TakeText(in, &length, &terminated);
  if (terminated) return std::atof(text);
  // Cut at the end of the data: convert a bounded, terminated copy.
  char copy[128];
  int n = length < static_cast<int>(sizeof copy) - 1 ? length : static_cast<int>(sizeof copy) - 1;
  std::memcpy(copy, text, static_cast<size_t>(n));
  copy[n] = '\0';
  return std::atof(copy);
}

}  // namespace

bool operator==(const DateTimeRecord& a, const DateTimeRecord& b) {
  return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
         a.minute == b.minute && a.second == b.second && a.milliseconds == b.milliseconds;
}

// ---- PackBuffer ----------------------------------------------------------------------------

void PackBuffer::Wrap(void* bytes, int length) {
  FATAL_CHECK(bytes != nullptr || length <= 0);
  Free();
  data_ = static_cast<char*>(bytes);
  capacity_ = size_ = length > 0 ? length : 0;
  borrowed_ = 1;
}

void PackBuffer::Wrap(const void* bytes, int length) {
  Wrap(const_cast<void*>(bytes), length);
  read_only_ = true;
}

int PackBuffer::Reserve(int n) {
  if (read_only_ || n < 0) return 0;
  int64_t need = static_cast<int64_t>(position_) + n;
  if (need <= capacity_) return 1;
  if (borrowed_ != 0 || need > INT_MAX) return 0;
  // A first small buffer gets 1 KiB; later ones a third more than needed.
  int64_t grown = (capacity_ == 0 && need < 1024) ? 1024 : need + need / 3;
  if (grown > INT_MAX) grown = INT_MAX;
  data_ = static_cast<char*>(Heap::Reallocate(data_, static_cast<size_t>(grown)));
  capacity_ = static_cast<int>(grown);
  return 1;
}

int PackBuffer::Write(const void* bytes, int n) {
  if (n <= 0) return 0;
  FATAL_CHECK(bytes != nullptr);
  if (Reserve(n) == 0) return 0;
  std::memcpy(data_ + position_, bytes, static_cast<size_t>(n));
  position_ += n;
  if (position_ > size_) size_ = position_;
  return n;
}

int PackBuffer::Read(void* bytes, int n) {
  int count = n < Remaining() ? n : Remaining();
  if (count <= 0) return 0;
  std::memcpy(bytes, data_ + position_, static_cast<size_t>(count));
  position_ += count;
  return count;
}

int PackBuffer::Patch(int offset, const void* bytes, int n) {
  if (read_only_ || offset < 0 || n <= 0 || n > size_ - offset) return 0;
  std::memcpy(data_ + offset, bytes, static_cast<size_t>(n));
  return n;
}

void PackBuffer::Seek(int position) {
  if (position >= 0 && position < size_) position_ = position;
}

void PackBuffer::Skip(int n) {
  if (n > 0) position_ += n < Remaining() ? n : Remaining();
}

int PackBuffer::SetSize(int n) {
  if (n < 0 || borrowed_ != 0) return 0;
  if (n > capacity_) {
    data_ = static_cast<char*>(Heap::Reallocate(data_, static_cast<size_t>(n)));
    capacity_ = n;
  }
  if (n > size_) std::memset(data_ + size_, 0, static_cast<size_t>(n - size_));
  size_ = n;
  if (position_ > n) position_ = n;
  return 1;
}

void PackBuffer::Free() {
  if (borrowed_ == 0) Heap::Release(data_);
  data_ = nullptr;
  capacity_ = size_ = position_ = borrowed_ = 0;
  read_only_ = false;
}

// ---- Value writers -------------------------------------------------------------------------

int PutLong(PackBuffer& out, int32_t value, int is_null) {
  unsigned char bytes[4];
  PutBigEndian(bytes, static_cast<uint32_t>(value), 4);
  return PutValue(out, TagOfType(NET_LONG), bytes, 4, nullptr, 0, is_null);
}

int PutSuperLong(PackBuffer& out, int64_t value, int is_null) {
  // Low byte first, unlike every other number of the encoding.
  unsigned char bytes[8];
  uint64_t bits = static_cast<uint64_t>(value);
  for (int i = 0; i < 8; ++i, bits >>= 8) bytes[i] = static_cast<unsigned char>(bits);
  return PutValue(out, TagOfType(NET_SUPERLONG), bytes, 8, nullptr, 0, is_null);
}

int PutFloat(PackBuffer& out, float value, int is_null) {
  return PutNumberText(out, TagOfType(NET_FLOAT), static_cast<double>(value), is_null);
}

int PutDouble(PackBuffer& out, double value, int is_null) {
  return PutNumberText(out, TagOfType(NET_DOUBLE), value, is_null);
}

int PutDateTime(PackBuffer& out, const DateTimeRecord& value, int is_null) {
  unsigned char bytes[10] = {};
  PutBigEndian(bytes, value.year, 2);
  bytes[2] = value.month;
  bytes[3] = value.day;
  bytes[4] = value.hour;
  bytes[5] = value.minute;
  bytes[6] = value.second;
  PutBigEndian(bytes + 8, value.milliseconds, 2);
  return PutValue(out, TagOfType(NET_DATETIME), bytes, 10, nullptr, 0, is_null);
}

int PutString(PackBuffer& out, const char* text, int is_null) {
  if (text == nullptr) text = "";
  return PutValue(out, TagOfType(NET_STRING), text, static_cast<int>(std::strlen(text)) + 1,
                  nullptr, 0, is_null);
}

int PutBinary(PackBuffer& out, const void* bytes, int length, int is_null) {
  return PutCounted(out, TagOfType(NET_BINARY), bytes, length, is_null);
}

int PutBinaryHead(PackBuffer& out, int length) {
  FATAL_CHECK(length >= 0);
  unsigned char count[4];
  PutBigEndian(count, static_cast<uint32_t>(length), 4);
  return PutValue(out, TagOfType(NET_BINARY), count, 4, nullptr, 0, 0);
}

int PutLString(PackBuffer& out, const void* bytes, int length, int is_null) {
  return PutCounted(out, TagOfType(NET_LSTRING), bytes, length, is_null);
}

int PutTableImage(PackBuffer& out, const void* bytes, int length, int is_null) {
  return PutCounted(out, TagOfType(NET_TABLE), bytes, length, is_null);
}

// ---- Value readers -------------------------------------------------------------------------

int ReadTag(PackBuffer& in) {
  unsigned char tag;
  return in.Read(&tag, 1) == 1 ? tag : -1;
}

int ReadLong(PackBuffer& in, int32_t* value) {
  unsigned char bytes[4];
  bool ok = TakeBytes(in, bytes, 4);
  *value = static_cast<int32_t>(static_cast<uint32_t>(GetBigEndian(bytes, 4)));
  return ok ? 1 : 0;
}

int ReadSuperLong(PackBuffer& in, int64_t* value) {
  unsigned char bytes[8];
  bool ok = TakeBytes(in, bytes, 8);
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | bytes[i];
  *value = static_cast<int64_t>(bits);
  return ok ? 1 : 0;
}

int ReadDateTime(PackBuffer& in, DateTimeRecord* value) {
  unsigned char bytes[10];
  bool ok = TakeBytes(in, bytes, 10);
  value->year = static_cast<uint16_t>(GetBigEndian(bytes, 2));
  value->month = bytes[2];
  value->day = bytes[3];
  value->hour = bytes[4];
  value->minute = bytes[5];
  value->second = bytes[6];
  value->padding = bytes[7];
  value->milliseconds = static_cast<uint16_t>(GetBigEndian(bytes + 8, 2));
  return ok ? 1 : 0;
}

int ReadFloat(PackBuffer& in, float* value) {
  double number = TextToDouble(in);
  // Narrowing a finite double beyond the float range is undefined: saturate to infinity.
  if (std::isfinite(number) && std::fabs(number) > 3.4028234663852886e38) {
    number = number > 0 ? HUGE_VAL : -HUGE_VAL;
  }
  *value = static_cast<float>(number);
  return 1;
}

int ReadDouble(PackBuffer& in, double* value) {
  *value = TextToDouble(in);
  return 1;
}

int ReadString(PackBuffer& in, const char** text, int* length) {
  bool terminated;
  *text = TakeText(in, length, &terminated);
  return 1;
}

int ReadCounted(PackBuffer& in, const char** bytes, int* length) {
  int32_t count;
  *bytes = "";
  *length = 0;
  if (ReadLong(in, &count) == 0) return 0;
  if (count < 0) count = 0;
  if (count > in.Remaining()) count = in.Remaining();
  if (count > 0) *bytes = in.Current();
  *length = count;
  in.Skip(count);
  return 1;
}
