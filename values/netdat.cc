// Value cells and their pools, NetValueList, PackBuffer and the value encoding.
//
// Per-type behaviour (log form, encoding) lives in one table, kTypeFacts; decoding in
// kTypeRules, reached through the tag letters of values/wirecodec.h. Adding a type means adding a
// row, not a case to several switches.
#include "values/netdat.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/datetime.h"
#include "runtime/dumpstack.h"
#include "runtime/mt.h"
#include "values/nettable.h"

namespace {

constexpr char kUnit[] = "netdat";

constexpr int kCellStripes = 4;
constexpr int kCellsKept = 100;
constexpr int kBlockStripes = 2;
constexpr int kBlocksKept = 20;

// Decoding may allocate this much for any packet, plus so much per byte of it: room for every
// argument list and for tables that fixed-width columns make a few times larger than their
// image, far from what a lying count or a stream of one-byte values could ask for.
constexpr int64_t kDecodeStorageBase = int64_t{1} << 20;
constexpr int64_t kDecodeStoragePerByte = 2;
// What the heap adds to every block it hands out, charged with each.
constexpr int64_t kHeapBlockOverhead = 16;

}  // namespace

struct NetValueCell {
  uint8_t type = NET_BYTE | NET_NULL;
  // Scalars, the DateTimeRecord, the table/list/raw pointer, or the binary pool block.
  unsigned char slot[10] = {};
  int32_t owned = 0;
  int32_t binary_length = 0;  // bytes in the pool block or lent
  // A lent binary: the slot points at bytes the cell does not own, given back through this
  // (when not null) as the payload is released.
  bool lent = false;
  NetValueList::GiveBack give_back = nullptr;
  // A binary lent in pieces: the lender's array (the slot then holds its token).
  const NetValueList::Piece* pieces = nullptr;
  int32_t piece_count = 0;
  CString text;  // NET_STRING, NET_LSTRING, a NET_BINARY longer than a block
};

namespace {

template <class T>
T Load(const NetValueCell& cell) {
  static_assert(sizeof(T) <= sizeof cell.slot);
  T value;
  std::memcpy(&value, cell.slot, sizeof value);
  return value;
}

template <class T>
void Store(NetValueCell& cell, const T& value) {
  static_assert(sizeof(T) <= sizeof cell.slot);
  std::memcpy(cell.slot, &value, sizeof value);
}

// ---- Pools ---------------------------------------------------------------------------------

// Bounded stacks of free objects, striped so that lists on different threads rarely meet on
// one lock. Only pointers move under the lock; objects are made and destroyed outside it.
template <int kStripes, int kKeep>
class FreeLists {
 public:
  void* Pop(int stripe) {
    Stripe& s = stripes_[stripe];
    ScopedLock lock(s.lock, kUnit, __LINE__);
    return s.count > 0 ? s.items[--s.count] : nullptr;
  }
  // False when the stripe is full: the caller destroys the item.
  bool Push(int stripe, void* item) {
    Stripe& s = stripes_[stripe];
    ScopedLock lock(s.lock, kUnit, __LINE__);
    if (s.count == kKeep) return false;
    s.items[s.count++] = item;
    return true;
  }
  int Count(int stripe) {
    Stripe& s = stripes_[stripe];
    ScopedLock lock(s.lock, kUnit, __LINE__);
    return s.count;
  }

 private:
  struct Stripe {
    CCriticalSection lock;
    void* items[kKeep] = {};
    int count = 0;
  };
  Stripe stripes_[kStripes];
};

// The pools live for the whole process and are never destroyed, so that lists destroyed
// during exit can still return their cells.
FreeLists<kCellStripes, kCellsKept>& CellPool() {
  static auto* pool = new FreeLists<kCellStripes, kCellsKept>();
  return *pool;
}

FreeLists<kBlockStripes, kBlocksKept>& BlockPool() {
  static auto* pool = new FreeLists<kBlockStripes, kBlocksKept>();
  return *pool;
}

// Objects are at least 8-aligned, so the low address bits are always 0: the stripe comes
// from the bits above them, or every list would share stripe 0.
int StripeOf(const void* owner, int stripes) {
  return static_cast<int>((reinterpret_cast<uintptr_t>(owner) >> 4) % stripes);
}

// Cells live in Heap memory like every other buffer of the values, so that one allocation
// counter sees them all.
NetValueCell* TakeCell(const void* owner) {
  void* cell = CellPool().Pop(StripeOf(owner, kCellStripes));
  if (cell != nullptr) return static_cast<NetValueCell*>(cell);
  return new (Heap::Allocate(sizeof(NetValueCell))) NetValueCell();
}

void DestroyCell(NetValueCell* cell) {
  cell->~NetValueCell();
  Heap::Release(cell);
}

// The payload must already be released.
void GiveCell(const void* owner, NetValueCell* cell) {
  cell->type = NET_BYTE | NET_NULL;
  std::memset(cell->slot, 0, sizeof cell->slot);
  cell->owned = 0;
  cell->binary_length = 0;
  // A pooled cell keeps its text's storage for the next string, unless it is large.
  if (cell->text.GetLength() > kBinaryBlockSize) {
    cell->text = CString();
  } else {
    cell->text.Empty();
  }
  if (!CellPool().Push(StripeOf(owner, kCellStripes), cell)) DestroyCell(cell);
}

void* TakeBlock(const void* owner) {
  void* block = BlockPool().Pop(StripeOf(owner, kBlockStripes));
  return block != nullptr ? block : Heap::Allocate(kBinaryBlockSize);
}

void GiveBlock(const void* owner, void* block) {
  if (!BlockPool().Push(StripeOf(owner, kBlockStripes), block)) Heap::Release(block);
}

}  // namespace

// ---- Decode limits -------------------------------------------------------------------------

DecodeLimits DecodeLimits::For(int64_t packet_length) {
  int64_t length = packet_length > 0 ? packet_length : 0;
  return {kDecodeStorageBase + kDecodeStoragePerByte * length, kMaxImageDepth};
}

bool DecodeLimits::Charge(int64_t bytes) {
  int64_t charged = bytes + kHeapBlockOverhead;
  if (charged > storage_left) return false;
  storage_left -= charged;
  return true;
}

// ---- Per-type facts ------------------------------------------------------------------------

namespace {

using PrintFn = void (*)(CString& out, const NetValueCell& cell);
using PutFn = int (*)(PackBuffer& out, const NetValueList& list, int i, int is_null);

int BinaryLength(const NetValueCell& cell) {
  return Load<void*>(cell) != nullptr ? cell.binary_length : cell.text.GetLength();
}

CString DateText(const DateTimeRecord& value) {
  platform::LocalTime time;
  time.year = value.year;
  time.month = value.month;
  time.day = value.day;
  return DateTimeText("YYYY-MM-DD", time);
}

// Log forms: as the server always wrote them; for the types that had none, NET_LSTRING shows
// its size like a binary (it may hold any bytes), NET_HANDLE is shown like NET_POINTER and
// NET_LIST like NET_TABLE, without content. A NULL element prints "<type name> NULL " rather
// than whatever stale value its slot still holds. NET_CSTRING never occurs in a list.
struct TypeFacts {
  uint8_t type;
  const char* name;
  PrintFn print;
  PutFn put;  // null: the type cannot be encoded
};

const TypeFacts kTypeFacts[] = {
    {NET_BYTE, "NET_BYTE",
     [](CString& o, const NetValueCell& c) { o.AppendFormat("NET_BYTE %d ", Load<uint8_t>(c)); },
     nullptr},
    {NET_WORD, "NET_WORD",
     [](CString& o, const NetValueCell& c) { o.AppendFormat("NET_WORD %d ", Load<uint16_t>(c)); },
     nullptr},
    {NET_DWORD, "NET_DWORD",
     [](CString& o, const NetValueCell& c) {
       o.AppendFormat("NET_DWORD %d ", static_cast<int>(Load<uint32_t>(c)));
     },
     nullptr},
    {NET_CHAR, "NET_CHAR",
     [](CString& o, const NetValueCell& c) {
       // A NUL character would cut the log line: it prints as nothing.
       char ch = Load<char>(c);
       o += "NET_CHAR ";
       if (ch != '\0') o += ch;
       o += " ";
     },
     nullptr},
    {NET_SHORT, "NET_SHORT",
     [](CString& o, const NetValueCell& c) { o.AppendFormat("NET_SHORT %d ", Load<int16_t>(c)); },
     nullptr},
    {NET_LONG, "NET_LONG",
     [](CString& o, const NetValueCell& c) { o.AppendFormat("NET_LONG %d ", Load<int32_t>(c)); },
     [](PackBuffer& out, const NetValueList& l, int i, int n) {
       return PutLong(out, l.GetLong(i), n);
     }},
    {NET_FLOAT, "NET_FLOAT",
     [](CString& o, const NetValueCell& c) {
       o.AppendFormat("NET_FLOAT %f ", static_cast<double>(Load<float>(c)));
     },
     [](PackBuffer& out, const NetValueList& l, int i, int n) {
       return PutFloat(out, l.GetFloat(i), n);
     }},
    {NET_DOUBLE, "NET_DOUBLE",
     [](CString& o, const NetValueCell& c) { o.AppendFormat("NET_DOUBLE %f ", Load<double>(c)); },
     [](PackBuffer& out, const NetValueList& l, int i, int n) {
       return PutDouble(out, l.GetDouble(i), n);
     }},
    {NET_STRING, "NET_STRING",
     [](CString& o, const NetValueCell& c) {
       o.AppendFormat("NET_STRING %s ", c.text.GetString());
     },
     [](PackBuffer& out, const NetValueList& l, int i, int n) {
       return PutString(out, l.GetString(i), n);
     }},
    {NET_BINARY, "NET_BINARY",
     [](CString& o, const NetValueCell& c) {
       o.AppendFormat("NET_BINARY(SIZE:%d) ", BinaryLength(c));
     },
     [](PackBuffer& out, const NetValueList& l, int i, int n) {
       int length;
       const char* bytes = l.GetBinary(i, &length);
       return PutBinary(out, bytes, length, n);
     }},
    {NET_POINTER, "NET_POINTER", [](CString& o, const NetValueCell&) { o += "NET_POINTER  "; },
     nullptr},
    {NET_DATETIME, "NET_DATETIME",
     [](CString& o, const NetValueCell& c) {
       o.AppendFormat("NET_DATETIME %s", DateText(Load<DateTimeRecord>(c)).GetString());
     },
     [](PackBuffer& out, const NetValueList& l, int i, int n) {
       return PutDateTime(out, l.GetDateTime(i), n);
     }},
    {NET_TABLE, "NET_TABLE", [](CString& o, const NetValueCell&) { o += "NET_TABLE "; },
     [](PackBuffer& out, const NetValueList& l, int i, int n) {
       return PutTable(out, l.GetTable(i), n);
     }},
    {NET_HANDLE, "NET_HANDLE", [](CString& o, const NetValueCell&) { o += "NET_HANDLE  "; },
     nullptr},
    {NET_LIST, "NET_LIST", [](CString& o, const NetValueCell&) { o += "NET_LIST "; }, nullptr},
    {NET_SUPERLONG, "NET_SUPERLONG",
     [](CString& o, const NetValueCell& c) {
       o.AppendFormat("NET_SUPERLONG %lld ", static_cast<long long>(Load<int64_t>(c)));
     },
     [](PackBuffer& out, const NetValueList& l, int i, int n) {
       return PutSuperLong(out, l.GetSuperLong(i), n);
     }},
    {NET_LSTRING, "NET_LSTRING",
     [](CString& o, const NetValueCell& c) {
       o.AppendFormat("NET_LSTRING(SIZE:%d) ", c.text.GetLength());
     },
     [](PackBuffer& out, const NetValueList& l, int i, int n) {
       int length;
       const char* text = l.GetLString(i, &length);
       return PutLString(out, text, length, n);
     }},
};

const TypeFacts* FactsOf(int type) {
  for (const TypeFacts& facts : kTypeFacts) {
    if (facts.type == type) return &facts;
  }
  return nullptr;
}

// ---- Decoding ------------------------------------------------------------------------------

// A pool block only for a binary that fills more than half of one: a tiny binary never holds
// 64 KiB, and the read path's answers (up to a block) still come from the pool.
bool InBlock(int length) {
  return length > kBinaryBlockSize / 2 && length <= kBinaryBlockSize;
}

// A cell and its share of the list's pointer array, which doubles as it grows.
constexpr int64_t kCellCharge = sizeof(NetValueCell) + 2 * sizeof(NetValueCell*);

bool ChargeText(DecodeLimits& limits, int length) {
  return limits.Charge(int64_t{length} + 1);
}

bool ChargeBinary(DecodeLimits& limits, int length) {
  return InBlock(length) ? limits.Charge(kBinaryBlockSize) : ChargeText(limits, length);
}

// Reads the payload after the tag into cell i → false when the payload was cut so short that
// there is no value, or when the budget cannot pay for it: the cell stays as appended and
// decoding ends.
using ReadFn = bool (*)(NetValueList& list, int i, PackBuffer& in, DecodeLimits& limits);

struct TypeRule {
  uint8_t type;
  ReadFn read;
};

const TypeRule kTypeRules[] = {
    {NET_BINARY,
     [](NetValueList& l, int i, PackBuffer& in, DecodeLimits& limits) {
       const char* bytes;
       int length;
       if (ReadCounted(in, &bytes, &length) == 0) return false;
       if (limits.lend_binaries) return l.LendBinary(i, bytes, length, nullptr) != 0;
       return ChargeBinary(limits, length) && l.SetBinary(i, bytes, length) != 0;
     }},
    {NET_DOUBLE,
     [](NetValueList& l, int i, PackBuffer& in, DecodeLimits&) {
       double value;
       ReadDouble(in, &value);
       return l.SetDouble(i, value) != 0;
     }},
    {NET_FLOAT,
     [](NetValueList& l, int i, PackBuffer& in, DecodeLimits&) {
       float value;
       ReadFloat(in, &value);
       return l.SetFloat(i, value) != 0;
     }},
    {NET_LONG,
     [](NetValueList& l, int i, PackBuffer& in, DecodeLimits&) {
       int32_t value;
       return ReadLong(in, &value) != 0 && l.SetLong(i, value) != 0;
     }},
    {NET_SUPERLONG,
     [](NetValueList& l, int i, PackBuffer& in, DecodeLimits&) {
       int64_t value;
       return ReadSuperLong(in, &value) != 0 && l.SetSuperLong(i, value) != 0;
     }},
    {NET_TABLE,
     [](NetValueList& l, int i, PackBuffer& in, DecodeLimits& limits) {
       const char* bytes;
       int length;
       if (ReadCounted(in, &bytes, &length) == 0) return false;
       // An empty image leaves the cell as appended; so does a spent budget.
       if (length == 0 || !limits.Charge(sizeof(NetTable))) return true;
       auto* table = new NetTable(100, 128);
       table->Decode(bytes, length, limits);
       return l.SetTable(i, table, 1) != 0;
     }},
    {NET_STRING,
     [](NetValueList& l, int i, PackBuffer& in, DecodeLimits& limits) {
       const char* text;
       int length;
       ReadString(in, &text, &length);
       return ChargeText(limits, length) && l.SetString(i, length > 0 ? text : "", length) != 0;
     }},
    {NET_DATETIME,
     [](NetValueList& l, int i, PackBuffer& in, DecodeLimits&) {
       DateTimeRecord value;
       return ReadDateTime(in, &value) != 0 && l.SetDateTime(i, value) != 0;
     }},
    {NET_LSTRING,
     [](NetValueList& l, int i, PackBuffer& in, DecodeLimits& limits) {
       const char* text;
       int length;
       return ReadCounted(in, &text, &length) != 0 && ChargeText(limits, length) &&
              l.SetLString(i, text, length) != 0;
     }},
};

const TypeRule* RuleOf(int letter) {
  int type = TypeOfTag(letter);
  for (const TypeRule& rule : kTypeRules) {
    if (rule.type == type) return &rule;
  }
  return nullptr;
}

}  // namespace

// ---- NetValueList --------------------------------------------------------------------------

NetValueList::~NetValueList() {
  Clear();
  Heap::Release(cells_);
}

NetValueCell& NetValueList::At(int i) const {
  FATAL_CHECK(i >= 0 && i < count_);
  return *cells_[i];
}

NetValueCell& NetValueList::Typed(int i, int type) const {
  NetValueCell& cell = At(i);
  FATAL_CHECK((cell.type & kNetTypeMask) == type);
  return cell;
}

void NetValueList::ReleasePayload(NetValueCell& cell) const {
  int type = cell.type & kNetTypeMask;
  void* held = Load<void*>(cell);
  if (type == NET_BINARY && held != nullptr) {
    Store<void*>(cell, nullptr);
    cell.binary_length = 0;
    if (!cell.lent) {
      GiveBlock(this, held);
    } else if (cell.give_back != nullptr) {
      cell.give_back(held);
    }
    cell.lent = false;
    cell.give_back = nullptr;
    cell.pieces = nullptr;
    cell.piece_count = 0;
  }
  if ((type == NET_TABLE || type == NET_LIST) && cell.owned != 0) {
    // Cleared before the delete, so that nothing can reach a dead object through the cell.
    Store<void*>(cell, nullptr);
    cell.owned = 0;
    if (type == NET_TABLE) {
      delete static_cast<NetTable*>(held);
    } else {
      delete static_cast<NetValueList*>(held);
    }
  }
}

NetValueCell& NetValueList::Reset(int i, uint8_t type) {
  NetValueCell& cell = At(i);
  ReleasePayload(cell);
  cell.type = type;
  return cell;
}

template <class T>
int NetValueList::SetScalar(int i, uint8_t type, const T& value) {
  Store(Reset(i, type), value);
  return 1;
}

template <class T>
T NetValueList::GetScalar(int i, uint8_t type) const {
  return Load<T>(Typed(i, type));
}

int NetValueList::Type(int i) const {
  return At(i).type & kNetTypeMask;
}

int NetValueList::IsNull(int i) const {
  return (At(i).type & NET_NULL) != 0 ? 1 : 0;
}

int NetValueList::Append(int n) {
  if (n <= 0) return count_;
  FATAL_CHECK(n <= INT_MAX / 2 - count_);
  if (count_ + n > capacity_) {
    int grown = capacity_ * 2 > count_ + n ? capacity_ * 2 : count_ + n;
    if (grown < 8) grown = 8;
    cells_ = static_cast<NetValueCell**>(
        Heap::Reallocate(cells_, static_cast<size_t>(grown) * sizeof(NetValueCell*)));
    capacity_ = grown;
  }
  for (int k = 0; k < n; ++k) cells_[count_++] = TakeCell(this);
  return count_;
}

void NetValueList::SetNull(int i, int type) {
  FATAL_CHECK(FactsOf(type) != nullptr);
  Reset(i, static_cast<uint8_t>(type | NET_NULL));
}

int NetValueList::SetByte(int i, uint8_t value) {
  return SetScalar(i, NET_BYTE, value);
}
int NetValueList::SetWord(int i, uint16_t value) {
  return SetScalar(i, NET_WORD, value);
}
int NetValueList::SetDword(int i, uint32_t value) {
  return SetScalar(i, NET_DWORD, value);
}
int NetValueList::SetChar(int i, char value) {
  return SetScalar(i, NET_CHAR, value);
}
int NetValueList::SetShort(int i, int16_t value) {
  return SetScalar(i, NET_SHORT, value);
}
int NetValueList::SetLong(int i, int32_t value) {
  return SetScalar(i, NET_LONG, value);
}
int NetValueList::SetSuperLong(int i, int64_t value) {
  return SetScalar(i, NET_SUPERLONG, value);
}
int NetValueList::SetFloat(int i, float value) {
  return SetScalar(i, NET_FLOAT, value);
}
int NetValueList::SetDouble(int i, double value) {
  return SetScalar(i, NET_DOUBLE, value);
}
int NetValueList::SetPointer(int i, void* value) {
  return SetScalar(i, NET_POINTER, value);
}
int NetValueList::SetHandle(int i, void* value) {
  return SetScalar(i, NET_HANDLE, value);
}
int NetValueList::SetDateTime(int i, const DateTimeRecord& value) {
  return SetScalar(i, NET_DATETIME, value);
}

int NetValueList::SetOwned(int i, uint8_t type, void* object, int owned) {
  NetValueCell& cell = At(i);
  // Setting the object the cell already holds must not delete it on the way.
  if ((cell.type & kNetTypeMask) == type && Load<void*>(cell) == object) cell.owned = 0;
  Reset(i, type);
  Store(cell, object);
  cell.owned = object != nullptr && owned != 0 ? 1 : 0;
  return 1;
}

int NetValueList::SetTable(int i, NetTable* table, int owned) {
  return SetOwned(i, NET_TABLE, table, owned);
}

int NetValueList::SetList(int i, NetValueList* list, int owned) {
  FATAL_CHECK(list != this);
  return SetOwned(i, NET_LIST, list, owned);
}

int NetValueList::SetText(int i, uint8_t type, const char* text, int length) {
  if (text == nullptr) text = "";
  if (length <= 0) length = static_cast<int>(std::strlen(text));
  // CString copies first when the text is a piece of itself.
  Reset(i, type).text.Assign(text, length);
  return 1;
}

int NetValueList::SetString(int i, const char* text, int length) {
  return SetText(i, NET_STRING, text, length);
}

int NetValueList::SetLString(int i, const char* text, int length) {
  return SetText(i, NET_LSTRING, text, length);
}

int NetValueList::SetBinary(int i, const void* bytes, int length) {
  if (length < 0) length = 0;
  FATAL_CHECK(bytes != nullptr || length == 0);
  At(i);
  // The new block is filled before the old payload is released: `bytes` may lie in it.
  void* block = nullptr;
  if (InBlock(length)) {
    block = TakeBlock(this);
    if (length > 0) std::memcpy(block, bytes, static_cast<size_t>(length));
  }
  NetValueCell& cell = Reset(i, NET_BINARY);
  if (block != nullptr) {
    Store(cell, block);
    cell.binary_length = length;
  } else {
    cell.text.Assign(static_cast<const char*>(bytes), length);
  }
  return 1;
}

int NetValueList::LendBinary(int i, const void* bytes, int length, GiveBack give_back) {
  if (length < 0) length = 0;
  FATAL_CHECK(bytes != nullptr);
  NetValueCell& cell = Reset(i, NET_BINARY);
  Store(cell, bytes);
  cell.binary_length = length;
  cell.lent = true;
  cell.give_back = give_back;
  return 1;
}

int NetValueList::LendPieces(int i, const Piece* pieces, int count, GiveBack give_back,
                             const void* token) {
  FATAL_CHECK(pieces != nullptr && count >= 1 && count <= kMostPieces);
  int64_t length = 0;
  for (int k = 0; k < count; ++k) {
    FATAL_CHECK(pieces[k].length >= 0 && (pieces[k].bytes != nullptr || pieces[k].length == 0));
    length += pieces[k].length;
  }
  FATAL_CHECK(length <= INT_MAX);
  LendBinary(i, token, static_cast<int>(length), give_back);
  NetValueCell& cell = At(i);
  cell.pieces = pieces;
  cell.piece_count = count;
  return 1;
}

uint8_t NetValueList::GetByte(int i) const {
  return GetScalar<uint8_t>(i, NET_BYTE);
}
uint16_t NetValueList::GetWord(int i) const {
  return GetScalar<uint16_t>(i, NET_WORD);
}
uint32_t NetValueList::GetDword(int i) const {
  return GetScalar<uint32_t>(i, NET_DWORD);
}
char NetValueList::GetChar(int i) const {
  return GetScalar<char>(i, NET_CHAR);
}
int16_t NetValueList::GetShort(int i) const {
  return GetScalar<int16_t>(i, NET_SHORT);
}
int32_t NetValueList::GetLong(int i) const {
  return GetScalar<int32_t>(i, NET_LONG);
}
int64_t NetValueList::GetSuperLong(int i) const {
  return GetScalar<int64_t>(i, NET_SUPERLONG);
}
float NetValueList::GetFloat(int i) const {
  return GetScalar<float>(i, NET_FLOAT);
}
double NetValueList::GetDouble(int i) const {
  return GetScalar<double>(i, NET_DOUBLE);
}
DateTimeRecord NetValueList::GetDateTime(int i) const {
  return GetScalar<DateTimeRecord>(i, NET_DATETIME);
}
NetTable* NetValueList::GetTable(int i) const {
  return GetScalar<NetTable*>(i, NET_TABLE);
}
NetValueList* NetValueList::GetList(int i) const {
  return GetScalar<NetValueList*>(i, NET_LIST);
}

void* NetValueList::GetPointer(int i) const {
  const NetValueCell& cell = At(i);
  int type = cell.type & kNetTypeMask;
  FATAL_CHECK(type == NET_POINTER || type == NET_HANDLE);
  return Load<void*>(cell);
}

const char* NetValueList::GetString(int i, int* length) const {
  const NetValueCell& cell = Typed(i, NET_STRING);
  if (length != nullptr) *length = cell.text.GetLength();
  return cell.text.GetString();
}

const char* NetValueList::GetLString(int i, int* length) const {
  const NetValueCell& cell = Typed(i, NET_LSTRING);
  if (length != nullptr) *length = cell.text.GetLength();
  return cell.text.GetString();
}

const char* NetValueList::GetBinary(int i, int* length) const {
  const NetValueCell& cell = Typed(i, NET_BINARY);
  FATAL_CHECK(cell.pieces == nullptr);  // lent in pieces: there is no one place to point at
  void* block = Load<void*>(cell);
  if (length != nullptr) *length = BinaryLength(cell);
  return block != nullptr ? static_cast<const char*>(block) : cell.text.GetString();
}

int NetValueList::IsOwned(int i) const {
  return At(i).owned;
}

int NetValueList::RemoveAt(int i) {
  if (count_ == 0) return 0;
  NetValueCell& cell = At(i);
  ReleasePayload(cell);
  GiveCell(this, &cell);
  std::memmove(cells_ + i, cells_ + i + 1, static_cast<size_t>(count_ - i - 1) * sizeof *cells_);
  return --count_;
}

void NetValueList::Clear() {
  // Cells leave the list one by one, so a payload that reaches back into this list (a nested
  // list holding it) finds a consistent count.
  while (count_ > 0) {
    NetValueCell* cell = cells_[--count_];
    ReleasePayload(*cell);
    GiveCell(this, cell);
  }
}

CString NetValueList::Print() const {
  CString out;
  for (int i = 0; i < count_; ++i) {
    if (i > 0) out += ",";
    const NetValueCell& cell = At(i);
    const TypeFacts* facts = FactsOf(cell.type & kNetTypeMask);
    if ((cell.type & NET_NULL) != 0) {
      out.AppendFormat("%s NULL ", facts->name);
    } else {
      facts->print(out, cell);
    }
  }
  return out;
}

namespace {

// A binary's bytes as pieces: its own, or one piece where they lie; how many.
int PiecesOf(const NetValueCell& cell, NetValueList::Piece* pieces) {
  if (cell.pieces == nullptr) {
    void* block = Load<void*>(cell);
    pieces[0] = {block != nullptr ? block : cell.text.GetString(), BinaryLength(cell)};
    return 1;
  }
  std::copy(cell.pieces, cell.pieces + cell.piece_count, pieces);
  return cell.piece_count;
}

}  // namespace

int NetValueList::Encode(PackBuffer& out, LentBinary* lent) const {
  for (int i = 0; i < count_; ++i) {
    const NetValueCell& cell = At(i);
    const TypeFacts* facts = FactsOf(cell.type & kNetTypeMask);
    // Only the types with a tag can travel; putting another into a sent list is a bug.
    FATAL_CHECK(facts->put != nullptr);
    bool binary = cell.type == NET_BINARY;  // not NULL
    if (binary && lent != nullptr && lent->at < 0 && BinaryLength(cell) >= LentBinary::kLeast) {
      lent->length = BinaryLength(cell);
      lent->count = PiecesOf(cell, lent->pieces);
      if (PutBinaryHead(out, lent->length) == 0) return 0;
      lent->at = out.Size();
      continue;
    }
    if (binary && cell.pieces != nullptr) {
      if (PutBinaryHead(out, BinaryLength(cell)) == 0) return 0;
      for (int k = 0; k < cell.piece_count; ++k) {
        const Piece& piece = cell.pieces[k];
        if (out.Write(piece.bytes, piece.length) != piece.length) return 0;
      }
      continue;
    }
    if (facts->put(out, *this, i, cell.type & NET_NULL) == 0) return 0;
  }
  return 1;
}

int NetValueList::Decode(const void* bytes, int length, int max_values, bool lend) {
  Clear();
  if (length < 0) length = 0;
  PackBuffer in;
  in.Wrap(bytes, length);
  DecodeLimits limits = DecodeLimits::For(length);
  limits.lend_binaries = lend;
  while (count_ < max_values && !in.AtEnd() && limits.Charge(kCellCharge)) {
    int tag = ReadTag(in);
    int i = Append(1) - 1;
    const TypeRule* rule = RuleOf(tag & kNetTypeMask);
    if (rule == nullptr) break;  // the NULL NET_BYTE stays; the argument check rejects it
    if ((tag & NET_NULL) != 0) {
      SetNull(i, rule->type);
    } else if (!rule->read(*this, i, in, limits)) {
      break;
    }
  }
  return count_;
}

NetValuePoolCounts GetNetValuePoolCounts() {
  NetValuePoolCounts counts{};
  for (int s = 0; s < kCellStripes; ++s) counts.cells[s] = CellPool().Count(s);
  for (int s = 0; s < kBlockStripes; ++s) counts.blocks[s] = BlockPool().Count(s);
  return counts;
}
