// The tagged value encoding every SRPC packet body is made of: the type codes and their tag
// letters, the date-time record, big-endian numbers, the byte buffer PackBuffer and the value
// writers and readers. Values, table images and packets all encode through here.
//
// Contract: the readers take bytes from the network; they never read outside the bytes they
// were given, whatever those bytes say. A writer writes a whole value or nothing. Writing a
// counted payload without bytes (null, positive length) is a contract violation: it fires the
// fatal internal error (unit "wirecodec").
#pragma once

#include <cstddef>
#include <cstdint>

// Type codes: the code in bits 0-6, the NULL flag in bit 7. Codes 23 and 24 are reserved.
enum : uint8_t {
  NET_BYTE = 12,
  NET_WORD = 13,
  NET_DWORD = 14,
  NET_CHAR = 15,
  NET_SHORT = 16,
  NET_LONG = 17,
  NET_FLOAT = 18,
  NET_DOUBLE = 19,
  NET_STRING = 20,
  NET_BINARY = 21,
  NET_POINTER = 22,
  NET_DATETIME = 25,
  NET_TABLE = 26,
  NET_HANDLE = 27,
  NET_LIST = 28,
  NET_SUPERLONG = 29,
  NET_CSTRING = 30,
  NET_LSTRING = 33,
};
constexpr uint8_t NET_NULL = 0x80;
constexpr uint8_t kNetTypeMask = 0x7F;

// The tag letters: the letter a value travels under (and a procedure's argument format names
// it by) and the type code it stands for, one row per encodable type. Table images add the
// column tag 'v' of their own (values/nettable.cc).
struct ValueTag {
  char tag;
  uint8_t type;
};
inline constexpr ValueTag kValueTags[] = {
    {'b', NET_BINARY}, {'d', NET_DOUBLE},    {'f', NET_FLOAT},
    {'i', NET_LONG},   {'l', NET_SUPERLONG}, {'r', NET_TABLE},
    {'s', NET_STRING}, {'t', NET_DATETIME},  {'u', NET_LSTRING},
};
// The type code of a tag letter (without the NULL flag), or -1 for a letter no value has.
constexpr int TypeOfTag(int tag) {
  for (const ValueTag& row : kValueTags) {
    if (row.tag == tag) return row.type;
  }
  return -1;
}
// The tag letter of a type code, or 0 for a type that does not travel as a value.
constexpr char TagOfType(int type) {
  for (const ValueTag& row : kValueTags) {
    if (row.type == type) return row.tag;
  }
  return 0;
}

// A local date-time as cells hold it and as it travels (tag 't').
//
// OFFSET SIZE DESCRIPTION
//      0    2 year, unsigned; 0 is the empty date-time (no date). Big-endian on the wire.
//      2    1 month 1-12
//      3    1 day 1-31
//      4    1 hour 0-23
//      5    1 minute
//      6    1 second
//      7    1 padding, no meaning; written as 0
//      8    2 milliseconds, unsigned. Big-endian on the wire.
struct DateTimeRecord {
  uint16_t year = 0;
  uint8_t month = 0;
  uint8_t day = 0;
  uint8_t hour = 0;
  uint8_t minute = 0;
  uint8_t second = 0;
  uint8_t padding = 0;
  uint16_t milliseconds = 0;
};
static_assert(sizeof(DateTimeRecord) == 10);
static_assert(offsetof(DateTimeRecord, milliseconds) == 8);

bool operator==(const DateTimeRecord& a, const DateTimeRecord& b);

// Big-endian numbers of `bytes` bytes (at most 8), as counts and 'i' values travel.
inline void PutBigEndian(unsigned char* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) out[i] = static_cast<unsigned char>(value);
}
inline uint64_t GetBigEndian(const unsigned char* in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | in[i];
  return value;
}

// The growable byte buffer of the value writers and readers.
//
// Invariants: 0 <= position <= capacity, size <= capacity; a borrowed buffer (Wrap) is never
// enlarged and never freed; a read-only one (Wrap of const bytes) is never written either.
// Sizes are ints: a buffer never grows past 2^31 - 1 bytes (the write is refused instead).
class PackBuffer {
 public:
  PackBuffer() = default;
  ~PackBuffer() { Free(); }
  PackBuffer(const PackBuffer&) = delete;
  PackBuffer& operator=(const PackBuffer&) = delete;

  // Borrowed: size = capacity = length, position 0. The const form refuses every write.
  // A null `bytes` requires length 0.
  void Wrap(void* bytes, int length);
  void Wrap(const void* bytes, int length);

  // Copies n bytes at the position (growth rule in the .cc) → n, or 0 when nothing was written
  // because a borrowed buffer would have to grow (or the size would pass 2^31 - 1).
  int Write(const void* bytes, int n);
  // Copies at most size - position bytes → the number copied.
  int Read(void* bytes, int n);
  // Overwrites n bytes at offset without moving the position; 0 unless they lie below Size().
  int Patch(int offset, const void* bytes, int n);

  void Seek(int position);  // ignored unless 0 <= position < Size()
  void Skip(int n);         // moves forward by at most the bytes left
  int Tell() const { return position_; }
  int Size() const { return size_; }
  int Capacity() const { return capacity_; }
  int Remaining() const { return size_ - position_ > 0 ? size_ - position_ : 0; }
  // Grows an owned buffer to n bytes when needed (a borrowed one gives 0), pulls the position
  // back to n when it lay behind it.
  int SetSize(int n);
  // 1 when n more bytes fit at the position, after growing an owned buffer if needed.
  int Reserve(int n);
  const char* Current() const { return data_ + position_; }
  const char* Data() const { return data_; }
  bool AtEnd() const { return position_ >= size_; }
  int borrowed() const { return borrowed_; }
  // Frees the data unless borrowed; the buffer is then empty and owned.
  void Free();

 private:
  char* data_ = nullptr;
  int capacity_ = 0;
  int size_ = 0;
  int position_ = 0;
  int borrowed_ = 0;
  bool read_only_ = false;
};

// Value writers. Each appends one tagged value at the buffer's position; with is_null set only
// the tag with bit 7 set is written. 1 when written, 0 when the buffer refused (nothing written).
int PutLong(PackBuffer& out, int32_t value, int is_null = 0);       // 'i', big-endian
int PutSuperLong(PackBuffer& out, int64_t value, int is_null = 0);  // 'l', little-endian
int PutFloat(PackBuffer& out, float value, int is_null = 0);        // 'f', "%.48e" text, NUL
int PutDouble(PackBuffer& out, double value, int is_null = 0);      // 'd', "%.48e" text, NUL
int PutDateTime(PackBuffer& out, const DateTimeRecord& value, int is_null = 0);  // 't'
int PutString(PackBuffer& out, const char* text, int is_null = 0);  // 's', up to and with NUL
int PutBinary(PackBuffer& out, const void* bytes, int length, int is_null = 0);  // 'b'
// The tag and count of a binary of `length` bytes, which the caller places behind them.
int PutBinaryHead(PackBuffer& out, int length);
int PutLString(PackBuffer& out, const void* bytes, int length, int is_null = 0);     // 'u'
int PutTableImage(PackBuffer& out, const void* bytes, int length, int is_null = 0);  // 'r'

// Value readers: read the payload at the position and move behind it; never past Size().
// A fixed-size payload or a count field cut short gives 0, a zero value, and moves the
// position to the end. Texts and counted payloads are cut to the bytes present instead.
int ReadTag(PackBuffer& in);  // the tag byte, or -1 when no byte is left
int ReadLong(PackBuffer& in, int32_t* value);
int ReadSuperLong(PackBuffer& in, int64_t* value);
int ReadDateTime(PackBuffer& in, DateTimeRecord* value);
// The text up to its NUL (or to the end) converted as atof does; always 1.
int ReadFloat(PackBuffer& in, float* value);
int ReadDouble(PackBuffer& in, double* value);
// The text up to its NUL or to the end of the data; the position moves one byte behind it.
// Always 1. The text is NUL-terminated unless it was cut at the end: use the length.
int ReadString(PackBuffer& in, const char** text, int* length);
// 'b', 'u', 'r' payloads: a 32-bit big-endian count, negative counts as 0, cut to the bytes
// left. 0 only when fewer than 4 count bytes are present.
int ReadCounted(PackBuffer& in, const char** bytes, int* length);
