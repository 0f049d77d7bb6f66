// The opt-in procedures from the client's side (contract in remote_files.h): one call each,
// its answer checked for shape, then read.
#include "client/remote_files.h"

#include <cstring>

#include "client/session.h"
#include "runtime/dumpstack.h"
#include "values/nettable.h"

namespace {

constexpr char kUnit[] = "remote_files";

// The answer to `procedure` when it is one value of `type`: kOk, or what came instead.
RemoteResult CallForOne(SrpcClient& client, const char* procedure, const NetValueList& arguments,
                        int type, NetValueList* results) {
  int32_t code = client.Call(procedure, arguments, results);
  if (code == -1 && std::strcmp(client.error_text().GetString(), "PROC NOT SUPPORT") == 0) {
    return RemoteResult::kNotOffered;
  }
  if (code != 0) return RemoteResult::kFailed;
  if (results->Count() != 1 || results->Type(0) != type) return RemoteResult::kBadAnswer;
  return RemoteResult::kOk;
}

// Where an entry table keeps its columns.
struct EntryColumns {
  int name, dir, length, mtime;
};

// The columns of `table`; false when one is missing or of another type.
bool FindEntryColumns(const NetTable& table, EntryColumns* columns) {
  *columns = {table.FindColumn("name"), table.FindColumn("dir"), table.FindColumn("length"),
              table.FindColumn("mtime")};
  int name_type = table.ColumnType(columns->name);
  return (name_type == NET_STRING || name_type == NET_CSTRING) &&
         table.ColumnType(columns->dir) == NET_LONG &&
         table.ColumnType(columns->length) == NET_SUPERLONG &&
         table.ColumnType(columns->mtime) == NET_SUPERLONG;
}

// The rows of an entry table answered by a call, appended to `entries`: kNotFound for a NULL
// table, kBadAnswer for a table of other columns.
RemoteResult ReadEntries(const NetValueList& results, std::vector<RemoteEntry>* entries) {
  const NetTable* table = results.IsNull(0) ? nullptr : results.GetTable(0);
  if (table == nullptr) return RemoteResult::kNotFound;
  EntryColumns columns;
  if (!FindEntryColumns(*table, &columns)) return RemoteResult::kBadAnswer;
  for (int row = 1; row <= table->RowCount(); ++row) {  // rows count from 1
    entries->push_back({table->GetString(row, columns.name), table->GetLong(row, columns.dir) != 0,
                        table->GetSuperLong(row, columns.length),
                        table->GetSuperLong(row, columns.mtime)});
  }
  return RemoteResult::kOk;
}

// One page of a listing: the entries after `after` ("" for the first page).
RemoteResult ListPage(SrpcClient& client, const std::string& dir, const std::string& pattern,
                      const std::string& after, std::vector<RemoteEntry>* page) {
  NetValueList arguments, results;
  AddString(arguments, dir);
  AddString(arguments, after.empty() ? pattern : pattern + "/" + after);
  RemoteResult result = CallForOne(client, "plif_dir_list", arguments, NET_TABLE, &results);
  return result == RemoteResult::kOk ? ReadEntries(results, page) : result;
}

// Whether a page goes on in byte-wise order after `after`: without that the listing might
// never end.
bool InOrderAfter(const std::vector<RemoteEntry>& page, const std::string& after) {
  const std::string* previous = &after;
  for (const RemoteEntry& entry : page) {
    if (entry.name <= *previous) return false;
    previous = &entry.name;
  }
  return true;
}

}  // namespace

RemoteResult ListDir(SrpcClient& client, const std::string& dir, const std::string& pattern,
                     std::vector<RemoteEntry>* entries) {
  FATAL_CHECK(pattern.find('/') == std::string::npos);
  entries->clear();
  std::string after;
  for (;;) {
    std::vector<RemoteEntry> page;
    RemoteResult result = ListPage(client, dir, pattern, after, &page);
    if (result != RemoteResult::kOk) return result;
    if (page.empty()) return RemoteResult::kOk;
    // The first page starts after "", which every name sorts behind.
    if (!InOrderAfter(page, after)) return RemoteResult::kBadAnswer;
    after = page.back().name;
    entries->insert(entries->end(), std::make_move_iterator(page.begin()),
                    std::make_move_iterator(page.end()));
  }
}

RemoteResult StatPath(SrpcClient& client, const std::string& path,
                      std::optional<RemoteEntry>* entry) {
  entry->reset();
  NetValueList arguments, results;
  AddString(arguments, path);
  RemoteResult result = CallForOne(client, "plif_file_stat", arguments, NET_TABLE, &results);
  std::vector<RemoteEntry> rows;
  if (result == RemoteResult::kOk) result = ReadEntries(results, &rows);
  if (result != RemoteResult::kOk) return result;
  if (rows.size() > 1) return RemoteResult::kBadAnswer;
  if (rows.empty()) return RemoteResult::kNotFound;
  *entry = std::move(rows.front());
  return RemoteResult::kOk;
}

RemoteResult Checksum(SrpcClient& client, const std::string& path, int64_t position, int64_t length,
                      uint32_t* crc) {
  NetValueList arguments, results;
  AddString(arguments, path);
  AddSuperLong(arguments, position);
  AddSuperLong(arguments, length);
  RemoteResult result =
      CallForOne(client, "plif_file_checksum", arguments, NET_SUPERLONG, &results);
  if (result != RemoteResult::kOk) return result;
  int64_t answer = results.GetSuperLong(0);
  if (answer == -1) return RemoteResult::kNotFound;
  if (answer < 0 || answer > UINT32_MAX) return RemoteResult::kBadAnswer;
  *crc = static_cast<uint32_t>(answer);
  return RemoteResult::kOk;
}

std::string RemoteResultText(RemoteResult result, const SrpcClient& client) {
  switch (result) {
    case RemoteResult::kOk:
      return "";
    case RemoteResult::kNotFound:
      return "no such file or directory, or not allowed";
    case RemoteResult::kNotOffered:
      return "the server does not offer this (it needs Extensions=1 in its profile)";
    case RemoteResult::kFailed:
      return OneLine(client.error_text().GetString());
    case RemoteResult::kBadAnswer:
      break;
  }
  return "unexpected answer from the server";
}
