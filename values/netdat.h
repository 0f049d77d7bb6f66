// Typed values: NetValueList with its recycled cells, and the decoding of a packet's values
// into it within a memory budget (the tagged encoding itself is values/wirecodec.h).
//
// Who may call what:
//  - A NetValueList belongs to one thread at a time and has no lock of its own.
//  - The cell pool and the binary-block pool are shared by every thread. Each free list has
//    its own critical section, held only while a pointer is pushed or popped; no other lock is
//    ever taken while one is held, and objects are destroyed outside it.
//  - Pools: cells in 4 free lists of at most 100, 64 KiB binary blocks in 2 of at most 20,
//    each a stack; a list uses the free list of (its address / 16) modulo the count, since the
//    low four bits of an object's address are nearly always 0. A pooled cell keeps its text's
//    storage (up to 64 KiB) for the next string.
//  - The argument decoder takes bytes from the network: it never reads outside the bytes it
//    was given, whatever those bytes say, and what decoding allocates
//    is bounded by those bytes (DecodeLimits): every cell, text, binary and table is charged
//    to one budget per packet before it is made.
//
// Invariants:
//  1. A cell's type byte holds a defined type code in bits 0-6 and the NULL flag in bit 7.
//  2. A cell holds a binary pool block only while its type is NET_BINARY and its length is in
//     (kBinaryBlockSize / 2, kBinaryBlockSize]; releasing the payload (every setter, SetNull,
//     RemoveAt, Clear) gives the block back and zeroes the pointer. Other binaries are kept in
//     the cell's text, so no binary holds more than twice its length.
//  3. A NET_TABLE or NET_LIST cell with the owned flag set is the only owner of its object.
//  4. NET_POINTER and NET_HANDLE pointers are never owned.
//  5. A NetValueList never holds a NET_CSTRING value: that type exists for table columns only.
//  6. Index out of range, a getter of the wrong type and an unencodable type in a list that is
//     encoded are contract violations: they fire the fatal internal error (unit "netdat").
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

#include "foundation/cstring.h"
#include "runtime/memobj.h"
#include "values/wirecodec.h"

class NetTable;

// Binary values of more than half this many bytes, up to this many, live in a pooled block of
// exactly this size (the read path's answers); shorter and longer ones in the cell's text.
constexpr int kBinaryBlockSize = 0x10000;

// Tables inside values nest at most this deep when they are decoded.
constexpr int kMaxImageDepth = 32;

// What decoding the values of one packet may still allocate (cells, texts, binaries, tables
// with their rows and columns) and how deep tables may still nest. Decoding charges every
// object before it makes it; what the budget cannot pay for is not made (see the decoders).
struct DecodeLimits {
  int64_t storage_left;
  int depth_left;
  // Binaries refer into the decoded bytes instead of being copied (NetValueList::Decode).
  bool lend_binaries = false;
  // 1 MiB plus twice the packet's bytes, kMaxImageDepth levels.
  static DecodeLimits For(int64_t packet_length);
  // Takes `bytes` from the budget → true, or false (nothing taken) when it would run out.
  bool Charge(int64_t bytes);
};

struct NetValueCell;

// The 0-based list of typed value cells in which arguments and results travel.
class NetValueList : public BaseObject {
 public:
  NetValueList() = default;
  ~NetValueList() override;
  NetValueList(const NetValueList&) = delete;
  NetValueList& operator=(const NetValueList&) = delete;

  int Count() const { return count_; }
  int Type(int i) const;    // without the NULL flag
  int IsNull(int i) const;  // non-zero when the NULL flag is set
  // Appends n cells from the pool, each a NULL NET_BYTE → the new count.
  int Append(int n);
  // Releases the payload, stores `type` (a defined code other than NET_CSTRING) as NULL.
  void SetNull(int i, int type);

  int SetByte(int i, uint8_t value);
  int SetWord(int i, uint16_t value);
  int SetDword(int i, uint32_t value);
  int SetChar(int i, char value);
  int SetShort(int i, int16_t value);
  int SetLong(int i, int32_t value);
  int SetSuperLong(int i, int64_t value);
  int SetFloat(int i, float value);
  int SetDouble(int i, double value);
  int SetPointer(int i, void* value);
  int SetHandle(int i, void* value);
  int SetDateTime(int i, const DateTimeRecord& value);
  // `owned` non-zero: the cell deletes the object when its payload is released.
  int SetTable(int i, NetTable* table, int owned);
  int SetList(int i, NetValueList* list, int owned);
  // A null text is "". Length 0 copies up to the NUL; a positive length exactly that many
  // bytes, NUL bytes included.
  int SetString(int i, const char* text, int length = 0);
  int SetLString(int i, const char* text, int length = 0);
  // Negative length counts as 0. More than half of kBinaryBlockSize bytes, up to
  // kBinaryBlockSize, go into a pool block; shorter and longer values into the cell's text.
  int SetBinary(int i, const void* bytes, int length);
  // The cell refers to `length` bytes it does not copy: they must stay as they are while the
  // cell holds them. When its payload is released (the cell changes, is removed, the list is
  // cleared or goes), `give_back` (when not null) is called with `bytes`.
  using GiveBack = void (*)(const void* bytes);
  int LendBinary(int i, const void* bytes, int length, GiveBack give_back);
  // A stretch of a binary lent in pieces.
  struct Piece {
    const void* bytes = nullptr;
    int length = 0;
  };
  static constexpr int kMostPieces = 20;
  // The cell's binary is the `count` pieces one after another (1 ... kMostPieces, none of
  // negative length), lent like LendBinary's bytes: the array and the bytes stay as they are
  // while the cell holds them, and `give_back` (when not null) gets `token` (not null) as the
  // payload is released. Such a binary is for encoding only: GetBinary of it is a contract
  // violation.
  int LendPieces(int i, const Piece* pieces, int count, GiveBack give_back, const void* token);

  // Each getter requires the cell's type to be its own; it reads the slot even when NULL.
  uint8_t GetByte(int i) const;
  uint16_t GetWord(int i) const;
  uint32_t GetDword(int i) const;
  char GetChar(int i) const;
  int16_t GetShort(int i) const;
  int32_t GetLong(int i) const;
  int64_t GetSuperLong(int i) const;
  float GetFloat(int i) const;
  double GetDouble(int i) const;
  DateTimeRecord GetDateTime(int i) const;
  NetTable* GetTable(int i) const;
  NetValueList* GetList(int i) const;
  void* GetPointer(int i) const;  // NET_POINTER or NET_HANDLE
  // Valid until the cell changes; `length` (when given) gets the byte count.
  const char* GetString(int i, int* length = nullptr) const;
  const char* GetLString(int i, int* length = nullptr) const;
  const char* GetBinary(int i, int* length = nullptr) const;
  int IsOwned(int i) const;

  // Releases the payload, returns the cell to the pool, closes the gap → new count.
  // On an empty list it does nothing and gives 0.
  int RemoveAt(int i);
  void Clear();
  // The log form: "NET_LONG 7 ,NET_STRING a ".
  CString Print() const;

  // Appends every value as its tagged encoding. Types without a tag are a contract violation.
  // 1, or 0 when the buffer refused a write. With `lent`, the first binary of at least
  // LentBinary::kLeast bytes is not copied: `out` gets its tag and count, and *lent the place
  // (out's size after the count) where its bytes belong, and its pieces (one for a binary
  // not lent in pieces); the bytes stay the cell's.
  struct LentBinary {
    static constexpr int kLeast = 8192;
    int at = -1;  // -1: none was lent
    Piece pieces[kMostPieces];
    int count = 0;
    int length = 0;
  };
  int Encode(PackBuffer& out, LentBinary* lent = nullptr) const;
  // Clears the list, then decodes values from `bytes` until all `length` bytes are used (a
  // request's caller passes the bytes between the procedure reference and the trailer), a tag
  // with an unknown letter ends it (that tag's cell stays a NULL NET_BYTE) or `max_values`
  // values are decoded. A fixed-size payload cut short also leaves its cell a NULL NET_BYTE.
  // Within DecodeLimits::For(length): a value whose cell the budget cannot pay for ends the list
  // before it; a text or binary it cannot pay for ends it with a NULL NET_BYTE; a table it cannot
  // pay for leaves the cell a NULL NET_BYTE, or keeps the table's columns without rows (see
  // NetTable::Decode). → the number of values.
  // With `lend`, binaries are not copied: their cells refer into `bytes`, which must then
  // outlive the values (clear the list before the bytes go).
  int Decode(const void* bytes, int length, int max_values = INT_MAX, bool lend = false);

 private:
  NetValueCell& At(int i) const;
  NetValueCell& Typed(int i, int type) const;
  // Releases the payload of cell i and stores `type` (NULL flag included) → the cell.
  NetValueCell& Reset(int i, uint8_t type);
  template <class T>
  int SetScalar(int i, uint8_t type, const T& value);
  template <class T>
  T GetScalar(int i, uint8_t type) const;
  int SetText(int i, uint8_t type, const char* text, int length);
  int SetOwned(int i, uint8_t type, void* object, int owned);
  void ReleasePayload(NetValueCell& cell) const;

  NetValueCell** cells_ = nullptr;
  int count_ = 0;
  int capacity_ = 0;
};

// Free entries of the two pools, for diagnostics and tests.
struct NetValuePoolCounts {
  int cells[4];
  int blocks[2];
};
NetValuePoolCounts GetNetValuePoolCounts();
