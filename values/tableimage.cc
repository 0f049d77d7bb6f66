// The table image (unit "tableimage"): a NetTable written as a counted 'r' value and read
// back. The image is a header (row count, 4 bytes; column count, 2 bytes, big-endian), the
// column definitions (NUL-terminated name, tag letter, 4-byte size) and the cells row by row,
// each a tagged value (netdat's encoding) or a NULL tag. Decoding charges what it makes to the
// packet's budget (DecodeLimits) and keeps what it could read of a cut or lying image.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "runtime/dumpstack.h"
#include "values/nettable.h"

namespace {

constexpr char kUnit[] = "tableimage";

}  // namespace

// Cell readers and writers of the image that need the table's private side.
struct ColumnCodec {
  static bool ReadTable(NetTable& t, int r, int c, PackBuffer& in, DecodeLimits& limits) {
    const char* bytes;
    int length;
    if (ReadCounted(in, &bytes, &length) == 0) return false;
    // Too deep or over budget: the cell stays NULL, the image goes on behind the payload.
    if (limits.depth_left <= 0 || !limits.Charge(sizeof(NetTable))) return true;
    auto* nested = new NetTable(100, 128);
    // Decoded straight into the cell's table: the same as decoding and copying, without
    // the copy.
    nested->Decode(bytes, length, limits);
    t.AdoptTable(r, c, nested);
    return true;
  }
};

namespace {

using PutCellFn = int (*)(PackBuffer& out, const NetTable& t, int r, int c, int is_null);
// Reads a cell's payload after its tag → false when it was cut short (decoding ends).
using ReadCellFn = bool (*)(NetTable& t, int r, int c, PackBuffer& in, DecodeLimits& l);

struct CellCodec {
  uint8_t type;
  PutCellFn put;  // null: a column of this type cannot be encoded
  ReadCellFn read;
};

bool ReadText(NetTable& t, int r, int c, PackBuffer& in, DecodeLimits&) {
  const char* text;
  int length;
  ReadString(in, &text, &length);
  // The count includes the NUL, so a text cut at the end is copied only as far as it goes.
  t.SetString(r, c, text, length + 1);
  return true;
}

// A string-object cell makes its object and the text's storage; one the budget cannot pay for
// stays NULL, and the image goes on behind its text.
bool ReadStringObject(NetTable& t, int r, int c, PackBuffer& in, DecodeLimits& limits) {
  const char* text;
  int length;
  ReadString(in, &text, &length);
  if (limits.Charge(sizeof(CString)) && limits.Charge(int64_t{length} + 1)) {
    t.SetString(r, c, text, length + 1);
  }
  return true;
}

int PutText(PackBuffer& out, const NetTable& t, int r, int c, int is_null) {
  return PutString(out, t.GetString(r, c), is_null);
}

const CellCodec kCellCodecs[] = {
    {NET_CHAR, nullptr, nullptr},
    {NET_SHORT, nullptr, nullptr},
    {NET_LONG,
     [](PackBuffer& out, const NetTable& t, int r, int c, int n) {
       return PutLong(out, t.GetLong(r, c), n);
     },
     [](NetTable& t, int r, int c, PackBuffer& in, DecodeLimits&) {
       int32_t value;
       return ReadLong(in, &value) != 0 && t.SetLong(r, c, value) != 0;
     }},
    {NET_FLOAT,
     [](PackBuffer& out, const NetTable& t, int r, int c, int n) {
       return PutFloat(out, t.GetFloat(r, c), n);
     },
     [](NetTable& t, int r, int c, PackBuffer& in, DecodeLimits&) {
       float value;
       ReadFloat(in, &value);
       return t.SetFloat(r, c, value) != 0;
     }},
    {NET_DOUBLE,
     [](PackBuffer& out, const NetTable& t, int r, int c, int n) {
       return PutDouble(out, t.GetDouble(r, c), n);
     },
     [](NetTable& t, int r, int c, PackBuffer& in, DecodeLimits&) {
       double value;
       ReadDouble(in, &value);
       return t.SetDouble(r, c, value) != 0;
     }},
    {NET_SUPERLONG,
     [](PackBuffer& out, const NetTable& t, int r, int c, int n) {
       return PutSuperLong(out, t.GetSuperLong(r, c), n);
     },
     [](NetTable& t, int r, int c, PackBuffer& in, DecodeLimits&) {
       int64_t value;
       return ReadSuperLong(in, &value) != 0 && t.SetSuperLong(r, c, value) != 0;
     }},
    {NET_STRING, PutText, ReadText},
    {NET_BINARY,
     [](PackBuffer& out, const NetTable& t, int r, int c, int n) {
       int length;
       const char* bytes = t.GetBinary(r, c, &length);
       return PutBinary(out, bytes, length, n);
     },
     [](NetTable& t, int r, int c, PackBuffer& in, DecodeLimits&) {
       const char* bytes;
       int length;
       return ReadCounted(in, &bytes, &length) != 0 && t.SetBinary(r, c, bytes, length) != 0;
     }},
    {NET_DATETIME,
     [](PackBuffer& out, const NetTable& t, int r, int c, int n) {
       return PutDateTime(out, t.GetDateTime(r, c), n);
     },
     [](NetTable& t, int r, int c, PackBuffer& in, DecodeLimits&) {
       DateTimeRecord value;
       return ReadDateTime(in, &value) != 0 && t.SetDateTime(r, c, value) != 0;
     }},
    {NET_TABLE,
     [](PackBuffer& out, const NetTable& t, int r, int c, int n) {
       return PutTable(out, t.GetTable(r, c), n);
     },
     ColumnCodec::ReadTable},
    {NET_CSTRING, PutText, ReadStringObject},
};

const CellCodec* CodecOf(int type) {
  for (const CellCodec& codec : kCellCodecs) {
    if (codec.type == type) return &codec;
  }
  return nullptr;
}

// Of a column's type, which AddColumn has checked.
uint8_t CodecIndex(int type) {
  return static_cast<uint8_t>(CodecOf(type) - kCellCodecs);
}

// A string-object column's tag in an image; its cells travel as 's'.
constexpr char kStringObjectTag = 'v';

// The column tag in an image; 0: a table with this column cannot be encoded.
char TagOf(const CellCodec& codec) {
  return codec.type == NET_CSTRING ? kStringObjectTag : TagOfType(codec.type);
}

const CellCodec* CodecOfTag(int tag) {
  return tag == kStringObjectTag ? CodecOf(NET_CSTRING) : CodecOf(TypeOfTag(tag));
}

// String columns take 's' and 'v' cells alike.
bool TagFits(const CellCodec& codec, int tag) {
  if (codec.type == NET_STRING || codec.type == NET_CSTRING) {
    return tag == TagOfType(NET_STRING) || tag == kStringObjectTag;
  }
  return tag == TagOf(codec);
}

}  // namespace

TableStream::TableStream(PackBuffer& out, uint32_t rows, int columns)
    : out_(out), declared_(columns) {
  unsigned char header[6];
  PutBigEndian(header, rows, 4);
  PutBigEndian(header + 4, static_cast<uint16_t>(columns), 2);
  ok_ = out_.Write(header, 6) == 6 ? 1 : 0;
}

int TableStream::PutColumn(const char* name, int tag, int size) {
  if (written_ >= declared_) return 0;
  if (name == nullptr) name = "";
  int name_bytes = static_cast<int>(std::strlen(name)) + 1;
  unsigned char tail[5];
  tail[0] = static_cast<unsigned char>(tag);
  PutBigEndian(tail + 1, static_cast<uint32_t>(size), 4);
  if (out_.Reserve(name_bytes + 5) == 0) {
    ok_ = 0;
    return 0;
  }
  out_.Write(name, name_bytes);
  out_.Write(tail, 5);
  ++written_;
  return 1;
}

int NetTable::Encode(PackBuffer& out) const {
  // Encoding recurses through nested tables: a byte per column keeps the frames small.
  uint8_t kinds[kMaxColumns];
  for (int c = 0; c < column_count_; ++c) {
    kinds[c] = CodecIndex(defs_[c].type);
    FATAL_CHECK(TagOf(kCellCodecs[kinds[c]]) != 0);
  }
  TableStream stream(out, static_cast<uint32_t>(row_count_), column_count_);
  for (int c = 0; c < column_count_; ++c) {
    stream.PutColumn(defs_[c].name, TagOf(kCellCodecs[kinds[c]]), defs_[c].size);
  }
  if (stream.ok() == 0) return 0;
  for (int r = 1; column_count_ > 0 && r <= row_count_; ++r) {
    for (int c = 1; c <= column_count_; ++c) {
      if (kCellCodecs[kinds[c - 1]].put(out, *this, r, c, IsNull(r, c)) == 0) return 0;
    }
  }
  return 1;
}

int PutTable(PackBuffer& out, const NetTable* table, int is_null) {
  if (is_null != 0 || table == nullptr) return PutTableImage(out, nullptr, 0, 1);
  // The image is written in place behind a zero count, which is then patched: no separate
  // buffer per table, however deeply tables nest.
  int start = out.Tell();
  if (PutTableImage(out, nullptr, 0) == 0 || table->Encode(out) == 0) return 0;
  unsigned char count[4];
  PutBigEndian(count, static_cast<uint32_t>(out.Tell() - start - 5), 4);
  return out.Patch(start + 1, count, 4) == 4 ? 1 : 0;
}

int NetTable::Decode(const void* bytes, int length) {
  DecodeLimits limits = DecodeLimits::For(length);
  return Decode(bytes, length, limits);
}

int NetTable::Decode(const void* bytes, int length, DecodeLimits& limits) {
  Clear();
  if (limits.depth_left <= 0) return 0;
  PackBuffer in;
  in.Wrap(bytes, length > 0 ? length : 0);
  --limits.depth_left;
  int complete = DecodeImage(in, limits);
  ++limits.depth_left;
  return complete;
}

int NetTable::DecodeColumn(PackBuffer& in, DecodeLimits& limits) {
  const char* text;
  int length;
  ReadString(in, &text, &length);
  char name[64];
  int kept = std::min(length, 63);
  std::memcpy(name, text, static_cast<size_t>(kept));
  name[kept] = '\0';
  int tag = ReadTag(in);
  int32_t size;
  if (tag < 0 || ReadLong(in, &size) == 0) return 0;
  if (column_count_ == defs_allocated_ &&
      !limits.Charge(int64_t{GrownDefinitions()} * static_cast<int64_t>(sizeof(ColumnDef)))) {
    return 0;
  }
  const CellCodec* codec = CodecOfTag(tag);
  if (codec == nullptr || AddColumn(name, codec->type, size) == 0) {
    std::printf("unsupport srpc type:%d ,%s\r\n", tag, name);
    return 0;
  }
  return 1;
}

int NetTable::DecodeImage(PackBuffer& in, DecodeLimits& limits) {
  unsigned char header[6];
  if (in.Read(header, 6) != 6) return 0;
  auto declared_rows = static_cast<int64_t>(GetBigEndian(header, 4));
  auto declared_columns = static_cast<int>(GetBigEndian(header + 4, 2));
  for (int k = 0; k < declared_columns; ++k) {
    if (DecodeColumn(in, limits) == 0) return 0;
  }
  // A row needs at least one byte per cell, so the bytes left bound the rows worth making. A
  // row without cells is charged one byte too: billions of empty rows cost a reader's loops.
  int64_t rows = std::min<int64_t>(declared_rows, kMaxTableRows);
  rows = std::min<int64_t>(rows, in.Remaining() / std::max(column_count_, 1));
  if (!limits.Charge(GrownRowCapacity(rows) * RowBytes())) return 0;
  InsertRows(1, static_cast<int>(rows));
  uint8_t kinds[kMaxColumns];
  for (int c = 0; c < column_count_; ++c) kinds[c] = CodecIndex(defs_[c].type);
  for (int r = 1; column_count_ > 0 && r <= rows; ++r) {
    for (int c = 1; c <= column_count_; ++c) {
      if (in.AtEnd()) return 0;
      int tag = ReadTag(in);
      // A NULL tag or another column's tag: the cell stays NULL, only the tag is consumed.
      const CellCodec& codec = kCellCodecs[kinds[c - 1]];
      if ((tag & NET_NULL) != 0 || !TagFits(codec, tag)) continue;
      if (!codec.read(*this, r, c, in, limits)) return 0;
    }
  }
  return rows == declared_rows ? 1 : 0;
}
