// A table image, as it arrives inside a value list.
#include "fuzz/fuzz_target.h"
#include "values/nettable.h"

void FuzzTable(const uint8_t* data, size_t size) {
  NetTable table;
  if (table.Decode(data, static_cast<int>(size)) <= 0) return;
  // Every cell read as its column's type, as a client reading the table would.
  int length = 0;
  for (int row = 1; row <= table.RowCount(); ++row) {
    for (int column = 1; column <= table.ColumnCount(); ++column) {
      switch (table.ColumnType(column)) {
        case NET_STRING:
          table.GetString(row, column);
          break;
        case NET_BINARY:
          table.GetBinary(row, column, &length);
          break;
        case NET_TABLE:
          table.GetTable(row, column);
          break;
        default:
          table.IsNull(row, column);
      }
    }
  }
}

PELLARY_FUZZ_TARGET(FuzzTable)
