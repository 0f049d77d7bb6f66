// Writes the seed corpora of the fuzz targets from real encodings: requests for every kind of
// argument a procedure takes (plain and extended, with keep-alives and stray bytes between),
// request bodies for the dispatcher (calls that run, and the hostile shapes that must cost
// little), value lists, a table image, the sample profile and a fresh B+ tree file. The seeds
// are kept under fuzz/corpus/<target>/; run this again when an encoding changes:
//   build/debug/fuzz/make_seeds fuzz/corpus
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "srpc/packet.h"
#include "store/btree.h"
#include "testing/temp_dir.h"
#include "values/netdat.h"
#include "values/nettable.h"

namespace {

namespace fs = std::filesystem;

void Write(const fs::path& dir, const std::string& name, const std::string& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary) << bytes;
}

const NetValueList& ReadArguments() {
  static NetValueList list;
  list.Clear();
  list.Append(3);
  list.SetString(0, "c:\\files\\a.blob");
  list.SetSuperLong(1, 65536);
  list.SetLong(2, 4096);
  return list;
}

const NetValueList& WriteArguments() {
  static NetValueList list;
  list.Clear();
  list.Append(4);
  list.SetString(0, "/srv/files/b.bin");
  list.SetSuperLong(1, 0);
  list.SetBinary(2, "\0\1\2bytes\xff", 9);
  list.SetNull(3, NET_STRING);
  return list;
}

std::string Request(const char* name, const NetValueList& arguments, bool extended) {
  SrpcPacketWriter writer;
  if (extended) {
    writer.BeginExtended(kSrpcRequest);
    writer.PutProcIndex(5);
  } else {
    writer.BeginPlain(kSrpcRequest);
    writer.PutProcName(name);
  }
  writer.PutValues(arguments);
  const char* bytes = nullptr;
  int length = 0;
  writer.Finish(&bytes, &length);
  return std::string(bytes, length);
}

std::string Encoded(const NetValueList& values) {
  PackBuffer out;
  values.Encode(out);
  return std::string(out.Data(), out.Size());
}

// The dispatch target's input: a byte choosing the kind (bit 0: one-way) and the reference
// (bit 1: by index), then the body as it stands.
std::string DispatchInput(int choice, const std::string& reference, const std::string& values) {
  return std::string(1, static_cast<char>(choice)) + reference + values;
}

std::string Name(const char* name) {
  return std::string(name) + '\0';
}

std::string Repeated(const std::string& value, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += value;
  return out;
}

// An 'r' value holding a table whose only column holds tables, `rows` of them, each empty.
std::string NestedTablesValue(int rows) {
  NetTable inner;
  inner.AddColumn("c", NET_LONG);
  NetTable outer;
  outer.AddColumn("t", NET_TABLE);
  outer.InsertRows(1, rows);
  for (int r = 1; r <= rows; ++r) outer.SetTable(r, 1, &inner);
  NetValueList list;
  list.Append(1);
  list.SetTable(0, &outer, 0);
  return Encoded(list);
}

void WriteDispatchSeeds(const fs::path& dir) {
  NetValueList every;
  every.Append(9);
  every.SetBinary(0, "\x01\x02", 2);
  every.SetDouble(1, 0.5);
  every.SetFloat(2, 1.25f);
  every.SetLong(3, -7);
  every.SetSuperLong(4, int64_t{1} << 40);
  every.SetNull(5, NET_TABLE);
  every.SetString(6, "text");
  every.SetDateTime(7, DateTimeRecord{2024, 3, 5, 13, 45, 30, 0, 500});
  every.SetLString(8, "l\0s", 3);
  Write(dir, "read", DispatchInput(0, Name("plif_file_read"), Encoded(ReadArguments())));
  Write(dir, "write-one-way", DispatchInput(1, Name("plif_file_write"), Encoded(WriteArguments())));
  Write(dir, "by-index", DispatchInput(2, std::string("\0\0\0\5", 4), Encoded(ReadArguments())));
  Write(dir, "every-letter", DispatchInput(0, Name("every_letter"), Encoded(every)));
  Write(dir, "nested-tables", DispatchInput(0, Name("table"), NestedTablesValue(50)));
  Write(dir, "unknown-with-empty-binaries",
        DispatchInput(0, Name("no_such_procedure"), Repeated("b" + std::string(4, '\0'), 800)));
  Write(dir, "null-tags-beyond-the-format",
        DispatchInput(0, Name("plif_get_version"), Repeated("\xE2", 4000)));
  Write(dir, "name-cut-short", DispatchInput(0, "plif_get_vers", ""));
  Write(dir, "index-cut-short", DispatchInput(2, std::string(3, '\0'), ""));
}

std::string TableImage() {
  NetTable table;
  table.AddColumn("cmd", NET_STRING, 64);
  table.AddColumn("count", NET_LONG);
  table.AddColumn("data", NET_BINARY);
  for (int i = 0; i < 3; ++i) {
    int row = table.AppendRow();
    table.SetString(row, 1, "plif_file_read");  // columns count from 1
    table.SetLong(row, 2, i);
    if (i != 1) table.SetBinary(row, 3, "xyz", 3);
  }
  PackBuffer out;
  table.Encode(out);
  return std::string(out.Data(), out.Size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds CORPUS-DIRECTORY\n");
    return 2;
  }
  fs::path corpus = argv[1];
  NetValueList none;
  std::string read = Request("plif_file_read", ReadArguments(), false);
  std::string write = Request("plif_file_write", WriteArguments(), false);
  std::string version = Request("plif_get_version", none, false);
  std::string extended = Request("", ReadArguments(), true);
  // The session target's first byte chooses the receive size.
  Write(corpus / "session", "read", "\x40" + read);
  Write(corpus / "session", "write-in-small-receives", "\x03" + write);
  Write(corpus / "session", "keepalives-and-stray", std::string("\x10PP") + version + "P?" + read);
  Write(corpus / "session", "extended", "\x3f" + extended + version);
  Write(corpus / "session", "cut-short", "\x20" + write.substr(0, write.size() / 2));

  WriteDispatchSeeds(corpus / "dispatch");

  Write(corpus / "values", "read-arguments", Encoded(ReadArguments()));
  Write(corpus / "values", "write-arguments", Encoded(WriteArguments()));
  NetValueList with_table;
  with_table.Append(1);
  NetTable table;
  std::string image = TableImage();
  table.Decode(image.data(), static_cast<int>(image.size()));
  with_table.SetTable(0, &table, 0);
  Write(corpus / "values", "table-value", Encoded(with_table));

  Write(corpus / "table", "three-rows", image);

  std::ifstream sample(fs::path(PELLARY_SOURCE_DIR) / "pellary.pf.sample", std::ios::binary);
  Write(corpus / "profile", "sample",
        std::string(std::istreambuf_iterator<char>(sample), std::istreambuf_iterator<char>()));
  Write(corpus / "profile", "continued-lines", "a=1\\\n 2\r\n# note\nb = \\x41\n[x]\nc\n");

  TempDir scratch;
  {
    BTreeFile tree;
    tree.Create((scratch / "tree").c_str(), 8, 8, 64, 3);
    tree.Close();
  }
  Write(corpus / "btree", "fresh", ReadFileBytes(scratch / "tree"));
  return 0;
}
