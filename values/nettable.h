// NetTable: rows x columns of fixed-width typed cells and its table image (the payload of an
// 'r' value). Date-times are compared and kept as day numbers (values/daynumber.h).
//
// A table has no lock: its owner serialises access. Rows and columns are 1-based.
//
// Invariants:
//  1. 0 <= column count <= min(column capacity, 127); 0 <= row count <= row capacity.
//  2. Every column buffer holds row capacity cells of (width + 1) bytes, column-major:
//     the cell of row r is at (r - 1) * (width + 1). Byte 0 is the NULL flag (1 NULL, 0 a
//     value), the value part follows. Cells beyond the row count are garbage.
//  3. A NET_TABLE cell's NetTable and a NET_CSTRING cell's CString are owned by the table;
//     a cell holding a value always has its object, a NULL cell never (pointer 0).
//  4. name_index_[0] == 0 means the name index is not built; otherwise it holds the column
//     numbers 1 .. count in ascending strcmp order of their names.
//  5. Every sort key is a column number of a comparable type (integer, float, double,
//     date-time, string, string object).
// A wrong-type accessor, a sort key that cannot be compared, FindSorted on a column that is
// not a sort key, DeleteRow out of range and encoding a NET_CHAR or NET_SHORT column are
// contract violations (fatal internal error, unit "nettable").
//
// Table image. All counts big-endian; cells use the value encoding of values/netdat.h.
//
// OFFSET SIZE DESCRIPTION
//      0    4 row count, unsigned
//      4    2 column count C, unsigned
//      6    * C column definitions, each: name and its NUL; tag, 1 byte ('i' 'l' 'f' 'd' 's'
//             'b' 't' 'r' 'v'); size, 4 bytes (the declared size for 's' and 'b', else 0)
//      *    * cells, row 1 first, within a row column 1 first: one tagged value each ('s'
//             for string-object columns), a NULL cell as its tag with bit 7 set; a table
//             cell is the nested table's image as a counted 'r' value
//
// Worked example: one NET_LONG column "a", one row holding 7:
//   00 00 00 01 | 00 01 | 61 00 69 00 00 00 00 | 69 00 00 00 07
//
// Decoding takes bytes from the network and is bounded by them:
//  - declared rows are capped at what the remaining bytes could hold (every cell takes at
//    least one byte: its tag; a row of a table without columns is charged one byte too, so
//    such a table arrives without rows);
//  - what decoding allocates is charged to the budget of the packet (DecodeLimits, shared with
//    the other values of the packet): the column definitions (a column the budget cannot pay
//    for ends the decode without rows), the rows (an image whose rows would pass it keeps its
//    columns and gets no rows), and every nested table and string object (a cell the budget
//    cannot pay for stays NULL);
//  - nested images are decoded at most kMaxImageDepth levels deep; a deeper table cell stays
//    NULL;
//  - nothing is read outside the given bytes.
#pragma once

#include <cstdint>

#include "foundation/cstring.h"
#include "runtime/memobj.h"
#include "values/daynumber.h"
#include "values/netdat.h"

constexpr int kMaxColumns = 127;
// Largest declared size of a NET_STRING or NET_BINARY column; larger ones are refused.
constexpr int kMaxColumnSize = 1 << 20;
// Most rows a table may hold: InsertRows beyond it is a contract violation.
constexpr int kMaxTableRows = 1 << 30;

struct ColumnDef {
  char name[64];       // NUL-terminated, cut to 63 characters
  int32_t size;        // declared size of NET_STRING and NET_BINARY, else 0
  int32_t width;       // bytes of a cell's value part
  int32_t type;        // type code
  int32_t row_offset;  // this cell's offset in a row laid out end to end
  unsigned char* data;
  int32_t ascending;  // order when this column is a sort key
};

struct ColumnCodec;

class NetTable : public BaseObject {
 public:
  // The system always builds (100, 128).
  explicit NetTable(int row_step = 100, int column_capacity = 128);
  ~NetTable() override;
  NetTable(const NetTable&) = delete;
  NetTable& operator=(const NetTable&) = delete;

  // 1, or 0 when the type is no column type or a size is outside 0..kMaxColumnSize (nothing
  // changes), or when the table is full (" max col exceed!\n" on standard output).
  int AddColumn(const char* name, int type, int size = 0);
  int ColumnCount() const { return column_count_; }
  int RowCount() const { return row_count_; }
  int RowCapacity() const { return row_capacity_; }
  const char* ColumnName(int c) const;  // "" when out of range
  int ColumnType(int c) const;          // 0 when out of range
  int ColumnSize(int c) const;          // 0 when out of range
  // Exact, case-sensitive; the name is cut to 63 characters like stored names. -1: none.
  int FindColumn(const char* name) const;

  // Inserts n NULL rows in front of row `at` (clamped to 1 .. count + 1) → new row count.
  int InsertRows(int at, int n);
  int AppendRow();  // → the new row's number
  int DeleteRow(int r);

  int IsNull(int r, int c) const;  // 1 also when the address is out of range
  int SetNull(int r, int c);

  // Getters of a NULL or missing cell give 0, "", (null, 0), the empty date-time, null.
  char GetChar(int r, int c) const;
  int16_t GetShort(int r, int c) const;
  int32_t GetLong(int r, int c) const;
  int64_t GetSuperLong(int r, int c) const;
  float GetFloat(int r, int c) const;
  double GetDouble(int r, int c) const;
  const char* GetString(int r, int c) const;
  const char* GetBinary(int r, int c, int* length) const;
  DateTimeRecord GetDateTime(int r, int c) const;
  NetTable* GetTable(int r, int c) const;
  CString* GetCString(int r, int c) const;

  // Setters give 1, or 0 when the address is out of range.
  int SetChar(int r, int c, char value);
  int SetShort(int r, int c, int16_t value);
  int SetLong(int r, int c, int32_t value);
  int SetSuperLong(int r, int c, int64_t value);
  int SetFloat(int r, int c, float value);
  int SetDouble(int r, int c, double value);
  // `length` counts the NUL: 0 means the text's length + 1; cut to the column's width.
  int SetString(int r, int c, const char* text, int length = 0);
  int SetBinary(int r, int c, const void* bytes, int length);
  int SetDateTime(int r, int c, const DateTimeRecord& value);
  int SetDateTime(int r, int c, double day_number);
  // Copies `table` (null: an empty table) into the cell's own table.
  int SetTable(int r, int c, const NetTable* table);
  int SetCString(int r, int c, const CString& value);

  // By name: a missing name reads as NULL (IsNull 1, getters 0 or ""), setters give 0.
  int IsNull(int r, const char* name) const { return IsNull(r, FindColumn(name)); }
  int SetNull(int r, const char* name) { return SetNull(r, FindColumn(name)); }
  char GetChar(int r, const char* name) const { return GetChar(r, FindColumn(name)); }
  int16_t GetShort(int r, const char* name) const { return GetShort(r, FindColumn(name)); }
  int32_t GetLong(int r, const char* name) const { return GetLong(r, FindColumn(name)); }
  int64_t GetSuperLong(int r, const char* n) const { return GetSuperLong(r, FindColumn(n)); }
  float GetFloat(int r, const char* name) const { return GetFloat(r, FindColumn(name)); }
  double GetDouble(int r, const char* name) const { return GetDouble(r, FindColumn(name)); }
  const char* GetString(int r, const char* n) const { return GetString(r, FindColumn(n)); }
  const char* GetBinary(int r, const char* name, int* length) const {
    return GetBinary(r, FindColumn(name), length);
  }
  DateTimeRecord GetDateTime(int r, const char* n) const { return GetDateTime(r, FindColumn(n)); }
  NetTable* GetTable(int r, const char* name) const { return GetTable(r, FindColumn(name)); }
  CString* GetCString(int r, const char* n) const { return GetCString(r, FindColumn(n)); }
  int SetChar(int r, const char* n, char v) { return SetChar(r, FindColumn(n), v); }
  int SetShort(int r, const char* n, int16_t v) { return SetShort(r, FindColumn(n), v); }
  int SetLong(int r, const char* n, int32_t v) { return SetLong(r, FindColumn(n), v); }
  int SetSuperLong(int r, const char* n, int64_t v) { return SetSuperLong(r, FindColumn(n), v); }
  int SetFloat(int r, const char* n, float v) { return SetFloat(r, FindColumn(n), v); }
  int SetDouble(int r, const char* n, double v) { return SetDouble(r, FindColumn(n), v); }
  int SetString(int r, const char* n, const char* text, int length = 0) {
    return SetString(r, FindColumn(n), text, length);
  }
  int SetBinary(int r, const char* n, const void* bytes, int length) {
    return SetBinary(r, FindColumn(n), bytes, length);
  }
  int SetDateTime(int r, const char* n, const DateTimeRecord& v) {
    return SetDateTime(r, FindColumn(n), v);
  }
  int SetDateTime(int r, const char* n, double v) { return SetDateTime(r, FindColumn(n), v); }
  int SetTable(int r, const char* n, const NetTable* t) { return SetTable(r, FindColumn(n), t); }
  int SetCString(int r, const char* n, const CString& v) { return SetCString(r, FindColumn(n), v); }

  // Makes c the only sort key with that order and sorts every row → 1, or 0 when c is out of
  // range. Not stable: equal keys end in the order the quicksort leaves them.
  int SortByColumn(int c, int ascending);
  // Binary search of `key` in rows from .. to (to -1: the row count) of the sort key column c.
  // Not found: -1, or with `insert` the row at which the key would go. Found: mode 0 the first
  // such row, 1 the last, 2 the one the search hit. -1 unless c is NET_LONG or NET_SUPERLONG.
  int FindSorted(int c, int64_t key, int insert, int mode, int from = 1, int to = -1) const;
  // String sort keys compare without regard to (ASCII) case when set.
  void set_case_insensitive(int value) { case_insensitive_ = value; }

  // Makes target an independent deep copy of this table.
  void CopyTo(NetTable& target) const;
  // Releases every owned object and buffer: no columns, no rows, no sort keys.
  void Clear();

  // Appends the table image at out's position → 1, or 0 when out refused a write.
  int Encode(PackBuffer& out) const;
  // Clears the table and fills it from an image → 1 when every declared row was read, 0 when
  // the image ended early, declared more rows than its bytes hold, or was refused (the table
  // keeps what was decoded). Texts and counted values cut at the very end still count as read.
  int Decode(const void* bytes, int length);
  // The same within the limits of a packet that holds several images.
  int Decode(const void* bytes, int length, DecodeLimits& limits);

 private:
  friend struct ColumnCodec;

  const ColumnDef* Column(int c) const;
  unsigned char* CellOf(int r, int c) const;
  // The cell when the address is in range (else null); the column's type must be in
  // `accepted` (a mask of type bits), else the fatal error fires.
  unsigned char* Checked(int r, int c, uint64_t accepted) const;
  int64_t IntegerAt(int r, int c, uint64_t accepted, int raw_bytes) const;
  int StoreInteger(int r, int c, int64_t value, uint64_t accepted);
  template <class T>
  T PlainAt(int r, int c, int type) const;
  template <class T>
  int SetPlain(int r, int c, int type, const T& value);
  double NumberAt(int r, int c) const;
  void ReserveRows(int rows);
  int64_t RowBytes() const;
  void AdoptTable(int r, int c, NetTable* table);
  // Exchanges everything but the BaseObject part.
  void SwapContents(NetTable& other);
  void BuildNameIndex() const;
  int CompareCells(int c, int a, int b) const;
  int Compare(int a, int b) const;
  void SwapRows(int a, int b);
  void QuickSort(int lo, int hi);
  int Search(int c, int64_t key, int from, int to, int* insert_at) const;
  // The row capacity that holding `rows` rows grows an empty table to.
  int64_t GrownRowCapacity(int64_t rows) const;
  int DecodeImage(PackBuffer& in, DecodeLimits& limits);
  int DecodeColumn(PackBuffer& in, DecodeLimits& limits);
  // How many definitions the array holds once it grows for one more column.
  int GrownDefinitions() const;

  ColumnDef* defs_ = nullptr;
  int defs_allocated_ = 0;
  int column_capacity_;
  int column_count_ = 0;
  int row_count_ = 0;
  int row_capacity_ = 0;
  int row_step_;
  mutable uint8_t name_index_[128] = {};
  int case_insensitive_ = 0;
  uint8_t sort_keys_[128] = {};
  int sort_key_count_ = 0;
};

// Writes one table image into a PackBuffer: the header when it is made, then the column
// definitions (no more than declared), then the caller writes the cells.
class TableStream {
 public:
  TableStream(PackBuffer& out, uint32_t rows, int columns);
  // 1, or 0 beyond the declared column count or when the buffer refused the write.
  int PutColumn(const char* name, int tag, int size);
  // 0 once any write was refused.
  int ok() const { return ok_; }

 private:
  PackBuffer& out_;
  int declared_;
  int written_ = 0;
  int ok_ = 1;
};

// Appends a table as a counted 'r' value (a null table or is_null: the NULL tag).
int PutTable(PackBuffer& out, const NetTable* table, int is_null = 0);
