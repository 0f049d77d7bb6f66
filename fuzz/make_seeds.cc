// Writes the fuzz seed corpora from real encodings (requests, dispatcher bodies, values, a table,
// the sample profile, a fresh B+ tree); run it again when an encoding changes:
//   build/debug/fuzz/make_seeds fuzz/corpus
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>

#include "srpc/packet.h"
#include "store/btree.h"
#include "testing/temp_dir.h"
#include "values/netdat.h"
#include "values/nettable.h"

namespace {

namespace fs = std::filesystem;
using std::string_literals::operator""s;

void Write(const fs::path& dir, const std::string& name, const std::string& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary) << bytes;
}

template <class Encodable>
std::string Encoded(const Encodable& values) {
  PackBuffer out;
  values.Encode(out);
  return std::string(out.Data(), out.Size());
}

std::string Request(const char* name, const NetValueList& arguments, bool extended) {
  SrpcPacketWriter writer;
  extended ? writer.BeginExtended(kSrpcRequest) : writer.BeginPlain(kSrpcRequest);
  extended ? writer.PutProcIndex(5) : writer.PutProcName(name);
  writer.PutValues(arguments);
  const char* bytes = nullptr;
  int length = 0;
  writer.Finish(&bytes, &length);
  return std::string(bytes, length);
}

// The dispatch target's input: a byte choosing the kind (bit 0: one-way) and the reference
// (bit 1: by index), then the body as it stands: a name with its NUL, or an index, and values.
std::string Dispatch(int choice, const std::string& reference, const std::string& values) {
  return std::string(1, static_cast<char>(choice)) + reference + values;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return std::fprintf(stderr, "usage: make_seeds CORPUS-DIRECTORY\n"), 2;
  fs::path corpus = argv[1];
  NetValueList read_args, write_args, every;  // a read's and a write's arguments, a value per tag
  read_args.Append(3);
  read_args.SetString(0, "c:\\files\\a.blob");
  read_args.SetSuperLong(1, 65536);
  read_args.SetLong(2, 4096);
  write_args.Append(4);
  write_args.SetString(0, "/srv/files/b.bin");
  write_args.SetSuperLong(1, 0);
  write_args.SetBinary(2, "\0\1\2bytes\xff", 9);
  write_args.SetNull(3, NET_STRING);
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
  std::string read = Request("plif_file_read", read_args, false);
  std::string write = Request("plif_file_write", write_args, false);
  std::string version = Request("plif_get_version", NetValueList(), false);
  // The session target's first byte chooses the receive size.
  Write(corpus / "session", "read", "\x40" + read);
  Write(corpus / "session", "write-in-small-receives", "\x03" + write);
  Write(corpus / "session", "keepalives-and-stray", std::string("\x10PP") + version + "P?" + read);
  Write(corpus / "session", "extended", "\x3f" + Request("", read_args, true) + version);
  Write(corpus / "session", "cut-short", "\x20" + write.substr(0, write.size() / 2));
  NetTable inner, outer;  // a table whose only column holds 50 empty tables
  inner.AddColumn("c", NET_LONG);
  outer.AddColumn("t", NET_TABLE);
  outer.InsertRows(1, 50);
  for (int r = 1; r <= 50; ++r) outer.SetTable(r, 1, &inner);
  NetValueList holder;  // a value holding a table
  holder.Append(1);
  holder.SetTable(0, &outer, 0);
  fs::path dispatch = corpus / "dispatch";
  std::string empties;  // 800 empty binaries
  for (int i = 0; i < 800; ++i) empties += "b\0\0\0\0"s;
  Write(dispatch, "read", Dispatch(0, "plif_file_read\0"s, Encoded(read_args)));
  Write(dispatch, "write-one-way", Dispatch(1, "plif_file_write\0"s, Encoded(write_args)));
  Write(dispatch, "by-index", Dispatch(2, "\0\0\0\5"s, Encoded(read_args)));
  Write(dispatch, "every-letter", Dispatch(0, "every_letter\0"s, Encoded(every)));
  Write(dispatch, "nested-tables", Dispatch(0, "table\0"s, Encoded(holder)));
  Write(dispatch, "unknown-with-empty-binaries", Dispatch(0, "no_such_procedure\0"s, empties));
  Write(dispatch, "null-tags-beyond-the-format",
        Dispatch(0, "plif_get_version\0"s, std::string(4000, '\xE2')));
  Write(dispatch, "name-cut-short", Dispatch(0, "plif_get_vers", ""));
  Write(dispatch, "index-cut-short", Dispatch(2, "\0\0\0"s, ""));

  // The extensions target's first byte chooses the procedure (list, stat, checksum); '~'
  // stands for its directory.
  auto strings = [](std::initializer_list<const char*> texts) {
    NetValueList list;
    for (const char* text : texts) list.SetString(list.Append(1) - 1, text);
    return Encoded(list);
  };
  auto range = [](int64_t position, int64_t length) {
    NetValueList list;
    list.Append(3);
    list.SetString(0, "~/data.bin");
    list.SetSuperLong(1, position);
    list.SetSuperLong(2, length);
    return Encoded(list);
  };
  fs::path extensions = corpus / "extensions";
  Write(extensions, "list", "\0"s + strings({"~", ""}));
  Write(extensions, "list-continued", "\0"s + strings({"~\\sub", "*.TXT/caf"}));
  Write(extensions, "list-a-file", "\0"s + strings({"~/data.bin", "*"}));
  Write(extensions, "list-outside", "\0"s + strings({"/", ""}));
  Write(extensions, "stat", "\1"s + strings({"~/DATA.BIN"}));
  Write(extensions, "checksum", "\2"s + range(100, 5000));
  Write(extensions, "checksum-past-the-end", "\2"s + range(1, INT64_MAX));
  Write(extensions, "checksum-negative", "\2"s + range(-5, 10));

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
  holder.SetTable(0, &table, 0);
  Write(corpus / "values", "read-arguments", Encoded(read_args));
  Write(corpus / "values", "write-arguments", Encoded(write_args));
  Write(corpus / "values", "table-value", Encoded(holder));
  Write(corpus / "table", "three-rows", Encoded(table));

  std::ifstream sample(fs::path(PELLARY_SOURCE_DIR) / "pellary.pf.sample", std::ios::binary);
  Write(corpus / "profile", "sample",
        std::string(std::istreambuf_iterator<char>(sample), std::istreambuf_iterator<char>()));
  Write(corpus / "profile", "continued-lines", "a=1\\\n 2\r\n# note\nb = \\x41\n[x]\nc\n");
  TempDir scratch;
  BTreeFile tree;
  tree.Create((scratch / "tree").c_str(), 8, 8, 64, 3);
  tree.Close();
  Write(corpus / "btree", "fresh", ReadFileBytes(scratch / "tree"));
  return 0;
}
