// NetTable storage, accessors, sorting and search (the table image is tableimage.cc's).
//
// How each type of column lies in a row lives in one table, kColumnKinds; the accessors' type
// rules are masks of accepted types.
#include "values/nettable.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "runtime/dumpstack.h"

namespace {

constexpr char kUnit[] = "nettable";

constexpr uint64_t Bit(int type) {
  return uint64_t{1} << type;
}
constexpr uint64_t kAnyType = ~uint64_t{0};
constexpr uint64_t kIntegerTypes =
    Bit(NET_CHAR) | Bit(NET_SHORT) | Bit(NET_LONG) | Bit(NET_SUPERLONG);
constexpr uint64_t kTextTypes = Bit(NET_STRING) | Bit(NET_CSTRING);
constexpr uint64_t kComparableTypes =
    kIntegerTypes | kTextTypes | Bit(NET_FLOAT) | Bit(NET_DOUBLE) | Bit(NET_DATETIME);
constexpr uint64_t kWideIntegerAccess = Bit(NET_LONG) | Bit(NET_SUPERLONG) | Bit(NET_DOUBLE);

// Row capacity after growing `capacity` to hold `needed` rows: by the step while half the
// capacity is not above it, then by half the capacity but at most 1,000 rows a time.
int64_t GrownCapacity(int64_t capacity, int step, int64_t needed) {
  if (needed <= capacity) return capacity;
  if (capacity / 2 > step) {
    capacity += std::min<int64_t>(capacity / 2, 1000);
  } else {
    capacity += step;
  }
  if (capacity < needed) capacity = needed + 1;
  return capacity;
}

void CutName(const char* name, char* out) {
  size_t length = name != nullptr ? strnlen(name, 63) : 0;
  if (length > 0) std::memcpy(out, name, length);
  out[length] = '\0';
}

template <class T>
T* PointerIn(const unsigned char* cell) {
  T* pointer;
  std::memcpy(&pointer, cell + 1, sizeof pointer);
  return pointer;
}

template <class T>
void StorePointer(unsigned char* cell, T* pointer) {
  std::memcpy(cell + 1, &pointer, sizeof pointer);
}

// The object of a NET_TABLE or NET_CSTRING cell, made on first use.
template <class T, class... Args>
T* ObjectIn(unsigned char* cell, Args... args) {
  T* object = PointerIn<T>(cell);
  if (object == nullptr) {
    object = new T(args...);
    StorePointer(cell, object);
  }
  return object;
}

// Deletes an owned object of the cell and marks it NULL.
void ReleaseCell(int type, unsigned char* cell) {
  if (type == NET_TABLE) {
    NetTable* table = PointerIn<NetTable>(cell);
    StorePointer<NetTable>(cell, nullptr);
    delete table;
  } else if (type == NET_CSTRING) {
    CString* text = PointerIn<CString>(cell);
    StorePointer<CString>(cell, nullptr);
    delete text;
  }
  cell[0] = 1;
}

void MarkNull(const ColumnDef& def, int64_t from, int64_t count) {
  size_t step = static_cast<size_t>(def.width) + 1;
  unsigned char* first = def.data + static_cast<size_t>(from) * step;
  std::memset(first, 0, static_cast<size_t>(count) * step);
  for (int64_t k = 0; k < count; ++k) first[static_cast<size_t>(k) * step] = 1;
}

template <class T>
int64_t LoadAs(const unsigned char* value) {
  T number;
  std::memcpy(&number, value, sizeof number);
  return number;
}

template <class T>
void StoreAs(unsigned char* value, int64_t number) {
  auto narrow = static_cast<T>(number);
  std::memcpy(value, &narrow, sizeof narrow);
}

// Integer cells by their width (1, 2, 4 or 8 bytes), sign-extended on the way out and cut on
// the way in.
int64_t LoadSigned(const unsigned char* value, int width) {
  switch (width) {
    case 1:
      return LoadAs<int8_t>(value);
    case 2:
      return LoadAs<int16_t>(value);
    case 4:
      return LoadAs<int32_t>(value);
    default:
      return LoadAs<int64_t>(value);
  }
}

void StoreSigned(unsigned char* value, int width, int64_t number) {
  switch (width) {
    case 1:
      return StoreAs<int8_t>(value, number);
    case 2:
      return StoreAs<int16_t>(value, number);
    case 4:
      return StoreAs<int32_t>(value, number);
    default:
      return StoreAs<int64_t>(value, number);
  }
}

// Toward zero, saturated: converting a double outside int64 is undefined.
int64_t Truncate(double number) {
  if (std::isnan(number)) return 0;
  if (number >= 9.2233720368547758e18) return INT64_MAX;
  if (number <= -9.2233720368547758e18) return INT64_MIN;
  return static_cast<int64_t>(number);
}

int64_t LoadInteger(const ColumnDef& def, const unsigned char* value, int raw_bytes) {
  if ((Bit(def.type) & kIntegerTypes) != 0) return LoadSigned(value, def.width);
  if (def.type == NET_DOUBLE) {
    double number;
    std::memcpy(&number, value, sizeof number);
    return Truncate(number);
  }
  // Unchecked reads of other types see the first bytes of the value part.
  uint64_t bits = 0;
  std::memcpy(&bits, value, static_cast<size_t>(std::min(raw_bytes, def.width)));
  return static_cast<int64_t>(bits);
}

}  // namespace

namespace {

// How a column of each type lies in a row: the bytes of its value part, or of the fixed part
// that a declared size is added to.
struct ColumnKind {
  uint8_t type;
  int width;
  bool sized;  // width = declared size + width
};

constexpr int kPointerWidth = static_cast<int>(sizeof(void*));

constexpr ColumnKind kColumnKinds[] = {
    {NET_CHAR, 1, false},
    {NET_SHORT, 2, false},
    {NET_LONG, 4, false},
    {NET_FLOAT, 4, false},
    {NET_DOUBLE, 8, false},
    {NET_SUPERLONG, 8, false},
    {NET_STRING, 1, true},
    {NET_BINARY, 4, true},
    {NET_DATETIME, 10, false},
    {NET_TABLE, kPointerWidth, false},
    {NET_CSTRING, kPointerWidth, false},
};

const ColumnKind* KindOf(int type) {
  for (const ColumnKind& kind : kColumnKinds) {
    if (kind.type == type) return &kind;
  }
  return nullptr;
}

}  // namespace

// ---- Columns and rows ----------------------------------------------------------------------

NetTable::NetTable(int row_step, int column_capacity)
    : column_capacity_(column_capacity), row_step_(row_step) {}

NetTable::~NetTable() {
  Clear();
  Heap::Release(defs_);
}

const ColumnDef* NetTable::Column(int c) const {
  return c >= 1 && c <= column_count_ ? &defs_[c - 1] : nullptr;
}

unsigned char* NetTable::CellOf(int r, int c) const {
  const ColumnDef* def = Column(c);
  if (def == nullptr || r < 1 || r > row_count_) return nullptr;
  return def->data + static_cast<size_t>(r - 1) * (static_cast<size_t>(def->width) + 1);
}

unsigned char* NetTable::Checked(int r, int c, uint64_t accepted) const {
  unsigned char* cell = CellOf(r, c);
  if (cell != nullptr) FATAL_CHECK((accepted & Bit(Column(c)->type)) != 0);
  return cell;
}

int NetTable::AddColumn(const char* name, int type, int size) {
  const ColumnKind* kind = KindOf(type);
  if (kind == nullptr) return 0;
  if (kind->sized && (size < 0 || size > kMaxColumnSize)) return 0;
  int limit = std::min(column_capacity_, kMaxColumns);
  if (column_count_ >= limit) {
    std::fputs(" max col exceed!\n", stdout);
    return 0;
  }
  if (column_count_ == defs_allocated_) {
    int grown = GrownDefinitions();
    defs_ = static_cast<ColumnDef*>(
        Heap::Reallocate(defs_, static_cast<size_t>(grown) * sizeof(ColumnDef)));
    defs_allocated_ = grown;
  }
  ColumnDef& def = defs_[column_count_];
  def = ColumnDef{};
  CutName(name, def.name);
  def.size = kind->sized ? size : 0;
  def.width = kind->sized ? size + kind->width : kind->width;
  def.type = type;
  if (column_count_ > 0) {
    const ColumnDef& previous = defs_[column_count_ - 1];
    def.row_offset = previous.row_offset + previous.width + 1;
  }
  def.ascending = 1;
  if (row_capacity_ > 0) {
    def.data = static_cast<unsigned char*>(
        Heap::Allocate(static_cast<size_t>(row_capacity_) * (static_cast<size_t>(def.width) + 1)));
    MarkNull(def, 0, row_capacity_);
  }
  ++column_count_;
  name_index_[0] = 0;
  return 1;
}

int64_t NetTable::GrownRowCapacity(int64_t rows) const {
  return GrownCapacity(0, row_step_, rows);
}

// Definitions are allocated as columns come, never beyond the capacity.
int NetTable::GrownDefinitions() const {
  return std::min(std::min(column_capacity_, kMaxColumns), std::max(8, defs_allocated_ * 2));
}

const char* NetTable::ColumnName(int c) const {
  const ColumnDef* def = Column(c);
  return def != nullptr ? def->name : "";
}

int NetTable::ColumnType(int c) const {
  const ColumnDef* def = Column(c);
  return def != nullptr ? def->type : 0;
}

int NetTable::ColumnSize(int c) const {
  const ColumnDef* def = Column(c);
  return def != nullptr ? def->size : 0;
}

void NetTable::BuildNameIndex() const {
  int n = column_count_;
  for (int i = 0; i < n; ++i) name_index_[i] = static_cast<uint8_t>(i + 1);
  for (int i = 0; i < n; ++i) {
    for (int j = i + 1; j < n; ++j) {
      if (std::strcmp(defs_[name_index_[i] - 1].name, defs_[name_index_[j] - 1].name) > 0) {
        std::swap(name_index_[i], name_index_[j]);
      }
    }
  }
}

int NetTable::FindColumn(const char* name) const {
  if (name == nullptr || column_count_ == 0) return -1;
  char key[64];
  CutName(name, key);
  if (name_index_[0] == 0) BuildNameIndex();
  int lo = 0;
  int hi = column_count_ - 1;
  while (lo <= hi) {
    int mid = lo + (hi - lo) / 2;
    int order = std::strcmp(key, defs_[name_index_[mid] - 1].name);
    if (order == 0) return name_index_[mid];
    if (order < 0) {
      hi = mid - 1;
    } else {
      lo = mid + 1;
    }
  }
  return -1;
}

int64_t NetTable::RowBytes() const {
  int64_t bytes = 0;
  for (int c = 0; c < column_count_; ++c) bytes += defs_[c].width + 1;
  return bytes;
}

void NetTable::ReserveRows(int rows) {
  if (rows <= row_capacity_) return;
  auto capacity = static_cast<int>(GrownCapacity(row_capacity_, row_step_, rows));
  for (int c = 0; c < column_count_; ++c) {
    ColumnDef& def = defs_[c];
    def.data = static_cast<unsigned char*>(Heap::Reallocate(
        def.data, static_cast<size_t>(capacity) * (static_cast<size_t>(def.width) + 1)));
  }
  row_capacity_ = capacity;
}

int NetTable::InsertRows(int at, int n) {
  if (n <= 0) return row_count_;
  FATAL_CHECK(n <= kMaxTableRows - row_count_);
  at = std::clamp(at, 1, row_count_ + 1);
  ReserveRows(row_count_ + n);
  for (int c = 0; c < column_count_; ++c) {
    const ColumnDef& def = defs_[c];
    size_t step = static_cast<size_t>(def.width) + 1;
    unsigned char* from = def.data + static_cast<size_t>(at - 1) * step;
    std::memmove(from + static_cast<size_t>(n) * step, from,
                 static_cast<size_t>(row_count_ - at + 1) * step);
    MarkNull(def, at - 1, n);
  }
  row_count_ += n;
  return row_count_;
}

int NetTable::AppendRow() {
  return InsertRows(row_count_ + 1, 1);
}

int NetTable::DeleteRow(int r) {
  FATAL_CHECK(r >= 1 && r <= row_count_);
  for (int c = 1; c <= column_count_; ++c) {
    const ColumnDef& def = defs_[c - 1];
    unsigned char* cell = CellOf(r, c);
    ReleaseCell(def.type, cell);
    size_t step = static_cast<size_t>(def.width) + 1;
    std::memmove(cell, cell + step, static_cast<size_t>(row_count_ - r) * step);
  }
  return --row_count_;
}

void NetTable::Clear() {
  for (int c = 1; c <= column_count_; ++c) {
    const ColumnDef& def = defs_[c - 1];
    if (def.type == NET_TABLE || def.type == NET_CSTRING) {
      for (int r = 1; r <= row_count_; ++r) ReleaseCell(def.type, CellOf(r, c));
    }
    Heap::Release(def.data);
  }
  column_count_ = row_count_ = row_capacity_ = sort_key_count_ = 0;
  name_index_[0] = 0;
}

void NetTable::SwapContents(NetTable& other) {
  std::swap(defs_, other.defs_);
  std::swap(defs_allocated_, other.defs_allocated_);
  std::swap(column_capacity_, other.column_capacity_);
  std::swap(column_count_, other.column_count_);
  std::swap(row_count_, other.row_count_);
  std::swap(row_capacity_, other.row_capacity_);
  std::swap(row_step_, other.row_step_);
  std::swap(name_index_, other.name_index_);
  std::swap(case_insensitive_, other.case_insensitive_);
  std::swap(sort_keys_, other.sort_keys_);
  std::swap(sort_key_count_, other.sort_key_count_);
}

// ---- Cells ---------------------------------------------------------------------------------

int NetTable::IsNull(int r, int c) const {
  const unsigned char* cell = CellOf(r, c);
  return cell == nullptr || cell[0] != 0 ? 1 : 0;
}

int NetTable::SetNull(int r, int c) {
  unsigned char* cell = CellOf(r, c);
  if (cell == nullptr) return 0;
  ReleaseCell(Column(c)->type, cell);
  return 1;
}

int64_t NetTable::IntegerAt(int r, int c, uint64_t accepted, int raw_bytes) const {
  const unsigned char* cell = Checked(r, c, accepted);
  if (cell == nullptr || cell[0] != 0) return 0;
  return LoadInteger(*Column(c), cell + 1, raw_bytes);
}

int NetTable::StoreInteger(int r, int c, int64_t value, uint64_t accepted) {
  unsigned char* cell = Checked(r, c, accepted);
  if (cell == nullptr) return 0;
  const ColumnDef& def = *Column(c);
  if ((Bit(def.type) & kIntegerTypes) == 0) return 0;  // SetLong on another type: nothing
  StoreSigned(cell + 1, def.width, value);
  cell[0] = 0;
  return 1;
}

template <class T>
T NetTable::PlainAt(int r, int c, int type) const {
  const unsigned char* cell = Checked(r, c, Bit(type));
  T value{};
  if (cell != nullptr && cell[0] == 0) std::memcpy(&value, cell + 1, sizeof value);
  return value;
}

template <class T>
int NetTable::SetPlain(int r, int c, int type, const T& value) {
  unsigned char* cell = Checked(r, c, Bit(type));
  if (cell == nullptr) return 0;
  std::memcpy(cell + 1, &value, sizeof value);
  cell[0] = 0;
  return 1;
}

char NetTable::GetChar(int r, int c) const {
  return static_cast<char>(IntegerAt(r, c, kAnyType, 1));
}

int16_t NetTable::GetShort(int r, int c) const {
  return static_cast<int16_t>(IntegerAt(r, c, kAnyType, 2));
}

int32_t NetTable::GetLong(int r, int c) const {
  return static_cast<int32_t>(IntegerAt(r, c, kWideIntegerAccess, 0));
}

int64_t NetTable::GetSuperLong(int r, int c) const {
  return IntegerAt(r, c, kWideIntegerAccess, 0);
}

float NetTable::GetFloat(int r, int c) const {
  return PlainAt<float>(r, c, NET_FLOAT);
}
double NetTable::GetDouble(int r, int c) const {
  return PlainAt<double>(r, c, NET_DOUBLE);
}
DateTimeRecord NetTable::GetDateTime(int r, int c) const {
  return PlainAt<DateTimeRecord>(r, c, NET_DATETIME);
}
NetTable* NetTable::GetTable(int r, int c) const {
  return PlainAt<NetTable*>(r, c, NET_TABLE);
}
CString* NetTable::GetCString(int r, int c) const {
  return PlainAt<CString*>(r, c, NET_CSTRING);
}

const char* NetTable::GetString(int r, int c) const {
  const unsigned char* cell = Checked(r, c, kAnyType);
  if (cell == nullptr || cell[0] != 0) return "";
  int type = Column(c)->type;
  if (type == NET_STRING) return reinterpret_cast<const char*>(cell + 1);
  if (type == NET_CSTRING) return PointerIn<CString>(cell)->GetString();
  return "";  // other types: not text, and their bytes need not hold a NUL
}

const char* NetTable::GetBinary(int r, int c, int* length) const {
  const unsigned char* cell = Checked(r, c, Bit(NET_BINARY));
  int32_t stored = 0;
  if (cell != nullptr && cell[0] == 0) std::memcpy(&stored, cell + 1, sizeof stored);
  if (length != nullptr) *length = stored;
  return cell != nullptr && cell[0] == 0 ? reinterpret_cast<const char*>(cell + 5) : nullptr;
}

int NetTable::SetChar(int r, int c, char value) {
  return StoreInteger(r, c, value, Bit(NET_CHAR) | Bit(NET_SUPERLONG));
}

int NetTable::SetShort(int r, int c, int16_t value) {
  return StoreInteger(r, c, value, Bit(NET_SHORT) | Bit(NET_SUPERLONG));
}

int NetTable::SetLong(int r, int c, int32_t value) {
  return StoreInteger(r, c, value, kAnyType);
}

int NetTable::SetSuperLong(int r, int c, int64_t value) {
  return StoreInteger(r, c, value, Bit(NET_SUPERLONG) | Bit(NET_LONG));
}

int NetTable::SetFloat(int r, int c, float value) {
  return SetPlain(r, c, NET_FLOAT, value);
}
int NetTable::SetDouble(int r, int c, double value) {
  return SetPlain(r, c, NET_DOUBLE, value);
}
int NetTable::SetDateTime(int r, int c, const DateTimeRecord& value) {
  return SetPlain(r, c, NET_DATETIME, value);
}
int NetTable::SetDateTime(int r, int c, double day_number) {
  return SetDateTime(r, c, DayNumberToDateTime(day_number));
}

int NetTable::SetString(int r, int c, const char* text, int length) {
  unsigned char* cell = Checked(r, c, kTextTypes);
  if (cell == nullptr) return 0;
  if (text == nullptr) text = "";
  const ColumnDef& def = *Column(c);
  // The count includes the NUL: at most count - 1 characters, stopping at the text's NUL.
  int64_t count = length > 0 ? length : static_cast<int64_t>(std::strlen(text)) + 1;
  if (def.type == NET_STRING) count = std::min<int64_t>(count, def.width);
  size_t chars = strnlen(text, static_cast<size_t>(std::min<int64_t>(count - 1, INT_MAX)));
  if (def.type == NET_STRING) {
    std::memmove(cell + 1, text, chars);
    cell[1 + chars] = '\0';
  } else {
    ObjectIn<CString>(cell)->Assign(text, static_cast<int>(chars));
  }
  cell[0] = 0;
  return 1;
}

int NetTable::SetBinary(int r, int c, const void* bytes, int length) {
  unsigned char* cell = Checked(r, c, Bit(NET_BINARY));
  if (cell == nullptr) return 0;
  int32_t stored = std::clamp(length, 0, Column(c)->size);
  FATAL_CHECK(bytes != nullptr || stored == 0);
  std::memcpy(cell + 1, &stored, sizeof stored);
  if (stored > 0) std::memmove(cell + 5, bytes, static_cast<size_t>(stored));
  cell[0] = 0;
  return 1;
}

int NetTable::SetTable(int r, int c, const NetTable* table) {
  unsigned char* cell = Checked(r, c, Bit(NET_TABLE));
  if (cell == nullptr) return 0;
  NetTable* own = ObjectIn<NetTable>(cell, 100, 128);
  if (own != table) {
    // Copied aside first: `table` may live inside the cell's own table, which the copy
    // replaces. The old contents go with `copy`.
    NetTable copy(own->row_step_, own->column_capacity_);
    if (table != nullptr) table->CopyTo(copy);
    own->SwapContents(copy);
  }
  cell[0] = 0;
  return 1;
}

int NetTable::SetCString(int r, int c, const CString& value) {
  unsigned char* cell = Checked(r, c, Bit(NET_CSTRING));
  if (cell == nullptr) return 0;
  *ObjectIn<CString>(cell) = value;
  cell[0] = 0;
  return 1;
}

void NetTable::AdoptTable(int r, int c, NetTable* table) {
  unsigned char* cell = CellOf(r, c);
  ReleaseCell(NET_TABLE, cell);
  StorePointer(cell, table);
  cell[0] = 0;
}

// ---- Sorting and search --------------------------------------------------------------------

double NetTable::NumberAt(int r, int c) const {
  switch (Column(c)->type) {
    case NET_FLOAT:
      return GetFloat(r, c);
    case NET_DOUBLE:
      return GetDouble(r, c);
    default:
      return DateTimeToDayNumber(GetDateTime(r, c));
  }
}

int NetTable::CompareCells(int c, int a, int b) const {
  int type = Column(c)->type;
  if ((Bit(type) & kIntegerTypes) != 0) {
    int64_t x = IntegerAt(a, c, kAnyType, 0);
    int64_t y = IntegerAt(b, c, kAnyType, 0);
    return (x > y) - (x < y);
  }
  if ((Bit(type) & kTextTypes) != 0) {
    const char* x = GetString(a, c);
    const char* y = GetString(b, c);
    return case_insensitive_ != 0 ? StrICmp(x, y) : std::strcmp(x, y);
  }
  double x = NumberAt(a, c);
  double y = NumberAt(b, c);
  return (x > y) - (x < y);
}

int NetTable::Compare(int a, int b) const {
  for (int k = 0; k < sort_key_count_; ++k) {
    int c = sort_keys_[k];
    int order = CompareCells(c, a, b);
    if (defs_[c - 1].ascending == 0) order = -order;
    if (order != 0) return order;
  }
  return 0;
}

void NetTable::SwapRows(int a, int b) {
  // Raw exchange of whole cells: values, NULL flags and owned pointers move together.
  for (int c = 1; c <= column_count_; ++c) {
    unsigned char* x = CellOf(a, c);
    std::swap_ranges(x, x + defs_[c - 1].width + 1, CellOf(b, c));
  }
}

void NetTable::QuickSort(int lo, int hi) {
  // Each partition is the classic pivot-walking one; the smaller side recurses and the
  // larger one loops, so sorted input cannot exhaust a session thread's stack. The order in
  // which the two disjoint sides are sorted does not change the result.
  while (lo < hi) {
    int i = lo;
    int j = hi;
    while (i < j) {
      while (i < j && Compare(i, j) <= 0) --j;
      if (i < j) SwapRows(i++, j);
      while (i < j && Compare(i, j) <= 0) ++i;
      if (i < j) SwapRows(i, j--);
    }
    if (j - 1 - lo < hi - i - 1) {
      if (lo < j - 1) QuickSort(lo, j - 1);
      lo = i + 1;
    } else {
      if (i + 1 < hi) QuickSort(i + 1, hi);
      hi = j - 1;
    }
  }
}

int NetTable::SortByColumn(int c, int ascending) {
  const ColumnDef* def = Column(c);
  if (def == nullptr) return 0;
  FATAL_CHECK((Bit(def->type) & kComparableTypes) != 0);
  sort_keys_[0] = static_cast<uint8_t>(c);
  sort_key_count_ = 1;
  defs_[c - 1].ascending = ascending != 0 ? 1 : 0;
  if (row_count_ > 1) QuickSort(1, row_count_);
  return 1;
}

int NetTable::Search(int c, int64_t key, int from, int to, int* insert_at) const {
  bool ascending = defs_[c - 1].ascending != 0;
  int lo = from;
  int hi = to;
  while (lo <= hi) {
    int mid = lo + (hi - lo) / 2;
    int64_t value = IntegerAt(mid, c, kAnyType, 0);
    if (value == key) return mid;
    if (ascending ? value < key : value > key) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  *insert_at = lo;
  return -1;
}

int NetTable::FindSorted(int c, int64_t key, int insert, int mode, int from, int to) const {
  FATAL_CHECK(std::find(sort_keys_, sort_keys_ + sort_key_count_, c) !=
              sort_keys_ + sort_key_count_);
  FATAL_CHECK(mode >= 0 && mode <= 2);
  int type = defs_[c - 1].type;
  if (type != NET_LONG && type != NET_SUPERLONG) return -1;
  if (to == -1 || to > row_count_) to = row_count_;
  if (from < 1) from = 1;
  int insert_at = from;
  int found = Search(c, key, from, to, &insert_at);
  if (found < 0) return insert != 0 ? insert_at : -1;
  // Search again on the near side while the neighbour holds the key too.
  while (mode == 0 && found > from && IntegerAt(found - 1, c, kAnyType, 0) == key) {
    int again = Search(c, key, from, found - 1, &insert_at);
    if (again < 0) break;  // rows changed since the sort
    found = again;
  }
  while (mode == 1 && found < to && IntegerAt(found + 1, c, kAnyType, 0) == key) {
    int again = Search(c, key, found + 1, to, &insert_at);
    if (again < 0) break;
    found = again;
  }
  return found;
}

// ---- Copy ----------------------------------------------------------------------------------

void NetTable::CopyTo(NetTable& target) const {
  if (&target == this) return;
  target.Clear();
  for (int c = 0; c < column_count_; ++c) {
    target.AddColumn(defs_[c].name, defs_[c].type, defs_[c].size);
  }
  target.InsertRows(1, row_count_);
  int columns = std::min(column_count_, target.column_count_);
  for (int c = 1; c <= columns; ++c) {
    const ColumnDef& def = defs_[c - 1];
    if (def.type != NET_TABLE && def.type != NET_CSTRING) {
      if (row_count_ == 0) continue;  // no buffer yet
      // Fixed-width cells hold no pointers: the whole column at once.
      std::memcpy(target.defs_[c - 1].data, def.data,
                  static_cast<size_t>(row_count_) * (static_cast<size_t>(def.width) + 1));
      continue;
    }
    for (int r = 1; r <= row_count_; ++r) {
      if (IsNull(r, c) != 0) continue;
      if (def.type == NET_TABLE) {
        target.SetTable(r, c, GetTable(r, c));
      } else {
        target.SetCString(r, c, *GetCString(r, c));
      }
    }
  }
}
